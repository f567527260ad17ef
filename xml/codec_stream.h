// TsdCodecStream: the text codec stream that the XML document reads and writes
// through. It wraps an underlying byte stream (not owned) and is used for one
// direction only, fixed by the first Read or Write:
//
// Reading: the first Read detects the encoding from the first four bytes (the
// detection table below), skips a byte-order mark, and from then on every Read
// hands out exactly one 8-bit character (count must be 1). What a character is
// depends on the flavour (TsdAnsiStream: the system code page, windows-1252;
// TsdUtf8Stream: the bytes of UTF-8). A zero character and the end of the input
// both read as 0. Seek(-1, current) and Seek(-2, current) step back over the
// last one or two source characters; Seek(0, current) is the underlying
// position, Seek(0, end) the underlying size, Seek(x, beginning) is ignored and
// returns 0 (so that TStream::Size works). Other seeks raise.
//
// Writing: the first Write writes the byte-order mark of the encoding (set with
// SetEncoding before) and then converts every byte through WriteChar.
//
// The underlying stream is read in blocks, never once per character, and reads
// stop at the underlying stream's size (an appended data stream would otherwise
// hand out the bytes behind its block). Positions seen through Seek are those the
// underlying stream would have if it had been read character by character; the
// underlying stream is left at that position when the codec is destroyed.
// Written bytes are collected and passed on in blocks; Flush passes them on at
// once (the destructor flushes too, but cannot report a failure).
//
// For the parser there is a fast path (GetChar, ScanUntil) that gives exactly
// the characters and step-back positions that Read gives, without a virtual call
// per character where the flavour passes bytes through unchanged.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/stream.h"

namespace quillon {

enum TsdStringEncoding : uint8_t {
  encAnsi = 0,
  encUcs4Be = 1,
  encUcs4Le = 2,
  encUcs4Order2143 = 3,
  encUcs4Order3412 = 4,
  encUcs2Be = 5,
  encUcs2Le = 6,
  encUtf8 = 7,
  encUtf16Be = 8,
  encUtf16Le = 9,
  encEbcdic = 10,
};

// One row of the encoding detection table.
struct TsdEncodingSignature {
  uint8_t bytes[4];
  int count;
  TsdStringEncoding encoding;
  bool byte_order_mark;
};
// The 15 rows, searched in order.
extern const TsdEncodingSignature kEncodingSignatures[15];

class TsdCodecStream : public TStream {
 public:
  enum TMode : uint8_t { cmUnused = 0, cmReading = 1, cmWriting = 2 };

  // Remembers the stream (which may be null: the first Read then raises
  // "Encoding stream unassigned").
  explicit TsdCodecStream(TStream* stream);
  ~TsdCodecStream() override;
  TsdCodecStream(const TsdCodecStream&) = delete;
  TsdCodecStream& operator=(const TsdCodecStream&) = delete;

  // One character per call: returns 1, or 0 at the end or on a zero character.
  int64_t Read(void* buffer, int64_t count) override;
  // Converts every byte; returns count.
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;

  TsdStringEncoding Encoding() const { return encoding_; }
  // The document sets it before writing, and switches it to UTF-8 while reading
  // when the declaration names "UTF-8".
  void SetEncoding(TsdStringEncoding encoding);
  TMode Mode() const { return mode_; }
  bool HasByteOrderMark() const { return byte_order_mark_; }
  TStream* Stream() const { return stream_; }

  // Passes collected output to the underlying stream ("Cannot write to output
  // stream" when it stores less).
  void Flush();

  // Fired once per stream when a character above 255 was cut to 8 bits.
  std::function<void(TsdCodecStream* sender)> OnUnicodeLoss;

  // --- Parser fast path. Same characters and positions as Read. ---
  // The next character (0-255), or -1 at the end of the input or on a zero
  // character (a zero is a character of its own in a pass-through stream).
  int GetChar() {
    if (pending_pos_ >= pending_.size() && buf_pos_ < buf_len_) {
      uint8_t b = buf_[buf_pos_];
      if (b >= plain_min_ && b <= plain_max_) {
        prev_before_ = prev_pos_;
        prev_pos_ = buf_start_ + static_cast<int64_t>(buf_pos_);
        ++buf_pos_;
        return b;
      }
    }
    return SlowGetChar();
  }
  // Reads characters up to and including `stop`, appending those before it to
  // `out` (when given) and setting *saw_cr when one of them is a CR. Returns
  // false when the input ended first.
  bool ScanUntil(char stop, std::string* out, bool* saw_cr);
  // Seek(-count, current) for count 1 or 2.
  void StepBack(int count) { Seek(-count, TSeekOrigin::soCurrent); }

 protected:
  // Returns the next source character as one 8-bit character (0 at the end).
  virtual uint8_t ReadChar() { return 0; }
  virtual void StorePrevPositions();
  virtual void WriteChar(uint8_t) {}
  // The byte range that the flavour hands out unchanged, one byte per source
  // character, with the current encoding; min > max when there is none.
  virtual void PlainRange(uint8_t* min, uint8_t* max) const;

  // Buffered access to the underlying stream for the flavours.
  int ReadByte() {
    if (buf_pos_ < buf_len_) return buf_[buf_pos_++];
    return FillAndReadByte();
  }
  // A 16-bit unit in the stream's byte order; false at the end.
  bool ReadUnit(uint16_t* unit);
  // Moves the read position to an underlying position.
  void MoveTo(int64_t position);
  int64_t LogicalPosition() const { return buf_start_ + static_cast<int64_t>(buf_pos_); }
  void WriteBytes(const void* data, size_t count);
  void WriteUnit(uint16_t unit);
  void ReportUnicodeLoss();
  [[noreturn]] static void RaiseUnsupported();

  // Pass-through streams hand every byte out unchanged, zero included; the
  // parser wraps plain streams in one.
  void SetPassThrough();

  TsdStringEncoding encoding_ = encAnsi;
  bool swap_bytes_ = false;
  std::string pending_;   // UTF-8 bytes of the current source character
  size_t pending_pos_ = 0;  // 0-based index of the next pending byte

 private:
  int SlowGetChar();
  int FillAndReadByte();
  void StartReading();
  void StartWriting();
  void UpdatePlainRange();

  TStream* stream_;
  TMode mode_ = cmUnused;
  bool pass_through_ = false;
  bool loss_reported_ = false;
  bool byte_order_mark_ = false;
  int64_t prev_pos_ = 0;
  int64_t prev_before_ = 0;

  // Read buffer: buf_[0] is at underlying position buf_start_.
  std::vector<uint8_t> buf_;
  size_t buf_pos_ = 0;
  size_t buf_len_ = 0;
  int64_t buf_start_ = 0;
  int64_t size_ = 0;  // underlying size when reading started
  uint8_t plain_min_ = 1;
  uint8_t plain_max_ = 0;

  std::string out_;         // collected output
  int64_t write_base_ = 0;  // underlying position when writing started
  int64_t written_ = 0;     // bytes passed to WriteBytes
};

}  // namespace quillon

namespace quillon {

// A codec that hands every byte out unchanged, a zero byte included, with the
// codec's step-back rules and block reads. The parser reads streams that are not
// codec streams through one.
class TsdPassThroughStream : public TsdCodecStream {
 public:
  explicit TsdPassThroughStream(TStream* stream) : TsdCodecStream(stream) { SetPassThrough(); }
};

}  // namespace quillon
