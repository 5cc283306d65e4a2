// The minidump writer. Layouts follow the published MDMP format: a 32-byte
// header, a directory of 12-byte entries, and streams addressed by 32-bit
// file offsets (RVAs). All integers are little-endian; structures are packed
// (no padding beyond what the format itself names).
//
// Only raw system calls touch the file and foreign memory: a write from a
// region that turned unreadable writes zeros instead, and memory checkers
// that watch libc's write() never see the stacks being copied.
#include "platform/crash/minidump_writer.h"

#include <cpuid.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform::crash::detail {
namespace {

constexpr uint32_t kSignature = 0x504D444D;  // "MDMP"
constexpr uint32_t kVersion = 0xA793;
constexpr uint32_t kHeaderSize = 32;
constexpr uint32_t kDirectoryEntrySize = 12;
constexpr size_t kMaxStreams = 16;

constexpr uint32_t kThreadListStream = 3;
constexpr uint32_t kModuleListStream = 4;
constexpr uint32_t kMemoryListStream = 5;
constexpr uint32_t kExceptionStream = 6;
constexpr uint32_t kSystemInfoStream = 7;
constexpr uint32_t kMiscInfoStream = 15;
constexpr uint32_t kLinuxCpuInfoStream = 0x47670003;
constexpr uint32_t kLinuxProcStatusStream = 0x47670004;
constexpr uint32_t kLinuxCmdLineStream = 0x47670006;
constexpr uint32_t kLinuxAuxvStream = 0x47670008;
constexpr uint32_t kLinuxMapsStream = 0x47670009;

constexpr uint16_t kArchitectureAmd64 = 9;
constexpr uint32_t kPlatformLinux = 0x8201;
constexpr uint32_t kMiscInfoProcessId = 1;

// AMD64 CONTEXT: 1232 bytes.
constexpr size_t kContextSize = 0x4D0;
constexpr uint32_t kContextFlags = 0x00100000 | 0x1 | 0x2 | 0x4 | 0x8;  // AMD64: control, integer, segments, floating point
constexpr size_t kThreadEntrySize = 48;
constexpr size_t kModuleEntrySize = 108;
constexpr size_t kMemoryDescriptorSize = 16;
constexpr uint32_t kCvSignatureElfBuildId = 0x4270454C;  // "BpEL"

const unsigned char kZeros[4096] = {};

// Little-endian field writer over a caller's buffer.
struct Bytes {
  unsigned char* p;
  size_t n = 0;
  void U8(uint8_t v) { p[n++] = v; }
  void U16(uint16_t v) { std::memcpy(p + n, &v, 2); n += 2; }
  void U32(uint32_t v) { std::memcpy(p + n, &v, 4); n += 4; }
  void U64(uint64_t v) { std::memcpy(p + n, &v, 8); n += 8; }
  void Zero(size_t k) { std::memset(p + n, 0, k); n += k; }
  void Location(uint32_t size, uint32_t rva) { U32(size); U32(rva); }
};

void Put16(unsigned char* p, uint16_t v) { std::memcpy(p, &v, 2); }
void Put32(unsigned char* p, uint32_t v) { std::memcpy(p, &v, 4); }
void Put64(unsigned char* p, uint64_t v) { std::memcpy(p, &v, 8); }

// Appends to the file at increasing offsets; the header and directory are
// written last at the front. Append() writes contiguously; Align() pads to 8
// bytes before a new stream or blob.
class Sink {
 public:
  Sink(int fd, uint32_t start) : fd_(fd), pos_(start) {}
  bool ok() const { return ok_; }
  uint32_t pos() const { return pos_; }

  void Align() {
    uint32_t pad = (8 - (pos_ & 7)) & 7;
    if (pad) Append(kZeros, pad);
  }
  // Returns the RVA where `data` starts.
  uint32_t Append(const void* data, size_t size) {
    uint32_t rva = pos_;
    Put(pos_, static_cast<const unsigned char*>(data), size);
    pos_ += static_cast<uint32_t>(size);
    return rva;
  }
  uint32_t AlignedAppend(const void* data, size_t size) {
    Align();
    return Append(data, size);
  }
  void At(uint32_t rva, const void* data, size_t size) {
    Put(rva, static_cast<const unsigned char*>(data), size);
  }

