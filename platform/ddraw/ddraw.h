// Display drivers, video modes, surfaces, blits and palettes.
//
// This module stands in for DirectDraw. A driver is either one SDL 2 display
// or the software-emulation driver, whose fixed list of classic modes and
// in-memory front buffer make every pixel exact and need no display at all.
// The Direct3D devices of an SDL driver are its SDL render drivers; the
// emulation driver has one software device.
//
// Every surface lives in system memory in its own pixel format. On an SDL
// driver the front buffer is presented through the library's window (a
// full-screen-desktop SDL window scaled to the mode's size) after each flip
// and after each change to the front buffer; a "display mode change" is the
// change of that logical size. Any display mode change loses every surface
// that exists at that moment, whichever driver created it: a lost surface
// refuses locks, fills, blits and flips until Restore() (whose contents are
// then undefined; here they are kept).
//
// Objects are reference counted like COM objects: Create* hands out one
// reference, Get* calls add one, Release() drops one. Nothing here is
// thread-safe; one thread drives the display.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ddraw {

enum class Status {
  kOk,
  kLost,              // surface lost after a display mode change
  kBusy,              // surface is locked
  kNotLocked,         // unlock without lock
  kInvalidRect,       // rectangle outside a surface or inverted
  kInvalidParams,     // missing or bad argument
  kUnsupported,       // pixel formats differ, no device context, ...
  kOutOfMemory,
  kOutOfVideoMemory,  // video memory asked for and not available
  kNoExclusive,       // exclusive mode not held / refused
  kNoAttachment,      // no attached surface
  kFailed,
};

const char* StatusText(Status s);

struct PixelFormat {
  uint32_t bits = 0;        // as reported: 15 for a 5-5-5 display, 1..32
  bool palettized = false;  // palette-indexed 1, 2, 4 or 8 bits
  bool zbuffer = false;
  uint32_t red = 0, green = 0, blue = 0, alpha = 0;

  // Bytes one pixel takes in memory (2 for 15 bits); 0 below 8 bits.
  uint32_t BytesPerPixel() const { return bits < 8 ? 0 : (bits + 7) / 8; }
  // Same memory layout: same storage size, palette flag and masks.
  bool SameLayout(const PixelFormat& o) const;
};

PixelFormat RgbFormat(uint32_t bits, uint32_t alpha, uint32_t red, uint32_t green, uint32_t blue);
PixelFormat PaletteFormat(uint32_t bits);
PixelFormat DepthFormat(uint32_t bits);

struct Mode {
  uint32_t width = 0, height = 0, bpp = 0, refresh = 0;
};

// A "Direct3D device" of a driver.
struct DeviceInfo {
  std::string id;           // render driver name or "software"
  std::string description;  // up to 64 characters
  std::string name;         // up to 16 characters
  bool hardware = false;    // accelerated
  uint32_t flags = 0;       // SDL renderer flags, informational
  int render_index = -1;    // SDL render driver index, -1 for none
};

struct Caps {
  uint32_t caps = 0;         // kCaps* bits
  uint64_t video_memory = 0;
};
constexpr uint32_t kCapsBlt = 1, kCapsColorKey = 2, kCapsPalette = 4, kCapsFlip = 8;

struct DriverInfo {
  bool primary = false;     // enumerated without an identifier
  std::string id;           // empty for the primary driver
  std::string description;  // up to 64 characters
  std::string name;         // up to 16 characters
  Caps hardware, emulation;
  std::vector<Mode> modes;           // distinct (size, depth, refresh)
  std::vector<DeviceInfo> devices;   // render drivers
  bool software_emulation = false;
  int sdl_display = -1;
};

// Drivers in enumeration order: the SDL displays first (the first one is the
// primary driver), then the emulation driver. max_drivers and max_devices cap
// the table (further drivers and devices are dropped; the emulation driver
// always keeps a place), max_modes caps each mode list. Initialises SDL's
// video subsystem on first use; when that fails only the emulation driver is
// listed (and it is then the primary driver).
std::vector<DriverInfo> EnumerateDrivers(size_t max_drivers = 8, size_t max_devices = 4,
                                         size_t max_modes = 64);
// Shuts SDL's video subsystem down again if EnumerateDrivers started it.
void Shutdown();

// Writes a line where a debugger would see it: stderr when RASTELLE_DEBUG is set.
void DebugOutput(const char* text);

struct Rect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};

class Object {
 public:
  Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  uint32_t AddRef() { return ++refs_; }
  uint32_t Release();
  uint32_t RefCount() const { return refs_; }

 protected:
  virtual ~Object() = default;

 private:
  uint32_t refs_ = 1;
};

struct PaletteEntry {
  uint8_t red, green, blue, flags;
};

class Palette : public Object {
 public:
  Status GetEntries(uint32_t first, uint32_t count, PaletteEntry* out) const;
  Status SetEntries(uint32_t first, uint32_t count, const PaletteEntry* in);
  const PaletteEntry* Entries() const { return entries_; }

 private:
  friend class DirectDraw;
  Palette() = default;
  PaletteEntry entries_[256] = {};
};

