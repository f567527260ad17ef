#include "net/socket/buffer.h"

#include <algorithm>
#include <cstring>

namespace quillon {

namespace {
constexpr int kDefaultBlockSize = 1514;
}

TBuffer::TBuffer(int Size) { SetCapacity(Size); }

void TBuffer::SetCapacity(int Size) {
  if (Size <= 0) Size = kDefaultBlockSize;
  if (Size == capacity_) return;
  auto fresh = std::make_unique<char[]>(static_cast<size_t>(Size));
  if (filled_ > 0) {
    filled_ = std::min(filled_, Size);
    taken_ = std::min(taken_, filled_);
    std::memcpy(fresh.get(), storage_.get(), static_cast<size_t>(filled_));
  }
  storage_ = std::move(fresh);
  capacity_ = Size;
}

int TBuffer::Write(const void* Data, int Len) {
  int room = capacity_ - filled_;
  if (room <= 0 || Len <= 0) return 0;
  int n = std::min(room, Len);
  std::memcpy(storage_.get() + filled_, Data, static_cast<size_t>(n));
  filled_ += n;
  return n;
}

const char* TBuffer::Peek(int& Len) const {
  if (filled_ > taken_) {
    Len = filled_ - taken_;
    return storage_.get() + taken_;
  }
  Len = 0;
  return nullptr;
}

int TBuffer::Remove(int Len) {
  int unsent = filled_ - taken_;
  if (unsent <= 0 || Len <= 0) return 0;
  int n = std::min(Len, unsent);
  taken_ += n;
  if (taken_ == filled_) taken_ = filled_ = 0;
  return n;
}

}  // namespace quillon
