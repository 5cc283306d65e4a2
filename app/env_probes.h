// Environment probes: what the program learns about the machine (bitness,
// system version, program-files folders, an earlier installation, the
// companion product) and the marks it leaves there (compatibility layers,
// the desktop launcher, per-user DWORD settings), plus the hidden child run
// with a time limit that the .NET checker goes through.
//
// All functions are plain and keep no state of their own; every probe
// degrades to an empty or false answer, a failed registry write is ignored.
//
// Registry views: the keys that the Windows program opened in the 32-bit
// view on a 64-bit system (client identity, channel, browser version, .NET
// keys) go to View::Wow64_32 when Is64BitWindows() holds, else to the
// default view; keys without a view of their own use View::Default.
// Keys that are only read are opened, never created, so a probe leaves no
// empty key behind and works for a user who may not write the machine hive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/registry/registry.h"

// A 32-bit build on a 64-bit system on Windows; on Linux: a 64-bit kernel.
bool Is64BitWindows();
void SetIs64BitWindowsForTesting(int value);  // -1: real answer, 0: false, 1: true

// 32-bit and 64-bit program-files folders, each ending with "/".
//   PROCESSOR_ARCHITEW6432 and ProgramFiles(x86) set: folder32 is
//     ProgramFiles(x86) with one trailing "/", folder64 the same text with
//     every " (x86)" removed;
//   else ProgramFiles set: folder32 is it with one trailing "/", folder64 empty;
//   else both are <sysroot>opt/.
struct ProgramFilesFolders {
  std::wstring folder32, folder64;
  bool ok;
};
ProgramFilesFolders GetProgramFilesFolders();

// The kernel release as "major.minor.patch".
std::string WindowsVersionText();
// Every Linux system counts as "Vista or later" (see env_probes.cpp).
bool IsVistaOrLater();
void SetIsVistaOrLaterForTesting(int value);  // -1: real answer, 0: false, 1: true
// "Version" of local machine Software\Microsoft\Internet Explorer; when that
// is empty or missing, the version of the browser engine (WebKitGTK) if the
// process has loaded it; else "-".
std::wstring BrowserVersion();

// File name of the own executable, without folder.
std::wstring OwnExeName();
// The own version resource as "%d.%d.%d.%d"; empty without one.
std::wstring OwnFileVersion();
// Local time now, "%Y%m%d%H%M%S".
std::wstring LocalTimeStamp();

// True at the first sub-key of local machine Software\<brand>\ whose "PID" is
// a DWORD equal to `product_id` and whose "InstallInfo" is non-empty text.
// A product id that is not a decimal number is never installed.
bool IsProductInstalled(const std::wstring& product_id, const std::wstring& brand);

// "InstallName" of local machine Software\Quorvane\Quorvane Vantor, 64-bit
// view first, then 32-bit view; stops at the first one naming an existing
// file. The last value read (empty when neither view has one).
std::wstring GetCompanionPath();

// Starts the command line (Windows splitting rules, no shell) with standard
// streams on /dev/null and waits up to 20 s (or `timeout_ms`); a child still
// running then is killed. True when it ended with exit code 0.
bool RunHidden(const std::wstring& command_line);
bool RunHidden(const std::wstring& command_line, uint32_t timeout_ms);
inline constexpr uint32_t kRunHiddenTimeoutMs = 20000;

// Writes text value <program_path> = <layer> (at most 49 characters) in the
// key Layers below local machine
// Software\Microsoft\Windows NT\CurrentVersion\AppCompatFlags, in the
// 64-bit view and then in the 32-bit view.
void SetCompatLayer(const std::wstring& program_path, const std::wstring& layer);

// The desktop launcher "<desktop folder><own exe name>.desktop", starting the
// own executable in its folder.
std::string DesktopShortcutPath();
bool CreateDesktopShortcut();
bool RemoveDesktopShortcut();

// Per-user DWORD values in an existing current-user key (never created):
// read gives 0 when the key or value is missing or not a DWORD.
uint32_t ReadUserDword(const std::wstring& key_path, const std::wstring& name);
bool WriteUserDword(const std::wstring& key_path, const std::wstring& name, uint32_t value);

// ---- helpers shared by the probe modules -----------------------------------
namespace env_probes {

// The view for keys that live in the 32-bit view on a 64-bit system.
platform::View Wow32View();

// Reads a text value that the Windows program read into a buffer of
// `max_chars` characters plus terminator: nullopt when the value is missing,
// not text, or longer than that (the read would fail there too).
std::optional<std::wstring> ReadText(const platform::RegKey& key, std::wstring_view name, size_t max_chars);
inline constexpr size_t kSmallText = 49;  // a 100-byte buffer

// Whole decimal number in `text` (digits only, fits 32 bits); nullopt else.
std::optional<uint32_t> ParseDecimal(std::wstring_view text);
// Leading number as the C runtime's atoi reads it (blanks, sign, digits);
// 0 when there is none.
long LeadingNumber(std::wstring_view text);

// Writes `bytes` to `path` through a temporary file in the same folder that
// is renamed over it, with the given mode. False on any failure (nothing
// half-written is left at `path`).
bool WriteFileAtomically(const std::string& path, const void* bytes, size_t size, unsigned mode);

}  // namespace env_probes
