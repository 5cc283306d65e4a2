// nfwchk: the runtime checker that QIV carries as resource "EXE" 105 and runs
// before it installs a product that needs the shared runtime.
//
//   nfwchk [CONFIG]
//
// CONFIG defaults to this program's own path followed by ".config"
// ("NFWCHK.exe.config" beside "NFWCHK.exe"). It is XML:
//   <configuration><libraries><library name="libgtk-3.so.0"/>...</libraries></configuration>
// Every listed library is loaded with dlopen (all symbols bound at once, so
// a library whose own dependencies are missing fails as well).
//
// Exit status: 0 every library loaded, 1 one failed to load (named on
// standard error), 2 the configuration is missing or not well-formed.
#include <cstdio>
#include <dlfcn.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/text/text.h"
#include "support/markup_doc.h"

namespace {

std::string OwnPath(const char* argv0) {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n > 0) return std::string(buf, static_cast<size_t>(n));
  return argv0 ? argv0 : "";
}

}  // namespace

int main(int argc, char** argv) {
  const std::string config = argc > 1 ? argv[1] : OwnPath(argc > 0 ? argv[0] : nullptr) + ".config";
  support::MarkupDoc doc;
  if (!doc.LoadFromFile(config)) {
    std::fprintf(stderr, "nfwchk: can't read configuration %s\n", config.c_str());
    return 2;
  }
  if (!doc.NextElement(L"configuration")) {
    std::fprintf(stderr, "nfwchk: %s has no configuration element\n", config.c_str());
    return 2;
  }
  std::vector<std::string> names;
  doc.Descend();
  while (doc.NextElement(L"libraries")) {
    doc.Descend();
    while (doc.NextElement(L"library")) {
      std::wstring name = doc.AttributeValue(L"name");
      if (!name.empty()) names.push_back(platform::WideToUtf8String(name));
    }
    doc.Ascend();
  }
  int status = 0;
  for (const std::string& name : names) {
    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char* why = dlerror();
      std::fprintf(stderr, "nfwchk: %s: %s\n", name.c_str(), why ? why : "not loadable");
      status = 1;
      continue;
    }
    // Libraries are left loaded: unloading GUI toolkits is not supported by
    // all of them, and the process ends right away.
  }
  return status;
}
