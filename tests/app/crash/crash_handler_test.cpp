// Crashes the victim program (a copy in a scratch folder) in several ways and
// checks what it leaves: the death by the signal, the collector's fields as
// printed before the dump, and the dump itself, read both by a small reader
// here and by lldb.
#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/crash_handler.h"
#include "report/track_state.h"

namespace fs = std::filesystem;

namespace {

// --- a small minidump reader -------------------------------------------------

uint32_t U32(const std::vector<uint8_t>& d, size_t at) {
  uint32_t v = 0;
  if (at + 4 <= d.size()) std::memcpy(&v, d.data() + at, 4);
  return v;
}
uint64_t U64(const std::vector<uint8_t>& d, size_t at) {
  uint64_t v = 0;
  if (at + 8 <= d.size()) std::memcpy(&v, d.data() + at, 8);
  return v;
}

struct DumpThread {
  uint32_t tid;
  uint64_t stack_start;
  uint32_t stack_size;
  uint64_t rip, rsp;
};
struct DumpModule {
  uint64_t base;
  uint32_t size;
  std::string name;
  uint32_t cv_size;
};
struct Dump {
  bool ok = false;
  std::string error;
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> streams;  // type -> size, rva
  uint16_t arch = 0;
  uint32_t platform = 0;
  uint32_t pid = 0;
  std::vector<DumpThread> threads;
  std::vector<DumpModule> modules;
  std::vector<std::pair<uint64_t, uint32_t>> memory;  // start, size
  uint32_t exception_tid = 0, exception_code = 0;
  uint64_t exception_address = 0, exception_rip = 0;
  std::string maps;
};

std::string ReadMinidumpString(const std::vector<uint8_t>& d, uint32_t rva) {
  uint32_t bytes = U32(d, rva);
  std::string out;
  for (uint32_t i = 0; i + 1 < bytes && rva + 4 + i + 1 < d.size(); i += 2) {
    uint16_t unit = static_cast<uint16_t>(d[rva + 4 + i] | (d[rva + 5 + i] << 8));
    out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');  // test paths are ASCII
  }
  return out;
}

Dump ReadDump(const std::string& path) {
  Dump dump;
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (d.size() < 32 || U32(d, 0) != 0x504D444D || (U32(d, 4) & 0xFFFF) != 0xA793) {
    dump.error = "bad header";
    return dump;
  }
  uint32_t count = U32(d, 8), dir = U32(d, 12);
  if (dir + uint64_t{count} * 12 > d.size()) {
    dump.error = "directory out of the file";
    return dump;
  }
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t type = U32(d, dir + i * 12), size = U32(d, dir + i * 12 + 4), rva = U32(d, dir + i * 12 + 8);
    if (uint64_t{rva} + size > d.size()) {
      dump.error = "stream " + std::to_string(type) + " out of the file";
      return dump;
    }
    dump.streams[type] = {size, rva};
  }
  auto context_regs = [&](uint32_t rva, uint64_t* rip, uint64_t* rsp) {
    *rip = U64(d, rva + 0xF8);
    *rsp = U64(d, rva + 0x98);
  };
  if (auto s = dump.streams.find(7); s != dump.streams.end()) {
    dump.arch = static_cast<uint16_t>(U32(d, s->second.second) & 0xFFFF);
    dump.platform = U32(d, s->second.second + 20);
  }
  if (auto s = dump.streams.find(15); s != dump.streams.end()) dump.pid = U32(d, s->second.second + 8);
  if (auto s = dump.streams.find(3); s != dump.streams.end()) {
    uint32_t rva = s->second.second, n = U32(d, rva);
    if (4 + n * 48 != s->second.first) {
      dump.error = "thread list size";
      return dump;
    }
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t e = rva + 4 + i * 48;
      DumpThread t{U32(d, e), U64(d, e + 24), U32(d, e + 32), 0, 0};
      if (U32(d, e + 40) != 1232) {
        dump.error = "context size";
        return dump;
      }
      context_regs(U32(d, e + 44), &t.rip, &t.rsp);
      dump.threads.push_back(t);
    }
  }
  if (auto s = dump.streams.find(4); s != dump.streams.end()) {
    uint32_t rva = s->second.second, n = U32(d, rva);
    if (4 + n * 108 != s->second.first) {
      dump.error = "module list size";
      return dump;
    }
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t e = rva + 4 + i * 108;
      dump.modules.push_back({U64(d, e), U32(d, e + 8), ReadMinidumpString(d, U32(d, e + 20)), U32(d, e + 76)});
    }
  }
  if (auto s = dump.streams.find(5); s != dump.streams.end()) {
    uint32_t rva = s->second.second, n = U32(d, rva);
    for (uint32_t i = 0; i < n; ++i) dump.memory.push_back({U64(d, rva + 4 + i * 16), U32(d, rva + 12 + i * 16)});
  }
  if (auto s = dump.streams.find(6); s != dump.streams.end()) {
    uint32_t rva = s->second.second;
    dump.exception_tid = U32(d, rva);
    dump.exception_code = U32(d, rva + 8);
    dump.exception_address = U64(d, rva + 24);
    uint64_t rsp;
    context_regs(U32(d, rva + 164), &dump.exception_rip, &rsp);
  }
  if (auto s = dump.streams.find(0x47670009); s != dump.streams.end()) {
    dump.maps.assign(reinterpret_cast<const char*>(d.data() + s->second.second), s->second.first);
  }
  dump.ok = true;
  return dump;
}

