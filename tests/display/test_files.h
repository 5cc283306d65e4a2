// Image, raw and palette files written by the tests themselves.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace testfiles {

inline void Put16(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  v[at] = uint8_t(x);
  v[at + 1] = uint8_t(x >> 8);
}
inline void Put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  Put16(v, at, x & 0xFFFF);
  Put16(v, at + 2, x >> 16);
}

struct Bgr {
  uint8_t b, g, r;
};

// A bitmap file with a 40-byte header. rows_top_down holds the pixel rows
// from the top, already packed (row length without padding); they are stored
// bottom-up (or top-down with top_down) with 4-byte row padding.
// masks (red, green, blue) turn on bit-field compression.
inline std::vector<uint8_t> MakeBmp(int32_t width, int32_t height, uint16_t bits,
                                    const std::vector<Bgr>& colours,
                                    const std::vector<std::vector<uint8_t>>& rows_top_down,
                                    bool top_down = false, const uint32_t* masks = nullptr) {
  const uint32_t row_bytes = ((uint32_t(width) * bits + 31) / 32) * 4;
  const uint32_t table = uint32_t(colours.size()) * 4 + (masks ? 12 : 0);
  const uint32_t offset = 54 + table;
  std::vector<uint8_t> f(offset + row_bytes * uint32_t(height), 0);
  f[0] = 'B';
  f[1] = 'M';
  Put32(f, 2, uint32_t(f.size()));
  Put32(f, 10, offset);
  Put32(f, 14, 40);
  Put32(f, 18, uint32_t(width));
  Put32(f, 22, uint32_t(top_down ? -height : height));
  Put16(f, 26, 1);
  Put16(f, 28, bits);
  Put32(f, 30, masks ? 3 : 0);
  Put32(f, 34, row_bytes * uint32_t(height));
  Put32(f, 46, uint32_t(colours.size()));
  size_t at = 54;
  if (masks) {
    for (int i = 0; i < 3; ++i) Put32(f, at + 4 * i, masks[i]);
    at += 12;
  }
  for (const Bgr& c : colours) {
    f[at] = c.b;
    f[at + 1] = c.g;
    f[at + 2] = c.r;
    at += 4;
  }
  for (int32_t y = 0; y < height; ++y) {
    int32_t stored = top_down ? y : height - 1 - y;
    const std::vector<uint8_t>& row = rows_top_down[size_t(y)];
    std::copy(row.begin(), row.end(), f.begin() + offset + size_t(stored) * row_bytes);
  }
  return f;
}

// A scratch folder removed with its files at the end of the test.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/rastelle-test-XXXXXX";
    char* p = mkdtemp(tmpl);
    path_ = p ? p : "/tmp";
  }
  ~TempDir() {
    for (const std::string& f : files_) std::remove(f.c_str());
    rmdir(path_.c_str());
  }
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::string full = path_ + "/" + name;
    FILE* f = std::fopen(full.c_str(), "wb");
    if (f) {
      if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
    }
    files_.push_back(full);
    return full;
  }
  std::string Path(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

}  // namespace testfiles
