#include "platform/clock/clock.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <time.h>

namespace platform {

namespace {
std::mutex g_source_mutex;
std::shared_ptr<std::function<int64_t()>> g_source;  // guarded by g_source_mutex
std::atomic<bool> g_has_source{false};
}  // namespace

uint64_t TickCount64() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint32_t TickCount() { return static_cast<uint32_t>(TickCount64()); }

int64_t Now() {
  if (g_has_source.load(std::memory_order_acquire)) {
    std::shared_ptr<std::function<int64_t()>> src;
    {
      std::lock_guard<std::mutex> lock(g_source_mutex);
      src = g_source;
    }
    if (src) return (*src)();
  }
  return static_cast<int64_t>(::time(nullptr));
}

void SetTimeSourceForTesting(std::function<int64_t()> source) {
  std::lock_guard<std::mutex> lock(g_source_mutex);
  if (source) {
    g_source = std::make_shared<std::function<int64_t()>>(std::move(source));
    g_has_source.store(true, std::memory_order_release);
  } else {
    g_source.reset();
    g_has_source.store(false, std::memory_order_release);
  }
}

std::tm LocalTime(int64_t t) {
  time_t tt = static_cast<time_t>(t);
  std::tm out{};
  localtime_r(&tt, &out);
  return out;
}

int LocalOffsetMinutes(int64_t t) {
  std::tm tm = LocalTime(t);
  return static_cast<int>(tm.tm_gmtoff / 60);
}

}  // namespace platform
