// libFuzzer entry point: the bytes are what an FTP server sends on the control
// connection, fed to the reply assembler in pieces of varying size the way the
// client receives them, with every line read as the client reads it.
//
// Input: byte 0 chooses whether a bare LF ends a line (bit 0) and the piece
// sizes (the rest of it); the rest is the server's bytes.
//
// Checked: lines never hold more than was received, never end in CR or LF,
// never exceed the buffer; the buffer's free room stays within bounds; reply
// codes stay within 100-599 and the values read from a line within it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/ftp/ftp_reply.h"
#include "fuzz_check.h"

namespace {

using namespace quillon;

using fuzz::Check;

void ReadLine(const std::string& line) {
  const int code = FtpReplyCode(line);
  Check(code >= 100 && code <= 599, "a reply code outside 100-599");
  FtpReplyIsFinal(line);
  Check(FtpSizeFromReply(line) >= 0, "a negative size");
  Check(FtpTextFromReply(line).size() <= line.size(), "a reply text longer than its line");
  Check(FtpDirFromReply(line).size() <= line.size(), "a directory longer than its line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool accept_lf = data[0] & 1;
  const size_t piece = 1 + (data[0] >> 1);
  ++data;
  --size;

  static TFtpReplyAssembler replies;  // 4 KiB: kept, as the client keeps it
  replies.Clear();
  size_t fed = 0, taken = 0;
  std::string line;
  while (fed < size) {
    const int room = replies.FreeSize();
    Check(room >= 0 && room < TFtpReplyAssembler::kSize, "free room out of bounds");
    // A full buffer without a line end: the client ends the connection.
    if (room == 0) break;
    const size_t n = std::min({piece, size - fed, static_cast<size_t>(room)});
    std::memcpy(replies.FreeSpace(), data + fed, n);
    replies.Added(static_cast<int>(n));
    fed += n;
    while (replies.NextLine(accept_lf, line)) {
      taken += line.size() + 1;
      Check(taken <= fed, "lines hold more than was received");
      Check(line.size() < static_cast<size_t>(TFtpReplyAssembler::kSize), "a line longer than the buffer");
      Check(line.empty() || (line.back() != '\r' && line.back() != '\n'), "a line ending in CR or LF");
      ReadLine(line);
    }
  }
  return 0;
}
