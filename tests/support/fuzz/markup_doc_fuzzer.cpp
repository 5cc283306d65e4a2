// libFuzzer target for MarkupDoc: UTF-8 bytes are converted through the
// counting interface, parsed, walked with the navigation calls (reading text
// and attributes on the way), then edited a few times. After every step the
// index must agree with the text; for a well-formed input the edited index
// must also equal a fresh parse of the edited text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "markup_doc_test_access.h"
#include "platform/text/text.h"
#include "support/markup_doc.h"
#include "support/utf8.h"

using support::MarkupDoc;
using support::MarkupDocInspector;

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "markup_doc_fuzzer: %s: %s\n", what, detail.c_str());
  std::abort();
}

void CheckIndex(const MarkupDoc& doc, const char* step) {
  std::string problem = MarkupDocInspector::Check(doc);
  if (!problem.empty()) Fail(step, problem);
}

// Visits every element depth-first with NextElement, Descend and Ascend.
size_t Walk(MarkupDoc& doc) {
  static const wchar_t* const kNames[] = {L"", L"a", L"x", L"id"};
  size_t visited = 0;
  size_t depth = 0;
  doc.Rewind();
  for (;;) {
    if (doc.NextElement()) {
      ++visited;
      (void)doc.ElementText();
      for (const wchar_t* name : kNames) (void)doc.AttributeValue(name);
      std::wstring own = MarkupDocInspector::Name(doc, MarkupDocInspector::Current(doc));
      std::wstring text;
      if (doc.ChildText(own, text) && !doc.NextChild()) (void)doc.NextChild(L"a");
      doc.RewindChildren();
      if (!doc.Descend()) Fail("walk", "Descend failed on a current element");
      ++depth;
      continue;
    }
    if (depth == 0) break;
    if (!doc.Ascend()) Fail("walk", "Ascend failed below the top");
    --depth;
  }
  return visited;
}

// Moves to the k-th element in document order; false when there are fewer.
bool Seek(MarkupDoc& doc, size_t k) {
  size_t depth = 0;
  doc.Rewind();
  for (;;) {
    if (doc.NextElement()) {
      if (k-- == 0) return true;
      doc.Descend();
      ++depth;
      continue;
    }
    if (depth == 0) return false;
    doc.Ascend();
    --depth;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  size_t n = support::Utf8ToWide(nullptr, bytes, size);
  std::vector<wchar_t> buf(n + 1);
  if (support::Utf8ToWide(buf.data(), bytes, size) != n) Fail("Utf8ToWide", "count differs");
  std::wstring text(buf.data(), n);

  // The converters agree with each other on their counts and round-trip
  // text without surrogates. (An overlong "\xC0\x80" decodes to U+0000,
  // which the zero-terminated WideToUtf8 stops at; such texts only get the
  // count check.)
  size_t need = support::WideToUtf8(text.c_str(), nullptr, 0);
  std::string utf8(need + 1, '\0');
  if (support::WideToUtf8(text.c_str(), utf8.data(), utf8.size()) != need) Fail("WideToUtf8", "count differs");
  bool surrogates = false;  // or zero characters
  for (wchar_t c : text) surrogates |= (c >= 0xD800 && c <= 0xDFFF) || c == 0;
  if (!surrogates && platform::Utf8ToWideString(std::string_view(utf8.data(), need)) != text)
    Fail("UTF-8 round trip", "text changed");

  MarkupDoc doc;
  bool ok = doc.ParseText(text);
  if (ok != doc.LastMessage().empty()) Fail("parse", "result and message disagree");
  CheckIndex(doc, "parse");
  size_t elements = MarkupDocInspector::NextFree(doc) - 1;
  if (Walk(doc) != elements) Fail("walk", "did not visit every element");

  // A few edits, chosen by the input's first bytes.
  unsigned seed = size ? data[0] | (size > 1 ? data[1] << 8 : 0) : 0;
  for (int step = 0; step < 4 && elements; ++step) {
    size_t target = (seed >> (step * 4)) % (elements + 1);
    bool placed = Seek(doc, target);
    switch ((seed >> (step * 2)) & 3) {
      case 0:
        doc.SetAttributeValue(L"x", L"v\"<&'>");
        break;
      case 1:
        doc.AppendElement(L"n", L"t<&>]]>");
        break;
      case 2:
        if (placed) doc.Descend();
        doc.AppendElement(L"m");
        break;
      default:
        if (placed) doc.SetAttributeValue(L"a", L"");
        break;
    }
    CheckIndex(doc, "edit");
    if (ok) {
      MarkupDoc fresh;
      fresh.ParseText(doc.Text());
      if (!(MarkupDocInspector::Shapes(doc) == MarkupDocInspector::Shapes(fresh))) {
        Fail("edit", "edited index differs from a fresh parse of " + platform::WideToUtf8String(doc.Text()));
      }
    }
  }
  Walk(doc);
  return 0;
}
