// Bounds-checked random access to the bytes of a file or a memory block; the
// readers of ELF sections, bundles and PE files go through it so that no
// offset taken from a file is ever used unchecked.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace platform {
class ResourceBundle;
}

namespace platform::resources_detail {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t size() const = 0;
  // Reads exactly n bytes at off; false when they are not all there.
  virtual bool Read(uint64_t off, void* dst, size_t n) const = 0;

  bool InRange(uint64_t off, uint64_t n) const { return n <= size() && off <= size() - n; }
  bool ReadBytes(uint64_t off, uint64_t n, std::vector<uint8_t>& out) const {
    if (!InRange(off, n)) return false;
    out.resize(static_cast<size_t>(n));
    return n == 0 || Read(off, out.data(), static_cast<size_t>(n));
  }
  bool U16(uint64_t off, uint16_t& v) const { return Le(off, v); }
  bool U32(uint64_t off, uint32_t& v) const { return Le(off, v); }
  bool U64(uint64_t off, uint64_t& v) const { return Le(off, v); }

 private:
  template <typename T>
  bool Le(uint64_t off, T& v) const {
    uint8_t b[sizeof(T)];
    if (!Read(off, b, sizeof b)) return false;
    v = 0;
    for (size_t i = sizeof(T); i-- > 0;) v = static_cast<T>((v << 8) | b[i]);
    return true;
  }
};

class MemorySource : public ByteSource {
 public:
  explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint64_t size() const override { return bytes_.size(); }
  bool Read(uint64_t off, void* dst, size_t n) const override {
    if (!InRange(off, n)) return false;
    if (n) std::memcpy(dst, bytes_.data() + off, n);
    return true;
  }

 private:
  std::span<const uint8_t> bytes_;
};

// A regular file opened read-only; ok() is false when it can't be opened.
class FileSource : public ByteSource {
 public:
  explicit FileSource(const std::string& path);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  bool ok() const { return fd_ >= 0; }
  const std::string& error() const { return error_; }
  uint64_t size() const override { return size_; }
  bool Read(uint64_t off, void* dst, size_t n) const override;

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
  std::string error_;
};

// The ".qivres" section of an ELF file: true with `found` false when the
// file is ELF but has no such section; false with `error` when it is not a
// readable 64-bit little-endian ELF file.
bool ReadElfSection(const ByteSource& src, const char* name, std::vector<uint8_t>& out, bool& found,
                    std::string& error);

// The calling thread's error text (ResourceLastErrorText()).
void SetLastError(std::string text);

// The running executable's bundle, read once; nullptr when it is damaged or
// unreadable (the error text is set then).
const ResourceBundle* OwnBundle();

bool ReadPeVersionFrom(const ByteSource& src, std::array<uint16_t, 4>& file, std::array<uint16_t, 4>& product,
                       std::string& error);

}  // namespace platform::resources_detail
