#include "platform/ddraw/ddraw.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "platform/ddraw/pixels.h"

using namespace ddraw;

namespace {

int EmulationIndex() {
  auto drivers = EnumerateDrivers();
  for (size_t i = 0; i < drivers.size(); ++i)
    if (drivers[i].software_emulation) return int(i);
  return -1;
}

struct Emu : ::testing::Test {
  void SetUp() override {
    ASSERT_GE(EmulationIndex(), 0);
    ASSERT_EQ(DirectDraw::Create(EmulationIndex(), &dd), Status::kOk);
  }
  void TearDown() override {
    if (dd) dd->Release();
  }
  DirectDraw* dd = nullptr;
};

}  // namespace

TEST(Enumeration, EmulationDriverComesLastWithItsFixedModes) {
  auto drivers = EnumerateDrivers();
  ASSERT_FALSE(drivers.empty());
  const DriverInfo& emu = drivers.back();
  EXPECT_TRUE(emu.software_emulation);
  EXPECT_TRUE(drivers.front().primary);
  EXPECT_TRUE(drivers.front().id.empty());
  EXPECT_EQ(emu.primary, drivers.size() == 1);
  EXPECT_EQ(emu.modes.size(), 40u);  // 8 sizes x 5 depths
  ASSERT_EQ(emu.devices.size(), 1u);
  EXPECT_FALSE(emu.devices[0].hardware);
  for (const DriverInfo& d : drivers) {
    EXPECT_LE(d.description.size(), 64u);
    EXPECT_LE(d.name.size(), 16u);
    EXPECT_LE(d.modes.size(), 64u);
    EXPECT_LE(d.devices.size(), 4u);
  }
  // Caps: at most 2 drivers means one display and the emulation driver.
  auto capped = EnumerateDrivers(1, 0, 3);
  ASSERT_EQ(capped.size(), 1u);
  EXPECT_TRUE(capped[0].software_emulation);
  EXPECT_TRUE(capped[0].devices.empty());
  EXPECT_EQ(capped[0].modes.size(), 3u);
}

TEST_F(Emu, ModeChangesLoseSurfacesUntilRestored) {
  Surface* s = nullptr;
  ASSERT_EQ(dd->CreateSurface(8, 8, RgbFormat(16, 0, 0xF800, 0x07E0, 0x1F), kSurfOffscreen, &s), Status::kOk);
  EXPECT_EQ(dd->SetDisplayMode(640, 480, 16), Status::kNoExclusive);
  ASSERT_EQ(dd->SetCooperativeLevel(0, true), Status::kOk);
  EXPECT_EQ(dd->SetDisplayMode(641, 480, 16), Status::kUnsupported);
  EXPECT_FALSE(s->IsLost());
  ASSERT_EQ(dd->SetDisplayMode(640, 480, 16), Status::kOk);
  EXPECT_TRUE(s->IsLost());
  void* bits;
  int32_t pitch;
  EXPECT_EQ(s->Lock(&bits, &pitch), Status::kLost);
  EXPECT_EQ(s->Fill(nullptr, 1), Status::kLost);
  EXPECT_EQ(s->Restore(), Status::kOk);
  EXPECT_EQ(s->Fill(nullptr, 1), Status::kOk);
  // A second driver object cannot take exclusive mode away.
  DirectDraw* other = nullptr;
  ASSERT_EQ(DirectDraw::Create(EmulationIndex(), &other), Status::kOk);
  EXPECT_EQ(other->SetCooperativeLevel(0, true), Status::kNoExclusive);
  other->Release();
  EXPECT_EQ(dd->RestoreDisplayMode(), Status::kOk);
  EXPECT_TRUE(s->IsLost());
  s->Release();
}

