// rastelle-demo: opens a 640x480 8-bit mode, loads a palette file and sprite
// bitmaps (written to a scratch folder at start), and bounces colour-keyed
// sprites over a tiled background with page flips until a key is pressed.
//
//   rastelle-demo [--emulation | --device N] [--frames N] [--shot FILE.png]
//                 [--mode WxH] [--sprites N]
//
// Without --device the demo runs on device 0 when a display is there
// (DISPLAY or WAYLAND_DISPLAY set) and on the emulation driver otherwise.
// --frames N stops after N frames instead of at a key press; --shot saves
// the last frame shown.
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>
#include <termios.h>
#include <unistd.h>
#include <poll.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rastelle.h"

#ifdef RASTELLE_DEMO_SDL_KEYS
#include <SDL2/SDL.h>
#endif

namespace {

constexpr uint8_t kKey = 0;  // colour-key index of the sprites

void Put16(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  v[at] = uint8_t(x);
  v[at + 1] = uint8_t(x >> 8);
}
void Put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  Put16(v, at, x & 0xFFFF);
  Put16(v, at + 2, x >> 16);
}

// The demo's 256 colours: 0 black (the key), 1-63 sky blues, 64-127 a
// ground ramp, 128-191 sprite shades, 192-255 a rainbow.
std::vector<uint8_t> PaletteBgr() {
  std::vector<uint8_t> t(256 * 3);
  auto set = [&](int i, int r, int g, int b) {
    t[3 * i] = uint8_t(b);
    t[3 * i + 1] = uint8_t(g);
    t[3 * i + 2] = uint8_t(r);
  };
  for (int i = 1; i < 64; ++i) set(i, 10 + i, 20 + 2 * i, 80 + 2 * i);
  for (int i = 64; i < 128; ++i) set(i, 40 + (i - 64) * 2, 90 + (i - 64), 30);
  for (int i = 128; i < 192; ++i) set(i, 120 + (i - 128) * 2, (i - 128) * 4, (i - 128) * 2);
  for (int i = 192; i < 256; ++i) {
    double h = (i - 192) / 64.0 * 6.28318;
    set(i, int(127 + 127 * std::sin(h)), int(127 + 127 * std::sin(h + 2.09)), int(127 + 127 * std::sin(h + 4.19)));
  }
  return t;
}

// An 8-bit bitmap file (bottom-up rows) with the demo palette.
std::vector<uint8_t> Bmp8(int w, int h, const std::vector<uint8_t>& pixels_top_down) {
  const uint32_t row = (uint32_t(w) + 3) & ~3u, offset = 54 + 1024;
  std::vector<uint8_t> f(offset + row * uint32_t(h), 0);
  f[0] = 'B';
  f[1] = 'M';
  Put32(f, 2, uint32_t(f.size()));
  Put32(f, 10, offset);
  Put32(f, 14, 40);
  Put32(f, 18, uint32_t(w));
  Put32(f, 22, uint32_t(h));
  Put16(f, 26, 1);
  Put16(f, 28, 8);
  Put32(f, 46, 256);
  std::vector<uint8_t> pal = PaletteBgr();
  for (int i = 0; i < 256; ++i) std::memcpy(&f[54 + 4 * i], &pal[3 * i], 3);
  for (int y = 0; y < h; ++y) std::memcpy(&f[offset + size_t(h - 1 - y) * row], &pixels_top_down[size_t(y) * w], size_t(w));
  return f;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// A shaded ball on the key colour, and a 32x32 ground tile.
std::vector<uint8_t> Ball(int size, int hue) {
  std::vector<uint8_t> px(size_t(size) * size, kKey);
  const double r = size / 2.0 - 0.5;
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size; ++x) {
      double dx = x - r, dy = y - r, d = std::sqrt(dx * dx + dy * dy);
      if (d > r) continue;
      double light = 1.0 - std::sqrt((dx + r / 3) * (dx + r / 3) + (dy + r / 3) * (dy + r / 3)) / (1.6 * r);
      int shade = int(std::fmax(0.0, std::fmin(1.0, light)) * 63);
      px[size_t(y) * size + x] = uint8_t(hue ? 192 + (hue * 8 + shade / 4) % 64 : 128 + shade);
    }
  return px;
}

std::vector<uint8_t> Tile(int size) {
  std::vector<uint8_t> px(size_t(size) * size);
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size; ++x) px[size_t(y) * size + x] = uint8_t(64 + ((x ^ y) & 31) + (y < 2 || x < 2 ? 32 : 0));
  return px;
}

