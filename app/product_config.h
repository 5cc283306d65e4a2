// The product a QIV binary serves, as read from its embedded product XML.
// Values stay text; consumers convert numbers when they use them.
#pragma once

#include <string>
#include <vector>

struct DependentItem {
  std::wstring ProductID;
  std::wstring ProductName;
  std::wstring ProductExe;
  std::wstring ProductArg;
  std::wstring ProductInstallArg;
  std::wstring ProductInsCmple;
  std::wstring Url_Down;
  std::wstring Url_Downx64;
  std::wstring ForceInstall = L"true";
  std::wstring md5;
  std::wstring history_md5_32;
  std::wstring md5_64;
  std::wstring history_md5_64;
  std::wstring filesize;
  std::wstring ForkInstall;
};

struct DownloadUrlGroup {
  std::wstring OnlyUseLocalUrl;
  std::wstring Url;  // Url_Down or Url_Install
};

// Built-in addresses of the maker's servers, used when the product XML
// names none.
extern const wchar_t kDefaultServerHost[];
extern const wchar_t kDefaultLicenseUrl[];
extern const wchar_t kDefaultLanguages[];

struct ProductConfig {
  std::wstring ProductSkin;
  std::wstring ProductBrand;
  std::wstring ProductName;
  std::wstring ProductExe;
  std::wstring ProductArg;
  std::wstring FoldBottom = L"1";
  std::wstring ServerHost = kDefaultServerHost;
  std::wstring ProductInstallArg;
  std::wstring ProductInsCmple;
  std::wstring ProductID;
  std::wstring AppID;
  std::wstring Channel;
  DownloadUrlGroup Downurl;
  DownloadUrlGroup Downurl_x64;
  std::wstring Dotnetminver;
  std::wstring Dotneturl;
  DownloadUrlGroup Installurl;
  std::wstring Url_License = kDefaultLicenseUrl;
  std::wstring Languages = kDefaultLanguages;
  std::wstring InstallTime;
  std::wstring AgreeUserLicense;
  std::wstring StartupProduct;
  std::wstring Url_Jump;
  std::vector<DependentItem> Dependent;
};
