#include "app/env_probes.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/simple_log.h"
#include "platform/clock/clock.h"
#include "platform/paths/paths.h"
#include "platform/process/process.h"
#include "platform/resources/resources.h"
#include "platform/sysinfo/sysinfo.h"
#include "platform/text/text.h"

using platform::Hive;
using platform::RegKey;
using platform::RegStatus;
using platform::View;

namespace {

std::atomic<int> g_is64_override{-1};
std::atomic<int> g_vista_override{-1};

std::wstring Wide(const std::string& s) { return platform::Utf8ToWideString(s); }
std::string Narrow(std::wstring_view s) { return platform::WideToUtf8String(s); }

// The value of an environment variable, or nullopt when it is not set or
// empty (Windows does not tell an empty variable from a missing one).
std::optional<std::string> EnvVar(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) return std::nullopt;
  return std::string(v);
}

// `folder` with its trailing separators replaced by exactly one "/".
std::string OneTrailingSlash(std::string folder) {
  while (!folder.empty() && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
  folder.push_back('/');
  return folder;
}

std::string ReplaceAll(std::string text, const std::string& what, const std::string& with) {
  size_t pos = 0;
  while ((pos = text.find(what, pos)) != std::string::npos) {
    text.replace(pos, what.size(), with);
    pos += with.size();
  }
  return text;
}

}  // namespace

// ---- helpers ---------------------------------------------------------------
namespace env_probes {

View Wow32View() { return Is64BitWindows() ? View::Wow64_32 : View::Default; }

std::optional<std::wstring> ReadText(const RegKey& key, std::wstring_view name, size_t max_chars) {
  if (!key.IsOpen()) return std::nullopt;
  std::optional<std::wstring> v = key.GetString(name);
  if (!v || v->size() > max_chars) return std::nullopt;
  return v;
}

std::optional<uint32_t> ParseDecimal(std::wstring_view text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  uint64_t v = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - L'0');
  }
  if (v > 0xFFFFFFFFu) return std::nullopt;
  return static_cast<uint32_t>(v);
}

long LeadingNumber(std::wstring_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == L' ' || text[i] == L'\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  long v = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    if (v < 100000000) v = v * 10 + (text[i] - L'0');  // saturates far above any version part
  }
  return negative ? -v : v;
}

bool WriteFileAtomically(const std::string& path, const void* bytes, size_t size, unsigned mode) {
  static std::atomic<unsigned> counter{0};
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".tmp-%d-%u", static_cast<int>(getpid()), counter.fetch_add(1));
  const std::string temp = path + suffix;
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, static_cast<mode_t>(mode)) == 0;
  const auto* p = static_cast<const unsigned char*>(bytes);
  size_t left = size;
  while (ok && left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (::close(fd) != 0) ok = false;
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

}  // namespace env_probes

// ---- machine facts -----------------------------------------------------------

bool Is64BitWindows() {
  int o = g_is64_override.load();
  if (o >= 0) return o == 1;
  return platform::Is64BitSystem();
}

void SetIs64BitWindowsForTesting(int value) { g_is64_override.store(value < 0 ? -1 : (value ? 1 : 0)); }

ProgramFilesFolders GetProgramFilesFolders() {
  ProgramFilesFolders out{L"", L"", false};
  if (EnvVar("PROCESSOR_ARCHITEW6432")) {
    if (auto x86 = EnvVar("ProgramFiles(x86)")) {
      std::string f32 = OneTrailingSlash(*x86);
      out.folder32 = Wide(f32);
      out.folder64 = Wide(ReplaceAll(f32, " (x86)", ""));
      out.ok = true;
      return out;
    }
  } else if (auto pf = EnvVar("ProgramFiles")) {
    out.folder32 = Wide(OneTrailingSlash(*pf));
    out.ok = true;
    return out;
  }
  // No Windows variables: one program-files folder below the sysroot serves
  // both bitnesses.
  std::wstring opt = Wide(platform::Sysroot() + "opt/");
  out.folder32 = opt;
  out.folder64 = opt;
  out.ok = true;
  return out;
}

