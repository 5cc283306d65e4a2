#include "platform/crash/crash.h"

#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <new>

#include "platform/crash/minidump_writer.h"

namespace platform::crash {
namespace {

using detail::ThreadSlot;
using detail::Workspace;

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr size_t kAltStackSize = size_t{1} << 20;
constexpr long kSnapshotWaitMs = 500;
constexpr int kWaiterLimitSeconds = 120;
constexpr size_t kMaxSecondary = 16;

int Tid() { return static_cast<int>(syscall(SYS_gettid)); }

void SleepMs(long ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// A fault on a thread that is not the handling one: its own context, shown
// in place of where it waits.
struct Secondary {
  std::atomic<int> tid{0};
  std::atomic<bool> ready{false};
  ThreadSlot slot;
};

// Everything the filter needs at crash time, allocated by Install().
struct State {
  Workspace workspace;
  Secondary secondary[kMaxSecondary];
  detail::SystemFacts system;
  CrashReport report;
  char exe_path[4096] = {};
  char dump_path[4096 + 8] = {};
};

State* g_state = nullptr;
std::atomic<CrashCallback> g_callback{nullptr};
std::atomic<void*> g_context{nullptr};
std::atomic<int> g_owner{0};            // thread handling the crash
std::atomic<int> g_collecting{0};       // 1 while thread contexts are gathered
std::atomic<int> g_terminate_tid{0};    // thread that entered std::terminate
std::terminate_handler g_previous_terminate = nullptr;
int g_snapshot_signal = 0;

[[noreturn]] void DieBySignal(int sig) {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  sigaction(sig, &sa, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  syscall(SYS_tgkill, getpid(), Tid(), sig);
  _exit(128 + sig);
}

void OwnExePath(char* out, size_t capacity) {
  ssize_t n = readlink("/proc/self/exe", out, capacity - 1);
  out[n > 0 ? n : 0] = '\0';
}

void CopyText(char* out, size_t capacity, const char* text) {
  size_t n = std::strlen(text);
  if (n >= capacity) n = capacity - 1;
  std::memcpy(out, text, n);
  out[n] = '\0';
}

// Gathers the registers of every other thread through the snapshot signal.
// Returns the slots used (slot 0 is the faulting thread, filled by the caller).
size_t CollectThreads(int self) {
  Workspace& ws = g_state->workspace;
  size_t count = 1;
  int dir = static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir >= 0) {
    alignas(8) char buffer[4096];
    for (;;) {
      long n = syscall(SYS_getdents64, dir, buffer, sizeof buffer);
      if (n <= 0) break;
      for (long pos = 0; pos < n;) {
        struct Entry {
          uint64_t ino;
          int64_t off;
          unsigned short reclen;
          unsigned char type;
          char name[1];
        };
        const Entry* e = reinterpret_cast<const Entry*>(buffer + pos);
        pos += e->reclen;
        int tid = 0;
        const char* p = e->name;
        if (*p < '0' || *p > '9') continue;
        for (; *p >= '0' && *p <= '9'; ++p) tid = tid * 10 + (*p - '0');
        if (tid == self || count >= detail::kMaxThreads) continue;
        ThreadSlot& slot = ws.threads[count++];
        slot.tid.store(tid, std::memory_order_relaxed);
        slot.state.store(1, std::memory_order_relaxed);
      }
    }
    syscall(SYS_close, dir);
  }
  if (count == 1 || g_snapshot_signal == 0) return count;

  g_collecting.store(1, std::memory_order_seq_cst);
  int pid = getpid();
  for (size_t i = 1; i < count; ++i) {
    if (syscall(SYS_tgkill, pid, ws.threads[i].tid.load(std::memory_order_relaxed), g_snapshot_signal) != 0) {
      ws.threads[i].state.store(0, std::memory_order_relaxed);  // gone already
    }
  }
  for (long waited = 0; waited < kSnapshotWaitMs; ++waited) {
    bool all = true;
    for (size_t i = 1; i < count && all; ++i) {
      int s = ws.threads[i].state.load(std::memory_order_acquire);
      all = (s == 2 || s == 0);
    }
    if (all) break;
    SleepMs(1);
  }
  // Threads that did not answer are left out; one caught while copying is
  // waited for so that its slot is whole.
  for (size_t i = 1; i < count; ++i) {
    int expected = 1;
    if (!ws.threads[i].state.compare_exchange_strong(expected, 0)) {
      while (ws.threads[i].state.load(std::memory_order_acquire) == 3) SleepMs(1);
    }
  }
  return count;
}

// Fills the requested slot of thread `self` from `source` (or from the
// signal context `uc`). False when no slot of this thread is requested.
bool AnswerSnapshot(int self, const ThreadSlot* source, const ucontext_t* uc) {
  Workspace& ws = g_state->workspace;
  for (size_t i = 1; i < detail::kMaxThreads; ++i) {
    ThreadSlot& slot = ws.threads[i];
    if (slot.tid.load(std::memory_order_relaxed) != self) continue;
    int expected = 1;
    if (!slot.state.compare_exchange_strong(expected, 3)) return false;
    if (source) {
      std::memcpy(slot.gregs, source->gregs, sizeof slot.gregs);
      slot.has_fp = source->has_fp;
      std::memcpy(slot.fp, source->fp, sizeof slot.fp);
    } else {
      detail::CaptureContext(uc, &slot);
    }
    slot.state.store(2, std::memory_order_release);
    return true;
  }
  return false;
}

void OnSnapshotSignal(int, siginfo_t*, void* context) {
  if (!g_state || g_collecting.load(std::memory_order_acquire) != 1) return;
  int self = Tid();
  // A thread that faulted itself and waits for the crash to be handled
  // shows its own fault rather than the wait.
  const ThreadSlot* source = nullptr;
  for (auto& s : g_state->secondary) {
    if (s.tid.load(std::memory_order_acquire) == self && s.ready.load(std::memory_order_acquire)) source = &s.slot;
  }
  if (!AnswerSnapshot(self, source, static_cast<const ucontext_t*>(context))) return;
  // Stay here, stopped, until the handling thread ends the process.
  for (;;) SleepMs(1000);
}

// A thread that faulted while another handles a crash: it records its own
// fault and answers the snapshot request itself (a signal arriving inside a
// signal handler may be held back, e.g. under ThreadSanitizer), then waits
// for the handling thread to end the process.
[[noreturn]] void WaitForTheHandler(int self, int sig, const ucontext_t* uc) {
  const ThreadSlot* own = nullptr;
  for (auto& s : g_state->secondary) {
    int expected = 0;
    if (s.tid.compare_exchange_strong(expected, self)) {
      detail::CaptureContext(uc, &s.slot);
      s.ready.store(true, std::memory_order_release);
      own = &s.slot;
      break;
    }
  }
  bool answered = false;
  for (int i = 0; i < kWaiterLimitSeconds * 200; ++i) {
    if (!answered && g_collecting.load(std::memory_order_acquire) == 1) {
      answered = AnswerSnapshot(self, own, uc);
    }
    SleepMs(5);
  }
  DieBySignal(sig);
}

uint32_t AccessKind(int sig, const ucontext_t* uc) {
  if (sig != SIGSEGV) return 0;
  uint64_t err = static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_ERR]);
  if (err & 0x10) return 8;  // instruction fetch
  if (err & 0x2) return 1;   // write
  return 0;
}

void WriteDump(int self, int sig, const siginfo_t* info, const ucontext_t* uc) {
  const char* path = g_state->dump_path;
  if (!path[0]) return;
  Workspace& ws = g_state->workspace;
  ThreadSlot& own = ws.threads[0];
  own.tid.store(self, std::memory_order_relaxed);
  detail::CaptureContext(uc, &own);
  own.state.store(2, std::memory_order_relaxed);
  size_t threads = CollectThreads(self);

  // A fresh file each time: whatever was there (even a link) is replaced.
  unlink(path);
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;
  detail::DumpInput input;
  input.pid = getpid();
  input.signal = sig;
  input.si_code = info ? info->si_code : 0;
  input.pc = static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RIP]);
  input.fault_address = info ? reinterpret_cast<uint64_t>(info->si_addr) : 0;
  input.access_kind = AccessKind(sig, uc);
  input.thread_count = threads;
  input.workspace = &ws;
  input.system = &g_state->system;
  detail::WriteMinidump(fd, input);
  fsync(fd);
  close(fd);
}

