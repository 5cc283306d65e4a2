#include "app/dotnet_check.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "checker_fixture.h"
#include "platform/process/process.h"
#include "platform/text/text.h"
#include "scratch_machine.h"

namespace fs = std::filesystem;
using platform::Hive;
using platform::View;

namespace {

const std::wstring kNdp = L"Software\\Microsoft\\NET Framework Setup\\NDP\\";

class DotNet : public ScratchMachine {
 public:
  // One NDP entry in the 32-bit view: Install (a DWORD unless `install_text`)
  // and Version.
  void Ndp(const std::wstring& sub, uint32_t install, const wchar_t* version, bool install_text = false,
           View view = View::Wow64_32) {
    platform::RegKey k = Key(Hive::LocalMachine, kNdp + sub, view);
    if (install_text)
      k.SetString(L"Install", std::to_wstring(install));
    else
      k.SetDword(L"Install", install);
    if (version) k.SetString(L"Version", version);
  }
  void ClearNdp() {
    platform::RegKey::DeleteKey(Hive::LocalMachine, kNdp, View::Wow64_32);
    platform::RegKey::DeleteKey(Hive::LocalMachine, kNdp, View::Wow64_64);
  }
};

TEST_F(DotNet, VersionTable) {
  struct Case {
    const char* machine;
    std::function<void(DotNet&)> setup;
    std::vector<std::pair<const wchar_t*, bool>> answers;
  };
  const Case cases[] = {
      {"nothing installed", [](DotNet&) {}, {{L"2.0", false}, {L"4.0", false}}},
      {"4.8 only",
       [](DotNet& t) { t.Ndp(L"v4\\Full", 1, L"4.8.04084"); },
       {{L"4.7", true}, {L"4.8", true}, {L"4.8.1", true}, {L"4", true}, {L"4.9", false}, {L"3.5", false},
        {L"2.0", false}, {L"5.0", false}, {L"1.1", false}, {L"", false}, {L"x.y", false}}},
      {"4.6 only", [](DotNet& t) { t.Ndp(L"v4\\Full", 1, L"4.6.01055"); }, {{L"4.7", false}, {L"4.6", true}}},
      {"3.5",
       [](DotNet& t) { t.Ndp(L"v3.5", 1, L"3.5.30729.4926"); },
       {{L"3.5", true}, {L"3.0", true}, {L"2.0", true}, {L"3.6", false}, {L"4.0", false}}},
      {"2.0", [](DotNet& t) { t.Ndp(L"v2.0.50727", 1, L"2.0.50727.4927"); }, {{L"2.0", true}, {L"3.0", false}}},
      {"not installed or wrong type",
       [](DotNet& t) {
         t.Ndp(L"v3.5", 0, L"3.5.1");
         t.Ndp(L"v2.0.50727", 1, L"2.0.1", true);
       },
       {{L"2.0", false}, {L"3.5", false}}},
      {"v4 without Full; v4.0 key with Full",
       [](DotNet& t) {
         Key(Hive::LocalMachine, kNdp + L"v4", View::Wow64_32).SetDword(L"Install", 1);
         t.Ndp(L"v4.0\\Full", 1, L"4.5.1");
       },
       {{L"4.5", true}, {L"4.6", false}}},
      {"other keys ignored",
       [](DotNet& t) {
         t.Ndp(L"CDF", 1, L"4.9");
         t.Ndp(L"v40", 1, L"4.9");
         t.Ndp(L"v", 1, L"4.9");
       },
       {{L"4.0", false}}},
      {"installed minor from Version", [](DotNet& t) { t.Ndp(L"v3.0", 1, nullptr); }, {{L"3.0", true}, {L"3.5", false}}},
      {"64-bit view not seen", [](DotNet& t) { t.Ndp(L"v4\\Full", 1, L"4.8", false, View::Wow64_64); },
       {{L"4.0", false}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.machine);
    ClearNdp();
    c.setup(*this);
    for (const auto& [required, expected] : c.answers) {
      EXPECT_EQ(HasDotNetVersion(required), expected) << platform::WideToUtf8String(required);
    }
  }
  // Reading the NDP keys creates nothing.
  ClearNdp();
  EXPECT_FALSE(HasDotNetVersion(L"4.0"));
  EXPECT_FALSE(KeyExists(Hive::LocalMachine, kNdp, View::Wow64_32));
}

TEST_F(DotNet, ReadyWithoutChecker) {
  const std::wstring folder = platform::Utf8ToWideString(root_.string() + "/");
  EXPECT_TRUE(IsDotNetReady(L"", folder));
  EXPECT_FALSE(IsDotNetReady(L"4.7", folder));
  Ndp(L"v4\\Full", 1, L"4.8.1");
  EXPECT_TRUE(IsDotNetReady(L"4.7", folder));
  // "2.0" without the checker resources in this program: the registry stands.
  EXPECT_FALSE(IsDotNetReady(L"2.0", folder));
  Ndp(L"v2.0.50727", 1, L"2.0.50727");
  EXPECT_TRUE(IsDotNetReady(L"2.0", folder));
  EXPECT_FALSE(fs::exists(root_ / "NFWCHK.exe"));
}

TEST_F(Checker, DecidesARequirementOf2_0) {
  // The registry says yes, the checker no: the checker wins; and the other way.
  const std::string good = CheckerProbe(kGoodChecker);
  const std::string failing = CheckerProbe(kFailingChecker);
  EXPECT_EQ(Ready(good, "2.0", "default"), 10);
  ExpectConfigFolderClean();
  Key(Hive::LocalMachine, L"Software\\Microsoft\\NET Framework Setup\\NDP\\v2.0.50727", View::Wow64_32)
      .SetDword(L"Install", 1);
  EXPECT_EQ(Ready(failing, "2.0", "default"), 11);
  ExpectConfigFolderClean();
  // Other requirements never run it.
  EXPECT_EQ(Ready(good, "3.0", "default"), 11);
  EXPECT_EQ(Ready(failing, "2.0.50727", "default"), 10);
  // Without both resources the registry answer stands.
  const std::string exe_only = StampedProbe({"EXE:105:" + WriteFile("c2", kFailingChecker)});
  EXPECT_EQ(Ready(exe_only, "2.0", "default"), 10);
  ExpectConfigFolderClean();
}

TEST_F(Checker, AHangingCheckerIsKilledAndCountsAsFailed) {
  Key(Hive::LocalMachine, L"Software\\Microsoft\\NET Framework Setup\\NDP\\v2.0.50727", View::Wow64_32)
      .SetDword(L"Install", 1);
  const std::string hanging = CheckerProbe(kHangingChecker);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Ready(hanging, "2.0", "1000"), 11);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(10));
  ExpectConfigFolderClean();
}