std::string WindowsVersionText() { return platform::SystemVersion(); }

// The Windows program chose the "runas" verb and the quiet .NET checker run
// on systems newer than Windows XP. The kernel release of a Linux system says
// nothing about that (a 5.x kernel is as capable as a 6.x one), and the
// elevation and the checker run work the same on every Linux system, so all
// of them count as "Vista or later".
bool IsVistaOrLater() {
  int o = g_vista_override.load();
  if (o >= 0) return o == 1;
  return true;
}

void SetIsVistaOrLaterForTesting(int value) { g_vista_override.store(value < 0 ? -1 : (value ? 1 : 0)); }

namespace {

// Version of the browser engine (WebKitGTK) when this process has it loaded
// already; nothing is loaded for the question.
std::wstring EngineVersion() {
  void* lib = dlopen("libwebkit2gtk-4.1.so.0", RTLD_LAZY | RTLD_NOLOAD);
  if (!lib) return L"";
  using Part = unsigned (*)();
  auto major = reinterpret_cast<Part>(dlsym(lib, "webkit_get_major_version"));
  auto minor = reinterpret_cast<Part>(dlsym(lib, "webkit_get_minor_version"));
  auto micro = reinterpret_cast<Part>(dlsym(lib, "webkit_get_micro_version"));
  std::wstring out;
  if (major && minor && micro)
    out = std::to_wstring(major()) + L"." + std::to_wstring(minor()) + L"." + std::to_wstring(micro());
  dlclose(lib);  // drops only the reference taken here
  return out;
}

}  // namespace

std::wstring BrowserVersion() {
  RegKey key;
  if (key.Open(Hive::LocalMachine, L"Software\\Microsoft\\Internet Explorer", env_probes::Wow32View()) ==
      RegStatus::Ok) {
    auto v = env_probes::ReadText(key, L"Version", env_probes::kSmallText);
    if (v && !v->empty()) return *v;
  }
  std::wstring engine = EngineVersion();
  return engine.empty() ? L"-" : engine;
}

std::wstring OwnExeName() {
  std::string path = platform::OwnExecutablePath();
  size_t slash = path.rfind('/');
  return Wide(slash == std::string::npos ? path : path.substr(slash + 1));
}

std::wstring OwnFileVersion() {
  auto v = platform::GetOwnFileVersion();
  if (!v) return L"";
  return Wide(platform::FormatVersion(v->file));
}

std::wstring LocalTimeStamp() {
  std::tm t = platform::LocalTime(platform::Now());
  char buf[32];
  size_t n = std::strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &t);
  return Wide(std::string(buf, n));
}

// ---- installed products --------------------------------------------------------

bool IsProductInstalled(const std::wstring& product_id, const std::wstring& brand) {
  std::optional<uint32_t> number = env_probes::ParseDecimal(product_id);
  if (!number) return false;
  RegKey root;
  if (root.Open(Hive::LocalMachine, L"Software\\" + brand + L"\\") != RegStatus::Ok) return false;
  for (const std::wstring& name : root.EnumSubKeys()) {
    RegKey sub;
    if (sub.Open(Hive::LocalMachine, L"Software\\" + brand + L"\\" + name + L"\\") != RegStatus::Ok) continue;
    std::optional<uint32_t> pid = sub.GetDword(L"PID");
    if (!pid || *pid != *number) continue;
    // Only whether the install record is there and non-empty matters, so a
    // long record counts as well.
    std::optional<std::wstring> info = sub.GetString(L"InstallInfo");
    if (info && !info->empty()) return true;
  }
  return false;
}

std::wstring GetCompanionPath() {
  // Linux paths may be longer than the Windows limit of 260 characters.
  constexpr size_t kMaxPath = 4095;
  std::wstring result;
  for (View view : {View::Wow64_64, View::Wow64_32}) {
    RegKey key;
    if (key.Open(Hive::LocalMachine, L"Software\\Quorvane\\Quorvane Vantor", view) != RegStatus::Ok) continue;
    auto v = env_probes::ReadText(key, L"InstallName", kMaxPath);
    if (!v) continue;
    result = *v;
    if (!result.empty() && platform::FileExists(Narrow(result))) break;
  }
  return result;
}