void OnFatalSignal(int sig, siginfo_t* info, void* context) {
  const ucontext_t* uc = static_cast<const ucontext_t*>(context);
  if (!g_state) DieBySignal(sig);
  int self = Tid();
  int expected = 0;
  if (!g_owner.compare_exchange_strong(expected, self)) {
    if (expected == self) DieBySignal(sig);  // a fault inside the filter
    WaitForTheHandler(self, sig, uc);
  }

  CrashReport& report = g_state->report;
  report = CrashReport();
  report.signal = sig;
  report.si_code = info ? info->si_code : 0;
  report.from_terminate = sig == SIGABRT && g_terminate_tid.load() == self;
  report.thread_id = self;
  report.code = ExceptionCodeFor(sig, report.si_code);
  report.fault_address = info ? reinterpret_cast<uint64_t>(info->si_addr) : 0;
  DescribeAddress(static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RIP]), &report);

  CrashCallback callback = g_callback.load();
  if (callback) callback(report, g_context.load());
  WriteDump(self, sig, info, uc);
  DieBySignal(sig);
}

void OnTerminate() {
  g_terminate_tid.store(Tid());
  // The standard handler names the uncaught exception, then aborts.
  if (g_previous_terminate && g_previous_terminate != OnTerminate) g_previous_terminate();
  std::abort();
}

