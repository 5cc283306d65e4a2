// The library's interface without a video mode: exports, devices, modes,
// palettes, bitmaps, loaders and remapping, on the emulation driver.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "emulation.h"
#include "rastelle.h"
#include "test_files.h"

using testfiles::Bgr;
using testfiles::MakeBmp;
using testfiles::TempDir;

namespace {

class Api : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SelectEmulation()); }
};

uint16_t Px16(const void* base, int32_t pitch, int x, int y) {
  uint16_t v;
  std::memcpy(&v, static_cast<const uint8_t*>(base) + y * pitch + 2 * x, 2);
  return v;
}

// Reads every pixel of a 16-bit bitmap.
std::vector<uint16_t> Pixels16(reBITMAP* b) {
  void* bits = nullptr;
  int32_t pitch = 0;
  std::vector<uint16_t> out;
  if (_reBitmapGetReadPtr(b, &bits, &pitch) != RE_OK) return out;
  for (uint32_t y = 0; y < b->info.height; ++y)
    for (uint32_t x = 0; x < b->info.width; ++x) out.push_back(Px16(bits, pitch, int(x), int(y)));
  _reBitmapReleaseReadPtr(b, nullptr);
  return out;
}

void Write16(reBITMAP* b, const std::vector<uint16_t>& px) {
  void* bits = nullptr;
  int32_t pitch = 0;
  ASSERT_EQ(_reBitmapGetWritePtr(b, &bits, &pitch), RE_OK);
  for (uint32_t y = 0; y < b->info.height; ++y)
    std::memcpy(static_cast<uint8_t*>(bits) + y * pitch, &px[y * b->info.width], 2 * b->info.width);
  ASSERT_EQ(_reBitmapReleaseWritePtr(b, nullptr), RE_OK);
}

}  // namespace

TEST(Exports, ExactlyTheLibrarysNamesAreExported) {
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&_reDisplayCreate), &info), 0);
  std::string cmd = std::string("nm -D --defined-only '") + info.dli_fname + "'";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::set<std::string> names;
  char line[512];
  while (std::fgets(line, sizeof line, p)) {
    std::string s(line);
    s.erase(s.find_last_not_of("\r\n") + 1);
    names.insert(s.substr(s.rfind(' ') + 1));
  }
  pclose(p);
  const std::set<std::string> expected = {
      "ghOwnerInstance", "ghOwnerWindow", "pgLastError", "_reDisplayCreate", "_reDisplayDestroy",
      "_reDisplayGetNumDevices", "_reDisplaySetDevice", "_reDisplayGetDeviceName", "_reDisplayQueryVideoMode",
      "_reDisplayOpenVideo", "_reDisplayCloseVideo", "_reDisplayClearBuffer", "_reDisplaySwapBuffers",
      "_reDisplayFlipToGDI", "_reDisplayWaitTOF", "_reDisplayGetNaughtyData", "_reDisplayAddState",
      "_reDisplayDrawIndexedTri", "_reDisplayDrawNativeTri", "_reDisplayDrawTri", "_reDisplayEndFrame",
      "_reDisplayHWAcc3D", "_reDisplayHWAccBlit", "_reDisplayInitFrame", "_reDisplayRemoveState",
      "_reDisplayRenderFrame", "_reDisplayStartFrame", "_reDisplaySetViewport", "_reDisplaySetFillMode",
      "_reStateActivate", "_reStateAddIndexedTri", "_reStateAddTri", "_reStateCreate", "_reStateDestroy",
      "_reStateInit", "_reStateSetAlpha", "_reStateSetCalcScreenCoords", "_reStateSetClipRect",
      "_reStateSetColour", "_reStateSetCullMode", "_reStateSetDepthBufferMode", "_reStateSetFOV",
      "_reStateSetGlobalPointList", "_reStateSetRenderMode", "_reStateSetSoftwareClip", "_reStateSetTexture",
      "_reBitmapLoadToLFB", "_rePaletteCreate332Pal", "_reDisplayGetLFBReadPtr", "_reDisplayGetLFBWritePtr",
      "_reDisplayReleaseLFBReadPtr", "_reDisplayReleaseLFBWritePtr", "_reDisplayGetLFBDC",
      "_reDisplayReleaseLFBDC", "_reDisplayCopyLFBtoLFB", "_reBitmapCreate", "_reBitmapDestroy",
      "_reBitmapGetReadPtr", "_reBitmapGetWritePtr", "_reBitmapReleaseReadPtr", "_reBitmapReleaseWritePtr",
      "_reBitmapClear", "_reBitmapBlitToLFB", "_reBitmapBlitToBitmap", "_reBitmapSetColourKey",
      "_reBitmapGetColourKey", "_reBitmapLoad", "_reBitmapLoadRaw", "_reBitmapRemap", "_rePaletteCreate",
      "_rePaletteDestroy", "_rePaletteGetPalEntries", "_rePaletteSetPalEntries", "_rePaletteLoadPalFile",
      "_rePaletteLoadPalRes", "_reDisplaySetPalette", "_reDisplayGetPalette"};
  EXPECT_EQ(names, expected);
}

TEST(Exports, VariablesStartAtZeroAndAreNotWritten) {
  EXPECT_EQ(ghOwnerInstance, nullptr);
  EXPECT_EQ(ghOwnerWindow, nullptr);
  EXPECT_EQ(pgLastError, nullptr);
}

TEST(Exports, UnsupportedFunctionsAnswerNotSupported) {
  const uintptr_t a = 7;
  const reRESULT results[] = {
      _reDisplayAddState(a, a), _reDisplayDrawIndexedTri(a, a), _reDisplayDrawNativeTri(a),
      _reDisplayDrawTri(0), _reDisplayEndFrame(), _reDisplayHWAcc3D(), _reDisplayHWAccBlit(),
      _reDisplayInitFrame(a), _reDisplayRemoveState(a, 0), _reDisplayRenderFrame(a), _reDisplayStartFrame(),
      _reDisplaySetViewport(0, 0, 640, 480, 0, 1), _reDisplaySetFillMode(reFILLMODE(2)), _reStateActivate(a),
      _reStateAddIndexedTri(a, a, a, a, a, a), _reStateAddTri(a, a, a), _reStateCreate(0), _reStateDestroy(0),
      _reStateInit(a), _reStateSetAlpha(a, a), _reStateSetCalcScreenCoords(a, a), _reStateSetClipRect(a, a, a, a, a),
      _reStateSetColour(a, a, a, a), _reStateSetCullMode(a, a), _reStateSetDepthBufferMode(a, a),
      _reStateSetFOV(a, a, a), _reStateSetGlobalPointList(a, a), _reStateSetRenderMode(a, a),
      _reStateSetSoftwareClip(a, a), _reStateSetTexture(a, a, a), _reBitmapLoadToLFB(a, a),
      _rePaletteCreate332Pal(a)};
  for (reRESULT r : results) EXPECT_EQ(r, RE_ERR_NOT_SUPPORTED);
}

