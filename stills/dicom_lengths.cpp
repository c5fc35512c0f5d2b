#include "stills/dicom_lengths.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

namespace stills::detail {

namespace {

// A walk through the file's elements from the end of the preamble.
class Lengths {
 public:
  explicit Lengths(Bytes file) : f_(file) {}

  bool check() {
    std::size_t at = 132;
    std::string syntax;
    // The meta group: always explicit VR little endian; it names the syntax of the rest.
    while (f_.size() - at >= 8 && u16(at, true) == 0x0002) {
      const std::size_t tag = at;
      if (!header(at, {true, true}) || f_.size() - at < length_) return false;
      if (u16(tag + 2, true) == 0x0010) {
        syntax.assign(reinterpret_cast<const char*>(f_.data() + at), length_);
        while (!syntax.empty() && (syntax.back() == '\0' || syntax.back() == ' '))
          syntax.pop_back();
      }
      at += length_;
    }
    Layout layout{true, true};
    if (syntax == "1.2.840.10008.1.2") {
      layout.explicitVr = false;
    } else if (syntax == "1.2.840.10008.1.2.2") {
      layout.little = false;
    } else if (syntax == "1.2.840.10008.1.2.1.99") {
      return false;  // deflated: its lengths cannot be seen without inflating it
    } else if (syntax.empty() && f_.size() - at >= 6) {
      layout.explicitVr = std::isupper(f_[at + 4]) && std::isupper(f_[at + 5]);
    }
    return walk(at, f_.size(), layout, false, 0);
  }

 private:
  struct Layout {
    bool explicitVr;
    bool little;
  };
  static constexpr std::uint32_t kUndefined = 0xFFFFFFFF;

  unsigned u16(std::size_t at, bool little) const {
    return little ? f_[at] | (f_[at + 1] << 8) : (f_[at] << 8) | f_[at + 1];
  }
  std::uint32_t u32(std::size_t at, bool little) const {
    const std::uint32_t lo = u16(at, little), hi = u16(at + 2, little);
    return little ? lo | (hi << 16) : (lo << 16) | hi;
  }

  // Reads the tag, VR and length of the element at `at` into the members and
  // moves past them; false when they do not fit.
  bool header(std::size_t& at, Layout l) {
    if (f_.size() - at < 8) return false;
    group_ = u16(at, l.little);
    element_ = u16(at + 2, l.little);
    vr_[0] = vr_[1] = 0;
    if (group_ == 0xFFFE || !l.explicitVr) {  // items and delimiters have no VR
      length_ = u32(at + 4, l.little);
      at += 8;
      return true;
    }
    vr_[0] = static_cast<char>(f_[at + 4]);
    vr_[1] = static_cast<char>(f_[at + 5]);
    static constexpr const char* kLong[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ",
                                            "SV", "UC", "UN", "UR", "UT", "UV"};
    const bool longForm = std::any_of(std::begin(kLong), std::end(kLong),
                                      [&](const char* v) { return std::memcmp(v, vr_, 2) == 0; });
    if (!longForm) {
      length_ = u16(at + 6, l.little);
      at += 8;
      return true;
    }
    if (f_.size() - at < 12) return false;
    length_ = u32(at + 8, l.little);
    at += 12;
    return true;
  }

  // The elements (or, in encapsulated pixel data, the fragments) from `at`
  // up to `end` or to the delimiter that closes them.
  bool walk(std::size_t& at, std::size_t end, Layout l, bool fragments, int depth) {
    if (depth > 64) return false;
    while (at < end) {
      if (!header(at, l) || at > end) return false;
      if (group_ == 0xFFFE && (element_ == 0xE00D || element_ == 0xE0DD)) return true;
      const bool item = group_ == 0xFFFE;
      if (length_ == kUndefined) {
        // Runs to its delimiter: a sequence, an item, encapsulated pixel data
        // (OB or OW), or a sequence whose VR was lost (UN: implicit inside).
        const bool encapsulated =
            !item && (std::memcmp(vr_, "OB", 2) == 0 || std::memcmp(vr_, "OW", 2) == 0);
        const Layout inner = std::memcmp(vr_, "UN", 2) == 0 ? Layout{false, true} : l;
        if (!walk(at, end, inner, encapsulated, depth + 1)) return false;
        continue;
      }
      if (length_ > end - at) return false;
      const std::size_t next = at + length_;
      // Sequences and their items hold elements; fragments hold bytes.
      const bool nested = item ? !fragments : std::memcmp(vr_, "SQ", 2) == 0;
      if (nested && !walk(at, next, l, false, depth + 1)) return false;
      at = next;
    }
    return true;
  }

  Bytes f_;
  unsigned group_ = 0, element_ = 0;
  char vr_[2] = {0, 0};
  std::uint32_t length_ = 0;
};

}  // namespace

bool lengthsFitFile(Bytes file) {
  return Lengths(file).check();
}

}  // namespace stills::detail