// Surface capabilities.
constexpr uint32_t kSurfPrimary = 1, kSurfOffscreen = 2, kSurfTexture = 4, kSurfSystemMemory = 8,
                   kSurfVideoMemory = 16, kSurfZBuffer = 32, kSurfBackBuffer = 64;

// Blit options.
constexpr uint32_t kBltWait = 1, kBltSrcColorKey = 2, kBltDestColorKey = 4;
// Colour key kinds.
constexpr uint32_t kKeySrc = 8, kKeyDest = 2;

struct Screen;  // presentation state shared by a driver object and its primary

class Surface : public Object {
 public:
  uint32_t Width() const { return width_; }
  uint32_t Height() const { return height_; }
  uint32_t Pitch() const { return pitch_; }
  const PixelFormat& Format() const { return format_; }
  uint32_t Caps() const { return caps_; }
  bool IsLost() const;
  bool IsLocked() const { return locked_; }

  // Locks the whole surface (wait is implied; a locked surface reports kBusy).
  Status Lock(void** bits, int32_t* pitch);
  Status Unlock();
  // Makes a lost surface usable again; a primary surface restores its chain.
  Status Restore();

  // The first back buffer of a flipping chain (adds a reference).
  Status GetAttachedSurface(Surface** out);
  // Attaches a depth buffer (the surface takes a reference).
  Status AddAttachedSurface(Surface* zbuffer);
  Surface* AttachedDepth() const { return depth_; }

  // Fills rect (null: whole surface) with a raw pixel value.
  Status Fill(const Rect* rect, uint32_t value);
  // Copies src_rect (null: whole source) of src to (x, y); flags kBlt*.
  Status BltFast(int32_t x, int32_t y, Surface* src, const Rect* src_rect, uint32_t flags);
  // Shows the next buffer of the chain (front buffer only). target may be
  // null or the first back buffer.
  Status Flip(Surface* target, bool wait);

  Status SetPalette(Palette* palette);
  Status GetPalette(Palette** out);  // adds a reference; kFailed when none
  Status SetColorKey(uint32_t kind, uint32_t value);
  Status GetColorKey(uint32_t kind, uint32_t* value) const;
  // GDI device contexts do not exist on this platform: always kUnsupported.
  Status GetDC(void** dc);
  Status ReleaseDC(void* dc);

  // Pixel rows, valid while the surface lives (tests and the presenter).
  uint8_t* Data() const { return data_; }

 protected:
  ~Surface() override;

 private:
  friend class DirectDraw;
  Surface() = default;
  void Present();

  uint32_t width_ = 0, height_ = 0, pitch_ = 0, caps_ = 0;
  PixelFormat format_;
  uint8_t* data_ = nullptr;
  bool locked_ = false;
  uint64_t epoch_ = 0;
  bool has_src_key_ = false, has_dst_key_ = false;
  uint32_t src_key_ = 0, dst_key_ = 0;
  Palette* palette_ = nullptr;
  std::vector<Surface*> chain_;  // primary: its back buffers, in flip order
  Surface* front_ = nullptr;     // back buffer: its primary (not counted)
  Surface* depth_ = nullptr;
  Screen* screen_ = nullptr;     // primary of an SDL driver: where to present
};

class DirectDraw : public Object {
 public:
  // Creates the object for the driver with that index in EnumerateDrivers()
  // (index -1: the primary driver).
  static Status Create(int driver_index, DirectDraw** out);

  const DriverInfo& Driver() const { return driver_; }
  // Selects which of the driver's devices presents (SDL render driver).
  void SetDevice(int device_index) { device_ = device_index; }

  // The library's own full-screen window.
  Status CreateWindow(const char* title);
  Status DestroyWindow();
  bool HasWindow() const;

  // window is the host's opaque window handle; exclusive mode is held by at
  // most one driver object at a time.
  Status SetCooperativeLevel(uintptr_t window, bool exclusive);
  // kUnsupported when the mode is not in the driver's list; kNoExclusive
  // without exclusive mode. Loses every surface.
  Status SetDisplayMode(uint32_t width, uint32_t height, uint32_t bpp);
  // Back to the mode before the first SetDisplayMode (loses every surface).
  Status RestoreDisplayMode();
  const Mode& CurrentMode() const { return mode_; }

  // Primary surface of the current mode with back_buffers back buffers.
  Status CreatePrimary(uint32_t back_buffers, Surface** out);
  // Off-screen surface; 1 <= width, height. kOutOfVideoMemory when video
  // memory is asked for beyond the driver's budget.
  Status CreateSurface(uint32_t width, uint32_t height, const PixelFormat& format, uint32_t caps,
                       Surface** out);
  Status CreatePalette(const PaletteEntry* entries256, Palette** out);
  Status WaitForVerticalBlank();
  Status FlipToGDISurface();

 protected:
  ~DirectDraw() override;

 private:
  DirectDraw() = default;
  DriverInfo driver_;
  int device_ = 0;
  bool exclusive_ = false;
  bool mode_set_ = false;
  Mode mode_;
  Screen* screen_ = nullptr;
  bool emulated_window_ = false;
};

// Mode epoch: raised by every display mode change. Exposed for tests.
uint64_t ModeEpoch();

}  // namespace ddraw
