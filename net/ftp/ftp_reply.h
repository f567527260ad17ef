// Reply lines of the FTP control connection: TFtpReplyAssembler cuts the
// received bytes into lines, and the free functions read what a line says.
#pragma once

#include <cstdint>
#include <string>

namespace quillon {

// Reply parsing, shared by the client and its tests. A reply code is read
// after leading blanks; a code outside 100-599 (or signed) reads as 500, a
// failure. A line is final when it starts with a digit and the character
// after its number is not "-".
int FtpReplyCode(const std::string& Line);
bool FtpReplyIsFinal(const std::string& Line);
// The number after the code of a SIZE reply (0 when there is none).
int64_t FtpSizeFromReply(const std::string& Line);
// The text after the code and the blanks that follow it, trailing blanks
// cut (an MDTM answer's time).
std::string FtpTextFromReply(const std::string& Line);
// The quoted path after the code ("" unless it opens with a double quote; a
// doubled quote stands for one).
std::string FtpDirFromReply(const std::string& Line);

// Collects control-connection bytes and hands out complete lines. A line
// ends at CR LF, or at a bare LF when AcceptLF; trailing CR and LF are cut
// off. At most kSize - 1 bytes wait for their line end: a line that long
// leaves no FreeSize.
class TFtpReplyAssembler {
 public:
  static constexpr int kSize = 4096;

  // Where the next received bytes go, and how many fit.
  char* FreeSpace() { return buf_ + count_; }
  int FreeSize() const { return kSize - 1 - count_; }
  // Len bytes were written to FreeSpace().
  void Added(int Len) { count_ += Len; }
  // Takes the next complete line out of the buffer; false when there is
  // none yet.
  bool NextLine(bool AcceptLF, std::string& Line);
  void Clear() { count_ = 0; }

 private:
  char buf_[kSize] = {};
  int count_ = 0;
};

}  // namespace quillon
