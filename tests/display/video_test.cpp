// Video modes on the emulation driver, whose buffers hold exact pixels:
// opening, buffers, clears, flips, frame-buffer access, blits to the display,
// display palettes and surfaces lost by a display mode change.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "emulation.h"
#include "rastelle.h"

namespace {

class Video : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SelectEmulation()); }
  void TearDown() override { _reDisplayCloseVideo(); }
};

// Every pixel of a display buffer as 16-bit values.
std::vector<uint16_t> Lfb16(uint32_t selector, uint32_t w, uint32_t h) {
  void* bits = nullptr;
  int32_t pitch = 0;
  std::vector<uint16_t> out;
  if (_reDisplayGetLFBReadPtr(selector, &bits, &pitch) != RE_OK) return out;
  out.resize(size_t(w) * h);
  for (uint32_t y = 0; y < h; ++y) std::memcpy(&out[y * w], static_cast<uint8_t*>(bits) + y * pitch, 2 * w);
  _reDisplayReleaseLFBReadPtr(selector, nullptr);
  return out;
}

bool All(const std::vector<uint16_t>& px, uint16_t v) {
  if (px.empty()) return false;
  for (uint16_t p : px)
    if (p != v) return false;
  return true;
}

}  // namespace

TEST_F(Video, Open565ClearSwapAndFrameBufferAccess) {
  ASSERT_EQ(_reDisplayOpenVideo(640, 480, 16, 2, 0), RE_OK);
  // The display's own format, seen through a type-13 bitmap: 5-6-5.
  reBITMAP* own = nullptr;
  ASSERT_EQ(_reBitmapCreate(&own, 8, 8, 13, 0), RE_OK);
  EXPECT_EQ(own->info.format, 13u);
  EXPECT_EQ(own->info.bpp, 16u);
  EXPECT_EQ(own->info.redMask, 0xF800u);
  EXPECT_EQ(own->info.greenMask, 0x07E0u);
  EXPECT_EQ(own->info.blueMask, 0x001Fu);
  // Its format code is above 8, so clearing takes the colour value unchanged.
  EXPECT_EQ(_reBitmapClear(own, 0, 0, 8, 8, 0x0000FF), RE_OK);
  void* bits;
  int32_t pitch;
  ASSERT_EQ(_reBitmapGetReadPtr(own, &bits, &pitch), RE_OK);
  EXPECT_EQ(*static_cast<uint16_t*>(bits), 0x00FF);
  _reBitmapReleaseReadPtr(own, nullptr);
  _reBitmapDestroy(&own);

  // Pure red as a COLORREF fills the back buffer with 0xF800; the front stays black.
  EXPECT_EQ(_reDisplayClearBuffer(2, 0x00FF00, 0x0000FF, 0, 12345), RE_OK);
  EXPECT_TRUE(All(Lfb16(2, 640, 480), 0xF800));
  EXPECT_TRUE(All(Lfb16(1, 640, 480), 0x0000));
  EXPECT_EQ(_reDisplaySwapBuffers(), RE_OK);
  EXPECT_TRUE(All(Lfb16(1, 640, 480), 0xF800));
  EXPECT_TRUE(All(Lfb16(2, 640, 480), 0x0000));
  EXPECT_EQ(_reDisplayClearBuffer(3, 0x00FF00, 0xFF0000, 0, 0), RE_OK);
  EXPECT_TRUE(All(Lfb16(1, 640, 480), 0x07E0));
  EXPECT_TRUE(All(Lfb16(2, 640, 480), 0x001F));
  // Depth bits without a depth buffer are skipped.
  EXPECT_EQ(_reDisplayClearBuffer(8 | 16, 0, 0, 0xFFFFFF, 0), RE_OK);

  // Locks: pointer and pitch, one lock at a time, releases for 0 and bad selectors.
  ASSERT_EQ(_reDisplayGetLFBWritePtr(2, &bits, &pitch), RE_OK);
  EXPECT_GE(pitch, 1280);
  static_cast<uint16_t*>(bits)[1] = 0x1234;
  EXPECT_EQ(_reDisplayGetLFBReadPtr(2, &bits, &pitch), RE_ERR_LFB_LOCK);
  EXPECT_EQ(_reDisplayClearBuffer(2, 0, 0, 0, 0), RE_ERR_FILL);  // locked
  EXPECT_EQ(_reDisplayReleaseLFBWritePtr(2, nullptr), RE_OK);
  EXPECT_EQ(Lfb16(2, 640, 480)[1], 0x1234);
  EXPECT_EQ(_reDisplayReleaseLFBWritePtr(2, nullptr), RE_ERR_LFB_UNLOCK);
  EXPECT_EQ(_reDisplayReleaseLFBReadPtr(0, nullptr), RE_OK);
  EXPECT_EQ(_reDisplayReleaseLFBReadPtr(3, nullptr), RE_ERR_LFB_UNLOCK);
  EXPECT_EQ(_reDisplayGetLFBReadPtr(3, &bits, &pitch), RE_ERR_LFB_LOCK);
  EXPECT_EQ(_reDisplayGetLFBWritePtr(0, &bits, &pitch), RE_ERR_LFB_LOCK);
  EXPECT_EQ(_reDisplayGetLFBReadPtr(4, &bits, &pitch), RE_ERR_LFB_LOCK);  // no depth buffer
  EXPECT_EQ(_reDisplayGetLFBReadPtr(1, nullptr, &pitch), RE_ERR_BAD_ARGUMENT);

  // Device contexts do not exist here.
  HDC dc = nullptr;
  EXPECT_EQ(_reDisplayGetLFBDC(0, &dc), RE_OK);
  EXPECT_EQ(_reDisplayGetLFBDC(1, &dc), RE_ERR_GET_DC);
  EXPECT_EQ(_reDisplayGetLFBDC(9, &dc), RE_ERR_GET_DC);
  EXPECT_EQ(_reDisplayReleaseLFBDC(0, dc), RE_OK);
  EXPECT_EQ(_reDisplayReleaseLFBDC(2, dc), RE_ERR_RELEASE_DC);

  // Internal objects.
  void* obj = nullptr;
  for (uint32_t kind : {0u, 1u, 2u}) {
    obj = nullptr;
    EXPECT_EQ(_reDisplayGetNaughtyData(&obj, kind), RE_OK);
    EXPECT_NE(obj, nullptr) << kind;
  }
  EXPECT_EQ(_reDisplayGetNaughtyData(&obj, 3), RE_ERR_NAUGHTY_KIND);
  EXPECT_EQ(_reDisplayGetNaughtyData(nullptr, 0), RE_ERR_BAD_ARGUMENT);

  // Copies between display buffers.
  EXPECT_EQ(_reDisplayCopyLFBtoLFB(2, 1, 1), RE_OK);
  EXPECT_TRUE(All(Lfb16(2, 640, 480), 0x07E0));
  EXPECT_EQ(_reDisplayCopyLFBtoLFB(2, 4, 0), RE_WARN_BLIT_SELECTOR);
  EXPECT_EQ(_reDisplayCopyLFBtoLFB(3, 1, 0), RE_WARN_BLIT_SELECTOR);

  // Palettes belong to palettized displays and the front buffer only.
  rePALETTE* pal = nullptr;
  PALETTEENTRY e[256] = {};
  ASSERT_EQ(_rePaletteCreate(&pal, e), RE_OK);
  EXPECT_EQ(_reDisplaySetPalette(2, pal), RE_ERR_SELECTOR);
  EXPECT_EQ(_reDisplaySetPalette(1, pal), RE_ERR_NOT_PALETTIZED);
  EXPECT_EQ(_reDisplayGetPalette(1, pal), RE_ERR_NOT_PALETTIZED);
  _rePaletteDestroy(&pal);

  EXPECT_EQ(_reDisplayWaitTOF(), RE_OK);
  EXPECT_EQ(_reDisplayFlipToGDI(), RE_OK);
}

