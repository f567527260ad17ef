#include "xml/name_case.h"

namespace quillon {

namespace {

thread_local int64_t examined = 0;

// The small form of a windows-1252 letter; other bytes stay.
unsigned char FoldAnsi(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 32);
  if (c == 0x8A || c == 0x8C || c == 0x8E) return static_cast<unsigned char>(c + 0x10);  // Š Œ Ž
  if (c == 0x9F) return 0xFF;                                                            // Ÿ
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<unsigned char>(c + 0x20);  // À-Þ but ×
  return c;
}

// The small form of the character of a windows-1252 letter; other characters
// stay.
uint32_t FoldCodePoint(uint32_t cp) {
  if (cp < 0x80) return FoldAnsi(static_cast<unsigned char>(cp));
  if (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) return cp + 0x20;
  switch (cp) {
    case 0x160: return 0x161;  // Š
    case 0x152: return 0x153;  // Œ
    case 0x17D: return 0x17E;  // Ž
    case 0x178: return 0xFF;   // Ÿ
    default: return cp;
  }
}

// One unit of a name at `i`: a folded byte, or in UTF-8 a folded two-byte
// character. Returns its length in bytes.
size_t FoldedUnit(std::string_view s, size_t i, bool utf8, uint32_t* unit) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (!utf8 || c < 0x80) {
    *unit = FoldAnsi(c);
    return 1;
  }
  if (c >= 0xC2 && c <= 0xDF && i + 1 < s.size() && (static_cast<unsigned char>(s[i + 1]) & 0xC0) == 0x80) {
    const uint32_t cp = (uint32_t{c} & 0x1F) << 6 | (static_cast<unsigned char>(s[i + 1]) & 0x3F);
    // Folded characters are told apart from raw bytes by a bit above them.
    *unit = 0x10000 | FoldCodePoint(cp);
    return 2;
  }
  *unit = c;
  return 1;
}

}  // namespace

bool SameName(std::string_view a, std::string_view b, bool utf8) {
  ++examined;
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size();) {
    uint32_t x, y;
    const size_t n = FoldedUnit(a, i, utf8, &x);
    if (FoldedUnit(b, i, utf8, &y) != n || x != y) return false;
    i += n;
  }
  return true;
}

std::string FoldName(std::string_view name, bool utf8) {
  ++examined;
  std::string out(name);
  for (size_t i = 0; i < name.size();) {
    uint32_t unit;
    const size_t n = FoldedUnit(name, i, utf8, &unit);
    if (n == 1) {
      out[i] = static_cast<char>(unit);
    } else {
      const uint32_t cp = unit & 0xFFFF;  // below 0x800: two bytes again
      out[i] = static_cast<char>(0xC0 | (cp >> 6));
      out[i + 1] = static_cast<char>(0x80 | (cp & 0x3F));
    }
    i += n;
  }
  return out;
}

int64_t NameExaminationCount() { return examined; }

}  // namespace quillon