// Frees a thread's alternate stack when the thread ends, giving the thread
// back whatever stack it had before.
struct AltStackOwner {
  void* memory = nullptr;
  size_t size = 0;
  stack_t previous = {};
  ~AltStackOwner() {
    if (!memory) return;
    stack_t current;
    if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == static_cast<char*>(memory) + 4096) {
      if (previous.ss_flags & SS_DISABLE) {
        stack_t off = {};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
      } else {
        sigaltstack(&previous, nullptr);
      }
      munmap(memory, size);
    }
  }
};
thread_local AltStackOwner t_alt_stack;

}  // namespace

uint32_t ExceptionCodeFor(int signal, int si_code) {
  switch (signal) {
    case SIGSEGV:
      return 0xC0000005u;
    case SIGBUS:
      return si_code == BUS_ADRALN ? 0x80000002u : 0xC0000006u;
    case SIGILL:
      return (si_code == ILL_PRVOPC || si_code == ILL_PRVREG) ? 0xC0000096u : 0xC000001Du;
    case SIGFPE:
      switch (si_code) {
        case FPE_INTDIV: return 0xC0000094u;
        case FPE_INTOVF: return 0xC0000095u;
        case FPE_FLTDIV: return 0xC000008Eu;
        case FPE_FLTOVF: return 0xC0000091u;
        case FPE_FLTUND: return 0xC0000093u;
        case FPE_FLTRES: return 0xC000008Fu;
        case FPE_FLTSUB: return 0xC000008Cu;
        default: return 0xC0000090u;
      }
    case SIGABRT:
      return 0x40000015u;
    default:
      return 0xE0000000u | static_cast<uint32_t>(signal & 0xFF);
  }
}

std::string DefaultDumpPath() {
  char exe[4096];
  OwnExePath(exe, sizeof exe);
  if (!exe[0]) return std::string();
  return std::string(exe) + ".dmp";
}

