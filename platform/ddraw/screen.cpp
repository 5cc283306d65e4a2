#include "platform/ddraw/screen.h"

#include <SDL2/SDL.h>

#include <algorithm>

#include "platform/ddraw/pixels.h"

namespace ddraw {

namespace {
bool g_sdl_started = false;
}

bool SdlVideoStart() {
  if (g_sdl_started) return true;
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) return false;
  g_sdl_started = true;
  return true;
}

void SdlVideoStop() {
  if (!g_sdl_started) return;
  SDL_QuitSubSystem(SDL_INIT_VIDEO);
  g_sdl_started = false;
}

std::vector<SdlDisplay> SdlDisplays() {
  std::vector<SdlDisplay> out;
  if (!g_sdl_started) return out;
  int n = SDL_GetNumVideoDisplays();
  for (int d = 0; d < n; ++d) {
    SdlDisplay disp;
    const char* name = SDL_GetDisplayName(d);
    disp.name = name ? name : "";
    SDL_Rect r{};
    if (SDL_GetDisplayBounds(d, &r) == 0) {
      disp.width = r.w;
      disp.height = r.h;
    }
    int m = SDL_GetNumDisplayModes(d);
    for (int i = 0; i < m; ++i) {
      SDL_DisplayMode md{};
      if (SDL_GetDisplayMode(d, i, &md) != 0 || md.w <= 0 || md.h <= 0) continue;
      disp.sizes.push_back(Mode{uint32_t(md.w), uint32_t(md.h), 0, uint32_t(md.refresh_rate)});
    }
    out.push_back(disp);
  }
  return out;
}

std::vector<DeviceInfo> SdlRenderDrivers() {
  std::vector<DeviceInfo> out;
  int n = SDL_GetNumRenderDrivers();
  for (int i = 0; i < n; ++i) {
    SDL_RendererInfo info{};
    if (SDL_GetRenderDriverInfo(i, &info) != 0) continue;
    DeviceInfo dev;
    dev.id = info.name ? info.name : "";
    dev.name = dev.id.substr(0, 16);
    dev.description = ("SDL " + dev.id + " renderer").substr(0, 64);
    dev.flags = info.flags;
    dev.hardware = (info.flags & SDL_RENDERER_ACCELERATED) != 0;
    dev.render_index = i;
    out.push_back(dev);
  }
  return out;
}

Screen* ScreenCreate(int display) {
  Screen* s = new Screen;
  s->display = display;
  return s;
}

void ScreenRelease(Screen* s) {
  if (!s || --s->refs > 0) return;
  ScreenDestroyWindow(s);
  delete s;
}

bool ScreenCreateWindow(Screen* s, const char* title) {
  if (s->window) return true;
  SDL_Rect r{0, 0, 640, 480};
  SDL_GetDisplayBounds(s->display, &r);
  SDL_Window* w = SDL_CreateWindow(title, SDL_WINDOWPOS_UNDEFINED_DISPLAY(s->display),
                                   SDL_WINDOWPOS_UNDEFINED_DISPLAY(s->display), r.w, r.h,
                                   SDL_WINDOW_FULLSCREEN_DESKTOP | SDL_WINDOW_BORDERLESS |
                                       SDL_WINDOW_SHOWN);
  if (!w) return false;
  s->window = w;
  SDL_ShowCursor(SDL_DISABLE);
  SDL_PumpEvents();
  return true;
}

void ScreenDestroyWindow(Screen* s) {
  if (s->texture) SDL_DestroyTexture(static_cast<SDL_Texture*>(s->texture));
  if (s->renderer) SDL_DestroyRenderer(static_cast<SDL_Renderer*>(s->renderer));
  if (s->window) {
    SDL_DestroyWindow(static_cast<SDL_Window*>(s->window));
    SDL_ShowCursor(SDL_ENABLE);
  }
  s->texture = s->renderer = s->window = nullptr;
  s->width = s->height = 0;
}

bool ScreenSetMode(Screen* s, uint32_t width, uint32_t height, int render_index) {
  if (!s->window && !ScreenCreateWindow(s, "Rastelle")) return false;
  SDL_Window* w = static_cast<SDL_Window*>(s->window);
  if (!s->renderer) {
    // The selected device first; when it cannot run on this display, any
    // renderer, and last SDL's software renderer.
    SDL_Renderer* r = SDL_CreateRenderer(w, render_index, 0);
    if (!r) r = SDL_CreateRenderer(w, -1, 0);
    if (!r) r = SDL_CreateRenderer(w, -1, SDL_RENDERER_SOFTWARE);
    if (!r) return false;
    s->renderer = r;
  }
  SDL_Renderer* r = static_cast<SDL_Renderer*>(s->renderer);
  if (s->texture) SDL_DestroyTexture(static_cast<SDL_Texture*>(s->texture));
  s->texture = SDL_CreateTexture(r, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING, int(width),
                                 int(height));
  if (!s->texture) return false;
  SDL_RenderSetLogicalSize(r, int(width), int(height));
  s->width = width;
  s->height = height;
  s->staging.assign(size_t(width) * height, 0xFF000000u);
  SDL_SetRenderDrawColor(r, 0, 0, 0, 255);
  SDL_RenderClear(r);
  SDL_RenderPresent(r);
  SDL_PumpEvents();
  return true;
}

void ScreenPresent(Screen* s, const uint8_t* data, uint32_t pitch, const PixelFormat& f,
                   const PaletteEntry* pal) {
  if (!s || !s->texture) return;
  pixels::ToArgb(data, pitch, s->width, s->height, f, pal, s->staging.data(), s->width);
  SDL_Renderer* r = static_cast<SDL_Renderer*>(s->renderer);
  SDL_Texture* t = static_cast<SDL_Texture*>(s->texture);
  SDL_UpdateTexture(t, nullptr, s->staging.data(), int(s->width * 4));
  SDL_RenderClear(r);
  SDL_RenderCopy(r, t, nullptr, nullptr);
  SDL_RenderPresent(r);
  SDL_PumpEvents();
}

}  // namespace ddraw