 private:
  void Put(uint64_t offset, const unsigned char* data, size_t size) {
    while (size > 0 && ok_) {
      long r = syscall(SYS_pwrite64, fd_, data, size, offset);
      if (r > 0) {
        data += r;
        offset += static_cast<uint64_t>(r);
        size -= static_cast<size_t>(r);
      } else if (r < 0 && errno == EINTR) {
        continue;
      } else if (r < 0 && errno == EFAULT && data != kZeros) {
        // An unreadable page: zeros up to the next page boundary.
        size_t chunk = 4096 - (reinterpret_cast<uintptr_t>(data) & 4095);
        if (chunk > size) chunk = size;
        long z = syscall(SYS_pwrite64, fd_, kZeros, chunk, offset);
        if (z != static_cast<long>(chunk)) {
          ok_ = false;
          return;
        }
        data += chunk;
        offset += chunk;
        size -= chunk;
      } else {
        ok_ = false;
      }
    }
  }

  int fd_;
  uint32_t pos_;
  bool ok_ = true;
};

struct MapLine {
  uint64_t start = 0, end = 0, offset = 0, inode = 0;
  char perms[4] = {};
  const char* path = nullptr;
  size_t path_length = 0;
};

bool ParseHex(const char*& p, const char* end, uint64_t* out) {
  uint64_t v = 0;
  const char* begin = p;
  for (; p < end; ++p) {
    char c = *p;
    int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
    if (d < 0) break;
    v = v * 16 + static_cast<uint64_t>(d);
  }
  *out = v;
  return p != begin;
}

bool ParseDec(const char*& p, const char* end, uint64_t* out) {
  uint64_t v = 0;
  const char* begin = p;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) v = v * 10 + static_cast<uint64_t>(*p - '0');
  *out = v;
  return p != begin;
}

void SkipBlanks(const char*& p, const char* end) {
  while (p < end && *p == ' ') ++p;
}

// "start-end perms offset dev inode   path"; advances `cursor` past the line.
bool NextMapLine(const char*& cursor, const char* end, MapLine* line) {
  while (cursor < end) {
    const char* eol = static_cast<const char*>(std::memchr(cursor, '\n', static_cast<size_t>(end - cursor)));
    if (!eol) eol = end;
    const char* p = cursor;
    cursor = eol < end ? eol + 1 : end;
    *line = MapLine();
    uint64_t dummy;
    if (!ParseHex(p, eol, &line->start) || p >= eol || *p++ != '-') continue;
    if (!ParseHex(p, eol, &line->end)) continue;
    SkipBlanks(p, eol);
    if (eol - p < 4) continue;
    std::memcpy(line->perms, p, 4);
    p += 4;
    SkipBlanks(p, eol);
    if (!ParseHex(p, eol, &line->offset)) continue;
    SkipBlanks(p, eol);
    if (!ParseHex(p, eol, &dummy) || p >= eol || *p++ != ':' || !ParseHex(p, eol, &dummy)) continue;
    SkipBlanks(p, eol);
    if (!ParseDec(p, eol, &line->inode)) continue;
    SkipBlanks(p, eol);
    line->path = p;
    line->path_length = static_cast<size_t>(eol - p);
    return true;
  }
  return false;
}

long ReadFileInto(const char* path, char* buffer, size_t capacity) {
  int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
  if (fd < 0) return -1;
  size_t total = 0;
  while (total < capacity) {
    long r = syscall(SYS_read, fd, buffer + total, capacity - total);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    total += static_cast<size_t>(r);
  }
  syscall(SYS_close, fd);
  return static_cast<long>(total);
}

// Copies a (/proc) file into the dump as it reads it; returns its size.
uint32_t CopyFileToSink(Sink* sink, const char* path, uint32_t* rva) {
  char buffer[4096];
  sink->Align();
  *rva = sink->pos();
  int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
  if (fd < 0) return 0;
  uint32_t total = 0;
  for (;;) {
    long r = syscall(SYS_read, fd, buffer, sizeof buffer);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    sink->Append(buffer, static_cast<size_t>(r));
    total += static_cast<uint32_t>(r);
  }
  syscall(SYS_close, fd);
  return total;
}

