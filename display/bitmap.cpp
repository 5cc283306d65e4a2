// Off-screen bitmaps: creation, locks, fills, colour keys, blits, loaders, remapping.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "bmp.h"
#include "internal.h"

using namespace rastelle;
using ddraw::Status;

namespace {

constexpr int32_t kMaxSide = 2047;

ddraw::Surface* Surf(const reBITMAP* b) { return static_cast<ddraw::Surface*>(b->surface); }

bool FormatForType(uint32_t type, ddraw::PixelFormat* f) {
  switch (type) {
    case 1: *f = ddraw::RgbFormat(16, 0x8000, 0x7C00, 0x03E0, 0x001F); return true;
    case 2: *f = ddraw::RgbFormat(16, 0, 0x7C00, 0x03E0, 0x001F); return true;
    case 3: *f = ddraw::RgbFormat(16, 0, 0xF800, 0x07E0, 0x001F); return true;
    case 4: *f = ddraw::RgbFormat(16, 0xF000, 0x0F00, 0x00F0, 0x000F); return true;
    case 5: *f = ddraw::RgbFormat(8, 0, 0xE0, 0x1C, 0x03); return true;
    case 6: *f = ddraw::RgbFormat(24, 0, 0xFF0000, 0x00FF00, 0x0000FF); return true;
    case 9: *f = ddraw::PaletteFormat(8); return true;
    case 10: *f = ddraw::PaletteFormat(4); return true;
    case 11: *f = ddraw::PaletteFormat(2); return true;
    case 12: *f = ddraw::PaletteFormat(1); return true;
    default: return false;
  }
}

void FreeRecord(reBITMAP* b) {
  if (Surf(b) && State().dd) Surf(b)->Release();
  PaletteDrop(b->palette);
  delete b;
}

// Rectangle (x, y, x + w, y + h), false when it does not fit 32 bits.
bool MakeRect(int32_t x, int32_t y, int32_t w, int32_t h, ddraw::Rect* r) {
  int64_t right = int64_t(x) + w, bottom = int64_t(y) + h;
  if (right < INT32_MIN || right > INT32_MAX || bottom < INT32_MIN || bottom > INT32_MAX) return false;
  *r = ddraw::Rect{x, y, int32_t(right), int32_t(bottom)};
  return true;
}

reRESULT LockBitmap(reBITMAP* b, void** bits, int32_t* pitch) {
  if (!b || !bits || !pitch) return RE_ERR_BAD_ARGUMENT;
  ddraw::Surface* s = Surf(b);
  if (!s) return RE_ERR_BITMAP_LOCK;
  Status st = s->Lock(bits, pitch);
  if (st == Status::kOk) return RE_OK;
  if (st == Status::kLost) {
    if (s->Restore() == Status::kOk && s->Lock(bits, pitch) == Status::kOk) return RE_SURFACE_RESTORED;
  }
  return RE_ERR_BITMAP_LOCK;
}

reRESULT UnlockBitmap(reBITMAP* b) {
  if (!b) return RE_ERR_BAD_ARGUMENT;
  if (!Surf(b)) return RE_OK;
  return Surf(b)->Unlock() == Status::kOk ? RE_OK : RE_ERR_BITMAP_UNLOCK;
}

reRESULT Blit(ddraw::Surface* dst, int32_t x, int32_t y, reBITMAP* src, int32_t sx, int32_t sy, int32_t w,
              int32_t h, uint32_t flags) {
  ddraw::Surface* s = Surf(src);
  if (!s) return RE_WARN_BLIT_FAILED;
  ddraw::Rect r;
  if (!MakeRect(sx, sy, w, h, &r)) return RE_WARN_BLIT_FAILED;
  Status st = dst->BltFast(x, y, s, &r, flags & 7);
  if (st == Status::kOk) return RE_OK;
  if (st == Status::kLost) {
    if (s->IsLost() && s->Restore() != Status::kOk) return RE_WARN_BLIT_FAILED;
    return dst->Restore() == Status::kOk ? RE_SURFACE_RESTORED : RE_WARN_BLIT_FAILED;
  }
  return RE_WARN_BLIT_FAILED;
}

}  // namespace

