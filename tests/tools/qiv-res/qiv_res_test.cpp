// The qiv-res command line: its answers, exit codes and what it leaves on
// disk. The binary it works on is a copy of this test program.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/resources/resources.h"

namespace fs = std::filesystem;
extern char** environ;

namespace {

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

struct Result {
  int code = -1;
  std::string out, err;
};

class QivRes : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qiv-res-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    fs::create_directory(dir_ / "work");
    bin_ = dir_ / "work" / "app";
    fs::copy_file("/proc/self/exe", bin_);
    ASSERT_EQ(chmod(bin_.c_str(), 0755), 0);
    WriteAll(dir_ / "a.xml", "<Product>A</Product>");
    WriteAll(dir_ / "b.xml", "<Product>B, longer</Product>");
    WriteAll(dir_ / "empty", "");
  }
  void TearDown() override { fs::remove_all(dir_); }

  Result Tool(std::vector<std::string> args, const char* objcopy = nullptr) {
    args.insert(args.begin(), QIV_RES);
    return Spawn(args, objcopy);
  }

  Result Spawn(std::vector<std::string> args, const char* objcopy = nullptr) {
    Result r;
    const fs::path out = dir_ / "out.txt", err = dir_ / "err.txt";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_store;
    for (char** e = environ; *e; ++e)
      if (std::string(*e).rfind("QIV_OBJCOPY=", 0) != 0) env_store.push_back(*e);
    if (objcopy) env_store.push_back(std::string("QIV_OBJCOPY=") + objcopy);
    std::vector<char*> envp;
    for (auto& e : env_store) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()) == 0) {
      int status = 0;
      waitpid(pid, &status, 0);
      r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&fa);
    r.out = ReadAll(out);
    r.err = ReadAll(err);
    return r;
  }

  // Files other than the binary in its folder (temporary leftovers).
  size_t Leftovers() const {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(dir_ / "work")) n += e.path() != bin_;
    return n;
  }

  fs::path dir_, bin_;
};

