// Test access to MarkupDoc's element index: record fields, positions,
// segment layout, a consistency check of the index against the text, and a
// shape of the element tree that does not depend on element numbers.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "support/markup_doc.h"

namespace support {

struct MarkupDocInspector {
  using Record = MarkupDoc::Record;

  static const Record& Rec(const MarkupDoc& d, uint32_t n) { return d.Rec(n); }
  static uint32_t NextFree(const MarkupDoc& d) { return d.next_free_; }
  static uint32_t Parent(const MarkupDoc& d) { return d.parent_; }
  static uint32_t Current(const MarkupDoc& d) { return d.current_; }
  static uint32_t Child(const MarkupDoc& d) { return d.child_; }
  static size_t StartTagLength(const MarkupDoc& d, uint32_t n) { return d.StartTagLength(n); }
  static size_t EndTagLength(const MarkupDoc& d, uint32_t n) { return d.EndTagLength(n); }
  static std::wstring Name(const MarkupDoc& d, uint32_t n) { return std::wstring(d.TagName(n)); }
  static uint64_t Capacity(const MarkupDoc& d) { return d.IndexCapacity(); }
  static size_t SegmentCount(const MarkupDoc& d) { return d.IndexSegmentCount(); }
  static uint32_t SegmentSize(const MarkupDoc& d, size_t s) { return d.IndexSegmentSize(s); }

  // Element numbers in document order (pre-order), without record 0.
  static std::vector<uint32_t> Preorder(const MarkupDoc& d) {
    std::vector<uint32_t> out;
    uint32_t e = d.Rec(0).first_child;
    while (e) {
      out.push_back(e);
      if (d.Rec(e).first_child) {
        e = d.Rec(e).first_child;
        continue;
      }
      while (e && !d.Rec(e).next) e = d.Rec(e).parent;
      if (e) e = d.Rec(e).next;
    }
    return out;
  }

  struct Shape {
    int32_t start, length;
    size_t start_tag, end_tag;
    uint32_t flags;
    long parent;  // position in pre-order, -1 for the document
    bool operator==(const Shape&) const = default;
  };

  // The element tree in document order with numbers replaced by positions,
  // so that an edited index can be compared with a fresh parse.
  static std::vector<Shape> Shapes(const MarkupDoc& d) {
    std::vector<uint32_t> order = Preorder(d);
    std::unordered_map<uint32_t, long> position;
    for (size_t k = 0; k < order.size(); ++k) position[order[k]] = static_cast<long>(k);
    std::vector<Shape> out;
    for (uint32_t e : order) {
      const Record& r = d.Rec(e);
      long parent = r.parent ? position[r.parent] : -1;
      out.push_back({r.start, r.length, d.StartTagLength(e), d.EndTagLength(e), r.flags, parent});
    }
    return out;
  }

  // Empty when the index agrees with the text and with itself; otherwise a
  // description of the first disagreement.
  static std::string Check(const MarkupDoc& d) {
    std::ostringstream err;
    const std::wstring& t = d.text_;
    const Record& doc = d.Rec(0);
    if (doc.start != 0 || static_cast<size_t>(doc.length) != t.size()) {
      err << "record 0 spans " << doc.start << "+" << doc.length << ", text has " << t.size();
      return err.str();
    }
    size_t seen = 0;
    // Iterative walk: (element, its parent).
    std::vector<uint32_t> stack{0};
    while (!stack.empty()) {
      uint32_t p = stack.back();
      stack.pop_back();
      const Record& pr = d.Rec(p);
      size_t lo = p ? pr.start + d.StartTagLength(p) : 0;
      size_t hi = p ? pr.start + pr.length - d.EndTagLength(p) : t.size();
      uint32_t first = pr.first_child;
      uint32_t prev = 0;
      for (uint32_t c = first; c; c = d.Rec(c).next) {
        if (++seen > d.next_free_) return "cycle in sibling links";
        const Record& r = d.Rec(c);
        size_t s = static_cast<size_t>(r.start);
        size_t e = s + static_cast<size_t>(r.length);
        size_t stl = d.StartTagLength(c), etl = d.EndTagLength(c);
        err << "element " << c << " at " << s << ": ";
        if (c >= d.next_free_) return err.str() + "number beyond next free";
        if (r.parent != p) return err.str() + "wrong parent";
        if (s < lo || e > hi) return err.str() + "outside its parent's content";
        if (s >= t.size() || t[s] != L'<') return err.str() + "no '<' at start";
        if (stl < 3 || stl + etl > static_cast<size_t>(r.length)) return err.str() + "tag lengths";
        if (t[s + stl - 1] != L'>') return err.str() + "start tag does not end with '>'";
        if (etl && (t[e - etl] != L'<' || t[e - etl + 1] != L'/' || t[e - 1] != L'>'))
          return err.str() + "end tag not where recorded";
        if ((r.flags & MarkupDoc::kEmptyTag) && (t[s + stl - 2] != L'/' || etl || stl != static_cast<size_t>(r.length)))
          return err.str() + "empty tag";
        // A not-ended element is cut back to its start tag; only elements
        // appended into it later make it longer.
        if ((r.flags & MarkupDoc::kNotEnded) && (etl || (!r.first_child && stl != static_cast<size_t>(r.length))))
          return err.str() + "not-ended element";
        if (!(r.flags & (MarkupDoc::kEmptyTag | MarkupDoc::kNotEnded)) && !etl)
          return err.str() + "element without end tag";
        bool is_first = c == first;
        if (is_first != ((r.flags & MarkupDoc::kFirstChild) != 0)) return err.str() + "first-child flag";
        if (!is_first && r.prev != prev) return err.str() + "previous link";
        if (!r.next && d.Rec(first).prev != c) return err.str() + "first child does not point at the last";
        if (prev && s < static_cast<size_t>(d.Rec(prev).start) + d.Rec(prev).length)
          return err.str() + "overlaps its previous sibling";
        err.str("");
        prev = c;
        stack.push_back(c);
      }
    }
    if (seen != d.next_free_ - 1) {
      err << seen << " elements reachable, " << d.next_free_ - 1 << " numbered";
      return err.str();
    }
    return {};
  }
};

}  // namespace support
