// The pieces of a file: a download from several sources or connections is
// split into pieces of one size, a power of two of at least 1 MiB
// (PieceSizeFor: the smallest such size that gives at most kMaxPieces
// pieces, so 1 MiB up to 4 GiB). The last piece may be shorter. A publisher
// may prove each piece with its SHA-256 (TPieceHashes), so that a damaged
// piece is found as soon as it is written and fetched again from another
// source, instead of the whole file failing its SHA-256 at the end.
//
// The text form of piece hashes, as a link of the catalogue holds them and
// as quillon-get reads them from a file (--piece-sha256 FILE):
//   line 1: the piece size in bytes (decimal)
//   then:   one SHA-256 a line, 64 hexadecimal digits, in piece order
// Blank lines and lines beginning with "#" are ignored, and so is white
// space around a line (a CR before its LF too); upper-case digits are read as
// lower case. At least one SHA-256 follows the size. Anything else is an
// error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

inline constexpr int64_t kMinPieceBytes = int64_t{1} << 20;
inline constexpr int64_t kMaxPieces = 4096;

// The piece size of a file of `file_size` bytes (unknown, 0 or less: kMinPieceBytes).
int64_t PieceSizeFor(int64_t file_size);
// The pieces of that size a file of `file_size` bytes (0 or more) has, the
// last one maybe shorter; `piece_size` is more than 0.
int64_t PieceCount(int64_t file_size, int64_t piece_size);

struct TPieceHashes {
  int64_t piece_size = 0;           // 0: no piece hashes
  std::vector<std::string> sha256;  // lowercase hexadecimal, one a piece
  bool Empty() const { return sha256.empty(); }
  // Whether these hashes can describe a file of `file_size` bytes: a piece
  // size that is a power of two of at least kMinPieceBytes and one hash for
  // each piece of that size.
  bool Fits(int64_t file_size) const;
};

// Reads the text form. False with `error` saying why ("line 3: not a
// SHA-256"), `hashes` then empty.
bool ParsePieceHashes(std::string_view text, TPieceHashes& hashes, std::string& error);
std::string FormatPieceHashes(const TPieceHashes& hashes);
// "12 piece hashes of 1 MiB" (the size in GiB, MiB or, for a size no text
// above names exactly, bytes).
std::string PieceHashesSummary(const TPieceHashes& hashes);
// Hashes the file at `path` in pieces of `piece_size` (OpenSSL); an empty
// file has no pieces. False with the system's reason in `error` when it
// cannot be read, or with why when `piece_size` is no piece size.
bool ComputePieceHashes(const std::string& path, int64_t piece_size, TPieceHashes& hashes, std::string& error);

}  // namespace quillon
