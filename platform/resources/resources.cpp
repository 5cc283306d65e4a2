#include "platform/resources/resources.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/resources/byte_source.h"

extern char** environ;

namespace platform {

using resources_detail::ByteSource;
using resources_detail::FileSource;
using resources_detail::MemorySource;

namespace {

constexpr uint8_t kMagic[8] = {'Q', 'I', 'V', 'R', 'E', 'S', 0x1A, 0x0A};
constexpr uint32_t kFormatVersion = 1;
constexpr size_t kHeaderSize = 32;
constexpr size_t kEntrySize = 32;
constexpr size_t kTypeSize = 16;
constexpr const char* kSectionName = ".qivres";

thread_local std::string t_error;

void SetError(std::string text) { t_error = std::move(text); }

uint32_t Crc32(const std::vector<uint8_t>& data) {
  uLong crc = crc32(0L, Z_NULL, 0);
  // zlib takes lengths as uInt; feed large data in pieces.
  size_t done = 0;
  while (done < data.size()) {
    size_t n = std::min<size_t>(data.size() - done, 1u << 30);
    crc = crc32(crc, data.data() + done, static_cast<uInt>(n));
    done += n;
  }
  return static_cast<uint32_t>(crc);
}

void PutLe(std::vector<uint8_t>& out, size_t at, uint64_t v, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

bool Less(const Resource& a, const Resource& b) {
  return a.type != b.type ? a.type < b.type : a.id < b.id;
}

std::string Hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08X", v);
  return buf;
}

}  // namespace

// ---- names -----------------------------------------------------------------

bool IsValidResourceType(std::string_view type) {
  if (type.empty() || type.size() > kTypeSize) return false;
  for (char c : type) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string NormalizeResourceType(std::string_view type) {
  std::string t(type);
  for (char& c : t)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return t;
}

std::string ResourceLastErrorText() { return t_error; }

// ---- bundle ------------------------------------------------------------------

std::optional<ResourceBundle> ResourceBundle::Parse(std::span<const uint8_t> bytes, std::string* error) {
  auto fail = [&](std::string text) -> std::optional<ResourceBundle> {
    if (error) *error = "damaged resource bundle: " + text;
    return std::nullopt;
  };
  MemorySource src(bytes);
  if (bytes.size() < kHeaderSize) return fail("shorter than its header (" + std::to_string(bytes.size()) + " bytes)");
  if (std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) return fail("bad magic");
  uint32_t version = 0, count = 0;
  uint64_t length = 0;
  src.U32(8, version);
  src.U32(12, count);
  src.U64(16, length);
  if (version != kFormatVersion) return fail("unknown format version " + std::to_string(version));
  if (length > bytes.size())
    return fail("length " + std::to_string(length) + " runs past the " + std::to_string(bytes.size()) +
                " bytes present (truncated)");
  uint64_t table_end = kHeaderSize + static_cast<uint64_t>(count) * kEntrySize;
  if (table_end > length) return fail(std::to_string(count) + " entries don't fit in " + std::to_string(length) + " bytes");

  ResourceBundle bundle;
  bundle.resources_.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t at = kHeaderSize + static_cast<uint64_t>(i) * kEntrySize;
    const char* raw = reinterpret_cast<const char*>(bytes.data() + at);
    size_t tlen = 0;
    while (tlen < kTypeSize && raw[tlen] != '\0') ++tlen;
    std::string_view type(raw, tlen);
    for (size_t k = tlen; k < kTypeSize; ++k)
      if (raw[k] != '\0') return fail("entry " + std::to_string(i) + ": bad type name");
    if (!IsValidResourceType(type) || NormalizeResourceType(type) != type)
      return fail("entry " + std::to_string(i) + ": bad type name");
    uint32_t id = 0, offset = 0, size = 0, crc = 0;
    src.U32(at + 16, id);
    src.U32(at + 20, offset);
    src.U32(at + 24, size);
    src.U32(at + 28, crc);
    std::string label = std::string(type) + " " + std::to_string(id);
    if (offset < table_end || static_cast<uint64_t>(offset) + size > length)
      return fail(label + ": data at " + std::to_string(offset) + "+" + std::to_string(size) +
                  " lies outside the data area");
    Resource r;
    r.type = std::string(type);
    r.id = id;
    r.data.assign(bytes.begin() + offset, bytes.begin() + offset + size);
    if (Crc32(r.data) != crc) return fail(label + ": checksum mismatch (" + Hex32(Crc32(r.data)) + " != " + Hex32(crc) + ")");
    bundle.resources_.push_back(std::move(r));
  }
  std::sort(bundle.resources_.begin(), bundle.resources_.end(), Less);
  for (size_t i = 1; i < bundle.resources_.size(); ++i) {
    const Resource& a = bundle.resources_[i - 1];
    const Resource& b = bundle.resources_[i];
    if (a.type == b.type && a.id == b.id) return fail(a.type + " " + std::to_string(a.id) + " appears twice");
  }
  return bundle;
}

std::vector<uint8_t> ResourceBundle::Serialize() const {
  uint64_t pos = kHeaderSize + resources_.size() * kEntrySize;
  std::vector<uint64_t> offsets;
  for (const Resource& r : resources_) {
    pos = (pos + 7) & ~uint64_t{7};
    offsets.push_back(pos);
    pos += r.data.size();
  }
  pos = (pos + 7) & ~uint64_t{7};
  std::vector<uint8_t> out(static_cast<size_t>(pos), 0);
  std::memcpy(out.data(), kMagic, sizeof kMagic);
  PutLe(out, 8, kFormatVersion, 4);
  PutLe(out, 12, resources_.size(), 4);
  PutLe(out, 16, pos, 8);
  for (size_t i = 0; i < resources_.size(); ++i) {
    const Resource& r = resources_[i];
    size_t at = kHeaderSize + i * kEntrySize;
    std::memcpy(out.data() + at, r.type.data(), r.type.size());
    PutLe(out, at + 16, r.id, 4);
    PutLe(out, at + 20, offsets[i], 4);
    PutLe(out, at + 24, r.data.size(), 4);
    PutLe(out, at + 28, Crc32(r.data), 4);
    if (!r.data.empty()) std::memcpy(out.data() + offsets[i], r.data.data(), r.data.size());
  }
  return out;
}

const Resource* ResourceBundle::Find(std::string_view type, uint32_t id) const {
  if (!IsValidResourceType(type)) return nullptr;
  std::string t = NormalizeResourceType(type);
  for (const Resource& r : resources_)
    if (r.id == id && r.type == t) return &r;
  return nullptr;
}

bool ResourceBundle::Set(std::string_view type, uint32_t id, std::vector<uint8_t> data) {
  if (!IsValidResourceType(type)) return false;
  Resource r{NormalizeResourceType(type), id, std::move(data)};
  auto it = std::lower_bound(resources_.begin(), resources_.end(), r, Less);
  if (it != resources_.end() && it->type == r.type && it->id == id)
    it->data = std::move(r.data);
  else
    resources_.insert(it, std::move(r));
  return true;
}

bool ResourceBundle::Remove(std::string_view type, uint32_t id) {
  if (!IsValidResourceType(type)) return false;
  std::string t = NormalizeResourceType(type);
  for (auto it = resources_.begin(); it != resources_.end(); ++it) {
    if (it->id == id && it->type == t) {
      resources_.erase(it);
      return true;
    }
  }
  return false;
}

// ---- files -------------------------------------------------------------------

namespace resources_detail {

FileSource::FileSource(const std::string& path) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    error_ = "can't open " + path + ": " + std::strerror(errno);
    return;
  }
  struct stat st;
  if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    error_ = path + " is not a regular file";
    ::close(fd_);
    fd_ = -1;
    return;
  }
  size_ = static_cast<uint64_t>(st.st_size);
}