bool KeyPressed() {
#ifdef RASTELLE_DEMO_SDL_KEYS
  if (SDL_WasInit(SDL_INIT_VIDEO)) {
    SDL_Event e;
    while (SDL_PollEvent(&e))
      if (e.type == SDL_KEYDOWN || e.type == SDL_QUIT || e.type == SDL_MOUSEBUTTONDOWN) return true;
  }
#endif
  if (isatty(0)) {
    pollfd p{0, POLLIN, 0};
    if (poll(&p, 1, 0) > 0) return true;
  }
  return false;
}

// Saves the front buffer as PNG, converting through the display's palette.
bool SaveShot(const char* file, uint32_t w, uint32_t h) {
  PALETTEENTRY zero[256] = {};
  rePALETTE* pal = nullptr;
  if (_rePaletteCreate(&pal, zero) != RE_OK) return false;
  PALETTEENTRY e[256] = {};
  bool ok = _reDisplayGetPalette(1, pal) == RE_OK && _rePaletteGetPalEntries(pal, e, 0, 256) == RE_OK;
  _rePaletteDestroy(&pal);
  void* bits = nullptr;
  int32_t pitch = 0;
  if (!ok || _reDisplayGetLFBReadPtr(1, &bits, &pitch) != RE_OK) return false;
  std::vector<uint8_t> rgb(size_t(w) * h * 3);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      const PALETTEENTRY& c = e[static_cast<uint8_t*>(bits)[size_t(y) * uint32_t(pitch) + x]];
      uint8_t* o = &rgb[(size_t(y) * w + x) * 3];
      o[0] = c.peRed;
      o[1] = c.peGreen;
      o[2] = c.peBlue;
    }
  _reDisplayReleaseLFBReadPtr(1, nullptr);
  return stbi_write_png(file, int(w), int(h), 3, rgb.data(), int(w * 3)) != 0;
}

int Fail(const char* what, reRESULT rc) {
  std::fprintf(stderr, "rastelle-demo: %s failed: 0x%08X\n", what, rc);
  return 1;
}

struct Sprite {
  double x, y, vx, vy;
  int kind;
};

}  // namespace

