#include "app/run_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/qiv_mgr.h"
#include "log_capture.h"
#include "platform/text/text.h"

namespace fs = std::filesystem;

namespace {

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class RunConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogCapture::Get();
    dir_ = LogCapture::Get().folder() + "runcfg-" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "/";
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = dir_ + "QIV_DOWNTASK_1201.xml";
    QivMgr::Get().ResetForTesting();
    QivMgr::Get().run_config_path = platform::Utf8ToWideString(path_);
  }
  std::string dir_, path_;
};

TEST_F(RunConfigTest, WrittenByteForByteAndReadBack) {
  QivMgr& mgr = QivMgr::Get();
  mgr.run_config.Status = L"1";
  mgr.run_config.JoinExp = L"1";
  mgr.run_config.SelectLang = L"Espa\u00F1ol";
  mgr.run_config.InstallPath = L"/opt/A&B <x>/";
  ASSERT_TRUE(WriteRunConfig(mgr));
  EXPECT_EQ(Read(path_),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<config>\r\n"
            "<Status>1</Status>\r\n"
            "<JoinExp>1</JoinExp>\r\n"
            "<SelectLang>Espa\xC3\xB1ol</SelectLang>\r\n"
            "<InstallPath>/opt/A&amp;B &lt;x&gt;/</InstallPath>\r\n"
            "<AgreeExtInstall>1</AgreeExtInstall>\r\n"
            "</config>\r\n");
  EXPECT_FALSE(fs::exists(path_ + ".tmp"));

  RunConfig written = mgr.run_config;
  mgr.run_config = RunConfig();
  ReadRunConfig(mgr);
  EXPECT_EQ(mgr.run_config.Status, written.Status);
  EXPECT_EQ(mgr.run_config.SelectLang, written.SelectLang);
  EXPECT_EQ(mgr.run_config.InstallPath, written.InstallPath);
  EXPECT_EQ(mgr.run_config.AgreeExtInstall, L"1");
}

TEST_F(RunConfigTest, ReadingPartialDamagedAndMissingFiles) {
  struct Case {
    const char* name;
    std::optional<std::string> content;  // nullopt: no file
    RunConfig want;
  } cases[] = {
      {"status only", "<config><Status>1</Status></config>", {L"1", L"", L"", L"", L"1"}},
      {"empty agree", "<config><AgreeExtInstall/><JoinExp>1</JoinExp></config>", {L"0", L"1", L"", L"", L""}},
      {"empty agree pair", "<config><AgreeExtInstall></AgreeExtInstall></config>", {L"0", L"", L"", L"", L""}},
      {"truncated", "<?xml version=\"1.0\"?>\n<config>\r\n<Status>1</Status>\r\n<JoinE", {}},
      {"not xml", "\x01\x02garbage", {}},
      {"other root", "<settings><Status>1</Status></settings>", {}},
      {"empty file", "", {}},
      {"missing", std::nullopt, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(path_);
    if (c.content) std::ofstream(path_, std::ios::binary) << *c.content;
    QivMgr::Get().run_config = RunConfig();
    ReadRunConfig(QivMgr::Get());
    const RunConfig& got = QivMgr::Get().run_config;
    EXPECT_EQ(got.Status, c.want.Status);
    EXPECT_EQ(got.JoinExp, c.want.JoinExp);
    EXPECT_EQ(got.SelectLang, c.want.SelectLang);
    EXPECT_EQ(got.InstallPath, c.want.InstallPath);
    EXPECT_EQ(got.AgreeExtInstall, c.want.AgreeExtInstall);
  }
}

TEST_F(RunConfigTest, ForkModeAndEmptyPathWriteNothingAndFailedWritesKeepTheOldFile) {
  QivMgr& mgr = QivMgr::Get();
  mgr.fork = true;
  EXPECT_FALSE(WriteRunConfig(mgr));
  EXPECT_FALSE(fs::exists(path_));
  mgr.fork = false;
  ASSERT_TRUE(WriteRunConfig(mgr));
  std::string before = Read(path_);
  // A folder in the way of the temporary file makes the write fail: the
  // old file must stay whole.
  fs::create_directories(path_ + ".tmp");
  mgr.run_config.Status = L"1";
  EXPECT_FALSE(WriteRunConfig(mgr));
  EXPECT_EQ(Read(path_), before);
  mgr.run_config_path.clear();
  EXPECT_FALSE(WriteRunConfig(mgr));
}

}  // namespace
