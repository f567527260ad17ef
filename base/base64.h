// Base64 with the standard alphabet and "=" padding.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillon {

std::string Base64Encode(std::string_view bytes);
// Decodes; white space is skipped. Absent when a character is outside the
// alphabet or the length (without white space) is not a multiple of four.
std::optional<std::string> Base64Decode(std::string_view text);

}  // namespace quillon