TEST_F(Checker, UnwritableConfigFolderCountsAsFailed) {
  Key(Hive::LocalMachine, L"Software\\Microsoft\\NET Framework Setup\\NDP\\v2.0.50727", View::Wow64_32)
      .SetDword(L"Install", 1);
  const std::string good = CheckerProbe(kGoodChecker);
  folder_ = (root_ / "missing/folder").string() + "/";
  EXPECT_EQ(Ready(good, "2.0", "default"), 11);
}

TEST_F(Checker, OldSystemsRunItOnlyWithNet20Registered) {
  const std::string good = CheckerProbe(kGoodChecker);
  const std::wstring nf = L"SOFTWARE\\Microsoft\\.NETFramework\\";
  // Not registered: not run, false.
  EXPECT_EQ(Ready(good, "2.0", "default", true), 11);
  Key(Hive::LocalMachine, nf + L"policy\\v2.0.50727");
  EXPECT_EQ(Ready(good, "2.0", "default", true), 11);  // no InstallRoot yet
  Key(Hive::LocalMachine, nf).SetString(L"InstallRoot", L"/opt/dotnet/");
  EXPECT_EQ(Ready(good, "2.0", "default", true), 10);
  ExpectConfigFolderClean();
  // "NoGuiFromShim" is set for the run only when it was off, and removed again.
  platform::RegKey k = Key(Hive::LocalMachine, nf);
  EXPECT_FALSE(k.GetType(L"NoGuiFromShim").has_value());
  k.SetDword(L"NoGuiFromShim", 1);
  EXPECT_EQ(Ready(good, "2.0", "default", true), 10);
  EXPECT_EQ(k.GetDword(L"NoGuiFromShim"), std::optional<uint32_t>(1));
  EXPECT_EQ(Ready(CheckerProbe(kFailingChecker), "2.0", "default", true), 11);
}

