// Stop and resume, work stealing and faults of the download engine.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

#include "download/address_registry.h"
#include "tests/download/engine_fixture.h"

using namespace qiv::test;

namespace {

struct Record {
  int32_t count = 0;
  std::vector<SegmentRecord> segments;
  int64_t downloaded = 0;
};

Record ReadRecord(const std::string& partial) {
  Record r;
  int fd = ::open(partial.c_str(), O_RDONLY);
  if (fd < 0) return r;
  int64_t size = FileSizeOf(partial);
  if (::pread(fd, &r.count, 4, size - 4) == 4 && r.count > 0 && r.count < 64) {
    r.segments.resize(static_cast<size_t>(r.count));
    ssize_t want = 24 * r.count;
    if (::pread(fd, r.segments.data(), static_cast<size_t>(want), size - 4 - want) != want) r.segments.clear();
    for (const auto& s : r.segments) r.downloaded += s.downloaded;
  }
  ::close(fd);
  return r;
}

// Every byte the record calls downloaded is the source's byte.
bool RecordMatchesSource(const std::string& partial, const std::string& source, const Record& r) {
  int p = ::open(partial.c_str(), O_RDONLY), s = ::open(source.c_str(), O_RDONLY);
  bool ok = p >= 0 && s >= 0;
  for (const auto& seg : r.segments) {
    std::vector<char> a(static_cast<size_t>(seg.downloaded)), b(a.size());
    ok = ok && ::pread(p, a.data(), a.size(), seg.start) == static_cast<ssize_t>(a.size()) &&
         ::pread(s, b.data(), b.size(), seg.start) == static_cast<ssize_t>(b.size()) && a == b;
  }
  if (p >= 0) ::close(p);
  if (s >= 0) ::close(s);
  return ok;
}

int64_t BodyBytes(qiv::testing::CdnServer& cdn, const std::string& addr = "") {
  int64_t n = 0;
  for (const auto& r : cdn.Requests()) {
    if (r.method == "GET" && (addr.empty() || r.addr == addr)) n += r.body_bytes;
  }
  return n;
}

void WaitDownloaded(ns_VDL::DownloaderManager& dm, int id, int64_t at_least) {
  for (int i = 0; i < 3000; ++i) {
    ns_VDL::TaskInfo info;
    if (dm.GetTaskInfo(id, &info) && info.downloaded >= at_least) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ADD_FAILURE() << "the download did not reach " << at_least;
}

qiv::testing::CdnRule Rate(int64_t rate) {
  qiv::testing::CdnRule r;
  r.rate = rate;
  return r;
}

TEST_F(Engine, StopAndResumeFetchOnlyTheMissingBytes) {
  Begin();
  const int64_t size = 12 << 20;
  ASSERT_TRUE(cdn.AddFile("/pkg/big.bin", size, 21));
  ASSERT_TRUE(cdn.SetRule("*", "*", Rate(1000000)));
  ASSERT_EQ(7, Add(Url("/pkg/big.bin"), nullptr));
  WaitDownloaded(*dm, 7, size * 2 / 5);

  // GetTaskInfo never waits behind the stop.
  std::atomic<bool> stopping{true};
  std::atomic<long> slowest_us{0};
  std::thread asker([&] {
    while (stopping) {
      auto t0 = std::chrono::steady_clock::now();
      ns_VDL::TaskInfo info;
      dm->GetTaskInfo(7, &info);
      long us = static_cast<long>(
          std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count());
      if (us > slowest_us) slowest_us = us;
    }
  });
  EXPECT_EQ(1, dm->StopTask(7));
  stopping = false;
  asker.join();
  EXPECT_LT(slowest_us.load(), 100000);

  std::string partial = dir + "big.bin.~P2S";
  ASSERT_EQ(size + 24 * 6 + 4, FileSizeOf(partial));
  Record r = ReadRecord(partial);
  ASSERT_EQ(6, r.count);
  EXPECT_GE(r.downloaded, size * 2 / 5);
  EXPECT_LT(r.downloaded, size);
  EXPECT_TRUE(RecordMatchesSource(partial, cdn.root() + "/pkg/big.bin", r));
  EXPECT_EQ(-1, rec.WaitResult(200));  // a stopped task reports nothing
  int64_t first_run = BodyBytes(cdn);

  ASSERT_TRUE(cdn.Clear());
  // Still limited: a range that is split is cut at its new end, and what an
  // unlimited server pushed past it would only measure the socket buffers.
  ASSERT_TRUE(cdn.SetRule("*", "*", Rate(1000000)));
  ASSERT_EQ(1, dm->ResumeTask(7));
  ASSERT_EQ(0, rec.WaitResult(120000));
  EXPECT_TRUE(SameFile(cdn.root() + "/pkg/big.bin", dir + "big.bin"));
  EXPECT_GE(CountLine(ProgramLogText(), "check file resume ok."), 1);
  // Only the missing bytes were asked for again: the workers' transfers add
  // up to what the record lacked (plus the examination's first answer and
  // what a cut connection had already pushed).
  int64_t second_run = 0;
  for (const auto& q : cdn.Requests()) {
    if (q.method == "GET" && q.range != "bytes=0-") second_run += q.body_bytes;
  }
  EXPECT_GE(second_run, size - r.downloaded);
  EXPECT_LE(second_run, size - r.downloaded + (1 << 20));
  EXPECT_LE(first_run + second_run, size + (4 << 20));
}

TEST_F(Engine, ChangedSegmentCountReplacesThePartialFile) {
  Begin();
  const int64_t size = 8 << 20;
  ASSERT_TRUE(cdn.AddFile("/pkg/seg.bin", size, 22));
  ASSERT_TRUE(cdn.SetRule("*", "*", Rate(1000000)));
  CDownloadManager::SetDefaultSegments(4);
  ASSERT_EQ(7, Add(Url("/pkg/seg.bin"), nullptr));
  WaitDownloaded(*dm, 7, size / 3);
  ASSERT_EQ(1, dm->StopTask(7));
  std::string partial = dir + "seg.bin.~P2S";
  ASSERT_EQ(size + 24 * 4 + 4, FileSizeOf(partial));
  EXPECT_EQ(4, ReadRecord(partial).count);

  CDownloadManager::SetDefaultSegments(6);
  ASSERT_TRUE(cdn.Clear());
  std::string before = ProgramLogText();
  ASSERT_EQ(1, dm->ResumeTask(7));
  ASSERT_EQ(0, rec.WaitResult(120000));
  EXPECT_TRUE(SameFile(cdn.root() + "/pkg/seg.bin", dir + "seg.bin"));
  std::string after = ProgramLogText().substr(before.size());
  EXPECT_EQ(0, CountLine(after, "check file resume ok."));
  EXPECT_EQ(1, CountLine(after, "create null file=[" + partial + "], ret=[0]."));
  int64_t ranged = 0;
  for (const auto& q : cdn.Requests()) {
    if (q.method == "GET" && q.range != "bytes=0-") ranged += q.body_bytes;
  }
  EXPECT_GE(ranged, size);  // everything again
}

TEST_F(Engine, ServerWithoutRangesGetsOneWorkerAndNoRecord) {
  Begin();
  const int64_t size = 3 << 20;
  ASSERT_TRUE(cdn.AddFile("/pkg/plain.bin", size, 23));
  qiv::testing::CdnRule plain;
  plain.no_ranges = true;
  plain.rate = 1000000;
  ASSERT_TRUE(cdn.SetRule("*", "*", plain));
  ASSERT_EQ(7, Add(Url("/pkg/plain.bin"), nullptr));
  WaitDownloaded(*dm, 7, size / 4);
  ASSERT_EQ(1, dm->StopTask(7));
  std::string partial = dir + "plain.bin.~P2S";
  EXPECT_LT(FileSizeOf(partial), size);  // the data so far, no record behind it
  EXPECT_GT(FileSizeOf(partial), 0);

  plain.rate = 0;
  ASSERT_TRUE(cdn.SetRule("*", "*", plain));
  ASSERT_EQ(1, dm->ResumeTask(7));
  ASSERT_EQ(0, rec.WaitResult(120000));
  EXPECT_TRUE(SameFile(cdn.root() + "/pkg/plain.bin", dir + "plain.bin"));
  std::string log = ProgramLogText();
  EXPECT_GE(CountLine(log, "assign download task, file size=[" + std::to_string(size) + "], support resume=[0]"), 2);
  EXPECT_GE(CountLine(log, "set thread count=[1]."), 1);
}

TEST_F(Engine, FaultsEndInTheirCodes) {
  Begin();
  struct Case {
    const char* name;
    int64_t size;
    qiv::testing::CdnRule rule;
    int code;
    const char* log_line;
  };
  qiv::testing::CdnRule no_length;
  no_length.no_length = true;
  qiv::testing::CdnRule resets;
  resets.reset_after = 400000;
  const Case cases[] = {
      {"nolength.bin", 200000, no_length, 3, "download finished, retry=[9], result=[3]."},
      {"resets.bin", 4 << 20, resets, 0, "download, retry=[1]"},
  };
  int id = 20;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = std::string("/f/") + c.name;
    ASSERT_TRUE(cdn.AddFile(file, c.size, static_cast<uint32_t>(id)));
    ASSERT_TRUE(cdn.SetRule("*", file, c.rule));
    Recorder r;
    dm->SetCallBack(&r);
    ASSERT_EQ(id, Add(Url(file), nullptr, nullptr, id));
    EXPECT_EQ(c.code, r.WaitResult(180000));
    EXPECT_GE(CountLine(ProgramLogText(), c.log_line), 1) << c.log_line;
    if (c.code == 0) {
      EXPECT_TRUE(SameFile(cdn.root() + file, dir + c.name));
    } else {
      EXPECT_FALSE(Exists(dir + c.name));
    }
    ++id;
  }
}

TEST_F(Engine, MoreBytesThanTheSizeGiveTwelveAndNoFile) {
  Begin();
  // A server that announces 10 bytes and sends 30 with its headers.
  ScriptedServer liar("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n" + std::string(30, 'x'));
  std::wstring url = W("http://127.0.0.1:" + std::to_string(liar.port()) + "/pkg/liar.bin");
  ASSERT_EQ(7, dm->AddTask(url.c_str(), W(dir).c_str(), nullptr, 7, nullptr, nullptr, 0));
  EXPECT_EQ(12, rec.WaitResult(120000));
  EXPECT_GE(CountLine(ProgramLogText(), "handle download finished, begin result=[12]"), 1);
  EXPECT_FALSE(Exists(dir + "liar.bin"));
  EXPECT_FALSE(Exists(dir + "liar.bin.~P2S"));
}

TEST_F(Engine, StopDuringThePauseBetweenAttemptsReportsNothing) {
  Begin();
  CDownloadManager::SetRetryPauseForTesting(6000);
  ASSERT_TRUE(cdn.AddFile("/pkg/e.bin", 1000, 1));
  qiv::testing::CdnRule broken;
  broken.status = 500;
  ASSERT_TRUE(cdn.SetRule("*", "*", broken));
  size_t from = ProgramLogText().size();
  auto fresh = [&] { return ProgramLogText().substr(from); };
  ASSERT_EQ(7, Add(Url("/pkg/e.bin"), nullptr));
  for (int i = 0; i < 500 && CountLine(fresh(), "handle download finished, end result=[5]") == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(1, CountLine(fresh(), "handle download finished, end result=[5]"));
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(1, dm->StopTask(7));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  EXPECT_EQ(-1, rec.WaitResult(500));
  EXPECT_EQ(1, CountLine(fresh(), "download delay retry, cancel."));
  EXPECT_EQ((std::vector<std::string>{"started"}), rec.Sequence());
  CDownloadManager::SetRetryPauseForTesting(30);
}

TEST_F(Engine, FullDiskGivesTen) {
  std::string mount_point = "/tmp/qiv-engine-small-fs";
  ::mkdir(mount_point.c_str(), 0755);
  QIV_RUN_IN_MOUNT_NAMESPACE("mount -t tmpfs -o size=1m tmpfs " + mount_point);
  Begin();
  ASSERT_TRUE(cdn.AddFile("/pkg/huge.bin", 3 << 20, 2));
  std::wstring folder = W(mount_point);
  ASSERT_EQ(7, dm->AddTask(Url("/pkg/huge.bin").c_str(), folder.c_str(), nullptr, 7, nullptr, nullptr, 0));
  EXPECT_EQ(10, rec.WaitResult(120000));
  EXPECT_GE(CountLine(ProgramLogText(), "disk space not enough!"), 1);
  EXPECT_FALSE(Exists(mount_point + "/huge.bin.~P2S"));
  EXPECT_FALSE(Exists(mount_point + "/huge.bin"));
}

TEST_F(Engine, AddressWithTheWrongSizeIsLeftOut) {
  QIV_RUN_IN_MOUNT_NAMESPACE(qiv::testing::PrivateHostsSetup(kHosts));
  Begin();
  const int64_t size = 6 << 20;
  ASSERT_TRUE(cdn.AddFile("/pkg/odd.bin", size, 31));
  qiv::testing::CdnRule wrong;
  wrong.report_size = size + 100;
  ASSERT_TRUE(cdn.SetRule("127.0.0.4", "*", wrong));
  ASSERT_EQ(7, Add(Url("/pkg/odd.bin", "cdn.test"), nullptr));
  ASSERT_EQ(0, rec.WaitResult(120000));
  EXPECT_TRUE(SameFile(cdn.root() + "/pkg/odd.bin", dir + "odd.bin"));
  EXPECT_GE(CountLine(ProgramLogText(), "remove host ip=[127.0.0.4]"), 1);
  int gets_on_odd = 0, gets_elsewhere = 0;
  for (const auto& q : cdn.Requests()) {
    if (q.method != "GET") continue;
    (q.addr == "127.0.0.4" ? gets_on_odd : gets_elsewhere)++;
  }
  EXPECT_EQ(0, gets_on_odd);
  EXPECT_GE(gets_elsewhere, 7);
}

TEST_F(Engine, IdleConnectionsStealFromTheCrawlingAddress) {
  QIV_RUN_IN_MOUNT_NAMESPACE(qiv::testing::PrivateHostsSetup(kHosts));
  Begin();
  const int64_t size = 12 << 20;
  ASSERT_TRUE(cdn.AddFile("/pkg/steal.bin", size, 41));
  ASSERT_TRUE(cdn.SetRule("127.0.0.4", "*", Rate(30000)));
  ASSERT_TRUE(cdn.SetRule("127.0.0.2", "*", Rate(3000000)));
  ASSERT_TRUE(cdn.SetRule("127.0.0.3", "*", Rate(3000000)));
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(7, Add(Url("/pkg/steal.bin", "cdn.test"), nullptr));
  // Sample the busy connections until three quarters have arrived (at the
  // very end, pieces under 100 KiB are no longer split and connections idle).
  auto manager = dm->TaskManagerOf(7);
  ASSERT_NE(nullptr, manager);
  int samples = 0, all_busy = 0;
  for (int i = 0; i < 6000; ++i) {
    ns_VDL::TaskInfo info;
    if (dm->GetTaskInfo(7, &info) && info.downloaded >= size * 3 / 4) break;
    if (info.downloaded > size / 20) {
      ++samples;
      all_busy += manager->RunningWorkers() == 6 ? 1 : 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(0, rec.WaitResult(120000));
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_TRUE(SameFile(cdn.root() + "/pkg/steal.bin", dir + "steal.bin"));
  // Two of the six 2 MiB ranges started on the crawling address; alone it
  // would have needed more than a minute for them.
  EXPECT_LT(took, std::chrono::seconds(40));
  ASSERT_GT(samples, 10);
  EXPECT_GE(all_busy * 10, samples * 9) << all_busy << " of " << samples;
  int64_t slow = BodyBytes(cdn, "127.0.0.4");
  EXPECT_LT(slow, size / 6);  // the crawling connections gave most of their ranges away
  int ranged_gets = 0;
  for (const auto& q : cdn.Requests()) ranged_gets += q.method == "GET" && q.range != "bytes=0-" ? 1 : 0;
  EXPECT_GT(ranged_gets, 6);  // stolen ranges were fetched by new requests
  // A range that was stolen from shrank: its length was set more than once.
  bool shrunk = false;
  for (const auto& [segment, lengths] : rec.lengths()) {
    for (size_t i = 1; i < lengths.size(); ++i) shrunk = shrunk || lengths[i] < lengths[i - 1];
  }
  EXPECT_TRUE(shrunk);
}

}  // namespace