TEST_F(Video, ColourKeyedBlitsToTheDisplay) {
  ASSERT_EQ(_reDisplayOpenVideo(320, 240, 16, 2, 0), RE_OK);
  reBITMAP* sprite = nullptr;
  ASSERT_EQ(_reBitmapCreate(&sprite, 4, 4, 13, 0), RE_OK);
  const uint16_t key = 0xF81F;
  ASSERT_EQ(_reBitmapClear(sprite, 0, 0, 4, 4, key), RE_OK);   // type 13: raw value
  ASSERT_EQ(_reBitmapClear(sprite, 1, 1, 2, 2, 0x07E0), RE_OK);
  ASSERT_EQ(_reBitmapSetColourKey(sprite, key, 16), RE_OK);
  ASSERT_EQ(_reDisplayClearBuffer(2, 0, RGB(0, 0, 255), 0, 0), RE_OK);  // back: blue 0x001F

  EXPECT_EQ(_reBitmapBlitToLFB(sprite, 2, 10, 20, 0, 0, 4, 4, 3), RE_OK);
  std::vector<uint16_t> px = Lfb16(2, 320, 240);
  for (int y = 18; y < 26; ++y)
    for (int x = 8; x < 16; ++x) {
      bool inner = x >= 11 && x < 13 && y >= 21 && y < 23;
      EXPECT_EQ(px[y * 320 + x], inner ? 0x07E0 : 0x001F) << x << "," << y;
    }
  // Without the key the whole square lands; on the front buffer too.
  EXPECT_EQ(_reBitmapBlitToLFB(sprite, 1, 316, 236, 0, 0, 4, 4, 1), RE_OK);
  px = Lfb16(1, 320, 240);
  EXPECT_EQ(px[236 * 320 + 316], key);
  EXPECT_EQ(px[237 * 320 + 317], 0x07E0);
  // Past the edge, bad selectors, mismatched formats.
  EXPECT_EQ(_reBitmapBlitToLFB(sprite, 2, 317, 0, 0, 0, 4, 4, 1), RE_WARN_BLIT_FAILED);
  EXPECT_EQ(_reBitmapBlitToLFB(sprite, 4, 0, 0, 0, 0, 4, 4, 1), RE_WARN_BLIT_SELECTOR);
  EXPECT_EQ(_reBitmapBlitToLFB(sprite, 0, 0, 0, 0, 0, 4, 4, 1), RE_WARN_BLIT_SELECTOR);
  reBITMAP* rgb24 = nullptr;
  ASSERT_EQ(_reBitmapCreate(&rgb24, 4, 4, 6, 0), RE_OK);
  EXPECT_EQ(_reBitmapBlitToLFB(rgb24, 2, 0, 0, 0, 0, 4, 4, 1), RE_WARN_BLIT_FAILED);
  // A type-3 bitmap has the display's layout here and blits as well.
  reBITMAP* t3 = nullptr;
  ASSERT_EQ(_reBitmapCreate(&t3, 2, 2, 3, 0), RE_OK);
  ASSERT_EQ(_reBitmapClear(t3, 0, 0, 2, 2, RGB(255, 255, 255)), RE_OK);
  EXPECT_EQ(_reBitmapBlitToLFB(t3, 2, 0, 0, 0, 0, 2, 2, 1), RE_OK);
  EXPECT_EQ(Lfb16(2, 320, 240)[0], 0xFFFF);
  _reBitmapDestroy(&t3);
  _reBitmapDestroy(&rgb24);
  _reBitmapDestroy(&sprite);
}