TEST_F(Checker, TheRealCheckerLoadsTheListedLibraries) {
  const std::string ok_config = WriteFile(
      "ok.config",
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!-- runtime -->\n<configuration><libraries>"
      "<library name=\"libm.so.6\"/><library name=\"libz.so.1\"/></libraries></configuration>\n");
  const std::string bad_config = WriteFile(
      "bad.config",
      "<configuration><libraries><library name=\"libm.so.6\"/>"
      "<library name=\"libqiv-not-there.so.9\"/></libraries></configuration>\n");
  const std::string ok = StampedProbe({std::string("EXE:105:") + NFWCHK, "XML:109:" + ok_config});
  const std::string bad = StampedProbe({std::string("EXE:105:") + NFWCHK, "XML:109:" + bad_config});
  EXPECT_EQ(Ready(ok, "2.0", "default"), 10);
  EXPECT_EQ(Ready(bad, "2.0", "default"), 11);
  ExpectConfigFolderClean();

  // Run directly: its own exit codes, and the shipped configuration loads on
  // a machine that has the product's runtime.
  auto run = [](std::vector<std::string> argv) {
    platform::Process p;
    EXPECT_TRUE(p.Start(argv));
    EXPECT_TRUE(p.Wait(60000));
    return p.exit_code();
  };
  EXPECT_EQ(run({NFWCHK, ok_config}), 0);
  EXPECT_EQ(run({NFWCHK, bad_config}), 1);
  EXPECT_EQ(run({NFWCHK, (root_ / "none.config").string()}), 2);
  EXPECT_EQ(run({NFWCHK, WriteFile("broken.config", "<configuration><libraries>")}), 2);
  EXPECT_EQ(run({NFWCHK, NFWCHK_CONFIG}), 0);

  // The build's stamping puts the shipped checker and configuration in.
  EXPECT_EQ(Ready(ENV_PROBE_SHIPPED, "2.0", "default"), 10);
  ExpectConfigFolderClean();
}

// Probes that need their own program file: run in copies of env_probe.
using StampedCopy = Checker;

// Standard output of a program, through a file.
std::string Output(const std::filesystem::path& scratch, const std::vector<std::string>& argv) {
  const std::string out = (scratch / "capture.out").string();
  std::vector<std::string> sh = {"/bin/sh", "-c", "out=\"$0\"; \"$@\" > \"$out\"", out};
  sh.insert(sh.end(), argv.begin(), argv.end());
  platform::Process p;
  EXPECT_TRUE(p.Start(sh));
  EXPECT_TRUE(p.Wait(60000));
  EXPECT_EQ(p.exit_code(), 0);
  std::ifstream in(out);
  std::string line;
  std::getline(in, line);
  return line;
}

TEST_F(StampedCopy, BrowserVersionFallsBackToTheLoadedEngine) {
  const std::string probe = StampedProbe({});
  EXPECT_EQ(Output(root_, {probe, "browser"}), "-");  // no engine loaded, none is loaded for it
  const std::string engine = Output(root_, {probe, "browser", "libwebkit2gtk-4.1.so.0"});
  unsigned a = 0, b = 0, c = 0;
  int used = 0;
  EXPECT_EQ(std::sscanf(engine.c_str(), "%u.%u.%u%n", &a, &b, &c, &used), 3) << engine;
  EXPECT_EQ(static_cast<size_t>(used), engine.size()) << engine;
  EXPECT_GE(a, 2u);
  Key(Hive::LocalMachine, L"Software\\Microsoft\\Internet Explorer", View::Wow64_32).SetString(L"Version", L"11.0");
  EXPECT_EQ(Output(root_, {probe, "browser", "libwebkit2gtk-4.1.so.0"}), "11.0");
}

TEST_F(StampedCopy, OwnFileVersionAndDesktopLauncher) {
  const std::string probe = StampedProbe({"VERSION:1:" + WriteFile("version.txt", "FileVersion=3.0.3.7\n")});
  EXPECT_EQ(Output(root_, {probe, "version"}), "3.0.3.7");
  EXPECT_EQ(Output(root_, {StampedProbe({}), "version"}), "");

  // A launcher for a program in a folder with characters the Exec key must
  // escape.
  const fs::path odd = root_ / "a dir $x %y \\z";
  fs::create_directories(odd);
  fs::copy_file(probe, odd / "env_probe");
  fs::create_directories(root_ / "home/Desktop");
  platform::Process s;
  ASSERT_TRUE(s.Start({(odd / "env_probe").string(), "shortcut"}));
  ASSERT_TRUE(s.Wait(60000));
  EXPECT_EQ(s.exit_code(), 0);
  std::ifstream launcher(root_ / "home/Desktop/env_probe.desktop");
  std::stringstream text;
  text << launcher.rdbuf();
  const std::string r = root_.string();
  EXPECT_NE(text.str().find("\nExec=\"" + r + "/a dir \\\\$x %%y \\\\\\\\z/env_probe\"\n"), std::string::npos)
      << text.str();
  EXPECT_NE(text.str().find("\nPath=" + r + "/a dir $x %y \\\\z/\n"), std::string::npos) << text.str();
}

}  // namespace
