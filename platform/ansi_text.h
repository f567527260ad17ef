// Conversion of the program's 8-bit text to and from QString, done only where
// text meets a widget. The 8-bit text is windows-1252, or UTF-8 for a document
// that declares it.
#pragma once

#include <QString>

#include <string>
#include <string_view>

namespace quillon {

// windows-1252 bytes to QString. Every byte maps to one character: the
// printable characters of 0x80-0x9F to their Unicode code points (0x80 is the
// euro sign), the five bytes that code page leaves unassigned to the C1 control
// of the same value, and every other byte to the code point of its value.
QString AnsiToQString(std::string_view bytes);

// QString to windows-1252; characters the code page cannot hold become "?".
std::string QStringToAnsi(const QString& text);

// An error message, which may carry a file name or a UTF-8 catalogue's text:
// UTF-8 when it is well-formed UTF-8, else windows-1252 (windows-1252 text
// with letters beyond ASCII is practically never well-formed UTF-8).
QString MessageToQString(std::string_view bytes);

// Text of a catalogue document: UTF-8 when `utf8`, else windows-1252.
inline QString DocTextToQString(std::string_view bytes, bool utf8) {
  return utf8 ? QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()))
              : AnsiToQString(bytes);
}

}  // namespace quillon