TEST_F(Video, RefusedOpenings) {
  // 32 bits without an alpha mask is not a display format of ours.
  EXPECT_EQ(_reDisplayOpenVideo(640, 480, 32, 2, 0), RE_ERR_DISPLAY_FORMAT);
  void* bits;
  int32_t pitch;
  EXPECT_EQ(_reDisplayGetLFBReadPtr(1, &bits, &pitch), RE_ERR_LFB_LOCK);  // closed again
  EXPECT_EQ(_reDisplaySwapBuffers(), RE_ERR_NO_FRONT_BUFFER);
  EXPECT_EQ(_reDisplayClearBuffer(1, 0, 0, 0, 0), RE_ERR_NO_FRONT_BUFFER);
  EXPECT_EQ(_reDisplayOpenVideo(640, 480, 16, 0, 0), RE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(_reDisplayOpenVideo(641, 480, 16, 2, 0), RE_ERR_DISPLAY_MODE);
  EXPECT_EQ(_reDisplayOpenVideo(640, 480, 16, 1, 0), RE_ERR_CREATE_BUFFERS);  // a flip chain needs a back buffer
  // After all that, a listed mode opens normally.
  EXPECT_EQ(_reDisplayOpenVideo(640, 480, 16, 2, 0), RE_OK);
  EXPECT_EQ(_reDisplayClearBuffer(2, 0, 0x0000FF, 0, 0), RE_OK);
  EXPECT_TRUE(All(Lfb16(2, 640, 480), 0xF800));
}

TEST_F(Video, EightBitDisplayPalette) {
  ASSERT_EQ(_reDisplayOpenVideo(320, 200, 8, 2, 0), RE_OK);
  reBITMAP* own = nullptr;
  ASSERT_EQ(_reBitmapCreate(&own, 2, 2, 13, 0), RE_OK);
  EXPECT_EQ(own->info.bpp, 8u);
  EXPECT_EQ(own->info.redMask, 0u);
  _reBitmapDestroy(&own);

  PALETTEENTRY e[256];
  for (int i = 0; i < 256; ++i) e[i] = PALETTEENTRY{uint8_t(i), uint8_t(255 - i), 7, 0};
  rePALETTE* pal = nullptr;
  ASSERT_EQ(_rePaletteCreate(&pal, e), RE_OK);
  EXPECT_EQ(_reDisplaySetPalette(2, pal), RE_ERR_SELECTOR);
  EXPECT_EQ(_reDisplaySetPalette(1, nullptr), RE_ERR_PALETTE_ATTACH);
  EXPECT_EQ(_reDisplaySetPalette(1, pal), RE_OK);

  // Reading the display's palette into another record: the entries just set.
  PALETTEENTRY black[256] = {};
  rePALETTE* read = nullptr;
  ASSERT_EQ(_rePaletteCreate(&read, black), RE_OK);
  EXPECT_EQ(_reDisplayGetPalette(1, read), RE_OK);
  PALETTEENTRY got[256];
  ASSERT_EQ(_rePaletteGetPalEntries(read, got, 0, 256), RE_OK);
  EXPECT_EQ(std::memcmp(got, e, sizeof e), 0);
  EXPECT_EQ(read->colourTable[5][2], 0);  // the record's own table is left alone
  EXPECT_EQ(_reDisplayGetPalette(3, read), RE_ERR_SELECTOR);
  EXPECT_EQ(_reDisplayGetPalette(1, nullptr), RE_ERR_BAD_ARGUMENT);
  // Entries written through either record change the display's palette.
  const PALETTEENTRY one = {1, 2, 3, 0};
  ASSERT_EQ(_rePaletteSetPalEntries(read, &one, 9, 1), RE_OK);
  ASSERT_EQ(_rePaletteGetPalEntries(pal, got, 9, 1), RE_OK);
  EXPECT_EQ(got[0].peBlue, 3);

  // A palettized display takes the colour as the index.
  EXPECT_EQ(_reDisplayClearBuffer(1, 0x12345605, 0, 0, 0), RE_OK);
  void* bits;
  int32_t pitch;
  ASSERT_EQ(_reDisplayGetLFBReadPtr(1, &bits, &pitch), RE_OK);
  EXPECT_EQ(static_cast<uint8_t*>(bits)[0], 0x05);
  EXPECT_EQ(static_cast<uint8_t*>(bits)[319 + 199 * pitch], 0x05);
  _reDisplayReleaseLFBReadPtr(1, nullptr);
  _rePaletteDestroy(&read);
  _rePaletteDestroy(&pal);
}

TEST_F(Video, TripleBuffersAndDepthBuffer) {
  ASSERT_EQ(_reDisplayOpenVideo(320, 240, 16, 3, 1), RE_OK);
  // Three buffers flip with the back buffer as explicit target: the two trade places.
  ASSERT_EQ(_reDisplayClearBuffer(3, RGB(0, 0, 255), RGB(255, 0, 0), 0, 0), RE_OK);
  ASSERT_EQ(_reDisplaySwapBuffers(), RE_OK);
  EXPECT_TRUE(All(Lfb16(1, 320, 240), 0xF800));
  EXPECT_TRUE(All(Lfb16(2, 320, 240), 0x001F));
  ASSERT_EQ(_reDisplaySwapBuffers(), RE_OK);
  EXPECT_TRUE(All(Lfb16(1, 320, 240), 0x001F));

  // The depth buffer: 16 bits, filled with the converted colour or with 1.0.
  EXPECT_EQ(_reDisplayClearBuffer(16, 0, 0, RGB(255, 0, 0), 0), RE_OK);
  EXPECT_TRUE(All(Lfb16(4, 320, 240), 0xF800));
  EXPECT_EQ(_reDisplayClearBuffer(8, 0, 0, 0, 0), RE_OK);
  EXPECT_TRUE(All(Lfb16(4, 320, 240), 0x0000));  // 0x3F800000 cut to 16 bits
  EXPECT_EQ(_reDisplayCopyLFBtoLFB(1, 4, 0), RE_WARN_BLIT_FAILED);  // depth is no colour format
}

TEST_F(Video, TwentyFourAndFifteenBitDisplays) {
  ASSERT_EQ(_reDisplayOpenVideo(320, 200, 24, 2, 0), RE_OK);
  ASSERT_EQ(_reDisplayClearBuffer(2, 0, RGB(1, 2, 3), 0, 0), RE_OK);
  void* bits;
  int32_t pitch;
  ASSERT_EQ(_reDisplayGetLFBReadPtr(2, &bits, &pitch), RE_OK);
  EXPECT_GE(pitch, 960);
  const uint8_t* p = static_cast<uint8_t*>(bits);
  EXPECT_EQ(std::vector<uint8_t>(p + 957, p + 960), (std::vector<uint8_t>{3, 2, 1}));
  _reDisplayReleaseLFBReadPtr(2, nullptr);
  reBITMAP* b = nullptr;
  ASSERT_EQ(_reBitmapCreate(&b, 1, 1, 6, 0), RE_OK);
  EXPECT_EQ(_reBitmapBlitToLFB(b, 2, 319, 199, 0, 0, 1, 1, 1), RE_OK);  // 24-bit bitmaps match
  _reBitmapDestroy(&b);

  // Opening again closes the first mode; 15 bits report 5-5-5.
  ASSERT_EQ(_reDisplayOpenVideo(320, 200, 15, 2, 0), RE_OK);
  ASSERT_EQ(_reBitmapCreate(&b, 2, 2, 13, 0), RE_OK);
  EXPECT_EQ(b->info.bpp, 15u);
  EXPECT_EQ(b->info.redMask, 0x7C00u);
  EXPECT_EQ(b->info.greenBits, 5u);
  _reBitmapDestroy(&b);
  ASSERT_EQ(_reDisplayClearBuffer(2, 0, RGB(255, 0, 0), 0, 0), RE_OK);
  EXPECT_TRUE(All(Lfb16(2, 320, 200), 0x7C00));
  ASSERT_EQ(_reBitmapCreate(&b, 2, 2, 2, 0), RE_OK);  // 5-5-5 bitmap onto the 5-5-5 display
  ASSERT_EQ(_reBitmapClear(b, 0, 0, 2, 2, RGB(0, 255, 0)), RE_OK);
  EXPECT_EQ(_reBitmapBlitToLFB(b, 2, 0, 0, 0, 0, 2, 2, 1), RE_OK);
  EXPECT_EQ(Lfb16(2, 320, 200)[0], 0x03E0);
  _reBitmapDestroy(&b);
}

TEST_F(Video, SurfacesLostByAModeChangeAreRestored) {
  reBITMAP *a = nullptr, *b = nullptr, *c = nullptr;
  ASSERT_EQ(_reBitmapCreate(&a, 4, 4, 3, 0), RE_OK);
  ASSERT_EQ(_reBitmapCreate(&b, 4, 4, 3, 0), RE_OK);
  ASSERT_EQ(_reBitmapCreate(&c, 4, 4, 3, 0), RE_OK);
  ASSERT_EQ(_reDisplayOpenVideo(320, 240, 16, 2, 0), RE_OK);  // a display mode change

  // Lock: restored and locked in one go; the caller must redraw and release.
  void* bits = nullptr;
  int32_t pitch = 0;
  EXPECT_EQ(_reBitmapGetWritePtr(a, &bits, &pitch), RE_SURFACE_RESTORED);
  EXPECT_NE(bits, nullptr);
  EXPECT_EQ(_reBitmapReleaseWritePtr(a, nullptr), RE_OK);
  EXPECT_EQ(_reBitmapGetWritePtr(a, &bits, &pitch), RE_OK);
  EXPECT_EQ(_reBitmapReleaseWritePtr(a, nullptr), RE_OK);
  // Clear: restored, not filled; the next clear fills.
  EXPECT_EQ(_reBitmapClear(b, 0, 0, 4, 4, RGB(255, 0, 0)), RE_SURFACE_RESTORED);
  EXPECT_EQ(_reBitmapClear(b, 0, 0, 4, 4, RGB(255, 0, 0)), RE_OK);
  // Blit: the lost source is restored, the blit not done; the next one is.
  ASSERT_EQ(_reDisplayClearBuffer(2, 0, 0, 0, 0), RE_OK);
  EXPECT_EQ(_reBitmapBlitToLFB(c, 2, 0, 0, 0, 0, 4, 4, 1), RE_SURFACE_RESTORED);
  EXPECT_EQ(_reBitmapBlitToLFB(b, 2, 0, 0, 0, 0, 4, 4, 1), RE_OK);
  EXPECT_EQ(Lfb16(2, 320, 240)[0], 0xF800);

  // Closing restores the earlier mode: everything is lost once more,
  // bitmap-to-bitmap blits included.
  ASSERT_EQ(_reDisplayCloseVideo(), RE_OK);
  EXPECT_EQ(_reBitmapBlitToBitmap(a, 0, 0, b, 0, 0, 4, 4, 1), RE_SURFACE_RESTORED);
  EXPECT_EQ(_reBitmapBlitToBitmap(a, 0, 0, b, 0, 0, 4, 4, 1), RE_OK);
  _reBitmapDestroy(&a);
  _reBitmapDestroy(&b);
  _reBitmapDestroy(&c);
}
