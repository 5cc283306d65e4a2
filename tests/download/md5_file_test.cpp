#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "download/file_helpers.h"
#include "download/md5.h"
#include "platform/sync/sync.h"
#include "testing/cdn/cdn_fixture.h"
#include "tests/download/test_support.h"

using qiv::test::LogCapture;

namespace {
std::string Scratch() {
  char pattern[] = "/tmp/qiv-md5-XXXXXX";
  return ::mkdtemp(pattern) ? std::string(pattern) : std::string();
}

void WriteRandom(const std::string& path, int64_t size, uint32_t seed) {
  std::mt19937_64 rng(seed);
  FILE* f = std::fopen(path.c_str(), "wb");
  std::vector<uint64_t> buf(1 << 17);
  for (int64_t done = 0; done < size;) {
    for (auto& v : buf) v = rng();
    size_t n = static_cast<size_t>(std::min<int64_t>(size - done, static_cast<int64_t>(buf.size() * 8)));
    ASSERT_EQ(n, std::fwrite(buf.data(), 1, n, f));
    done += static_cast<int64_t>(n);
  }
  std::fclose(f);
}

// The independent side: md5sum, upper-cased.
std::wstring Md5sum(const std::string& path) {
  std::string cmd = "md5sum '" + path + "'";
  FILE* p = ::popen(cmd.c_str(), "r");
  char line[128] = {};
  std::fgets(line, sizeof line, p);
  ::pclose(p);
  std::wstring out;
  for (int i = 0; i < 32; ++i) out.push_back(static_cast<wchar_t>(std::toupper(line[i])));
  return out;
}

std::wstring W(const std::string& s) { return std::wstring(s.begin(), s.end()); }

void CheckSizes(const std::vector<int64_t>& sizes) {
  std::string dir = Scratch();
  for (int64_t size : sizes) {
    std::string path = dir + "/f" + std::to_string(size);
    WriteRandom(path, size, static_cast<uint32_t>(size));
    EXPECT_EQ(Md5sum(path), GetFileMd5(W(path))) << size;
    ::unlink(path.c_str());
  }
  ::rmdir(dir.c_str());
}
}  // namespace

#ifdef QIV_SLOW_ONLY
TEST(FileMd5Slow, MatchesMd5sumOn300MiB) { CheckSizes({300ll << 20}); }
#else
TEST(FileMd5, MatchesMd5sumAcrossBlockAndPieceEdges) {
  EXPECT_EQ(L"D41D8CD98F00B204E9800998ECF8427E", [] {
    std::string dir = Scratch();
    std::string p = dir + "/empty";
    FILE* f = std::fopen(p.c_str(), "wb");
    std::fclose(f);
    return GetFileMd5(W(p));
  }());
  CheckSizes({1, 55, 56, 63, 64, 65, 1000003, 64ll << 20, (64ll << 20) + 1, (128ll << 20) - 1});
}

TEST(FileMd5, ShrinkingMissingAndOddFilesGiveNoDigest) {
  std::string dir = Scratch();
  std::string path = dir + "/shrinks";
  WriteRandom(path, 3000, 7);
  // Cut the file after the first piece of 1,000 bytes was read.
  std::wstring digest = GetFileMd5Pieces(W(path), 1000, [&](int64_t done) {
    if (done == 1000) {
      ASSERT_EQ(0, ::truncate(path.c_str(), 1500));
    }
  });
  EXPECT_EQ(L"", digest);
  EXPECT_EQ(L"", GetFileMd5(W(dir + "/missing")));
  EXPECT_EQ(L"", GetFileMd5(W(dir)));  // a folder
  EXPECT_EQ(L"", GetFileMd5(L""));
  // The same piece size on an unchanged file gives the real digest.
  EXPECT_EQ(Md5sum(path), GetFileMd5Pieces(W(path), 1000, nullptr));
}

TEST(SizedFile, CreatesReservesAndCleansUp) {
  LogCapture log;
  std::string dir = Scratch();
  std::string path = dir + "/part.~P2S";
  struct stat st {};
  EXPECT_EQ(3, CreateSizedFile(L"", 10));
  EXPECT_EQ(0, CreateSizedFile(W(path), 0));
  ASSERT_EQ(0, ::stat(path.c_str(), &st));
  EXPECT_EQ(0, st.st_size);
  EXPECT_EQ(0, CreateSizedFile(W(path), -5));
  // An existing file is replaced; the size is reserved, not sparse.
  EXPECT_EQ(0, CreateSizedFile(W(path), 3 << 20));
  ASSERT_EQ(0, ::stat(path.c_str(), &st));
  EXPECT_EQ(3 << 20, st.st_size);
  EXPECT_GE(st.st_blocks * 512, 3 << 20);
  EXPECT_NE(std::string::npos, log.Text().find(" - create file=[" + path + "], hFile=["));
  // A folder that does not exist: 1 and no file.
  EXPECT_EQ(1, CreateSizedFile(W(dir + "/no/such/part"), 10));
  // A folder in the way of the name cannot be deleted or created over.
  EXPECT_EQ(1, CreateSizedFile(W(dir), 10));
  EXPECT_TRUE(log.Has("[WARN]", "before create, delete file=[" + dir + "], error=[21]."));
}

