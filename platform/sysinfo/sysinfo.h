// Facts about the machine: system version, bitness, random bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// The kernel release reduced to "major.minor.patch" (e.g. "6.1.0").
std::string SystemVersion();
// "64" on a 64-bit kernel, else "32".
std::string SystemBits();
bool Is64BitSystem();
// Fills `out` from the system random source; false when it fails.
bool RandomBytes(void* out, size_t size);

}  // namespace platform
