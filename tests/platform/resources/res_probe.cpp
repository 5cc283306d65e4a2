// A small program that reads its own resources, for the resource tests.
//   res_probe TYPE ID   writes the resource's bytes to standard output
//                       (exit 3 and the error text when it is missing)
//   res_probe version   writes the file version of its own version resource
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/resources/resources.h"

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "version") {
    auto v = platform::GetOwnFileVersion();
    if (!v) {
      std::fprintf(stderr, "%s\n", platform::ResourceLastErrorText().c_str());
      return 3;
    }
    std::printf("%s %s\n", platform::FormatVersion(v->file).c_str(), platform::FormatVersion(v->product).c_str());
    return 0;
  }
  if (argc != 3) return 2;
  auto data = platform::LoadResource(argv[1], static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)));
  if (!data) {
    std::fprintf(stderr, "%s\n", platform::ResourceLastErrorText().c_str());
    return 3;
  }
  if (!data->empty()) std::fwrite(data->data(), 1, data->size(), stdout);
  return 0;
}
