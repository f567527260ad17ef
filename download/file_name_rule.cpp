#include "download/file_name_rule.h"

#include <sys/stat.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <string_view>

#include "download/ftp_url.h"
#include "download/partial_file.h"

namespace quillon {

namespace {

// Length of the UTF-8 sequence at s[i], or 0 when none starts there (a stray
// continuation byte, an overlong form, a surrogate, past U+10FFFF, cut short).
size_t Utf8SequenceLength(std::string_view s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  if (c < 0x80) return 1;
  size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; ++k)
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  return n;
}

// The code point of the valid UTF-8 sequence of `n` bytes at s[i].
UChar32 CodePoint(std::string_view s, size_t i, size_t n) {
  static constexpr unsigned char kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  UChar32 c = static_cast<unsigned char>(s[i]) & kLeadMask[n];
  for (size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  return c;
}

// Valid UTF-8 without separators, control characters or format characters
// (Unicode's category Cf: bidirectional controls that make "gnp.exe" show as
// "exe.png", zero-width characters): each offending character or stray byte
// becomes one "_".
std::string CleanName(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const size_t n = Utf8SequenceLength(s, i);
    const auto c = static_cast<unsigned char>(s[i]);
    const bool control = c < 0x20 || c == 0x7F || (n == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0);
    const bool format = n > 1 && u_charType(CodePoint(s, i, n)) == U_FORMAT_CHAR;
    if (n == 0 || control || format || c == '/' || c == '\\')
      out += '_';
    else
      out.append(s.substr(i, n));
    i += n == 0 ? 1 : n;
  }
  return out;
}

bool Usable(const std::string& name) { return !name.empty() && name != "." && name != ".."; }

// The cleaned name with a leading "." or "-" made "_", shortened.
std::string Finish(std::string name) {
  if (name[0] == '.' || name[0] == '-') name[0] = '_';
  return ShortenFileName(name);
}

// Where the extension begins (its "."), or npos.
size_t ExtensionStart(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? std::string::npos : dot;
}

// The longest start of `s` of at most `max_bytes` that ends between UTF-8
// sequences.
std::string CutUtf8(const std::string& s, size_t max_bytes) {
  if (s.size() <= max_bytes) return s;
  size_t end = max_bytes;
  while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
  return s.substr(0, end);
}

}  // namespace

std::string ShortenFileName(const std::string& name, size_t max_bytes) {
  if (name.size() <= max_bytes) return name;
  const size_t dot = ExtensionStart(name);
  const size_t ext_size = dot == std::string::npos ? 0 : name.size() - dot;
  if (dot == std::string::npos || ext_size >= max_bytes) return CutUtf8(name, max_bytes);
  const std::string stem = CutUtf8(name.substr(0, dot), max_bytes - ext_size);
  if (stem.empty()) return CutUtf8(name, max_bytes);
  return stem + name.substr(dot);
}

std::string SaveFileNameFromUrl(const std::string& url, const std::string& caption) {
  const std::string_view rest = std::string_view(url).substr(0, url.find_first_of("?#"));
  // The path begins at the first "/" after the scheme's "//" and the host.
  size_t path = 0;
  if (const size_t scheme = rest.find("://"); scheme != std::string_view::npos) {
    path = rest.find_first_of("/\\", scheme + 3);
    if (path == std::string_view::npos) path = rest.size();
  }
  const size_t last = rest.find_last_of("/\\");
  const size_t begin = last == std::string_view::npos || last < path ? path : last + 1;
  std::string name = CleanName(PercentDecode(std::string(rest.substr(begin))));
  if (Usable(name)) return Finish(name);
  name = CleanName(caption);
  if (Usable(name)) return Finish(name);
  return "download";
}

std::string NumberedFileName(const std::string& name, int n) {
  const size_t dot = ExtensionStart(name);
  const std::string ext = dot == std::string::npos ? std::string() : name.substr(dot);
  const std::string number = " (" + std::to_string(n) + ")";
  const std::string stem = name.substr(0, name.size() - ext.size());
  const size_t room = kMaxSaveNameBytes > number.size() + ext.size() ? kMaxSaveNameBytes - number.size() - ext.size() : 0;
  return CutUtf8(stem, room) + number + ext;
}

std::string FreeNumberedPath(const std::string& path, const std::function<bool(const std::string&)>& taken) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = path.substr(folder.size());
  const auto occupied = [](const std::string& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0;
  };
  // Ends: the folder holds finitely many entries.
  for (int n = 1;; ++n) {
    std::string candidate = folder + NumberedFileName(name, n);
    if (!occupied(candidate) && !occupied(PartialFileName(candidate)) && !(taken && taken(candidate)))
      return candidate;
  }
}

}  // namespace quillon