void BuildContext(const ThreadSlot& t, unsigned char* out) {
  std::memset(out, 0, kContextSize);
  Put32(out + 0x30, kContextFlags);
  uint32_t mxcsr = 0x1F80;
  if (t.has_fp) std::memcpy(&mxcsr, t.fp + 24, 4);
  Put32(out + 0x34, mxcsr);
  uint64_t csgsfs = t.gregs[REG_CSGSFS];
  uint16_t ss = static_cast<uint16_t>(csgsfs >> 48);
  Put16(out + 0x38, static_cast<uint16_t>(csgsfs));          // cs
  Put16(out + 0x3E, static_cast<uint16_t>(csgsfs >> 32));    // fs
  Put16(out + 0x40, static_cast<uint16_t>(csgsfs >> 16));    // gs
  Put16(out + 0x42, ss ? ss : 0x2B);                          // ss
  Put32(out + 0x44, static_cast<uint32_t>(t.gregs[REG_EFL]));
  static const int order[] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                              REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15,
                              REG_RIP};
  for (size_t i = 0; i < sizeof order / sizeof order[0]; ++i) Put64(out + 0x78 + 8 * i, t.gregs[order[i]]);
  if (t.has_fp) std::memcpy(out + 0x100, t.fp, 512);
}

// The readable mapping holding `address`, or the readable mapping that starts
// within 64 KiB above it (a stack pointer that ran into a guard page).
bool FindStackRange(const Workspace& ws, uint64_t sp, uint64_t* lo, uint64_t* hi) {
  const char* cursor = ws.maps;
  const char* end = ws.maps + ws.maps_length;
  MapLine line;
  uint64_t best_start = 0, best_end = 0;
  while (NextMapLine(cursor, end, &line)) {
    if (line.perms[0] != 'r') continue;
    if (line.start <= sp && sp < line.end) {
      *lo = sp >= line.start + 128 ? sp - 128 : line.start;
      *hi = line.end;
      if (*hi - *lo > kMaxStackBytes) *hi = *lo + kMaxStackBytes;
      return true;
    }
    if (line.start > sp && line.start - sp <= 65536 && (best_start == 0 || line.start < best_start)) {
      best_start = line.start;
      best_end = line.end;
    }
  }
  if (best_start == 0) return false;
  *lo = best_start;
  *hi = best_end - best_start > kMaxStackBytes ? best_start + kMaxStackBytes : best_end;
  return true;
}

bool FindReadableRange(const Workspace& ws, uint64_t address, uint64_t* lo, uint64_t* hi) {
  const char* cursor = ws.maps;
  const char* end = ws.maps + ws.maps_length;
  MapLine line;
  while (NextMapLine(cursor, end, &line)) {
    if (line.start <= address && address < line.end) {
      if (line.perms[0] != 'r') return false;
      *lo = line.start;
      *hi = line.end;
      return true;
    }
  }
  return false;
}

// UTF-8 bytes to a MINIDUMP_STRING (byte length, UTF-16LE text, a zero
// unit). Invalid sequences become U+FFFD. Returns the bytes used in `out`.
size_t BuildString(const char* text, size_t length, unsigned char* out, size_t capacity) {
  size_t units = 0;
  size_t max_units = (capacity - 6) / 2;
  unsigned char* dst = out + 4;
  auto put = [&](uint32_t unit) {
    if (units < max_units) {
      Put16(dst + 2 * units, static_cast<uint16_t>(unit));
      ++units;
    }
  };
  size_t i = 0;
  while (i < length) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    uint32_t cp;
    size_t extra;
    if (c < 0x80) { cp = c; extra = 0; }
    else if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; extra = 1; }
    else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; extra = 2; }
    else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; extra = 3; }
    else { put(0xFFFD); ++i; continue; }
    size_t j = 1;
    for (; j <= extra && i + j < length; ++j) {
      unsigned char cc = static_cast<unsigned char>(text[i + j]);
      if ((cc & 0xC0) != 0x80) break;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (j != extra + 1 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      put(0xFFFD);
      i += j;
      continue;
    }
    i += j;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      if (units + 2 > max_units) break;
      put(0xD800 | (cp >> 10));
      put(0xDC00 | (cp & 0x3FF));
    } else {
      put(cp);
    }
  }
  Put32(out, static_cast<uint32_t>(units * 2));
  Put16(dst + 2 * units, 0);
  return 4 + units * 2 + 2;
}

