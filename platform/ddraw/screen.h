// Presentation on an SDL display (internal to the module).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ddraw/ddraw.h"

namespace ddraw {

// SDL side of the enumeration: true when SDL video runs.
bool SdlVideoStart();
void SdlVideoStop();
struct SdlDisplay {
  std::string name;
  int width = 0, height = 0;                     // desktop size
  std::vector<Mode> sizes;                       // distinct sizes with refresh
};
std::vector<SdlDisplay> SdlDisplays();
std::vector<DeviceInfo> SdlRenderDrivers();

struct Screen {
  int refs = 1;
  int display = 0;
  void* window = nullptr;    // SDL_Window
  void* renderer = nullptr;  // SDL_Renderer
  void* texture = nullptr;   // SDL_Texture
  uint32_t width = 0, height = 0;
  std::vector<uint32_t> staging;
};

Screen* ScreenCreate(int display);
void ScreenRelease(Screen* s);
bool ScreenCreateWindow(Screen* s, const char* title);
void ScreenDestroyWindow(Screen* s);
// Sets the logical size (creating window, renderer and texture as needed).
bool ScreenSetMode(Screen* s, uint32_t width, uint32_t height, int render_index);
void ScreenPresent(Screen* s, const uint8_t* data, uint32_t pitch, const PixelFormat& f,
                   const PaletteEntry* pal);

}  // namespace ddraw
