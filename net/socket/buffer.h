// TBuffer: one fixed-size block of a socket's send queue. Bytes are written at
// the end (Filled) and handed to the network from the front (Taken); once
// everything written was taken, both return to 0 and the block is reused from
// its start. A block never grows while in a queue: the queue appends blocks.
#pragma once

#include <memory>

namespace quillon {

class TBuffer {
 public:
  // Size 0 or less gives 1514 bytes.
  explicit TBuffer(int Size);
  TBuffer(const TBuffer&) = delete;
  TBuffer& operator=(const TBuffer&) = delete;

  // Changes the capacity. The same capacity changes nothing; the first
  // Filled bytes are kept (a smaller capacity than Filled keeps as many as
  // fit). Size 0 or less gives 1514 bytes.
  void SetCapacity(int Size);

  // Copies as many of the Len bytes of Data as fit behind the filled part;
  // returns how many (0 when the block is full).
  int Write(const void* Data, int Len);

  // The unsent bytes: sets Len to their count and returns where they start,
  // or sets Len to 0 and returns nullptr when there are none.
  const char* Peek(int& Len) const;

  // Marks up to Len unsent bytes as sent; returns how many were marked.
  int Remove(int Len);

  char* Storage() const { return storage_.get(); }
  int Capacity() const { return capacity_; }
  int Filled() const { return filled_; }
  int Taken() const { return taken_; }

 private:
  std::unique_ptr<char[]> storage_;
  int capacity_ = 0;
  int filled_ = 0;
  int taken_ = 0;
};

}  // namespace quillon
