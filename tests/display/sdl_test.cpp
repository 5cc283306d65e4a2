// The SDL path: device 0 is the first SDL display. Run once with SDL's
// offscreen video driver and once under Xvfb; under X the test also reads
// the screen back to prove that flips reach it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "emulation.h"
#include "rastelle.h"

// The colour of the screen's centre as 0xRRGGBB, or -1 without X (x_grab.cpp).
long ScreenCentre();

namespace {

bool UnderX() { return std::getenv("DISPLAY") && *std::getenv("DISPLAY"); }

// Flips until the screen's centre shows want (the window maps asynchronously).
bool ShowsOnScreen(long want) {
  for (int i = 0; i < 40; ++i) {
    if (_reDisplaySwapBuffers() != RE_OK) return false;
    if (_reDisplaySwapBuffers() != RE_OK) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (ScreenCentre() == want) return true;
  }
  return false;
}

// The first SDL display's device with the render driver named in
// RASTELLE_TEST_RENDERER (default: its first device).
uint32_t SdlDevice() {
  const char* want = std::getenv("RASTELLE_TEST_RENDERER");
  if (!want || !*want) return 0;
  uint32_t n = 0;
  _reDisplayGetNumDevices(&n);
  for (uint32_t i = 0; i < n; ++i) {
    std::string name = DeviceName(i);
    if (name.rfind("[SDL display 0", 0) == 0 && name.find(std::string("] SDL ") + want + " renderer") != std::string::npos)
      return i;
  }
  return 0xFFFFFFFFu;
}

class Sdl : public ::testing::Test {
 protected:
  void TearDown() override { _reDisplayCloseVideo(); }
};

}  // namespace

TEST_F(Sdl, FirstDeviceIsAnSdlDisplay) {
  uint32_t n = 0;
  _reDisplayGetNumDevices(&n);
  ASSERT_GE(n, 2u);
  EXPECT_EQ(DeviceName(0).rfind("[SDL display 0", 0), 0u) << DeviceName(0);
  ASSERT_EQ(_reDisplaySetDevice(0), RE_OK);
  EXPECT_EQ(_reDisplayQueryVideoMode(640, 480, 16), RE_OK);
  if (UnderX()) {
    EXPECT_EQ(_reDisplayQueryVideoMode(1280, 1024, 8), RE_OK);  // the Xvfb screen's own size
    EXPECT_EQ(_reDisplayQueryVideoMode(1920, 1080, 16), RE_ERR_MODE_NOT_LISTED);  // larger than the screen
  }
}

TEST_F(Sdl, OpensClearsFlipsAndPresents565) {
  ASSERT_EQ(_reDisplaySetDevice(SdlDevice()), RE_OK);
  ASSERT_EQ(_reDisplayOpenVideo(640, 480, 16, 2, 0), RE_OK);
  ASSERT_EQ(_reDisplayClearBuffer(3, RGB(255, 0, 0), RGB(255, 0, 0), 0, 0), RE_OK);
  void* bits;
  int32_t pitch;
  ASSERT_EQ(_reDisplayGetLFBReadPtr(2, &bits, &pitch), RE_OK);
  EXPECT_EQ(static_cast<uint16_t*>(bits)[320], 0xF800);
  ASSERT_EQ(_reDisplayReleaseLFBReadPtr(2, nullptr), RE_OK);
  // A colour-keyed sprite onto the back buffer, then flips.
  reBITMAP* sprite = nullptr;
  ASSERT_EQ(_reBitmapCreate(&sprite, 16, 16, 13, 0), RE_OK);
  ASSERT_EQ(_reBitmapClear(sprite, 0, 0, 16, 16, 0xF81F), RE_OK);
  ASSERT_EQ(_reBitmapClear(sprite, 4, 4, 8, 8, 0x07E0), RE_OK);
  ASSERT_EQ(_reBitmapSetColourKey(sprite, 0xF81F, 16), RE_OK);
  EXPECT_EQ(_reBitmapBlitToLFB(sprite, 2, 100, 100, 0, 0, 16, 16, 3), RE_OK);
  EXPECT_EQ(_reDisplaySwapBuffers(), RE_OK);
  EXPECT_EQ(_reDisplayWaitTOF(), RE_OK);
  if (UnderX()) {
    EXPECT_TRUE(ShowsOnScreen(0xFF0000)) << std::hex << ScreenCentre();
  }
  _reBitmapDestroy(&sprite);
}

TEST_F(Sdl, PalettizedModePresentsThroughItsPalette) {
  ASSERT_EQ(_reDisplaySetDevice(SdlDevice()), RE_OK);
  ASSERT_EQ(_reDisplayOpenVideo(640, 480, 8, 2, 0), RE_OK);
  PALETTEENTRY e[256] = {};
  e[5] = PALETTEENTRY{0, 255, 0, 0};
  rePALETTE* pal = nullptr;
  ASSERT_EQ(_rePaletteCreate(&pal, e), RE_OK);
  ASSERT_EQ(_reDisplaySetPalette(1, pal), RE_OK);
  ASSERT_EQ(_reDisplayClearBuffer(3, 5, 5, 0, 0), RE_OK);
  if (UnderX()) {
    EXPECT_TRUE(ShowsOnScreen(0x00FF00)) << std::hex << ScreenCentre();
  }
  _rePaletteDestroy(&pal);
}
