// Pixel loops behind fills, blits and presentation. Rows are addressed by a
// base pointer and a pitch; "bits" is the storage size of one pixel: 1, 2, 4
// (packed, leftmost pixel in the high bits of a byte), 8, 16, 24 or 32.
#pragma once

#include <cstdint>

#include "platform/ddraw/ddraw.h"

namespace ddraw::pixels {

uint32_t StorageBits(const PixelFormat& f);

uint32_t GetPixel(const uint8_t* row, uint32_t x, uint32_t bits);
void SetPixel(uint8_t* row, uint32_t x, uint32_t bits, uint32_t value);

// Fills w x h pixels at (x, y) with value (already cut to the pixel size).
void Fill(uint8_t* base, uint32_t pitch, uint32_t bits, uint32_t x, uint32_t y, uint32_t w,
          uint32_t h, uint32_t value);

struct KeySpec {
  bool use_src = false;
  uint32_t src = 0;  // source pixels equal to this are not copied
  bool use_dst = false;
  uint32_t dst = 0;  // only destination pixels equal to this are replaced
};

// Copies w x h pixels from (sx, sy) of src to (dx, dy) of dst. The two
// regions may lie in the same surface and overlap.
void Copy(uint8_t* dst, uint32_t dpitch, uint32_t dx, uint32_t dy, const uint8_t* src,
          uint32_t spitch, uint32_t sx, uint32_t sy, uint32_t w, uint32_t h, uint32_t bits,
          const KeySpec& keys);

// Converts a surface's pixels to 0xAARRGGBB with alpha 0xFF; palettized
// formats go through pal (black when null).
void ToArgb(const uint8_t* base, uint32_t pitch, uint32_t w, uint32_t h, const PixelFormat& f,
            const PaletteEntry* pal, uint32_t* out, uint32_t out_pitch_pixels);

}  // namespace ddraw::pixels