extern "C" {

reRESULT _reBitmapCreate(reBITMAP** bitmap, int32_t width, int32_t height, uint32_t type, uint32_t create_flags) {
  if (!bitmap) return RE_ERR_BAD_ARGUMENT;
  *bitmap = nullptr;
  Display& d = State();
  ddraw::PixelFormat f;
  if (type == 13) {
    // The front buffer's own format; there is none without a video mode.
    if (!d.front) return RE_ERR_NO_FRONT_BUFFER;
    f = d.front->Format();
  } else if (!FormatForType(type, &f)) {
    return RE_ERR_BITMAP_TYPE;
  }
  uint32_t caps = ddraw::kSurfOffscreen;
  if (create_flags & 2) caps |= ddraw::kSurfTexture;
  if (create_flags & 4) caps |= ddraw::kSurfSystemMemory;
  if (create_flags & 8) caps |= ddraw::kSurfVideoMemory;
  if (width < 1 || width > kMaxSide || height < 1 || height > kMaxSide || !d.dd) return RE_ERR_BITMAP_CREATE;
  ddraw::Surface* s = nullptr;
  Status st = d.dd->CreateSurface(uint32_t(width), uint32_t(height), f, caps, &s);
  if (st == Status::kOutOfVideoMemory)
    st = d.dd->CreateSurface(uint32_t(width), uint32_t(height), f, caps & ~ddraw::kSurfVideoMemory, &s);
  if (st != Status::kOk) return RE_ERR_BITMAP_CREATE;
  reBITMAP* b = new reBITMAP{};
  b->surface = s;
  b->info.width = s->Width();
  b->info.height = s->Height();
  b->info.pitch = s->Pitch();
  b->info.bpp = f.bits;
  b->info.format = type;
  FillChannels(b->info, f);
  *bitmap = b;
  return RE_OK;
}

reRESULT _reBitmapDestroy(reBITMAP** bitmap) {
  if (!bitmap || !*bitmap) return RE_WARN_ALREADY_EMPTY;
  FreeRecord(*bitmap);
  *bitmap = nullptr;
  return RE_OK;
}

reRESULT _reBitmapGetReadPtr(reBITMAP* bitmap, void** bits, int32_t* pitch) {
  return LockBitmap(bitmap, bits, pitch);
}
reRESULT _reBitmapGetWritePtr(reBITMAP* bitmap, void** bits, int32_t* pitch) {
  return LockBitmap(bitmap, bits, pitch);
}
reRESULT _reBitmapReleaseReadPtr(reBITMAP* bitmap, void*) { return UnlockBitmap(bitmap); }
reRESULT _reBitmapReleaseWritePtr(reBITMAP* bitmap, void*) { return UnlockBitmap(bitmap); }

reRESULT _reBitmapClear(reBITMAP* bitmap, int32_t x, int32_t y, int32_t width, int32_t height, COLORREF colour) {
  if (!bitmap) return RE_ERR_BAD_ARGUMENT;
  ddraw::Surface* s = Surf(bitmap);
  if (!s) return RE_OK;
  ddraw::Rect r;
  if (!MakeRect(x, y, width, height, &r)) return RE_ERR_FILL;
  Status st = s->Fill(&r, ConvertColour(bitmap->info, colour));
  if (st == Status::kOk) return RE_OK;
  if (st == Status::kLost) return s->Restore() == Status::kOk ? RE_SURFACE_RESTORED : RE_ERR_FILL;
  return RE_ERR_FILL;
}

reRESULT _reBitmapBlitToLFB(reBITMAP* source, uint32_t dest_selector, int32_t x, int32_t y, int32_t source_x,
                            int32_t source_y, int32_t width, int32_t height, uint32_t flags) {
  if (!source) return RE_ERR_BAD_ARGUMENT;
  ddraw::Surface* dst = SelectorSurface(dest_selector);
  if (!dst) return RE_WARN_BLIT_SELECTOR;
  return Blit(dst, x, y, source, source_x, source_y, width, height, flags);
}

reRESULT _reBitmapBlitToBitmap(reBITMAP* dest, int32_t x, int32_t y, reBITMAP* source, int32_t source_x,
                               int32_t source_y, int32_t width, int32_t height, uint32_t flags) {
  if (!dest || !source) return RE_ERR_BAD_ARGUMENT;
  if (!Surf(dest)) return RE_WARN_BLIT_FAILED;
  return Blit(Surf(dest), x, y, source, source_x, source_y, width, height, flags);
}

reRESULT _reBitmapSetColourKey(reBITMAP* bitmap, uint32_t key, uint32_t kind) {
  if (!bitmap) return RE_ERR_BAD_ARGUMENT;
  if (Surf(bitmap)) Surf(bitmap)->SetColorKey(kind == 16 ? ddraw::kKeySrc : ddraw::kKeyDest, key);
  return RE_OK;
}

reRESULT _reBitmapGetColourKey(reBITMAP* bitmap, uint32_t* key, uint32_t kind) {
  if (!bitmap || !key) return RE_ERR_BAD_ARGUMENT;
  // A key that was never set reads as 0.
  *key = 0;
  if (Surf(bitmap)) Surf(bitmap)->GetColorKey(kind == 16 ? ddraw::kKeySrc : ddraw::kKeyDest, key);
  return RE_OK;
}

reRESULT _reBitmapRemap(reBITMAP* bitmap, rePALETTE* target) {
  if (!bitmap) return RE_ERR_BAD_ARGUMENT;
  if (!target) return RE_ERR_NO_PALETTE;
  const rePIXELINFO& info = bitmap->info;
  if (info.format < 8 || info.bpp > 8) return RE_ERR_NOT_PALETTIZED;
  if (!bitmap->palette) return RE_ERR_NO_PALETTE;

  // Nearest target entry for each entry of the bitmap's palette. An entry at
  // the same distance as the best so far is taken and ends the search.
  uint8_t table[256];
  for (int i = 0; i < 256; ++i) table[i] = uint8_t(i);  // indices beyond the palette stay
  const rePALETTE* own = bitmap->palette;
  const uint32_t own_count = own->entryCount > 256 ? 256 : own->entryCount;
  const uint32_t target_count = target->entryCount > 256 ? 256 : target->entryCount;
  auto dist = [&](uint32_t i, uint32_t j) {
    int db = int(own->colourTable[i][0]) - target->colourTable[j][0];
    int dg = int(own->colourTable[i][1]) - target->colourTable[j][1];
    int dr = int(own->colourTable[i][2]) - target->colourTable[j][2];
    return uint32_t(db * db + dg * dg + dr * dr);
  };
  for (uint32_t i = 0; i < own_count; ++i) {
    uint32_t best = 0, d = dist(i, 0);
    for (uint32_t j = 1; j < target_count; ++j) {
      uint32_t dj = dist(i, j);
      if (dj == d) {
        best = j;
        break;
      }
      if (dj < d) {
        best = j;
        d = dj;
      }
    }
    table[i] = uint8_t(best);
  }

  void* bits = nullptr;
  int32_t pitch = 0;
  reRESULT rc = LockBitmap(bitmap, &bits, &pitch);
  if (rc != RE_OK && rc != RE_SURFACE_RESTORED) return RE_ERR_BITMAP_LOCK;
  uint8_t* base = static_cast<uint8_t*>(bits);
  const uint32_t bpp = info.bpp;
  for (uint32_t y = 0; y < info.height; ++y) {
    uint8_t* row = base + size_t(y) * uint32_t(pitch);
    if (bpp == 8) {
      for (uint32_t x = 0; x < info.width; ++x) row[x] = table[row[x]];
    } else {
      // Packed 1-, 2- and 4-bit pixels are remapped one by one; indices the
      // format cannot hold keep their low bits.
      const uint32_t per_byte = 8 / bpp, mask = (1u << bpp) - 1;
      for (uint32_t x = 0; x < info.width; ++x) {
        uint32_t shift = 8 - bpp * (x % per_byte + 1);
        uint8_t& byte = row[x / per_byte];
        uint32_t v = table[(byte >> shift) & mask] & mask;
        byte = uint8_t((byte & ~(mask << shift)) | (v << shift));
      }
    }
  }
  if (UnlockBitmap(bitmap) != RE_OK) return RE_ERR_BITMAP_UNLOCK;
  // The bitmap takes the target over and lets go of its previous palette.
  ++target->refCount;
  rePALETTE* previous = bitmap->palette;
  bitmap->palette = target;
  bitmap->ownPalette = 0;
  PaletteDrop(previous);
  return RE_OK;
}

reRESULT _reBitmapLoad(reBITMAP** bitmap, const char* file_name, uint32_t create_flags, rePALETTE* target) {
  if (!bitmap) return RE_ERR_BAD_ARGUMENT;
  *bitmap = nullptr;
  BmpImage img;
  switch (ReadBmp(file_name, &img)) {
    case BmpError::kOpen: return RE_ERR_FILE_OPEN;
    case BmpError::kBad: return RE_ERR_FILE_SHORT;
    case BmpError::kNone: break;
  }
  uint32_t type = 0;  // any depth without a type fails in the creation step
  if (img.bits == 8) type = 9;
  if (img.bits == 24) type = 6;
  if (img.bits == 16 && img.red_mask == 0x7C00 && img.green_mask == 0x03E0 && img.blue_mask == 0x001F) type = 2;
  if (img.bits == 16 && img.red_mask == 0xF800 && img.green_mask == 0x07E0 && img.blue_mask == 0x001F) type = 3;
  if (img.width > uint32_t(kMaxSide) || img.height > uint32_t(kMaxSide)) return RE_ERR_BITMAP_CREATE;
  reBITMAP* b = nullptr;
  reRESULT rc = _reBitmapCreate(&b, int32_t(img.width), int32_t(img.height), type, create_flags);
  if (rc != RE_OK) return rc;
  if (type == 9) {
    rc = PaletteFromFile(&b->palette, file_name);
    if (rc != RE_OK) {
      _reBitmapDestroy(&b);
      return rc;
    }
    b->ownPalette = 1;
  }
  void* bits = nullptr;
  int32_t pitch = 0;
  rc = LockBitmap(b, &bits, &pitch);
  if (rc != RE_OK) {
    if (rc == RE_SURFACE_RESTORED) UnlockBitmap(b);
    _reBitmapDestroy(&b);
    return RE_ERR_BITMAP_LOCK;
  }
  // Image rows are stored bottom-up: the last one becomes the first surface row.
  const size_t bytes = std::min<size_t>(size_t(img.width) * img.bits / 8, size_t(uint32_t(pitch)));
  for (uint32_t y = 0; y < img.height; ++y)
    std::memcpy(static_cast<uint8_t*>(bits) + size_t(y) * uint32_t(pitch),
                img.rows.data() + size_t(img.height - 1 - y) * img.row_bytes, bytes);
  if (UnlockBitmap(b) != RE_OK) {
    _reBitmapDestroy(&b);
    return RE_ERR_BITMAP_UNLOCK;
  }
  if (target) {
    rc = _reBitmapRemap(b, target);
    if (rc != RE_OK) {
      _reBitmapDestroy(&b);
      return rc;
    }
  }
  *bitmap = b;
  return RE_OK;
}

reRESULT _reBitmapLoadRaw(reBITMAP** bitmap, const char* file_name, int32_t width, int32_t height, uint32_t type,
                          uint32_t create_flags) {
  if (!bitmap) return RE_ERR_BAD_ARGUMENT;
  *bitmap = nullptr;
  uint32_t bpp;
  switch (type) {
    case 2: case 3: bpp = 2; break;
    case 6: bpp = 3; break;
    case 9: bpp = 1; break;
    default: return RE_ERR_BAD_ARGUMENT;
  }
  struct stat st {};
  if (!file_name || ::stat(file_name, &st) != 0) return RE_ERR_FILE_OPEN;
  FILE* f = std::fopen(file_name, "rb");
  if (!f) return RE_ERR_FILE_OPEN;
  std::vector<uint8_t> data(size_t(st.st_size));
  size_t got = data.empty() ? 0 : std::fread(data.data(), 1, data.size(), f);
  std::fclose(f);
  if (got < data.size()) return RE_ERR_FILE_SHORT;
  // A 12-byte header, then height rows of width x bpp bytes; a shorter file
  // is refused before anything is created.
  const bool sized = width >= 1 && width <= kMaxSide && height >= 1 && height <= kMaxSide;
  if (sized && data.size() < 12 + size_t(width) * size_t(height) * bpp) return RE_ERR_FILE_SHORT;
  reBITMAP* b = nullptr;
  reRESULT rc = _reBitmapCreate(&b, width, height, type, create_flags);
  if (rc != RE_OK) return rc;
  void* bits = nullptr;
  int32_t pitch = 0;
  rc = LockBitmap(b, &bits, &pitch);
  if (rc != RE_OK) {
    if (rc == RE_SURFACE_RESTORED) UnlockBitmap(b);
    _reBitmapDestroy(&b);
    return RE_ERR_BITMAP_LOCK;
  }
  const size_t row = size_t(width) * bpp;
  for (int32_t y = 0; y < height; ++y)
    std::memcpy(static_cast<uint8_t*>(bits) + size_t(y) * uint32_t(pitch), data.data() + 12 + size_t(y) * row, row);
  if (UnlockBitmap(b) != RE_OK) {
    _reBitmapDestroy(&b);
    return RE_ERR_BITMAP_UNLOCK;
  }
  *bitmap = b;
  return RE_OK;
}

}  // extern "C"
