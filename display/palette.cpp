// Palettes: reference-counted records around a driver palette.
#include <cstdio>
#include <cstring>

#include "internal.h"

namespace rastelle {

rePALETTE* NewPaletteRecord() { return new rePALETTE{}; }

static ddraw::Palette* Dd(const rePALETTE* p) { return static_cast<ddraw::Palette*>(p->ddPalette); }

void PaletteDrop(rePALETTE* p) {
  if (!p) return;
  if (p->refCount > 0) --p->refCount;
  if (p->refCount > 0) return;
  // The driver palette goes with its record, while the driver object exists.
  if (Dd(p) && State().dd) Dd(p)->Release();
  delete p;
}

reRESULT PaletteFromFile(rePALETTE** out, const char* file_name) {
  *out = nullptr;
  if (!file_name) return RE_ERR_FILE_OPEN;
  FILE* f = std::fopen(file_name, "rb");
  if (!f) return RE_ERR_FILE_OPEN;
  // The image header and the colour table of a bitmap file: 1,068 bytes from offset 14.
  unsigned char buf[1068];
  size_t got = 0;
  if (std::fseek(f, 14, SEEK_SET) == 0) got = std::fread(buf, 1, sizeof buf, f);
  std::fclose(f);
  if (got < sizeof buf) return RE_ERR_FILE_SHORT;
  uint32_t bit_count = uint32_t(buf[14]) | (uint32_t(buf[15]) << 8);  // file offset 28
  if (bit_count > 8) return RE_OK;
  rePALETTE* p = NewPaletteRecord();
  *out = p;
  p->entryCount = 1u << bit_count;
  ddraw::PaletteEntry entries[256] = {};
  for (uint32_t i = 0; i < p->entryCount; ++i) {
    const unsigned char* q = buf + 40 + 4 * i;  // file offset 54: blue, green, red, reserved
    p->colourTable[i][0] = q[0];
    p->colourTable[i][1] = q[1];
    p->colourTable[i][2] = q[2];
    p->colourTable[i][3] = 0;
    entries[i] = ddraw::PaletteEntry{q[2], q[1], q[0], 0};
  }
  ddraw::Palette* dd = nullptr;
  if (!State().dd || State().dd->CreatePalette(entries, &dd) != ddraw::Status::kOk) return RE_ERR_PALETTE_CREATE;
  p->ddPalette = dd;
  p->refCount = 1;
  return RE_OK;
}

}  // namespace rastelle

using namespace rastelle;
using ddraw::Status;

extern "C" {

reRESULT _rePaletteCreate(rePALETTE** palette, const PALETTEENTRY* entries) {
  if (!palette) return RE_ERR_BAD_ARGUMENT;
  *palette = nullptr;
  if (!entries) return RE_ERR_BAD_ARGUMENT;
  rePALETTE* p = NewPaletteRecord();
  *palette = p;
  ddraw::PaletteEntry dd_entries[256];
  for (int i = 0; i < 256; ++i) {
    dd_entries[i] = ddraw::PaletteEntry{entries[i].peRed, entries[i].peGreen, entries[i].peBlue, entries[i].peFlags};
    // The colour table mirrors the entries, so bitmaps can be remapped onto
    // a created palette as onto a loaded one.
    p->colourTable[i][0] = entries[i].peBlue;
    p->colourTable[i][1] = entries[i].peGreen;
    p->colourTable[i][2] = entries[i].peRed;
    p->colourTable[i][3] = 0;
  }
  ddraw::Palette* dd = nullptr;
  if (!State().dd || State().dd->CreatePalette(dd_entries, &dd) != Status::kOk) return RE_ERR_PALETTE_CREATE;
  p->ddPalette = dd;
  p->refCount = 1;
  p->entryCount = 256;
  return RE_OK;
}

reRESULT _rePaletteDestroy(rePALETTE** palette) {
  if (!palette || !*palette) return RE_OK;
  rePALETTE* p = *palette;
  if (p->refCount > 1) {
    --p->refCount;
    return RE_OK;
  }
  PaletteDrop(p);
  *palette = nullptr;
  return RE_OK;
}

static reRESULT Entries(rePALETTE* palette, uint32_t first, uint32_t count, const void* entries) {
  if (!palette || !palette->ddPalette) return RE_ERR_NO_PALETTE;
  if (!entries || first > 256 || count > 256 - first) return RE_ERR_BAD_ARGUMENT;
  return RE_OK;
}

reRESULT _rePaletteGetPalEntries(rePALETTE* palette, PALETTEENTRY* entries, uint32_t first, uint32_t count) {
  reRESULT rc = Entries(palette, first, count, entries);
  if (rc != RE_OK) return rc;
  static_cast<ddraw::Palette*>(palette->ddPalette)
      ->GetEntries(first, count, reinterpret_cast<ddraw::PaletteEntry*>(entries));
  return RE_OK;
}

reRESULT _rePaletteSetPalEntries(rePALETTE* palette, const PALETTEENTRY* entries, uint32_t first,
                                 uint32_t count) {
  reRESULT rc = Entries(palette, first, count, entries);
  if (rc != RE_OK) return rc;
  static_cast<ddraw::Palette*>(palette->ddPalette)
      ->SetEntries(first, count, reinterpret_cast<const ddraw::PaletteEntry*>(entries));
  return RE_OK;
}

reRESULT _rePaletteLoadPalFile(rePALETTE** palette, const char* file_name) {
  if (!palette) return RE_ERR_BAD_ARGUMENT;
  return PaletteFromFile(palette, file_name);
}

reRESULT _rePaletteLoadPalRes(rePALETTE** palette, const char*) {
  if (palette) *palette = nullptr;
  return RE_ERR_PALETTE_CREATE;
}

static reRESULT CheckDisplayPalette(uint32_t selector) {
  if (selector != RE_FRONT_BUFFER) return RE_ERR_SELECTOR;
  if (State().info.format < 8) return RE_ERR_NOT_PALETTIZED;
  if (!State().front) return RE_ERR_NO_FRONT_BUFFER;
  return RE_OK;
}

reRESULT _reDisplaySetPalette(uint32_t selector, rePALETTE* palette) {
  reRESULT rc = CheckDisplayPalette(selector);
  if (rc != RE_OK) return rc;
  if (!palette || !palette->ddPalette) return RE_ERR_PALETTE_ATTACH;
  if (State().front->SetPalette(static_cast<ddraw::Palette*>(palette->ddPalette)) != Status::kOk)
    return RE_ERR_PALETTE_ATTACH;
  return RE_OK;
}

reRESULT _reDisplayGetPalette(uint32_t selector, rePALETTE* palette) {
  reRESULT rc = CheckDisplayPalette(selector);
  if (rc != RE_OK) return rc;
  if (!palette) return RE_ERR_BAD_ARGUMENT;
  if (palette->ddPalette) {
    static_cast<ddraw::Palette*>(palette->ddPalette)->Release();
    palette->ddPalette = nullptr;
  }
  ddraw::Palette* dd = nullptr;
  if (State().front->GetPalette(&dd) != Status::kOk) return RE_ERR_GET_PALETTE;
  palette->ddPalette = dd;
  return RE_OK;
}

}  // extern "C"
