// State and helpers shared by the display, bitmap and palette exports.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/ddraw/ddraw.h"
#include "rastelle.h"

namespace rastelle {

struct Display {
  ddraw::DirectDraw* dd = nullptr;            // the driver object (re-created on a device change)
  int dd_driver = -1;                         // driver index dd was created for
  std::vector<ddraw::DriverInfo> drivers;     // at most 8
  uint32_t driver = 0, device = 0, total_devices = 0;
  ddraw::Surface* front = nullptr;
  ddraw::Surface* back = nullptr;
  ddraw::Surface* depth = nullptr;
  uint32_t buffers = 0;
  ddraw::Palette* palette = nullptr;          // the display palette
  rePIXELINFO info{};                         // the front buffer's
  bool window = false;                        // the library's window exists
};

Display& State();

// Fills masks, bit counts and positions of info from a pixel format (for
// more than 8 bits per pixel; 0 otherwise).
void FillChannels(rePIXELINFO& info, const ddraw::PixelFormat& f);
// A COLORREF in the given pixel layout (unchanged for format codes of 8 and up).
uint32_t ConvertColour(const rePIXELINFO& info, COLORREF colour);
// The surface of a selector (1 front, 2 back, 4 depth), or null.
ddraw::Surface* SelectorSurface(uint32_t selector);

// Palette records.
rePALETTE* NewPaletteRecord();
// Drops one reference of a palette record (frees it at zero).
void PaletteDrop(rePALETTE* p);
reRESULT PaletteFromFile(rePALETTE** out, const char* file_name);

}  // namespace rastelle
