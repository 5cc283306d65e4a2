#include "platform/process/process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

using Args = std::vector<std::string>;

TEST(SplitCommandLine, WindowsRules) {
  struct Case {
    std::string text;
    Args args;
  } cases[] = {
      {R"("C:\Program Files\qiv.exe" OnlyForkInstallDependent=1 HostLang=en)",
       {R"(C:\Program Files\qiv.exe)", "OnlyForkInstallDependent=1", "HostLang=en"}},
      {R"(prog a   b	c)", {"prog", "a", "b", "c"}},
      {R"(prog "a b" c)", {"prog", "a b", "c"}},
      {R"(prog a"b c"d)", {"prog", "ab cd"}},
      {R"(prog a\\b)", {"prog", R"(a\\b)"}},            // backslashes before no quote stay
      {R"(prog a\"b)", {"prog", R"(a"b)"}},             // odd: literal quote
      {R"(prog a\\"b c")", {"prog", R"(a\b c)"}},       // even: halves, quote acts
      {R"(prog "a""b" c)", {"prog", R"(a"b)", "c"}},    // doubled quote inside quotes
      {R"(prog "" x)", {"prog", "", "x"}},              // empty quoted argument
      {R"(prog "unterminated here)", {"prog", "unterminated here"}},
      {R"("C:\dir\" x)", {R"(C:\dir\)", "x"}},          // program name: no escapes
      {"   ", {}},
      {"", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(platform::SplitCommandLine(c.text), c.args);
  }
  EXPECT_EQ(platform::SplitCommandLine(R"(a "b c")", false), (Args{"a", "b c"}));
}

TEST(SplitCommandLine, QuoteArgumentRoundTrips) {
  Args args = {"prog", "", "plain", "with blank", R"(quo"te)", R"(trail\)", R"(both\ "x"\\)", "tab\there"};
  std::string line;
  for (const auto& a : args) line += (line.empty() ? "" : " ") + platform::QuoteArgument(a);
  EXPECT_EQ(platform::SplitCommandLine(line, false), args);
}

TEST(Process, ExitCodesSignalsAndTimeouts) {
  platform::Process p;
  ASSERT_TRUE(p.StartCommandLine(R"(/bin/sh -c "exit 7")"));
  ASSERT_TRUE(p.Wait(5000));
  EXPECT_EQ(p.exit_code(), 7);

  platform::Process sig;
  ASSERT_TRUE(sig.Start({"/bin/sh", "-c", "kill -TERM $$"}));
  ASSERT_TRUE(sig.Wait(5000));
  EXPECT_EQ(sig.exit_code(), 128 + 15);

  platform::Process slow;
  ASSERT_TRUE(slow.Start({"sleep", "30"}));
  EXPECT_FALSE(slow.Wait(100));
  EXPECT_TRUE(slow.running());
  slow.Terminate();
  EXPECT_EQ(slow.exit_code(), -1);
  EXPECT_FALSE(slow.running());

  platform::Process missing;
  EXPECT_FALSE(missing.Start({"/no/such/program"}));
  EXPECT_NE(missing.error(), 0);
}

TEST(Process, HiddenChildGetsArgumentsVerbatimWithoutAShell) {
  std::string out = ::testing::TempDir() + "args.txt";
  platform::Process p;
  platform::SpawnOptions opt;
  opt.extra_env = {"QIV_PROBE=yes"};
  // $(...) and ; stay literal: no shell ever sees the command line.
  std::string line = R"(/bin/sh -c "printf '%s|' \"$0\" \"$1\" \"$QIV_PROBE\" > )" + out + R"(" "a b" "$(touch /tmp/x);")";
  ASSERT_TRUE(p.StartCommandLine(line, opt));
  ASSERT_TRUE(p.Wait(5000));
  std::ifstream in(out);
  std::stringstream ss;
  ss << in.rdbuf();
  EXPECT_EQ(ss.str(), "a b|$(touch /tmp/x);|yes|");
}

}  // namespace
