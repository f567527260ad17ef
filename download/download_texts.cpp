#include "download/download_texts.h"

#include <sys/stat.h>

#include <cmath>

#include "base/strings.h"

namespace quillon {

std::string FormatDuration(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  int64_t hours = seconds / 3600;
  int64_t minutes = seconds / 60 - hours * 60;
  int64_t secs = seconds - hours * 3600 - minutes * 60;
  std::string text = Format("%.2lld:%.2lld", static_cast<long long>(minutes), static_cast<long long>(secs));
  if (hours > 0) text = Format("%.2lld:", static_cast<long long>(hours)) + text;
  return text;
}

namespace {

// One decimal with "," between thousands: 1234.56 -> "1,234.6".
std::string FormatThousands1(double value) {
  std::string digits = Format("%.1f", std::fabs(value));
  size_t point = digits.find('.');
  std::string whole = digits.substr(0, point);
  std::string grouped;
  for (size_t i = 0; i < whole.size(); ++i) {
    if (i > 0 && (whole.size() - i) % 3 == 0) grouped += ',';
    grouped += whole[i];
  }
  return (value < 0 && digits != "0.0" ? "-" : "") + grouped + digits.substr(point);
}

// Rounds to three significant digits, halves to even.
double RoundSignificant3(double value) {
  if (value == 0 || !std::isfinite(value)) return value;
  int digits = static_cast<int>(std::floor(std::log10(std::fabs(value)))) + 1;
  double factor = std::pow(10.0, 3 - digits);
  return std::nearbyint(value * factor) / factor;
}

}  // namespace

std::string FormatTransferSize(double bytes) {
  if (bytes / 1024 >= 1000) return FormatThousands1(bytes / (1024.0 * 1024.0)) + "MB ";
  return FormatThousands1(bytes / 1024) + "K ";
}

std::string FormatRate(double rate) {
  if (rate <= 1024) return Format("%.0f bytes/sec.", std::nearbyint(rate));
  double kilo = RoundSignificant3(rate / 1024);
  if (kilo < 1000) return Format("%.2fk/sec.", kilo);
  return Format("%.2fMB/sec.", RoundSignificant3(rate / (1024.0 * 1024.0)));
}

TProgressText ProgressText(double total, double received, int64_t elapsed_seconds,
                           double session_bytes) {
  double rate = 0;
  std::string rate_text;
  if (elapsed_seconds > 0 && received > 0 && session_bytes > 0) {
    rate = session_bytes / static_cast<double>(elapsed_seconds);
    rate_text = " (" + FormatRate(rate) + ")";
  }
  std::string remaining_text;
  if (rate > 0 && total >= 0) {
    double remaining = std::nearbyint((total - received) / rate);
    if (remaining > 1) remaining_text = FormatDuration(static_cast<int64_t>(remaining)) + " remaining";
  }
  rate_text += " " + remaining_text;
  std::string total_text = total < 0 ? std::string("unknown size ") : FormatTransferSize(total);
  TProgressText result;
  result.text = FormatTransferSize(received) + " of " + total_text + rate_text;
  if (total > 0) {
    double percent = std::nearbyint(received / total * 100);
    result.position = static_cast<int>(std::fmin(std::fmax(percent, 0), 100));
  }
  return result;
}

int64_t LocalFileSize(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(c | 0x20);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// "%40" -> "@"; a "%" without two hex digits stays as it is.
std::string PercentDecode(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    int hi = -1, lo = -1;
    if (s[i] == '%' && i + 2 < s.size()) {
      hi = HexValue(s[i + 1]);
      lo = HexValue(s[i + 2]);
    }
    if (hi >= 0 && lo >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

}  // namespace

TFtpUrlParts SplitFtpUrl(const std::string& url) {
  TFtpUrlParts parts;
  std::string rest = url;
  size_t scheme = LowerCase(url).find("://");
  if (scheme != std::string::npos) rest = url.substr(scheme + 3);
  size_t slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  std::string path = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
  // user[:password]@ ends at the last "@", so a password may hold one.
  size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    std::string login = authority.substr(0, at);
    authority = authority.substr(at + 1);
    size_t colon = login.find(':');
    parts.user = PercentDecode(login.substr(0, colon));
    if (colon != std::string::npos) parts.password = PercentDecode(login.substr(colon + 1));
  }
  size_t colon = authority.rfind(':');
  if (colon != std::string::npos) {
    std::string port = authority.substr(colon + 1);
    authority = authority.substr(0, colon);
    if (!port.empty()) parts.port = port;
  }
  parts.host = authority;
  size_t last = path.find_last_of("/\\:");
  if (last == std::string::npos) {
    parts.file = path;
  } else {
    parts.file = path.substr(last + 1);
    parts.dir = path.substr(0, last + 1);
    for (char& c : parts.dir)
      if (c == '\\') c = '/';
  }
  return parts;
}

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
