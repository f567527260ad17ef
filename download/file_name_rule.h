// The name a URL gives the file it is saved in, the one rule of the window
// and quillon-get, and the names that stand in when a destination exists.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace quillon {

// A file name's longest length in bytes: 255, the file systems' limit, less
// ".part", so that the partial file NAME.part beside NAME can be created too.
inline constexpr size_t kMaxSaveNameBytes = 250;

// The file name for `url` (UTF-8 in, UTF-8 out):
// - the last segment of the URL's path (after the last "/" or "\"), without
//   query ("?...") or fragment ("#..."), percent-decoded; byte sequences that
//   are not UTF-8 become "_";
// - a segment that is empty, "." or ".." gives way to `caption` (the link's
//   caption, read by the same rule as a segment), then to "download";
// - "/", "\", control characters (C0, DEL, C1) and format characters
//   (Unicode's category Cf: bidirectional controls, zero-width characters,
//   which make a name show as another) become "_", and so does a
//   leading "." or "-" (no hidden file, no name read as an option);
// - at most kMaxSaveNameBytes bytes: ShortenFileName.
// "http://h/with%20space/my%20file.pdf" -> "my file.pdf";
// "http://h/guide.pdf?lang=en#top" -> "guide.pdf"; "http://h/" -> "download".
std::string SaveFileNameFromUrl(const std::string& url, const std::string& caption = {});

// `name` cut to at most `max_bytes` bytes before its extension (the part
// from its last "." that is not the first character); the whole name from its
// end when the extension leaves no room. Never cuts a UTF-8 sequence.
std::string ShortenFileName(const std::string& name, size_t max_bytes = kMaxSaveNameBytes);

// The first of "NAME (1).ext", "NAME (2).ext", ... beside `path` (a file
// path NAME.ext) that nothing occupies: no entry of that name or of its
// NAME.part, and not `taken` (say, a download that will write it).
std::string FreeNumberedPath(const std::string& path, const std::function<bool(const std::string&)>& taken);

// "NAME (n).ext" for the file name `name` ("NAME (n)" without an
// extension), shortened before " (n)" to kMaxSaveNameBytes.
std::string NumberedFileName(const std::string& name, int n);

}  // namespace quillon
