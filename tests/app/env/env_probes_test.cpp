#include "app/env_probes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "platform/clock/clock.h"
#include "platform/paths/paths.h"
#include "platform/sysinfo/sysinfo.h"
#include "platform/text/text.h"
#include "scratch_machine.h"

namespace fs = std::filesystem;
using platform::Hive;
using platform::View;

namespace {

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class Probes : public ScratchMachine {};

TEST_F(Probes, BitnessAndSystemVersion) {
  SetIs64BitWindowsForTesting(-1);
  EXPECT_EQ(Is64BitWindows(), platform::Is64BitSystem());
  SetIs64BitWindowsForTesting(0);
  EXPECT_FALSE(Is64BitWindows());
  SetIs64BitWindowsForTesting(1);
  EXPECT_TRUE(Is64BitWindows());

  const std::string v = WindowsVersionText();
  int major = -1, minor = -1, patch = -1, used = 0;
  EXPECT_EQ(std::sscanf(v.c_str(), "%d.%d.%d%n", &major, &minor, &patch, &used), 3) << v;
  EXPECT_EQ(static_cast<size_t>(used), v.size()) << v;
  EXPECT_EQ(WindowsVersionText(), platform::SystemVersion());
  EXPECT_TRUE(IsVistaOrLater());
  SetIsVistaOrLaterForTesting(0);
  EXPECT_FALSE(IsVistaOrLater());
}

TEST_F(Probes, ProgramFilesFolders) {
  struct Case {
    const char* what;
    const char* wow64;  // PROCESSOR_ARCHITEW6432
    const char* pf;     // ProgramFiles
    const char* pf86;   // ProgramFiles(x86)
    std::wstring f32, f64;
  };
  const std::wstring opt = platform::Utf8ToWideString((root_ / "sys").string() + "/opt/");
  const Case cases[] = {
      {"32-bit on 64-bit", "AMD64", "/win/Program Files (x86)", "/win/Program Files (x86)//",
       L"/win/Program Files (x86)/", L"/win/Program Files/"},
      {"Windows separator trimmed", "AMD64", nullptr, "C:\\Program Files (x86)\\", L"C:\\Program Files (x86)/",
       L"C:\\Program Files/"},
      {"plain", nullptr, "/srv/programs", nullptr, L"/srv/programs/", L""},
      {"WOW64 without its folder: sysroot", "AMD64", "/srv/programs", nullptr, opt, opt},
      {"nothing set: sysroot", nullptr, nullptr, nullptr, opt, opt},
      {"empty counts as unset", nullptr, "", nullptr, opt, opt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto set = [](const char* name, const char* v) { v ? setenv(name, v, 1) : unsetenv(name); };
    set("PROCESSOR_ARCHITEW6432", c.wow64);
    set("ProgramFiles", c.pf);
    set("ProgramFiles(x86)", c.pf86);
    ProgramFilesFolders f = GetProgramFilesFolders();
    EXPECT_TRUE(f.ok);
    EXPECT_EQ(f.folder32, c.f32);
    EXPECT_EQ(f.folder64, c.f64);
  }
}

TEST_F(Probes, BrowserVersionFromThe32BitView) {
  const std::wstring ie = L"Software\\Microsoft\\Internet Explorer";
  EXPECT_EQ(BrowserVersion(), L"-");
  Key(Hive::LocalMachine, ie, View::Wow64_64).SetString(L"Version", L"64only");
  EXPECT_EQ(BrowserVersion(), L"-");
  platform::RegKey k = Key(Hive::LocalMachine, ie, View::Wow64_32);
  k.SetString(L"Version", L"");
  EXPECT_EQ(BrowserVersion(), L"-");
  k.SetDword(L"Version", 11);
  EXPECT_EQ(BrowserVersion(), L"-");
  k.SetString(L"Version", L"2.50.6");
  EXPECT_EQ(BrowserVersion(), L"2.50.6");
}

TEST_F(Probes, OwnNameVersionAndTimeStamp) {
  EXPECT_EQ(OwnExeName(), L"env_probes_test");
  EXPECT_EQ(OwnFileVersion(), L"");  // this test program has no version resource

  const char* old_tz = std::getenv("TZ");
  std::string saved = old_tz ? old_tz : "";
  setenv("TZ", "UTC", 1);
  tzset();
  platform::SetTimeSourceForTesting([] { return int64_t{1700000000}; });
  EXPECT_EQ(LocalTimeStamp(), L"20231114221320");
  setenv("TZ", "Asia/Tokyo", 1);
  tzset();
  EXPECT_EQ(LocalTimeStamp(), L"20231115071320");
  platform::SetTimeSourceForTesting({});
  old_tz ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  tzset();
}

TEST_F(Probes, ProductInstalled) {
  // Nothing there: false, and the probe leaves no hive or key behind.
  EXPECT_FALSE(IsProductInstalled(L"1234", L"Acme"));
  EXPECT_FALSE(fs::exists(platform::HivePath(Hive::LocalMachine)));

  struct Item {
    const wchar_t* sub;
    bool pid_is_dword;
    uint32_t pid;
    const wchar_t* info;  // null: absent
  };
  const Item items[] = {
      {L"TextPid", false, 1234, L"C:/x"},      // PID as text does not count
      {L"EmptyInfo", true, 1234, L""},         // empty install record does not count
      {L"NoInfo", true, 1234, nullptr},
      {L"Other", true, 77, L"/opt/other"},
  };
  for (const Item& it : items) {
    platform::RegKey k = Key(Hive::LocalMachine, std::wstring(L"Software\\Acme\\") + it.sub);
    if (it.pid_is_dword)
      k.SetDword(L"PID", it.pid);
    else
      k.SetString(L"PID", std::to_wstring(it.pid));
    if (it.info) k.SetString(L"InstallInfo", it.info);
  }
  Key(Hive::LocalMachine, L"Software\\Acme\\InfoDword").SetDword(L"PID", 1234);
  Key(Hive::LocalMachine, L"Software\\Acme\\InfoDword").SetDword(L"InstallInfo", 1);

  EXPECT_FALSE(IsProductInstalled(L"1234", L"Acme"));
  EXPECT_TRUE(IsProductInstalled(L"77", L"Acme"));
  EXPECT_FALSE(IsProductInstalled(L"77", L"Other"));
  EXPECT_FALSE(IsProductInstalled(L"", L"Acme"));
  EXPECT_FALSE(IsProductInstalled(L"77x", L"Acme"));
  EXPECT_FALSE(KeyExists(Hive::LocalMachine, L"Software\\Other"));

  // A long install record counts as well; a later sub-key can match.
  platform::RegKey z = Key(Hive::LocalMachine, L"Software\\Acme\\ZZZ");
  z.SetDword(L"PID", 1234);
  z.SetString(L"InstallInfo", std::wstring(600, L'i'));
  EXPECT_TRUE(IsProductInstalled(L"1234", L"Acme"));
  // The 32-bit view is a different tree.
  EXPECT_FALSE(KeyExists(Hive::LocalMachine, L"Software\\Acme", View::Wow64_32));
}

TEST_F(Probes, CompanionPath) {
  const std::wstring key = L"Software\\Quorvane\\Quorvane Vantor";
  fs::create_directories(root_ / "opt");
  const std::string real = (root_ / "opt/vantor").string();
  std::ofstream(real) << "x";
  const std::wstring wreal = platform::Utf8ToWideString(real);

  EXPECT_EQ(GetCompanionPath(), L"");

  // Only the 32-bit view.
  Key(Hive::LocalMachine, key, View::Wow64_32).SetString(L"InstallName", wreal);
  EXPECT_EQ(GetCompanionPath(), wreal);
  // The 64-bit view names a missing file: the 32-bit one is tried and wins.
  Key(Hive::LocalMachine, key, View::Wow64_64).SetString(L"InstallName", L"/nowhere/vantor");
  EXPECT_EQ(GetCompanionPath(), wreal);
  // The 64-bit view names an existing file: it wins.
  const std::string real64 = (root_ / "opt/vantor64").string();
  std::ofstream(real64) << "x";
  Key(Hive::LocalMachine, key, View::Wow64_64).SetString(L"InstallName", platform::Utf8ToWideString(real64));
  EXPECT_EQ(GetCompanionPath(), platform::Utf8ToWideString(real64));
  // Neither names a file: the last value read.
  fs::remove(real);
  fs::remove(real64);
  EXPECT_EQ(GetCompanionPath(), wreal);
  platform::RegKey::DeleteKey(Hive::LocalMachine, key, View::Wow64_32);
  EXPECT_EQ(GetCompanionPath(), platform::Utf8ToWideString(real64));
  // A value of the wrong type is absent.
  Key(Hive::LocalMachine, key, View::Wow64_64).SetDword(L"InstallName", 1);
  EXPECT_EQ(GetCompanionPath(), L"");
}

TEST_F(Probes, RunHiddenExitCodes) {
  EXPECT_TRUE(RunHidden(L"/bin/true"));
  EXPECT_FALSE(RunHidden(L"/bin/false"));
  EXPECT_FALSE(RunHidden(L"/nonexistent/program"));
  EXPECT_TRUE(RunHidden(L"/bin/sh -c \"exit 0\""));
  EXPECT_FALSE(RunHidden(L"/bin/sh -c \"exit 3\""));
  EXPECT_FALSE(RunHidden(L"/bin/sh -c \"kill -9 $$\""));
  // Arguments are split with the quoting rules, not by a shell.
  const std::string out = (root_ / "out file").string();
  EXPECT_TRUE(RunHidden(L"/bin/sh -c \"echo \\\"$1\\\" > \\\"$2\\\"\" sh \"two words\" \"" +
                        platform::Utf8ToWideString(out) + L"\""));
  EXPECT_EQ(ReadAll(out), "two words\n");
  // Standard streams lead nowhere: a reader of stdin sees end of file.
  EXPECT_TRUE(RunHidden(L"/bin/sh -c \"read x; test -z \\\"$x\\\"\""));
}

TEST_F(Probes, RunHiddenKillsAHangingChild) {
  const std::string pid_file = (root_ / "pid").string();
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(RunHidden(L"/bin/sh -c \"echo $$ > '" + platform::Utf8ToWideString(pid_file) + L"'; exec sleep 30\"",
                         500));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(450));
  EXPECT_LT(elapsed, std::chrono::seconds(5));
  pid_t pid = std::atoi(ReadAll(pid_file).c_str());
  ASSERT_GT(pid, 0);
  EXPECT_EQ(kill(pid, 0), -1);  // ended and reaped
  EXPECT_EQ(errno, ESRCH);
  // A child that ends in time is not cut short.
  EXPECT_TRUE(RunHidden(L"/bin/sh -c \"sleep 0.2\"", 5000));
}

TEST_F(Probes, CompatLayerInBothViews) {
  const std::wstring layers = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers\\";
  SetCompatLayer(L"/opt/acme/setup.exe", L"WINXPSP3");
  EXPECT_EQ(Text(Hive::LocalMachine, layers, L"/opt/acme/setup.exe", View::Wow64_64), L"WINXPSP3");
  EXPECT_EQ(Text(Hive::LocalMachine, layers, L"/opt/acme/setup.exe", View::Wow64_32), L"WINXPSP3");
  const std::wstring longer(60, L'L');
  SetCompatLayer(L"/opt/acme/setup.exe", longer);
  EXPECT_EQ(Text(Hive::LocalMachine, layers, L"/opt/acme/setup.exe", View::Wow64_32), std::wstring(49, L'L'));
}

TEST_F(Probes, DesktopShortcut) {
  const fs::path desktop = root_ / "home/Desktop";
  const fs::path file = desktop / "env_probes_test.desktop";
  EXPECT_EQ(DesktopShortcutPath(), file.string());
  // No desktop folder: nothing is made.
  EXPECT_FALSE(CreateDesktopShortcut());
  EXPECT_FALSE(fs::exists(desktop));

  fs::create_directories(desktop);
  ASSERT_TRUE(CreateDesktopShortcut());
  const std::string exe = platform::OwnExecutablePath();
  const std::string text = ReadAll(file);
  EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u) << text;
  EXPECT_NE(text.find("\nType=Application\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nExec=\"" + exe + "\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nPath=" + exe.substr(0, exe.rfind('/') + 1) + "\n"), std::string::npos) << text;
  struct stat st{};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  // Made again over an old one.
  EXPECT_TRUE(CreateDesktopShortcut());
  EXPECT_EQ(std::distance(fs::directory_iterator(desktop), fs::directory_iterator()), 1);

