// A path shortened from the front to fit a width, as a row shows its file.
#pragma once

#include <functional>
#include <string>

namespace quillon {

// Shortening of a path to a width in pixels, measured by `text_width`.
using TTextWidth = std::function<int(const std::string&)>;

// Removes the first folder of a folder path ending in "/" and marks the cut
// with ".../": "/home/me/" -> "/.../me/", "/.../me/" -> "/.../", "a/b/" ->
// ".../b/", ".../" -> "", "/" -> "".
void CutFirstFolder(std::string& folder);

// Cuts folders from the front of `path`'s folder part until the text fits
// `max_width`: /home/me/dl/a.zip, /.../me/dl/a.zip, /.../dl/a.zip,
// /.../a.zip, .../a.zip, a.zip. The bare file name is returned even when it is
// still too wide.
std::string FitFileName(const std::string& path, int max_width, const TTextWidth& text_width);

}  // namespace quillon
