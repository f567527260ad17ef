// In-memory streams: TMemoryStream (a growable byte buffer) and TStringStream
// (the same over a byte string, as used for decoded pictures and documents
// received over the network). Reads past the end return fewer bytes; writes past
// the end grow the buffer, filling any gap with zero bytes.
#pragma once

#include <cstdint>
#include <string>

#include "base/stream.h"

namespace quillon {

class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t new_size) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }

  void Clear();
  const char* Memory() const { return data_.data(); }
  // Reads a whole file (EFOpenError when it cannot be opened) / writes the
  // buffer to a file, replacing it (EFCreateError).
  void LoadFromFile(const std::string& file_name);
  void SaveToFile(const std::string& file_name) const;

 protected:
  std::string data_;
  int64_t pos_ = 0;
};

class TStringStream : public TMemoryStream {
 public:
  explicit TStringStream(std::string data = {}) { data_ = std::move(data); }
  const std::string& DataString() const { return data_; }
};

}  // namespace quillon
