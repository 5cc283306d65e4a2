// The choices and download status of an interrupted setup, kept from one
// run to the next in "QIV_DOWNTASK_<product>.xml" in the config folder.
#pragma once

#include <string>

struct RunConfig {
  std::wstring Status = L"0";
  std::wstring JoinExp;
  std::wstring SelectLang;
  std::wstring InstallPath;
  std::wstring AgreeExtInstall = L"1";
};

class QivMgr;

// Reads the file at the manager's run-configuration path into its RunConfig;
// a missing, unreadable or malformed file leaves the values as they are.
void ReadRunConfig(QivMgr& mgr);
// Writes the manager's RunConfig (normal mode only). The file is replaced
// atomically: written beside it under a temporary name, then renamed, so a
// crash never leaves half a file. True when the file was written.
bool WriteRunConfig(QivMgr& mgr);
