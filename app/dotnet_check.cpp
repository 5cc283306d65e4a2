#include "app/dotnet_check.h"

#include <unistd.h>

#include "app/env_probes.h"
#include "app/simple_log.h"
#include "platform/paths/paths.h"
#include "platform/registry/registry.h"
#include "platform/resources/resources.h"
#include "platform/text/text.h"

using platform::Hive;
using platform::RegKey;
using platform::RegStatus;
using platform::View;

namespace {

constexpr wchar_t kNdpKey[] = L"Software\\Microsoft\\NET Framework Setup\\NDP";
constexpr wchar_t kNetFrameworkKey[] = L"SOFTWARE\\Microsoft\\.NETFramework\\";
constexpr uint32_t kCheckerExeId = 105;
constexpr uint32_t kCheckerConfigId = 109;

// Major and minor number of a version text "M.N[.more]": M before the first
// ".", N between the first and the second "." (or to the end).
void SplitVersion(std::wstring_view text, long& major, long& minor) {
  size_t dot = text.find(L'.');
  major = env_probes::LeadingNumber(text.substr(0, dot));
  minor = 0;
  if (dot == std::wstring_view::npos) return;
  std::wstring_view rest = text.substr(dot + 1);
  minor = env_probes::LeadingNumber(rest.substr(0, rest.find(L'.')));
}

// .NET 2.0 is registered: either policy key exists and "InstallRoot" is
// non-empty text. The keys are opened, not created.
bool DotNet20Registered() {
  RegKey policy;
  bool has_policy =
      policy.Open(Hive::LocalMachine, L"SOFTWARE\\Microsoft\\.NETFramework\\policy\\v2.0") == RegStatus::Ok ||
      policy.Open(Hive::LocalMachine, L"SOFTWARE\\Microsoft\\.NETFramework\\policy\\v2.0.50727") == RegStatus::Ok;
  if (!has_policy) return false;
  RegKey root;
  if (root.Open(Hive::LocalMachine, kNetFrameworkKey) != RegStatus::Ok) return false;
  auto install_root = env_probes::ReadText(root, L"InstallRoot", 259);
  return install_root && !install_root->empty();
}

// The checker run on systems older than Vista: only with .NET 2.0
// registered, and with "NoGuiFromShim" switched on for the run so that a
// missing runtime can't stop it with a message box. (The Windows error mode
// that went with it has no counterpart here.)
bool RunCheckerOld(const std::wstring& command_line, uint32_t timeout_ms) {
  if (!DotNet20Registered()) {
    QLOG("[INFO] %d - IsDotNetReady, .NET 2.0 not registered.");
    return false;
  }
  RegKey key;
  bool set_here = false;
  if (key.Open(Hive::LocalMachine, kNetFrameworkKey) == RegStatus::Ok) {
    std::optional<uint32_t> v = key.GetDword(L"NoGuiFromShim");
    if (!v || *v == 0) set_here = key.SetDword(L"NoGuiFromShim", 1) == RegStatus::Ok;
  }
  bool ok = RunHidden(command_line, timeout_ms);
  if (set_here) key.DeleteValue(L"NoGuiFromShim");
  return ok;
}

}  // namespace

bool HasDotNetVersion(const std::wstring& required) {
  long want_major = 0, want_minor = 0;
  SplitVersion(required, want_major, want_minor);
  if (want_major < 2 || want_major > 4) return false;

  const View view = env_probes::Wow32View();
  RegKey ndp;
  if (ndp.Open(Hive::LocalMachine, kNdpKey, view) != RegStatus::Ok) return false;
  for (const std::wstring& name : ndp.EnumSubKeys()) {
    if (name.size() < 2) continue;
    std::wstring_view rest = std::wstring_view(name).substr(1);
    rest = rest.substr(0, rest.find(L'.'));
    if (rest != L"2" && rest != L"3" && rest != L"4") continue;
    const long major = rest[0] - L'0';

    std::wstring path = std::wstring(kNdpKey) + L"\\" + name;
    if (major == 4) path += L"\\Full";
    RegKey sub;
    if (sub.Open(Hive::LocalMachine, path, view) != RegStatus::Ok) continue;
    std::optional<uint32_t> install = sub.GetDword(L"Install");
    if (!install || *install != 1) continue;
    long ignored = 0, minor = 0;
    SplitVersion(env_probes::ReadText(sub, L"Version", env_probes::kSmallText).value_or(L""), ignored, minor);

    if (major < 4) {
      if (want_major < major || (want_major == major && minor >= want_minor)) return true;
    } else if (want_major == 4 && minor >= want_minor) {
      return true;
    }
  }
  return false;
}

bool IsDotNetReady(const std::wstring& required, const std::wstring& config_folder) {
  return IsDotNetReady(required, config_folder, kRunHiddenTimeoutMs);
}

bool IsDotNetReady(const std::wstring& required, const std::wstring& config_folder, uint32_t timeout_ms) {
  if (required.empty()) return true;
  bool result = HasDotNetVersion(required);
  if (required != L"2.0") return result;

  auto exe = platform::FindResource("EXE", kCheckerExeId);
  auto config = platform::FindResource("XML", kCheckerConfigId);
  if (!exe || !config) {
    QLOG("[WARN] %d - IsDotNetReady, checker resource missing, registry=[%d].", result ? 1 : 0);
    return result;
  }

  std::string folder = platform::WithTrailingSlash(platform::WideToUtf8String(config_folder));
  // A bare file name would be looked up on PATH when it is started.
  if (folder.empty()) folder = "./";
  const std::string exe_path = folder + "NFWCHK.exe";
  const std::string config_path = exe_path + ".config";
  bool written = env_probes::WriteFileAtomically(exe_path, exe->data(), exe->size(), 0755) &&
                 env_probes::WriteFileAtomically(config_path, config->data(), config->size(), 0644);
  if (!written) {
    QLOG("[ERROR] %d - IsDotNetReady, write checker=[%s] failed!", platform::WideToAnsi(platform::Utf8ToWideString(exe_path)).c_str());
    result = false;
  } else {
    const std::wstring command_line = L"\"" + platform::Utf8ToWideString(exe_path) + L"\"";
    result = IsVistaOrLater() ? RunHidden(command_line, timeout_ms) : RunCheckerOld(command_line, timeout_ms);
    QLOG("[INFO] %d - IsDotNetReady, checker result=[%d].", result ? 1 : 0);
  }
  ::unlink(exe_path.c_str());
  ::unlink(config_path.c_str());
  return result;
}
