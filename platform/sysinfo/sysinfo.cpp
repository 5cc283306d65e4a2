#include "platform/sysinfo/sysinfo.h"

#include <cerrno>
#include <cstring>
#include <sys/random.h>
#include <sys/utsname.h>

namespace platform {

std::string SystemVersion() {
  utsname u{};
  if (uname(&u) != 0) return "0.0.0";
  // "6.1.0-18-amd64" -> "6.1.0": digits and dots only, at most three parts.
  std::string out;
  int parts = 1;
  for (const char* p = u.release; *p; ++p) {
    if (*p >= '0' && *p <= '9') {
      out.push_back(*p);
    } else if (*p == '.' && parts < 3 && !out.empty() && out.back() != '.') {
      out.push_back('.');
      ++parts;
    } else {
      break;
    }
  }
  if (!out.empty() && out.back() == '.') out.pop_back();
  while (parts < 3) {
    out += ".0";
    ++parts;
  }
  return out;
}

bool Is64BitSystem() {
  utsname u{};
  if (uname(&u) != 0) return sizeof(void*) == 8;
  return std::strstr(u.machine, "64") != nullptr;
}

std::string SystemBits() { return Is64BitSystem() ? "64" : "32"; }

bool RandomBytes(void* out, size_t size) {
  auto* p = static_cast<unsigned char*>(out);
  while (size > 0) {
    ssize_t n = getrandom(p, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace platform