TEST_F(QivRes, AddListExtractReplaceRemove) {
  const std::string b = bin_.string();
  Result r = Tool({"list", b});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "");

  ASSERT_EQ(Tool({"add", b, "xml", "106", (dir_ / "a.xml").string()}).code, 0);
  ASSERT_EQ(Tool({"add", b, "EXE", "105", (dir_ / "empty").string()}).code, 0);
  r = Tool({"list", b});
  ASSERT_EQ(r.code, 0);
  EXPECT_EQ(r.out,
            "EXE                     105          0\n"
            "XML                     106         20\n");

  // add refuses an existing resource, replace and remove a missing one.
  r = Tool({"add", b, "XML", "106", (dir_ / "b.xml").string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("already"), std::string::npos) << r.err;
  r = Tool({"replace", b, "XML", "131", (dir_ / "b.xml").string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("no resource XML 131"), std::string::npos) << r.err;
  EXPECT_EQ(Tool({"remove", b, "XML", "131"}).code, 1);

  ASSERT_EQ(Tool({"replace", b, "XML", "106", (dir_ / "b.xml").string()}).code, 0);
  ASSERT_EQ(Tool({"extract", b, "XML", "106", (dir_ / "x.xml").string()}).code, 0);
  EXPECT_EQ(ReadAll(dir_ / "x.xml"), "<Product>B, longer</Product>");
  r = Tool({"extract", b, "xml", "106", "-"});
  EXPECT_EQ(r.out, "<Product>B, longer</Product>");
  r = Tool({"extract", b, "XML", "107", (dir_ / "y.xml").string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_FALSE(fs::exists(dir_ / "y.xml"));

  ASSERT_EQ(Tool({"remove", b, "EXE", "105"}).code, 0);
  auto bundle = platform::ReadBundleFromFile(b);
  ASSERT_TRUE(bundle);
  ASSERT_EQ(bundle->resources().size(), 1u);
  EXPECT_EQ(bundle->resources()[0].type, "XML");

  // stamp adds and replaces several at once; version reads the result.
  WriteAll(dir_ / "v.txt", "FileVersion=3.0.3.1\nProductVersion=3.0.0.0\n");
  r = Tool({"stamp", b, "XML:106:" + (dir_ / "a.xml").string(), "VERSION:1:" + (dir_ / "v.txt").string(),
            "ZIPRES:133:" + (dir_ / "b.xml").string()});
  ASSERT_EQ(r.code, 0) << r.err;
  r = Tool({"version", b});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "FileVersion=3.0.3.1\nProductVersion=3.0.0.0\n");
  auto xml = platform::LoadResourceFromFile(b, "XML", 106);
  ASSERT_TRUE(xml);
  EXPECT_EQ(std::string(xml->begin(), xml->end()), "<Product>A</Product>");

  struct stat st;
  ASSERT_EQ(stat(bin_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_EQ(Leftovers(), 0u);
  // The restamped binary still runs.
  EXPECT_EQ(Spawn({b, "--gtest_list_tests"}).code, 0);
}

TEST_F(QivRes, BadCommandLinesExitWithTwo) {
  const std::string b = bin_.string();
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate", b},
      {"list"},
      {"list", b, "extra"},
      {"extract", b, "XML", "106"},
      {"extract", b, "X-L", "106", "out"},
      {"extract", b, "XML", "abc", "out"},
      {"extract", b, "XML", "-1", "out"},
      {"extract", b, "XML", "4294967296", "out"},
      {"add", b, "SEVENTEEN_LETTERS", "1", "f"},
      {"stamp", b},
      {"stamp", b, "XML:106"},
      {"stamp", b, "XML::f"},
      {"stamp", b, "XML:1x:f"},
      {"remove", b, "XML"},
  };
  const std::string before = ReadAll(bin_);
  for (const auto& args : cases) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    SCOPED_TRACE(joined);
    Result r = Tool(args);
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("usage:"), std::string::npos) << r.err;
  }
  EXPECT_EQ(ReadAll(bin_), before);
}

TEST_F(QivRes, FailuresLeaveTheBinaryAsItWas) {
  const std::string b = bin_.string();
  ASSERT_EQ(Tool({"add", b, "XML", "106", (dir_ / "a.xml").string()}).code, 0);
  const std::string before = ReadAll(bin_);

  // A missing input file, a broken objcopy, a binary that is not ELF.
  Result r = Tool({"replace", b, "XML", "106", (dir_ / "missing.xml").string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("missing.xml"), std::string::npos) << r.err;
  r = Tool({"replace", b, "XML", "106", (dir_ / "b.xml").string()}, "/bin/false");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("objcopy"), std::string::npos) << r.err;
  r = Tool({"replace", b, "XML", "106", (dir_ / "b.xml").string()}, "/nonexistent/objcopy");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(ReadAll(bin_), before);
  EXPECT_EQ(Leftovers(), 0u);

  WriteAll(dir_ / "work" / "notelf", "#!/bin/sh\necho hi\n");
  r = Tool({"add", (dir_ / "work" / "notelf").string(), "XML", "1", (dir_ / "a.xml").string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("not an ELF file"), std::string::npos) << r.err;
  EXPECT_EQ(ReadAll(dir_ / "work" / "notelf"), "#!/bin/sh\necho hi\n");
  fs::remove(dir_ / "work" / "notelf");

  // A damaged bundle is reported, not overwritten blindly.
  std::string damaged = before;
  size_t at = damaged.rfind("<Product>A");
  ASSERT_NE(at, std::string::npos);
  damaged[at] = '(';
  WriteAll(bin_, damaged);
  r = Tool({"list", b});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("checksum"), std::string::npos) << r.err;
  r = Tool({"replace", b, "XML", "106", (dir_ / "b.xml").string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(ReadAll(bin_), damaged);
  r = Tool({"list", (dir_ / "nothing").string()});
  EXPECT_EQ(r.code, 1);
}

TEST_F(QivRes, ReplacesThroughASymbolicLink) {
  const fs::path link = dir_ / "link";
  fs::create_symlink(bin_, link);
  ASSERT_EQ(Tool({"add", link.string(), "XML", "106", (dir_ / "a.xml").string()}).code, 0);
  EXPECT_TRUE(fs::is_symlink(link));
  auto data = platform::LoadResourceFromFile(bin_.string(), "XML", 106);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->size(), 20u);
}

// Root restamping a file of another user keeps its owner and its mode,
// set-id bits included.
TEST_F(QivRes, KeepsOwnerAndModeWhenRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
  ASSERT_EQ(chown(bin_.c_str(), 1234, 2345), 0);
  ASSERT_EQ(chmod(bin_.c_str(), 04751), 0);
  ASSERT_EQ(Tool({"add", bin_.string(), "XML", "106", (dir_ / "a.xml").string()}).code, 0);
  struct stat st;
  ASSERT_EQ(stat(bin_.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 1234u);
  EXPECT_EQ(st.st_gid, 2345u);
  EXPECT_EQ(st.st_mode & 07777, 04751u);
}

}  // namespace
