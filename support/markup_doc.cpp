#include "support/markup_doc.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/text/text.h"

namespace support {

namespace {

constexpr size_t npos = std::wstring_view::npos;
constexpr uint32_t kSegmentSize = 65536;
constexpr size_t kMaxText = INT32_MAX;
constexpr std::wstring_view kCrLf = L"\r\n";

bool IsWs(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r'; }

// A start tag's name begins with a letter, '_', ':' or any character above
// 'z' (braces, bar, tilde and all non-ASCII characters among them).
bool IsNameStart(wchar_t c) {
  auto u = static_cast<uint32_t>(c);
  return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u == ':' || u > 'z';
}

// A tag name runs up to whitespace, '/' or '>'.
size_t NameEnd(std::wstring_view t, size_t p, size_t limit) {
  while (p < limit && !IsWs(t[p]) && t[p] != L'/' && t[p] != L'>') ++p;
  return p;
}

// `token` is `name`, or `name` followed by a blank, '=', '/', '[' or ']'.
bool TokenMatches(std::wstring_view token, std::wstring_view name) {
  if (name.empty()) return true;
  if (token.size() < name.size() || token.substr(0, name.size()) != name) return false;
  if (token.size() == name.size()) return true;
  wchar_t c = token[name.size()];
  return c == L' ' || c == L'=' || c == L'/' || c == L'[' || c == L']';
}

enum class Kind {
  kStartTag,
  kEndTag,
  kComment,
  kCData,
  kProcessing,
  kDoctype,
  kWhitespace,
  kText,
  kMalformed,
  kUnterminated,
};

struct Node {
  Kind kind;
  size_t end;  // one past the node's last character
  size_t name_begin = 0;
  size_t name_end = 0;
  bool empty = false;
  const wchar_t* what = nullptr;  // malformed or unterminated: its name
};

// Offset just past a start tag's closing '>', or npos when the text ends
// inside the tag. A '>' inside a quoted attribute value does not end it.
size_t StartTagEnd(std::wstring_view t, size_t i) {
  const size_t n = t.size();
  size_t j = i + 1;
  while (j < n) {
    wchar_t c = t[j];
    if (c == L'>') return j + 1;
    if (c != L'=') {
      ++j;
      continue;
    }
    if (j + 1 < n && t[j + 1] == L'=') {  // "==" is no assignment
      j += 2;
      continue;
    }
    size_t k = j + 1;
    while (k < n && IsWs(t[k])) ++k;
    if (k >= n) return npos;
    if (t[k] == L'"' || t[k] == L'\'') {
      size_t close = t.find(t[k], k + 1);
      if (close == npos) return npos;
      j = close + 1;
      continue;
    }
    // An unquoted value runs to whitespace or '>'.
    while (k < n && !IsWs(t[k]) && t[k] != L'>') ++k;
    j = k;
  }
  return npos;
}

Node Unterminated(std::wstring_view t, const wchar_t* what) {
  return Node{Kind::kUnterminated, t.size(), 0, 0, false, what};
}

// After a malformed node the scan goes on after the next '>', or at the next
// '<'.
Node Malformed(std::wstring_view t, size_t i, const wchar_t* what) {
  size_t k = t.find_first_of(L"<>", i + 1);
  size_t end = k == npos ? t.size() : (t[k] == L'>' ? k + 1 : k);
  return Node{Kind::kMalformed, end, 0, 0, false, what};
}

// Scans the node that starts at `i` (i < t.size()). The returned end is
// always past `i`.
Node ScanNode(std::wstring_view t, size_t i) {
  const size_t n = t.size();
  if (t[i] != L'<') {
    size_t j = t.find(L'<', i);
    if (j == npos) j = n;
    bool blank = true;
    for (size_t k = i; k < j && blank; ++k) blank = IsWs(t[k]);
    return Node{blank ? Kind::kWhitespace : Kind::kText, j};
  }
  if (i + 1 >= n) return Unterminated(t, L"tag");
  wchar_t c1 = t[i + 1];
  if (c1 == L'/') {
    size_t e = t.find(L'>', i + 2);
    if (e == npos) return Unterminated(t, L"Element end tag");
    return Node{Kind::kEndTag, e + 1, i + 2, NameEnd(t, i + 2, e)};
  }
  if (c1 == L'?') {
    size_t e = t.find(L"?>", i + 2);
    if (e == npos) return Unterminated(t, L"Processing instruction");
    return Node{Kind::kProcessing, e + 2};
  }
  if (c1 == L'!') {
    if (i + 2 >= n) return Unterminated(t, L"tag");
    wchar_t c2 = t[i + 2];
    if (c2 == L'-') {
      if (i + 3 >= n) return Unterminated(t, L"tag");
      if (t[i + 3] != L'-') return Malformed(t, i, L"comment tag");
      size_t e = t.find(L"-->", i + 4);
      if (e == npos) return Unterminated(t, L"Comment");
      return Node{Kind::kComment, e + 3};
    }
    if (c2 == L'[') {
      if (i + 3 >= n) return Unterminated(t, L"tag");
      if (t[i + 3] != L'C') return Malformed(t, i, L"tag");
      size_t e = t.find(L"]]>", i + 4);
      if (e == npos) return Unterminated(t, L"CDATA Section");
      return Node{Kind::kCData, e + 3};
    }
    if (c2 == L'D') {
      // Ends at the first '>' at its own level; a "<!E", "<!A" or "<!N"
      // declaration inside runs to its own '>'.
      size_t j = i + 3;
      while (j < n) {
        if (t[j] == L'>') return Node{Kind::kDoctype, j + 1};
        if (t[j] == L'<' && j + 2 < n && t[j + 1] == L'!' &&
            (t[j + 2] == L'E' || t[j + 2] == L'A' || t[j + 2] == L'N')) {
          size_t e = t.find(L'>', j + 3);
          if (e == npos) break;
          j = e + 1;
          continue;
        }
        ++j;
      }
      return Unterminated(t, L"Doctype");
    }
    if (c2 == L'E' || c2 == L'A' || c2 == L'N') {
      size_t e = t.find(L'>', i + 3);
      if (e == npos) return Unterminated(t, L"Doctype");
      return Node{Kind::kDoctype, e + 1};
    }
    return Malformed(t, i, L"! tag");
  }
  if (IsNameStart(c1)) {
    size_t end = StartTagEnd(t, i);
    if (end == npos) return Unterminated(t, L"Element tag");
    Node node{Kind::kStartTag, end, i + 1, NameEnd(t, i + 1, end - 1)};
    // "<a/>", "<a />", "<a x='1'/>" are empty tags; in "<a x=1/>" the '/'
    // belongs to the unquoted value.
    size_t slash = end - 2;
    if (slash > i + 1 && t[slash] == L'/') {
      wchar_t before = t[slash - 1];
      node.empty = slash == node.name_end || IsWs(before) || before == L'"' || before == L'\'';
    }
    return node;
  }
  return Malformed(t, i, L"tag name character");
}

std::wstring Num(size_t v) { return std::to_wstring(v); }

std::wstring ErrnoText(int err) {
  if (err == 0) err = EIO;
  char buf[256];
  const char* s = strerror_r(err, buf, sizeof buf);
  std::string text(s ? s : "");
  size_t cut = text.find_first_of("\r\n");
  if (cut != std::string::npos) text.resize(cut);
  return platform::AnsiToWide(text);
}

}  // namespace

// Element records in segments of up to 65,536; full segments are made
// whole, and only the last, partly used one is reallocated on growth, so a
// record never moves once its segment is full.
class MarkupDoc::Index {
 public:
  void Reset(uint64_t reserve) {
    segments_.clear();
    capacity_ = 0;
    Grow(reserve);
  }

