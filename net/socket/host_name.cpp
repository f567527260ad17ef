#include "net/socket/host_name.h"

#include <idn2.h>

#include <algorithm>
#include <cctype>

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

bool HasPunycodeLabel(std::string_view name) {
  for (size_t start = 0; start <= name.size();) {
    size_t end = name.find('.', start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view label = name.substr(start, end - start);
    if (label.size() > 4 && std::tolower(static_cast<unsigned char>(label[0])) == 'x' &&
        std::tolower(static_cast<unsigned char>(label[1])) == 'n' && label[2] == '-' && label[3] == '-')
      return true;
    start = end + 1;
  }
  return false;
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
  if (!IsAsciiHostName(name) || !HasPunycodeLabel(name) || name.find('\0') != std::string_view::npos)
    return std::string(name);
  return Idn2(name, [](const char* in, char** out) { return idn2_to_unicode_8z8z(in, out, 0); })
      .value_or(std::string(name));
}

std::string InvalidHostNameText(std::string_view name) {
  return "the host name " + std::string(name) + " is not valid.";
}

}  // namespace quillon
