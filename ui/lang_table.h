// The window's texts (from the embedded English language document, resource
// "XML" 131), the installer language names with their three-letter codes,
// and the current installer language.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>

class LangTable {
 public:
  // Fills the code map, starts with "English" and runs InitLangCode.
  LangTable();
  // For tests: the user's and the system's locale identifiers are given.
  LangTable(uint32_t user_lcid, uint32_t system_lcid);

  // Picks the current language from the user's locale; false (and
  // "English" stays) when the locale is not in the table.
  bool InitLangCode(uint32_t user_lcid, uint32_t system_lcid);

  // The text of `key`; the key itself when it has no text. A missing key
  // is remembered with an empty text.
  std::wstring LangText(const std::wstring& key);
  // The installer code of a language name; "ENG" for an unknown name.
  std::wstring LangCode(const std::wstring& name) const;

  const std::wstring& current() const { return current_; }
  void set_current(const std::wstring& name) { current_ = name; }
  std::map<std::wstring, std::wstring>& texts() { return texts_; }

  // The locale table: identifier -> language name, searched in row order.
  static constexpr size_t kLocaleRows = 65;
  static int FindLocaleRow(uint32_t lcid);
  static std::wstring LocaleRowName(int row);

 private:
  std::map<std::wstring, std::wstring> texts_;
  std::map<std::wstring, std::wstring> codes_;
  std::wstring current_ = L"English";
};

// Loads the language document into `table`. When the lower-cased brand is
// not "quorvane", every "Quorvane" in a text becomes the brand.
bool loadLangXML(LangTable& table, const std::wstring& brand);
// The same with the resource bytes given (nullopt: the resource is missing).
bool loadLangXMLFrom(LangTable& table, const std::wstring& brand, std::optional<std::span<const uint8_t>> resource);