// The GNU build id of the ELF image mapped at `base`, read from its notes.
size_t ReadBuildId(uint64_t base, unsigned char* out, size_t capacity) {
  Elf64_Ehdr eh;
  if (!ReadOwnMemory(base, &eh, sizeof eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
      eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_phentsize != sizeof(Elf64_Phdr) || eh.e_phnum > 128) {
    return 0;
  }
  Elf64_Phdr ph[128];
  if (!ReadOwnMemory(base + eh.e_phoff, ph, sizeof(Elf64_Phdr) * eh.e_phnum)) return 0;
  uint64_t min_vaddr = UINT64_MAX;
  for (int i = 0; i < eh.e_phnum; ++i) {
    if (ph[i].p_type == PT_LOAD && ph[i].p_vaddr < min_vaddr) min_vaddr = ph[i].p_vaddr;
  }
  if (min_vaddr == UINT64_MAX) return 0;
  uint64_t bias = base - (min_vaddr & ~uint64_t{4095});
  for (int i = 0; i < eh.e_phnum; ++i) {
    if (ph[i].p_type != PT_NOTE) continue;
    unsigned char notes[2048];
    size_t size = ph[i].p_memsz < sizeof notes ? ph[i].p_memsz : sizeof notes;
    if (!ReadOwnMemory(bias + ph[i].p_vaddr, notes, size)) continue;
    size_t pos = 0;
    while (pos + sizeof(Elf64_Nhdr) <= size) {
      Elf64_Nhdr nh;
      std::memcpy(&nh, notes + pos, sizeof nh);
      size_t name_at = pos + sizeof nh;
      size_t desc_at = name_at + ((nh.n_namesz + 3) & ~3u);
      size_t next = desc_at + ((nh.n_descsz + 3) & ~3u);
      if (next > size) break;
      if (nh.n_type == NT_GNU_BUILD_ID && nh.n_namesz == 4 && std::memcmp(notes + name_at, "GNU", 4) == 0 &&
          nh.n_descsz > 0 && nh.n_descsz <= capacity) {
        std::memcpy(out, notes + desc_at, nh.n_descsz);
        return nh.n_descsz;
      }
      pos = next;
    }
  }
  return 0;
}

size_t CollectModules(Workspace* ws) {
  const char* cursor = ws->maps;
  const char* end = ws->maps + ws->maps_length;
  MapLine line;
  size_t count = 0;
  while (NextMapLine(cursor, end, &line)) {
    if (line.path_length == 0 || line.path[0] != '/') continue;
    ModuleEntry* last = count ? &ws->modules[count - 1] : nullptr;
    if (last && last->path_length == line.path_length &&
        std::memcmp(ws->maps + last->path_offset, line.path, line.path_length) == 0 && line.offset != 0) {
      last->end = line.end;
      continue;
    }
    if (line.offset != 0 || line.perms[0] != 'r' || count >= kMaxModules) continue;
    unsigned char magic[4];
    if (!ReadOwnMemory(line.start, magic, 4) || std::memcmp(magic, ELFMAG, SELFMAG) != 0) continue;
    ModuleEntry& m = ws->modules[count++];
    m = ModuleEntry();
    m.base = line.start;
    m.end = line.end;
    m.path_offset = static_cast<uint32_t>(line.path - ws->maps);
    m.path_length = static_cast<uint32_t>(line.path_length);
  }
  return count;
}

}  // namespace

