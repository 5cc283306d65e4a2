// A reader for Windows bitmap files: uncompressed 1-, 4-, 8-, 16-, 24- and
// 32-bit images with a 40-byte or longer info header (16- and 32-bit also
// with bit-field masks). Compressed (RLE) and OS/2 files are refused.
#pragma once

#include <cstdint>
#include <vector>

namespace rastelle {

struct BmpImage {
  uint32_t width = 0, height = 0, bits = 0;
  uint32_t red_mask = 0, green_mask = 0, blue_mask = 0;  // direct colour
  uint32_t row_bytes = 0;       // stored row size, a multiple of 4
  std::vector<uint8_t> rows;    // bottom-up, row_bytes each
};

enum class BmpError { kNone, kOpen, kBad };

BmpError ReadBmp(const char* file_name, BmpImage* out);

}  // namespace rastelle
