#include "app/load_local_xml.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/env_probes.h"
#include "app/qiv_mgr.h"
#include "log_capture.h"
#include "platform/text/text.h"
#include "report/track_state.h"

namespace fs = std::filesystem;

namespace {

class LoadLocalXmlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogCapture::Get();
    root_ = LogCapture::Get().folder() + "root-" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "/";
    fs::remove_all(root_);
    fs::create_directories(root_ + "home");
    setenv("QIV_SYSROOT", root_.c_str(), 1);
    setenv("HOME", (root_ + "home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root_ + "home/.config").c_str(), 1);
    QivMgr::Get().ResetForTesting();
    TrackState::Get().ResetForTesting();
    SetIs64BitWindowsForTesting(1);
    LogCapture::Get().Take();
  }
  void TearDown() override { SetIs64BitWindowsForTesting(-1); }

  bool Load(const std::string& xml) {
    std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(xml.data()), xml.size());
    return LoadLocalXmlFrom(QivMgr::Get(), bytes);
  }

  std::string root_;
};

const char kMinimal[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<Product><ProductName>Tessarin Paint</ProductName><ProductID>77</ProductID></Product>)";

TEST_F(LoadLocalXmlTest, AbsentElementsTakeTheirDefaults) {
  ASSERT_TRUE(Load(kMinimal));
  const ProductConfig& p = QivMgr::Get().product;
  EXPECT_EQ(p.ProductName, L"Tessarin Paint");
  EXPECT_EQ(p.FoldBottom, L"1");
  EXPECT_EQ(p.ServerHost, kDefaultServerHost);
  EXPECT_EQ(p.Url_License, kDefaultLicenseUrl);
  EXPECT_EQ(p.Languages, kDefaultLanguages);
  EXPECT_EQ(p.ProductBrand, L"");
  EXPECT_EQ(p.Channel, L"");
  EXPECT_TRUE(p.Dependent.empty());
  // Empty brand: the folder is named "Quorvane", in the shared documents folder.
  EXPECT_EQ(QivMgr::Get().config_folder, platform::Utf8ToWideString(root_) + L"var/lib/Quorvane/");
  EXPECT_EQ(QivMgr::Get().run_config_path, QivMgr::Get().config_folder + L"QIV_DOWNTASK_77.xml");
  EXPECT_TRUE(fs::is_directory(root_ + "var/lib/Quorvane"));
  EXPECT_FALSE(fs::exists(root_ + "var/lib/Quorvane/qiv.tmp"));
  EXPECT_EQ(TrackState::Get().Field(L"product_id"), L"77");
  std::wstring sign = TrackState::Get().Field(L"client_sign");
  EXPECT_EQ(sign.size(), 39u);
  EXPECT_EQ(TrackState::Get().BaseAddress(), kDefaultServerHost);

  std::string log = LogCapture::Get().Take();
  EXPECT_NE(log.find("] [INFO] " + std::to_string(gettid()) + " - config folder=[" + root_ + "var/lib/Quorvane/].\r\n"),
            std::string::npos)
      << log;
}