// ---- hidden runs -----------------------------------------------------------------

bool RunHidden(const std::wstring& command_line) { return RunHidden(command_line, kRunHiddenTimeoutMs); }

bool RunHidden(const std::wstring& command_line, uint32_t timeout_ms) {
  platform::SpawnOptions options;
  options.hidden = true;
  platform::Process process;
  bool started = false;
  // A program file that was just written can be busy for a moment while a
  // child started by another thread still holds the writer's descriptor
  // between its fork and exec.
  for (int attempt = 0; attempt < 20; ++attempt) {
    started = process.StartCommandLine(Narrow(command_line), options);
    if (started || process.error() != ETXTBSY) break;
    ::usleep(50 * 1000);
  }
  if (!started) {
    QLOG("[ERROR] %d - RunHidden, start failed, err=[%d].", process.error());
    return false;
  }
  if (!process.Wait(timeout_ms)) {
    QLOG("[WARN] %d - RunHidden, no exit after %u ms, terminated.", timeout_ms);
    process.Terminate();
    return false;
  }
  return process.exit_code() == 0;
}

// ---- compatibility layers --------------------------------------------------------

void SetCompatLayer(const std::wstring& program_path, const std::wstring& layer) {
  const std::wstring text = layer.substr(0, env_probes::kSmallText);
  for (View view : {View::Wow64_64, View::Wow64_32}) {
    RegKey key;
    if (key.Create(Hive::LocalMachine, L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers\\",
                   view) != RegStatus::Ok)
      continue;
    key.SetString(program_path, text);
  }
}

// ---- desktop launcher --------------------------------------------------------------

namespace {

// A string value of a desktop entry: backslash and control characters escaped.
std::string DesktopString(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

// The program path as the quoted first word of an Exec line: inside the
// quotes '"', '`', '$' and '\' take a backslash, "%" is doubled; the result
// is then escaped once more as a string value.
std::string DesktopExec(const std::string& program) {
  std::string quoted = "\"";
  for (char c : program) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted.push_back('\\');
    if (c == '%') quoted.push_back('%');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  return DesktopString(quoted);
}

}  // namespace

std::string DesktopShortcutPath() { return platform::DesktopFolder() + Narrow(OwnExeName()) + ".desktop"; }

bool CreateDesktopShortcut() {
  const std::string exe = platform::OwnExecutablePath();
  if (exe.empty()) return false;
  const std::string folder = exe.substr(0, exe.rfind('/') + 1);
  const std::string name = Narrow(OwnExeName());
  std::string text =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Version=1.0\n"
      "Name=" + DesktopString(name) + "\n"
      "Exec=" + DesktopExec(exe) + "\n"
      "Path=" + DesktopString(folder) + "\n"
      "Terminal=false\n";
  // Launchers on the desktop are only started when they are executable.
  bool ok = env_probes::WriteFileAtomically(DesktopShortcutPath(), text.data(), text.size(), 0755);
  if (!ok) QLOG("[WARN] %d - CreateDesktopShortcut failed, err=[%d].", errno);
  return ok;
}

bool RemoveDesktopShortcut() { return ::unlink(DesktopShortcutPath().c_str()) == 0; }

// ---- per-user DWORD values ------------------------------------------------------------

uint32_t ReadUserDword(const std::wstring& key_path, const std::wstring& name) {
  RegKey key;
  if (key.Open(Hive::CurrentUser, key_path) != RegStatus::Ok) return 0;
  return key.GetDword(name).value_or(0);
}

bool WriteUserDword(const std::wstring& key_path, const std::wstring& name, uint32_t value) {
  RegKey key;
  if (key.Open(Hive::CurrentUser, key_path) != RegStatus::Ok) return false;
  return key.SetDword(name, value) == RegStatus::Ok;
}