int main(int argc, char** argv) {
  long frames = -1;
  const char* shot = nullptr;
  long device = 0;
  const char* x = std::getenv("DISPLAY");
  const char* wl = std::getenv("WAYLAND_DISPLAY");
  bool emulation = !(x && *x) && !(wl && *wl);
  uint32_t width = 640, height = 480;
  int count = 12;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--frames") frames = std::strtol(next(), nullptr, 10);
    else if (a == "--shot") shot = next();
    else if (a == "--device") device = std::strtol(next(), nullptr, 10), emulation = false;
    else if (a == "--emulation") emulation = true;
    else if (a == "--sprites") count = std::atoi(next());
    else if (a == "--mode") std::sscanf(next(), "%ux%u", &width, &height);
    else {
      std::fprintf(stderr,
                   "usage: rastelle-demo [--emulation | --device N] [--frames N] [--shot FILE.png] "
                   "[--mode WxH] [--sprites N]\n");
      return 2;
    }
  }
  if (count < 1 || count > 500) count = 12;

  // Device: the emulation driver by name, or a flat device index.
  uint32_t n = 0;
  _reDisplayGetNumDevices(&n);
  if (emulation) {
    device = -1;
    for (uint32_t i = 0; i < n; ++i) {
      char name[256] = {};
      if (_reDisplayGetDeviceName(i, name, sizeof name) == RE_OK &&
          std::strncmp(name, "[Rastelle software emulation]", 29) == 0)
        device = long(i);
    }
    if (device < 0) return Fail("finding the emulation device", RE_ERR_DEVICE_RANGE);
  }
  reRESULT rc = _reDisplaySetDevice(uint32_t(device));
  if (rc != RE_OK) return Fail("selecting the device", rc);
  char name[256] = {};
  if (_reDisplayGetDeviceName(uint32_t(device), name, sizeof name) == RE_OK) std::printf("device %ld: %s\n", device, name);

  // Assets into a scratch folder, then loaded like any host would.
  char dir[] = "/tmp/rastelle-demo-XXXXXX";
  if (!mkdtemp(dir)) return Fail("making a scratch folder", 0);
  const std::string base = dir;
  const std::string pal_file = base + "/demo.bmp", ball_file = base + "/ball.bmp", gem_file = base + "/gem.bmp",
                    tile_file = base + "/tile.bmp";
  bool written = WriteFile(pal_file, Bmp8(4, 4, std::vector<uint8_t>(16, 1))) &&
                 WriteFile(ball_file, Bmp8(32, 32, Ball(32, 0))) && WriteFile(gem_file, Bmp8(24, 24, Ball(24, 3))) &&
                 WriteFile(tile_file, Bmp8(32, 32, Tile(32)));

  int status = 0;
  rePALETTE* palette = nullptr;
  reBITMAP *ball = nullptr, *gem = nullptr, *tile = nullptr;
  if (!written) {
    status = Fail("writing the assets", 0);
  } else if ((rc = _reDisplayOpenVideo(width, height, 8, 2, 0)) != RE_OK) {
    status = Fail("opening the video mode", rc);
  } else if ((rc = _rePaletteLoadPalFile(&palette, pal_file.c_str())) != RE_OK || !palette) {
    status = Fail("loading the palette", rc);
  } else if ((rc = _reDisplaySetPalette(1, palette)) != RE_OK) {
    status = Fail("setting the palette", rc);
  } else if ((rc = _reBitmapLoad(&ball, ball_file.c_str(), 0, palette)) != RE_OK ||
             (rc = _reBitmapLoad(&gem, gem_file.c_str(), 0, palette)) != RE_OK ||
             (rc = _reBitmapLoad(&tile, tile_file.c_str(), 0, palette)) != RE_OK) {
    status = Fail("loading the bitmaps", rc);
  } else {
    _reBitmapSetColourKey(ball, kKey, 16);
    _reBitmapSetColourKey(gem, kKey, 16);
    std::vector<Sprite> sprites;
    uint32_t seed = 12345;
    auto rnd = [&]() { return (seed = seed * 1103515245u + 12345u) >> 8 & 0xFFFF; };
    for (int i = 0; i < count; ++i)
      sprites.push_back(Sprite{double(rnd() % (width - 32)), double(rnd() % (height - 32)),
                               1.5 + (rnd() % 300) / 100.0, 1.0 + (rnd() % 300) / 100.0, i % 3 == 0});
    struct termios saved{};
    bool raw = isatty(0) && tcgetattr(0, &saved) == 0;
    if (raw) {
      struct termios t = saved;
      t.c_lflag &= ~tcflag_t(ICANON | ECHO);
      tcsetattr(0, TCSANOW, &t);
    }
    for (long frame = 0; frames < 0 || frame < frames; ++frame) {
      if (frames < 0 && KeyPressed()) break;
      // Sky, then a ground band of tiles.
      _reDisplayClearBuffer(RE_CLEAR_BACK, 0, 20, 0, 0);
      for (uint32_t y = height - 96; y + 32 <= height; y += 32)
        for (uint32_t x = 0; x + 32 <= width; x += 32) _reBitmapBlitToLFB(tile, 2, int32_t(x), int32_t(y), 0, 0, 32, 32, 1);
      for (Sprite& s : sprites) {
        reBITMAP* b = s.kind ? gem : ball;
        const int size = int(b->info.width);
        s.x += s.vx;
        s.y += s.vy;
        if (s.x < 0 || s.x > double(width - size)) s.vx = -s.vx, s.x = std::fmin(std::fmax(s.x, 0.0), double(width - size));
        if (s.y < 0 || s.y > double(height - size)) s.vy = -s.vy, s.y = std::fmin(std::fmax(s.y, 0.0), double(height - size));
        _reBitmapBlitToLFB(b, 2, int32_t(s.x), int32_t(s.y), 0, 0, size, size, RE_BLIT_WAIT | RE_BLIT_SRCKEY);
      }
      // Rainbow cycling on the gems' entries.
      PALETTEENTRY e[64];
      _rePaletteGetPalEntries(palette, e, 192, 64);
      PALETTEENTRY first = e[0];
      std::memmove(e, e + 1, sizeof e - sizeof e[0]);
      e[63] = first;
      _rePaletteSetPalEntries(palette, e, 192, 64);
      if (_reDisplaySwapBuffers() == RE_SURFACE_RESTORED) continue;
      _reDisplayWaitTOF();
    }
    if (raw) tcsetattr(0, TCSANOW, &saved);
    if (shot) {
      if (SaveShot(shot, width, height)) std::printf("saved %s\n", shot);
      else status = Fail("saving the shot", 0);
    }
  }
  _reBitmapDestroy(&ball);
  _reBitmapDestroy(&gem);
  _reBitmapDestroy(&tile);
  _rePaletteDestroy(&palette);  // the bitmaps have let go: this frees it
  _reDisplayCloseVideo();
  std::remove(pal_file.c_str());
  std::remove(ball_file.c_str());
  std::remove(gem_file.c_str());
  std::remove(tile_file.c_str());
  rmdir(dir);
  return status;
}
