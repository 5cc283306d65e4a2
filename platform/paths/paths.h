// Folders the program uses, and the "sysroot" that lets a whole machine live
// in a scratch folder.
//
// <sysroot> is "/" unless QIV_SYSROOT names another folder; machine-wide
// state (the machine registry hive, shared documents, program files) lives
// below it. Per-user state follows HOME and the XDG variables. Every folder
// returned here ends with "/".
#pragma once

#include <string>
#include <vector>

namespace platform {

std::string Sysroot();                 // "/" or $QIV_SYSROOT + "/"
std::string TempFolder();              // $TMPDIR + "/", else "/tmp/"
std::string SharedDocumentsFolder();   // <sysroot>var/lib/
std::string UserConfigFolder();        // $XDG_CONFIG_HOME/, else ~/.config/
std::string RuntimeFolder();           // $XDG_RUNTIME_DIR/, else the temporary folder
std::string DesktopFolder();           // $XDG_DESKTOP_DIR/, user-dirs file, else ~/Desktop/
std::string HomeFolder();              // $HOME/, else the password entry's home
std::string OwnExecutablePath();       // resolved /proc/self/exe; empty on failure

// Appends "/" when `folder` is non-empty and lacks it.
std::string WithTrailingSlash(std::string folder);

// Creates `folder` and its missing parents (mode 0755). True when it exists
// as a folder afterwards.
bool MakeFolders(const std::string& folder);

bool FileExists(const std::string& path);

}  // namespace platform
