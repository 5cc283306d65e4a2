#include "ui/lang_table.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

std::string LangXml() {
  std::ifstream in(std::string(QIV_SOURCE_DIR) + "/ui/lang.xml", std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::span<const uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(LangTable, LocaleRowsPickTheCurrentLanguage) {
  struct Case {
    uint32_t lcid;
    int row;
    const wchar_t* current;
  } cases[] = {
      {3082, 31, L"Espa\u00F1ol"}, {1033, -1, L"English"}, {29, 46, L"Svenska"}, {2060, 0, L"Fran\u00E7ais"},
      {9217, 64, L"\u064A\u0628\u0631\u0639"}, {1041, 11, L"\u65E5\u672C\u8A9E"}, {0, -1, L"English"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lcid);
    EXPECT_EQ(LangTable::FindLocaleRow(c.lcid), c.row);
    LangTable table(c.lcid, 1033);
    EXPECT_EQ(table.current(), c.current);
  }
}

TEST(LangTable, CodesAndTexts) {
  LangTable table(1033, 1033);
  EXPECT_EQ(table.LangCode(L"Deutsch"), L"DEU");
  EXPECT_EQ(table.LangCode(L"P\u0443\u0441\u0441\u043A\u0438\u0439"), L"RUS");
  EXPECT_EQ(table.LangCode(L"Klingon"), L"ENG");
  EXPECT_EQ(table.LangCode(L"\u0420\u0443\u0441\u0441\u043A\u0438\u0439"), L"ENG");  // Cyrillic first letter is another name
  std::string xml = LangXml();
  ASSERT_TRUE(loadLangXMLFrom(table, L"Quorvane", Bytes(xml)));
  EXPECT_EQ(table.LangText(L"Btn_Install"), L"Install  ");
  EXPECT_EQ(table.LangText(L"Btn_Run"), L"Start Now   ");
  EXPECT_EQ(table.LangText(L"Lbl_Check"), L"{f 1}{c #434549}By clicking \"Install\", You agree to the {/c}{/f}");
  EXPECT_EQ(table.LangText(L"tipmsg_licenseaccept").find(L"Policy & License"), 35u);
  EXPECT_EQ(table.LangText(L"no_such_key"), L"no_such_key");
  EXPECT_EQ(table.texts().count(L"no_such_key"), 1u);
  EXPECT_EQ(table.texts().size(), 32u);  // 31 keys of the document and the missing one
}

TEST(LangTable, BrandReplacesTheOwnName) {
  std::string xml = LangXml();
  struct Case {
    const wchar_t* brand;
    const wchar_t* text;
  } cases[] = {
      {L"Tessarin", L"{f 1}{c #434549}Agree to install Tessarin Vantor{/c}{/f}"},
      {L"QUORVANE", L"{f 1}{c #434549}Agree to install Quorvane Vantor{/c}{/f}"},
      {L"quorvane", L"{f 1}{c #434549}Agree to install Quorvane Vantor{/c}{/f}"},
      {L"QuorvaneQuorvane", L"{f 1}{c #434549}Agree to install QuorvaneQuorvane Vantor{/c}{/f}"},
  };
  for (const auto& c : cases) {
    LangTable table(1033, 1033);
    ASSERT_TRUE(loadLangXMLFrom(table, c.brand, Bytes(xml)));
    EXPECT_EQ(table.LangText(L"Lbl_Install_Vtr"), c.text);
  }
}

TEST(LangTable, BadDocumentsFail) {
  LangTable table(1033, 1033);
  EXPECT_FALSE(loadLangXMLFrom(table, L"", std::nullopt));
  EXPECT_FALSE(loadLangXMLFrom(table, L"", Bytes("")));
  EXPECT_FALSE(loadLangXMLFrom(table, L"", Bytes("<Lang><item name='a'>x</Lang")));
  EXPECT_FALSE(loadLangXMLFrom(table, L"", Bytes("<Language><item name='a'>x</item></Language>")));
  EXPECT_TRUE(loadLangXMLFrom(table, L"", Bytes("<Lang><item name='a'>x</item><item name='a'>y</item></Lang>")));
  EXPECT_EQ(table.LangText(L"a"), L"y");  // a repeated key keeps the last text
}

}  // namespace
