#include "platform/ddraw/pixels.h"

#include <cstring>
#include <vector>

namespace ddraw::pixels {

uint32_t StorageBits(const PixelFormat& f) { return f.bits < 8 ? f.bits : f.BytesPerPixel() * 8; }

uint32_t GetPixel(const uint8_t* row, uint32_t x, uint32_t bits) {
  switch (bits) {
    case 8: return row[x];
    case 16: { uint16_t v; std::memcpy(&v, row + 2 * x, 2); return v; }
    case 24: return row[3 * x] | (row[3 * x + 1] << 8) | (uint32_t(row[3 * x + 2]) << 16);
    case 32: { uint32_t v; std::memcpy(&v, row + 4 * x, 4); return v; }
    default: {  // 1, 2, 4: packed from the high bits down
      uint32_t per_byte = 8 / bits;
      uint32_t shift = 8 - bits * (x % per_byte + 1);
      return (row[x / per_byte] >> shift) & ((1u << bits) - 1);
    }
  }
}

void SetPixel(uint8_t* row, uint32_t x, uint32_t bits, uint32_t value) {
  switch (bits) {
    case 8: row[x] = uint8_t(value); return;
    case 16: { uint16_t v = uint16_t(value); std::memcpy(row + 2 * x, &v, 2); return; }
    case 24:
      row[3 * x] = uint8_t(value);
      row[3 * x + 1] = uint8_t(value >> 8);
      row[3 * x + 2] = uint8_t(value >> 16);
      return;
    case 32: std::memcpy(row + 4 * x, &value, 4); return;
    default: {
      uint32_t per_byte = 8 / bits;
      uint32_t shift = 8 - bits * (x % per_byte + 1);
      uint8_t mask = uint8_t(((1u << bits) - 1) << shift);
      uint8_t& b = row[x / per_byte];
      b = uint8_t((b & ~mask) | ((value << shift) & mask));
    }
  }
}

namespace {

template <typename T>
void FillRows(uint8_t* base, uint32_t pitch, uint32_t x, uint32_t y, uint32_t w, uint32_t h, T v) {
  for (uint32_t r = 0; r < h; ++r) {
    T* p = reinterpret_cast<T*>(base + size_t(y + r) * pitch) + x;
    for (uint32_t i = 0; i < w; ++i) p[i] = v;
  }
}

// Keyed row copies. The conditional is written as a select so that the
// compiler turns it into vector compares and blends.
template <typename T>
void KeyRowSrc(T* __restrict d, const T* __restrict s, uint32_t w, T key) {
  for (uint32_t i = 0; i < w; ++i) {
    T v = s[i];
    d[i] = v == key ? d[i] : v;
  }
}
template <typename T>
void KeyRowDst(T* __restrict d, const T* __restrict s, uint32_t w, T key) {
  for (uint32_t i = 0; i < w; ++i) d[i] = d[i] == key ? s[i] : d[i];
}
template <typename T>
void KeyRowBoth(T* __restrict d, const T* __restrict s, uint32_t w, T skey, T dkey) {
  for (uint32_t i = 0; i < w; ++i) d[i] = (s[i] != skey && d[i] == dkey) ? s[i] : d[i];
}

template <typename T>
void CopyKeyedT(uint8_t* dst, uint32_t dpitch, const uint8_t* src, uint32_t spitch, uint32_t w,
                uint32_t h, const KeySpec& k) {
  for (uint32_t r = 0; r < h; ++r) {
    T* d = reinterpret_cast<T*>(dst + size_t(r) * dpitch);
    const T* s = reinterpret_cast<const T*>(src + size_t(r) * spitch);
    if (k.use_src && k.use_dst)
      KeyRowBoth<T>(d, s, w, T(k.src), T(k.dst));
    else if (k.use_src)
      KeyRowSrc<T>(d, s, w, T(k.src));
    else
      KeyRowDst<T>(d, s, w, T(k.dst));
  }
}

void CopyKeyedGeneric(uint8_t* dst, uint32_t dpitch, uint32_t dx, const uint8_t* src,
                      uint32_t spitch, uint32_t sx, uint32_t w, uint32_t h, uint32_t bits,
                      const KeySpec& k) {
  for (uint32_t r = 0; r < h; ++r) {
    uint8_t* d = dst + size_t(r) * dpitch;
    const uint8_t* s = src + size_t(r) * spitch;
    for (uint32_t i = 0; i < w; ++i) {
      uint32_t v = GetPixel(s, sx + i, bits);
      if (k.use_src && v == k.src) continue;
      if (k.use_dst && GetPixel(d, dx + i, bits) != k.dst) continue;
      SetPixel(d, dx + i, bits, v);
    }
  }
}

}  // namespace

void Fill(uint8_t* base, uint32_t pitch, uint32_t bits, uint32_t x, uint32_t y, uint32_t w,
          uint32_t h, uint32_t value) {
  if (w == 0 || h == 0) return;
  switch (bits) {
    case 8:
      for (uint32_t r = 0; r < h; ++r) std::memset(base + size_t(y + r) * pitch + x, int(value & 0xFF), w);
      return;
    case 16: FillRows<uint16_t>(base, pitch, x, y, w, h, uint16_t(value)); return;
    case 32: FillRows<uint32_t>(base, pitch, x, y, w, h, value); return;
    case 24: {
      // One row built pixel by pixel, then copied to the others.
      uint8_t* first = base + size_t(y) * pitch + 3 * size_t(x);
      for (uint32_t i = 0; i < w; ++i) SetPixel(first, i, 24, value);
      for (uint32_t r = 1; r < h; ++r) std::memcpy(first + size_t(r) * pitch, first, 3 * size_t(w));
      return;
    }
    default:
      for (uint32_t r = 0; r < h; ++r)
        for (uint32_t i = 0; i < w; ++i) SetPixel(base + size_t(y + r) * pitch, x + i, bits, value);
  }
}

void Copy(uint8_t* dst, uint32_t dpitch, uint32_t dx, uint32_t dy, const uint8_t* src,
          uint32_t spitch, uint32_t sx, uint32_t sy, uint32_t w, uint32_t h, uint32_t bits,
          const KeySpec& keys) {
  if (w == 0 || h == 0) return;
  const bool keyed = keys.use_src || keys.use_dst;
  // Overlap within one surface: work from a copy of the source rows (keyed
  // and packed formats) or order the rows (plain byte formats).
  std::vector<uint8_t> temp;
  if (dst == src && dpitch == spitch && (keyed || bits < 8)) {
    size_t row_bytes = bits < 8 ? (size_t(sx + w) * bits + 7) / 8 : size_t(w) * bits / 8;
    size_t first = bits < 8 ? 0 : size_t(sx) * bits / 8;
    temp.resize(row_bytes * h);
    for (uint32_t r = 0; r < h; ++r)
      std::memcpy(temp.data() + r * row_bytes, src + size_t(sy + r) * spitch + first, row_bytes);
    src = temp.data();
    spitch = uint32_t(row_bytes);
    sy = 0;
    if (bits >= 8) sx = 0;
  }
  if (bits < 8) {
    CopyKeyedGeneric(dst + size_t(dy) * dpitch, dpitch, dx, src + size_t(sy) * spitch, spitch, sx, w,
                     h, bits, keyed ? keys : KeySpec{});
    return;
  }
  const uint32_t bpp = bits / 8;
  uint8_t* d = dst + size_t(dy) * dpitch + size_t(dx) * bpp;
  const uint8_t* s = src + size_t(sy) * spitch + size_t(sx) * bpp;
  if (!keyed) {
    const size_t row = size_t(w) * bpp;
    if (dst == src && dy > sy) {
      for (uint32_t r = h; r-- > 0;) std::memmove(d + size_t(r) * dpitch, s + size_t(r) * spitch, row);
    } else if (dst == src) {
      for (uint32_t r = 0; r < h; ++r) std::memmove(d + size_t(r) * dpitch, s + size_t(r) * spitch, row);
    } else {
      for (uint32_t r = 0; r < h; ++r) std::memcpy(d + size_t(r) * dpitch, s + size_t(r) * spitch, row);
    }
    return;
  }
  switch (bits) {
    case 8: CopyKeyedT<uint8_t>(d, dpitch, s, spitch, w, h, keys); return;
    case 16: CopyKeyedT<uint16_t>(d, dpitch, s, spitch, w, h, keys); return;
    case 32: CopyKeyedT<uint32_t>(d, dpitch, s, spitch, w, h, keys); return;
    default: CopyKeyedGeneric(d, dpitch, 0, s, spitch, 0, w, h, bits, keys); return;
  }
}

namespace {
struct Channel {
  uint32_t mask = 0, shift = 0, max = 0;
  explicit Channel(uint32_t m) : mask(m) {
    if (!m) return;
    while (!((m >> shift) & 1)) ++shift;
    max = m >> shift;
  }
  uint32_t To8(uint32_t p) const { return max ? ((p & mask) >> shift) * 255 / max : 0; }
};
}  // namespace

void ToArgb(const uint8_t* base, uint32_t pitch, uint32_t w, uint32_t h, const PixelFormat& f,
            const PaletteEntry* pal, uint32_t* out, uint32_t out_pitch) {
  const uint32_t bits = StorageBits(f);
  Channel r(f.red), g(f.green), b(f.blue);
  for (uint32_t y = 0; y < h; ++y) {
    const uint8_t* row = base + size_t(y) * pitch;
    uint32_t* o = out + size_t(y) * out_pitch;
    for (uint32_t x = 0; x < w; ++x) {
      uint32_t p = GetPixel(row, x, bits);
      if (f.palettized) {
        o[x] = pal ? 0xFF000000u | (uint32_t(pal[p & 0xFF].red) << 16) |
                         (uint32_t(pal[p & 0xFF].green) << 8) | pal[p & 0xFF].blue
                   : 0xFF000000u;
      } else {
        o[x] = 0xFF000000u | (r.To8(p) << 16) | (g.To8(p) << 8) | b.To8(p);
      }
    }
  }
}

}  // namespace ddraw::pixels