TEST_F(Emu, FlipChainsRotateAndExplicitTargetsSwap) {
  ASSERT_EQ(dd->SetCooperativeLevel(0, true), Status::kOk);
  ASSERT_EQ(dd->SetDisplayMode(320, 200, 8), Status::kOk);
  Surface* front = nullptr;
  ASSERT_EQ(dd->CreatePrimary(2, &front), Status::kOk);
  Surface* back = nullptr;
  ASSERT_EQ(front->GetAttachedSurface(&back), Status::kOk);
  EXPECT_EQ(front->Format().bits, 8u);
  EXPECT_TRUE(front->Format().palettized);
  // Mark the three buffers 1 (front), 2 (back), 3 (third).
  front->Fill(nullptr, 1);
  back->Fill(nullptr, 2);
  ASSERT_EQ(front->Flip(nullptr, true), Status::kOk);  // 1 2 3? the third starts at 0
  EXPECT_EQ(front->Data()[0], 2);
  EXPECT_EQ(back->Data()[0], 0);  // the third buffer moved up
  ASSERT_EQ(front->Flip(nullptr, true), Status::kOk);
  EXPECT_EQ(front->Data()[0], 0);
  EXPECT_EQ(back->Data()[0], 1);
  ASSERT_EQ(front->Flip(back, true), Status::kOk);  // trade places
  EXPECT_EQ(front->Data()[0], 1);
  EXPECT_EQ(back->Data()[0], 0);
  void* bits;
  int32_t pitch;
  ASSERT_EQ(back->Lock(&bits, &pitch), Status::kOk);
  EXPECT_EQ(front->Flip(nullptr, true), Status::kBusy);
  EXPECT_EQ(back->Unlock(), Status::kOk);
  EXPECT_EQ(back->Unlock(), Status::kNotLocked);
  EXPECT_EQ(back->Flip(nullptr, true), Status::kNoAttachment);
  back->Release();
  front->Release();
  dd->RestoreDisplayMode();
}

TEST_F(Emu, VideoMemoryBudgetAndReferenceCounts) {
  Surface* s = nullptr;
  EXPECT_EQ(dd->CreateSurface(2047, 2047, RgbFormat(32, 0, 0xFF0000, 0xFF00, 0xFF), kSurfVideoMemory, &s),
            Status::kOutOfVideoMemory);
  EXPECT_EQ(dd->CreateSurface(2047, 2047, RgbFormat(32, 0, 0xFF0000, 0xFF00, 0xFF), kSurfSystemMemory, &s),
            Status::kOk);
  s->Release();
  EXPECT_EQ(dd->CreateSurface(0, 1, PaletteFormat(8), 0, &s), Status::kInvalidParams);
  EXPECT_EQ(dd->CreateSurface(1, 1, PaletteFormat(3), 0, &s), Status::kInvalidParams);
  PaletteEntry e[256] = {};
  Palette* p = nullptr;
  ASSERT_EQ(dd->CreatePalette(e, &p), Status::kOk);
  ASSERT_EQ(dd->CreateSurface(4, 4, PaletteFormat(8), 0, &s), Status::kOk);
  EXPECT_EQ(s->SetPalette(p), Status::kOk);
  EXPECT_EQ(p->RefCount(), 2u);
  Palette* got = nullptr;
  EXPECT_EQ(s->GetPalette(&got), Status::kOk);
  EXPECT_EQ(got, p);
  EXPECT_EQ(p->RefCount(), 3u);
  got->Release();
  s->Release();
  EXPECT_EQ(p->RefCount(), 1u);
  Surface* rgb = nullptr;
  ASSERT_EQ(dd->CreateSurface(4, 4, RgbFormat(16, 0, 0xF800, 0x7E0, 0x1F), 0, &rgb), Status::kOk);
  EXPECT_EQ(rgb->SetPalette(p), Status::kUnsupported);
  EXPECT_EQ(rgb->GetPalette(&got), Status::kFailed);
  rgb->Release();
  p->Release();
}