FileSource::~FileSource() {
  if (fd_ >= 0) ::close(fd_);
}

bool FileSource::Read(uint64_t off, void* dst, size_t n) const {
  if (fd_ < 0 || !InRange(off, n)) return false;
  auto* p = static_cast<uint8_t*>(dst);
  while (n > 0) {
    ssize_t got = pread(fd_, p, n, static_cast<off_t>(off));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;  // the file shrank under us
    p += got;
    off += static_cast<uint64_t>(got);
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool ReadElfSection(const ByteSource& src, const char* name, std::vector<uint8_t>& out, bool& found,
                    std::string& error) {
  found = false;
  unsigned char ident[EI_NIDENT];
  if (!src.Read(0, ident, sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0) {
    error = "not an ELF file";
    return false;
  }
  if (ident[EI_CLASS] != ELFCLASS64 || ident[EI_DATA] != ELFDATA2LSB) {
    error = "not a 64-bit little-endian ELF file";
    return false;
  }
  uint64_t shoff = 0;
  uint16_t shentsize = 0, shnum16 = 0, shstrndx16 = 0;
  if (!src.U64(offsetof(Elf64_Ehdr, e_shoff), shoff) || !src.U16(offsetof(Elf64_Ehdr, e_shentsize), shentsize) ||
      !src.U16(offsetof(Elf64_Ehdr, e_shnum), shnum16) || !src.U16(offsetof(Elf64_Ehdr, e_shstrndx), shstrndx16)) {
    error = "truncated ELF header";
    return false;
  }
  if (shoff == 0) return true;  // no section headers at all
  if (shentsize < sizeof(Elf64_Shdr)) {
    error = "bad ELF section header size";
    return false;
  }
  auto field = [&](uint64_t index, size_t member_offset, uint64_t& v, size_t width) -> bool {
    uint64_t at = shoff + index * shentsize + member_offset;
    if (index > UINT32_MAX) return false;
    if (width == 4) {
      uint32_t w = 0;
      if (!src.U32(at, w)) return false;
      v = w;
      return true;
    }
    return src.U64(at, v);
  };
  // Extended numbering: counts too large for the header live in section 0.
  uint64_t shnum = shnum16, shstrndx = shstrndx16;
  if (shnum == 0 && !field(0, offsetof(Elf64_Shdr, sh_size), shnum, 8)) {
    error = "truncated ELF section headers";
    return false;
  }
  if (shstrndx == SHN_XINDEX && !field(0, offsetof(Elf64_Shdr, sh_link), shstrndx, 4)) {
    error = "truncated ELF section headers";
    return false;
  }
  if (shnum == 0) return true;
  if (shnum > (src.size() / shentsize) || !src.InRange(shoff, shnum * shentsize)) {
    error = "ELF section headers run past the end of the file";
    return false;
  }
  if (shstrndx >= shnum) {
    error = "bad ELF section name table index";
    return false;
  }
  uint64_t str_off = 0, str_size = 0;
  field(shstrndx, offsetof(Elf64_Shdr, sh_offset), str_off, 8);
  field(shstrndx, offsetof(Elf64_Shdr, sh_size), str_size, 8);
  std::vector<uint8_t> names;
  if (!src.ReadBytes(str_off, str_size, names)) {
    error = "ELF section name table runs past the end of the file";
    return false;
  }
  const size_t want = std::strlen(name);
  for (uint64_t i = 0; i < shnum; ++i) {
    uint64_t name_off = 0, type = 0, off = 0, size = 0;
    field(i, offsetof(Elf64_Shdr, sh_name), name_off, 4);
    if (name_off >= names.size() || names.size() - name_off < want + 1) continue;
    if (std::memcmp(names.data() + name_off, name, want + 1) != 0) continue;
    field(i, offsetof(Elf64_Shdr, sh_type), type, 4);
    field(i, offsetof(Elf64_Shdr, sh_offset), off, 8);
    field(i, offsetof(Elf64_Shdr, sh_size), size, 8);
    if (type == SHT_NOBITS) {
      error = std::string("section ") + name + " has no bytes in the file";
      return false;
    }
    if (!src.ReadBytes(off, size, out)) {
      error = std::string("section ") + name + " runs past the end of the file";
      return false;
    }
    found = true;
    return true;
  }
  return true;
}

}  // namespace resources_detail

std::optional<ResourceBundle> ReadBundleFromFile(const std::string& path) {
  FileSource src(path);
  if (!src.ok()) {
    SetError(src.error());
    return std::nullopt;
  }
  std::vector<uint8_t> section;
  bool found = false;
  std::string error;
  if (!resources_detail::ReadElfSection(src, kSectionName, section, found, error)) {
    SetError(path + ": " + error);
    return std::nullopt;
  }
  if (!found) return ResourceBundle();
  auto bundle = ResourceBundle::Parse(section, &error);
  if (!bundle) SetError(path + ": " + error);
  return bundle;
}

namespace {

std::string ObjcopyPath() {
  if (const char* env = std::getenv("QIV_OBJCOPY"); env && *env) return env;
#ifdef QIV_OBJCOPY_PATH
  if (access(QIV_OBJCOPY_PATH, X_OK) == 0) return QIV_OBJCOPY_PATH;
#endif
  return "objcopy";
}

// Runs objcopy (never through a shell); its messages come back in `output`.
bool RunObjcopy(const std::vector<std::string>& args, std::string& output) {
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) {
    output = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], 2);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipefd[1]);
  if (rc != 0) {
    ::close(pipefd[0]);
    output = "can't start " + args[0] + ": " + std::strerror(rc);
    return false;
  }
  char buf[4096];
  ssize_t n;
  while ((n = ::read(pipefd[0], buf, sizeof buf)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (output.size() < 65536) output.append(buf, static_cast<size_t>(n));
  }
  ::close(pipefd[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  if (output.empty()) output = args[0] + " failed with status " + std::to_string(status);
  return false;
}

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool WriteBundleToFile(const std::string& path, const ResourceBundle& bundle) {
  char resolved[PATH_MAX];
  if (!realpath(path.c_str(), resolved)) {
    SetError("can't find " + path + ": " + std::strerror(errno));
    return false;
  }
  const std::string target = resolved;
  struct stat st;
  if (stat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    SetError(target + " is not a regular file");
    return false;
  }
  {
    FileSource src(target);
    std::vector<uint8_t> ignored;
    bool found = false;
    std::string error;
    if (!src.ok() || !resources_detail::ReadElfSection(src, kSectionName, ignored, found, error)) {
      SetError(target + ": " + (src.ok() ? error : src.error()));
      return false;
    }
  }
  const std::string folder = target.substr(0, target.rfind('/') + 1);
  const std::string base = target.substr(target.rfind('/') + 1);
  const std::vector<uint8_t> bytes = bundle.Serialize();

  std::string section_file = folder + "." + base + ".qivres-XXXXXX";
  std::string out_file = folder + "." + base + ".new-XXXXXX";
  int sfd = mkstemp(section_file.data());
  if (sfd < 0) {
    SetError("can't create a temporary file in " + folder + ": " + std::strerror(errno));
    return false;
  }
  bool written = WriteAll(sfd, bytes);
  ::close(sfd);
  int ofd = mkstemp(out_file.data());
  if (ofd < 0 || !written) {
    SetError("can't write a temporary file in " + folder + ": " + std::strerror(errno));
    if (ofd >= 0) ::close(ofd);
    std::remove(section_file.c_str());
    if (ofd >= 0) std::remove(out_file.c_str());
    return false;
  }
  ::close(ofd);

  std::string output;
  bool ok = RunObjcopy({ObjcopyPath(), std::string("--remove-section=") + kSectionName, "--add-section",
                        std::string(kSectionName) + "=" + section_file, "--set-section-flags",
                        std::string(kSectionName) + "=contents,readonly", target, out_file},
                       output);
  std::remove(section_file.c_str());
  if (!ok) {
    std::remove(out_file.c_str());
    SetError("objcopy could not rewrite " + target + ": " + output);
    return false;
  }
  // Check what objcopy wrote before it replaces the original.
  {
    FileSource check(out_file);
    std::vector<uint8_t> section;
    bool found = false;
    std::string error;
    if (!check.ok() || !resources_detail::ReadElfSection(check, kSectionName, section, found, error) || !found ||
        section.size() < bytes.size() || !std::equal(bytes.begin(), bytes.end(), section.begin())) {
      std::remove(out_file.c_str());
      SetError("the rewritten " + target + " does not hold the new resources" + (error.empty() ? "" : ": " + error));
      return false;
    }
  }
  int fd = ::open(out_file.c_str(), O_RDONLY | O_CLOEXEC);
  // Owner first (when we may: root restamping someone's file), then the mode,
  // since a change of owner clears the set-id bits.
  if (fd >= 0 && (st.st_uid != geteuid() || st.st_gid != getegid())) {
    if (fchown(fd, st.st_uid, st.st_gid) != 0) {
      // Not permitted: the new file belongs to us, which is all we can do.
    }
  }
  bool synced = fd >= 0 && fchmod(fd, st.st_mode & 07777) == 0 && fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  if (!synced || std::rename(out_file.c_str(), target.c_str()) != 0) {
    SetError("can't replace " + target + ": " + std::strerror(errno));
    std::remove(out_file.c_str());
    return false;
  }
  return true;
}

// ---- loading -----------------------------------------------------------------

namespace {

struct OwnBundleState {
  std::optional<ResourceBundle> bundle;
  std::string error;
};

const OwnBundleState& Own() {
  static const OwnBundleState own = [] {
    OwnBundleState o;
    o.bundle = ReadBundleFromFile("/proc/self/exe");
    if (!o.bundle) o.error = ResourceLastErrorText();
    return o;
  }();
  return own;
}

}  // namespace

namespace resources_detail {

void SetLastError(std::string text) { SetError(std::move(text)); }

const ResourceBundle* OwnBundle() {
  const OwnBundleState& own = Own();
  if (!own.bundle) {
    SetError(own.error);
    return nullptr;
  }
  return &*own.bundle;
}

}  // namespace resources_detail

std::optional<std::span<const uint8_t>> FindResource(std::string_view type, uint32_t id) {
  const ResourceBundle* bundle = resources_detail::OwnBundle();
  if (!bundle) return std::nullopt;
  const Resource* r = bundle->Find(type, id);
  if (!r) {
    SetError("no resource " + std::string(type) + " " + std::to_string(id) + " in the executable");
    return std::nullopt;
  }
  return std::span<const uint8_t>(r->data);
}

std::optional<std::vector<uint8_t>> LoadResource(std::string_view type, uint32_t id) {
  auto span = FindResource(type, id);
  if (!span) return std::nullopt;
  return std::vector<uint8_t>(span->begin(), span->end());
}

std::optional<std::vector<uint8_t>> LoadResourceFromFile(const std::string& path, std::string_view type,
                                                         uint32_t id) {
  auto bundle = ReadBundleFromFile(path);
  if (!bundle) return std::nullopt;
  const Resource* r = bundle->Find(type, id);
  if (!r) {
    SetError("no resource " + std::string(type) + " " + std::to_string(id) + " in " + path);
    return std::nullopt;
  }
  return r->data;
}

}  // namespace platform