TEST(Devices, NamesCountsAndSelection) {
  uint32_t n = 0;
  EXPECT_EQ(_reDisplayGetNumDevices(&n), RE_OK);
  EXPECT_EQ(_reDisplayGetNumDevices(nullptr), RE_OK);
  ASSERT_GE(n, 1u);
  ASSERT_GE(EmulationDevice(), 0);
  EXPECT_EQ(DeviceName(uint32_t(EmulationDevice())), "[Rastelle software emulation] Software rasteriser");
  for (uint32_t i = 0; i < n; ++i) {
    std::string name = DeviceName(i);
    ASSERT_FALSE(name.empty()) << i;
    EXPECT_EQ(name[0], '[');
    EXPECT_NE(name.find("] "), std::string::npos);
  }
  char buf[8];
  EXPECT_EQ(_reDisplayGetDeviceName(n, buf, sizeof buf), RE_ERR_DEVICE_RANGE);
  EXPECT_EQ(_reDisplayGetDeviceName(0, nullptr, 100), RE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(_reDisplaySetDevice(n), RE_ERR_DEVICE_RANGE);
  EXPECT_EQ(_reDisplaySetDevice(0xFFFFFFFFu), RE_ERR_DEVICE_RANGE);
  EXPECT_EQ(_reDisplaySetDevice(0), RE_OK);
}

TEST(Devices, NameBufferSizes) {
  const uint32_t emu = uint32_t(EmulationDevice());
  const std::string text = DeviceName(emu);
  ASSERT_EQ(text.size(), 49u);
  // Too small: result code, buffer untouched.
  char small[10];
  std::memset(small, 'x', sizeof small);
  EXPECT_EQ(_reDisplayGetDeviceName(emu, small, sizeof small), RE_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(std::string(small, sizeof small), std::string(10, 'x'));
  // Exactly the text's length: the text without a terminating zero.
  std::vector<char> exact(text.size() + 1, 'x');
  EXPECT_EQ(_reDisplayGetDeviceName(emu, exact.data(), uint32_t(text.size())), RE_OK);
  EXPECT_EQ(std::string(exact.data(), text.size()), text);
  EXPECT_EQ(exact[text.size()], 'x');
}

TEST_F(Api, ModeQueriesUseTheSelectedDriversList) {
  struct Case {
    uint32_t w, h, bpp;
    reRESULT expect;
  } cases[] = {{640, 480, 16, RE_OK},         {640, 480, 8, RE_OK},          {800, 600, 15, RE_OK},
               {1920, 1080, 32, RE_OK},       {320, 200, 24, RE_OK},         {641, 480, 16, RE_ERR_MODE_NOT_LISTED},
               {640, 480, 12, RE_ERR_MODE_NOT_LISTED}, {0, 0, 0, RE_ERR_MODE_NOT_LISTED},
               {4096, 4096, 16, RE_ERR_MODE_NOT_LISTED}};
  for (const Case& c : cases)
    EXPECT_EQ(_reDisplayQueryVideoMode(c.w, c.h, c.bpp), c.expect) << c.w << "x" << c.h << "x" << c.bpp;
}

TEST(DisplayRecord, CreateAndDestroy) {
  reDISPLAY d = nullptr;
  EXPECT_EQ(_reDisplayCreate(&d), RE_OK);
  EXPECT_NE(d, nullptr);
  EXPECT_EQ(_reDisplayDestroy(&d), RE_OK);
  EXPECT_EQ(d, nullptr);
  EXPECT_EQ(_reDisplayDestroy(&d), RE_OK);
  EXPECT_EQ(_reDisplayCreate(nullptr), RE_ERR_BAD_ARGUMENT);
}

// ---------------------------------------------------------------- bitmaps

TEST_F(Api, BitmapCreateSizesAndTypes) {
  struct Case {
    int32_t w, h;
    uint32_t type;
    reRESULT expect;
  } cases[] = {{2048, 10, 3, RE_ERR_BITMAP_CREATE}, {10, 0, 3, RE_ERR_BITMAP_CREATE},
               {-1, 10, 3, RE_ERR_BITMAP_CREATE},   {10, 2048, 9, RE_ERR_BITMAP_CREATE},
               {2047, 1, 3, RE_OK},                 {1, 2047, 12, RE_OK},
               {8, 8, 7, RE_ERR_BITMAP_TYPE},       {8, 8, 8, RE_ERR_BITMAP_TYPE},
               {8, 8, 0, RE_ERR_BITMAP_TYPE},       {8, 8, 14, RE_ERR_BITMAP_TYPE},
               {2048, 0, 7, RE_ERR_BITMAP_TYPE},    {8, 8, 13, RE_ERR_NO_FRONT_BUFFER}};
  for (const Case& c : cases) {
    reBITMAP* b = reinterpret_cast<reBITMAP*>(0x1);
    EXPECT_EQ(_reBitmapCreate(&b, c.w, c.h, c.type, 0), c.expect) << c.w << "x" << c.h << " type " << c.type;
    if (c.expect == RE_OK) {
      ASSERT_NE(b, nullptr);
      EXPECT_EQ(_reBitmapDestroy(&b), RE_OK);
    }
    EXPECT_EQ(b, nullptr);
  }
  EXPECT_EQ(_reBitmapCreate(nullptr, 8, 8, 3, 0), RE_ERR_BAD_ARGUMENT);
  // A large bitmap asked for in video memory falls back to system memory.
  reBITMAP* big = nullptr;
  EXPECT_EQ(_reBitmapCreate(&big, 2047, 2047, 6, RE_CREATE_VIDMEM), RE_OK);
  EXPECT_EQ(_reBitmapDestroy(&big), RE_OK);
}

TEST_F(Api, BitmapPixelInformation) {
  struct Case {
    uint32_t type, bpp;
    uint32_t masks[4];  // red, green, blue, alpha
    uint32_t counts[4];
    uint32_t positions[4];
  } cases[] = {
      {1, 16, {0x7C00, 0x03E0, 0x001F, 0x8000}, {5, 5, 5, 1}, {10, 5, 0, 15}},
      {2, 16, {0x7C00, 0x03E0, 0x001F, 0}, {5, 5, 5, 0}, {10, 5, 0, 0}},
      {3, 16, {0xF800, 0x07E0, 0x001F, 0}, {5, 6, 5, 0}, {11, 5, 0, 0}},
      {4, 16, {0x0F00, 0x00F0, 0x000F, 0xF000}, {4, 4, 4, 4}, {8, 4, 0, 12}},
      {5, 8, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}},
      {6, 24, {0xFF0000, 0x00FF00, 0x0000FF, 0}, {8, 8, 8, 0}, {16, 8, 0, 0}},
      {9, 8, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}},
      {10, 4, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}},
      {11, 2, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}},
      {12, 1, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    reBITMAP* b = nullptr;
    ASSERT_EQ(_reBitmapCreate(&b, 13, 3, c.type, 0), RE_OK) << c.type;
    const rePIXELINFO& i = b->info;
    EXPECT_EQ(i.width, 13u);
    EXPECT_EQ(i.height, 3u);
    EXPECT_EQ(i.reserved, 0u);
    EXPECT_GE(i.pitch, (13 * c.bpp + 7) / 8);
    EXPECT_EQ(i.bpp, c.bpp) << c.type;
    EXPECT_EQ(i.format, c.type);
    const uint32_t got[3][4] = {{i.redMask, i.greenMask, i.blueMask, i.alphaMask},
                                {i.redBits, i.greenBits, i.blueBits, i.alphaBits},
                                {i.redPos, i.greenPos, i.bluePos, i.alphaPos}};
    for (int k = 0; k < 4; ++k) {
      EXPECT_EQ(got[0][k], c.masks[k]) << "type " << c.type << " channel " << k;
      EXPECT_EQ(got[1][k], c.counts[k]) << "type " << c.type << " channel " << k;
      EXPECT_EQ(got[2][k], c.positions[k]) << "type " << c.type << " channel " << k;
    }
    EXPECT_EQ(b->palette, nullptr);
    EXPECT_EQ(b->ownPalette, 0);
    _reBitmapDestroy(&b);
  }
}

