// Finds and selects the software-emulation device through the public interface.
#pragma once

#include <string>

#include "rastelle.h"

inline std::string DeviceName(uint32_t index) {
  char buf[256] = {};
  if (_reDisplayGetDeviceName(index, buf, sizeof buf) != RE_OK) return "";
  return buf;
}

// Index of the emulation driver's device, or -1.
inline int EmulationDevice() {
  uint32_t n = 0;
  _reDisplayGetNumDevices(&n);
  for (uint32_t i = 0; i < n; ++i)
    if (DeviceName(i).rfind("[Rastelle software emulation]", 0) == 0) return int(i);
  return -1;
}

inline bool SelectEmulation() {
  int i = EmulationDevice();
  return i >= 0 && _reDisplaySetDevice(uint32_t(i)) == RE_OK;
}