// --- the victim's ELF file: where .text starts relative to the load base ----

bool TextSection(const std::string& path, uint64_t* start, uint64_t* size) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Elf64_Ehdr eh;
  if (f.size() < sizeof eh) return false;
  std::memcpy(&eh, f.data(), sizeof eh);
  uint64_t min_vaddr = UINT64_MAX;
  for (int i = 0; i < eh.e_phnum; ++i) {
    Elf64_Phdr ph;
    std::memcpy(&ph, f.data() + eh.e_phoff + i * sizeof ph, sizeof ph);
    if (ph.p_type == PT_LOAD) min_vaddr = std::min<uint64_t>(min_vaddr, ph.p_vaddr);
  }
  Elf64_Shdr names;
  std::memcpy(&names, f.data() + eh.e_shoff + eh.e_shstrndx * sizeof names, sizeof names);
  for (int i = 0; i < eh.e_shnum; ++i) {
    Elf64_Shdr sh;
    std::memcpy(&sh, f.data() + eh.e_shoff + i * sizeof sh, sizeof sh);
    if (std::strcmp(f.data() + names.sh_offset + sh.sh_name, ".text") == 0) {
      *start = sh.sh_addr - (min_vaddr & ~uint64_t{4095});
      *size = sh.sh_size;
      return true;
    }
  }
  return false;
}

// --- running the victim -------------------------------------------------------

struct VictimRun {
  int status = 0;
  bool timed_out = false;
  std::multimap<std::string, std::string> out;  // "key=value" lines
  std::vector<std::string> hooks;               // "hook=" lines in order
  std::string text;
  std::string Get(const std::string& key) const {
    auto it = out.find(key);
    return it == out.end() ? std::string("<missing>") : it->second;
  }
};