bool ReadOwnMemory(uint64_t address, void* out, size_t size) {
  struct iovec local = {out, size};
  struct iovec remote = {reinterpret_cast<void*>(address), size};
  long r = syscall(SYS_process_vm_readv, syscall(SYS_getpid), &local, 1UL, &remote, 1UL, 0UL);
  return r == static_cast<long>(size);
}

void CaptureContext(const ucontext_t* uc, ThreadSlot* slot) {
  for (int i = 0; i < NGREG; ++i) slot->gregs[i] = static_cast<uint64_t>(uc->uc_mcontext.gregs[i]);
  slot->has_fp = uc->uc_mcontext.fpregs != nullptr;
  if (slot->has_fp) std::memcpy(slot->fp, uc->uc_mcontext.fpregs, sizeof slot->fp);
}

void CollectSystemFacts(SystemFacts* facts) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(0, &a, &b, &c, &d)) {
    facts->vendor[0] = b;
    facts->vendor[1] = d;
    facts->vendor[2] = c;
  }
  if (__get_cpuid(1, &a, &b, &c, &d)) {
    facts->version_information = a;
    facts->feature_information = d;
    uint32_t family = (a >> 8) & 0xF;
    uint32_t model = (a >> 4) & 0xF;
    if (family == 0xF) family += (a >> 20) & 0xFF;
    if (family == 0x6 || family >= 0xF) model |= ((a >> 16) & 0xF) << 4;
    facts->processor_level = static_cast<uint16_t>(family);
    facts->processor_revision = static_cast<uint16_t>((model << 8) | (a & 0xF));
  }
  if (__get_cpuid(0x80000001, &a, &b, &c, &d)) facts->amd_extended_features = d;
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  facts->processors = static_cast<uint8_t>(n <= 0 ? 1 : n > 255 ? 255 : n);
  struct utsname u;
  if (uname(&u) == 0) {
    const char* p = u.release;
    const char* end = p + std::strlen(p);
    uint64_t v[3] = {0, 0, 0};
    for (int i = 0; i < 3 && p < end; ++i) {
      ParseDec(p, end, &v[i]);
      if (p < end && *p == '.') ++p; else break;
    }
    facts->major = static_cast<uint32_t>(v[0]);
    facts->minor = static_cast<uint32_t>(v[1]);
    facts->build = static_cast<uint32_t>(v[2]);
    // "<sysname> <release> <version> <machine>", cut to fit.
    size_t n = 0;
    const char* parts[] = {u.sysname, u.release, u.version, u.machine};
    for (size_t i = 0; i < 4; ++i) {
      for (const char* c = parts[i]; *c && n + 1 < sizeof facts->csd_version; ++c) facts->csd_version[n++] = *c;
      if (i < 3 && n + 1 < sizeof facts->csd_version) facts->csd_version[n++] = ' ';
    }
    facts->csd_version[n] = '\0';
  }
}

