#include "net/ftp/ftp_reply.h"

#include <cstring>

#include "base/strings.h"

namespace quillon {

int FtpReplyCode(const std::string& Line) {
  size_t i = 0;
  while (i < Line.size() && IsWhiteSpace(Line[i])) ++i;
  bool negative = false;
  if (i < Line.size() && (Line[i] == '+' || Line[i] == '-')) negative = Line[i++] == '-';
  int64_t value = 0;
  while (i < Line.size() && Line[i] >= '0' && Line[i] <= '9') {
    value = value * 10 + (Line[i++] - '0');
    if (value > 1000000) break;  // no reply code is that long
  }
  // Codes outside 100-599 ("000", "65536") are no replies at all: a failure.
  if (negative || value < 100 || value > 599) return 500;
  return static_cast<int>(value);
}

bool FtpReplyIsFinal(const std::string& Line) {
  if (Line.empty() || Line[0] < '0' || Line[0] > '9') return false;
  size_t i = 0;
  while (i < Line.size() && Line[i] >= '0' && Line[i] <= '9') ++i;
  return i >= Line.size() || Line[i] != '-';
}

int64_t FtpSizeFromReply(const std::string& Line) {
  size_t i = 0;
  while (i < Line.size() && IsWhiteSpace(Line[i])) ++i;
  while (i < Line.size() && Line[i] >= '0' && Line[i] <= '9') ++i;  // the code
  while (i < Line.size() && IsWhiteSpace(Line[i])) ++i;
  int64_t value = 0;
  while (i < Line.size() && Line[i] >= '0' && Line[i] <= '9') {
    if (value > (INT64_MAX - 9) / 10) return 0;  // not a size we can hold
    value = value * 10 + (Line[i++] - '0');
  }
  return value;
}

std::string FtpTextFromReply(const std::string& Line) {
  size_t i = 0;
  while (i < Line.size() && IsWhiteSpace(Line[i])) ++i;
  while (i < Line.size() && Line[i] >= '0' && Line[i] <= '9') ++i;  // the code
  return std::string(TrimWS(std::string_view(Line).substr(i)));
}

std::string FtpDirFromReply(const std::string& Line) {
  size_t i = 0;
  while (i < Line.size() && Line[i] >= '0' && Line[i] <= '9') ++i;  // the code
  while (i < Line.size() && IsWhiteSpace(Line[i])) ++i;
  if (i >= Line.size() || Line[i] != '"') return "";
  std::string dir;
  for (++i; i < Line.size(); ++i) {
    if (Line[i] == '"') {
      if (i + 1 < Line.size() && Line[i + 1] == '"') {
        dir += '"';
        ++i;
        continue;
      }
      break;
    }
    dir += Line[i];
  }
  return dir;
}

bool TFtpReplyAssembler::NextLine(bool AcceptLF, std::string& Line) {
  int line_len = -1, consumed = 0;
  if (AcceptLF) {
    const void* lf = std::memchr(buf_, '\n', static_cast<size_t>(count_));
    if (lf) {
      line_len = static_cast<int>(static_cast<const char*>(lf) - buf_);
      consumed = line_len + 1;
    }
  } else {
    for (int i = 0; i + 1 < count_; ++i) {
      if (buf_[i] == '\r' && buf_[i + 1] == '\n') {
        line_len = i;
        consumed = i + 2;
        break;
      }
    }
  }
  if (line_len < 0) return false;
  while (line_len > 0 && (buf_[line_len - 1] == '\r' || buf_[line_len - 1] == '\n')) --line_len;
  Line.assign(buf_, static_cast<size_t>(line_len));
  std::memmove(buf_, buf_ + consumed, static_cast<size_t>(count_ - consumed));
  count_ -= consumed;
  return true;
}

}  // namespace quillon
