#include "ui/lang_table.h"

#include <cwctype>

#include "app/simple_log.h"
#include "platform/locale/locale.h"
#include "platform/resources/resources.h"
#include "platform/text/text.h"
#include "support/markup_doc.h"

namespace {

struct CodeRow {
  const wchar_t* name;
  const wchar_t* code;
};

constexpr CodeRow kCodes[] = {
    {L"English", L"ENG"},
    {L"Deutsch", L"DEU"},
    {L"Fran\u00E7ais", L"FRA"},
    {L"Italiano", L"ITA"},
    {L"Portugu\u00EAs", L"PTG"},
    {L"Espa\u00F1ol", L"ESP"},
    {L"Dutch", L"NLD"},
    {L"P\u0443\u0441\u0441\u043A\u0438\u0439", L"RUS"},  // a Latin capital P, then Cyrillic
    {L"\u65E5\u672C\u8A9E", L"JPN"},
    {L"\u4E2D\u6587\u7E41\u9AD4", L"CHA"},
    {L"\u4E2D\u6587\u7B80\u4F53", L"CHS"},
    {L"\u064A\u0628\u0631\u0639", L"ARA"},  // the four Arabic letters in this stored order
    {L"\uD55C\uAD6D\uC5B4", L"KOR"},
    {L"Bahasa Indonesia", L"INA"},
    {L"Svenska", L"SWE"},
};

struct LocaleRow {
  uint32_t lcid;
  const wchar_t* name;
};

constexpr LocaleRow kLocales[] = {
    {2060, L"Fran\u00E7ais"}, {3084, L"Fran\u00E7ais"}, {1036, L"Fran\u00E7ais"}, {5132, L"Fran\u00E7ais"},
    {6156, L"Fran\u00E7ais"}, {4108, L"Fran\u00E7ais"},
    {3079, L"Deutsch"}, {1031, L"Deutsch"}, {5127, L"Deutsch"}, {4103, L"Deutsch"}, {2055, L"Deutsch"},
    {1041, L"\u65E5\u672C\u8A9E"},
    {1046, L"Portugu\u00EAs"}, {2070, L"Portugu\u00EAs"},
    {11274, L"Espa\u00F1ol"}, {16394, L"Espa\u00F1ol"}, {13322, L"Espa\u00F1ol"}, {9226, L"Espa\u00F1ol"},
    {5130, L"Espa\u00F1ol"}, {7178, L"Espa\u00F1ol"}, {12298, L"Espa\u00F1ol"}, {17418, L"Espa\u00F1ol"},
    {4106, L"Espa\u00F1ol"}, {18442, L"Espa\u00F1ol"}, {2058, L"Espa\u00F1ol"}, {19466, L"Espa\u00F1ol"},
    {6154, L"Espa\u00F1ol"}, {15370, L"Espa\u00F1ol"}, {10250, L"Espa\u00F1ol"}, {20490, L"Espa\u00F1ol"},
    {1034, L"Espa\u00F1ol"}, {3082, L"Espa\u00F1ol"}, {14346, L"Espa\u00F1ol"}, {8202, L"Espa\u00F1ol"},
    {1040, L"Italiano"}, {2064, L"Italiano"},
    {1028, L"\u4E2D\u6587\u7E41\u9AD4"}, {3076, L"\u4E2D\u6587\u7E41\u9AD4"},
    {2052, L"\u4E2D\u6587\u7B80\u4F53"}, {4100, L"\u4E2D\u6587\u7B80\u4F53"},
    {1049, L"P\u0443\u0441\u0441\u043A\u0438\u0439"}, {2073, L"P\u0443\u0441\u0441\u043A\u0438\u0439"},
    {1043, L"Dutch"}, {2067, L"Dutch"},
    {1042, L"\uD55C\uAD6D\uC5B4"},
    {1057, L"Bahasa Indonesia"},
    {29, L"Svenska"}, {1053, L"Svenska"}, {2077, L"Svenska"},
    {14337, L"\u064A\u0628\u0631\u0639"}, {15361, L"\u064A\u0628\u0631\u0639"}, {5121, L"\u064A\u0628\u0631\u0639"},
    {3073, L"\u064A\u0628\u0631\u0639"}, {2049, L"\u064A\u0628\u0631\u0639"}, {11265, L"\u064A\u0628\u0631\u0639"},
    {13313, L"\u064A\u0628\u0631\u0639"}, {12289, L"\u064A\u0628\u0631\u0639"}, {4097, L"\u064A\u0628\u0631\u0639"},
    {6145, L"\u064A\u0628\u0631\u0639"}, {8193, L"\u064A\u0628\u0631\u0639"}, {16385, L"\u064A\u0628\u0631\u0639"},
    {1025, L"\u064A\u0628\u0631\u0639"}, {10241, L"\u064A\u0628\u0631\u0639"}, {7169, L"\u064A\u0628\u0631\u0639"},
    {9217, L"\u064A\u0628\u0631\u0639"},
};
static_assert(sizeof kLocales / sizeof kLocales[0] == LangTable::kLocaleRows);

}  // namespace

