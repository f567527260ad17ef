// Names of elements and attributes compared without regard to case, as the
// catalogue's encoding spells them: in a windows-1252 document the letters of
// windows-1252 fold (A-Z, À-Þ but ×, Š Œ Ž Ÿ to their small forms); in a UTF-8
// document the same letters fold as characters (É, U+00C9, matches é). Other
// bytes, and malformed UTF-8, compare as they are. Every folded pair has the
// same length in bytes, so names of different lengths never match.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillon {

bool SameName(std::string_view a, std::string_view b, bool utf8);

// The folded form: two names are SameName exactly when their folded forms are
// equal.
std::string FoldName(std::string_view name, bool utf8);

// How many names the two functions above examined on this thread so far: a
// measure of the work of a lookup, for tests.
int64_t NameExaminationCount();

}  // namespace quillon
