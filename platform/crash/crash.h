// The crash filter: catches a fatal signal (or std::terminate) on any thread,
// describes the fault, lets the program record it, writes a minidump beside
// the executable and ends the process.
//
// Signals: SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT, installed with
// sigaction on an alternate signal stack. Install() gives the calling thread
// (normally the main thread) its alternate stack; every other thread needs
// its own for a stack overflow to be caught, so a thread body calls
// InstallThreadAltStack() first (it is released when the thread ends).
// std::terminate goes through the previous terminate handler (which prints
// the uncaught exception and aborts) and so arrives here as SIGABRT, marked
// as coming from terminate.
//
// Once: the first fault claims the filter. A fault inside the filter on the
// same thread ends the process at once by that signal; a fault on another
// thread while the first is handled waits for the first to end the process
// (after two minutes it ends the process itself). After the dump the signal's
// default action is restored and the signal raised again, so the process
// dies by the original signal (a waiting parent sees WIFSIGNALED).
//
// Exception codes (32 bits, as the tracking record reports them) follow the
// Windows status values for the same kind of fault:
//   SIGSEGV                       0xC0000005 access violation
//   SIGBUS  BUS_ADRALN            0x80000002 datatype misalignment
//   SIGBUS  otherwise             0xC0000006 in-page error
//   SIGILL  ILL_PRVOPC/ILL_PRVREG 0xC0000096 privileged instruction
//   SIGILL  otherwise             0xC000001D illegal instruction
//   SIGFPE  FPE_INTDIV            0xC0000094 integer divide by zero
//   SIGFPE  FPE_INTOVF            0xC0000095 integer overflow
//   SIGFPE  FPE_FLTDIV            0xC000008E float divide by zero
//   SIGFPE  FPE_FLTOVF            0xC0000091 float overflow
//   SIGFPE  FPE_FLTUND            0xC0000093 float underflow
//   SIGFPE  FPE_FLTRES            0xC000008F float inexact result
//   SIGFPE  FPE_FLTSUB            0xC000008C array bounds exceeded
//   SIGFPE  otherwise             0xC0000090 float invalid operation
//   SIGABRT, std::terminate       0x40000015 fatal application exit
//   any other signal              0xE0000000 | signal number
//
// Module and section: dladdr gives the module holding the faulting
// instruction and its load base (the main program's name is taken from
// /proc/self/exe, since dladdr only knows it as argv[0]). The module file's
// ELF section headers are read, and the first executable section whose start
// (its address relative to the module base) is at most the instruction's
// offset and whose end (start + size) is at least that offset is the
// section; the section offset is the instruction's offset minus that start.
// The reported address is the low 32 bits of the 64-bit instruction address.
//
// The minidump ("MDMP" format): the own executable's full path with ".dmp"
// appended (or Options::dump_path), created anew with mode 0600. Streams:
// SystemInfo (AMD64, Linux), MiscInfo (process id), ThreadList (every thread
// that answered within half a second, each with its full CONTEXT and up to
// 256 KiB of stack), MemoryList (those stacks and the code around the
// faulting instruction), Exception (faulting thread, its context), ModuleList
// (every ELF file mapped, with its GNU build id as a CodeView "BpEL" record),
// and copies of /proc/self/maps, /proc/self/status, /proc/self/cmdline and
// /proc/self/auxv in the Linux streams that minidump readers understand.
// As Linux readers expect, the Exception stream's code is the signal number,
// its flags the si_code, its address the faulting instruction, and its two
// parameters the access kind (0 read, 1 write, 8 execute) and the data
// address (si_addr); the 32-bit Windows-style code above is what the program
// records for its report.
//
// Other threads' registers: each thread listed in /proc/self/task is sent a
// real-time signal (SIGRTMAX - 2, reserved for this) whose handler copies its
// context and then waits for the process to end. A thread that blocks that
// signal, or does not answer within the time limit, is left out of the dump.
//
// Async-signal safety: everything the filter needs is allocated at Install()
// (maps buffer, thread table, paths, system facts); the dump is written with
// open/pwrite/read/getdents64 system calls and no allocation. Not
// async-signal-safe: dladdr (takes the dynamic loader's lock; it runs before
// other threads are stopped, so a loader lock held elsewhere is released in
// time) and the program's callback, which may do anything. The callback runs
// while the other threads still run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::crash {

// What the filter knows about a fault when it calls the program back.
struct CrashReport {
  int signal = 0;
  int si_code = 0;
  bool from_terminate = false;   // std::terminate led here
  int thread_id = 0;             // the faulting thread (gettid)
  uint32_t code = 0;             // ExceptionCodeFor(signal, si_code)
  uint64_t pc = 0;               // faulting instruction address
  uint32_t address = 0;          // low 32 bits of pc
  uint64_t fault_address = 0;    // si_addr (data address for SIGSEGV/SIGBUS)

  bool module_found = false;     // dladdr knew the address
  char module_path[4096] = {};   // full path of the module holding pc
  uint64_t module_base = 0;      // its load base (dli_fbase)

  bool section_found = false;    // an executable section holds pc
  char section_name[9] = {};     // up to 8 bytes of the section's name
  uint64_t section_start = 0;    // relative to the module base
  uint32_t section_offset = 0;   // pc - module_base - section_start (low 32 bits)
};

// Called on the faulting thread, once, before the dump is written.
using CrashCallback = void (*)(const CrashReport& report, void* context);

struct Options {
  CrashCallback callback = nullptr;
  void* context = nullptr;
  std::string dump_path;         // empty: own executable path + ".dmp"
};

// Installs the filter for the process (signals, terminate handler, the
// calling thread's alternate stack). A second call replaces the callback and
// dump path. False when the signal handlers or buffers cannot be set up.
bool Install(const Options& options);

// Gives the calling thread its own alternate signal stack (unless it already
// has one at least as large), released when the thread ends. Call it first
// in every thread body. True when the thread has a usable alternate stack.
bool InstallThreadAltStack();

// The 32-bit code for a signal (see the table above).
uint32_t ExceptionCodeFor(int signal, int si_code);

// The own executable's full path + ".dmp"; empty when it cannot be had.
std::string DefaultDumpPath();

struct SectionInfo {
  char name[9] = {};
  uint64_t start = 0;            // relative to the module base
  uint64_t size = 0;
};

// Finds the first executable section of the ELF file `module_path` that
// holds `offset` (an offset from the module's load base) by the rule above.
// Async-signal-safe (open, pread, close).
bool FindExecutableSection(const char* module_path, uint64_t offset, SectionInfo* out);

// Fills the module, section and address fields of `report` for `pc`, as the
// filter does. Exposed for tests.
void DescribeAddress(uint64_t pc, CrashReport* report);

}  // namespace platform::crash
