// The download engine against the test CDN: whole downloads checked byte
// for byte, the split, callbacks and their order, stop and resume, faults.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "download/address_registry.h"
#include "download/downloader_manager.h"
#include "download/md5.h"
#include "testing/cdn/cdn_fixture.h"
#include "tests/download/engine_support.h"
#include "tests/download/test_support.h"
#include "tests/download/engine_fixture.h"

using qiv::test::CountLine;
using qiv::test::Exists;
using qiv::test::FileSizeOf;
using qiv::test::ProgramLogText;
using qiv::test::Recorder;
using qiv::test::SameFile;
using qiv::test::W;

namespace {
using qiv::test::Engine;

TEST_F(Engine, FilesOfManySizesArriveByteForByte) {
  Begin();
  const int64_t sizes[] = {0, 1, 1000, 1000003, 3 * 1048576 + 7, 48 * 1048576};
  int id = 100;
  for (int64_t size : sizes) {
    SCOPED_TRACE(size);
    std::string file = "/pkg/f" + std::to_string(size) + ".bin";
    ASSERT_TRUE(cdn.AddFile(file, size, static_cast<uint32_t>(size)));
    Recorder one;
    dm->SetCallBack(&one);
    ASSERT_EQ(id, Add(Url(file), nullptr, nullptr, id));
    ASSERT_EQ(0, one.WaitResult(120000));
    std::string target = dir + "f" + std::to_string(size) + ".bin";
    EXPECT_TRUE(SameFile(cdn.root() + file, target));
    EXPECT_FALSE(Exists(target + ".~P2S"));
    EXPECT_EQ(size, one.size());
    EXPECT_EQ(L"f" + W(std::to_string(size)) + L".bin", one.name());
    EXPECT_FALSE(one.bad_thread());
    auto seq = one.Sequence();
    ASSERT_GE(seq.size(), 4u);
    EXPECT_EQ("started", seq.front());
    EXPECT_EQ("finished", seq.back());
    ++id;
  }
  // The 1,000,003-byte file in six ranges: the remainder goes to range 0.
  std::string log = ProgramLogText();
  const char* splits[] = {"download: start_pos=[0], will_download=[166668], downloaed=[0]",
                          "download: start_pos=[166668], will_download=[166667], downloaed=[0]",
                          "download: start_pos=[333335], will_download=[166667], downloaed=[0]",
                          "download: start_pos=[500002], will_download=[166667], downloaed=[0]",
                          "download: start_pos=[666669], will_download=[166667], downloaed=[0]",
                          "download: start_pos=[833336], will_download=[166667], downloaed=[0]"};
  for (const char* line : splits) EXPECT_GE(CountLine(log, line), 1) << line;
}

TEST_F(Engine, PresentAndVerifiedFileGivesFourCallbacksWithoutTransfer) {
  Begin();
  ASSERT_TRUE(cdn.AddFile("/pkg/setup.exe", 2000000, 5));
  std::wstring md5 = GetFileMd5(W(cdn.root() + "/pkg/setup.exe"));
  std::wstring list = L"0123456789ABCDEF0123456789ABCDEF," + md5;
  for (wchar_t& c : list) c = static_cast<wchar_t>(std::towlower(c));  // the list is taken in upper case
  ASSERT_EQ(7, Add(Url("/pkg/setup.exe"), nullptr, list.c_str()));
  ASSERT_EQ(0, rec.WaitResult(60000));
  ASSERT_TRUE(SameFile(cdn.root() + "/pkg/setup.exe", dir + "setup.exe"));

  // Present, and its digest is the first entry: no transfer at all.
  std::wstring first = md5 + L",0123456789ABCDEF0123456789ABCDEF";
  int64_t before = RangedBytes();
  Recorder again;
  dm->SetCallBack(&again);
  ASSERT_EQ(7, Add(Url("/pkg/setup.exe"), nullptr, first.c_str()));
  ASSERT_EQ(0, again.WaitResult(60000));
  EXPECT_EQ((std::vector<std::string>{"started", "name", "size", "finished"}), again.Sequence());
  EXPECT_EQ(0, again.progress_count());
  EXPECT_EQ(before, RangedBytes());
  EXPECT_GE(CountLine(ProgramLogText(), "check file md5 ok."), 1);

  // A list that begins with "," skips the digest and takes the CDN size.
  Recorder sized;
  dm->SetCallBack(&sized);
  std::wstring skip = L"," + md5;
  ASSERT_EQ(7, Add(Url("/pkg/setup.exe"), nullptr, skip.c_str()));
  ASSERT_EQ(0, sized.WaitResult(60000));
  EXPECT_EQ((std::vector<std::string>{"started", "name", "size", "finished"}), sized.Sequence());
  EXPECT_GE(CountLine(ProgramLogText(), "check file size ok."), 1);
  EXPECT_EQ(1, dm->GetTaskCount());  // the same id replaced the task each time
}

TEST_F(Engine, NullFolderMeansTheTemporaryFolder) {
  Begin();
  ASSERT_TRUE(cdn.AddFile("/t/tempfile.dat", 12345, 9));
  std::wstring url = Url("/t/tempfile.dat");
  ASSERT_EQ(3, dm->AddTask(url.c_str(), nullptr, nullptr, 3, nullptr, nullptr, 1));
  ASSERT_EQ(0, rec.WaitResult(60000));
  std::string temp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
  EXPECT_TRUE(SameFile(cdn.root() + "/t/tempfile.dat", temp + "/tempfile.dat"));
  ::unlink((temp + "/tempfile.dat").c_str());
}

TEST_F(Engine, Md5ThatMatchesNothingDeletesTheFile) {
  Begin();
  ASSERT_TRUE(cdn.AddFile("/pkg/bad.exe", 300000, 3));
  ASSERT_EQ(7, Add(Url("/pkg/bad.exe"), nullptr, L"0123456789ABCDEF0123456789ABCDEF"));
  EXPECT_EQ(11, rec.WaitResult(120000));
  EXPECT_FALSE(Exists(dir + "bad.exe"));
  EXPECT_FALSE(Exists(dir + "bad.exe.~P2S"));
  EXPECT_GE(CountLine(ProgramLogText(), "handle download finished, check file md5 failed!"), 1);
}

TEST_F(Engine, GivenNameWithWindowsInvalidCharactersIsCleaned) {
  Begin();
  ASSERT_TRUE(cdn.AddFile("/pkg/a.bin", 5000, 4));
  ASSERT_EQ(7, Add(Url("/pkg/a.bin"), "in:va*l?d\"<>|.exe"));
  ASSERT_EQ(0, rec.WaitResult(60000));
  EXPECT_TRUE(SameFile(cdn.root() + "/pkg/a.bin", dir + "in_va_l_d____.exe"));
}

TEST_F(Engine, BadInputEndsInItsCode) {
  Begin();
  ASSERT_TRUE(cdn.AddFile("/pkg/a.bin", 5000, 4));
  // A URL without a path is refused at once.
  std::wstring nopath = W("http://127.0.0.2:" + std::to_string(cdn.port()));
  EXPECT_EQ(-1, dm->AddTask(nopath.c_str(), W(dir).c_str(), nullptr, 8, nullptr, nullptr, 0));
  EXPECT_GE(CountLine(ProgramLogText(), "parse url diy failed!"), 1);
  EXPECT_EQ(-1, dm->AddTask(Url("/pkg/a.bin").c_str(), L"", nullptr, 8, nullptr, nullptr, 0));
  EXPECT_EQ(-1, dm->AddTask(Url("/pkg/a.bin").c_str(), W(dir).c_str(), nullptr, 0, nullptr, nullptr, 0));

  // An unresolvable host: examining the remote file fails (5).
  {
    Recorder r;
    dm->SetCallBack(&r);
    EXPECT_EQ(9, dm->AddTask(L"http://no-such-host.invalid/a.bin", W(dir).c_str(), nullptr, 9, nullptr, nullptr, 0));
    EXPECT_EQ(5, r.WaitResult(120000));
    EXPECT_GE(CountLine(ProgramLogText(), "get remote site info, init host failed!"), 1);
  }
  // A save folder that cannot be created (a file is in the way): 9.
  {
    Recorder r;
    dm->SetCallBack(&r);
    std::string blocker = dir + "blocker";
    ASSERT_EQ(0, ::close(::open(blocker.c_str(), O_CREAT | O_WRONLY, 0644)));
    std::wstring folder = W(blocker + "/sub");
    EXPECT_EQ(10, dm->AddTask(Url("/pkg/a.bin").c_str(), folder.c_str(), nullptr, 10, nullptr, nullptr, 0));
    EXPECT_EQ(9, r.WaitResult(60000));
    EXPECT_GE(CountLine(ProgramLogText(), "create null file failed!"), 1);
  }
  // A redirect loop: examining fails after a bounded number of hops (5).
  {
    Recorder r;
    dm->SetCallBack(&r);
    qiv::testing::CdnRule loop;
    loop.redirect = "/pkg/loop.bin";
    ASSERT_TRUE(cdn.SetRule("*", "/pkg/loop.bin", loop));
    EXPECT_EQ(11, dm->AddTask(Url("/pkg/loop.bin").c_str(), W(dir).c_str(), nullptr, 11, nullptr, nullptr, 0));
    EXPECT_EQ(5, r.WaitResult(120000));
    EXPECT_GE(CountLine(ProgramLogText(), "http download, more than 10 redirects."), 1);
    EXPECT_FALSE(Exists(dir + "loop.bin"));
  }
}

}  // namespace
