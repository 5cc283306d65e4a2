#include "platform/ddraw/ddraw.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/ddraw/pixels.h"
#include "platform/ddraw/screen.h"

namespace ddraw {

namespace {

uint64_t g_epoch = 1;                        // raised by every display mode change
const DirectDraw* g_exclusive_owner = nullptr;

// Classic sizes of the emulation driver (and of SDL displays, where they fit).
constexpr uint32_t kClassicSizes[][2] = {{320, 200},  {320, 240},  {640, 400},   {640, 480},
                                         {800, 600},  {1024, 768}, {1280, 1024}, {1920, 1080}};
constexpr uint32_t kDepths[] = {8, 15, 16, 24, 32};
// The emulation driver's video memory: a single off-screen surface larger
// than this is refused in video memory (so callers meet the system-memory
// fallback). Display buffers are not counted.
constexpr uint64_t kEmulationVideoMemory = 8u << 20;

std::vector<DriverInfo>& Cached() {
  static std::vector<DriverInfo> drivers = EnumerateDrivers();
  return drivers;
}

std::string Cut(const std::string& s, size_t n) { return s.size() > n ? s.substr(0, n) : s; }

PixelFormat FormatForDepth(uint32_t bpp) {
  switch (bpp) {
    case 1: case 2: case 4: case 8: return PaletteFormat(bpp);
    case 15: return RgbFormat(15, 0, 0x7C00, 0x03E0, 0x001F);
    case 16: return RgbFormat(16, 0, 0xF800, 0x07E0, 0x001F);
    case 24: return RgbFormat(24, 0, 0xFF0000, 0x00FF00, 0x0000FF);
    case 32: return RgbFormat(32, 0, 0xFF0000, 0x00FF00, 0x0000FF);
    default: return PixelFormat{};
  }
}

bool ValidRect(const Rect& r, uint32_t w, uint32_t h) {
  return r.left >= 0 && r.top >= 0 && r.left <= r.right && r.top <= r.bottom &&
         uint32_t(r.right) <= w && uint32_t(r.bottom) <= h;
}

uint32_t PixelMask(const PixelFormat& f) {
  uint32_t bits = pixels::StorageBits(f);
  return bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
}

}  // namespace

const char* StatusText(Status s) {
  switch (s) {
    case Status::kOk: return "ok";
    case Status::kLost: return "surface lost";
    case Status::kBusy: return "surface busy";
    case Status::kNotLocked: return "not locked";
    case Status::kInvalidRect: return "invalid rectangle";
    case Status::kInvalidParams: return "invalid parameters";
    case Status::kUnsupported: return "unsupported";
    case Status::kOutOfMemory: return "out of memory";
    case Status::kOutOfVideoMemory: return "out of video memory";
    case Status::kNoExclusive: return "no exclusive mode";
    case Status::kNoAttachment: return "no attached surface";
    case Status::kFailed: return "failed";
  }
  return "?";
}

bool PixelFormat::SameLayout(const PixelFormat& o) const {
  return pixels::StorageBits(*this) == pixels::StorageBits(o) && palettized == o.palettized &&
         zbuffer == o.zbuffer && red == o.red && green == o.green && blue == o.blue &&
         alpha == o.alpha;
}

PixelFormat RgbFormat(uint32_t bits, uint32_t alpha, uint32_t red, uint32_t green, uint32_t blue) {
  PixelFormat f;
  f.bits = bits;
  f.alpha = alpha;
  f.red = red;
  f.green = green;
  f.blue = blue;
  return f;
}

PixelFormat PaletteFormat(uint32_t bits) {
  PixelFormat f;
  f.bits = bits;
  f.palettized = true;
  return f;
}

PixelFormat DepthFormat(uint32_t bits) {
  PixelFormat f;
  f.bits = bits;
  f.zbuffer = true;
  return f;
}

uint64_t ModeEpoch() { return g_epoch; }

void DebugOutput(const char* text) {
  if (std::getenv("RASTELLE_DEBUG")) {
    std::fputs(text, stderr);
    std::fflush(stderr);
  }
}

std::vector<DriverInfo> EnumerateDrivers(size_t max_drivers, size_t max_devices, size_t max_modes) {
  std::vector<DriverInfo> out;
  if (max_drivers == 0) return out;
  if (SdlVideoStart()) {
    std::vector<DeviceInfo> devices = SdlRenderDrivers();
    if (devices.size() > max_devices) devices.resize(max_devices);
    std::vector<SdlDisplay> displays = SdlDisplays();
    for (size_t d = 0; d < displays.size() && out.size() + 1 < max_drivers; ++d) {
      const SdlDisplay& disp = displays[d];
      DriverInfo drv;
      drv.primary = d == 0;
      drv.id = d == 0 ? "" : "sdl-display-" + std::to_string(d);
      drv.description = Cut("SDL display " + std::to_string(d) + " (" + disp.name + ")", 64);
      drv.name = Cut("display" + std::to_string(d), 16);
      drv.hardware.caps = kCapsBlt | kCapsColorKey | kCapsPalette | kCapsFlip;
      drv.emulation.caps = drv.hardware.caps;
      drv.sdl_display = int(d);
      // Sizes: the display's own modes, the desktop size, and every classic
      // size that fits on the desktop; each at every depth.
      std::vector<Mode> sizes = disp.sizes;
      if (disp.width > 0 && disp.height > 0)
        sizes.push_back(Mode{uint32_t(disp.width), uint32_t(disp.height), 0, 0});
      for (auto& c : kClassicSizes)
        if (int(c[0]) <= disp.width && int(c[1]) <= disp.height) sizes.push_back(Mode{c[0], c[1], 0, 0});
      for (const Mode& s : sizes)
        for (uint32_t bpp : kDepths) {
          Mode m{s.width, s.height, bpp, s.refresh};
          bool dup = std::any_of(drv.modes.begin(), drv.modes.end(), [&](const Mode& o) {
            return o.width == m.width && o.height == m.height && o.bpp == m.bpp && o.refresh == m.refresh;
          });
          if (!dup && drv.modes.size() < max_modes) drv.modes.push_back(m);
        }
      drv.devices = devices;
      out.push_back(drv);
    }
  }
  DriverInfo emu;
  emu.primary = out.empty();
  emu.id = emu.primary ? "" : "emulation";
  emu.description = "Rastelle software emulation";
  emu.name = "emulation";
  emu.software_emulation = true;
  emu.hardware.caps = 0;
  emu.hardware.video_memory = kEmulationVideoMemory;
  emu.emulation.caps = kCapsBlt | kCapsColorKey | kCapsPalette | kCapsFlip;
  for (auto& c : kClassicSizes)
    for (uint32_t bpp : kDepths)
      if (emu.modes.size() < max_modes) emu.modes.push_back(Mode{c[0], c[1], bpp, 60});
  if (max_devices > 0) {
    DeviceInfo soft;
    soft.id = "software";
    soft.name = "software";
    soft.description = "Software rasteriser";
    emu.devices.push_back(soft);
  }
  out.push_back(emu);
  return out;
}

void Shutdown() { SdlVideoStop(); }

uint32_t Object::Release() {
  uint32_t left = --refs_;
  if (left == 0) delete this;
  return left;
}

// ---------------------------------------------------------------- palettes

Status Palette::GetEntries(uint32_t first, uint32_t count, PaletteEntry* out) const {
  if (!out || first > 256 || count > 256 - first) return Status::kInvalidParams;
  std::memcpy(out, entries_ + first, count * sizeof(PaletteEntry));
  return Status::kOk;
}

Status Palette::SetEntries(uint32_t first, uint32_t count, const PaletteEntry* in) {
  if (!in || first > 256 || count > 256 - first) return Status::kInvalidParams;
  std::memcpy(entries_ + first, in, count * sizeof(PaletteEntry));
  return Status::kOk;
}

// ---------------------------------------------------------------- surfaces

Surface::~Surface() {
  for (Surface* s : chain_) s->Release();
  if (depth_) depth_->Release();
  if (palette_) palette_->Release();
  if (screen_) ScreenRelease(screen_);
  std::free(data_);
}

bool Surface::IsLost() const { return epoch_ != g_epoch; }

Status Surface::Lock(void** bits, int32_t* pitch) {
  if (!bits || !pitch) return Status::kInvalidParams;
  if (IsLost()) return Status::kLost;
  if (locked_) return Status::kBusy;
  locked_ = true;
  *bits = data_;
  *pitch = int32_t(pitch_);
  return Status::kOk;
}

Status Surface::Unlock() {
  if (!locked_) return Status::kNotLocked;
  locked_ = false;
  if (caps_ & kSurfPrimary) Present();
  return Status::kOk;
}

Status Surface::Restore() {
  epoch_ = g_epoch;
  for (Surface* s : chain_) s->Restore();
  if (depth_) depth_->Restore();
  return Status::kOk;
}

Status Surface::GetAttachedSurface(Surface** out) {
  if (!out) return Status::kInvalidParams;
  *out = nullptr;
  if (chain_.empty()) return Status::kNoAttachment;
  chain_[0]->AddRef();
  *out = chain_[0];
  return Status::kOk;
}

Status Surface::AddAttachedSurface(Surface* z) {
  if (!z || !z->format_.zbuffer || z == this) return Status::kInvalidParams;
  if (z->width_ != width_ || z->height_ != height_) return Status::kInvalidParams;
  if (depth_) return Status::kFailed;
  z->AddRef();
  depth_ = z;
  return Status::kOk;
}

Status Surface::Fill(const Rect* rect, uint32_t value) {
  Rect r = rect ? *rect : Rect{0, 0, int32_t(width_), int32_t(height_)};
  if (IsLost()) return Status::kLost;
  if (locked_) return Status::kBusy;
  if (!ValidRect(r, width_, height_)) return Status::kInvalidRect;
  pixels::Fill(data_, pitch_, pixels::StorageBits(format_), uint32_t(r.left), uint32_t(r.top),
               uint32_t(r.right - r.left), uint32_t(r.bottom - r.top), value & PixelMask(format_));
  if (caps_ & kSurfPrimary) Present();
  return Status::kOk;
}

Status Surface::BltFast(int32_t x, int32_t y, Surface* src, const Rect* src_rect, uint32_t flags) {
  if (!src) return Status::kInvalidParams;
  Rect sr = src_rect ? *src_rect : Rect{0, 0, int32_t(src->width_), int32_t(src->height_)};
  if (IsLost() || src->IsLost()) return Status::kLost;
  if (locked_ || src->locked_) return Status::kBusy;
  if (!format_.SameLayout(src->format_)) return Status::kUnsupported;
  if (!ValidRect(sr, src->width_, src->height_)) return Status::kInvalidRect;
  const int64_t w = int64_t(sr.right) - sr.left, h = int64_t(sr.bottom) - sr.top;
  if (x < 0 || y < 0 || int64_t(x) + w > int64_t(width_) || int64_t(y) + h > int64_t(height_))
    return Status::kInvalidRect;
  pixels::KeySpec keys;
  // A key flag without a key set copies every pixel.
  if ((flags & kBltSrcColorKey) && src->has_src_key_) {
    keys.use_src = true;
    keys.src = src->src_key_ & PixelMask(src->format_);
  }
  if ((flags & kBltDestColorKey) && has_dst_key_) {
    keys.use_dst = true;
    keys.dst = dst_key_ & PixelMask(format_);
  }
  pixels::Copy(data_, pitch_, uint32_t(x), uint32_t(y), src->data_, src->pitch_, uint32_t(sr.left),
               uint32_t(sr.top), uint32_t(w), uint32_t(h), pixels::StorageBits(format_), keys);
  if (caps_ & kSurfPrimary) Present();
  return Status::kOk;
}

Status Surface::Flip(Surface* target, bool /*wait: a flip here is never pending*/) {
  if (!(caps_ & kSurfPrimary) || chain_.empty()) return Status::kNoAttachment;
  if (IsLost()) return Status::kLost;
  if (locked_) return Status::kBusy;
  for (Surface* s : chain_) {
    if (s->IsLost()) return Status::kLost;
    if (s->locked_) return Status::kBusy;
  }
  if (target) {
    // An explicit target trades places with the front buffer.
    auto it = std::find(chain_.begin(), chain_.end(), target);
    if (it == chain_.end()) return Status::kInvalidParams;
    std::swap(data_, target->data_);
  } else {
    // front <- back 1 <- back 2 ... <- front
    uint8_t* shown = data_;
    data_ = chain_[0]->data_;
    for (size_t i = 0; i + 1 < chain_.size(); ++i) chain_[i]->data_ = chain_[i + 1]->data_;
    chain_.back()->data_ = shown;
  }
  Present();
  return Status::kOk;
}

Status Surface::SetPalette(Palette* palette) {
  if (palette && !format_.palettized) return Status::kUnsupported;
  if (palette) palette->AddRef();
  if (palette_) palette_->Release();
  palette_ = palette;
  return Status::kOk;
}

Status Surface::GetPalette(Palette** out) {
  if (!out) return Status::kInvalidParams;
  *out = palette_;
  if (!palette_) return Status::kFailed;
  palette_->AddRef();
  return Status::kOk;
}

Status Surface::SetColorKey(uint32_t kind, uint32_t value) {
  if (kind == kKeySrc) {
    has_src_key_ = true;
    src_key_ = value;
  } else if (kind == kKeyDest) {
    has_dst_key_ = true;
    dst_key_ = value;
  } else {
    return Status::kInvalidParams;
  }
  return Status::kOk;
}

Status Surface::GetColorKey(uint32_t kind, uint32_t* value) const {
  if (!value) return Status::kInvalidParams;
  if (kind == kKeySrc && has_src_key_) {
    *value = src_key_;
    return Status::kOk;
  }
  if (kind == kKeyDest && has_dst_key_) {
    *value = dst_key_;
    return Status::kOk;
  }
  return Status::kFailed;
}

Status Surface::GetDC(void** dc) {
  if (dc) *dc = nullptr;
  return Status::kUnsupported;
}

Status Surface::ReleaseDC(void*) { return Status::kUnsupported; }

void Surface::Present() {
  if (screen_) ScreenPresent(screen_, data_, pitch_, format_, palette_ ? palette_->Entries() : nullptr);
}

// ---------------------------------------------------------------- driver object

Status DirectDraw::Create(int driver_index, DirectDraw** out) {
  if (!out) return Status::kInvalidParams;
  *out = nullptr;
  const std::vector<DriverInfo>& drivers = Cached();
  int index = driver_index;
  if (index < 0) {
    auto it = std::find_if(drivers.begin(), drivers.end(), [](const DriverInfo& d) { return d.primary; });
    if (it == drivers.end()) return Status::kFailed;
    index = int(it - drivers.begin());
  }
  if (index >= int(drivers.size())) return Status::kInvalidParams;
  DirectDraw* dd = new DirectDraw;
  dd->driver_ = drivers[size_t(index)];
  if (!dd->driver_.software_emulation) dd->screen_ = ScreenCreate(dd->driver_.sdl_display);
  *out = dd;
  return Status::kOk;
}

DirectDraw::~DirectDraw() {
  if (g_exclusive_owner == this) g_exclusive_owner = nullptr;
  if (screen_) ScreenRelease(screen_);
}

Status DirectDraw::CreateWindow(const char* title) {
  if (!screen_) {
    emulated_window_ = true;
    return Status::kOk;
  }
  return ScreenCreateWindow(screen_, title ? title : "") ? Status::kOk : Status::kFailed;
}

Status DirectDraw::DestroyWindow() {
  emulated_window_ = false;
  if (screen_) ScreenDestroyWindow(screen_);
  return Status::kOk;
}

bool DirectDraw::HasWindow() const { return screen_ ? screen_->window != nullptr : emulated_window_; }

Status DirectDraw::SetCooperativeLevel(uintptr_t /*window*/, bool exclusive) {
  if (exclusive) {
    if (g_exclusive_owner && g_exclusive_owner != this) return Status::kNoExclusive;
    g_exclusive_owner = this;
    exclusive_ = true;
  } else {
    if (g_exclusive_owner == this) g_exclusive_owner = nullptr;
    exclusive_ = false;
  }
  return Status::kOk;
}

Status DirectDraw::SetDisplayMode(uint32_t width, uint32_t height, uint32_t bpp) {
  if (!exclusive_) return Status::kNoExclusive;
  bool listed = std::any_of(driver_.modes.begin(), driver_.modes.end(), [&](const Mode& m) {
    return m.width == width && m.height == height && m.bpp == bpp;
  });
  if (!listed) return Status::kUnsupported;
  if (screen_) {
    int render = -1;
    if (device_ >= 0 && size_t(device_) < driver_.devices.size())
      render = driver_.devices[size_t(device_)].render_index;
    if (!ScreenSetMode(screen_, width, height, render)) return Status::kFailed;
  }
  ++g_epoch;
  mode_set_ = true;
  mode_ = Mode{width, height, bpp, 60};
  return Status::kOk;
}

Status DirectDraw::RestoreDisplayMode() {
  if (!mode_set_) return Status::kOk;
  ++g_epoch;
  mode_set_ = false;
  mode_ = Mode{};
  return Status::kOk;
}

Status DirectDraw::CreateSurface(uint32_t width, uint32_t height, const PixelFormat& format,
                                 uint32_t caps, Surface** out) {
  if (!out) return Status::kInvalidParams;
  *out = nullptr;
  if (width == 0 || height == 0 || width > 16384 || height > 16384) return Status::kInvalidParams;
  uint32_t bits = pixels::StorageBits(format);
  if (!(bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32))
    return Status::kInvalidParams;
  // Rows start on 8-byte boundaries.
  uint64_t row = (uint64_t(width) * bits + 7) / 8;
  uint64_t pitch = (row + 7) & ~uint64_t(7);
  uint64_t size = pitch * height;
  const bool display_buffer = caps & (kSurfPrimary | kSurfBackBuffer | kSurfZBuffer);
  if ((caps & kSurfVideoMemory) && !display_buffer && driver_.software_emulation && size > kEmulationVideoMemory)
    return Status::kOutOfVideoMemory;
  void* mem = std::aligned_alloc(64, (size + 63) & ~uint64_t(63));
  if (!mem) return Status::kOutOfMemory;
  std::memset(mem, 0, size);
  Surface* s = new Surface;
  s->width_ = width;
  s->height_ = height;
  s->pitch_ = uint32_t(pitch);
  s->format_ = format;
  s->caps_ = caps;
  s->data_ = static_cast<uint8_t*>(mem);
  s->epoch_ = g_epoch;
  *out = s;
  return Status::kOk;
}

Status DirectDraw::CreatePrimary(uint32_t back_buffers, Surface** out) {
  if (!out) return Status::kInvalidParams;
  *out = nullptr;
  if (!mode_set_) return Status::kFailed;
  if (back_buffers > 0 && !exclusive_) return Status::kNoExclusive;
  PixelFormat f = FormatForDepth(mode_.bpp);
  Surface* front = nullptr;
  Status st = CreateSurface(mode_.width, mode_.height, f, kSurfPrimary | kSurfVideoMemory, &front);
  if (st != Status::kOk) return st;
  for (uint32_t i = 0; i < back_buffers; ++i) {
    Surface* back = nullptr;
    st = CreateSurface(mode_.width, mode_.height, f, kSurfBackBuffer | kSurfVideoMemory, &back);
    if (st != Status::kOk) {
      front->Release();
      return st;
    }
    back->front_ = front;
    front->chain_.push_back(back);
  }
  if (screen_) {
    ++screen_->refs;
    front->screen_ = screen_;
  }
  *out = front;
  return Status::kOk;
}

Status DirectDraw::CreatePalette(const PaletteEntry* entries, Palette** out) {
  if (!out || !entries) return Status::kInvalidParams;
  Palette* p = new Palette;
  std::memcpy(p->entries_, entries, sizeof(p->entries_));
  *out = p;
  return Status::kOk;
}

Status DirectDraw::WaitForVerticalBlank() {
  // A 60 Hz beam: sleep to the next multiple of 1/60 s of the monotonic clock.
  using namespace std::chrono;
  auto now = steady_clock::now().time_since_epoch();
  const auto frame = duration_cast<steady_clock::duration>(duration<double>(1.0 / 60));
  auto next = (now / frame + 1) * frame;
  std::this_thread::sleep_for(next - now);
  return Status::kOk;
}

Status DirectDraw::FlipToGDISurface() { return Status::kOk; }

}  // namespace ddraw
