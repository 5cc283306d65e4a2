#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <cstring>

#include "platform/locale/locale.h"
#include "platform/sysinfo/sysinfo.h"

namespace {

TEST(Locale, NamesToIdentifiers) {
  struct Case {
    const char* name;
    uint32_t lcid;
  } cases[] = {
      {"es_ES.UTF-8", 3082}, {"es_AR", 11274}, {"sv", 29}, {"sv_SE.UTF-8", 1053}, {"sv_XX", 29},
      {"de_AT@euro", 3079}, {"ja_JP.eucJP", 1041}, {"zh_TW.UTF-8", 1028}, {"en_US.UTF-8", 1033},
      {"C", 1033}, {"POSIX", 1033}, {"", 1033}, {"xx_YY", 1033}, {"ar_AE", 14337},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(platform::LcidFromLocaleName(c.name), c.lcid);
  }
}

TEST(Locale, UserAndSystemSources) {
  setenv("LC_ALL", "", 1);
  setenv("LC_MESSAGES", "fr_CA.UTF-8", 1);
  setenv("LANG", "de_DE.UTF-8", 1);
  EXPECT_EQ(platform::UserDefaultLcid(), 3084u);
  unsetenv("LC_MESSAGES");
  EXPECT_EQ(platform::UserDefaultLcid(), 1031u);

  namespace fs = std::filesystem;
  fs::path root = fs::path(::testing::TempDir()) / "locale-root";
  fs::create_directories(root / "etc/default");
  std::ofstream(root / "etc/default/locale") << "# comment\nLANG=\"ko_KR.UTF-8\"\n";
  setenv("QIV_SYSROOT", root.c_str(), 1);
  EXPECT_EQ(platform::SystemDefaultLcid(), 1042u);
  fs::remove(root / "etc/default/locale");
  EXPECT_EQ(platform::SystemDefaultLcid(), 1031u);  // falls back to the user's
  unsetenv("QIV_SYSROOT");
}

TEST(SysInfo, VersionBitsAndRandom) {
  // Three dot-separated decimal numbers.
  std::string version = platform::SystemVersion();
  int dots = 0;
  bool digits_between = !version.empty() && version.front() != '.' && version.back() != '.';
  for (size_t i = 0; i < version.size(); ++i) {
    if (version[i] == '.') {
      ++dots;
      digits_between = digits_between && version[i + 1] != '.';
    } else {
      digits_between = digits_between && version[i] >= '0' && version[i] <= '9';
    }
  }
  EXPECT_TRUE(dots == 2 && digits_between) << version;
  EXPECT_EQ(platform::SystemBits(), "64");
  unsigned char a[32] = {}, b[32] = {};
  ASSERT_TRUE(platform::RandomBytes(a, sizeof a));
  ASSERT_TRUE(platform::RandomBytes(b, sizeof b));
  EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
}

}  // namespace
