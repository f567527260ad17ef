#include "base/memory_stream.h"

#include <algorithm>
#include <cstring>

#include "base/exceptions.h"
#include "base/file_stream.h"

namespace quillon {

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  int64_t size = static_cast<int64_t>(data_.size());
  if (count <= 0 || pos_ >= size || pos_ < 0) return 0;
  int64_t n = std::min(count, size - pos_);
  std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
  pos_ += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0 || pos_ < 0) return 0;
  int64_t end = pos_ + count;
  if (end > static_cast<int64_t>(data_.size())) data_.resize(static_cast<size_t>(end));
  std::memcpy(data_.data() + pos_, buffer, static_cast<size_t>(count));
  pos_ = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  switch (origin) {
    case TSeekOrigin::soBeginning: pos_ = offset; break;
    case TSeekOrigin::soCurrent: pos_ += offset; break;
    case TSeekOrigin::soEnd: pos_ = static_cast<int64_t>(data_.size()) + offset; break;
  }
  return pos_;
}

void TMemoryStream::SetSize(int64_t new_size) {
  data_.resize(static_cast<size_t>(std::max<int64_t>(new_size, 0)));
  if (pos_ > new_size) pos_ = new_size;
}

void TMemoryStream::Clear() {
  data_.clear();
  pos_ = 0;
}

void TMemoryStream::LoadFromFile(const std::string& file_name) {
  TFileStream f(file_name, fmOpenRead | fmShareDenyWrite);
  data_ = f.ReadAll();
  pos_ = 0;
}

void TMemoryStream::SaveToFile(const std::string& file_name) const {
  TFileStream f(file_name, fmCreate);
  f.WriteBuffer(data_.data(), static_cast<int64_t>(data_.size()));
}

}  // namespace quillon