std::string RunCommand(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

class CrashHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "qiv_crash_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    program_ = folder_ + "/qiv_crash_victim";
    fs::copy_file(QIV_CRASH_VICTIM, program_);
    fs::permissions(program_, fs::perms::owner_all);
  }
  void TearDown() override { fs::remove_all(folder_); }

  VictimRun Crash(const std::string& fault, const std::string& where) {
    VictimRun run;
    std::string err = folder_ + "/stderr.txt";
    pid_t pid = fork();
    if (pid == 0) {
      struct rlimit none = {0, 0};
      setrlimit(RLIMIT_CORE, &none);  // no core files from the deliberate crashes
      int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(fd, 2);
      execl(program_.c_str(), program_.c_str(), fault.c_str(), where.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (waitpid(pid, &run.status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &run.status, 0);
        run.timed_out = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::ifstream in(err);
    std::string line;
    while (std::getline(in, line)) {
      run.text += line + "\n";
      if (line.compare(0, 9, "terminate") == 0) continue;
      size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      run.out.emplace(line.substr(0, eq), line.substr(eq + 1));
      if (line.compare(0, 5, "hook=") == 0) run.hooks.push_back(line.substr(5));
    }
    return run;
  }

  std::string DumpPath() const { return program_ + ".dmp"; }

  std::string folder_;
  std::string program_;
};

struct Case {
  const char* fault;
  const char* where;
  int signal;
  uint32_t code;
  bool in_program;       // faults inside the victim itself (else in libc)
  const char* function;  // what lldb shows in the crashing thread's frames
};

const Case kCases[] = {
    {"segv", "main", SIGSEGV, 0xC0000005u, true, "QivFaultNullWrite"},
    {"segv", "worker", SIGSEGV, 0xC0000005u, true, "QivFaultNullWrite"},
    {"fpe", "worker", SIGFPE, 0xC0000094u, true, "QivFaultDivide"},
    {"ill", "main", SIGILL, 0xC000001Du, true, "QivFaultIllegal"},
    {"overflow", "worker", SIGSEGV, 0xC0000005u, true, "QivFaultRecurse"},
    {"abort", "worker", SIGABRT, 0x40000015u, false, "QivFaultAbort"},
    {"terminate", "main", SIGABRT, 0x40000015u, false, "QivFaultTerminate"},
};

TEST_F(CrashHandlerTest, EachFaultIsRecordedAndDumped) {
  bool have_lldb = system("command -v lldb-14 >/dev/null 2>&1") == 0;
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.fault) + " on " + c.where);
    fs::remove(DumpPath());
    VictimRun run = Crash(c.fault, c.where);
    SCOPED_TRACE(run.text);
    ASSERT_FALSE(run.timed_out);
    ASSERT_TRUE(WIFSIGNALED(run.status)) << "status " << run.status;
    EXPECT_EQ(WTERMSIG(run.status), c.signal);

    // The collector as the record will report it.
    std::vector<std::string> expected_hooks = {"fill_track_fields", "track_send", "exit_event", "before_dump"};
    EXPECT_EQ(run.hooks, expected_hooks);
    EXPECT_EQ(run.Get("closetype"), "5");
    EXPECT_EQ(run.Get("crash"), "1");
    EXPECT_EQ(run.Get("crashcode"), std::to_string(c.code));
    EXPECT_EQ(run.Get("crashsection"), ".text");
    if (std::string(c.fault) == "terminate") {
      // The standard terminate handler still names the exception first.
      EXPECT_NE(run.text.find("std::runtime_error"), std::string::npos);
      EXPECT_LT(run.text.find("std::runtime_error"), run.text.find("hook=fill_track_fields"));
    }
    std::string crashed_tid = run.Get("tid");
    std::string expected_tid = std::string(c.where) == "main" ? run.Get("main_tid") : run.Get("worker_tid");
    EXPECT_EQ(crashed_tid, expected_tid);

    uint64_t base = std::stoull(run.Get("base"), nullptr, 16);
    uint64_t fn = std::stoull(run.Get("fn"), nullptr, 16);
    uint32_t offset = static_cast<uint32_t>(std::stoul(run.Get("crashoffset")));
    uint32_t attr = static_cast<uint32_t>(std::stoul(run.Get("crashattr"), nullptr, 16));
    uint64_t pc = 0;
    if (c.in_program) {
      EXPECT_EQ(run.Get("crashfilename"), program_);
      uint64_t text_start = 0, text_size = 0;
      ASSERT_TRUE(TextSection(program_, &text_start, &text_size));
      EXPECT_LT(offset, text_size);
      pc = base + text_start + offset;
      EXPECT_GE(pc, fn);
      EXPECT_LT(pc, fn + 512) << "the fault lies in the faulting function";
      EXPECT_EQ(static_cast<uint32_t>(pc), attr);
    } else {
      std::string module = run.Get("crashfilename");
      EXPECT_NE(module.find("libc.so"), std::string::npos) << module;
    }

    // The dump: beside the program, private, and readable.
    struct stat st;
    ASSERT_EQ(stat(DumpPath().c_str(), &st), 0) << "no dump";
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    Dump dump = ReadDump(DumpPath());
    ASSERT_TRUE(dump.ok) << dump.error;
    EXPECT_EQ(dump.arch, 9);
    EXPECT_EQ(dump.platform, 0x8201u);
    EXPECT_EQ(std::to_string(dump.pid), run.Get("main_tid"));
    EXPECT_EQ(std::to_string(dump.exception_tid), crashed_tid);
    EXPECT_EQ(dump.exception_code, static_cast<uint32_t>(c.signal));
    EXPECT_EQ(dump.exception_rip, dump.exception_address);
    EXPECT_EQ(static_cast<uint32_t>(dump.exception_address), attr);
    if (c.in_program) {
      EXPECT_EQ(dump.exception_address, pc);
    }
    EXPECT_FALSE(dump.maps.empty());

    // Every thread, the faulting one with its stack in the memory list.
    bool found_crashed = false, found_main = false;
    for (const DumpThread& t : dump.threads) {
      found_main |= std::to_string(t.tid) == run.Get("main_tid");
      if (std::to_string(t.tid) != crashed_tid) continue;
      found_crashed = true;
      EXPECT_EQ(t.rip, dump.exception_address);
      EXPECT_GT(t.stack_size, 0u);
      // After a stack overflow the stack pointer lies in the guard page: the
      // saved stack then starts at the first readable page above it.
      uint64_t sp = std::string(c.fault) == "overflow" ? t.rsp + 65536 : t.rsp;
      EXPECT_LE(t.stack_start, sp);
      bool in_memory = false;
      for (const auto& [start, size] : dump.memory) in_memory |= start <= sp && t.rsp < start + size;
      EXPECT_TRUE(in_memory) << "stack not in the memory list";
    }
    EXPECT_TRUE(found_crashed);
    EXPECT_TRUE(found_main);
    if (std::string(c.where) != "main") {
      EXPECT_GE(dump.threads.size(), 2u);
    }

    bool found_program = false;
    for (const DumpModule& m : dump.modules) {
      if (m.name != program_) continue;
      found_program = true;
      EXPECT_EQ(m.base, base);
      EXPECT_GT(m.cv_size, 4u) << "build id";
    }
    EXPECT_TRUE(found_program);

    if (have_lldb) {
      std::string out = RunCommand("lldb-14 --batch -c '" + DumpPath() + "' -o 'thread list' -o 'bt' 2>&1");
      SCOPED_TRACE(out);
      std::string sig = c.signal == SIGSEGV ? "SIGSEGV" : c.signal == SIGFPE ? "SIGFPE" : c.signal == SIGILL ? "SIGILL" : "SIGABRT";
      EXPECT_NE(out.find("stop reason = signal " + sig), std::string::npos);
      EXPECT_NE(out.find("tid = " + crashed_tid), std::string::npos);
      EXPECT_NE(out.find(c.function), std::string::npos);
    }
  }
  if (!have_lldb) GTEST_SKIP() << "lldb-14 is not installed: the dumps were not read by lldb";
}

