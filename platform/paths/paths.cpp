#include "platform/paths/paths.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {
std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}
}  // namespace

std::string WithTrailingSlash(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder.push_back('/');
  return folder;
}

std::string Sysroot() {
  std::string root = Env("QIV_SYSROOT");
  if (root.empty()) return "/";
  return WithTrailingSlash(root);
}

std::string TempFolder() {
  std::string t = Env("TMPDIR");
  return t.empty() ? std::string("/tmp/") : WithTrailingSlash(t);
}

std::string SharedDocumentsFolder() { return Sysroot() + "var/lib/"; }

std::string HomeFolder() {
  std::string h = Env("HOME");
  if (h.empty()) {
    if (const passwd* pw = getpwuid(geteuid())) h = pw->pw_dir ? pw->pw_dir : "";
  }
  return h.empty() ? std::string("/") : WithTrailingSlash(h);
}

std::string UserConfigFolder() {
  std::string c = Env("XDG_CONFIG_HOME");
  return c.empty() ? HomeFolder() + ".config/" : WithTrailingSlash(c);
}

std::string RuntimeFolder() {
  std::string r = Env("XDG_RUNTIME_DIR");
  return r.empty() ? TempFolder() : WithTrailingSlash(r);
}

std::string DesktopFolder() {
  std::string d = Env("XDG_DESKTOP_DIR");
  if (!d.empty()) return WithTrailingSlash(d);
  // The user-dirs file holds a line XDG_DESKTOP_DIR="$HOME/Desktop".
  std::ifstream in(UserConfigFolder() + "user-dirs.dirs");
  std::string line;
  const std::string key = "XDG_DESKTOP_DIR=\"";
  while (std::getline(in, line)) {
    if (line.compare(0, key.size(), key) != 0) continue;
    std::string v = line.substr(key.size());
    if (!v.empty() && v.back() == '"') v.pop_back();
    if (v.compare(0, 6, "$HOME/") == 0) v = HomeFolder() + v.substr(6);
    if (!v.empty()) return WithTrailingSlash(v);
  }
  return HomeFolder() + "Desktop/";
}

std::string OwnExecutablePath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

bool MakeFolders(const std::string& folder) {
  if (folder.empty()) return false;
  std::string path;
  size_t pos = 0;
  while (pos != std::string::npos) {
    size_t next = folder.find('/', pos + 1);
    path = folder.substr(0, next);
    if (!path.empty() && path != "/") {
      if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    pos = next;
  }
  struct stat st;
  return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace platform
