// Rastelle's blits and fills through its exported interface, in megapixels
// per second, beside a plain memcpy of the same rows (the bandwidth limit)
// and SDL's own blitter (SDL_BlitSurface, with SDL_SetColorKey for keyed
// blits) on surfaces of the same size and format (16-bit 5-6-5).
// After the runs a table of ratios is printed.
//
// Build without sanitizers (CMAKE_BUILD_TYPE=Release) for meaningful figures.
#include <SDL2/SDL.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "rastelle.h"

namespace {

constexpr uint16_t kKey = 0xF81F;
const int kSizes[][2] = {{640, 480}, {1024, 768}, {1920, 1080}};

// A sprite-sheet-like source: runs of key colour between runs of pixels,
// about half of them keyed.
void Pattern(uint16_t* row, int w, int y) {
  for (int x = 0; x < w; ++x) row[x] = ((x + y) / 7) % 2 ? kKey : uint16_t(x * 31 + y);
}

void SetRate(benchmark::State& state, int w, int h) {
  state.counters["MP/s"] =
      benchmark::Counter(double(w) * h / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

struct Bitmaps {
  reBITMAP* src = nullptr;
  reBITMAP* dst = nullptr;
  Bitmaps(int w, int h) {
    _reBitmapCreate(&src, w, h, 3, 0);
    _reBitmapCreate(&dst, w, h, 3, 0);
    void* bits;
    int32_t pitch;
    _reBitmapGetWritePtr(src, &bits, &pitch);
    for (int y = 0; y < h; ++y) Pattern(reinterpret_cast<uint16_t*>(static_cast<uint8_t*>(bits) + y * pitch), w, y);
    _reBitmapReleaseWritePtr(src, nullptr);
    _reBitmapSetColourKey(src, kKey, 16);
  }
  ~Bitmaps() {
    _reBitmapDestroy(&src);
    _reBitmapDestroy(&dst);
  }
};

struct SdlSurfaces {
  SDL_Surface* src;
  SDL_Surface* dst;
  SdlSurfaces(int w, int h) {
    src = SDL_CreateRGBSurfaceWithFormat(0, w, h, 16, SDL_PIXELFORMAT_RGB565);
    dst = SDL_CreateRGBSurfaceWithFormat(0, w, h, 16, SDL_PIXELFORMAT_RGB565);
    SDL_LockSurface(src);
    for (int y = 0; y < h; ++y) Pattern(reinterpret_cast<uint16_t*>(static_cast<uint8_t*>(src->pixels) + y * src->pitch), w, y);
    SDL_UnlockSurface(src);
    SDL_SetSurfaceBlendMode(src, SDL_BLENDMODE_NONE);
  }
  ~SdlSurfaces() {
    SDL_FreeSurface(src);
    SDL_FreeSurface(dst);
  }
};

void BM_Memcpy(benchmark::State& state) {
  const int w = int(state.range(0)), h = int(state.range(1));
  std::vector<uint16_t> a(size_t(w) * h, 1), b(size_t(w) * h);
  for (auto _ : state) {
    for (int y = 0; y < h; ++y) std::memcpy(&b[size_t(y) * w], &a[size_t(y) * w], size_t(w) * 2);
    benchmark::DoNotOptimize(b.data());
    benchmark::ClobberMemory();
  }
  SetRate(state, w, h);
}

void BM_RastelleBlit(benchmark::State& state) {
  const int w = int(state.range(0)), h = int(state.range(1));
  Bitmaps bm(w, h);
  for (auto _ : state)
    if (_reBitmapBlitToBitmap(bm.dst, 0, 0, bm.src, 0, 0, w, h, RE_BLIT_WAIT) != RE_OK) state.SkipWithError("blit");
  SetRate(state, w, h);
}

void BM_RastelleKeyedBlit(benchmark::State& state) {
  const int w = int(state.range(0)), h = int(state.range(1));
  Bitmaps bm(w, h);
  for (auto _ : state)
    if (_reBitmapBlitToBitmap(bm.dst, 0, 0, bm.src, 0, 0, w, h, RE_BLIT_WAIT | RE_BLIT_SRCKEY) != RE_OK)
      state.SkipWithError("blit");
  SetRate(state, w, h);
}

void BM_RastelleFill(benchmark::State& state) {
  const int w = int(state.range(0)), h = int(state.range(1));
  Bitmaps bm(w, h);
  for (auto _ : state)
    if (_reBitmapClear(bm.dst, 0, 0, w, h, RGB(10, 200, 30)) != RE_OK) state.SkipWithError("fill");
  SetRate(state, w, h);
}

void BM_SdlBlit(benchmark::State& state) {
  const int w = int(state.range(0)), h = int(state.range(1));
  SdlSurfaces s(w, h);
  for (auto _ : state) SDL_BlitSurface(s.src, nullptr, s.dst, nullptr);
  SetRate(state, w, h);
}

void BM_SdlKeyedBlit(benchmark::State& state) {
  const int w = int(state.range(0)), h = int(state.range(1));
  SdlSurfaces s(w, h);
  SDL_SetColorKey(s.src, SDL_TRUE, kKey);
  for (auto _ : state) SDL_BlitSurface(s.src, nullptr, s.dst, nullptr);
  SetRate(state, w, h);
}

void BM_SdlFill(benchmark::State& state) {
  const int w = int(state.range(0)), h = int(state.range(1));
  SdlSurfaces s(w, h);
  for (auto _ : state) SDL_FillRect(s.dst, nullptr, 0x1234);
  SetRate(state, w, h);
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (auto& s : kSizes) b->Args({s[0], s[1]});
}

BENCHMARK(BM_Memcpy)->Apply(Sizes);
BENCHMARK(BM_RastelleBlit)->Apply(Sizes);
BENCHMARK(BM_SdlBlit)->Apply(Sizes);
BENCHMARK(BM_RastelleKeyedBlit)->Apply(Sizes);
BENCHMARK(BM_SdlKeyedBlit)->Apply(Sizes);
BENCHMARK(BM_RastelleFill)->Apply(Sizes);
BENCHMARK(BM_SdlFill)->Apply(Sizes);

// Keeps each run's MP/s while printing as usual.
class Collector : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> rate;  // "BM_x/640/480" -> MP/s
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      auto it = r.counters.find("MP/s");
      if (it != r.counters.end()) rate[r.benchmark_name()] = it->second;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  std::printf("\n%-11s %12s %12s %12s %12s %12s\n", "size", "blit/memcpy", "blit/SDL", "keyed/SDL", "fill/memcpy",
              "fill/SDL");
  for (auto& s : kSizes) {
    char sz[32];
    std::snprintf(sz, sizeof sz, "/%d/%d", s[0], s[1]);
    auto get = [&](const char* name) {
      auto it = collector.rate.find(std::string(name) + sz);
      return it == collector.rate.end() ? 0.0 : it->second;
    };
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    double mem = get("BM_Memcpy");
    std::printf("%4dx%-6d %11.2fx %11.2fx %11.2fx %11.2fx %11.2fx\n", s[0], s[1], ratio(get("BM_RastelleBlit"), mem),
                ratio(get("BM_RastelleBlit"), get("BM_SdlBlit")),
                ratio(get("BM_RastelleKeyedBlit"), get("BM_SdlKeyedBlit")), ratio(get("BM_RastelleFill"), mem),
                ratio(get("BM_RastelleFill"), get("BM_SdlFill")));
  }
  benchmark::Shutdown();
  return 0;
}
