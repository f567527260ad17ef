#include "rows/fit_file_name.h"

namespace quillon {

namespace {
constexpr const char* kCutMark = ".../";
bool StartsWithCutMark(const std::string& s) { return s.compare(0, 4, kCutMark) == 0; }
}  // namespace

void CutFirstFolder(std::string& folder) {
  if (folder == "/") {
    folder.clear();
    return;
  }
  bool root = !folder.empty() && folder[0] == '/';
  std::string s = root ? folder.substr(1) : folder;
  // Only an earlier cut's mark is skipped, not any folder name that begins
  // with a dot.
  if (StartsWithCutMark(s)) s.erase(0, 4);
  size_t slash = s.find('/');
  s = slash == std::string::npos ? std::string() : kCutMark + s.substr(slash + 1);
  folder = root ? "/" + s : s;
}

std::string FitFileName(const std::string& path, int max_width, const TTextWidth& text_width) {
  std::string result = path;
  size_t last = path.rfind('/');
  std::string folder = last == std::string::npos ? std::string() : path.substr(0, last + 1);
  std::string name = last == std::string::npos ? path : path.substr(last + 1);
  while (!folder.empty() && text_width(result) > max_width) {
    if (folder == "/.../")
      folder = kCutMark;
    else
      CutFirstFolder(folder);
    result = folder + name;
  }
  return result;
}

}  // namespace quillon