bool WriteMinidump(int fd, const DumpInput& in) {
  Workspace& ws = *in.workspace;
  long maps = ReadFileInto("/proc/self/maps", ws.maps, kMapsCapacity);
  ws.maps_length = maps > 0 ? static_cast<size_t>(maps) : 0;

  unsigned char directory[kMaxStreams * kDirectoryEntrySize] = {};
  size_t streams = 0;
  auto add_stream = [&](uint32_t type, uint32_t size, uint32_t rva) {
    if (streams >= kMaxStreams) return;
    Bytes b{directory + streams * kDirectoryEntrySize};
    b.U32(type);
    b.Location(size, rva);
    ++streams;
  };

  Sink sink(fd, kHeaderSize + kMaxStreams * kDirectoryEntrySize);
  unsigned char buffer[8192 + 16];

  // System information, with the kernel as the service-pack text.
  {
    size_t n = BuildString(in.system->csd_version, std::strlen(in.system->csd_version), buffer, sizeof buffer);
    uint32_t csd_rva = sink.AlignedAppend(buffer, n);
    Bytes b{buffer};
    b.U16(kArchitectureAmd64);
    b.U16(in.system->processor_level);
    b.U16(in.system->processor_revision);
    b.U8(in.system->processors);
    b.U8(1);  // product type: workstation
    b.U32(in.system->major);
    b.U32(in.system->minor);
    b.U32(in.system->build);
    b.U32(kPlatformLinux);
    b.U32(csd_rva);
    b.U16(0);  // suite mask
    b.U16(0);
    b.U32(in.system->vendor[0]);
    b.U32(in.system->vendor[1]);
    b.U32(in.system->vendor[2]);
    b.U32(in.system->version_information);
    b.U32(in.system->feature_information);
    b.U32(in.system->amd_extended_features);
    add_stream(kSystemInfoStream, static_cast<uint32_t>(b.n), sink.AlignedAppend(buffer, b.n));
  }

  // Process id.
  {
    Bytes b{buffer};
    b.U32(24);
    b.U32(kMiscInfoProcessId);
    b.U32(static_cast<uint32_t>(in.pid));
    b.Zero(12);
    add_stream(kMiscInfoStream, static_cast<uint32_t>(b.n), sink.AlignedAppend(buffer, b.n));
  }

  // Thread contexts and stacks; [0] is the faulting thread.
  size_t written = 0;
  uint32_t thread_index[kMaxThreads];
  for (size_t i = 0; i < in.thread_count && i < kMaxThreads; ++i) {
    const ThreadSlot& t = ws.threads[i];
    if (i != 0 && t.state.load(std::memory_order_acquire) != 2) continue;
    BuildContext(t, buffer);
    ws.context_rva[i] = sink.AlignedAppend(buffer, kContextSize);
    MemoryRange& stack = ws.stacks[i];
    stack = MemoryRange();
    uint64_t lo, hi;
    if (FindStackRange(ws, t.gregs[REG_RSP], &lo, &hi)) {
      stack.start = lo;
      stack.size = static_cast<uint32_t>(hi - lo);
      stack.rva = sink.AlignedAppend(reinterpret_cast<const void*>(lo), stack.size);
    }
    thread_index[written++] = static_cast<uint32_t>(i);
  }
  {
    Bytes b{buffer};
    b.U32(static_cast<uint32_t>(written));
    uint32_t rva = sink.AlignedAppend(buffer, b.n);
    for (size_t k = 0; k < written; ++k) {
      size_t i = thread_index[k];
      Bytes e{buffer};
      e.U32(static_cast<uint32_t>(ws.threads[i].tid.load(std::memory_order_relaxed)));
      e.U32(0);  // suspend count
      e.U32(0);  // priority class
      e.U32(0);  // priority
      e.U64(0);  // thread environment block
      e.U64(ws.stacks[i].start);
      e.Location(ws.stacks[i].size, ws.stacks[i].rva);
      e.Location(static_cast<uint32_t>(kContextSize), ws.context_rva[i]);
      sink.Append(buffer, e.n);
    }
    add_stream(kThreadListStream, static_cast<uint32_t>(4 + written * kThreadEntrySize), rva);
  }

  // The code around the faulting instruction, for readers without the file.
  MemoryRange code;
  {
    uint64_t lo, hi;
    if (FindReadableRange(ws, in.pc, &lo, &hi)) {
      uint64_t from = in.pc >= lo + 256 ? in.pc - 256 : lo;
      uint64_t to = hi - in.pc > 256 ? in.pc + 256 : hi;
      code.start = from;
      code.size = static_cast<uint32_t>(to - from);
      code.rva = sink.AlignedAppend(reinterpret_cast<const void*>(from), code.size);
    }
  }

  // Memory list: every stack, then the code.
  {
    uint32_t count = 0;
    for (size_t k = 0; k < written; ++k) count += ws.stacks[thread_index[k]].size ? 1 : 0;
    count += code.size ? 1 : 0;
    Bytes b{buffer};
    b.U32(count);
    uint32_t rva = sink.AlignedAppend(buffer, b.n);
    auto put = [&](const MemoryRange& r) {
      Bytes e{buffer};
      e.U64(r.start);
      e.Location(r.size, r.rva);
      sink.Append(buffer, e.n);
    };
    for (size_t k = 0; k < written; ++k) {
      if (ws.stacks[thread_index[k]].size) put(ws.stacks[thread_index[k]]);
    }
    if (code.size) put(code);
    add_stream(kMemoryListStream, static_cast<uint32_t>(4 + count * kMemoryDescriptorSize), rva);
  }

  // The exception, in the form Linux readers expect: the signal as the code.
  {
    Bytes b{buffer};
    b.U32(static_cast<uint32_t>(ws.threads[0].tid.load(std::memory_order_relaxed)));
    b.U32(0);
    b.U32(static_cast<uint32_t>(in.signal));
    b.U32(static_cast<uint32_t>(in.si_code));
    b.U64(0);  // no nested record
    b.U64(in.pc);
    b.U32(2);
    b.U32(0);
    b.U64(in.access_kind);
    b.U64(in.fault_address);
    b.Zero(13 * 8);
    b.Location(static_cast<uint32_t>(kContextSize), ws.context_rva[0]);
    add_stream(kExceptionStream, static_cast<uint32_t>(b.n), sink.AlignedAppend(buffer, b.n));
  }

  // Modules: every ELF file mapped, with its name and build id.
  {
    size_t count = CollectModules(&ws);
    for (size_t i = 0; i < count; ++i) {
      ModuleEntry& m = ws.modules[i];
      size_t n = BuildString(ws.maps + m.path_offset, m.path_length, buffer, sizeof buffer);
      m.name_rva = sink.AlignedAppend(buffer, n);
      unsigned char id[64];
      size_t id_size = ReadBuildId(m.base, id, sizeof id);
      if (id_size) {
        Bytes cv{buffer};
        cv.U32(kCvSignatureElfBuildId);
        std::memcpy(buffer + cv.n, id, id_size);
        m.cv_size = static_cast<uint32_t>(cv.n + id_size);
        m.cv_rva = sink.AlignedAppend(buffer, m.cv_size);
      }
    }
    Bytes b{buffer};
    b.U32(static_cast<uint32_t>(count));
    uint32_t rva = sink.AlignedAppend(buffer, b.n);
    for (size_t i = 0; i < count; ++i) {
      const ModuleEntry& m = ws.modules[i];
      Bytes e{buffer};
      e.U64(m.base);
      e.U32(static_cast<uint32_t>(m.end - m.base));
      e.U32(0);  // checksum
      e.U32(0);  // time stamp
      e.U32(m.name_rva);
      e.Zero(13 * 4);  // fixed file version information
      e.Location(m.cv_size, m.cv_rva);
      e.Location(0, 0);  // misc record
      e.U64(0);
      e.U64(0);
      sink.Append(buffer, e.n);
    }
    add_stream(kModuleListStream, static_cast<uint32_t>(4 + count * kModuleEntrySize), rva);
  }

  // Copies of the process's own description files.
  {
    uint32_t rva = sink.AlignedAppend(ws.maps, ws.maps_length);
    add_stream(kLinuxMapsStream, static_cast<uint32_t>(ws.maps_length), rva);
    static const struct {
      uint32_t type;
      const char* path;
    } files[] = {{kLinuxProcStatusStream, "/proc/self/status"},
                 {kLinuxCmdLineStream, "/proc/self/cmdline"},
                 {kLinuxAuxvStream, "/proc/self/auxv"},
                 {kLinuxCpuInfoStream, "/proc/cpuinfo"}};
    for (const auto& f : files) {
      uint32_t size = CopyFileToSink(&sink, f.path, &rva);
      if (size) add_stream(f.type, size, rva);
    }
  }

  // Header and directory.
  {
    sink.At(kHeaderSize, directory, sizeof directory);
    struct timespec now = {};
    syscall(SYS_clock_gettime, CLOCK_REALTIME, &now);
    Bytes b{buffer};
    b.U32(kSignature);
    b.U32(kVersion);
    b.U32(static_cast<uint32_t>(streams));
    b.U32(kHeaderSize);
    b.U32(0);  // checksum
    b.U32(static_cast<uint32_t>(now.tv_sec));
    b.U64(0);  // flags: a normal dump
    sink.At(0, buffer, b.n);
  }
  return sink.ok();
}

}  // namespace platform::crash::detail
