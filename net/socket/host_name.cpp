#include "net/socket/host_name.h"

#include <idn2.h>
#include <unicode/uspoof.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace quillon {

namespace {

// One conversion by libidn2; nullopt when it refuses the name.
template <typename Convert>
std::optional<std::string> Idn2(std::string_view name, Convert convert) {
  const std::string input(name);
  char* output = nullptr;
  if (convert(input.c_str(), &output) != IDN2_OK || output == nullptr) {
    idn2_free(output);
    return std::nullopt;
  }
  std::string result(output);
  idn2_free(output);
  return result;
}

bool IsPunycodeLabel(std::string_view label) {
  return label.size() > 4 && std::tolower(static_cast<unsigned char>(label[0])) == 'x' &&
         std::tolower(static_cast<unsigned char>(label[1])) == 'n' && label[2] == '-' && label[3] == '-';
}

// True when a label (UTF-8) could pass for another: it mixes scripts beyond
// the combinations one writing system uses (Latin with Han and Japanese
// kana, with Han and Bopomofo, with Han and Hangul), mixes digits of two
// systems, or holds an invisible character; also when it is not UTF-8.
bool LooksLikeAnother(std::string_view label) {
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<USpoofChecker, decltype(&uspoof_close)> checker(uspoof_open(&status), uspoof_close);
  if (U_FAILURE(status)) return true;
  uspoof_setChecks(checker.get(), USPOOF_RESTRICTION_LEVEL | USPOOF_INVISIBLE | USPOOF_MIXED_NUMBERS, &status);
  uspoof_setRestrictionLevel(checker.get(), USPOOF_HIGHLY_RESTRICTIVE);
  const int32_t found =
      uspoof_check2UTF8(checker.get(), label.data(), static_cast<int32_t>(label.size()), nullptr, &status);
  return U_FAILURE(status) || found != 0;
}

// One label as the user reads it: an "xn--" label decoded, unless it
// decodes to a label that could pass for another; a label written in
// another script in its "xn--" form when it could.
std::string DisplayLabel(std::string_view label) {
  if (IsAsciiHostName(label)) {
    if (!IsPunycodeLabel(label)) return std::string(label);
    const std::optional<std::string> decoded =
        Idn2(label, [](const char* in, char** out) { return idn2_to_unicode_8z8z(in, out, 0); });
    return decoded && !LooksLikeAnother(*decoded) ? *decoded : std::string(label);
  }
  if (!LooksLikeAnother(label)) return std::string(label);
  return AsciiHostName(label).value_or(std::string(label));
}

}  // namespace

bool IsAsciiHostName(std::string_view host) {
  return std::all_of(host.begin(), host.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::optional<std::string> AsciiHostName(std::string_view name) {
  if (IsAsciiHostName(name)) return std::string(name);
  // An embedded NUL would cut the name short where libidn2 reads it.
  if (name.find('\0') != std::string_view::npos) return std::nullopt;
  auto ascii = Idn2(name, [](const char* in, char** out) {
    return idn2_to_ascii_8z(in, out, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
  });
  if (!ascii)
    ascii = Idn2(name, [](const char* in, char** out) {
      return idn2_to_ascii_8z(in, out, IDN2_NFC_INPUT | IDN2_TRANSITIONAL);
    });
  // The result is the name on the wire: nothing but ASCII may pass.
  if (ascii && (ascii->empty() || !IsAsciiHostName(*ascii))) return std::nullopt;
  return ascii;
}

std::string UrlHostName(std::string_view name) { return AsciiHostName(name).value_or(std::string(name)); }

std::string DisplayHostName(std::string_view name) {
  if (name.find('\0') != std::string_view::npos) return std::string(name);
  std::string shown;
  for (size_t start = 0; start <= name.size();) {
    size_t end = name.find('.', start);
    if (end == std::string_view::npos) end = name.size();
    if (start > 0) shown += '.';
    shown += DisplayLabel(name.substr(start, end - start));
    start = end + 1;
  }
  return shown;
}

std::string InvalidHostNameText(std::string_view name) {
  return "the host name " + std::string(name) + " is not valid.";
}

}  // namespace quillon
