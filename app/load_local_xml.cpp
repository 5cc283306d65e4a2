#include "app/load_local_xml.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "app/client_identity.h"
#include "app/env_probes.h"
#include "app/qiv_mgr.h"
#include "app/simple_log.h"
#include "platform/paths/paths.h"
#include "platform/resources/resources.h"
#include "platform/text/text.h"
#include "report/track_state.h"
#include "support/markup_doc.h"

const wchar_t kDefaultServerHost[] = L"https://platform.quorvane.invalid/";
const wchar_t kDefaultLicenseUrl[] = L"https://www.quorvane.invalid/license.html";
const wchar_t kDefaultLanguages[] =
    L"English,Deutsch,Fran\u00E7ais,Italiano,Portugu\u00EAs,Espa\u00F1ol,Dutch,P\u0443\u0441\u0441\u043A\u0438\u0439,"
    L"\u65E5\u672C\u8A9E,\u4E2D\u6587\u7E41\u9AD4,\u4E2D\u6587\u7B80\u4F53,\u064A\u0628\u0631\u0639,"
    L"\uD55C\uAD6D\uC5B4,Bahasa Indonesia,Svenska";

namespace {

std::string Ansi(const std::wstring& w) { return platform::WideToAnsi(w); }

// Creates the folder with its parents and proves it writable by creating
// and deleting "qiv.tmp" in it. 0 on success, else the errno of the failure.
int ProbeFolder(const std::wstring& folder) {
  if (folder.empty()) return ENOENT;
  std::string path = platform::WideToUtf8String(folder);
  if (!platform::MakeFolders(path)) return errno ? errno : EACCES;
  std::string probe = path + "qiv.tmp";
  int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  ::close(fd);
  ::unlink(probe.c_str());
  return 0;
}

std::wstring Child(support::MarkupDoc& doc, const wchar_t* name, const wchar_t* fallback = L"") {
  std::wstring value;
  if (!doc.ChildText(name, value)) return fallback;
  return value;
}

// A group element among the current element's children, with its two
// children read as values.
void ReadGroup(support::MarkupDoc& doc, const wchar_t* group, const wchar_t* url_name, DownloadUrlGroup* out) {
  doc.RewindChildren();
  if (!doc.NextChild(group)) return;
  // The found child becomes current after Descend; its children are read there.
  doc.Descend();
  out->OnlyUseLocalUrl = Child(doc, L"OnlyUseLocalUrl");
  out->Url = Child(doc, url_name);
  doc.Ascend();
}

}  // namespace

std::wstring ChooseConfigFolder(const std::wstring& brand) {
  std::wstring b = brand.empty() ? L"Quorvane" : brand;
  std::wstring shared = platform::Utf8ToWideString(platform::SharedDocumentsFolder());
  std::wstring candidate = shared.empty() ? std::wstring() : shared + b + L"/";
  int err = ProbeFolder(candidate);
  if (err == 0) return candidate;
  QLOG("[WARN] %d - get default folder=[%s] failed, err=[%d].", Ansi(candidate).c_str(), err);

  std::string exe = platform::OwnExecutablePath();
  std::wstring exe_folder;
  if (!exe.empty()) exe_folder = platform::Utf8ToWideString(exe.substr(0, exe.rfind('/') + 1));
  candidate = exe_folder.empty() ? std::wstring() : exe_folder + b + L"/";
  err = ProbeFolder(candidate);
  if (err == 0) return candidate;
  QLOG("[WARN] %d - get exe folder=[%s] failed, err=[%d].", Ansi(candidate).c_str(), err);

  candidate = platform::Utf8ToWideString(platform::TempFolder()) + b + L"/";
  err = ProbeFolder(candidate);
  if (err != 0) QLOG("[ERROR] %d - get temp folder=[%s] failed! err=[%d].", Ansi(candidate).c_str(), err);
  return candidate;
}

bool LoadLocalXml(QivMgr& mgr) {
  QLOG("[INFO] %d - LoadLocalXml");
  return LoadLocalXmlFrom(mgr, platform::FindResource("XML", 106));
}

