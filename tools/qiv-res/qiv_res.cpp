// qiv-res: lists, extracts, adds, replaces and removes the resources of a
// built executable (the ".qivres" bundle, see platform/resources), and shows
// the file version of an ELF or PE file.
//
//   qiv-res list BINARY                     one line a resource: TYPE ID SIZE
//   qiv-res extract BINARY TYPE ID OUT      OUT "-" writes to standard output
//   qiv-res add BINARY TYPE ID FILE         fails when the resource exists
//   qiv-res replace BINARY TYPE ID FILE     fails when it does not exist
//   qiv-res remove BINARY TYPE ID
//   qiv-res stamp BINARY TYPE:ID:FILE...    adds or replaces each one
//   qiv-res version FILE                    file and product version
//
// BINARY is rewritten atomically (a new file beside it, renamed over it,
// with the same mode). Exit status: 0 done, 1 failed, 2 bad command line.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/resources/resources.h"

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;

int Usage(const std::string& why) {
  if (!why.empty()) std::fprintf(stderr, "qiv-res: %s\n", why.c_str());
  std::fprintf(stderr,
               "usage: qiv-res list BINARY\n"
               "       qiv-res extract BINARY TYPE ID OUT\n"
               "       qiv-res add BINARY TYPE ID FILE\n"
               "       qiv-res replace BINARY TYPE ID FILE\n"
               "       qiv-res remove BINARY TYPE ID\n"
               "       qiv-res stamp BINARY TYPE:ID:FILE...\n"
               "       qiv-res version FILE\n"
               "TYPE: 1 to 16 letters, digits or \"_\" (XML, ZIPRES, PNG, EXE, ICON, VERSION ...); "
               "ID: a decimal number\n");
  return kUsage;
}

int Fail(const std::string& why) {
  std::fprintf(stderr, "qiv-res: %s\n", why.c_str());
  return kFailed;
}

bool ParseId(const std::string& text, uint32_t& id) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > 0xFFFFFFFFu) return false;
  id = static_cast<uint32_t>(v);
  return true;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& out, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "can't read " + path + ": " + std::strerror(errno);
    return false;
  }
  out.assign(std::istreambuf_iterator<char>(in), {});
  if (in.bad()) {
    error = "can't read " + path;
    return false;
  }
  return true;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
  if (path == "-") {
    size_t n = bytes.empty() ? 0 : std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    if (n != bytes.size() || std::fflush(stdout) != 0) {
      error = "can't write to standard output";
      return false;
    }
    return true;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    error = "can't write " + path;
    return false;
  }
  return true;
}

// TYPE and ID from the command line; false after printing why.
bool TypeAndId(const std::string& type, const std::string& id_text, uint32_t& id, int& rc) {
  if (!platform::IsValidResourceType(type)) {
    rc = Usage("bad resource type \"" + type + "\"");
    return false;
  }
  if (!ParseId(id_text, id)) {
    rc = Usage("bad resource id \"" + id_text + "\"");
    return false;
  }
  return true;
}

std::string Name(const std::string& type, uint32_t id) {
  return platform::NormalizeResourceType(type) + " " + std::to_string(id);
}

int List(const std::string& binary) {
  auto bundle = platform::ReadBundleFromFile(binary);
  if (!bundle) return Fail(platform::ResourceLastErrorText());
  for (const platform::Resource& r : bundle->resources())
    std::printf("%-16s %10u %10zu\n", r.type.c_str(), r.id, r.data.size());
  return 0;
}

int Version(const std::string& file) {
  auto v = platform::GetFileVersion(file);
  if (!v) return Fail(platform::ResourceLastErrorText());
  std::printf("FileVersion=%s\nProductVersion=%s\n", platform::FormatVersion(v->file).c_str(),
              platform::FormatVersion(v->product).c_str());
  for (const auto& [name, value] : v->strings) std::printf("%s=%s\n", name.c_str(), value.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("");
  const std::string cmd = args[0];
  auto want = [&](size_t n) { return args.size() == n + 1; };

  if (cmd == "list") {
    if (!want(1)) return Usage("list takes BINARY");
    return List(args[1]);
  }
  if (cmd == "version") {
    if (!want(1)) return Usage("version takes FILE");
    return Version(args[1]);
  }

  int rc = 0;
  uint32_t id = 0;
  if (cmd == "extract") {
    if (!want(4)) return Usage("extract takes BINARY TYPE ID OUT");
    if (!TypeAndId(args[2], args[3], id, rc)) return rc;
    auto bundle = platform::ReadBundleFromFile(args[1]);
    if (!bundle) return Fail(platform::ResourceLastErrorText());
    const platform::Resource* r = bundle->Find(args[2], id);
    if (!r) return Fail("no resource " + Name(args[2], id) + " in " + args[1]);
    std::string error;
    if (!WriteFile(args[4], r->data, error)) return Fail(error);
    return 0;
  }

  if (cmd == "add" || cmd == "replace" || cmd == "remove" || cmd == "stamp") {
    struct Change {
      std::string type;
      uint32_t id;
      std::string file;
    };
    std::vector<Change> changes;
    if (cmd == "stamp") {
      if (args.size() < 3) return Usage("stamp takes BINARY TYPE:ID:FILE...");
      for (size_t i = 2; i < args.size(); ++i) {
        const std::string& spec = args[i];
        size_t c1 = spec.find(':');
        size_t c2 = c1 == std::string::npos ? std::string::npos : spec.find(':', c1 + 1);
        if (c2 == std::string::npos || c2 + 1 >= spec.size())
          return Usage("\"" + spec + "\" is not TYPE:ID:FILE");
        Change c{spec.substr(0, c1), 0, spec.substr(c2 + 1)};
        if (!TypeAndId(c.type, spec.substr(c1 + 1, c2 - c1 - 1), c.id, rc)) return rc;
        changes.push_back(c);
      }
    } else if (cmd == "remove") {
      if (!want(3)) return Usage("remove takes BINARY TYPE ID");
      if (!TypeAndId(args[2], args[3], id, rc)) return rc;
      changes.push_back({args[2], id, ""});
    } else {
      if (!want(4)) return Usage(cmd + " takes BINARY TYPE ID FILE");
      if (!TypeAndId(args[2], args[3], id, rc)) return rc;
      changes.push_back({args[2], id, args[4]});
    }

    auto bundle = platform::ReadBundleFromFile(args[1]);
    if (!bundle) return Fail(platform::ResourceLastErrorText());
    for (const Change& c : changes) {
      bool exists = bundle->Find(c.type, c.id) != nullptr;
      if (cmd == "add" && exists)
        return Fail(Name(c.type, c.id) + " is already in " + args[1] + " (use replace)");
      if ((cmd == "replace" || cmd == "remove") && !exists)
        return Fail("no resource " + Name(c.type, c.id) + " in " + args[1]);
      if (cmd == "remove") {
        bundle->Remove(c.type, c.id);
        continue;
      }
      std::vector<uint8_t> data;
      std::string error;
      if (!ReadFile(c.file, data, error)) return Fail(error);
      if (data.size() > 0xFFFFFFF0u) return Fail(c.file + " is too large for a resource");
      bundle->Set(c.type, c.id, std::move(data));
    }
    if (!platform::WriteBundleToFile(args[1], *bundle)) return Fail(platform::ResourceLastErrorText());
    return 0;
  }
  return Usage("unknown command \"" + cmd + "\"");
}
