// Display device, video mode, buffers and the exports that are not supported.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "internal.h"

extern "C" {
RASTELLE_API HINSTANCE ghOwnerInstance = nullptr;
RASTELLE_API HWND ghOwnerWindow = nullptr;
RASTELLE_API void* pgLastError = nullptr;
}

namespace rastelle {

namespace {

constexpr size_t kMaxDrivers = 8, kMaxDevices = 4, kMaxModes = 64;
constexpr const char* kWindowTitle = "Rastelle";
constexpr const char* kSourceHeader = "$Id: display.cpp $";

Display g_display;

uint32_t Bits(uint32_t mask) {
  uint32_t n = 0;
  for (; mask; mask &= mask - 1) ++n;
  return n;
}
uint32_t Position(uint32_t mask) {
  if (!mask) return 0;
  uint32_t n = 0;
  while (!((mask >> n) & 1)) ++n;
  return n;
}

// Format code of a front buffer, 0 when the layout is not one of ours.
uint32_t DisplayFormatCode(const ddraw::PixelFormat& f) {
  if (f.palettized) {
    switch (f.bits) {
      case 1: return 12;
      case 2: return 11;
      case 4: return 10;
      case 8: return 9;
      default: return 0;
    }
  }
  auto is = [&](uint32_t a, uint32_t r, uint32_t g, uint32_t b) {
    return f.alpha == a && f.red == r && f.green == g && f.blue == b;
  };
  if (f.bits == 15 && is(0, 0x7C00, 0x03E0, 0x001F)) return 2;
  if (f.bits == 16 && is(0, 0xF800, 0x07E0, 0x001F)) return 3;
  if (f.bits == 16 && is(0x8000, 0x7C00, 0x03E0, 0x001F)) return 1;
  if (f.bits == 16 && is(0xF000, 0x0F00, 0x00F0, 0x000F)) return 4;
  if (f.bits == 24 && is(0, 0xFF0000, 0x00FF00, 0x0000FF)) return 6;
  if (f.bits == 32 && is(0xFF000000, 0xFF0000, 0x00FF00, 0x0000FF)) return 7;
  return 0;
}

// (driver, device) of a flat device index; false when out of range.
bool MapDevice(uint32_t index, uint32_t* driver, uint32_t* device) {
  uint32_t left = index;
  for (size_t d = 0; d < g_display.drivers.size(); ++d) {
    uint32_t n = uint32_t(g_display.drivers[d].devices.size());
    if (left < n) {
      *driver = uint32_t(d);
      *device = left;
      return true;
    }
    left -= n;
  }
  return false;
}

// The driver object follows the selected driver; it is re-created (only
// while no video mode is open) when the selection moved to another driver.
bool EnsureDriverObject() {
  Display& s = g_display;
  if (s.dd && (s.dd_driver == int(s.driver) || s.front)) return true;
  ddraw::DirectDraw* dd = nullptr;
  if (ddraw::DirectDraw::Create(int(s.driver), &dd) != ddraw::Status::kOk) return s.dd != nullptr;
  if (s.dd) {
    s.dd->DestroyWindow();
    s.dd->Release();
  }
  s.window = false;
  s.dd = dd;
  s.dd_driver = int(s.driver);
  return true;
}

void ReleaseBuffers() {
  Display& s = g_display;
  if (s.depth) s.depth->Release();
  if (s.back) s.back->Release();
  if (s.front) s.front->Release();
  if (s.palette) s.palette->Release();
  s.depth = s.back = s.front = nullptr;
  s.palette = nullptr;
  s.info = rePIXELINFO{};
  s.buffers = 0;
}

void Load() {
  Display& s = g_display;
  s.drivers = ddraw::EnumerateDrivers(kMaxDrivers, kMaxDevices, kMaxModes);
  s.total_devices = 0;
  for (const auto& d : s.drivers) s.total_devices += uint32_t(d.devices.size());
  s.driver = s.device = 0;
  // The primary driver's object; the enumeration always lists it first.
  if (s.drivers.empty() || ddraw::DirectDraw::Create(0, &s.dd) != ddraw::Status::kOk) {
    ddraw::DebugOutput("DirectX Interface DLL Couldn't Initialise\n");
    return;
  }
  s.dd_driver = 0;
  std::string banner = std::string("DirectX Rendering Engine (Release Build $Revision: 65 $, ") +
                       kSourceHeader + ")\n";
  ddraw::DebugOutput(banner.c_str());
}

void Unload() {
  Display& s = g_display;
  ReleaseBuffers();
  if (s.dd) {
    s.dd->DestroyWindow();
    s.dd->Release();
    s.dd = nullptr;
  }
  ddraw::Shutdown();
}

__attribute__((constructor)) void OnLoad() { Load(); }
__attribute__((destructor)) void OnUnload() { Unload(); }

}  // namespace

Display& State() { return g_display; }

void FillChannels(rePIXELINFO& info, const ddraw::PixelFormat& f) {
  info.redMask = info.redBits = info.redPos = 0;
  info.greenMask = info.greenBits = info.greenPos = 0;
  info.blueMask = info.blueBits = info.bluePos = 0;
  info.alphaMask = info.alphaBits = info.alphaPos = 0;
  if (f.bits <= 8) return;
  info.redMask = f.red;
  info.redBits = Bits(f.red);
  info.redPos = Position(f.red);
  info.greenMask = f.green;
  info.greenBits = Bits(f.green);
  info.greenPos = Position(f.green);
  info.blueMask = f.blue;
  info.blueBits = Bits(f.blue);
  info.bluePos = Position(f.blue);
  if (f.alpha) {
    info.alphaMask = f.alpha;
    info.alphaBits = Bits(f.alpha);
    info.alphaPos = Position(f.alpha);
  }
}

uint32_t ConvertColour(const rePIXELINFO& info, COLORREF colour) {
  if (info.format >= 8) return colour;
  auto channel = [](uint32_t value8, uint32_t bits, uint32_t pos) -> uint32_t {
    if (bits == 0 || bits > 8) return 0;
    return (value8 >> (8 - bits)) << pos;
  };
  return channel(colour & 0xFF, info.redBits, info.redPos) |
         channel((colour >> 8) & 0xFF, info.greenBits, info.greenPos) |
         channel((colour >> 16) & 0xFF, info.blueBits, info.bluePos);
}

ddraw::Surface* SelectorSurface(uint32_t selector) {
  switch (selector) {
    case 1: return g_display.front;
    case 2: return g_display.back;
    case 4: return g_display.depth;
    default: return nullptr;
  }
}

}  // namespace rastelle

