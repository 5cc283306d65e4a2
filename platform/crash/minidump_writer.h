// Internal to platform_crash: the minidump writer and the memory it works in.
// Everything here is allocated before a crash; WriteMinidump itself uses only
// system calls and the caller's workspace.
#pragma once

#include <sys/ucontext.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace platform::crash::detail {

constexpr size_t kMaxThreads = 256;
constexpr size_t kMaxModules = 1024;
constexpr size_t kMapsCapacity = size_t{4} << 20;
constexpr size_t kMaxStackBytes = size_t{256} << 10;

// One thread's registers as captured in a signal handler.
// state: 0 unused, 1 requested, 3 being written, 2 captured.
struct ThreadSlot {
  std::atomic<int> tid{0};
  std::atomic<int> state{0};
  uint64_t gregs[NGREG] = {};
  bool has_fp = false;
  alignas(16) unsigned char fp[512] = {};  // FXSAVE image
};

// Copies the registers of a signal context into `slot`.
void CaptureContext(const ucontext_t* uc, ThreadSlot* slot);

// Facts about the machine, gathered at install time.
struct SystemFacts {
  uint16_t processor_level = 0;
  uint16_t processor_revision = 0;
  uint8_t processors = 1;
  uint32_t major = 0, minor = 0, build = 0;
  uint32_t vendor[3] = {};
  uint32_t version_information = 0;
  uint32_t feature_information = 0;
  uint32_t amd_extended_features = 0;
  char csd_version[256] = {};  // "Linux <release> <version> <machine>"
};
void CollectSystemFacts(SystemFacts* facts);

struct ModuleEntry {
  uint64_t base = 0;
  uint64_t end = 0;
  uint32_t path_offset = 0;  // into Workspace::maps
  uint32_t path_length = 0;
  uint32_t name_rva = 0;
  uint32_t cv_rva = 0;
  uint32_t cv_size = 0;
};

struct MemoryRange {
  uint64_t start = 0;
  uint32_t size = 0;
  uint32_t rva = 0;
};

struct Workspace {
  ThreadSlot threads[kMaxThreads];       // [0] is the faulting thread
  MemoryRange stacks[kMaxThreads];
  uint32_t context_rva[kMaxThreads];
  ModuleEntry modules[kMaxModules];
  char maps[kMapsCapacity];
  size_t maps_length = 0;
};

struct DumpInput {
  int pid = 0;
  int signal = 0;
  int si_code = 0;
  uint64_t pc = 0;
  uint64_t fault_address = 0;
  uint32_t access_kind = 0;   // 0 read, 1 write, 8 execute
  size_t thread_count = 0;    // slots used in workspace->threads; only captured ones (and [0]) are written
  Workspace* workspace = nullptr;
  const SystemFacts* system = nullptr;
};

// Writes the whole dump to `fd` (positioned writes from offset 0). True when
// every write succeeded.
bool WriteMinidump(int fd, const DumpInput& input);

// Copies `size` bytes of this process's memory at `address` without faulting.
bool ReadOwnMemory(uint64_t address, void* out, size_t size);

}  // namespace platform::crash::detail