  // Called before handing out `next_free`.
  bool MakeRoom(uint32_t next_free) {
    if (next_free < capacity_) return true;
    if (next_free == UINT32_MAX) return false;
    uint64_t want = uint64_t{next_free} * 3 / 2;
    if (want <= next_free) want = uint64_t{next_free} + 1;
    Grow(std::min<uint64_t>(want, uint64_t{UINT32_MAX}));
    return next_free < capacity_;
  }

  Record& operator[](uint32_t n) { return segments_[n >> 16][n & 0xFFFF]; }
  const Record& operator[](uint32_t n) const { return segments_[n >> 16][n & 0xFFFF]; }

  uint64_t capacity() const { return capacity_; }
  size_t segment_count() const { return segments_.size(); }
  uint32_t segment_size(size_t s) const {
    uint64_t base = uint64_t{s} * kSegmentSize;
    return static_cast<uint32_t>(std::min<uint64_t>(kSegmentSize, capacity_ - base));
  }

 private:
  void Grow(uint64_t new_capacity) {
    if (new_capacity <= capacity_) return;
    size_t need = static_cast<size_t>((new_capacity + kSegmentSize - 1) / kSegmentSize);
    if (need > segments_.capacity()) segments_.reserve(need + need / 2);
    if (!segments_.empty()) {
      size_t last = segments_.size() - 1;
      uint32_t used = segment_size(last);
      if (used < kSegmentSize) {
        uint64_t base = uint64_t{last} * kSegmentSize;
        auto size = static_cast<uint32_t>(std::min<uint64_t>(kSegmentSize, new_capacity - base));
        auto bigger = std::make_unique<Record[]>(size);
        std::copy(segments_[last].get(), segments_[last].get() + used, bigger.get());
        segments_[last] = std::move(bigger);
      }
    }
    while (segments_.size() < need) {
      uint64_t base = uint64_t{segments_.size()} * kSegmentSize;
      auto size = static_cast<uint32_t>(std::min<uint64_t>(kSegmentSize, new_capacity - base));
      segments_.push_back(std::make_unique<Record[]>(size));
    }
    capacity_ = new_capacity;
  }