TEST_F(Api, ClearConvertsTheColourAndFillsOnlyTheRectangle) {
  reBITMAP* b = nullptr;
  ASSERT_EQ(_reBitmapCreate(&b, 6, 4, 3, 0), RE_OK);
  EXPECT_EQ(_reBitmapClear(b, 1, 1, 3, 2, 0x00FF00), RE_OK);  // green as a COLORREF
  std::vector<uint16_t> px = Pixels16(b);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) {
      bool inside = x >= 1 && x < 4 && y >= 1 && y < 3;
      EXPECT_EQ(px[y * 6 + x], inside ? 0x07E0 : 0) << x << "," << y;
    }
  // Other colours in 5-6-5: low bits dropped, channels moved into place.
  EXPECT_EQ(_reBitmapClear(b, 0, 0, 6, 4, RGB(0xFF, 0, 0)), RE_OK);
  EXPECT_EQ(Pixels16(b)[0], 0xF800);
  EXPECT_EQ(_reBitmapClear(b, 0, 0, 6, 4, RGB(0x0F, 0x13, 0xFF)), RE_OK);
  EXPECT_EQ(Pixels16(b)[0], (0x0F >> 3) << 11 | (0x13 >> 2) << 5 | 0x1F);
  // Rectangles outside the bitmap fail; an empty one does nothing.
  EXPECT_EQ(_reBitmapClear(b, 4, 0, 3, 1, 0), RE_ERR_FILL);
  EXPECT_EQ(_reBitmapClear(b, -1, 0, 1, 1, 0), RE_ERR_FILL);
  EXPECT_EQ(_reBitmapClear(b, 2, 2, -1, 1, 0), RE_ERR_FILL);
  EXPECT_EQ(_reBitmapClear(b, 0x7FFFFFFF, 0, 0x7FFFFFFF, 1, 0), RE_ERR_FILL);
  EXPECT_EQ(_reBitmapClear(b, 2, 2, 0, 0, 0), RE_OK);
  EXPECT_EQ(_reBitmapClear(nullptr, 0, 0, 1, 1, 0), RE_ERR_BAD_ARGUMENT);
  _reBitmapDestroy(&b);
}

TEST_F(Api, ClearOf24BitAndPalettizedBitmaps) {
  reBITMAP* b = nullptr;
  ASSERT_EQ(_reBitmapCreate(&b, 3, 2, 6, 0), RE_OK);
  EXPECT_EQ(_reBitmapClear(b, 0, 0, 3, 2, RGB(0x12, 0x34, 0x56)), RE_OK);
  void* bits;
  int32_t pitch;
  ASSERT_EQ(_reBitmapGetReadPtr(b, &bits, &pitch), RE_OK);
  const uint8_t* p = static_cast<uint8_t*>(bits);
  for (int i = 0; i < 3; ++i) {  // little-endian 0x123456: blue byte first
    EXPECT_EQ(p[pitch + 3 * i], 0x56);
    EXPECT_EQ(p[pitch + 3 * i + 1], 0x34);
    EXPECT_EQ(p[pitch + 3 * i + 2], 0x12);
  }
  _reBitmapReleaseReadPtr(b, nullptr);
  _reBitmapDestroy(&b);

  // 4-bit: the colour is the index; pixels pack from the high nibble.
  ASSERT_EQ(_reBitmapCreate(&b, 5, 1, 10, 0), RE_OK);
  EXPECT_EQ(_reBitmapClear(b, 1, 0, 3, 1, 0xA), RE_OK);
  ASSERT_EQ(_reBitmapGetReadPtr(b, &bits, &pitch), RE_OK);
  p = static_cast<uint8_t*>(bits);
  EXPECT_EQ(p[0], 0x0A);
  EXPECT_EQ(p[1], 0xAA);
  EXPECT_EQ(p[2], 0x00);
  _reBitmapReleaseReadPtr(b, nullptr);
  _reBitmapDestroy(&b);
}

