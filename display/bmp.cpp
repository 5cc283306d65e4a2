#include "bmp.h"

#include <cstdio>
#include <cstring>

namespace rastelle {

namespace {
uint32_t U16(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8); }
uint32_t U32(const uint8_t* p) { return U16(p) | (U16(p + 2) << 16); }
constexpr uint32_t kMaxSide = 1u << 15;
}  // namespace

BmpError ReadBmp(const char* file_name, BmpImage* out) {
  if (!file_name) return BmpError::kOpen;
  FILE* f = std::fopen(file_name, "rb");
  if (!f) return BmpError::kOpen;
  std::vector<uint8_t> data;
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + n);
  bool read_error = std::ferror(f) != 0;
  std::fclose(f);
  if (read_error) return BmpError::kOpen;

  if (data.size() < 14 + 40 || data[0] != 'B' || data[1] != 'M') return BmpError::kBad;
  const uint32_t offset = U32(&data[10]);
  const uint32_t header = U32(&data[14]);
  if (header < 40 || 14ull + header > data.size()) return BmpError::kBad;
  const int32_t width = int32_t(U32(&data[18]));
  const int32_t height = int32_t(U32(&data[22]));
  const uint32_t planes = U16(&data[26]);
  const uint32_t bits = U16(&data[28]);
  const uint32_t compression = U32(&data[30]);
  if (planes != 1 || width <= 0 || height == 0 || height == INT32_MIN) return BmpError::kBad;
  const uint32_t w = uint32_t(width), h = uint32_t(height < 0 ? -height : height);
  if (w > kMaxSide || h > kMaxSide) return BmpError::kBad;
  if (!(bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32)) return BmpError::kBad;

  out->red_mask = out->green_mask = out->blue_mask = 0;
  if (compression == 3 && (bits == 16 || bits == 32)) {
    // Masks follow a 40-byte header, or sit inside a longer one.
    if (14ull + 40 + 12 > data.size()) return BmpError::kBad;
    out->red_mask = U32(&data[54]);
    out->green_mask = U32(&data[58]);
    out->blue_mask = U32(&data[62]);
  } else if (compression == 0) {
    if (bits == 16) {
      out->red_mask = 0x7C00, out->green_mask = 0x03E0, out->blue_mask = 0x001F;
    } else if (bits >= 24) {
      out->red_mask = 0xFF0000, out->green_mask = 0x00FF00, out->blue_mask = 0x0000FF;
    }
  } else {
    return BmpError::kBad;
  }

  const uint64_t row_bytes = ((uint64_t(w) * bits + 31) / 32) * 4;
  const uint64_t size = row_bytes * h;
  if (offset > data.size() || data.size() - offset < size) return BmpError::kBad;
  out->width = w;
  out->height = h;
  out->bits = bits;
  out->row_bytes = uint32_t(row_bytes);
  out->rows.resize(size);
  const uint8_t* src = data.data() + offset;
  if (height > 0) {
    std::memcpy(out->rows.data(), src, size);
  } else {
    // Top-down file: keep the rows bottom-up like every other image.
    for (uint32_t r = 0; r < h; ++r)
      std::memcpy(out->rows.data() + size_t(h - 1 - r) * row_bytes, src + size_t(r) * row_bytes, row_bytes);
  }
  return BmpError::kNone;
}

}  // namespace rastelle
