#include "app/simple_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/clock/clock.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A local time stamp for y-m-d h:mi:s in the process's time zone.
int64_t Local(int y, int mo, int d, int h, int mi, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&tm));
}

class SimpleLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("qiv-log-" + std::to_string(getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    platform::SetTimeSourceForTesting(nullptr);
    fs::remove_all(dir_);
  }
  void SetTime(int64_t t) {
    now_.store(t);
    platform::SetTimeSourceForTesting([this] { return now_.load(); });
  }
  fs::path dir_;
  std::atomic<int64_t> now_{0};
};

TEST_F(SimpleLogTest, LineFormatHasHourWithoutLeadingZeroAndCrLf) {
  SetTime(Local(2022, 5, 6, 9, 4, 7));
  simpleLog log((dir_ / "qvQIV.log").string());
  log.StartWithoutBackupThread();
  log.Log("[INFO] %d - start, fork=[%d].", 4242, 0);
  SetTime(Local(2022, 12, 31, 23, 59, 59));
  log.Log("[WARN] %d - %s", 7, "two\nlines");
  EXPECT_EQ(ReadFile(dir_ / "qvQIV.log"),
            "[2022-05-06 9:04:07] [INFO] 4242 - start, fork=[0].\r\n"
            "[2022-12-31 23:59:59] [WARN] 7 - two\r\nlines\r\n");
}

TEST_F(SimpleLogTest, DeletedFileIsCreatedAgainAndLongLinesAreWhole) {
  simpleLog log((dir_ / "a.log").string());
  log.StartWithoutBackupThread();
  log.Log("[INFO] %d - first", 1);
  fs::remove(dir_ / "a.log");
  std::string big(5000, 'x');
  log.Log("[INFO] %d - %s", 2, big.c_str());
  std::string content = ReadFile(dir_ / "a.log");
  EXPECT_EQ(content.find("first"), std::string::npos);
  EXPECT_NE(content.find("[INFO] 2 - " + big + "\r\n"), std::string::npos);
}

TEST_F(SimpleLogTest, UnwritableFolderLosesLinesQuietly) {
  simpleLog log((dir_ / "missing" / "folder" / "x.log").string());
  log.StartWithoutBackupThread();
  log.Log("[INFO] %d - nowhere", 1);  // must neither crash nor create anything
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(SimpleLogTest, BackupNamesCountUpOnOneDay) {
  SetTime(Local(2024, 3, 9, 10, 0, 0));
  std::string path = (dir_ / "qvQIV.log").string();
  simpleLog log(path);
  log.StartWithoutBackupThread();
  for (int run = 0; run < 3; ++run) {
    log.Log("[INFO] %d - run %d", 1, run);
    log.Rotate();
  }
  EXPECT_TRUE(fs::exists(path));
  EXPECT_EQ(fs::file_size(path), 0u);
  EXPECT_NE(ReadFile(path + ".2024-03-09").find("run 0"), std::string::npos);
  EXPECT_NE(ReadFile(path + ".2024-03-09.1").find("run 1"), std::string::npos);
  EXPECT_NE(ReadFile(path + ".2024-03-09.2").find("run 2"), std::string::npos);
}

TEST_F(SimpleLogTest, BackupPassRotatesOnlyInHour23AndOnlyNonEmptyFiles) {
  std::string path = (dir_ / "qvQIV.log").string();
  simpleLog log(path);
  log.StartWithoutBackupThread();

  struct Case {
    int hour;
    bool write_first;
    uint32_t sleep;
    bool rotated;
  } cases[] = {
      {22, true, 300000, false},
      {23, false, 7500000, false},  // empty file: nothing to rotate, still the long sleep
      {23, true, 7500000, true},
      {0, true, 300000, false},
  };
  int day = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hour);
    SetTime(Local(2023, 7, day, c.hour, 10, 0));
    std::string backup = path + ".2023-07-0" + std::to_string(day);
    ++day;
    std::ofstream(path, std::ios::trunc).close();
    if (c.write_first) log.Log("[INFO] %d - hour %d", 1, c.hour);
    EXPECT_EQ(log.BackupPass(), c.sleep);
    EXPECT_EQ(fs::exists(backup), c.rotated);
  }
}

// Eight writers and a rotator: every line ends up whole in exactly one file.
TEST_F(SimpleLogTest, ConcurrentWritersDuringRotationsLoseNothing) {
  std::string path = (dir_ / "qvQIV.log").string();
  simpleLog log(path);
  log.StartWithoutBackupThread();
  constexpr int kThreads = 8;
  constexpr int kLines = 10000;
  std::atomic<bool> done{false};
  std::thread rotator([&] {
    while (!done.load()) {
      log.Rotate();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) log.Log("[INFO] %d - writer %d line %d end", 1000 + t, t, i);
    });
  }
  for (auto& w : writers) w.join();
  done = true;
  rotator.join();

  std::map<int, std::vector<bool>> seen;
  for (int t = 0; t < kThreads; ++t) seen[t].assign(kLines, false);
  std::regex line_re(R"(^\[\d{4}-\d{2}-\d{2} \d{1,2}:\d{2}:\d{2}\] \[INFO\] (\d+) - writer (\d+) line (\d+) end\r$)");
  size_t files = 0, total = 0;
  for (const auto& entry : fs::directory_iterator(dir_)) {
    ++files;
    std::ifstream in(entry.path(), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, line_re)) << entry.path() << ": " << line;
      int t = std::stoi(m[2]);
      int i = std::stoi(m[3]);
      ASSERT_EQ(std::stoi(m[1]), 1000 + t);
      ASSERT_FALSE(seen[t][i]) << "duplicate line";
      seen[t][i] = true;
      ++total;
    }
  }
  EXPECT_EQ(total, static_cast<size_t>(kThreads * kLines));
  EXPECT_GT(files, 2u) << "the rotator should have produced backups";
}

}  // namespace
