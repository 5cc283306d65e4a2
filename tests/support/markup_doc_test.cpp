#include "support/markup_doc.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "markup_doc_test_access.h"

namespace support {
namespace {

using I = MarkupDocInspector;

// Re-parsing the edited text must give the same tree as the edited index.
void ExpectIndexMatchesReparse(const MarkupDoc& doc) {
  ASSERT_EQ(I::Check(doc), "");
  MarkupDoc fresh;
  fresh.ParseText(doc.Text());
  EXPECT_TRUE(I::Shapes(doc) == I::Shapes(fresh)) << "index differs from a fresh parse of:\n"
                                                    << std::string(doc.Text().begin(), doc.Text().end());
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/markup_doc_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern + "/";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path(const char* name) const { return dir_ + name; }
  void Write(const std::string& path, const std::string& bytes) const {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  std::string Read(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string dir_;
};

// ------------------------------------------------------------ writing

using MarkupDocFiles = TempDir;

TEST_F(MarkupDocFiles, RunConfigWritingSequenceIsByteExact) {
  MarkupDoc doc;
  EXPECT_FALSE(doc.ParseText(L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"));
  EXPECT_EQ(doc.LastMessage(), L"No root element");
  ASSERT_TRUE(doc.AppendElement(L"config"));
  ASSERT_TRUE(doc.Descend());
  ASSERT_TRUE(doc.AppendElement(L"Status", L"1"));
  ASSERT_TRUE(doc.AppendElement(L"JoinExp", L""));
  ASSERT_TRUE(doc.AppendElement(L"SelectLang", L"de"));
  ASSERT_TRUE(doc.AppendElement(L"InstallPath", L"/opt/Fish & Chips <\u00e9t\u00e9>/"));
  ASSERT_TRUE(doc.AppendElement(L"AgreeExtInstall", L"1"));
  ASSERT_TRUE(doc.Ascend());
  ExpectIndexMatchesReparse(doc);

  const std::string path = Path("QIV_DOWNTASK_1234.xml");
  Write(path, "old content that is longer than the new file will be, to check truncation....."
              "..........................................................................."
              "...........................................................................");
  ASSERT_TRUE(doc.SaveToFile(path)) << std::string(doc.LastMessage().begin(), doc.LastMessage().end());

  const std::string expected =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<config>\r\n"
      "<Status>1</Status>\r\n"
      "<JoinExp/>\r\n"
      "<SelectLang>de</SelectLang>\r\n"
      "<InstallPath>/opt/Fish &amp; Chips &lt;\xC3\xA9t\xC3\xA9&gt;/</InstallPath>\r\n"
      "<AgreeExtInstall>1</AgreeExtInstall>\r\n"
      "</config>\r\n";
  EXPECT_EQ(Read(path), expected);
  EXPECT_EQ(doc.LastMessage(), std::to_wstring(doc.Text().size()) + L" wide chars to " +
                                   std::to_wstring(expected.size()) + L" bytes");

  // The reading sequence gets every value back.
  MarkupDoc in;
  ASSERT_TRUE(in.LoadFromFile(path));
  EXPECT_EQ(in.LastMessage(), std::to_wstring(expected.size()) + L" bytes to " +
                                  std::to_wstring(doc.Text().size()) + L" wide chars");
  ASSERT_TRUE(in.NextElement(L"config"));
  std::wstring status = L"0", join = L"x", lang, path_value, agree = L"1", missing = L"keep";
  EXPECT_TRUE(in.ChildText(L"Status", status));
  EXPECT_TRUE(in.ChildText(L"JoinExp", join));
  EXPECT_TRUE(in.ChildText(L"SelectLang", lang));
  EXPECT_TRUE(in.ChildText(L"InstallPath", path_value));
  EXPECT_TRUE(in.ChildText(L"AgreeExtInstall", agree));
  EXPECT_FALSE(in.ChildText(L"Missing", missing));
  EXPECT_EQ(status, L"1");
  EXPECT_EQ(join, L"");
  EXPECT_EQ(lang, L"de");
  EXPECT_EQ(path_value, L"/opt/Fish & Chips <\u00e9t\u00e9>/");
  EXPECT_EQ(agree, L"1");
  EXPECT_EQ(missing, L"keep");
}

TEST(MarkupDocEdit, AppendElementPlacesTextAndLines) {
  struct Case {
    const wchar_t* before;
    int descend_into;  // 0: append at top level; 1: after NextElement + Descend; 2: after the first child
    const wchar_t* name;
    const wchar_t* text;
    const wchar_t* after;
  };
  const Case cases[] = {
      {L"<p/>", 1, L"c", L"x", L"<p>\r\n<c>x</c>\r\n</p>"},
      {L"<p x=\"1\" />", 1, L"c", nullptr, L"<p x=\"1\" >\r\n<c/>\r\n</p>"},
      {L"<p></p>", 1, L"c", L"a<b&c>\"'", L"<p>\r\n<c>a&lt;b&amp;c&gt;\"'</c>\r\n</p>"},
      {L"<p>\r\n<a/>\r\n</p>", 1, L"b", nullptr, L"<p>\r\n<a/>\r\n<b/>\r\n</p>"},
      {L"<p>text</p>", 1, L"b", nullptr, L"<p>text<b/>\r\n</p>"},
      {L"<r><a/>  \t<c/></r>", 2, L"b", nullptr, L"<r><a/>  \t<b/>\r\n<c/></r>"},
      {L"<r><a/>x<c/></r>", 2, L"b", nullptr, L"<r><a/><b/>\r\nx<c/></r>"},
      {L"<r>\n  <a>1</a>\n</r>\n", 2, L"b", L"2", L"<r>\n  <a>1</a>\n<b>2</b>\r\n</r>\n"},
      {L"<r/>\n", 0, L"s", nullptr, L"<r/>\n<s/>\r\n"},
      {L"", 0, L"s", L"1", L"<s>1</s>\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.before, c.before + wcslen(c.before)));
    MarkupDoc doc;
    doc.ParseText(c.before);
    if (c.descend_into) {
      ASSERT_TRUE(doc.NextElement());
      ASSERT_TRUE(doc.Descend());
      if (c.descend_into == 2) {
        ASSERT_TRUE(doc.NextElement());
      }
    }
    ASSERT_TRUE(doc.AppendElement(c.name, c.text ? c.text : L""));
    EXPECT_EQ(doc.Text(), c.after);
    EXPECT_EQ(I::Name(doc, I::Current(doc)), c.name);
    EXPECT_EQ(doc.ElementText(), c.text ? c.text : L"");
    ExpectIndexMatchesReparse(doc);
  }
}

TEST(MarkupDocEdit, AppendedElementsKeepNavigationOrder) {
  MarkupDoc doc(L"<r><a/><c><d/></c></r>");
  ASSERT_TRUE(doc.NextElement(L"r"));
  ASSERT_TRUE(doc.Descend());
  ASSERT_TRUE(doc.NextElement(L"a"));
  ASSERT_TRUE(doc.AppendElement(L"b", L"B"));
  EXPECT_EQ(I::Child(doc), 0u);
  ASSERT_TRUE(doc.NextElement());
  EXPECT_EQ(I::Name(doc, I::Current(doc)), L"c");
  ASSERT_TRUE(doc.AppendElement(L"e"));  // after the last child
  ASSERT_TRUE(doc.Ascend());
  std::wstring names;
  doc.RewindChildren();
  while (doc.NextChild()) names += I::Name(doc, I::Child(doc));
  EXPECT_EQ(names, L"abce");
  std::wstring b;
  EXPECT_TRUE(doc.ChildText(L"b", b));
  EXPECT_EQ(b, L"B");
  EXPECT_EQ(doc.Text(), L"<r><a/><b>B</b>\r\n<c><d/></c><e/>\r\n</r>");
  ExpectIndexMatchesReparse(doc);
}

TEST(MarkupDocEdit, AppendElementRejectsNamesThatDoNotReadBack) {
  MarkupDoc doc(L"<r/>");
  for (const wchar_t* name : {L"", L"a b", L"a>", L"a/", L"a=\"x\"", L"1a", L"<a", L"'a"}) {
    EXPECT_FALSE(doc.AppendElement(name, L"x")) << std::wstring(name).size();
  }
  EXPECT_EQ(doc.Text(), L"<r/>");
  EXPECT_EQ(I::NextFree(doc), 2u);
  EXPECT_TRUE(doc.AppendElement(L"a:b[1]", L"x"));
}

TEST(MarkupDocEdit, SetAttributeValueLeavesTagsThatWouldReadDifferently) {
  // "<e flag/>" is a start tag; a quote before its '/' would make it empty.
  // In "<la=\"c > \"/>" the name holds a quote that the new attribute would
  // break.
  for (const wchar_t* text : {L"<e flag/></e>", L"<la=\"c > \"/>"}) {
    MarkupDoc doc(text);
    ASSERT_TRUE(doc.NextElement());
    doc.SetAttributeValue(L"flag", L"1");
    doc.SetAttributeValue(L"x", L"1");
    EXPECT_EQ(doc.Text(), text);
    EXPECT_EQ(I::Check(doc), "");
  }
}

TEST(MarkupDocEdit, SetAttributeValue) {
  MarkupDoc doc(L"<e/>");
  doc.SetAttributeValue(L"v", L"x");  // no current element: nothing
  EXPECT_EQ(doc.Text(), L"<e/>");
  ASSERT_TRUE(doc.NextElement(L"e"));
  doc.SetAttributeValue(L"v", L"a\"b<c");
  EXPECT_EQ(doc.Text(), L"<e v=\"a&quot;b&lt;c\"/>");
  EXPECT_EQ(doc.AttributeValue(L"v"), L"a\"b<c");
  doc.SetAttributeValue(L"v", L"d");
  EXPECT_EQ(doc.Text(), L"<e v=\"d\"/>");
  ExpectIndexMatchesReparse(doc);

  struct Case {
    const wchar_t* before;
    const wchar_t* name;
    const wchar_t* after;
  };
  const Case cases[] = {
      {L"<e x='1' >t</e>", L"y", L"<e x='1' y=\"2\" >t</e>"},
      {L"<e x='1' >t</e>", L"x", L"<e x=\"2\" >t</e>"},
      {L"<e x=1 y = \"3\"/>", L"x", L"<e x=\"2\" y = \"3\"/>"},
      {L"<e x=1 y = \"3\"/>", L"y", L"<e x=1 y = \"2\"/>"},
      {L"<e flag />", L"flag", L"<e flag=\"2\" />"},
      {L"<e\n/>", L"z", L"<e z=\"2\"\n/>"},
      {L"<e a='>'><k/></e>", L"b", L"<e a='>' b=\"2\"><k/></e>"},
      // The unquoted value of an empty tag ends before its "/>".
      {L"<e v=q\"/>", L"w", L"<e v=q\" w=\"2\"/>"},
      {L"<e v=q\"/>", L"v", L"<e v=\"2\"/>"},
      // In a start tag the '/' belongs to the unquoted value.
      {L"<e v=1/></e>", L"w", L"<e v=1/ w=\"2\"></e>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.before, c.before + wcslen(c.before)));
    MarkupDoc d(c.before);
    ASSERT_TRUE(d.NextElement());
    d.SetAttributeValue(c.name, L"2");
    EXPECT_EQ(d.Text(), c.after);
    EXPECT_EQ(d.AttributeValue(c.name), L"2");
    ExpectIndexMatchesReparse(d);
  }
}

TEST(MarkupDocEdit, EditsMoveTheIndexOfFollowingElements) {
  MarkupDoc doc(L"<r><a>1</a><b k='v'><c>2</c></b><d>3</d></r>");
  ASSERT_TRUE(doc.NextElement(L"r"));
  doc.SetAttributeValue(L"long", L"0123456789");
  ASSERT_TRUE(doc.Descend());
  ASSERT_TRUE(doc.NextElement(L"b"));
  doc.SetAttributeValue(L"k", L"");
  ASSERT_TRUE(doc.Descend());
  ASSERT_TRUE(doc.NextElement(L"c"));
  ASSERT_TRUE(doc.AppendElement(L"c2", L"x&y"));
  ASSERT_TRUE(doc.Ascend());
  ASSERT_TRUE(doc.Ascend());
  ExpectIndexMatchesReparse(doc);
  std::wstring a, d;
  EXPECT_TRUE(doc.ChildText(L"a", a));
  EXPECT_TRUE(doc.ChildText(L"d", d));
  EXPECT_EQ(a, L"1");
  EXPECT_EQ(d, L"3");
  EXPECT_EQ(doc.AttributeValue(L"long"), L"0123456789");
  EXPECT_EQ(doc.Text(),
            L"<r long=\"0123456789\"><a>1</a><b k=\"\"><c>2</c><c2>x&amp;y</c2>\r\n</b><d>3</d></r>");
}

// ------------------------------------------------------------ parsing

TEST(MarkupDocParse, FailuresAndTheirMessages) {
  struct Case {
    const wchar_t* text;
    const wchar_t* message;
  };
  const Case cases[] = {
      {L"", L"Empty document"},
      {L"<?xml version=\"1.0\"?>\n<!-- only a comment -->\n", L"No root element"},
      {L"just text", L"No root element"},
      {L"<a>x</a><b/>", L"Root element has sibling"},
      {L"<a></b></a>", L"No start tag for end tag 'b' at offset 3"},
      {L"<a><b></a>", L"End tag 'a' at offset 7 does not match start tag 'b' at offset 3"},
      {L"<a><b><c></a>", L"End tag 'a' at offset 10 does not match start tag 'c' at offset 6"},
      {L"<a><b>", L"Element 'b' at offset 3 not ended"},
      {L"<a>< b</a>", L"Incorrect tag name character at offset 3"},
      {L"<a><1></a>", L"Incorrect tag name character at offset 3"},
      {L"<a><!x></a>", L"Incorrect ! tag at offset 3"},
      {L"<a><!-x--></a>", L"Incorrect comment tag at offset 3"},
      {L"<a><![x[y]]></a>", L"Incorrect tag at offset 3"},
      {L"<a/><!-- x", L"Comment at offset 4 unterminated"},
      {L"<a/><![CDATA[x]>", L"CDATA Section at offset 4 unterminated"},
      {L"<a/><?pi x", L"Processing instruction at offset 4 unterminated"},
      {L"<!DOCTYPE a [<!ELEMENT a (#PCDATA)>", L"Doctype at offset 0 unterminated"},
      {L"<!DOCTYPE a [<!ELEMENT a (#PCDATA)", L"Doctype at offset 0 unterminated"},
      {L"<a/><!ATTLIST a x", L"Doctype at offset 4 unterminated"},
      {L"<a x=\"1>\"", L"Element tag at offset 0 unterminated"},
      {L"<a></a", L"Element end tag at offset 3 unterminated"},
      {L"<a/><", L"tag at offset 4 unterminated"},
      {L"<a/><!", L"tag at offset 4 unterminated"},
      {L"<a/><!-", L"tag at offset 4 unterminated"},
      // Only the first error is kept.
      {L"<a></b><c><!x>", L"No start tag for end tag 'b' at offset 3"},
      {L"<r><!x><a>", L"Incorrect ! tag at offset 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text, c.text + wcslen(c.text)));
    MarkupDoc doc;
    EXPECT_FALSE(doc.ParseText(c.text));
    EXPECT_EQ(doc.LastMessage(), c.message);
    EXPECT_EQ(I::Check(doc), "");
  }
}

TEST(MarkupDocParse, WellFormedDocumentsWithProlog) {
  const wchar_t* texts[] = {
      L"<a/>",
      L"\uFEFF<?xml version=\"1.0\"?>\r\n<a>x</a>\r\n",
      L"<!DOCTYPE a [\n<!ELEMENT a ANY>\n<!ATTLIST a x CDATA \"q>\">\n]>\n<a x='1'/><!-- end -->",
      L"<a><b></b><![CDATA[<not/><tags>]]><?pi <x>?><!-- <y> --></a>",
      L"<{a}><|b|/><~c/><\u00e9/></{a}>",
      L"<_a:b x=\"</_a:b>\">t</_a:b>",
  };
  for (const wchar_t* t : texts) {
    SCOPED_TRACE(std::string(t, t + wcslen(t)));
    MarkupDoc doc;
    EXPECT_TRUE(doc.ParseText(t));
    EXPECT_EQ(doc.LastMessage(), L"");
    EXPECT_EQ(I::Check(doc), "");
  }
}

TEST(MarkupDocParse, EmptyTagRecognition) {
  struct Case {
    const wchar_t* text;
    bool empty;
  };
  const Case cases[] = {
      {L"<a/>", true},         {L"<a />", true},     {L"<a x=\"1\"/>", true},
      {L"<a x='1'/>", true},   {L"<a x=1/>", false}, {L"<a x=\"/>\">", false},
  };
  for (const Case& c : cases) {
    MarkupDoc doc(c.text);
    ASSERT_NE(I::NextFree(doc), 1u) << std::string(c.text, c.text + wcslen(c.text));
    EXPECT_EQ((I::Rec(doc, 1).flags & MarkupDoc::kEmptyTag) != 0, c.empty)
        << std::string(c.text, c.text + wcslen(c.text));
  }
  MarkupDoc tag(L"<a x='1 > 2' y=\"&quot;q&quot;\"/>");
  EXPECT_TRUE(tag.NextElement(L"a"));
  EXPECT_EQ(tag.AttributeValue(L"x"), L"1 > 2");
  EXPECT_EQ(tag.AttributeValue(L"y"), L"\"q\"");
  EXPECT_EQ(I::NextFree(tag), 2u);
}

TEST(MarkupDocParse, UnendedElementsGiveTheirChildrenToTheParent) {
  MarkupDoc doc;
  EXPECT_FALSE(doc.ParseText(L"<a><b></a>"));
  ASSERT_EQ(I::Check(doc), "");
  ASSERT_TRUE(doc.NextElement(L"a"));
  EXPECT_TRUE(doc.NextChild(L"b"));
  const auto& b = I::Rec(doc, I::Child(doc));
  EXPECT_TRUE(b.flags & MarkupDoc::kNotEnded);
  EXPECT_EQ(b.length, 3);
  EXPECT_EQ(b.first_child, 0u);
  EXPECT_TRUE(I::Rec(doc, 0).flags & MarkupDoc::kDocIllFormed);

  // b and c close together; their children follow them, in order, under a.
  EXPECT_FALSE(doc.ParseText(L"<a><b><x/><c><y/><z>t</z></a>"));
  EXPECT_EQ(doc.LastMessage(), L"End tag 'a' at offset 26 does not match start tag 'c' at offset 10");
  ASSERT_EQ(I::Check(doc), "");
  ASSERT_TRUE(doc.NextElement(L"a"));
  std::wstring names;
  while (doc.NextChild()) names += I::Name(doc, I::Child(doc));
  EXPECT_EQ(names, L"bxcyz");
  std::wstring z;
  EXPECT_TRUE(doc.ChildText(L"z", z));
  EXPECT_EQ(z, L"t");
  EXPECT_EQ(I::Rec(doc, 1).length, 29);  // a is complete

  // At the end of the text everything still open moves to the top level.
  EXPECT_FALSE(doc.ParseText(L"<r><a><x/><b><y/>"));
  EXPECT_EQ(doc.LastMessage(), L"Element 'b' at offset 10 not ended");
  ASSERT_EQ(I::Check(doc), "");
  names.clear();
  while (doc.NextElement()) names += I::Name(doc, I::Current(doc));
  EXPECT_EQ(names, L"raxby");

  // A malformed node marks the element that holds it.
  EXPECT_FALSE(doc.ParseText(L"<r><a><!x></a></r>"));
  EXPECT_TRUE(I::Rec(doc, 2).flags & MarkupDoc::kHasIllFormed);
  EXPECT_FALSE(I::Rec(doc, 1).flags & MarkupDoc::kHasIllFormed);
}

// --------------------------------------------------------- navigation

TEST(MarkupDocNavigate, PositionsFollowTheRules) {
  MarkupDoc doc(L"<r><a>1</a><b>2</b><a>3</a><sub><x/></sub></r>");
  // NextChild right after a reset looks into the root.
  EXPECT_TRUE(doc.NextChild(L"b"));
  EXPECT_EQ(I::Name(doc, I::Current(doc)), L"r");
  EXPECT_EQ(I::Name(doc, I::Child(doc)), L"b");
  EXPECT_TRUE(doc.NextChild(L"a"));  // after the child position
  std::wstring text;
  ASSERT_TRUE(doc.Descend());
  EXPECT_EQ(doc.ElementText(), L"3");
  EXPECT_EQ(I::Child(doc), 0u);
  // A name that does not occur leaves the position alone.
  EXPECT_FALSE(doc.NextElement(L"zzz"));
  EXPECT_EQ(doc.ElementText(), L"3");
  EXPECT_TRUE(doc.NextElement());
  EXPECT_EQ(I::Name(doc, I::Current(doc)), L"sub");
  EXPECT_FALSE(doc.NextElement());
  ASSERT_TRUE(doc.Ascend());
  EXPECT_EQ(I::Name(doc, I::Current(doc)), L"r");
  EXPECT_EQ(I::Name(doc, I::Child(doc)), L"sub");
  EXPECT_EQ(I::Parent(doc), 0u);
  EXPECT_FALSE(doc.Ascend());
  // ChildText restarts at the first child and keeps the current element.
  EXPECT_TRUE(doc.ChildText(L"a", text));
  EXPECT_EQ(text, L"1");
  EXPECT_EQ(I::Name(doc, I::Current(doc)), L"r");
  // Descend onto no child, then come back.
  doc.RewindChildren();
  ASSERT_TRUE(doc.Descend());
  EXPECT_EQ(I::Current(doc), 0u);
  EXPECT_FALSE(doc.Descend());
  EXPECT_TRUE(doc.NextElement(L"sub"));
  doc.Rewind();
  EXPECT_EQ(I::Parent(doc) + I::Current(doc) + I::Child(doc), 0u);
  EXPECT_FALSE(doc.Descend());
}

TEST(MarkupDocNavigate, NameMatching) {
  MarkupDoc doc(L"<r><Item/><item[2] a-b='1' a='2' c[0]='3'/><items/><item/></r>");
  ASSERT_TRUE(doc.NextElement(L"r"));
  ASSERT_TRUE(doc.Descend());
  ASSERT_TRUE(doc.NextElement(L"item"));  // case-sensitive; "item[2]" matches "item"
  EXPECT_EQ(I::Name(doc, I::Current(doc)), L"item[2]");
  EXPECT_EQ(doc.AttributeValue(L"a"), L"2");
  EXPECT_EQ(doc.AttributeValue(L"c"), L"3");
  EXPECT_EQ(doc.AttributeValue(L"a-"), L"");
  ASSERT_TRUE(doc.NextElement(L"item"));  // "items" does not match
  EXPECT_EQ(I::Name(doc, I::Current(doc)), L"item");
}

// ------------------------------------------------------------ reading

TEST(MarkupDocRead, ElementText) {
  struct Case {
    const wchar_t* text;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {L"<a>1 &lt; 2 &#65;&#x42; &foo;</a>", L"1 < 2 AB &foo;"},
      {L"<a>t1<!--c--><![CDATA[<raw>]]>t2</a>", L"t1<raw>t2"},
      {L"<a><b/>text</a>", L""},
      {L"<a/>", L""},
      {L"<a> </a>", L" "},
      {L"<a> <?pi?> x &amp; y <!--c--> </a>", L" x & y "},
      {L"<a>&amp;lt;&apos;&quot;&gt;</a>", L"&lt;'\">"},
      {L"<a>&#0;&#x110000;&#12345678;&#;&#x;&#x4g;&#X41;&lt</a>",
       L"&#0;&#x110000;&#12345678;&#;&#x;&#x4g;&#X41;&lt"},
      {L"<a>&#1114111;&#x1F600;&#0000065;</a>", L"\U0010FFFF\U0001F600A"},
      {L"<a>x<![CDATA[]]>y</a>", L"xy"},
      {L"<a>x<![C]]>y</a>", L"xy"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text, c.text + wcslen(c.text)));
    MarkupDoc doc(c.text);
    ASSERT_TRUE(doc.NextElement(L"a"));
    EXPECT_EQ(doc.ElementText(), c.expected);
  }
}

TEST(MarkupDocRead, AttributeValues) {
  MarkupDoc doc(L"<a checked x = 'q&amp;' y=plain z=\"\" \"w\"/>");
  ASSERT_TRUE(doc.NextElement());
  EXPECT_EQ(doc.AttributeValue(L"checked"), L"checked");
  EXPECT_EQ(doc.AttributeValue(L"x"), L"q&");
  EXPECT_EQ(doc.AttributeValue(L"y"), L"plain");
  EXPECT_EQ(doc.AttributeValue(L"z"), L"");
  EXPECT_EQ(doc.AttributeValue(L"w"), L"w");
  EXPECT_EQ(doc.AttributeValue(L"missing"), L"");
  doc.Rewind();
  EXPECT_EQ(doc.AttributeValue(L"x"), L"");  // no current element
}

// ---------------------------------------------------------- the index

TEST(MarkupDocIndex, SegmentsAndGrowth) {
  constexpr int kCount = 70000;
  std::wstring text = L"<r>";
  for (int i = 0; i < kCount; ++i) text += L"<e/>";
  text += L"</r>";
  MarkupDoc doc;
  ASSERT_TRUE(doc.ParseText(text));
  ASSERT_EQ(I::NextFree(doc), kCount + 2u);
  // Room for len/64 + 8 at the start, then 1.5 times the next free number
  // whenever it reaches the capacity.
  uint64_t capacity = text.size() / 64 + 8;
  for (uint64_t next = 1; next < kCount + 2u; ++next) {
    if (next >= capacity) capacity = next * 3 / 2;
  }
  EXPECT_EQ(I::Capacity(doc), capacity);
  ASSERT_EQ(I::SegmentCount(doc), 2u);
  EXPECT_EQ(I::SegmentSize(doc, 0), 65536u);
  EXPECT_EQ(I::SegmentSize(doc, 1), capacity - 65536);
  EXPECT_EQ(I::Check(doc), "");
  // Number 65536 is the first record of the second segment.
  EXPECT_EQ(I::Rec(doc, 65536).start, 3 + 4 * 65534);

  // A text whose reserve (length / 64 + 8) is exactly one more than its
  // 70,000 elements: no growth while parsing, and the first appended element
  // grows the index to 1.5 times the next free number. Only the partly used
  // second segment is reallocated; records in the full first one stay put.
  constexpr size_t kElements = 70000;
  std::wstring padded = L"<r>";
  for (size_t i = 1; i < kElements; ++i) padded += L"<e/>";
  padded += std::wstring((kElements + 1 - 8) * 64 - padded.size() - 4, L' ');
  padded += L"</r>";
  ASSERT_TRUE(doc.ParseText(padded));
  ASSERT_EQ(I::NextFree(doc), kElements + 1);
  ASSERT_EQ(I::Capacity(doc), kElements + 1);
  const auto* in_full_segment = &I::Rec(doc, 5);
  ASSERT_TRUE(doc.NextElement(L"r"));
  ASSERT_TRUE(doc.Descend());
  ASSERT_TRUE(doc.AppendElement(L"n"));
  EXPECT_EQ(I::Capacity(doc), (kElements + 1) * 3 / 2);
  EXPECT_EQ(I::SegmentSize(doc, 1), (kElements + 1) * 3 / 2 - 65536);
  EXPECT_EQ(&I::Rec(doc, 5), in_full_segment);
  EXPECT_EQ(I::Name(doc, I::Current(doc)), L"n");
  EXPECT_EQ(I::Check(doc), "");
  // A small document reserves the minimum.
  ASSERT_TRUE(doc.ParseText(L"<a/>"));
  EXPECT_EQ(I::Capacity(doc), 8u);
  EXPECT_EQ(I::SegmentCount(doc), 1u);
}

TEST(MarkupDocIndex, TagsLongerThanTheirLengthFields) {
  // A start tag past 20 bits and an end tag past 10 bits.
  std::wstring value(1100000, L'v');
  std::wstring text = L"<r><a x=\"" + value + L"\">t &amp; u</a  " + std::wstring(2000, L' ') + L">";
  text += L"<b>q</b" + std::wstring(1500, L'\n') + L"></r>";
  MarkupDoc doc;
  ASSERT_TRUE(doc.ParseText(text)) << std::string(doc.LastMessage().begin(), doc.LastMessage().end());
  ASSERT_TRUE(doc.NextElement(L"r"));
  ASSERT_TRUE(doc.Descend());
  ASSERT_TRUE(doc.NextElement(L"a"));
  EXPECT_EQ(I::StartTagLength(doc, I::Current(doc)), value.size() + 8);
  EXPECT_EQ(I::EndTagLength(doc, I::Current(doc)), 2006u);
  EXPECT_EQ(doc.ElementText(), L"t & u");
  EXPECT_EQ(doc.AttributeValue(L"x").size(), value.size());
  doc.SetAttributeValue(L"y", L"2");
  EXPECT_EQ(doc.AttributeValue(L"y"), L"2");
  EXPECT_EQ(doc.ElementText(), L"t & u");
  ASSERT_TRUE(doc.NextElement(L"b"));
  EXPECT_EQ(doc.ElementText(), L"q");
  ASSERT_TRUE(doc.Descend());
  ASSERT_TRUE(doc.AppendElement(L"c"));  // goes before the long end tag
  ASSERT_TRUE(doc.Ascend());
  EXPECT_EQ(doc.ElementText(), L"");  // b now has a child
  ExpectIndexMatchesReparse(doc);
}

// -------------------------------------------------------------- files

TEST_F(MarkupDocFiles, LoadMessagesAndByteHandling) {
  struct Case {
    std::string bytes;
    bool ok;
    const wchar_t* message;
    const wchar_t* root_text;
  };
  const Case cases[] = {
      {"\xEF\xBB\xBF<a>\xC3\xA9</a>", true, L"12 bytes to 9 wide chars", L"\u00e9"},
      {"<a>x\xC3y\xFFz</a>", true, L"12 bytes to 12 wide chars", L"x?y?z"},
      {"<a>\xF0\x9F\x98\x80</a>", true, L"11 bytes to 8 wide chars", L"\U0001F600"},
      {"<a>", false, L"3 bytes to 3 wide chars, Element 'a' at offset 0 not ended", nullptr},
      {"", false, L"0 bytes to 0 wide chars, Empty document", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    const std::string path = Path("in.xml");
    Write(path, c.bytes);
    MarkupDoc doc;
    EXPECT_EQ(doc.LoadFromFile(path), c.ok);
    EXPECT_EQ(doc.LastMessage(), c.message);
    if (c.root_text) {
      ASSERT_TRUE(doc.NextElement(L"a"));
      EXPECT_EQ(doc.ElementText(), c.root_text);
    }
  }
}

TEST_F(MarkupDocFiles, LoadOfTheZeroByteCaseCountsTheWholeFile) {
  // The message counts the file's bytes, even when a zero byte ends the text.
  const std::string path = Path("z.xml");
  Write(path, std::string("<a/>\0junk", 9));
  MarkupDoc doc;
  EXPECT_TRUE(doc.LoadFromFile(path));
  EXPECT_EQ(doc.LastMessage(), L"9 bytes to 4 wide chars");
  EXPECT_EQ(doc.Text(), L"<a/>");
}

TEST_F(MarkupDocFiles, UnopenableFilesLeaveTheDocumentAlone) {
  MarkupDoc doc(L"<keep/>");
  EXPECT_FALSE(doc.LoadFromFile(Path("missing.xml")));
  EXPECT_EQ(doc.LastMessage(), L"No such file or directory");
  EXPECT_EQ(doc.Text(), L"<keep/>");
  EXPECT_TRUE(doc.NextElement(L"keep"));

  EXPECT_FALSE(doc.LoadFromFile(dir_));  // a folder opens but cannot be read
  EXPECT_EQ(doc.LastMessage(), L"Is a directory");
  EXPECT_EQ(doc.Text(), L"<keep/>");

  EXPECT_FALSE(doc.SaveToFile(Path("no/such/folder.xml")));
  EXPECT_EQ(doc.LastMessage(), L"No such file or directory");
  EXPECT_EQ(doc.Text(), L"<keep/>");
}

TEST_F(MarkupDocFiles, SaveReportsWriteFailures) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  MarkupDoc doc(L"<a>some text</a>");
  EXPECT_FALSE(doc.SaveToFile("/dev/full"));
  EXPECT_EQ(doc.LastMessage(), L"No space left on device");
}

TEST_F(MarkupDocFiles, SaveWritesUtf8AndEmptyDocuments) {
  MarkupDoc doc;
  doc.ParseText(L"\uFEFF<a>\u00e9\U0001F600\r\n</a>");
  const std::string path = Path("out.xml");
  ASSERT_TRUE(doc.SaveToFile(path));
  EXPECT_EQ(Read(path), "\xEF\xBB\xBF<a>\xC3\xA9\xF0\x9F\x98\x80\r\n</a>");
  EXPECT_EQ(doc.LastMessage(), L"12 wide chars to 18 bytes");

  MarkupDoc empty;
  Write(path, "old");
  ASSERT_TRUE(empty.SaveToFile(path));
  EXPECT_EQ(Read(path), "");
  EXPECT_EQ(empty.LastMessage(), L"0 wide chars to 0 bytes");
}

}  // namespace
}  // namespace support
