// Tick counts and local time.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>

namespace platform {

// Milliseconds of CLOCK_MONOTONIC, truncated to 32 bits like a tick count.
uint32_t TickCount();
// Milliseconds of CLOCK_MONOTONIC, 64 bits.
uint64_t TickCount64();

// Seconds since 1970. Tests may replace the source with SetTimeSourceForTesting.
int64_t Now();
void SetTimeSourceForTesting(std::function<int64_t()> source);  // empty: real clock

// Local broken-down time of `t`.
std::tm LocalTime(int64_t t);
// Minutes that local time is ahead of UTC at `t` (negative west of Greenwich).
int LocalOffsetMinutes(int64_t t);

}  // namespace platform
