#include "download/piece_hashes.h"

namespace quillon {

int64_t PieceSizeFor(int64_t file_size) {
  int64_t size = kMinPieceBytes;
  while (file_size > 0 && (file_size + size - 1) / size > kMaxPieces) size *= 2;
  return size;
}

bool TPieceHashes::Fits(int64_t file_size) const {
  if (piece_size < kMinPieceBytes || (piece_size & (piece_size - 1)) != 0 || file_size < 0) return false;
  const int64_t count = (file_size + piece_size - 1) / piece_size;
  return static_cast<int64_t>(sha256.size()) == count;
}

}  // namespace quillon
