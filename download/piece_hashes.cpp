#include "download/piece_hashes.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/sha256_hasher.h"
#include "base/strings.h"

namespace quillon {

namespace {

bool ValidPieceSize(int64_t size) { return size >= kMinPieceBytes && (size & (size - 1)) == 0; }

}  // namespace

int64_t PieceCount(int64_t file_size, int64_t piece_size) {
  // No sum that could overflow for the largest sizes.
  return file_size / piece_size + (file_size % piece_size != 0 ? 1 : 0);
}

int64_t PieceSizeFor(int64_t file_size) {
  int64_t size = kMinPieceBytes;
  while (file_size > 0 && PieceCount(file_size, size) > kMaxPieces) size *= 2;
  return size;
}

bool TPieceHashes::Fits(int64_t file_size) const {
  if (!ValidPieceSize(piece_size) || file_size < 0) return false;
  return static_cast<int64_t>(sha256.size()) == PieceCount(file_size, piece_size);
}

bool ParsePieceHashes(std::string_view text, TPieceHashes& hashes, std::string& error) {
  hashes = {};
  TPieceHashes read;
  bool sized = false;
  auto fail = [&](int line, const std::string& why) {
    error = line > 0 ? "line " + std::to_string(line) + ": " + why : why;
    return false;
  };
  int number = 0;
  for (size_t start = 0; start <= text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = TrimWS(text.substr(start, end - start));
    start = end + 1;
    ++number;
    if (line.empty() || line[0] == '#') continue;
    if (!sized) {
      if (IsSha256Hex(line)) return fail(number, "a SHA-256 before the piece size (the first line is the piece size)");
      const std::optional<int64_t> size = ParseDecimalDigits(line);
      if (!size) return fail(number, "not a piece size in bytes");
      if (!ValidPieceSize(*size))
        return fail(number, "the piece size " + std::string(line) + " is not a power of two of at least " +
                                std::to_string(kMinPieceBytes) + " bytes");
      read.piece_size = *size;
      sized = true;
      continue;
    }
    if (!IsSha256Hex(line)) return fail(number, "not a SHA-256 (64 hexadecimal digits)");
    read.sha256.push_back(LowerCase(line));
  }
  if (!sized) return fail(0, "no piece size and no piece hashes");
  if (read.sha256.empty()) return fail(0, "no piece hashes after the piece size");
  hashes = std::move(read);
  error.clear();
  return true;
}

std::string FormatPieceHashes(const TPieceHashes& hashes) {
  std::string text = std::to_string(hashes.piece_size) + "\n";
  text.reserve(text.size() + hashes.sha256.size() * 65);
  for (const std::string& hex : hashes.sha256) text += hex + "\n";
  return text;
}

std::string PieceHashesSummary(const TPieceHashes& hashes) {
  const int64_t size = hashes.piece_size;
  const std::string unit = size >= (int64_t{1} << 30) && size % (int64_t{1} << 30) == 0
                               ? std::to_string(size >> 30) + " GiB"
                           : size % (int64_t{1} << 20) == 0 ? std::to_string(size >> 20) + " MiB"
                                                            : std::to_string(size) + " bytes";
  return std::to_string(hashes.sha256.size()) + (hashes.sha256.size() == 1 ? " piece hash of " : " piece hashes of ") +
         unit;
}

bool ComputePieceHashes(const std::string& path, int64_t piece_size, TPieceHashes& hashes, std::string& error) {
  hashes = {};
  if (!ValidPieceSize(piece_size)) {
    error = "the piece size " + std::to_string(piece_size) + " is not a power of two of at least " +
            std::to_string(kMinPieceBytes) + " bytes";
    return false;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  TPieceHashes read;
  read.piece_size = piece_size;
  TSha256Hasher piece;
  // Reads of at most 1 MiB, never across the end of a piece (every piece
  // size is a multiple of 1 MiB).
  std::string buffer(static_cast<size_t>(kMinPieceBytes), '\0');
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    size_t done = 0;
    while (done < static_cast<size_t>(n)) {
      const size_t room = static_cast<size_t>(piece_size - static_cast<int64_t>(piece.Length()));
      const size_t take = std::min(room, static_cast<size_t>(n) - done);
      piece.Update(buffer.data() + done, take);
      done += take;
      if (static_cast<int64_t>(piece.Length()) == piece_size) {
        read.sha256.push_back(piece.HexDigest());
        piece.Reset();
      }
    }
  }
  ::close(fd);
  if (piece.Length() > 0) read.sha256.push_back(piece.HexDigest());
  hashes = std::move(read);
  error.clear();
  return true;
}

}  // namespace quillon
