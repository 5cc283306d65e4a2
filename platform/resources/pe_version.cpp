// The fixed version block of a Windows PE file, read from the PE/COFF layout:
//
//   DOS header: "MZ"; the file offset of the PE header at 0x3C (32 bits).
//   PE header: "PE\0\0", then the COFF header (20 bytes: machine, number of
//   sections at +2, size of the optional header at +16), then the optional
//   header: magic 0x10B (PE32; the number of data directories at +92, the
//   directories at +96) or 0x20B (PE32+; at +108 and +112). Data directory 2
//   (8 bytes: RVA, size) is the resource directory.
//   Section table, after the optional header, 40 bytes a section: virtual
//   size at +8, virtual address at +12, raw size at +16, raw offset at +20.
//   An RVA is found in the file through the section that holds it.
//   Resource directory (16 bytes: named entry count at +12, id entry count
//   at +14), then 8-byte entries (name or id; offset, the high bit marking a
//   sub-directory; offsets relative to the start of the resource directory).
//   Three levels: type (16 = version), name (1 preferred, else the first),
//   language (the first). A leaf is a data entry: RVA and size of the data.
//   The data is VS_VERSIONINFO: length, value length, type (16 bits each),
//   the UTF-16 key "VS_VERSION_INFO" with its terminator, padding to a
//   32-bit boundary, then VS_FIXEDFILEINFO: signature 0xFEEF04BD, structure
//   version, file version (most significant 32 bits, then least), product
//   version (the same), and further fields not read here.
#include <cstring>
#include <optional>

#include "platform/resources/byte_source.h"

namespace platform::resources_detail {

namespace {

constexpr uint32_t kRtVersion = 16;
constexpr uint32_t kFixedSignature = 0xFEEF04BDu;
constexpr uint32_t kSubdirBit = 0x80000000u;

struct Section {
  uint32_t va, vsize, raw_size, raw_off;
};

class PeFile {
 public:
  explicit PeFile(const ByteSource& src) : src_(src) {}

  bool Load(std::string& error) {
    uint16_t mz = 0;
    uint32_t pe_off = 0;
    if (!src_.U16(0, mz) || mz != 0x5A4D) return Fail(error, "not a PE file (no MZ header)");
    if (!src_.U32(0x3C, pe_off)) return Fail(error, "truncated DOS header");
    uint32_t sig = 0;
    if (!src_.U32(pe_off, sig) || sig != 0x00004550u) return Fail(error, "no PE signature");
    uint16_t nsections = 0, opt_size = 0, magic = 0;
    const uint64_t coff = uint64_t{pe_off} + 4;
    const uint64_t opt = coff + 20;
    if (!src_.U16(coff + 2, nsections) || !src_.U16(coff + 16, opt_size) || !src_.U16(opt, magic))
      return Fail(error, "truncated PE header");
    uint64_t count_at, dirs_at;
    if (magic == 0x10B) {
      count_at = 92;
      dirs_at = 96;
    } else if (magic == 0x20B) {
      count_at = 108;
      dirs_at = 112;
    } else {
      return Fail(error, "unknown optional header magic");
    }
    uint32_t ndirs = 0;
    if (opt_size < count_at + 4 || !src_.U32(opt + count_at, ndirs)) return Fail(error, "truncated optional header");
    if (ndirs <= 2 || opt_size < dirs_at + 3 * 8) return Fail(error, "no resource directory");
    if (!src_.U32(opt + dirs_at + 16, rsrc_rva_) || !src_.U32(opt + dirs_at + 20, rsrc_size_))
      return Fail(error, "truncated optional header");
    if (rsrc_rva_ == 0 || rsrc_size_ == 0) return Fail(error, "no resource directory");
    const uint64_t table = opt + opt_size;
    if (!src_.InRange(table, uint64_t{nsections} * 40)) return Fail(error, "section table runs past the end");
    for (uint16_t i = 0; i < nsections; ++i) {
      Section s{};
      uint64_t at = table + uint64_t{i} * 40;
      src_.U32(at + 8, s.vsize);
      src_.U32(at + 12, s.va);
      src_.U32(at + 16, s.raw_size);
      src_.U32(at + 20, s.raw_off);
      sections_.push_back(s);
    }
    return true;
  }

  // File offset of `n` bytes at `rva`, when they are all in one section's
  // raw data (and in the file).
  bool Map(uint64_t rva, uint64_t n, uint64_t& off) const {
    for (const Section& s : sections_) {
      if (rva < s.va) continue;
      uint64_t delta = rva - s.va;
      if (delta >= s.raw_size || s.raw_size - delta < n) continue;
      off = uint64_t{s.raw_off} + delta;
      return src_.InRange(off, n);
    }
    return false;
  }