TEST_F(CrashHandlerTest, FaultsOnSeveralThreadsAtOnceAreHandledOnce) {
  VictimRun run = Crash("segv", "race");
  SCOPED_TRACE(run.text);
  ASSERT_FALSE(run.timed_out);
  ASSERT_TRUE(WIFSIGNALED(run.status));
  EXPECT_EQ(WTERMSIG(run.status), SIGSEGV);
  EXPECT_EQ(run.out.count("worker_tid"), 4u);
  EXPECT_EQ(run.out.count("tid"), 1u) << "the handler ran more than once";
  EXPECT_EQ(run.out.count("closetype"), 1u);
  EXPECT_EQ(run.Get("closetype"), "5");
  Dump dump = ReadDump(DumpPath());
  ASSERT_TRUE(dump.ok) << dump.error;
  EXPECT_EQ(std::to_string(dump.exception_tid), run.Get("tid"));
  // The main thread and all four workers; the ones that faulted later show
  // their own fault.
  EXPECT_EQ(dump.threads.size(), 5u);
  uint64_t fn = std::stoull(run.Get("fn"), nullptr, 16);
  int at_fault = 0;
  for (const DumpThread& t : dump.threads) at_fault += t.rip >= fn && t.rip < fn + 512;
  EXPECT_EQ(at_fault, 4);
}

TEST_F(CrashHandlerTest, AnOldDumpIsReplaced) {
  {
    std::ofstream old(DumpPath());
    old << "an old dump that must go";
  }
  chmod(DumpPath().c_str(), 0644);
  VictimRun run = Crash("segv", "main");
  ASSERT_TRUE(WIFSIGNALED(run.status));
  Dump dump = ReadDump(DumpPath());
  EXPECT_TRUE(dump.ok) << dump.error;
  struct stat st;
  ASSERT_EQ(stat(DumpPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(CrashRecordFieldsTest, FormatsAsTheRecordReportsThem) {
  CrashInfo none;
  auto fields = CrashRecordFields(none);
  std::vector<std::pair<std::wstring, std::wstring>> expected_none = {
      {L"crash", L"0"}, {L"crashcode", L"0"}, {L"crashattr", L"0x00000000"},
      {L"crashoffset", L"0"}, {L"crashfilename", L"-"}, {L"crashsection", L"-"}};
  EXPECT_EQ(fields, expected_none);

  CrashInfo info;
  info.crashed = 1;
  info.code = 0xC0000005u;
  info.address = 0x0040ABCDu;
  info.offset = 4294967295u;
  info.file_name = L"/opt/qiv/qiv";
  info.section = L".text";
  std::vector<std::pair<std::wstring, std::wstring>> expected = {
      {L"crash", L"1"}, {L"crashcode", L"3221225477"}, {L"crashattr", L"0x0040ABCD"},
      {L"crashoffset", L"4294967295"}, {L"crashfilename", L"/opt/qiv/qiv"}, {L"crashsection", L".text"}};
  EXPECT_EQ(CrashRecordFields(info), expected);
}

}  // namespace