TEST(SizedFile, FullDiskGivesTwoAndLeavesNoFile) {
  std::string mount_point = "/tmp/qiv-small-fs";
  ::mkdir(mount_point.c_str(), 0755);
  QIV_RUN_IN_MOUNT_NAMESPACE("mount -t tmpfs -o size=1m tmpfs " + mount_point);
  std::string path = mount_point + "/big.~P2S";
  EXPECT_EQ(2, CreateSizedFile(W(path), 4 << 20));
  struct stat st {};
  EXPECT_NE(0, ::stat(path.c_str(), &st));  // deleted
  EXPECT_EQ(0, CreateSizedFile(W(path), 512 << 10));  // what fits still works
  ASSERT_EQ(0, ::stat(path.c_str(), &st));
  EXPECT_EQ(512 << 10, st.st_size);
}

TEST(PathHelpers, SplitPathAndName) {
  std::string dir = Scratch();
  struct Case {
    std::wstring path, folder, name, base, ext;
  } cases[] = {
      {L"/tmp/a/setup.exe", L"/tmp/a/", L"setup.exe", L"setup", L"exe"},
      {L"C:\\dl\\pkg.tar.gz", L"C:\\dl\\", L"pkg.tar.gz", L"pkg.tar", L"gz"},
      {L"name.exe?x=1", L"", L"name.exe?x=1", L"name", L"exe"},
      {L"noext", L"", L"noext", L"noext", L""},
      {L"/a/.hidden", L"/a/", L".hidden", L"", L"hidden"},
      {L"/a/b.", L"/a/", L"b.", L"b", L""},
      {W(dir), W(dir) + L"/", L"", L"", L""},  // an existing folder is all folder
  };
  for (const Case& c : cases) {
    std::wstring folder, name, base, ext;
    ASSERT_TRUE(SplitPath(c.path, &folder, &name));
    EXPECT_EQ(c.folder, folder);
    EXPECT_EQ(c.name, name);
    ASSERT_TRUE(SplitPathName(c.path, &folder, &base, &ext));
    EXPECT_EQ(c.base, base);
    EXPECT_EQ(c.ext, ext);
  }
  std::wstring folder, name, base, ext;
  EXPECT_FALSE(SplitPath(L"/" + std::wstring(300, L'a') + L"/x", &folder, &name));
  EXPECT_FALSE(SplitExtension(std::wstring(300, L'b') + L".exe", &base, &ext));
  ASSERT_TRUE(SplitExtension(L"x." + std::wstring(300, L'e'), &base, &ext));
  EXPECT_EQ(255u, ext.size());
}

TEST(PathHelpers, SanitizeAndTrailingSeparator) {
  struct Case {
    std::wstring in;
    bool whole;
    std::wstring out;
  } cases[] = {
      {L"C:\\a:b\\c?.exe", false, L"C:\\a_b\\c_.exe"},
      {L"C:/x*y/", false, L"C:/x_y/"},
      {L"/abs/p|q<r>\"", false, L"/abs/p_q_r__"},
      {L"a/b\\c:d", true, L"a_b_c_d"},
      {L"", false, L""},
      {L":", false, L"_"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.out, SanitizePath(c.in, c.whole));
  std::wstring f = L"/tmp/x:y";
  EnsureTrailingSeparator(f);
  EXPECT_EQ(L"/tmp/x_y/", f);
  EnsureTrailingSeparator(f);
  EXPECT_EQ(L"/tmp/x_y/", f);
  std::wstring w = L"C:\\dl";
  EnsureTrailingSeparator(w, L'\\');
  EXPECT_EQ(L"C:\\dl\\", w);
  std::wstring too_long(300, L'a');
  EnsureTrailingSeparator(too_long);
  EXPECT_EQ(std::wstring(300, L'a'), too_long);
}

TEST(StopThreadTest, EndedThreadsAndAbandonedOnes) {
  EXPECT_EQ(1, StopThread(nullptr, 10));
  platform::Thread quick;
  ASSERT_TRUE(quick.Start([] {}));
  EXPECT_EQ(1, StopThread(&quick, 5000));

  // A thread that overruns: the caller is back after the limit, and the
  // thread goes on with state it owns (shared), holding no lock of ours.
  struct Shared {
    platform::Event release{true, false};
    std::atomic<bool> finished{false};
  };
  auto shared = std::make_shared<Shared>();
  {
    platform::Thread slow;
    ASSERT_TRUE(slow.Start([shared] {
      shared->release.Wait();
      shared->finished.store(true);
    }));
    auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(0, StopThread(&slow, 200));
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    EXPECT_GE(took, 0.19);
    EXPECT_LT(took, 2.0);
    EXPECT_EQ(1, StopThread(&slow, 10));  // nothing left to wait for
  }  // the abandoned thread outlives its handle
  EXPECT_FALSE(shared->finished.load());
  shared->release.Set();
  for (int i = 0; i < 200 && !shared->finished.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(shared->finished.load());
}
#endif  // QIV_SLOW_ONLY