  // Reads a 32-bit value at an offset inside the resource directory.
  bool DirU32(uint64_t rel, uint32_t& v) const {
    uint64_t off;
    if (rel > rsrc_size_ || rsrc_size_ - rel < 4) return false;
    return Map(uint64_t{rsrc_rva_} + rel, 4, off) && src_.U32(off, v);
  }
  bool DirU16(uint64_t rel, uint16_t& v) const {
    uint64_t off;
    if (rel > rsrc_size_ || rsrc_size_ - rel < 2) return false;
    return Map(uint64_t{rsrc_rva_} + rel, 2, off) && src_.U16(off, v);
  }

  // Finds an entry in the directory at `dir`: with `want_id` set the id
  // entry with that id, else (or when absent and `fallback`) the first
  // entry. Answers the entry's offset field.
  bool Entry(uint64_t dir, std::optional<uint32_t> want_id, bool fallback, uint32_t& target) const {
    uint16_t named = 0, ids = 0;
    if (!DirU16(dir + 12, named) || !DirU16(dir + 14, ids)) return false;
    uint32_t total = uint32_t{named} + ids;
    if (total == 0 || dir + 16 + uint64_t{total} * 8 > rsrc_size_) return false;
    if (want_id) {
      for (uint32_t i = named; i < total; ++i) {
        uint32_t name = 0, off = 0;
        if (!DirU32(dir + 16 + uint64_t{i} * 8, name) || !DirU32(dir + 20 + uint64_t{i} * 8, off)) return false;
        if (name == *want_id) {
          target = off;
          return true;
        }
      }
      if (!fallback) return false;
    }
    return DirU32(dir + 20, target);
  }

  const ByteSource& src() const { return src_; }

 private:
  static bool Fail(std::string& error, const char* text) {
    error = text;
    return false;
  }
  const ByteSource& src_;
  uint32_t rsrc_rva_ = 0, rsrc_size_ = 0;
  std::vector<Section> sections_;
};

}  // namespace

bool ReadPeVersionFrom(const ByteSource& src, std::array<uint16_t, 4>& file, std::array<uint16_t, 4>& product,
                       std::string& error) {
  PeFile pe(src);
  if (!pe.Load(error)) return false;
  uint32_t type_dir = 0, name_dir = 0, leaf = 0;
  if (!pe.Entry(0, kRtVersion, false, type_dir)) {
    error = "no version resource";
    return false;
  }
  if (!(type_dir & kSubdirBit) || !pe.Entry(type_dir & ~kSubdirBit, 1u, true, name_dir) ||
      !(name_dir & kSubdirBit) || !pe.Entry(name_dir & ~kSubdirBit, std::nullopt, true, leaf) ||
      (leaf & kSubdirBit)) {
    error = "damaged resource directory";
    return false;
  }
  uint32_t data_rva = 0, data_size = 0;
  if (!pe.DirU32(leaf, data_rva) || !pe.DirU32(uint64_t{leaf} + 4, data_size)) {
    error = "damaged resource directory";
    return false;
  }
  // Header (6) + key (16 UTF-16 units) + padding = 40, then 52 fixed bytes.
  constexpr uint64_t kFixedAt = 40;
  constexpr uint64_t kNeeded = kFixedAt + 52;
  uint64_t off = 0;
  if (data_size < kNeeded || !pe.Map(data_rva, kNeeded, off)) {
    error = "version resource too short or outside the file";
    return false;
  }
  uint16_t length = 0, value_length = 0;
  src.U16(off, length);
  src.U16(off + 2, value_length);
  static const char16_t kKey[] = u"VS_VERSION_INFO";
  for (size_t i = 0; i < 16; ++i) {
    uint16_t c = 0;
    src.U16(off + 6 + 2 * i, c);
    if (c != static_cast<uint16_t>(kKey[i])) {
      error = "version resource without the VS_VERSION_INFO key";
      return false;
    }
  }
  uint32_t sig = 0, fms = 0, fls = 0, pms = 0, pls = 0;
  src.U32(off + kFixedAt, sig);
  if (length < kNeeded || value_length < 52 || sig != kFixedSignature) {
    error = "version resource without a fixed version block";
    return false;
  }
  src.U32(off + kFixedAt + 8, fms);
  src.U32(off + kFixedAt + 12, fls);
  src.U32(off + kFixedAt + 16, pms);
  src.U32(off + kFixedAt + 20, pls);
  file = {static_cast<uint16_t>(fms >> 16), static_cast<uint16_t>(fms), static_cast<uint16_t>(fls >> 16),
          static_cast<uint16_t>(fls)};
  product = {static_cast<uint16_t>(pms >> 16), static_cast<uint16_t>(pms), static_cast<uint16_t>(pls >> 16),
             static_cast<uint16_t>(pls)};
  return true;
}

}  // namespace platform::resources_detail
