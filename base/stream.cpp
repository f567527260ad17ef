#include "base/stream.h"

#include <algorithm>
#include <vector>

#include "base/exceptions.h"

namespace quillon {

void TStream::SetSize(int64_t) { throw EStreamError("Stream does not support SetSize"); }

int64_t TStream::Position() { return Seek(0, TSeekOrigin::soCurrent); }

int64_t TStream::Size() {
  int64_t pos = Seek(0, TSeekOrigin::soCurrent);
  int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(pos, TSeekOrigin::soBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  const int64_t total = count;
  std::vector<char> buf(static_cast<size_t>(std::min<int64_t>(count, 1 << 20)));
  while (count > 0) {
    int64_t n = std::min<int64_t>(count, static_cast<int64_t>(buf.size()));
    source.ReadBuffer(buf.data(), n);
    WriteBuffer(buf.data(), n);
    count -= n;
  }
  return total;
}

std::string TStream::ReadAll() {
  int64_t remaining = Size() - Position();
  std::string s;
  if (remaining <= 0) return s;
  s.resize(static_cast<size_t>(remaining));
  s.resize(static_cast<size_t>(Read(s.data(), remaining)));
  return s;
}

}  // namespace quillon
