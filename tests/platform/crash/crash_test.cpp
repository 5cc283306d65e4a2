// The crash module's parts that run without crashing: the code table, the
// section lookup in ELF files, the description of an address, and the
// alternate stacks. Whole crashes are tested through the program's handler
// (tests/app/crash).
#include "platform/crash/crash.h"

#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

extern "C" __attribute__((noinline)) int CrashTestSomeFunction(int x) { return x * 3 + 1; }
int g_some_data = 7;

TEST(ExceptionCodeTest, MapsSignalsToTheWindowsStatusValues) {
  struct Row {
    int signal, si_code;
    uint32_t code;
  } rows[] = {
      {SIGSEGV, SEGV_MAPERR, 0xC0000005u}, {SIGSEGV, SEGV_ACCERR, 0xC0000005u},
      {SIGBUS, BUS_ADRALN, 0x80000002u},   {SIGBUS, BUS_ADRERR, 0xC0000006u},
      {SIGILL, ILL_ILLOPN, 0xC000001Du},   {SIGILL, ILL_PRVOPC, 0xC0000096u},
      {SIGFPE, FPE_INTDIV, 0xC0000094u},   {SIGFPE, FPE_INTOVF, 0xC0000095u},
      {SIGFPE, FPE_FLTDIV, 0xC000008Eu},   {SIGFPE, FPE_FLTINV, 0xC0000090u},
      {SIGABRT, SI_TKILL, 0x40000015u},    {SIGTRAP, 0, 0xE0000005u},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(platform::crash::ExceptionCodeFor(r.signal, r.si_code), r.code) << r.signal << "/" << r.si_code;
  }
}

std::string OwnPath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

// .text of this test program, read independently: start relative to the
// load base, and size.
bool OwnText(uint64_t* start, uint64_t* size) {
  std::ifstream in(OwnPath(), std::ios::binary);
  std::vector<char> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Elf64_Ehdr eh;
  std::memcpy(&eh, f.data(), sizeof eh);
  uint64_t min_vaddr = UINT64_MAX;
  for (int i = 0; i < eh.e_phnum; ++i) {
    Elf64_Phdr ph;
    std::memcpy(&ph, f.data() + eh.e_phoff + i * sizeof ph, sizeof ph);
    if (ph.p_type == PT_LOAD && ph.p_vaddr < min_vaddr) min_vaddr = ph.p_vaddr;
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

TEST(FindExecutableSectionTest, FindsTheSectionHoldingAnOffset) {
  uint64_t text_start = 0, text_size = 0;
  ASSERT_TRUE(OwnText(&text_start, &text_size));
  std::string self = OwnPath();
  struct Row {
    uint64_t offset;
    bool found;
  } rows[] = {
      {text_start, true},                  // the first byte
      {text_start + text_size / 2, true},
      {text_start + text_size, true},      // the end counts as inside
  };
  for (const Row& r : rows) {
    platform::crash::SectionInfo s;
    ASSERT_EQ(platform::crash::FindExecutableSection(self.c_str(), r.offset, &s), r.found) << r.offset;
    // .text may follow other executable sections (.init, .plt); the one
    // holding these offsets is .text itself.
    EXPECT_STREQ(s.name, ".text");
    EXPECT_EQ(s.start, text_start);
    EXPECT_EQ(s.size, text_size);
  }

  // Data is in no executable section.
  Dl_info info;
  ASSERT_TRUE(dladdr(&g_some_data, &info));
  uint64_t data_offset = reinterpret_cast<uint64_t>(&g_some_data) - reinterpret_cast<uint64_t>(info.dli_fbase);
  platform::crash::SectionInfo s;
  EXPECT_FALSE(platform::crash::FindExecutableSection(self.c_str(), data_offset, &s));
}

TEST(FindExecutableSectionTest, RejectsFilesThatAreNotElf) {
  char path[] = "/tmp/qiv_crash_notelf_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::string junk(4096, 'x');
  ASSERT_EQ(write(fd, junk.data(), junk.size()), static_cast<ssize_t>(junk.size()));
  close(fd);
  platform::crash::SectionInfo s;
  EXPECT_FALSE(platform::crash::FindExecutableSection(path, 0x1000, &s));
  unlink(path);
  EXPECT_FALSE(platform::crash::FindExecutableSection(path, 0x1000, &s));  // gone
}

TEST(DescribeAddressTest, NamesModuleSectionAndOffset) {
  uint64_t text_start = 0, text_size = 0;
  ASSERT_TRUE(OwnText(&text_start, &text_size));
  uint64_t pc = reinterpret_cast<uint64_t>(&CrashTestSomeFunction) + 2;
  platform::crash::CrashReport r;
  platform::crash::DescribeAddress(pc, &r);
  EXPECT_EQ(r.pc, pc);
  EXPECT_EQ(r.address, static_cast<uint32_t>(pc));
  ASSERT_TRUE(r.module_found);
  EXPECT_EQ(std::string(r.module_path), OwnPath()) << "the full path, not argv[0]";
  ASSERT_TRUE(r.section_found);
  EXPECT_STREQ(r.section_name, ".text");
  EXPECT_EQ(r.module_base + r.section_start + r.section_offset, pc);

  // A function of the C library: its module, its own .text.
  platform::crash::CrashReport libc;
  platform::crash::DescribeAddress(reinterpret_cast<uint64_t>(dlsym(RTLD_DEFAULT, "getpid")), &libc);
  ASSERT_TRUE(libc.module_found);
  EXPECT_NE(std::string(libc.module_path).find("libc.so"), std::string::npos) << libc.module_path;
  EXPECT_TRUE(libc.section_found);
  EXPECT_STREQ(libc.section_name, ".text");

  // Nothing at address 0 and in anonymous memory.
  platform::crash::CrashReport none;
  platform::crash::DescribeAddress(0, &none);
  EXPECT_FALSE(none.module_found);
  EXPECT_FALSE(none.section_found);
  std::vector<char> heap(64);
  platform::crash::CrashReport anon;
  platform::crash::DescribeAddress(reinterpret_cast<uint64_t>(heap.data()), &anon);
  EXPECT_FALSE(anon.section_found);
}

TEST(DumpPathTest, IsTheExecutablePathWithDmp) {
  EXPECT_EQ(platform::crash::DefaultDumpPath(), OwnPath() + ".dmp");
}

TEST(AltStackTest, EachThreadGetsItsOwn) {
  stack_t before, during, after_second;
  bool ok = false;
  std::thread t([&] {
    sigaltstack(nullptr, &before);
    ok = platform::crash::InstallThreadAltStack();
    sigaltstack(nullptr, &during);
    platform::crash::InstallThreadAltStack();  // a second call keeps the first stack
    sigaltstack(nullptr, &after_second);
  });
  t.join();
  ASSERT_TRUE(ok);
  EXPECT_FALSE(during.ss_flags & SS_DISABLE);
  EXPECT_GE(during.ss_size, size_t{1} << 20);
  EXPECT_EQ(after_second.ss_sp, during.ss_sp);

  // A thread whose alternate stack is already big enough keeps it.
  std::vector<char> big(size_t{2} << 20);
  stack_t kept;
  std::thread u([&] {
    stack_t own = {};
    own.ss_sp = big.data();
    own.ss_size = big.size();
    sigaltstack(&own, nullptr);
    platform::crash::InstallThreadAltStack();
    sigaltstack(nullptr, &kept);
    stack_t off = {};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
  });
  u.join();
  EXPECT_EQ(kept.ss_sp, big.data());
}

}  // namespace
