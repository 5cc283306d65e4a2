// A small program linked with the probes, which tests copy and stamp with
// resources (checker programs, a version) to drive what needs the own
// executable's resources.
//   env_probe dotnet REQUIRED CONFIG_FOLDER TIMEOUT_MS|default [old]
//       exit 10 when IsDotNetReady answers true, 11 when false
//   env_probe version     prints OwnFileVersion()
//   env_probe shortcut    CreateDesktopShortcut(), exit 0 on success
//   env_probe browser [LIB]  prints BrowserVersion(), after loading LIB
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <string>

#include "app/dotnet_check.h"
#include "app/env_probes.h"
#include "platform/text/text.h"

int main(int argc, char** argv) {
  const std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd == "dotnet" && (argc == 5 || argc == 6)) {
    if (argc == 6 && std::string(argv[5]) == "old") SetIsVistaOrLaterForTesting(0);
    const std::wstring required = platform::Utf8ToWideString(argv[2]);
    const std::wstring folder = platform::Utf8ToWideString(argv[3]);
    bool ok = std::string(argv[4]) == "default"
                  ? IsDotNetReady(required, folder)
                  : IsDotNetReady(required, folder, static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10)));
    return ok ? 10 : 11;
  }
  if (cmd == "version") {
    std::printf("%s\n", platform::WideToUtf8String(OwnFileVersion()).c_str());
    return 0;
  }
  if (cmd == "browser") {
    if (argc > 2 && !dlopen(argv[2], RTLD_NOW | RTLD_GLOBAL)) return 3;
    std::printf("%s\n", platform::WideToUtf8String(BrowserVersion()).c_str());
    return 0;
  }
  if (cmd == "shortcut") return CreateDesktopShortcut() ? 0 : 1;
  return 2;
}
