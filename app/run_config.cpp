#include "app/run_config.h"

#include <cstdio>
#include <unistd.h>

#include "app/qiv_mgr.h"
#include "app/simple_log.h"
#include "platform/text/text.h"
#include "support/markup_doc.h"

namespace {

struct Field {
  const wchar_t* name;
  std::wstring RunConfig::*member;
};

constexpr Field kFields[] = {
    {L"Status", &RunConfig::Status},
    {L"JoinExp", &RunConfig::JoinExp},
    {L"SelectLang", &RunConfig::SelectLang},
    {L"InstallPath", &RunConfig::InstallPath},
    {L"AgreeExtInstall", &RunConfig::AgreeExtInstall},
};

}  // namespace

void ReadRunConfig(QivMgr& mgr) {
  if (mgr.run_config_path.empty()) return;
  QLOG("[INFO] %d - ReadRunConfig");
  support::MarkupDoc doc;
  // A truncated or malformed file is not half-trusted: the defaults stay.
  if (!doc.LoadFromFile(platform::WideToUtf8String(mgr.run_config_path))) return;
  if (!doc.NextElement(L"config")) return;
  for (const auto& f : kFields) {
    std::wstring value;
    if (doc.ChildText(f.name, value)) mgr.run_config.*(f.member) = value;
  }
}

bool WriteRunConfig(QivMgr& mgr) {
  if (mgr.fork || mgr.run_config_path.empty()) return false;
  QLOG("[INFO] %d - WriteRunConfig");
  support::MarkupDoc doc;
  doc.ParseText(L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  doc.AppendElement(L"config");
  doc.Descend();
  for (const auto& f : kFields) doc.AppendElement(f.name, mgr.run_config.*(f.member));
  doc.Ascend();
  std::string path = platform::WideToUtf8String(mgr.run_config_path);
  std::string temp = path + ".tmp";
  if (!doc.SaveToFile(temp)) {
    ::unlink(temp.c_str());
    return false;
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}