TEST_F(Api, LocksPairUpAndHandlesEmptyOut) {
  reBITMAP* b = nullptr;
  ASSERT_EQ(_reBitmapCreate(&b, 4, 4, 9, 0), RE_OK);
  void* bits = nullptr;
  int32_t pitch = 0;
  EXPECT_EQ(_reBitmapGetWritePtr(b, &bits, &pitch), RE_OK);
  EXPECT_NE(bits, nullptr);
  EXPECT_GE(pitch, 4);
  EXPECT_EQ(_reBitmapGetReadPtr(b, &bits, &pitch), RE_ERR_BITMAP_LOCK);  // already locked
  EXPECT_EQ(_reBitmapClear(b, 0, 0, 1, 1, 0), RE_ERR_FILL);              // locked surfaces refuse fills
  EXPECT_EQ(_reBitmapReleaseWritePtr(b, nullptr), RE_OK);
  EXPECT_EQ(_reBitmapReleaseReadPtr(b, nullptr), RE_ERR_BITMAP_UNLOCK);  // not locked
  EXPECT_EQ(_reBitmapGetReadPtr(b, nullptr, &pitch), RE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(_reBitmapGetReadPtr(nullptr, &bits, &pitch), RE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(_reBitmapReleaseReadPtr(nullptr, nullptr), RE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(_reBitmapDestroy(&b), RE_OK);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(_reBitmapDestroy(&b), RE_WARN_ALREADY_EMPTY);
  EXPECT_EQ(_reBitmapDestroy(nullptr), RE_WARN_ALREADY_EMPTY);
}

TEST_F(Api, ColourKeys) {
  reBITMAP* b = nullptr;
  ASSERT_EQ(_reBitmapCreate(&b, 2, 2, 3, 0), RE_OK);
  uint32_t key = 99;
  EXPECT_EQ(_reBitmapGetColourKey(b, &key, 16), RE_OK);
  EXPECT_EQ(key, 0u);  // never set
  EXPECT_EQ(_reBitmapSetColourKey(b, 0xF81F, 16), RE_OK);
  EXPECT_EQ(_reBitmapSetColourKey(b, 0x1234, 1), RE_OK);  // any other kind: destination key
  EXPECT_EQ(_reBitmapGetColourKey(b, &key, 16), RE_OK);
  EXPECT_EQ(key, 0xF81Fu);
  EXPECT_EQ(_reBitmapGetColourKey(b, &key, 0), RE_OK);
  EXPECT_EQ(key, 0x1234u);
  EXPECT_EQ(_reBitmapGetColourKey(b, nullptr, 16), RE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(_reBitmapSetColourKey(nullptr, 0, 16), RE_ERR_BAD_ARGUMENT);
  _reBitmapDestroy(&b);
}

TEST_F(Api, BlitsWithAndWithoutColourKeys) {
  reBITMAP *src = nullptr, *dst = nullptr;
  ASSERT_EQ(_reBitmapCreate(&src, 3, 2, 3, 0), RE_OK);
  ASSERT_EQ(_reBitmapCreate(&dst, 5, 4, 3, 0), RE_OK);
  const uint16_t K = 0xF81F;
  Write16(src, {1, K, 3, K, 5, 6});
  ASSERT_EQ(_reBitmapClear(dst, 0, 0, 5, 4, RGB(0, 0, 0xFF)), RE_OK);  // 0x001F
  _reBitmapSetColourKey(src, K, 16);

  // Wait + source key: key-coloured pixels are left out.
  EXPECT_EQ(_reBitmapBlitToBitmap(dst, 1, 1, src, 0, 0, 3, 2, 3), RE_OK);
  std::vector<uint16_t> px = Pixels16(dst);
  const uint16_t B = 0x001F;
  std::vector<uint16_t> want = {B, B, B, B, B,  //
                                B, 1, B, 3, B,  //
                                B, B, 5, 6, B,  //
                                B, B, B, B, B};
  EXPECT_EQ(px, want);

  // Without the key flag every pixel is copied, from a sub-rectangle.
  EXPECT_EQ(_reBitmapBlitToBitmap(dst, 0, 3, src, 1, 0, 2, 1, 1), RE_OK);
  px = Pixels16(dst);
  EXPECT_EQ(px[15], K);
  EXPECT_EQ(px[16], 3);

  // Destination key: only destination pixels of the key value are replaced.
  _reBitmapSetColourKey(dst, B, 0);
  EXPECT_EQ(_reBitmapBlitToBitmap(dst, 0, 0, src, 0, 0, 3, 2, 4), RE_OK);
  px = Pixels16(dst);
  EXPECT_EQ(px[0], 1);
  EXPECT_EQ(px[1], K);
  EXPECT_EQ(px[6], 1);  // was 1, not the key: kept
  EXPECT_EQ(px[5], K);

  // Out of range, bad arguments, mixed formats.
  EXPECT_EQ(_reBitmapBlitToBitmap(dst, 3, 0, src, 0, 0, 3, 2, 0), RE_WARN_BLIT_FAILED);
  EXPECT_EQ(_reBitmapBlitToBitmap(dst, 0, 0, src, 1, 1, 3, 2, 0), RE_WARN_BLIT_FAILED);
  EXPECT_EQ(_reBitmapBlitToBitmap(dst, -1, 0, src, 0, 0, 1, 1, 0), RE_WARN_BLIT_FAILED);
  EXPECT_EQ(_reBitmapBlitToBitmap(dst, 0, 0, src, 0, 0, -2, 1, 0), RE_WARN_BLIT_FAILED);
  EXPECT_EQ(_reBitmapBlitToBitmap(dst, 0, 0, src, 0x7FFFFFFF, 0, 0x7FFFFFFF, 1, 0), RE_WARN_BLIT_FAILED);
  EXPECT_EQ(_reBitmapBlitToBitmap(nullptr, 0, 0, src, 0, 0, 1, 1, 0), RE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(_reBitmapBlitToBitmap(dst, 0, 0, nullptr, 0, 0, 1, 1, 0), RE_ERR_BAD_ARGUMENT);
  reBITMAP* other = nullptr;
  ASSERT_EQ(_reBitmapCreate(&other, 3, 2, 2, 0), RE_OK);  // 5-5-5
  EXPECT_EQ(_reBitmapBlitToBitmap(dst, 0, 0, other, 0, 0, 3, 2, 0), RE_WARN_BLIT_FAILED);
  // No video mode: every display selector is refused.
  EXPECT_EQ(_reBitmapBlitToLFB(src, 2, 0, 0, 0, 0, 1, 1, 0), RE_WARN_BLIT_SELECTOR);
  EXPECT_EQ(_reBitmapBlitToLFB(src, 3, 0, 0, 0, 0, 1, 1, 0), RE_WARN_BLIT_SELECTOR);
  _reBitmapDestroy(&other);
  _reBitmapDestroy(&src);
  _reBitmapDestroy(&dst);
}

TEST_F(Api, KeyedBlitsOfOtherDepths) {
  // 24-bit: the key compares all three bytes.
  reBITMAP *s = nullptr, *d = nullptr;
  ASSERT_EQ(_reBitmapCreate(&s, 2, 1, 6, 0), RE_OK);
  ASSERT_EQ(_reBitmapCreate(&d, 2, 1, 6, 0), RE_OK);
  _reBitmapClear(s, 0, 0, 1, 1, RGB(1, 2, 3));
  _reBitmapClear(s, 1, 0, 1, 1, RGB(1, 2, 4));
  _reBitmapClear(d, 0, 0, 2, 1, RGB(9, 9, 9));
  _reBitmapSetColourKey(s, 0x010203, 16);  // RGB(1, 2, 3) as a pixel
  EXPECT_EQ(_reBitmapBlitToBitmap(d, 0, 0, s, 0, 0, 2, 1, 3), RE_OK);
  void* bits;
  int32_t pitch;
  ASSERT_EQ(_reBitmapGetReadPtr(d, &bits, &pitch), RE_OK);
  const uint8_t* p = static_cast<uint8_t*>(bits);
  EXPECT_EQ(std::vector<uint8_t>(p, p + 6), (std::vector<uint8_t>{9, 9, 9, 4, 2, 1}));
  _reBitmapReleaseReadPtr(d, nullptr);
  _reBitmapDestroy(&s);
  _reBitmapDestroy(&d);

  // 4-bit, at odd positions.
  ASSERT_EQ(_reBitmapCreate(&s, 3, 1, 10, 0), RE_OK);
  ASSERT_EQ(_reBitmapCreate(&d, 4, 1, 10, 0), RE_OK);
  _reBitmapClear(s, 0, 0, 1, 1, 0x1);
  _reBitmapClear(s, 1, 0, 1, 1, 0x5);  // the key
  _reBitmapClear(s, 2, 0, 1, 1, 0x3);
  _reBitmapClear(d, 0, 0, 4, 1, 0xF);
  _reBitmapSetColourKey(s, 0x5, 16);
  EXPECT_EQ(_reBitmapBlitToBitmap(d, 1, 0, s, 0, 0, 3, 1, 3), RE_OK);
  ASSERT_EQ(_reBitmapGetReadPtr(d, &bits, &pitch), RE_OK);
  p = static_cast<uint8_t*>(bits);
  EXPECT_EQ(p[0], 0xF1);
  EXPECT_EQ(p[1], 0xF3);
  _reBitmapReleaseReadPtr(d, nullptr);
  _reBitmapDestroy(&s);
  _reBitmapDestroy(&d);
}

TEST_F(Api, OverlappingBlitWithinOneBitmap) {
  reBITMAP* b = nullptr;
  ASSERT_EQ(_reBitmapCreate(&b, 4, 4, 3, 0), RE_OK);
  std::vector<uint16_t> px(16);
  for (int i = 0; i < 16; ++i) px[i] = uint16_t(i + 1);
  Write16(b, px);
  EXPECT_EQ(_reBitmapBlitToBitmap(b, 1, 1, b, 0, 0, 3, 3, 1), RE_OK);
  std::vector<uint16_t> got = Pixels16(b);
  for (int y = 1; y < 4; ++y)
    for (int x = 1; x < 4; ++x) EXPECT_EQ(got[y * 4 + x], px[(y - 1) * 4 + (x - 1)]) << x << "," << y;
  _reBitmapDestroy(&b);
}

// ---------------------------------------------------------------- image files

TEST_F(Api, Load24BitImage) {
  TempDir dir;
  // 3 x 2: top row red, green, blue; bottom row white, black, grey.
  auto bmp = MakeBmp(3, 2, 24, {}, {{0, 0, 255, 0, 255, 0, 255, 0, 0}, {255, 255, 255, 0, 0, 0, 128, 128, 128}});
  for (bool top_down : {false, true}) {
    if (top_down)
      bmp = MakeBmp(3, 2, 24, {}, {{0, 0, 255, 0, 255, 0, 255, 0, 0}, {255, 255, 255, 0, 0, 0, 128, 128, 128}}, true);
    std::string file = dir.Write(top_down ? "td.bmp" : "bu.bmp", bmp);
    reBITMAP* b = nullptr;
    ASSERT_EQ(_reBitmapLoad(&b, file.c_str(), 0, nullptr), RE_OK);
    EXPECT_EQ(b->info.format, 6u);
    EXPECT_EQ(b->info.bpp, 24u);
    EXPECT_EQ(b->info.width, 3u);
    EXPECT_EQ(b->info.height, 2u);
    EXPECT_EQ(b->palette, nullptr);
    EXPECT_EQ(b->ownPalette, 0);
    void* bits;
    int32_t pitch;
    ASSERT_EQ(_reBitmapGetReadPtr(b, &bits, &pitch), RE_OK);
    const uint8_t* p = static_cast<uint8_t*>(bits);
    EXPECT_EQ(std::vector<uint8_t>(p, p + 9), (std::vector<uint8_t>{0, 0, 255, 0, 255, 0, 255, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(p + pitch, p + pitch + 9),
              (std::vector<uint8_t>{255, 255, 255, 0, 0, 0, 128, 128, 128}));
    _reBitmapReleaseReadPtr(b, nullptr);
    _reBitmapDestroy(&b);
  }
}

std::vector<Bgr> Palette256() {
  std::vector<Bgr> c(256);
  for (int i = 0; i < 256; ++i) c[i] = Bgr{uint8_t(i), uint8_t(255 - i), uint8_t(i / 2)};
  return c;
}

TEST_F(Api, Load8BitImageWithItsOwnPalette) {
  TempDir dir;
  std::string file = dir.Write("p8.bmp", MakeBmp(5, 2, 8, Palette256(), {{1, 2, 3, 4, 5}, {250, 251, 252, 253, 254}}));
  reBITMAP* b = nullptr;
  ASSERT_EQ(_reBitmapLoad(&b, file.c_str(), 0, nullptr), RE_OK);
  EXPECT_EQ(b->info.format, 9u);
  EXPECT_EQ(b->info.bpp, 8u);
  ASSERT_NE(b->palette, nullptr);
  EXPECT_EQ(b->ownPalette, 1);
  EXPECT_EQ(b->palette->entryCount, 256u);
  EXPECT_EQ(b->palette->refCount, 1u);
  PALETTEENTRY e[256];
  ASSERT_EQ(_rePaletteGetPalEntries(b->palette, e, 0, 256), RE_OK);
  for (int i = 0; i < 256; i += 51) {
    EXPECT_EQ(e[i].peRed, i / 2);
    EXPECT_EQ(e[i].peGreen, 255 - i);
    EXPECT_EQ(e[i].peBlue, i);
    EXPECT_EQ(b->palette->colourTable[i][0], i);
  }
  void* bits;
  int32_t pitch;
  ASSERT_EQ(_reBitmapGetReadPtr(b, &bits, &pitch), RE_OK);
  const uint8_t* p = static_cast<uint8_t*>(bits);
  EXPECT_EQ(std::vector<uint8_t>(p, p + 5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(std::vector<uint8_t>(p + pitch, p + pitch + 5), (std::vector<uint8_t>{250, 251, 252, 253, 254}));
  _reBitmapReleaseReadPtr(b, nullptr);
  _reBitmapDestroy(&b);
}

TEST_F(Api, Load16BitImagesByTheirMasks) {
  TempDir dir;
  const uint32_t m565[3] = {0xF800, 0x07E0, 0x001F};
  std::string plain = dir.Write("555.bmp", MakeBmp(2, 1, 16, {}, {{0x00, 0x7C, 0x1F, 0x00}}));
  std::string fields = dir.Write("565.bmp", MakeBmp(2, 1, 16, {}, {{0x00, 0xF8, 0x1F, 0x00}}, false, m565));
  reBITMAP* b = nullptr;
  ASSERT_EQ(_reBitmapLoad(&b, plain.c_str(), 0, nullptr), RE_OK);
  EXPECT_EQ(b->info.format, 2u);  // plain 16-bit files are 5-5-5
  EXPECT_EQ(Pixels16(b), (std::vector<uint16_t>{0x7C00, 0x001F}));
  _reBitmapDestroy(&b);
  ASSERT_EQ(_reBitmapLoad(&b, fields.c_str(), 0, nullptr), RE_OK);
  EXPECT_EQ(b->info.format, 3u);
  EXPECT_EQ(Pixels16(b), (std::vector<uint16_t>{0xF800, 0x001F}));
  _reBitmapDestroy(&b);
}

TEST_F(Api, BadImageFiles) {
  TempDir dir;
  auto good24 = MakeBmp(4, 4, 24, {}, std::vector<std::vector<uint8_t>>(4, std::vector<uint8_t>(12, 7)));
  std::vector<uint8_t> truncated(good24.begin(), good24.end() - 5);
  std::vector<uint8_t> header_only(good24.begin(), good24.begin() + 30);
  std::vector<uint8_t> not_bmp(good24);
  not_bmp[0] = 'X';
  std::vector<uint8_t> rle(MakeBmp(4, 1, 8, Palette256(), {{1, 2, 3, 4}}));
  testfiles::Put32(rle, 30, 1);  // RLE8
  std::vector<uint8_t> huge_offset(good24);
  testfiles::Put32(huge_offset, 10, 0xFFFFFFF0u);
  std::vector<uint8_t> wide(good24);
  testfiles::Put32(wide, 18, 0x7FFFFFFF);
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    reRESULT expect;
  } cases[] = {
      {"32.bmp", MakeBmp(2, 2, 32, {}, {std::vector<uint8_t>(8, 1), std::vector<uint8_t>(8, 2)}), RE_ERR_BITMAP_TYPE},
      {"4.bmp", MakeBmp(2, 1, 4, std::vector<Bgr>(16), {{0x12}}), RE_ERR_BITMAP_TYPE},
      {"trunc.bmp", truncated, RE_ERR_FILE_SHORT},
      {"hdr.bmp", header_only, RE_ERR_FILE_SHORT},
      {"empty.bmp", {}, RE_ERR_FILE_SHORT},
      {"notbmp.bmp", not_bmp, RE_ERR_FILE_SHORT},
      {"rle.bmp", rle, RE_ERR_FILE_SHORT},
      {"offset.bmp", huge_offset, RE_ERR_FILE_SHORT},
      {"wide.bmp", wide, RE_ERR_FILE_SHORT},
      {"big.bmp", MakeBmp(2048, 1, 24, {}, {std::vector<uint8_t>(2048 * 3, 0)}), RE_ERR_BITMAP_CREATE},
  };
  for (const Case& c : cases) {
    std::string file = dir.Write(c.name, c.bytes);
    reBITMAP* b = reinterpret_cast<reBITMAP*>(0x1);
    EXPECT_EQ(_reBitmapLoad(&b, file.c_str(), 0, nullptr), c.expect) << c.name;
    EXPECT_EQ(b, nullptr) << c.name;
  }
  reBITMAP* b = nullptr;
  EXPECT_EQ(_reBitmapLoad(&b, dir.Path("missing.bmp").c_str(), 0, nullptr), RE_ERR_FILE_OPEN);
  EXPECT_EQ(_reBitmapLoad(&b, nullptr, 0, nullptr), RE_ERR_FILE_OPEN);
  EXPECT_EQ(_reBitmapLoad(nullptr, "x", 0, nullptr), RE_ERR_BAD_ARGUMENT);
  // An 8-bit image too short to hold a whole palette file fails in the palette step.
  std::string small8 = dir.Write("small8.bmp", MakeBmp(4, 1, 8, std::vector<Bgr>(16), {{1, 2, 3, 4}}));
  EXPECT_EQ(_reBitmapLoad(&b, small8.c_str(), 0, nullptr), RE_ERR_FILE_SHORT);
  EXPECT_EQ(b, nullptr);
}

// ---------------------------------------------------------------- raw files

TEST_F(Api, RawLoader) {
  TempDir dir;
  std::vector<uint8_t> raw(12 + 24);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(i);
  std::string file = dir.Write("4x2.raw", raw);
  reBITMAP* b = nullptr;
  ASSERT_EQ(_reBitmapLoadRaw(&b, file.c_str(), 4, 2, 6, 0), RE_OK);
  EXPECT_EQ(b->info.format, 6u);
  void* bits;
  int32_t pitch;
  ASSERT_EQ(_reBitmapGetReadPtr(b, &bits, &pitch), RE_OK);
  const uint8_t* p = static_cast<uint8_t*>(bits);
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(p[i], 12 + i);           // bytes 12 to 23: the first row
    EXPECT_EQ(p[pitch + i], 24 + i);  // then 24 to 35
  }
  _reBitmapReleaseReadPtr(b, nullptr);
  _reBitmapDestroy(&b);

  // 16- and 8-bit types.
  ASSERT_EQ(_reBitmapLoadRaw(&b, file.c_str(), 3, 4, 3, 0), RE_OK);
  EXPECT_EQ(Pixels16(b)[0], 12 | 13 << 8);
  _reBitmapDestroy(&b);
  ASSERT_EQ(_reBitmapLoadRaw(&b, file.c_str(), 6, 4, 9, 0), RE_OK);
  _reBitmapDestroy(&b);

  struct Case {
    int32_t w, h;
    uint32_t type;
    reRESULT expect;
  } cases[] = {{4, 3, 6, RE_ERR_FILE_SHORT},   {5, 2, 6, RE_ERR_FILE_SHORT},   {4, 2, 5, RE_ERR_BAD_ARGUMENT},
               {4, 2, 1, RE_ERR_BAD_ARGUMENT}, {4, 2, 10, RE_ERR_BAD_ARGUMENT}, {0, 2, 6, RE_ERR_BITMAP_CREATE},
               {2048, 1, 9, RE_ERR_BITMAP_CREATE}, {-4, 2, 9, RE_ERR_BITMAP_CREATE}};
  for (const Case& c : cases) {
    b = reinterpret_cast<reBITMAP*>(0x1);
    EXPECT_EQ(_reBitmapLoadRaw(&b, file.c_str(), c.w, c.h, c.type, 0), c.expect) << c.w << "x" << c.h << " " << c.type;
    EXPECT_EQ(b, nullptr);
  }
  EXPECT_EQ(_reBitmapLoadRaw(&b, dir.Path("none.raw").c_str(), 4, 2, 6, 0), RE_ERR_FILE_OPEN);
  EXPECT_EQ(_reBitmapLoadRaw(&b, nullptr, 4, 2, 6, 0), RE_ERR_FILE_OPEN);
  std::string header_only = dir.Write("hdr.raw", std::vector<uint8_t>(12));
  EXPECT_EQ(_reBitmapLoadRaw(&b, header_only.c_str(), 1, 1, 9, 0), RE_ERR_FILE_SHORT);
}

// ---------------------------------------------------------------- palettes

TEST_F(Api, PaletteFiles) {
  TempDir dir;
  std::vector<Bgr> sixteen(16);
  for (int i = 0; i < 16; ++i) sixteen[i] = Bgr{uint8_t(i * 16), uint8_t(i * 8), uint8_t(i * 4 + 3)};
  // 4-bit image padded to 1,100 bytes (the loader reads 1,068 bytes from offset 14).
  auto four = MakeBmp(2, 1, 4, sixteen, {{0x12}});
  four.resize(1100, 0xEE);
  std::string file = dir.Write("4bit.bmp", four);
  rePALETTE* p = nullptr;
  ASSERT_EQ(_rePaletteLoadPalFile(&p, file.c_str()), RE_OK);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->entryCount, 16u);
  EXPECT_EQ(p->refCount, 1u);
  PALETTEENTRY e[256];
  ASSERT_EQ(_rePaletteGetPalEntries(p, e, 0, 256), RE_OK);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(e[i].peRed, i * 4 + 3);
    EXPECT_EQ(e[i].peGreen, i * 8);
    EXPECT_EQ(e[i].peBlue, i * 16);
    EXPECT_EQ(e[i].peFlags, 0);
    EXPECT_EQ(p->colourTable[i][0], i * 16);
    EXPECT_EQ(p->colourTable[i][2], i * 4 + 3);
  }
  for (int i = 16; i < 256; ++i) EXPECT_EQ(e[i].peRed | e[i].peGreen | e[i].peBlue | e[i].peFlags, 0) << i;
  EXPECT_EQ(_rePaletteDestroy(&p), RE_OK);
  EXPECT_EQ(p, nullptr);

  // A 24-bit file: no palette, no error.
  auto rgb = MakeBmp(20, 20, 24, {}, std::vector<std::vector<uint8_t>>(20, std::vector<uint8_t>(60, 1)));
  std::string f24 = dir.Write("24.bmp", rgb);
  p = reinterpret_cast<rePALETTE*>(0x1);
  EXPECT_EQ(_rePaletteLoadPalFile(&p, f24.c_str()), RE_OK);
  EXPECT_EQ(p, nullptr);

  std::string short900 = dir.Write("900.bmp", std::vector<uint8_t>(900, 0));
  EXPECT_EQ(_rePaletteLoadPalFile(&p, short900.c_str()), RE_ERR_FILE_SHORT);
  EXPECT_EQ(p, nullptr);
  std::string short1081 = dir.Write("1081.bmp", std::vector<uint8_t>(1081, 0));
  EXPECT_EQ(_rePaletteLoadPalFile(&p, short1081.c_str()), RE_ERR_FILE_SHORT);
  EXPECT_EQ(_rePaletteLoadPalFile(&p, dir.Path("missing.bmp").c_str()), RE_ERR_FILE_OPEN);
  EXPECT_EQ(_rePaletteLoadPalFile(&p, nullptr), RE_ERR_FILE_OPEN);
  EXPECT_EQ(_rePaletteLoadPalFile(nullptr, file.c_str()), RE_ERR_BAD_ARGUMENT);

  p = reinterpret_cast<rePALETTE*>(0x1);
  EXPECT_EQ(_rePaletteLoadPalRes(&p, "PALETTE"), RE_ERR_PALETTE_CREATE);
  EXPECT_EQ(p, nullptr);
}

TEST_F(Api, PaletteEntriesAndBadArguments) {
  PALETTEENTRY in[256];
  for (int i = 0; i < 256; ++i) in[i] = PALETTEENTRY{uint8_t(i), uint8_t(i ^ 0xFF), uint8_t(i * 3), 0};
  rePALETTE* p = nullptr;
  ASSERT_EQ(_rePaletteCreate(&p, in), RE_OK);
  EXPECT_EQ(p->entryCount, 256u);
  EXPECT_EQ(p->refCount, 1u);
  EXPECT_EQ(p->colourTable[10][2], 10);  // red
  PALETTEENTRY out[4];
  ASSERT_EQ(_rePaletteGetPalEntries(p, out, 100, 4), RE_OK);
  EXPECT_EQ(out[1].peRed, 101);
  EXPECT_EQ(out[1].peGreen, 101 ^ 0xFF);
  const PALETTEENTRY two[2] = {{1, 2, 3, 0}, {4, 5, 6, 0}};
  ASSERT_EQ(_rePaletteSetPalEntries(p, two, 254, 2), RE_OK);
  ASSERT_EQ(_rePaletteGetPalEntries(p, out, 253, 3), RE_OK);
  EXPECT_EQ(out[1].peRed, 1);
  EXPECT_EQ(out[2].peBlue, 6);
  EXPECT_EQ(p->colourTable[255][2], 255);  // writing leaves the colour table alone

  EXPECT_EQ(_rePaletteGetPalEntries(nullptr, out, 0, 1), RE_ERR_NO_PALETTE);
  EXPECT_EQ(_rePaletteSetPalEntries(nullptr, two, 0, 1), RE_ERR_NO_PALETTE);
  EXPECT_EQ(_rePaletteGetPalEntries(p, out, 255, 2), RE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(_rePaletteGetPalEntries(p, out, 0xFFFFFFFFu, 2), RE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(_rePaletteSetPalEntries(p, two, 1, 0xFFFFFFFFu), RE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(_rePaletteGetPalEntries(p, nullptr, 0, 1), RE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(_rePaletteCreate(nullptr, in), RE_ERR_BAD_ARGUMENT);
  rePALETTE* q = reinterpret_cast<rePALETTE*>(0x1);
  EXPECT_EQ(_rePaletteCreate(&q, nullptr), RE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(q, nullptr);
  EXPECT_EQ(_rePaletteDestroy(&q), RE_OK);
  EXPECT_EQ(_rePaletteDestroy(nullptr), RE_OK);
  EXPECT_EQ(_rePaletteDestroy(&p), RE_OK);
  EXPECT_EQ(p, nullptr);
}

// ---------------------------------------------------------------- remapping

// An 8-bit image whose palette entry 1 is pure red and entry 2 pure green.
std::vector<uint8_t> RedGreenImage() {
  std::vector<Bgr> c(256, Bgr{10, 10, 10});
  c[1] = Bgr{0, 0, 255};
  c[2] = Bgr{0, 255, 0};
  return MakeBmp(4, 2, 8, c, {{1, 2, 1, 0}, {2, 2, 1, 1}});
}

TEST_F(Api, RemapTakesTheLaterOfTiedEntries) {
  TempDir dir;
  std::string file = dir.Write("rg.bmp", RedGreenImage());
  PALETTEENTRY t[256];
  for (int i = 0; i < 256; ++i) t[i] = PALETTEENTRY{uint8_t(i), 0, 128, 0};
  t[3] = PALETTEENTRY{255, 0, 0, 0};
  t[7] = PALETTEENTRY{255, 0, 0, 0};
  t[9] = PALETTEENTRY{255, 0, 0, 0};
  t[5] = PALETTEENTRY{0, 250, 0, 0};
  rePALETTE* target = nullptr;
  ASSERT_EQ(_rePaletteCreate(&target, t), RE_OK);
  reBITMAP* b = nullptr;
  ASSERT_EQ(_reBitmapLoad(&b, file.c_str(), 0, nullptr), RE_OK);
  ASSERT_EQ(_reBitmapRemap(b, target), RE_OK);
  EXPECT_EQ(b->palette, target);
  EXPECT_EQ(target->refCount, 2u);
  void* bits;
  int32_t pitch;
  ASSERT_EQ(_reBitmapGetReadPtr(b, &bits, &pitch), RE_OK);
  const uint8_t* p = static_cast<uint8_t*>(bits);
  // Red: 3 becomes the best at distance 0, 7 ties with it and ends the search.
  // Green: 5 is nearest. Grey (10,10,10): 10 is nearest; 12, as far as 8, never ties
  // with the best so far.
  EXPECT_EQ(std::vector<uint8_t>(p, p + 4), (std::vector<uint8_t>{7, 5, 7, 10}));
  EXPECT_EQ(std::vector<uint8_t>(p + pitch, p + pitch + 4), (std::vector<uint8_t>{5, 5, 7, 7}));
  _reBitmapReleaseReadPtr(b, nullptr);
  _reBitmapDestroy(&b);
  EXPECT_EQ(target->refCount, 1u);
  _rePaletteDestroy(&target);
}

TEST_F(Api, LoadWithTargetPaletteAndReferenceCounts) {
  TempDir dir;
  std::string file = dir.Write("rg.bmp", RedGreenImage());
  PALETTEENTRY t[256];
  for (int i = 0; i < 256; ++i) t[i] = PALETTEENTRY{0, 0, uint8_t(i), 0};
  t[200] = PALETTEENTRY{255, 0, 0, 0};
  rePALETTE* target = nullptr;
  ASSERT_EQ(_rePaletteCreate(&target, t), RE_OK);
  reBITMAP *a = nullptr, *b = nullptr;
  ASSERT_EQ(_reBitmapLoad(&a, file.c_str(), 0, target), RE_OK);
  ASSERT_EQ(_reBitmapLoad(&b, file.c_str(), 0, target), RE_OK);
  EXPECT_EQ(a->palette, target);
  EXPECT_EQ(target->refCount, 3u);
  void* bits;
  int32_t pitch;
  ASSERT_EQ(_reBitmapGetReadPtr(a, &bits, &pitch), RE_OK);
  EXPECT_EQ(static_cast<uint8_t*>(bits)[0], 200);
  _reBitmapReleaseReadPtr(a, nullptr);

  // Destroyed once by its creator, the palette lives on in the bitmaps.
  rePALETTE* handle = target;
  EXPECT_EQ(_rePaletteDestroy(&handle), RE_OK);
  EXPECT_EQ(target->refCount, 2u);
  PALETTEENTRY e;
  EXPECT_EQ(_rePaletteGetPalEntries(a->palette, &e, 200, 1), RE_OK);
  EXPECT_EQ(e.peRed, 255);
  _reBitmapDestroy(&a);
  EXPECT_EQ(b->palette->refCount, 1u);
  _reBitmapDestroy(&b);  // frees the palette (AddressSanitizer checks no leak or reuse)
}

TEST_F(Api, RemapRefusals) {
  PALETTEENTRY t[256] = {};
  rePALETTE* target = nullptr;
  ASSERT_EQ(_rePaletteCreate(&target, t), RE_OK);
  reBITMAP *rgb = nullptr, *pal = nullptr;
  ASSERT_EQ(_reBitmapCreate(&rgb, 4, 4, 3, 0), RE_OK);
  ASSERT_EQ(_reBitmapCreate(&pal, 4, 4, 9, 0), RE_OK);
  EXPECT_EQ(_reBitmapRemap(pal, nullptr), RE_ERR_NO_PALETTE);
  EXPECT_EQ(_reBitmapRemap(rgb, target), RE_ERR_NOT_PALETTIZED);
  EXPECT_EQ(_reBitmapRemap(pal, target), RE_ERR_NO_PALETTE);  // the bitmap has none
  EXPECT_EQ(_reBitmapRemap(nullptr, target), RE_ERR_BAD_ARGUMENT);
  // A direct-colour bitmap given as load target check: 24-bit image with a target palette.
  TempDir dir;
  std::string f24 = dir.Write("x.bmp", MakeBmp(1, 1, 24, {}, {{1, 2, 3}}));
  reBITMAP* b = reinterpret_cast<reBITMAP*>(0x1);
  EXPECT_EQ(_reBitmapLoad(&b, f24.c_str(), 0, target), RE_ERR_NOT_PALETTIZED);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(target->refCount, 1u);
  _reBitmapDestroy(&rgb);
  _reBitmapDestroy(&pal);
  _rePaletteDestroy(&target);
}

TEST_F(Api, RemapAgainReleasesThePreviousPalette) {
  // Remapped twice: the second remap lets go of the first target, and a
  // bitmap that never had a palette (here 4-bit) cannot be remapped.
  TempDir dir;
  std::string file = dir.Write("rg.bmp", RedGreenImage());
  reBITMAP* img = nullptr;
  ASSERT_EQ(_reBitmapLoad(&img, file.c_str(), 0, nullptr), RE_OK);
  reBITMAP* four = nullptr;
  ASSERT_EQ(_reBitmapCreate(&four, 3, 1, 10, 0), RE_OK);
  ASSERT_EQ(_reBitmapRemap(four, img->palette), RE_ERR_NO_PALETTE);
  PALETTEENTRY t[256] = {};
  t[1] = PALETTEENTRY{255, 0, 0, 0};
  t[2] = PALETTEENTRY{0, 255, 0, 0};
  rePALETTE* first = nullptr;
  ASSERT_EQ(_rePaletteCreate(&first, t), RE_OK);
  ASSERT_EQ(_reBitmapRemap(img, first), RE_OK);  // 8-bit onto first: red 1, green 2
  // Swap red and green in a second palette.
  t[1] = PALETTEENTRY{0, 255, 0, 0};
  t[2] = PALETTEENTRY{255, 0, 0, 0};
  rePALETTE* second = nullptr;
  ASSERT_EQ(_rePaletteCreate(&second, t), RE_OK);
  ASSERT_EQ(_reBitmapRemap(img, second), RE_OK);
  void* bits;
  int32_t pitch;
  ASSERT_EQ(_reBitmapGetReadPtr(img, &bits, &pitch), RE_OK);
  EXPECT_EQ(std::vector<uint8_t>(static_cast<uint8_t*>(bits), static_cast<uint8_t*>(bits) + 3),
            (std::vector<uint8_t>{2, 1, 2}));
  _reBitmapReleaseReadPtr(img, nullptr);
  EXPECT_EQ(first->refCount, 1u);  // let go of by the second remap
  EXPECT_EQ(second->refCount, 2u);
  _reBitmapDestroy(&four);
  _reBitmapDestroy(&img);
  _rePaletteDestroy(&first);
  _rePaletteDestroy(&second);
}