  EXPECT_TRUE(RemoveDesktopShortcut());
  EXPECT_FALSE(fs::exists(file));
  EXPECT_FALSE(RemoveDesktopShortcut());
}

TEST_F(Probes, UserDwords) {
  const std::wstring inet = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
  // A missing key is not created.
  EXPECT_EQ(ReadUserDword(inet, L"SecureProtocols"), 0u);
  EXPECT_FALSE(WriteUserDword(inet, L"SecureProtocols", 0xA80));
  EXPECT_FALSE(KeyExists(Hive::CurrentUser, inet));

  platform::RegKey k = Key(Hive::CurrentUser, inet);
  EXPECT_EQ(ReadUserDword(inet, L"SecureProtocols"), 0u);
  EXPECT_TRUE(WriteUserDword(inet, L"SecureProtocols", 0xA80));
  EXPECT_EQ(ReadUserDword(inet, L"SecureProtocols"), 0xA80u);
  EXPECT_EQ(k.GetType(L"SecureProtocols"), platform::RegType::Dword);
  k.SetString(L"SecureProtocols", L"2688");
  EXPECT_EQ(ReadUserDword(inet, L"SecureProtocols"), 0u);
  // Machine values are never touched.
  EXPECT_FALSE(KeyExists(Hive::LocalMachine, inet));
}

}  // namespace
