// The ANSI code page of the program, windows-1252, and UTF-8 byte sequences.
// Bytes 0x80-0x9F carry the typographic characters of windows-1252 (euro sign,
// curly quotes, dashes ...); the five bytes that code page leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the C1 control of the same number, as
// the platform's conversion does, so that every byte survives a round trip.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillon {

// The Unicode code point of a windows-1252 byte.
char16_t Cp1252ToUnicode(uint8_t byte);
// The windows-1252 byte of a code point, or -1 when the code page lacks it.
int UnicodeToCp1252(uint32_t code_point);

// Appends the UTF-8 form of a code point (1 to 4 bytes; code points above
// 0x10FFFF append nothing).
void AppendUtf8(std::string& out, uint32_t code_point);

// Decodes the UTF-8 sequence that starts at text[*pos] and moves *pos past it.
// A malformed sequence (a stray continuation byte, a missing continuation, an
// overlong form, a surrogate, a code point above 0x10FFFF) gives -1 and moves
// *pos one byte on. At or past the end: -1, *pos unchanged.
int32_t NextUtf8CodePoint(std::string_view text, size_t* pos);

// Whether the whole text is well-formed UTF-8 (NextUtf8CodePoint's rules).
bool IsUtf8(std::string_view text);

}  // namespace quillon
