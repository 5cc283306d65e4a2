#include <cstring>
#include <strings.h>

#include "platform/resources/byte_source.h"
#include "platform/resources/resources.h"

namespace platform {

using resources_detail::ByteSource;
using resources_detail::FileSource;
using resources_detail::MemorySource;

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, const char* b) {
  return a.size() == std::strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

// The VERSION resource of a bundle: id 1, else the lowest id.
std::optional<VersionInfo> BundleVersion(const ResourceBundle* bundle, const std::string& path, std::string& error) {
  if (!bundle) {
    error = ResourceLastErrorText();
    return std::nullopt;
  }
  const Resource* r = bundle->Find("VERSION", 1);
  if (!r) {
    for (const Resource& c : bundle->resources())
      if (c.type == "VERSION") {
        r = &c;
        break;
      }
  }
  if (!r) {
    error = path + " has no version resource";
    return std::nullopt;
  }
  std::string perr;
  auto info = ParseVersionResource(r->data, &perr);
  if (!info) error = path + ": " + perr;
  return info;
}

}  // namespace

std::string FormatVersion(const VersionParts& v) {
  return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." + std::to_string(v[3]);
}

std::optional<VersionParts> ParseVersion(std::string_view text) {
  VersionParts v{};
  size_t part = 0;
  size_t i = 0;
  while (true) {
    if (part == 4) return std::nullopt;
    size_t start = i;
    uint32_t n = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      n = n * 10 + static_cast<uint32_t>(text[i] - '0');
      if (n > 0xFFFF) return std::nullopt;
      ++i;
    }
    if (i == start) return std::nullopt;
    v[part++] = static_cast<uint16_t>(n);
    if (i == text.size()) return v;
    if (text[i] != '.') return std::nullopt;
    ++i;
  }
}

std::optional<VersionInfo> ParseVersionResource(std::span<const uint8_t> bytes, std::string* error) {
  auto fail = [&](std::string text) -> std::optional<VersionInfo> {
    if (error) *error = "bad version resource: " + text;
    return std::nullopt;
  };
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (text.find('\0') != std::string_view::npos) return fail("it holds a zero byte");
  VersionInfo info;
  bool have_file = false, have_product = false;
  size_t line_no = 0;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = Trim(text.substr(0, nl));
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    ++line_no;
    if (line.empty() || line.front() == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return fail("line " + std::to_string(line_no) + " has no \"=\"");
    std::string_view name = Trim(line.substr(0, eq));
    std::string_view value = Trim(line.substr(eq + 1));
    if (name.empty()) return fail("line " + std::to_string(line_no) + " has no name");
    if (SameName(name, "FileVersion") || SameName(name, "ProductVersion")) {
      auto v = ParseVersion(value);
      if (!v) return fail("line " + std::to_string(line_no) + ": \"" + std::string(value) + "\" is not a version");
      if (SameName(name, "FileVersion")) {
        info.file = *v;
        have_file = true;
      } else {
        info.product = *v;
        have_product = true;
      }
    } else {
      info.strings.emplace_back(std::string(name), std::string(value));
    }
  }
  if (!have_file) return fail("no FileVersion line");
  if (!have_product) info.product = info.file;
  return info;
}

std::string FormatVersionResource(const VersionInfo& info) {
  std::string out = "FileVersion=" + FormatVersion(info.file) + "\n";
  out += "ProductVersion=" + FormatVersion(info.product) + "\n";
  for (const auto& [name, value] : info.strings) out += name + "=" + value + "\n";
  return out;
}

std::optional<VersionInfo> ReadPeVersion(std::span<const uint8_t> bytes, std::string* error) {
  MemorySource src(bytes);
  VersionInfo info;
  std::string err;
  if (!resources_detail::ReadPeVersionFrom(src, info.file, info.product, err)) {
    if (error) *error = err;
    return std::nullopt;
  }
  return info;
}

std::optional<VersionInfo> GetFileVersion(const std::string& path) {
  std::string error;
  std::optional<VersionInfo> result;
  {
    FileSource src(path);
    if (!src.ok()) {
      error = src.error();
    } else {
      uint8_t magic[4] = {};
      if (!src.Read(0, magic, 4) && !src.Read(0, magic, 2)) {
        error = path + " is too short to be an executable";
      } else if (std::memcmp(magic, "\x7f" "ELF", 4) == 0) {
        auto bundle = ReadBundleFromFile(path);
        result = BundleVersion(bundle ? &*bundle : nullptr, path, error);
      } else if (magic[0] == 'M' && magic[1] == 'Z') {
        VersionInfo info;
        if (resources_detail::ReadPeVersionFrom(src, info.file, info.product, error))
          result = info;
        else
          error = path + ": " + error;
      } else {
        error = path + " is neither an ELF nor a PE file";
      }
    }
  }
  if (!result) resources_detail::SetLastError(error);
  return result;
}

std::optional<VersionInfo> GetOwnFileVersion() {
  std::string error;
  auto info = BundleVersion(resources_detail::OwnBundle(), "the executable", error);
  if (!info) resources_detail::SetLastError(error);
  return info;
}

}  // namespace platform