bool FindExecutableSection(const char* module_path, uint64_t offset, SectionInfo* out) {
  int fd = open(module_path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool found = false;
  Elf64_Ehdr eh;
  auto read_at = [fd](void* buf, size_t n, uint64_t at) {
    return pread(fd, buf, n, static_cast<off_t>(at)) == static_cast<ssize_t>(n);
  };
  if (read_at(&eh, sizeof eh, 0) && std::memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0 &&
      eh.e_ident[EI_CLASS] == ELFCLASS64 && eh.e_shentsize == sizeof(Elf64_Shdr) &&
      eh.e_phentsize == sizeof(Elf64_Phdr)) {
    // The load base corresponds to the first loadable segment's page.
    uint64_t min_vaddr = UINT64_MAX;
    for (unsigned i = 0; i < eh.e_phnum; ++i) {
      Elf64_Phdr ph;
      if (!read_at(&ph, sizeof ph, eh.e_phoff + uint64_t{i} * sizeof ph)) break;
      if (ph.p_type == PT_LOAD && ph.p_vaddr < min_vaddr) min_vaddr = ph.p_vaddr;
    }
    uint64_t page = static_cast<uint64_t>(getpagesize());
    uint64_t base_vaddr = min_vaddr == UINT64_MAX ? 0 : (min_vaddr & ~(page - 1));
    uint64_t count = eh.e_shnum;
    uint64_t names_index = eh.e_shstrndx;
    Elf64_Shdr first;
    if (eh.e_shoff != 0 && read_at(&first, sizeof first, eh.e_shoff)) {
      if (count == 0) count = first.sh_size;              // extended numbering
      if (names_index == SHN_XINDEX) names_index = first.sh_link;
    }
    Elf64_Shdr names;
    bool have_names = names_index < count && read_at(&names, sizeof names, eh.e_shoff + names_index * sizeof names);
    for (uint64_t i = 0; eh.e_shoff != 0 && i < count && !found; ++i) {
      Elf64_Shdr sh;
      if (!read_at(&sh, sizeof sh, eh.e_shoff + i * sizeof sh)) break;
      if (!(sh.sh_flags & SHF_EXECINSTR) || !(sh.sh_flags & SHF_ALLOC) || sh.sh_addr < base_vaddr) continue;
      uint64_t start = sh.sh_addr - base_vaddr;
      if (start <= offset && start + sh.sh_size >= offset) {
        found = true;
        *out = SectionInfo();
        out->start = start;
        out->size = sh.sh_size;
        if (have_names && sh.sh_name < names.sh_size) {
          char name[8];
          ssize_t n = pread(fd, name, sizeof name, static_cast<off_t>(names.sh_offset + sh.sh_name));
          for (ssize_t k = 0; k < n && name[k]; ++k) out->name[k] = name[k];
        }
      }
    }
  }
  close(fd);
  return found;
}

void DescribeAddress(uint64_t pc, CrashReport* report) {
  report->pc = pc;
  report->address = static_cast<uint32_t>(pc);
  Dl_info info;
  struct link_map* map = nullptr;
  if (!dladdr1(reinterpret_cast<void*>(pc), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) ||
      !info.dli_fbase) {
    return;
  }
  report->module_found = true;
  report->module_base = reinterpret_cast<uint64_t>(info.dli_fbase);
  if (map && map->l_name && map->l_name[0] == '\0') {
    // The main program: dladdr knows it only by argv[0].
    if (g_state && g_state->exe_path[0]) {
      CopyText(report->module_path, sizeof report->module_path, g_state->exe_path);
    } else {
      OwnExePath(report->module_path, sizeof report->module_path);
    }
  } else if (info.dli_fname) {
    CopyText(report->module_path, sizeof report->module_path, info.dli_fname);
  }
  SectionInfo section;
  if (report->module_path[0] &&
      FindExecutableSection(report->module_path, pc - report->module_base, &section)) {
    report->section_found = true;
    std::memcpy(report->section_name, section.name, sizeof report->section_name);
    report->section_start = section.start;
    report->section_offset = static_cast<uint32_t>(pc - report->module_base - section.start);
  }
}

bool InstallThreadAltStack() {
  stack_t current;
  if (sigaltstack(nullptr, &current) != 0) return false;
  if (!(current.ss_flags & SS_DISABLE) && current.ss_size >= kAltStackSize) return true;
  if (t_alt_stack.memory) return false;  // ours was replaced by a smaller one: leave it
  size_t size = kAltStackSize + 4096;
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (memory == MAP_FAILED) return false;
  mprotect(memory, 4096, PROT_NONE);  // guard page below the stack
  stack_t stack = {};
  stack.ss_sp = static_cast<char*>(memory) + 4096;
  stack.ss_size = kAltStackSize;
  if (sigaltstack(&stack, nullptr) != 0) {
    munmap(memory, size);
    return false;
  }
  t_alt_stack.memory = memory;
  t_alt_stack.size = size;
  t_alt_stack.previous = current;
  return true;
}

bool Install(const Options& options) {
  static std::atomic<bool> installed{false};
  if (!g_state) {
    void* memory = mmap(nullptr, sizeof(State), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return false;
    g_state = new (memory) State();
    detail::CollectSystemFacts(&g_state->system);
    OwnExePath(g_state->exe_path, sizeof g_state->exe_path);
  }
  // The callback may run while a new one is stored; both stay valid.
  g_context.store(options.context);
  g_callback.store(options.callback);
  std::string dump = options.dump_path.empty() ? DefaultDumpPath() : options.dump_path;
  CopyText(g_state->dump_path, sizeof g_state->dump_path, dump.c_str());

  if (installed.exchange(true)) return true;
  InstallThreadAltStack();

  g_snapshot_signal = SIGRTMAX - 2;
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = OnSnapshotSignal;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
  sigemptyset(&sa.sa_mask);
  if (sigaction(g_snapshot_signal, &sa, nullptr) != 0) g_snapshot_signal = 0;

  bool ok = true;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = OnFatalSignal;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  for (int sig : kFatalSignals) ok = sigaction(sig, &sa, nullptr) == 0 && ok;
  g_previous_terminate = std::set_terminate(OnTerminate);
  return ok;
}

}  // namespace platform::crash