  std::vector<std::unique_ptr<Record[]>> segments_;
  uint64_t capacity_ = 0;
};

struct MarkupDoc::AttrSpan {
  bool found = false;
  size_t name_begin = 0, name_end = 0;  // the name token, without quotes
  size_t token_end = 0;                 // end of the name token, with quotes
  bool has_value = false;
  size_t value_begin = 0, value_end = 0;  // the value token, with quotes
  size_t inner_begin = 0, inner_end = 0;  // the value without quotes
  size_t after_last = 0;                  // end of the tag name or the last attribute
};

MarkupDoc::MarkupDoc() : index_(std::make_unique<Index>()) {
  index_->Reset(8);
  Rec(0) = Record{};
}

MarkupDoc::MarkupDoc(std::wstring_view text) : MarkupDoc() { ParseText(text); }

MarkupDoc::MarkupDoc(MarkupDoc&&) noexcept = default;
MarkupDoc& MarkupDoc::operator=(MarkupDoc&&) noexcept = default;
MarkupDoc::~MarkupDoc() = default;

MarkupDoc::Record& MarkupDoc::Rec(uint32_t n) { return (*index_)[n]; }
const MarkupDoc::Record& MarkupDoc::Rec(uint32_t n) const { return (*index_)[n]; }

uint32_t MarkupDoc::NewRecord() {
  if (!index_->MakeRoom(next_free_)) return 0;
  uint32_t n = next_free_++;
  Rec(n) = Record{};
  return n;
}

uint64_t MarkupDoc::IndexCapacity() const { return index_->capacity(); }
size_t MarkupDoc::IndexSegmentCount() const { return index_->segment_count(); }
uint32_t MarkupDoc::IndexSegmentSize(size_t s) const { return index_->segment_size(s); }

void MarkupDoc::SetError(std::wstring message) {
  if (parse_error_.empty()) parse_error_ = std::move(message);
}

size_t MarkupDoc::StartTagLength(uint32_t n) const {
  const Record& r = Rec(n);
  size_t stored = r.tag_lengths & kStartTagMax;
  if (stored < kStartTagMax) return stored;
  size_t end = StartTagEnd(text_, static_cast<size_t>(r.start));
  return end == npos ? text_.size() - r.start : end - r.start;
}

size_t MarkupDoc::EndTagLength(uint32_t n) const {
  const Record& r = Rec(n);
  size_t stored = r.tag_lengths >> kEndTagShift;
  if (stored < kEndTagMax) return stored;
  // A long end tag: "</" and the name, then anything but '>', then '>'. It
  // begins at the first "</name" after the last '>' that precedes its own.
  std::wstring_view t(text_);
  size_t end = static_cast<size_t>(r.start) + r.length;
  size_t content = r.start + StartTagLength(n);
  size_t from = content;
  size_t gt = t.substr(0, end - 1).rfind(L'>');
  if (gt != npos && gt + 1 > from) from = gt + 1;
  std::wstring pattern = L"</";
  pattern += TagName(n);
  size_t p = t.find(pattern, from);
  return (p == npos || p >= end) ? 0 : end - p;
}

void MarkupDoc::SetTagLengths(uint32_t n, size_t start_tag, size_t end_tag) {
  auto s = static_cast<uint32_t>(std::min<size_t>(start_tag, kStartTagMax));
  auto e = static_cast<uint32_t>(std::min<size_t>(end_tag, kEndTagMax));
  Rec(n).tag_lengths = s | (e << kEndTagShift);
}

void MarkupDoc::SetStartTagLength(uint32_t n, size_t start_tag) {
  auto s = static_cast<uint32_t>(std::min<size_t>(start_tag, kStartTagMax));
  Record& r = Rec(n);
  r.tag_lengths = (r.tag_lengths & ~kStartTagMax) | s;
}

std::wstring_view MarkupDoc::TagName(uint32_t n) const {
  std::wstring_view t(text_);
  size_t begin = static_cast<size_t>(Rec(n).start) + 1;
  if (begin > t.size()) return {};
  // Every start tag ends with '>', so the name ends inside it.
  return t.substr(begin, NameEnd(t, begin, t.size()) - begin);
}

bool MarkupDoc::NameMatches(uint32_t n, std::wstring_view name) const {
  return name.empty() || TokenMatches(TagName(n), name);
}

void MarkupDoc::LinkLastChild(uint32_t parent, uint32_t n) {
  Record& p = Rec(parent);
  Record& r = Rec(n);
  r.parent = parent;
  r.next = 0;
  if (!p.first_child) {
    p.first_child = n;
    r.prev = n;
    r.flags |= kFirstChild;
    return;
  }
  Record& first = Rec(p.first_child);
  uint32_t last = first.prev;
  Rec(last).next = n;
  r.prev = last;
  first.prev = n;
  r.flags &= ~kFirstChild;
}

// ---------------------------------------------------------------- parsing

namespace {
struct OpenElement {
  uint32_t element;
  size_t name_begin;
  size_t name_end;
};
}  // namespace

bool MarkupDoc::ParseText(std::wstring_view text) {
  text_.assign(text);
  result_.clear();
  bool ok = Parse();
  result_ = parse_error_;
  return ok;
}

bool MarkupDoc::Parse() {
  parse_error_.clear();
  parent_ = current_ = child_ = 0;
  const size_t n = text_.size();
  index_->Reset(uint64_t{n} / 64 + 8);
  Rec(0) = Record{};
  next_free_ = 1;
  if (n == 0) {
    SetError(L"Empty document");
    return false;
  }
  if (n > kMaxText) {
    // Offsets are 32-bit; such a text is not indexed at all.
    Rec(0).flags |= kDocIllFormed;
    SetError(L"Document too large");
    return false;
  }
  Rec(0).length = static_cast<int32_t>(n);

  std::wstring_view t(text_);
  std::vector<OpenElement> open;
  open.reserve(6);
  auto name_of = [&](const OpenElement& e) {
    return t.substr(e.name_begin, e.name_end - e.name_begin);
  };
  auto ill_formed = [&](bool mark_enclosing) {
    Rec(0).flags |= kDocIllFormed;
    if (mark_enclosing) Rec(open.empty() ? 0 : open.back().element).flags |= kHasIllFormed;
  };

  size_t i = 0;
  while (i < n) {
    Node node = ScanNode(t, i);
    switch (node.kind) {
      case Kind::kStartTag: {
        uint32_t e = NewRecord();
        if (!e) {
          // Out of element numbers: the rest is not indexed.
          ill_formed(true);
          SetError(L"Too many elements at offset " + Num(i));
          i = n;
          continue;
        }
        Record& r = Rec(e);
        r.start = static_cast<int32_t>(i);
        r.flags = static_cast<uint32_t>(std::min<size_t>(open.size(), kDepthMask));
        SetTagLengths(e, node.end - i, 0);
        LinkLastChild(open.empty() ? 0 : open.back().element, e);
        if (node.empty) {
          r.flags |= kEmptyTag;
          r.length = static_cast<int32_t>(node.end - i);
        } else {
          if (open.size() == open.capacity()) open.reserve(open.capacity() * 2 + 6);
          open.push_back({e, node.name_begin, node.name_end});
        }
        break;
      }
      case Kind::kEndTag: {
        std::wstring_view name = t.substr(node.name_begin, node.name_end - node.name_begin);
        size_t k = open.size();
        while (k > 0 && name_of(open[k - 1]) != name) --k;
        if (k == 0) {
          ill_formed(false);
          SetError(L"No start tag for end tag '" + std::wstring(name) + L"' at offset " + Num(i));
          break;
        }
        const size_t match = k - 1;
        if (match + 1 < open.size()) {
          const OpenElement& inner = open.back();
          SetError(L"End tag '" + std::wstring(name) + L"' at offset " + Num(i + 1) +
                   L" does not match start tag '" + std::wstring(name_of(inner)) +
                   L"' at offset " + Num(Rec(inner.element).start));
          CloseNotEnded(open[match + 1].element, open.size() - match - 1, open[match].element);
          open.resize(match + 1);
        }
        uint32_t e = open[match].element;
        Record& r = Rec(e);
        r.length = static_cast<int32_t>(node.end - r.start);
        r.tag_lengths = (r.tag_lengths & kStartTagMax) |
                        (static_cast<uint32_t>(std::min<size_t>(node.end - i, kEndTagMax))
                         << kEndTagShift);
        open.pop_back();
        break;
      }
      case Kind::kMalformed:
        ill_formed(true);
        SetError(L"Incorrect " + std::wstring(node.what) + L" at offset " + Num(i));
        break;
      case Kind::kUnterminated:
        ill_formed(true);
        SetError(std::wstring(node.what) + L" at offset " + Num(i) + L" unterminated");
        break;
      default:
        break;
    }
    i = node.end;
  }

  if (!open.empty()) {
    const OpenElement& inner = open.back();
    SetError(L"Element '" + std::wstring(name_of(inner)) + L"' at offset " +
             Num(Rec(inner.element).start) + L" not ended");
    CloseNotEnded(open.front().element, open.size(), 0);
  }

  uint32_t root = Rec(0).first_child;
  if (!root) {
    SetError(L"No root element");
  } else if (Rec(root).next) {
    SetError(L"Root element has sibling");
  }
  return !(Rec(0).flags & kDocIllFormed) && root && !Rec(root).next;
}

void MarkupDoc::CloseNotEnded(uint32_t outermost, size_t count, uint32_t receiver) {
  // Each closed element is the receiver's last child when its turn comes:
  // its children are spliced in right after it, and the next open element,
  // its last child, becomes the receiver's last child in turn. So every
  // child moves once, however many elements close together.
  uint32_t x = outermost;
  for (size_t j = 0; j < count && x; ++j) {
    Record& r = Rec(x);
    r.flags |= kNotEnded;
    Rec(0).flags |= kDocIllFormed;
    r.length = static_cast<int32_t>(StartTagLength(x));  // no end tag: length 0 stays
    uint32_t first = r.first_child;
    if (!first) break;  // no further open element inside
    uint32_t last = Rec(first).prev;
    for (uint32_t c = first; c; c = Rec(c).next) {
      Record& cr = Rec(c);
      cr.parent = receiver;
      cr.flags &= ~kFirstChild;
    }
    r.first_child = 0;
    r.next = first;
    Rec(first).prev = x;
    Rec(Rec(receiver).first_child).prev = last;
    x = last;
  }
}

// ------------------------------------------------------------- navigation

void MarkupDoc::Rewind() { parent_ = current_ = child_ = 0; }

void MarkupDoc::RewindChildren() { child_ = 0; }

uint32_t MarkupDoc::FindSibling(uint32_t from, std::wstring_view name) const {
  for (uint32_t e = from; e; e = Rec(e).next) {
    if (NameMatches(e, name)) return e;
  }
  return 0;
}

bool MarkupDoc::NextElement(std::wstring_view name) {
  uint32_t from = current_ ? Rec(current_).next : Rec(parent_).first_child;
  uint32_t e = FindSibling(from, name);
  if (!e) return false;
  current_ = e;
  parent_ = Rec(e).parent;
  child_ = 0;
  return true;
}

bool MarkupDoc::NextChild(std::wstring_view name) {
  if (!current_ && !NextElement()) return false;
  uint32_t from = child_ ? Rec(child_).next : Rec(current_).first_child;
  uint32_t e = FindSibling(from, name);
  if (!e) return false;
  child_ = e;
  return true;
}

bool MarkupDoc::Descend() {
  if (!current_) return false;
  parent_ = current_;
  current_ = child_;
  child_ = 0;
  return true;
}

bool MarkupDoc::Ascend() {
  if (!parent_) return false;
  uint32_t grand = Rec(parent_).parent;
  child_ = current_;
  current_ = parent_;
  parent_ = grand;
  return true;
}

// ---------------------------------------------------------------- reading

std::wstring MarkupDoc::TextOf(uint32_t n) const {
  if (!n) return {};
  const Record& r = Rec(n);
  if (r.first_child || (r.flags & (kEmptyTag | kNotEnded))) return {};
  size_t begin = r.start + StartTagLength(n);
  size_t end = static_cast<size_t>(r.start) + r.length - EndTagLength(n);
  if (end <= begin || end > text_.size()) return {};
  std::wstring_view t(text_);
  std::wstring_view content = t.substr(begin, end - begin);
  if (content.find(L'<') == npos) return UnescapeMarkup(content);

  // Mixed content without elements: text nodes unescaped and CDATA inner
  // text as it stands; comments, instructions and blank runs give nothing.
  std::wstring out;
  std::wstring_view scope = t.substr(0, end);
  size_t i = begin;
  while (i < end) {
    Node node = ScanNode(scope, i);
    if (node.kind == Kind::kText) {
      out += UnescapeMarkup(scope.substr(i, node.end - i));
    } else if (node.kind == Kind::kCData) {
      size_t close = node.end - 3;
      size_t inner = std::min(i + 9, close);  // after "<![CDATA["
      out.append(scope.substr(inner, close - inner));
    }
    i = node.end;
  }
  return out;
}

std::wstring MarkupDoc::ElementText() const { return TextOf(current_); }

MarkupDoc::AttrSpan MarkupDoc::FindAttribute(uint32_t n, std::wstring_view name) const {
  AttrSpan span;
  std::wstring_view t(text_);
  const Record& r = Rec(n);
  size_t tag_end = std::min(t.size(), r.start + StartTagLength(n));
  // Tokens are looked for before the closing '>', and in an empty tag
  // before its "/>": in "<a x=q\"/>" the unquoted value is 'q"' and a new
  // attribute goes in front of the "/>", so the tag stays empty.
  size_t limit = (tag_end > static_cast<size_t>(r.start) + 1 && t[tag_end - 1] == L'>')
                     ? tag_end - 1
                     : tag_end;
  if ((r.flags & kEmptyTag) && limit > static_cast<size_t>(r.start) + 1 && t[limit - 1] == L'/') --limit;
  size_t p = NameEnd(t, r.start + 1, limit);
  span.after_last = p;
  auto is_quote = [](wchar_t c) { return c == L'"' || c == L'\''; };
  auto close_quote = [&](size_t open) {
    size_t c = t.find(t[open], open + 1);
    return (c == npos || c >= limit) ? limit : c;
  };
  for (;;) {
    while (p < limit && IsWs(t[p])) ++p;
    if (p >= limit || t[p] == L'/' || t[p] == L'>' || t[p] == L'?') break;
    AttrSpan a;
    if (is_quote(t[p])) {
      size_t c = close_quote(p);
      a.name_begin = p + 1;
      a.name_end = c;
      a.token_end = std::min(c + 1, limit);
    } else {
      size_t k = p;
      while (k < limit && !IsWs(t[k]) && t[k] != L'=' && t[k] != L'>' && t[k] != L'/' &&
             t[k] != L'?') {
        ++k;
      }
      a.name_begin = p;
      a.name_end = k;
      a.token_end = k;
    }
    size_t q = a.token_end;
    while (q < limit && IsWs(t[q])) ++q;
    if (q < limit && t[q] == L'=') {
      size_t v = q + 1;
      while (v < limit && IsWs(t[v])) ++v;
      a.has_value = true;
      a.value_begin = v;
      if (v < limit && is_quote(t[v])) {
        size_t c = close_quote(v);
        a.inner_begin = v + 1;
        a.inner_end = c;
        a.value_end = std::min(c + 1, limit);
      } else {
        size_t k = v;
        while (k < limit && !IsWs(t[k]) && t[k] != L'>') ++k;
        a.inner_begin = v;
        a.inner_end = k;
        a.value_end = k;
      }
      p = a.value_end;
    } else {
      p = a.token_end;
    }
    if (TokenMatches(t.substr(a.name_begin, a.name_end - a.name_begin), name)) {
      a.found = true;
      a.after_last = p;
      return a;
    }
    span.after_last = p;
  }
  return span;
}

std::wstring MarkupDoc::AttributeValue(std::wstring_view name) const {
  if (!current_) return {};
  AttrSpan a = FindAttribute(current_, name);
  if (!a.found) return {};
  std::wstring_view t(text_);
  if (!a.has_value) return std::wstring(t.substr(a.name_begin, a.name_end - a.name_begin));
  return UnescapeMarkup(t.substr(a.inner_begin, a.inner_end - a.inner_begin));
}

bool MarkupDoc::ChildText(std::wstring_view name, std::wstring& out) {
  child_ = 0;
  if (!NextChild(name)) return false;
  out = TextOf(child_);
  return true;
}

// ---------------------------------------------------------------- editing

bool MarkupDoc::Splice(size_t pos, size_t remove, std::wstring_view insert, uint32_t encloser) {
  size_t need = text_.size() - remove + insert.size();
  if (need > kMaxText) return false;
  if (need > text_.capacity()) text_.reserve(need + need / 2 + 128);
  text_.replace(pos, remove, insert);
  auto delta = static_cast<int32_t>(static_cast<int64_t>(insert.size()) - static_cast<int64_t>(remove));
  if (delta == 0) return true;
  for (uint32_t e = 1; e < next_free_; ++e) {
    Record& r = Rec(e);
    if (static_cast<size_t>(r.start) >= pos) r.start += delta;
  }
  for (uint32_t e = encloser; e; e = Rec(e).parent) Rec(e).length += delta;
  Rec(0).length += delta;
  return true;
}

size_t MarkupDoc::SkipWhitespaceToTag(size_t pos, uint32_t parent) const {
  // The limit is the parent's end tag (the end of the text at top level); a
  // parent that was never ended stops at its own end, so that the skip never
  // leaves it.
  size_t limit = text_.size();
  if (parent) {
    const Record& p = Rec(parent);
    limit = static_cast<size_t>(p.start) + p.length - EndTagLength(parent);
  }
  size_t k = pos;
  while (k < limit && IsWs(text_[k])) ++k;
  return (k == limit || text_[k] == L'<') ? k : pos;
}

void MarkupDoc::SetAttributeValue(std::wstring_view name, std::wstring_view value) {
  if (!current_ || name.empty()) return;
  AttrSpan a = FindAttribute(current_, name);
  std::wstring quoted = L"\"" + EscapeMarkup(value, true) + L"\"";
  size_t pos, remove = 0;
  std::wstring insert;
  if (a.found && a.has_value) {
    pos = a.value_begin;
    remove = a.value_end - a.value_begin;
    insert = std::move(quoted);
  } else if (a.found) {
    // Written as a bare name: give it a value.
    pos = a.token_end;
    insert = L"=" + quoted;
  } else {
    pos = a.after_last;
    insert = L" ";
    insert += name;
    insert += L"=";
    insert += quoted;
  }
  // The loose tag syntax lets a few odd tags read differently once edited
  // ("<e flag/>" is a start tag, "<e flag=\"1\"/>" an empty one; a tag name
  // with a quote in it shifts the quoting). Such an edit would leave the
  // index describing a document that is no longer there, so it is not made.
  const Record& r = Rec(current_);
  size_t start_tag = StartTagLength(current_);
  std::wstring tag = text_.substr(r.start, start_tag);
  tag.replace(pos - r.start, remove, insert);
  Node scanned = ScanNode(tag, 0);
  if (scanned.kind != Kind::kStartTag || scanned.end != tag.size() ||
      scanned.empty != ((r.flags & kEmptyTag) != 0) ||
      std::wstring_view(tag).substr(1, scanned.name_end - 1) != TagName(current_)) {
    return;
  }
  if (!Splice(pos, remove, insert, current_)) return;
  SetStartTagLength(current_, tag.size());
}

bool MarkupDoc::AppendElement(std::wstring_view name, std::wstring_view text) {
  // The name must read back as the same name: no blank, quote, '=', '/',
  // '<' or '>' in it.
  if (name.empty() || !IsNameStart(name[0]) ||
      name.find_first_of(L" \t\r\n\"'=/<>") != npos || next_free_ == UINT32_MAX) {
    return false;
  }
  if (Rec(0).length == 0 && !text_.empty()) return false;  // text too large to index
  std::wstring element = L"<";
  element += name;
  size_t start_tag, end_tag;
  bool empty = text.empty();
  if (!empty) {
    element += L">";
    element += EscapeMarkup(text, false);
    element += L"</";
    element += name;
    element += L">";
    start_tag = name.size() + 2;
    end_tag = name.size() + 3;
  } else {
    element += L"/>";
    start_tag = name.size() + 3;
    end_tag = 0;
  }

  const uint32_t parent = current_ ? Rec(current_).parent : parent_;
  size_t change, remove = 0, offset = 0;
  std::wstring insert;
  bool parent_was_empty = false;
  size_t parent_start_tag = 0;
  std::wstring parent_name;
  if (current_) {
    const Record& c = Rec(current_);
    change = SkipWhitespaceToTag(static_cast<size_t>(c.start) + c.length, parent);
    insert = element + std::wstring(kCrLf);
  } else if (!parent) {
    change = text_.size();
    insert = element + std::wstring(kCrLf);
  } else if (Rec(parent).flags & kEmptyTag) {
    // "<p/>" becomes "<p>", CR LF, the element, CR LF, "</p>".
    parent_was_empty = true;
    parent_start_tag = StartTagLength(parent);
    parent_name = std::wstring(TagName(parent));
    change = Rec(parent).start + parent_start_tag - 2;  // the '/'
    remove = 1;
    insert = L">\r\n" + element + L"\r\n</" + parent_name;
    offset = 3;
  } else {
    const Record& p = Rec(parent);
    size_t p_start_tag = StartTagLength(parent);
    size_t p_end_tag = EndTagLength(parent);
    change = SkipWhitespaceToTag(static_cast<size_t>(p.start) + p.length - p_end_tag, parent);
    if (p_end_tag > 0 && static_cast<size_t>(p.length) == p_start_tag + p_end_tag) {
      insert = std::wstring(kCrLf) + element + std::wstring(kCrLf);
      offset = 2;
    } else {
      insert = element + std::wstring(kCrLf);
    }
  }

  uint32_t n = NewRecord();
  if (!n) return false;
  if (!Splice(change, remove, insert, parent)) {
    --next_free_;
    return false;
  }
  if (parent_was_empty) {
    Rec(parent).flags &= ~kEmptyTag;
    SetTagLengths(parent, parent_start_tag - 1, parent_name.size() + 3);
  }
  Record& r = Rec(n);
  r.start = static_cast<int32_t>(change + offset);
  r.length = static_cast<int32_t>(element.size());
  SetTagLengths(n, start_tag, end_tag);
  uint32_t depth = parent ? std::min<uint32_t>((Rec(parent).flags & kDepthMask) + 1, kDepthMask) : 0;
  r.flags = depth | (empty ? kEmptyTag : 0);
  if (current_) {
    Record& c = Rec(current_);
    r.parent = parent;
    r.next = c.next;
    r.prev = current_;
    if (c.next) {
      Rec(c.next).prev = n;
    } else {
      Rec(Rec(parent).first_child).prev = n;
    }
    c.next = n;
  } else {
    LinkLastChild(parent, n);
  }
  current_ = n;
  parent_ = parent;
  child_ = 0;
  return true;
}

// ------------------------------------------------------------------ files

bool MarkupDoc::LoadFromFile(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    result_ = ErrnoText(errno);
    return false;
  }
  std::string bytes;
  struct stat st;
  if (fstat(fileno(f), &st) == 0 && st.st_size > 0) bytes.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, got);
  if (std::ferror(f)) {
    int err = errno;
    std::fclose(f);
    result_ = ErrnoText(err);
    return false;
  }
  std::fclose(f);