TEST_F(LoadLocalXmlTest, ValuesGroupsAndDependents) {
  ASSERT_TRUE(Load(R"(<Product>
  <ProductBrand>Tessarin</ProductBrand><ProductName>P</ProductName><ProductID>12</ProductID>
  <ServerHost>https://srv.example.test/api</ServerHost><FoldBottom>0</FoldBottom>
  <Url_License></Url_License><Languages></Languages><Channel>web</Channel><AppID>app9</AppID>
  <Downurl><OnlyUseLocalUrl>1</OnlyUseLocalUrl><Url_Down><![CDATA[http://cdn/a?x=1&y=2]]></Url_Down></Downurl>
  <Downurl_x64><OnlyUseLocalUrl>0</OnlyUseLocalUrl><Url_Down>http://cdn/a64</Url_Down></Downurl_x64>
  <Installurl><OnlyUseLocalUrl>0</OnlyUseLocalUrl><Url_Install>http://web/thanks</Url_Install></Installurl>
  <Dependent>
    <item><ProductID>5</ProductID><Url_Down>http://cdn/5</Url_Down></item>
    <item><ProductID>6</ProductID><Url_Downx64>http://cdn/6</Url_Downx64><ForceInstall>TRUE</ForceInstall><ForkInstall>1</ForkInstall></item>
    <item><ProductID>7</ProductID></item>
    <item><Url_Down>http://cdn/none</Url_Down></item>
  </Dependent>
  <StartupProduct>5</StartupProduct>
</Product>)"));
  const ProductConfig& p = QivMgr::Get().product;
  EXPECT_EQ(p.ServerHost, L"https://srv.example.test/api/");
  EXPECT_EQ(TrackState::Get().BaseAddress(), L"https://srv.example.test/api/");
  EXPECT_EQ(p.FoldBottom, L"0");
  EXPECT_EQ(p.Url_License, kDefaultLicenseUrl);  // present but empty: default too
  EXPECT_EQ(p.Languages, kDefaultLanguages);
  EXPECT_EQ(p.Downurl.OnlyUseLocalUrl, L"1");
  EXPECT_EQ(p.Downurl.Url, L"http://cdn/a?x=1&y=2");
  EXPECT_EQ(p.Downurl_x64.Url, L"http://cdn/a64");
  EXPECT_EQ(p.Installurl.Url, L"http://web/thanks");
  EXPECT_EQ(p.StartupProduct, L"5");
  EXPECT_EQ(QivMgr::Get().config_folder, platform::Utf8ToWideString(root_) + L"var/lib/Tessarin/");

  ASSERT_EQ(p.Dependent.size(), 2u);
  EXPECT_EQ(p.Dependent[0].ProductID, L"5");
  EXPECT_EQ(p.Dependent[0].ForceInstall, L"true");  // absent: forced
  EXPECT_EQ(p.Dependent[1].ForceInstall, L"TRUE");
  EXPECT_EQ(p.Dependent[1].ForkInstall, L"1");
  auto binds = TrackState::Get().BindRecords();
  ASSERT_EQ(binds.size(), 2u);
  EXPECT_EQ(binds[5].force, 1);
  EXPECT_EQ(binds[6].force, 0);  // only the exact "true" forces

  std::string log = LogCapture::Get().Take();
  for (const char* pid : {"5", "6", "7", ""}) {  // dropped items are logged too
    EXPECT_NE(log.find(std::string("LoadLocalXml, dependent.item pid=[") + pid + "]."), std::string::npos) << pid;
  }
  EXPECT_EQ(TrackState::Get().Field(L"channel"), L"web");
  EXPECT_EQ(TrackState::Get().Field(L"defchannel"), L"web");
}

TEST_F(LoadLocalXmlTest, SixtyFourBitGroupIsReadOnlyOnSixtyFourBitSystems) {
  const std::string xml = R"(<Product><ProductID>1</ProductID>
    <Downurl_x64><OnlyUseLocalUrl>1</OnlyUseLocalUrl><Url_Down>http://cdn/64</Url_Down></Downurl_x64></Product>)";
  SetIs64BitWindowsForTesting(0);
  ASSERT_TRUE(Load(xml));
  EXPECT_EQ(QivMgr::Get().product.Downurl_x64.Url, L"");
  EXPECT_EQ(QivMgr::Get().product.Downurl_x64.OnlyUseLocalUrl, L"");
  SetIs64BitWindowsForTesting(1);
  ASSERT_TRUE(Load(xml));
  EXPECT_EQ(QivMgr::Get().product.Downurl_x64.Url, L"http://cdn/64");
}

TEST_F(LoadLocalXmlTest, BadResourcesFailWithTheirLogLines) {
  struct Case {
    std::optional<std::string> bytes;
    const char* line;
  } cases[] = {
      {std::nullopt, "LoadLocalXml, find failed!"},
      {std::string(), "LoadLocalXml, size error!"},
      {std::string("this is not xml <"), "LoadLocalXml err 3"},
      {std::string("<Product><a></b></Product>"), "LoadLocalXml err 3"},
      {std::string("<Products><ProductID>1</ProductID></Products>"), "LoadLocalXml, not find product."},
      {std::string("\xEF\xBB\xBF<Other/>"), "LoadLocalXml, not find product."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    bool ok;
    if (c.bytes) {
      ok = Load(*c.bytes);
    } else {
      ok = LoadLocalXmlFrom(QivMgr::Get(), std::nullopt);
    }
    EXPECT_FALSE(ok);
    EXPECT_NE(LogCapture::Get().Take().find(std::string("[ERROR] ") + std::to_string(gettid()) + " - " + c.line + "\r\n"),
              std::string::npos);
  }
}

// Root ignores file modes, so the probe runs in a child that has given up
// root: the shared documents folder and the executable's folder are then
// not writable, and the temporary folder is taken.
TEST_F(LoadLocalXmlTest, WriteProtectedCandidatesFallBackWithTheirWarnings) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to an unprivileged user";
  std::string tmp = root_ + "usertmp/";
  fs::create_directories(tmp);
  chmod(tmp.c_str(), 01777);
  fs::create_directories(root_ + "var/lib");
  chmod(LogCapture::Get().folder().c_str(), 01777);
  chmod((LogCapture::Get().folder() + "qvQIV.log").c_str(), 0666);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    setenv("TMPDIR", tmp.c_str(), 1);
    std::string folder = platform::WideToUtf8String(ChooseConfigFolder(L"Tessarin"));
    (void)!write(fds[1], folder.data(), folder.size());
    _exit(0);
  }
  close(fds[1]);
  char buf[4096];
  ssize_t n = read(fds[0], buf, sizeof buf);
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), tmp + "Tessarin/");
  std::string log = LogCapture::Get().Take();
  EXPECT_NE(log.find("get default folder=[" + root_ + "var/lib/Tessarin/] failed, err=[13]."), std::string::npos) << log;
  EXPECT_NE(log.find("get exe folder=["), std::string::npos) << log;
  EXPECT_EQ(log.find("get temp folder"), std::string::npos) << log;
}

}  // namespace