bool LoadLocalXmlFrom(QivMgr& mgr, std::optional<std::span<const uint8_t>> resource) {
  if (!resource) {
    QLOG("[ERROR] %d - LoadLocalXml, find failed!");
    return false;
  }
  if (resource->empty()) {
    QLOG("[ERROR] %d - LoadLocalXml, size error!");
    return false;
  }
  std::wstring text = platform::Utf8ToWideString(
      std::string_view(reinterpret_cast<const char*>(resource->data()), resource->size()));

  support::MarkupDoc doc;
  if (!doc.ParseText(text)) {
    QLOG("[ERROR] %d - LoadLocalXml err 3");
    return false;
  }
  if (!doc.NextElement(L"Product")) {
    QLOG("[ERROR] %d - LoadLocalXml, not find product.");
    return false;
  }

  ProductConfig& p = mgr.product;
  p = ProductConfig();
  p.ProductSkin = Child(doc, L"ProductSkin");
  p.ProductBrand = Child(doc, L"ProductBrand");
  p.ProductName = Child(doc, L"ProductName");
  p.ProductExe = Child(doc, L"ProductExe");
  p.ProductArg = Child(doc, L"ProductArg");
  p.FoldBottom = Child(doc, L"FoldBottom", L"1");
  p.ProductInstallArg = Child(doc, L"ProductInstallArg");
  p.ProductInsCmple = Child(doc, L"ProductInsCmple");
  p.ServerHost = Child(doc, L"ServerHost", kDefaultServerHost);
  if (p.ServerHost.empty() || p.ServerHost.back() != L'/') p.ServerHost.push_back(L'/');
  TrackState::Get().SetBaseAddress(p.ServerHost);

  mgr.config_folder = ChooseConfigFolder(p.ProductBrand);
  QLOG("[INFO] %d - config folder=[%s].", Ansi(mgr.config_folder).c_str());
  if (!platform::MakeFolders(platform::WideToUtf8String(mgr.config_folder))) {
    QLOG("[ERROR] %d - create folder=[%s] failed!", Ansi(mgr.config_folder).c_str());
  }

  p.ProductID = Child(doc, L"ProductID");
  mgr.run_config_path = mgr.config_folder + L"QIV_DOWNTASK_" + p.ProductID + L".xml";
  p.AppID = Child(doc, L"AppID");
  p.Channel = Child(doc, L"Channel");

  ReadGroup(doc, L"Downurl", L"Url_Down", &p.Downurl);
  if (Is64BitWindows()) ReadGroup(doc, L"Downurl_x64", L"Url_Down", &p.Downurl_x64);

  p.InstallTime = Child(doc, L"InstallTime");
  ReadGroup(doc, L"Installurl", L"Url_Install", &p.Installurl);
  p.Url_License = Child(doc, L"Url_License");
  if (p.Url_License.empty()) p.Url_License = kDefaultLicenseUrl;
  p.Languages = Child(doc, L"Languages");
  if (p.Languages.empty()) p.Languages = kDefaultLanguages;
  p.Dotnetminver = Child(doc, L"Dotnetminver");
  p.Dotneturl = Child(doc, L"Dotneturl");
  p.AgreeUserLicense = Child(doc, L"AgreeUserLicense");
  p.StartupProduct = Child(doc, L"StartupProduct");
  p.Url_Jump = Child(doc, L"Url_Jump");

  doc.RewindChildren();
  if (doc.NextChild(L"Dependent")) {
    doc.Descend();
    // Now inside Dependent: walk its item children.
    doc.Descend();
    while (doc.NextElement(L"item")) {
      DependentItem item;
      item.ProductID = Child(doc, L"ProductID");
      item.ProductName = Child(doc, L"ProductName");
      item.ProductExe = Child(doc, L"ProductExe");
      item.Url_Down = Child(doc, L"Url_Down");
      item.Url_Downx64 = Child(doc, L"Url_Downx64");
      item.ForceInstall = Child(doc, L"ForceInstall", L"true");
      item.ProductArg = Child(doc, L"ProductArg");
      item.ProductInstallArg = Child(doc, L"ProductInstallArg");
      item.ProductInsCmple = Child(doc, L"ProductInsCmple");
      item.ForkInstall = Child(doc, L"ForkInstall");
      QLOG("[INFO] %d - LoadLocalXml, dependent.item pid=[%s].", Ansi(item.ProductID).c_str());
      if (item.ProductID.empty() || (item.Url_Down.empty() && item.Url_Downx64.empty())) continue;
      int32_t number = static_cast<int32_t>(std::wcstol(item.ProductID.c_str(), nullptr, 10));
      TrackSetBindForce(number, item.ForceInstall == L"true");
      p.Dependent.push_back(std::move(item));
    }
    doc.Ascend();
    doc.Ascend();
  }

  RecordChannel(p.AppID, p.Channel, p.ProductID);
  TrackSetString(L"product_id", p.ProductID);
  std::wstring client_sign = GetClientSign(p.ProductBrand);
  QLOG("[INFO] %d - client sign=[%s].", Ansi(client_sign).c_str());
  TrackSetString(L"client_sign", client_sign);
  TrackSetString(L"channel", p.Channel);
  TrackSetString(L"defchannel", ReadDefaultChannel());
  return true;
}
