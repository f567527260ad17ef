// The text form of a document that `quillon-catalogue dump` prints, one item a
// line, each line ending in LF:
//   declaration version=V encoding=E detected=D utf8=U
//   comment X                (each top-level comment, in order)
//   stylesheet X             (when there is one)
//   rootnode T:N X           (each other top-level node: type, name, raw value)
//   T:N @name=value ... = X  (the tree under Root, depth first, two spaces of
//                             indentation per depth; " = X" when the decoded
//                             value is not empty)
// Every X, V, E and attribute value is escaped with DumpEscape.
#pragma once

#include <string>
#include <string_view>

#include "xml/xml_document.h"

namespace quillon {

// Backslash as "\\", CR "\r", LF "\n", TAB "\t", every other byte below 0x20
// or from 0x7F up as "\xHH" with lower-case hexadecimal digits.
std::string DumpEscape(std::string_view text);

std::string DumpXmlDocument(const TsdXmlDocument& doc);

}  // namespace quillon