  size_t count = Utf8ToWide(nullptr, bytes.data(), bytes.size());
  std::wstring wide(count + 1, L'\0');
  Utf8ToWide(wide.data(), bytes.data(), bytes.size());
  wide.resize(count);
  text_ = std::move(wide);
  std::wstring conversion = Num(bytes.size()) + L" bytes to " + Num(count) + L" wide chars";
  bool ok = Parse();
  result_ = parse_error_.empty() ? conversion : conversion + L", " + parse_error_;
  return ok;
}

bool MarkupDoc::SaveToFile(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    result_ = ErrnoText(errno);
    return false;
  }
  size_t need = platform::EncodeUtf8(text_.data(), text_.size(), nullptr, 0);
  std::string bytes(need, '\0');
  platform::EncodeUtf8(text_.data(), text_.size(), bytes.data(), need);
  int err = 0;
  if (need && std::fwrite(bytes.data(), 1, need, f) != need) err = errno ? errno : EIO;
  if (std::fclose(f) != 0 && !err) err = errno ? errno : EIO;
  if (err) {
    result_ = ErrnoText(err);
    return false;
  }
  result_ = Num(text_.size()) + L" wide chars to " + Num(need) + L" bytes";
  return true;
}

// --------------------------------------------------------------- escaping

std::wstring MarkupDoc::UnescapeMarkup(std::wstring_view text) {
  static constexpr struct {
    std::wstring_view name;
    wchar_t ch;
  } kEntities[] = {{L"&lt;", L'<'}, {L"&amp;", L'&'}, {L"&gt;", L'>'}, {L"&apos;", L'\''},
                   {L"&quot;", L'"'}};
  std::wstring out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    wchar_t c = text[i];
    if (c != L'&') {
      out += c;
      ++i;
      continue;
    }
    std::wstring_view rest = text.substr(i);
    bool done = false;
    for (const auto& ent : kEntities) {
      if (rest.starts_with(ent.name)) {
        out += ent.ch;
        i += ent.name.size();
        done = true;
        break;
      }
    }
    if (done) continue;
    if (rest.size() > 2 && rest[1] == L'#') {
      // "&#" decimal or "&#x" hexadecimal digits, closed by a ';' among the
      // next eight characters.
      bool hex = rest[2] == L'x';
      size_t digits = hex ? 3 : 2;
      size_t semi = rest.substr(0, std::min(rest.size(), digits + 8)).find(L';', digits);
      if (semi != npos && semi > digits) {
        uint32_t value = 0;
        bool ok = true;
        for (size_t k = digits; k < semi && ok; ++k) {
          auto d = static_cast<uint32_t>(rest[k]);
          uint32_t v;
          if (d >= '0' && d <= '9') {
            v = d - '0';
          } else if (hex && d >= 'a' && d <= 'f') {
            v = d - 'a' + 10;
          } else if (hex && d >= 'A' && d <= 'F') {
            v = d - 'A' + 10;
          } else {
            ok = false;
            break;
          }
          value = value * (hex ? 16 : 10) + v;  // at most 7 digits: no overflow
        }
        if (ok && value != 0 && value <= 0x10FFFF) {
          out += static_cast<wchar_t>(value);
          i += semi + 1;
          continue;
        }
      }
    }
    out += L'&';
    ++i;
  }
  return out;
}

std::wstring MarkupDoc::EscapeMarkup(std::wstring_view text, bool quotes) {
  std::wstring out;
  out.reserve(text.size() + text.size() / 10 + 7);
  for (wchar_t c : text) {
    switch (c) {
      case L'<': out += L"&lt;"; break;
      case L'&': out += L"&amp;"; break;
      case L'>': out += L"&gt;"; break;
      case L'\'':
        if (quotes) out += L"&apos;"; else out += c;
        break;
      case L'"':
        if (quotes) out += L"&quot;"; else out += c;
        break;
      default: out += c; break;
    }
  }
  return out;
}

}  // namespace support