// Keyed copies against a plain per-pixel reference, at odd widths and
// offsets so that vector bodies and their tails both run.
template <typename T>
void CheckKeyed(uint32_t bits) {
  std::mt19937 rng(bits);
  const uint32_t W = 67, H = 5, pitch = 80 * 4;
  for (int mode = 1; mode <= 3; ++mode) {
    std::vector<uint8_t> src(pitch * H), dst(pitch * H);
    const uint32_t bpp = bits / 8;
    for (auto& b : src) b = uint8_t(rng() % 3);  // many key hits
    for (auto& b : dst) b = uint8_t(rng() % 3);
    pixels::KeySpec k;
    k.use_src = mode & 1;
    k.use_dst = mode & 2;
    k.src = pixels::GetPixel(src.data(), 3, bits);
    k.dst = pixels::GetPixel(dst.data(), 5, bits);
    std::vector<uint8_t> want = dst;
    for (uint32_t y = 0; y < H; ++y)
      for (uint32_t x = 0; x < W - 2; ++x) {
        uint32_t v = pixels::GetPixel(src.data() + y * pitch, x + 1, bits);
        uint32_t d = pixels::GetPixel(want.data() + y * pitch, x + 2, bits);
        if (k.use_src && v == k.src) continue;
        if (k.use_dst && d != k.dst) continue;
        pixels::SetPixel(want.data() + y * pitch, x + 2, bits, v);
      }
    pixels::Copy(dst.data(), pitch, 2, 0, src.data(), pitch, 1, 0, W - 2, H, bits, k);
    EXPECT_EQ(dst, want) << "bits " << bits << " mode " << mode << " bpp " << bpp;
  }
}

TEST(Pixels, KeyedCopiesMatchTheReference) {
  CheckKeyed<uint8_t>(8);
  CheckKeyed<uint16_t>(16);
  CheckKeyed<uint8_t>(24);
  CheckKeyed<uint32_t>(32);
  CheckKeyed<uint8_t>(4);
  CheckKeyed<uint8_t>(2);
  CheckKeyed<uint8_t>(1);
}

TEST(Pixels, OverlappingCopiesInBothDirections) {
  for (uint32_t bits : {1u, 4u, 8u, 16u, 24u, 32u}) {
    for (int dir = -1; dir <= 1; dir += 2) {
      const uint32_t pitch = 64, W = 10, H = 10;
      std::vector<uint8_t> buf(pitch * H);
      for (size_t i = 0; i < buf.size(); ++i) buf[i] = uint8_t(i * 7 + 1);
      std::vector<uint8_t> orig = buf;
      uint32_t sx = dir > 0 ? 0 : 2, sy = dir > 0 ? 0 : 2, dx = dir > 0 ? 2 : 0, dy = dir > 0 ? 2 : 0;
      pixels::Copy(buf.data(), pitch, dx, dy, buf.data(), pitch, sx, sy, W - 2, H - 2, bits, {});
      for (uint32_t y = 0; y < H - 2; ++y)
        for (uint32_t x = 0; x < W - 2; ++x)
          ASSERT_EQ(pixels::GetPixel(buf.data() + (dy + y) * pitch, dx + x, bits),
                    pixels::GetPixel(orig.data() + (sy + y) * pitch, sx + x, bits))
              << bits << " " << dir << " " << x << "," << y;
    }
  }
}

TEST(Pixels, ToArgbExpandsChannelsAndPalettes) {
  uint16_t px[3] = {0xF800, 0x07E0, 0x0821};
  uint32_t out[3];
  pixels::ToArgb(reinterpret_cast<uint8_t*>(px), 6, 3, 1, RgbFormat(16, 0, 0xF800, 0x07E0, 0x1F), nullptr, out, 3);
  EXPECT_EQ(out[0], 0xFFFF0000u);
  EXPECT_EQ(out[1], 0xFF00FF00u);
  EXPECT_EQ(out[2], 0xFF080408u);
  PaletteEntry pal[256] = {};
  pal[0x21] = PaletteEntry{1, 2, 3, 0};
  uint8_t idx[2] = {0x21, 0};
  pixels::ToArgb(idx, 2, 2, 1, PaletteFormat(8), pal, out, 2);
  EXPECT_EQ(out[0], 0xFF010203u);
  EXPECT_EQ(out[1], 0xFF000000u);
}
