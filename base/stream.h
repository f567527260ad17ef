// TStream: the abstract byte stream. Positions and sizes are 64-bit. Size and
// Position are found by seeking, exactly like the framework the design follows,
// so a descendant only has to implement Read, Write, Seek and SetSize.
#pragma once

#include <cstdint>
#include <string>

namespace quillon {

enum class TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TStream {
 public:
  virtual ~TStream() = default;

  // Reads up to `count` bytes into `buffer`; returns how many were read.
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes up to `count` bytes; returns how many were written.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Moves the position; returns the new position.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  // Cuts or extends the stream. The base class raises EStreamError.
  virtual void SetSize(int64_t new_size);
  // Room for the next Write's bytes, for a stream that keeps them in memory
  // before they go on: a source that reads straight into it and then
  // Writes from its first byte saves a copy. `room` is set to its size;
  // nullptr and 0 when the stream has none (the base class).
  virtual char* WriteSpace(int64_t& room) {
    room = 0;
    return nullptr;
  }

  // Seek(0, current).
  int64_t Position();
  void SetPosition(int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }
  // Seek(0, end) with the position saved and restored.
  virtual int64_t Size();

  // Read/Write that must move every byte, else EReadError "Stream read error" /
  // EWriteError "Stream write error".
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);

  // Copies `count` bytes from `source` (its whole content from the start when
  // count is 0). Returns the number copied.
  int64_t CopyFrom(TStream& source, int64_t count);

  // Convenience: the bytes from the position to the end, and writing a string.
  std::string ReadAll();
  void WriteString(const std::string& s) { WriteBuffer(s.data(), static_cast<int64_t>(s.size())); }
};

}  // namespace quillon
