#include "base/code_page.h"

namespace quillon {

namespace {

// Code points of the bytes 0x80-0x9F; the other bytes are their own code point.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

}  // namespace

char16_t Cp1252ToUnicode(uint8_t byte) {
  if (byte >= 0x80 && byte <= 0x9F) return kHighControls[byte - 0x80];
  return byte;
}

int UnicodeToCp1252(uint32_t code_point) {
  if (code_point < 0x80 || (code_point >= 0xA0 && code_point <= 0xFF)) return static_cast<int>(code_point);
  for (int i = 0; i < 32; ++i)
    if (kHighControls[i] == code_point) return 0x80 + i;
  return -1;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp <= 0x10FFFF) {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

int32_t NextUtf8CodePoint(std::string_view text, size_t* pos) {
  const size_t i = *pos;
  if (i >= text.size()) return -1;
  const uint8_t lead = static_cast<uint8_t>(text[i]);
  *pos = i + 1;
  if (lead < 0x80) return lead;
  size_t need;
  uint32_t cp;
  uint32_t min;
  if ((lead & 0xE0) == 0xC0) {
    need = 1, cp = lead & 0x1Fu, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    need = 2, cp = lead & 0x0Fu, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    need = 3, cp = lead & 0x07u, min = 0x10000;
  } else {
    return -1;
  }
  if (text.size() - i - 1 < need) return -1;
  for (size_t k = 1; k <= need; ++k) {
    const uint8_t b = static_cast<uint8_t>(text[i + k]);
    if ((b & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (b & 0x3Fu);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  *pos = i + 1 + need;
  return static_cast<int32_t>(cp);
}

bool IsUtf8(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    // ASCII (markup, pictures in base64) needs no decoding.
    if (static_cast<uint8_t>(text[pos]) < 0x80) {
      ++pos;
      continue;
    }
    if (NextUtf8CodePoint(text, &pos) < 0) return false;
  }
  return true;
}

}  // namespace quillon
