#include "app/command_line_args.h"

#include <gtest/gtest.h>

namespace {

std::map<std::wstring, std::wstring> Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "qiv");
  CommandLineArgs parsed;
  parsed.ParseArgv(static_cast<int>(args.size()), args.data());
  return parsed.values();
}

TEST(CommandLineArgs, SwitchesFromArgv) {
  struct Case {
    std::vector<const char*> argv;
    std::map<std::wstring, std::wstring> want;
  } cases[] = {
      {{"OnlyForkInstallDependent=1"}, {{L"OnlyForkInstallDependent", L"1"}}},
      {{"OnlyForkInstallDependent"}, {{L"OnlyForkInstallDependent", L""}}},
      {{"OnlyForkInstallDependent="}, {{L"OnlyForkInstallDependent", L""}}},
      {{"HostVersion=a=b=c"}, {{L"HostVersion", L"a=b=c"}}},  // value keeps later "="
      {{"HostLang=de", "HostLang=fr"}, {{L"HostLang", L"fr"}}},  // later replaces
      {{"hostlang=x", "HostLang=y"}, {{L"hostlang", L"x"}, {L"HostLang", L"y"}}},  // case-sensitive
      {{"=v", ""}, {{L"", L""}}},                                 // empty names are just entries
      {{"Caf\xC3\xA9=\xC3\xA9t\xC3\xA9"}, {{L"Caf\u00E9", L"\u00E9t\u00E9"}}},
  };
  setlocale(LC_ALL, "C.UTF-8");
  for (const auto& c : cases) {
    EXPECT_EQ(Parse(c.argv), c.want);
  }
}

TEST(CommandLineArgs, TextWithQuotesAndLookupInsertsEmpty) {
  CommandLineArgs args;
  args.ParseText(LR"( OnlyForkInstallDependent=1 "HostLang=Bahasa Indonesia" HostVersion= HostHwnd=1234)");
  EXPECT_EQ(args[L"OnlyForkInstallDependent"], L"1");
  EXPECT_EQ(args[L"HostLang"], L"Bahasa Indonesia");
  EXPECT_EQ(args[L"HostVersion"], L"");
  EXPECT_EQ(args[L"HostHwnd"], L"1234");
  EXPECT_EQ(args.values().count(L"Missing"), 0u);
  EXPECT_EQ(args[L"Missing"], L"");
  EXPECT_EQ(args.values().count(L"Missing"), 1u);
}

}  // namespace