using namespace rastelle;
using ddraw::Status;

extern "C" {

reRESULT _reDisplayCreate(reDISPLAY* display) {
  if (!display) return RE_ERR_BAD_ARGUMENT;
  // A small zeroed record that nothing else uses.
  *display = reinterpret_cast<reDISPLAY>(new uint32_t[4]());
  return RE_OK;
}

reRESULT _reDisplayDestroy(reDISPLAY* display) {
  if (!display) return RE_OK;
  delete[] reinterpret_cast<uint32_t*>(*display);
  *display = nullptr;
  return RE_OK;
}

reRESULT _reDisplayGetNumDevices(uint32_t* count) {
  if (count) *count = State().total_devices;
  return RE_OK;
}

reRESULT _reDisplaySetDevice(uint32_t index) {
  Display& s = State();
  uint32_t driver = 0, device = 0;
  if (index != 0 && !MapDevice(index, &driver, &device)) return RE_ERR_DEVICE_RANGE;
  if (index == 0) driver = device = 0;  // index 0 is always driver 0, device 0
  s.driver = driver;
  s.device = device;
  if (!s.front) EnsureDriverObject();
  if (s.dd && s.dd_driver == int(s.driver)) s.dd->SetDevice(int(device));
  return RE_OK;
}

reRESULT _reDisplayGetDeviceName(uint32_t index, char* buffer, uint32_t size) {
  uint32_t driver = 0, device = 0;
  if (index >= State().total_devices || !MapDevice(index, &driver, &device)) return RE_ERR_DEVICE_RANGE;
  if (!buffer) return RE_ERR_BAD_ARGUMENT;
  const auto& drv = State().drivers[driver];
  std::string text = "[" + drv.description + "] " + drv.devices[device].description;
  if (size < text.size()) return RE_ERR_BUFFER_TOO_SMALL;
  // At most size characters: a buffer of exactly the text's length gets no terminator.
  size_t n = std::min<size_t>(size, text.size() + 1);
  std::memcpy(buffer, text.c_str(), n);
  return RE_OK;
}

reRESULT _reDisplayQueryVideoMode(uint32_t width, uint32_t height, uint32_t bpp) {
  Display& s = State();
  if (s.driver >= s.drivers.size()) return RE_ERR_MODE_NOT_LISTED;
  for (const auto& m : s.drivers[s.driver].modes)
    if (m.width == width && m.height == height && m.bpp == bpp) return RE_OK;
  return RE_ERR_MODE_NOT_LISTED;
}

reRESULT _reDisplayCloseVideo(void) {
  Display& s = State();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  if (s.dd) s.dd->RestoreDisplayMode();
  ReleaseBuffers();
  if (s.dd) s.dd->DestroyWindow();
  // The window handle is cleared with the window, so the next opening
  // creates a new one.
  s.window = false;
  return RE_OK;
}

reRESULT _reDisplayOpenVideo(uint32_t width, uint32_t height, uint32_t bpp, uint32_t buffers, uint32_t depth) {
  Display& s = State();
  // A second opening first closes the first one, so its buffers are not lost.
  if (s.front) _reDisplayCloseVideo();
  EnsureDriverObject();
  if (!s.dd) return RE_ERR_EXCLUSIVE;
  s.dd->SetDevice(int(s.device));
  if (!s.window) s.window = s.dd->CreateWindow(kWindowTitle) == Status::kOk;
  if (s.dd->SetCooperativeLevel(reinterpret_cast<uintptr_t>(ghOwnerWindow), true) != Status::kOk) {
    _reDisplayCloseVideo();
    return RE_ERR_EXCLUSIVE;
  }
  if (buffers < 1) return RE_ERR_BAD_ARGUMENT;
  if (s.dd->SetDisplayMode(width, height, bpp) != Status::kOk) {
    _reDisplayCloseVideo();
    return RE_ERR_DISPLAY_MODE;
  }
  if (s.dd->CreatePrimary(buffers - 1, &s.front) != Status::kOk ||
      s.front->GetAttachedSurface(&s.back) != Status::kOk) {
    _reDisplayCloseVideo();
    return RE_ERR_CREATE_BUFFERS;
  }
  s.buffers = buffers;
  if (depth) {
    if (s.dd->CreateSurface(width, height, ddraw::DepthFormat(16),
                            ddraw::kSurfZBuffer | ddraw::kSurfVideoMemory, &s.depth) != Status::kOk ||
        s.back->AddAttachedSurface(s.depth) != Status::kOk) {
      _reDisplayCloseVideo();
      return RE_ERR_DEPTH_BUFFER;
    }
  }
  const ddraw::PixelFormat& f = s.front->Format();
  rePIXELINFO info{};
  info.width = s.front->Width();
  info.height = s.front->Height();
  info.pitch = s.front->Pitch();
  info.bpp = f.bits;
  info.format = DisplayFormatCode(f);
  if (info.format == 0) {
    _reDisplayCloseVideo();
    return RE_ERR_DISPLAY_FORMAT;
  }
  FillChannels(info, f);
  s.info = info;
  ddraw::PaletteEntry black[256] = {};
  if (s.dd->CreatePalette(black, &s.palette) == Status::kOk && bpp <= 8) {
    s.front->SetPalette(s.palette);
    s.back->SetPalette(s.palette);
  }
  if (buffers == 3) s.front->Flip(nullptr, true);
  return RE_OK;
}

reRESULT _reDisplayClearBuffer(uint32_t what, COLORREF front, COLORREF back, COLORREF depth, uint32_t) {
  Display& s = State();
  if ((what & 3) && !s.front) return RE_ERR_NO_FRONT_BUFFER;
  ddraw::Rect r{0, 0, int32_t(s.info.width), int32_t(s.info.height)};
  auto fill = [&](ddraw::Surface* surf, uint32_t value) -> reRESULT {
    Status st = surf->Fill(&r, value);
    if (st == Status::kOk) return RE_OK;
    if (st == Status::kLost) return s.front->Restore() == Status::kOk ? RE_SURFACE_RESTORED : RE_ERR_FILL;
    return RE_ERR_FILL;
  };
  reRESULT rc;
  if ((what & 1) && (rc = fill(s.front, ConvertColour(s.info, front))) != RE_OK) return rc;
  if ((what & 2) && s.back && (rc = fill(s.back, ConvertColour(s.info, back))) != RE_OK) return rc;
  if ((what & 16) && s.depth && (rc = fill(s.depth, ConvertColour(s.info, depth))) != RE_OK) return rc;
  if ((what & 8) && s.depth) s.depth->Fill(&r, 0x3F800000u);  // 1.0f, outcome ignored
  return RE_OK;
}

reRESULT _reDisplaySwapBuffers(void) {
  Display& s = State();
  if (!s.front) return RE_ERR_NO_FRONT_BUFFER;
  Status st = s.front->Flip(s.buffers == 3 ? s.back : nullptr, true);
  if (st == Status::kLost) return s.front->Restore() == Status::kOk ? RE_SURFACE_RESTORED : RE_ERR_BAD_ARGUMENT;
  return RE_OK;
}

reRESULT _reDisplayFlipToGDI(void) {
  if (State().dd) State().dd->FlipToGDISurface();
  return RE_OK;
}

reRESULT _reDisplayWaitTOF(void) {
  if (State().dd) State().dd->WaitForVerticalBlank();
  return RE_OK;
}

reRESULT _reDisplayGetNaughtyData(void** object, uint32_t kind) {
  if (!object) return RE_ERR_BAD_ARGUMENT;
  switch (kind) {
    case 0: *object = State().back; return RE_OK;
    case 1: *object = State().front; return RE_OK;
    case 2: *object = State().dd; return RE_OK;
    default: return RE_ERR_NAUGHTY_KIND;
  }
}

// ---- frame-buffer access

static reRESULT LockLfb(uint32_t selector, void** bits, int32_t* pitch) {
  if (!bits || !pitch) return RE_ERR_BAD_ARGUMENT;
  ddraw::Surface* surf = SelectorSurface(selector);
  if (!surf) return RE_ERR_LFB_LOCK;
  Status st = surf->Lock(bits, pitch);
  if (st == Status::kOk) return RE_OK;
  if (st == Status::kLost) return surf->Restore() == Status::kOk ? RE_SURFACE_RESTORED : RE_ERR_LFB_LOCK;
  return RE_ERR_LFB_LOCK;
}

reRESULT _reDisplayGetLFBReadPtr(uint32_t selector, void** bits, int32_t* pitch) {
  return LockLfb(selector, bits, pitch);
}
reRESULT _reDisplayGetLFBWritePtr(uint32_t selector, void** bits, int32_t* pitch) {
  return LockLfb(selector, bits, pitch);
}

static reRESULT UnlockLfb(uint32_t selector) {
  if (selector == 0) return RE_OK;
  ddraw::Surface* surf = SelectorSurface(selector);
  if (!surf || surf->Unlock() != Status::kOk) return RE_ERR_LFB_UNLOCK;
  return RE_OK;
}
reRESULT _reDisplayReleaseLFBReadPtr(uint32_t selector, void*) { return UnlockLfb(selector); }
reRESULT _reDisplayReleaseLFBWritePtr(uint32_t selector, void*) { return UnlockLfb(selector); }

reRESULT _reDisplayGetLFBDC(uint32_t selector, HDC* dc) {
  if (selector == 0) return RE_OK;
  ddraw::Surface* surf = SelectorSurface(selector);
  void* handle = nullptr;
  if (!surf || !dc || surf->GetDC(&handle) != Status::kOk) return RE_ERR_GET_DC;
  *dc = handle;
  return RE_OK;
}

reRESULT _reDisplayReleaseLFBDC(uint32_t selector, HDC dc) {
  if (selector == 0) return RE_OK;
  ddraw::Surface* surf = SelectorSurface(selector);
  if (!surf || surf->ReleaseDC(dc) != Status::kOk) return RE_ERR_RELEASE_DC;
  return RE_OK;
}

reRESULT _reDisplayCopyLFBtoLFB(uint32_t dest_selector, uint32_t source_selector, uint32_t flags) {
  ddraw::Surface* dst = SelectorSurface(dest_selector);
  ddraw::Surface* src = SelectorSurface(source_selector);
  if (!dst || !src) return RE_WARN_BLIT_SELECTOR;
  ddraw::Rect r{0, 0, int32_t(dst->Width()), int32_t(dst->Height())};
  return dst->BltFast(0, 0, src, &r, flags & 7) == Status::kOk ? RE_OK : RE_WARN_BLIT_FAILED;
}

// ---- exports that are not supported

#define RE_UNSUPPORTED(name, ...) \
  reRESULT name(__VA_ARGS__) { return RE_ERR_NOT_SUPPORTED; }
RE_UNSUPPORTED(_reDisplayAddState, uintptr_t, uintptr_t)
RE_UNSUPPORTED(_reDisplayDrawIndexedTri, uintptr_t, uintptr_t)
RE_UNSUPPORTED(_reDisplayDrawNativeTri, uintptr_t)
RE_UNSUPPORTED(_reDisplayDrawTri, uintptr_t)
RE_UNSUPPORTED(_reDisplayEndFrame, void)
RE_UNSUPPORTED(_reDisplayHWAcc3D, void)
RE_UNSUPPORTED(_reDisplayHWAccBlit, void)
RE_UNSUPPORTED(_reDisplayInitFrame, uintptr_t)
RE_UNSUPPORTED(_reDisplayRemoveState, uintptr_t, uintptr_t)
RE_UNSUPPORTED(_reDisplayRenderFrame, uintptr_t)
RE_UNSUPPORTED(_reDisplayStartFrame, void)
RE_UNSUPPORTED(_reDisplaySetViewport, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t)
RE_UNSUPPORTED(_reStateActivate, uintptr_t)
RE_UNSUPPORTED(_reStateAddIndexedTri, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t)
RE_UNSUPPORTED(_reStateAddTri, uintptr_t, uintptr_t, uintptr_t)
RE_UNSUPPORTED(_reStateCreate, uintptr_t)
RE_UNSUPPORTED(_reStateDestroy, uintptr_t)
RE_UNSUPPORTED(_reStateInit, uintptr_t)
RE_UNSUPPORTED(_reStateSetAlpha, uintptr_t, uintptr_t)
RE_UNSUPPORTED(_reStateSetCalcScreenCoords, uintptr_t, uintptr_t)
RE_UNSUPPORTED(_reStateSetClipRect, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t)
RE_UNSUPPORTED(_reStateSetColour, uintptr_t, uintptr_t, uintptr_t, uintptr_t)
RE_UNSUPPORTED(_reStateSetCullMode, uintptr_t, uintptr_t)
RE_UNSUPPORTED(_reStateSetDepthBufferMode, uintptr_t, uintptr_t)
RE_UNSUPPORTED(_reStateSetFOV, uintptr_t, uintptr_t, uintptr_t)
RE_UNSUPPORTED(_reStateSetGlobalPointList, uintptr_t, uintptr_t)
RE_UNSUPPORTED(_reStateSetRenderMode, uintptr_t, uintptr_t)
RE_UNSUPPORTED(_reStateSetSoftwareClip, uintptr_t, uintptr_t)
RE_UNSUPPORTED(_reStateSetTexture, uintptr_t, uintptr_t, uintptr_t)
RE_UNSUPPORTED(_reBitmapLoadToLFB, uintptr_t, uintptr_t)
RE_UNSUPPORTED(_rePaletteCreate332Pal, uintptr_t)
#undef RE_UNSUPPORTED

uint32_t _reDisplaySetFillMode(reFILLMODE) { return RE_ERR_NOT_SUPPORTED; }

}  // extern "C"