LangTable::LangTable() : LangTable(platform::UserDefaultLcid(), platform::SystemDefaultLcid()) {}

LangTable::LangTable(uint32_t user_lcid, uint32_t system_lcid) {
  for (const auto& c : kCodes) codes_[c.name] = c.code;
  InitLangCode(user_lcid, system_lcid);
}

int LangTable::FindLocaleRow(uint32_t lcid) {
  for (size_t i = 0; i < kLocaleRows; ++i) {
    if (kLocales[i].lcid == lcid) return static_cast<int>(i);
  }
  return -1;
}

std::wstring LangTable::LocaleRowName(int row) {
  return row >= 0 && static_cast<size_t>(row) < kLocaleRows ? kLocales[row].name : L"";
}

bool LangTable::InitLangCode(uint32_t user_lcid, uint32_t system_lcid) {
  QLOG("[INFO] %d - InitLangCode SystemDefaultLCID: %d", static_cast<int>(system_lcid));
  QLOG("[INFO] %d - InitLangCode GetUserDefaultLCID: %d", static_cast<int>(user_lcid));
  int row = FindLocaleRow(user_lcid);
  QLOG("[INFO] %d - InitLangCode set: %d", row);
  if (row < 0) return false;
  current_ = kLocales[row].name;
  return true;
}

std::wstring LangTable::LangText(const std::wstring& key) {
  const std::wstring& text = texts_[key];
  return text.empty() ? key : text;
}

std::wstring LangTable::LangCode(const std::wstring& name) const {
  auto it = codes_.find(name);
  return it == codes_.end() ? L"ENG" : it->second;
}

bool loadLangXML(LangTable& table, const std::wstring& brand) {
  return loadLangXMLFrom(table, brand, platform::FindResource("XML", 131));
}

bool loadLangXMLFrom(LangTable& table, const std::wstring& brand, std::optional<std::span<const uint8_t>> resource) {
  QLOG("[INFO] %d - loadLangXML");
  if (!resource || resource->empty()) return false;
  std::wstring text = platform::Utf8ToWideString(
      std::string_view(reinterpret_cast<const char*>(resource->data()), resource->size()));

  support::MarkupDoc doc;
  if (!doc.ParseText(text)) return false;
  if (!doc.NextElement(L"Lang")) return false;
  doc.Descend();
  std::wstring lower = brand;
  for (auto& c : lower) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  const bool rebrand = lower != L"quorvane";
  const std::wstring kOwnBrand = L"Quorvane";
  while (doc.NextElement(L"item")) {
    std::wstring key = doc.AttributeValue(L"name");
    std::wstring value = doc.ElementText();
    if (rebrand) {
      for (size_t pos = value.find(kOwnBrand); pos != std::wstring::npos;
           pos = value.find(kOwnBrand, pos + brand.size())) {
        value.replace(pos, kOwnBrand.size(), brand);
      }
    }
    table.texts()[key] = value;
  }
  doc.Ascend();
  return true;
}
