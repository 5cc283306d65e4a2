// MarkupDoc: the program's one XML document class.
//
// The document is a single wide string, edited in place. Parsing builds a
// compact index of the elements in that string (nothing else is indexed:
// text, comments, CDATA, processing instructions and the document type are
// found again by scanning when needed). Reading returns unescaped slices of
// the string; editing splices new text in and moves the offsets in the index.
// Navigation state is three element numbers: parent, current, child (0 is
// none; as a parent, 0 stands for the document itself).
//
// Offsets count wchar_t units from the start of the text (one unit per code
// point). Names compare case-sensitively; an empty name matches any element.
//
// Element numbers are handed out from 1 in document order while parsing and
// to new elements after that; records live in segments of 65,536 (the upper
// 16 bits of a number pick the segment, the lower 16 the slot), so records
// never move once made.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/utf8.h"

namespace support {

struct MarkupDocInspector;  // test access to the index

class MarkupDoc {
 public:
  MarkupDoc();
  explicit MarkupDoc(std::wstring_view text);
  MarkupDoc(const MarkupDoc&) = delete;
  MarkupDoc& operator=(const MarkupDoc&) = delete;
  // A moved-from document may only be assigned to or destroyed.
  MarkupDoc(MarkupDoc&&) noexcept;
  MarkupDoc& operator=(MarkupDoc&&) noexcept;
  ~MarkupDoc();

  // Replaces the text, clears the result text, parses and resets the
  // positions. True when the text is well-formed with exactly one root.
  bool ParseText(std::wstring_view text = {});

  // Reads the whole file as UTF-8 and parses it. True when the file was read
  // and is well-formed. A file that cannot be opened leaves the document as
  // it was.
  bool LoadFromFile(const std::string& path);
  // Writes the text as UTF-8 without byte-order mark, creating or truncating
  // the file. True when every byte was written.
  bool SaveToFile(const std::string& path);

  void Rewind();
  void RewindChildren();
  bool NextElement(std::wstring_view name = {});
  bool NextChild(std::wstring_view name = {});
  bool Descend();
  bool Ascend();

  std::wstring ElementText() const;
  std::wstring AttributeValue(std::wstring_view name) const;
  void SetAttributeValue(std::wstring_view name, std::wstring_view value);
  bool AppendElement(std::wstring_view name, std::wstring_view text = {});
  // Text of the first child `name` of the current element; `out` is left
  // alone when there is none.
  bool ChildText(std::wstring_view name, std::wstring& out);

  const std::wstring& LastMessage() const { return result_; }
  // The whole document text.
  const std::wstring& Text() const { return text_; }

  static std::wstring UnescapeMarkup(std::wstring_view text);
  static std::wstring EscapeMarkup(std::wstring_view text, bool quotes);

  // One index record, in its stored layout. Record 0 stands for the
  // document: start 0, length the text length, first_child the root.
  struct Record {
    int32_t start;         // offset of the start tag's '<'
    int32_t length;        // from '<' to the end of the end tag (or empty tag)
    uint32_t tag_lengths;  // low 20 bits start tag, top 10 bits end tag
    uint32_t flags;        // low 16 bits depth, flag bits above
    uint32_t parent;
    uint32_t first_child;
    uint32_t next;
    uint32_t prev;  // for a first child: the last child
  };
  static constexpr uint32_t kDepthMask = 0xFFFF;
  static constexpr uint32_t kFirstChild = 1u << 16;
  static constexpr uint32_t kEmptyTag = 1u << 17;
  static constexpr uint32_t kNotEnded = 1u << 18;
  static constexpr uint32_t kHasIllFormed = 1u << 19;
  static constexpr uint32_t kDocIllFormed = 1u << 20;  // record 0 only
  // A start tag of this length or longer is stored as this value and its
  // real length is found again by scanning; the same for end tags.
  static constexpr uint32_t kStartTagMax = 0xFFFFF;
  static constexpr uint32_t kEndTagMax = 0x3FF;
  static constexpr int kEndTagShift = 22;

 private:
  friend struct MarkupDocInspector;
  class Index;

  bool Parse();
  // Closes `count` open elements as not ended, from `outermost` inwards (each
  // further one is the last child of the one before); their children move up
  // to follow them as children of `receiver`.
  void CloseNotEnded(uint32_t outermost, size_t count, uint32_t receiver);
  void LinkLastChild(uint32_t parent, uint32_t n);
  void SetError(std::wstring message);

  Record& Rec(uint32_t n);
  const Record& Rec(uint32_t n) const;
  uint32_t NewRecord();
  uint64_t IndexCapacity() const;
  size_t IndexSegmentCount() const;
  uint32_t IndexSegmentSize(size_t segment) const;
  size_t StartTagLength(uint32_t n) const;
  size_t EndTagLength(uint32_t n) const;
  void SetTagLengths(uint32_t n, size_t start_tag, size_t end_tag);
  std::wstring_view TagName(uint32_t n) const;
  bool NameMatches(uint32_t n, std::wstring_view name) const;
  std::wstring TextOf(uint32_t n) const;
  uint32_t FindSibling(uint32_t from, std::wstring_view name) const;

  // Replaces `remove` units at `pos` with `insert`, then moves every element
  // that starts at or after `pos` and grows `encloser`, its ancestors and the
  // document. False (nothing changed) when the text would outgrow the
  // 32-bit offsets.
  bool Splice(size_t pos, size_t remove, std::wstring_view insert, uint32_t encloser);
  void SetStartTagLength(uint32_t n, size_t start_tag);
  size_t SkipWhitespaceToTag(size_t pos, uint32_t parent) const;

  struct AttrSpan;
  AttrSpan FindAttribute(uint32_t n, std::wstring_view name) const;

  std::wstring text_;
  std::wstring result_;
  std::wstring parse_error_;
  std::unique_ptr<Index> index_;
  uint32_t parent_ = 0;
  uint32_t current_ = 0;
  uint32_t child_ = 0;
  uint32_t next_free_ = 1;
};

}  // namespace support
