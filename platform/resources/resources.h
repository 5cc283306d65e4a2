// Resources of an executable: byte blobs addressed by a type name and an
// integer id ("XML" 106, "ZIPRES" 133, "EXE" 105, "ICON" 101, "VERSION" 1 ...),
// and the file version of an executable.
//
// Where the resources live
//   In a resource bundle stored in the ELF section ".qivres" of the
//   executable. The section is added after linking (qiv_stamp_resources in
//   CMake, the qiv-res tool), with objcopy from binutils, as a non-allocated
//   section: it is not mapped when the program runs; the program reads it
//   from its own file through /proc/self/exe, which stays the file the
//   process was started from even when the path has been replaced since.
//   Replacing resources rewrites the section in a copy of the file and
//   renames the copy over the original, so no recompiling is needed. The
//   section survives `strip`.
//
// Bundle format, version 1 (all integers little-endian)
//   Header, 32 bytes:
//     0   8  magic: 'Q' 'I' 'V' 'R' 'E' 'S' 0x1A 0x0A
//     8   4  format version: 1
//    12   4  N, the number of resources
//    16   8  L, the length of the whole bundle in bytes, header included
//    24   8  reserved, 0
//   Entry table, N entries of 32 bytes, sorted by type, then id:
//     0  16  type: 1 to 16 characters of A-Z, 0-9 and "_", padded with 0 bytes
//    16   4  id
//    20   4  offset of the data from the start of the bundle
//    24   4  length of the data
//    28   4  CRC-32 of the data (zlib's crc32, the ISO-HDLC polynomial)
//   Data: each resource's bytes in entry order, each starting at an offset
//   that is a multiple of 8 (zero bytes pad the gaps and the end), so
//   L = 32 + 32 N + the padded data.
//   A reader accepts a bundle only when the magic and version match,
//   32 + 32 N <= L <= the section's size, every entry's type is well formed,
//   its data lies inside [32 + 32 N, L), its CRC matches, and no (type, id)
//   pair appears twice. Anything else is a damaged bundle: no resource is
//   given out and ResourceLastErrorText() says why.
//   Type names compare without regard to case; they are stored upper-case.
//
// Kinds of resource with a meaning here
//   "VERSION" 1: the version resource, UTF-8 text of "Name=Value" lines
//     (a "\r" before the "\n" is ignored, blanks around names and values
//     are trimmed, empty lines and lines beginning with "#" are skipped):
//       FileVersion=3.0.3.0      required; 1 to 4 dot-separated decimal
//                                parts of 0..65535, missing parts are 0
//       ProductVersion=3.0.3.0   same form; the file version when absent
//       CompanyName=...          any other names are kept as text in order
//     The names FileVersion and ProductVersion compare without case.
//   "ICON" 101: the window and tray icon, as an image file (PNG).
//   Every other type (XML, ZIPRES, PNG, EXE) holds the file as it was given.
//
// File version of other executables
//   ELF files: their own "VERSION" resource (id 1, else the lowest id).
//   Windows PE files (PE32 and PE32+): the fixed block (VS_FIXEDFILEINFO) of
//   their version resource (type 16, id 1 or else the first one, first
//   language), read straight from the PE/COFF layout. Only the bytes that
//   are needed are read, so a large installer is not loaded whole.
//
// Every reader checks each offset and length against the data it has; a
// damaged file answers nullopt with an error text, never reads out of bounds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// ---- the bundle ------------------------------------------------------------

struct Resource {
  std::string type;  // upper-case
  uint32_t id = 0;
  std::vector<uint8_t> data;
};

// 1 to 16 characters of A-Z, a-z, 0-9 and "_".
bool IsValidResourceType(std::string_view type);
// The stored form of a type name (upper-case).
std::string NormalizeResourceType(std::string_view type);

class ResourceBundle {
 public:
  // Parses serialized bundle bytes; nullopt (with `error` set) when damaged.
  static std::optional<ResourceBundle> Parse(std::span<const uint8_t> bytes, std::string* error = nullptr);
  std::vector<uint8_t> Serialize() const;

  const Resource* Find(std::string_view type, uint32_t id) const;
  // Adds or replaces. False for an invalid type name.
  bool Set(std::string_view type, uint32_t id, std::vector<uint8_t> data);
  bool Remove(std::string_view type, uint32_t id);

  // Sorted by type, then id.
  const std::vector<Resource>& resources() const { return resources_; }
  bool empty() const { return resources_.empty(); }

 private:
  std::vector<Resource> resources_;
};

// Error text of the calling thread's last failed load or write.
std::string ResourceLastErrorText();

// Reads the bundle of an ELF file. An ELF file without a ".qivres" section
// gives an empty bundle; a file that is not a readable 64-bit little-endian
// ELF file, or a damaged bundle, gives nullopt.
std::optional<ResourceBundle> ReadBundleFromFile(const std::string& path);

// Replaces the ".qivres" section of the ELF file at `path` (through symbolic
// links) by `bundle`: objcopy writes a new file beside it, which is checked,
// given the original's mode (and owner, where permitted) and renamed over
// the original. On failure the original is untouched. Other hard links to
// the original keep the old contents. The objcopy used is $QIV_OBJCOPY, else the one found
// when the project was configured, else "objcopy" on the PATH.
bool WriteBundleToFile(const std::string& path, const ResourceBundle& bundle);

// ---- loading ---------------------------------------------------------------

// A resource of the running executable (/proc/self/exe). The bundle is read
// once per process; nullopt when there is no such resource or the bundle is
// damaged (see ResourceLastErrorText()).
std::optional<std::vector<uint8_t>> LoadResource(std::string_view type, uint32_t id);
// The same without a copy: the bytes stay valid until the process ends.
std::optional<std::span<const uint8_t>> FindResource(std::string_view type, uint32_t id);
// A resource of the ELF file at `path` (read afresh on every call).
std::optional<std::vector<uint8_t>> LoadResourceFromFile(const std::string& path, std::string_view type,
                                                         uint32_t id);

// ---- versions --------------------------------------------------------------

using VersionParts = std::array<uint16_t, 4>;  // major, minor, build, revision

struct VersionInfo {
  VersionParts file{};
  VersionParts product{};
  std::vector<std::pair<std::string, std::string>> strings;  // other lines, in order
};

// "major.minor.build.revision" in decimal.
std::string FormatVersion(const VersionParts& v);
// 1 to 4 dot-separated decimal parts of 0..65535; missing parts are 0.
std::optional<VersionParts> ParseVersion(std::string_view text);

// The "VERSION" resource text (see above) and back.
std::optional<VersionInfo> ParseVersionResource(std::span<const uint8_t> bytes, std::string* error = nullptr);
std::string FormatVersionResource(const VersionInfo& info);

// The fixed version block of a PE file held in memory.
std::optional<VersionInfo> ReadPeVersion(std::span<const uint8_t> bytes, std::string* error = nullptr);

// File version of an ELF or PE file; nullopt when it has none or can't be
// read (see ResourceLastErrorText()).
std::optional<VersionInfo> GetFileVersion(const std::string& path);
// File version of the running executable.
std::optional<VersionInfo> GetOwnFileVersion();

}  // namespace platform
