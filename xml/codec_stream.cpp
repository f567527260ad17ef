#include "xml/codec_stream.h"

#include <algorithm>
#include <cstring>

#include "base/exceptions.h"

namespace quillon {

// The signatures of the XML appendix on encoding detection.
const TsdEncodingSignature kEncodingSignatures[15] = {
    {{0x00, 0x00, 0xFE, 0xFF}, 4, encUcs4Be, true},
    {{0xFF, 0xFE, 0x00, 0x00}, 4, encUcs4Le, true},
    {{0x00, 0x00, 0xFF, 0xFE}, 4, encUcs4Order2143, true},
    {{0xFE, 0xFF, 0x00, 0x00}, 4, encUcs4Order3412, true},
    {{0xFE, 0xFF, 0x00, 0x00}, 2, encUtf16Be, true},
    {{0xFF, 0xFE, 0x00, 0x00}, 2, encUtf16Le, true},
    {{0xEF, 0xBB, 0xBF, 0x00}, 3, encUtf8, true},
    {{0x00, 0x00, 0x00, 0x3C}, 4, encUcs4Be, false},
    {{0x3C, 0x00, 0x00, 0x00}, 4, encUcs4Le, false},
    {{0x00, 0x00, 0x3C, 0x00}, 4, encUcs4Order2143, false},
    {{0x00, 0x3C, 0x00, 0x00}, 4, encUcs4Order3412, false},
    {{0x00, 0x3C, 0x00, 0x3F}, 4, encUtf16Be, false},
    {{0x3C, 0x00, 0x3F, 0x00}, 4, encUtf16Le, false},
    {{0x3C, 0x3F, 0x78, 0x6D}, 4, encAnsi, false},
    {{0x4C, 0x6F, 0xA7, 0x94}, 4, encEbcdic, false},
};

namespace {

constexpr size_t kBlockSize = 64 * 1024;

bool IsRefused(TsdStringEncoding e) {
  return e == encUcs4Be || e == encUcs4Order2143 || e == encUcs4Order3412 || e == encEbcdic;
}

}  // namespace

TsdCodecStream::TsdCodecStream(TStream* stream) : stream_(stream) {}

TsdCodecStream::~TsdCodecStream() {
  try {
    if (mode_ == cmReading && stream_ && buf_pos_ != buf_len_) stream_->Seek(LogicalPosition(), TSeekOrigin::soBeginning);
    if (mode_ == cmWriting) Flush();
  } catch (const std::exception&) {
    // A destructor cannot report; Flush is there for callers that must know.
  }
}

void TsdCodecStream::RaiseUnsupported() { throw EStreamError("Unsupported string encoding"); }

void TsdCodecStream::SetPassThrough() {
  pass_through_ = true;
  encoding_ = encAnsi;
}

void TsdCodecStream::SetEncoding(TsdStringEncoding encoding) {
  encoding_ = encoding;
  if (mode_ == cmReading) UpdatePlainRange();
}

void TsdCodecStream::PlainRange(uint8_t* min, uint8_t* max) const {
  *min = 1;
  *max = 0;
}

void TsdCodecStream::UpdatePlainRange() {
  if (pass_through_) {
    plain_min_ = 0;
    plain_max_ = 0xFF;
  } else {
    PlainRange(&plain_min_, &plain_max_);
  }
}

void TsdCodecStream::StartReading() {
  mode_ = cmReading;
  if (!stream_) throw EStreamError("Encoding stream unassigned");
  buf_start_ = stream_->Position();
  size_ = stream_->Size();
  buf_.resize(kBlockSize);
  prev_pos_ = prev_before_ = buf_start_;
  if (pass_through_) {
    UpdatePlainRange();
    return;
  }
  encoding_ = encAnsi;
  // Detection looks at up to four bytes; the first block holds them.
  if (FillAndReadByte() >= 0) buf_pos_ = 0;
  const size_t k = std::min<size_t>(4, buf_len_);
  const TsdEncodingSignature* found = nullptr;
  for (const auto& row : kEncodingSignatures) {
    size_t n = std::min<size_t>(k, static_cast<size_t>(row.count));
    if (std::memcmp(buf_.data(), row.bytes, n) == 0) {
      found = &row;
      break;
    }
  }
  if (found) {
    encoding_ = found->encoding;
    byte_order_mark_ = found->byte_order_mark;
  }
  if (IsRefused(encoding_)) RaiseUnsupported();
  if (byte_order_mark_) MoveTo(buf_start_ + found->count);
  swap_bytes_ = encoding_ == encUcs2Be || encoding_ == encUtf16Be;
  prev_pos_ = prev_before_ = LogicalPosition();
  UpdatePlainRange();
}

int TsdCodecStream::FillAndReadByte() {
  buf_start_ += static_cast<int64_t>(buf_len_);
  buf_pos_ = buf_len_ = 0;
  int64_t want = std::min<int64_t>(static_cast<int64_t>(buf_.size()), size_ - buf_start_);
  if (want <= 0) return -1;
  int64_t n = stream_->Read(buf_.data(), want);
  if (n <= 0) return -1;
  buf_len_ = static_cast<size_t>(n);
  return buf_[buf_pos_++];
}

void TsdCodecStream::MoveTo(int64_t position) {
  if (position >= buf_start_ && position <= buf_start_ + static_cast<int64_t>(buf_len_)) {
    buf_pos_ = static_cast<size_t>(position - buf_start_);
    return;
  }
  stream_->Seek(position, TSeekOrigin::soBeginning);
  buf_start_ = position;
  buf_pos_ = buf_len_ = 0;
}

bool TsdCodecStream::ReadUnit(uint16_t* unit) {
  int b0 = ReadByte();
  if (b0 < 0) return false;
  int b1 = ReadByte();
  if (b1 < 0) return false;
  *unit = swap_bytes_ ? static_cast<uint16_t>((b0 << 8) | b1) : static_cast<uint16_t>((b1 << 8) | b0);
  return true;
}

void TsdCodecStream::StorePrevPositions() {
  prev_before_ = prev_pos_;
  prev_pos_ = LogicalPosition();
}

void TsdCodecStream::ReportUnicodeLoss() {
  if (loss_reported_) return;
  loss_reported_ = true;
  if (OnUnicodeLoss) OnUnicodeLoss(this);
}

int64_t TsdCodecStream::Read(void* buffer, int64_t count) {
  if (mode_ == cmUnused) StartReading();
  if (mode_ != cmReading) throw EStreamError("Cannot read from a conversion stream opened for writing");
  if (count != 1) throw EStreamError("Cannot read multiple chars from conversion stream at once");
  uint8_t ch;
  if (pass_through_) {
    StorePrevPositions();
    int b = ReadByte();
    if (b < 0) {
      *static_cast<uint8_t*>(buffer) = 0;
      return 0;
    }
    *static_cast<uint8_t*>(buffer) = static_cast<uint8_t>(b);
    return 1;
  }
  ch = ReadChar();
  *static_cast<uint8_t*>(buffer) = ch;
  return ch != 0 ? 1 : 0;
}

int TsdCodecStream::SlowGetChar() {
  if (pass_through_) {
    if (mode_ == cmUnused) StartReading();
    if (mode_ == cmReading) {
      StorePrevPositions();
      return ReadByte();
    }
  }
  uint8_t ch;
  return Read(&ch, 1) != 0 ? ch : -1;
}

bool TsdCodecStream::ScanUntil(char stop, std::string* out, bool* saw_cr) {
  const uint8_t s = static_cast<uint8_t>(stop);
  for (;;) {
    if (pending_pos_ >= pending_.size() && buf_pos_ < buf_len_) {
      const uint8_t* p = buf_.data() + buf_pos_;
      const uint8_t* end = buf_.data() + buf_len_;
      const uint8_t* q = p;
      if (plain_max_ == 0xFF && plain_min_ <= 1) {
        const void* hit = std::memchr(p, s, static_cast<size_t>(end - p));
        q = hit ? static_cast<const uint8_t*>(hit) : end;
        if (plain_min_ == 1) {
          const void* zero = std::memchr(p, 0, static_cast<size_t>(q - p));
          if (zero) q = static_cast<const uint8_t*>(zero);
        }
      } else if (plain_min_ <= plain_max_) {
        while (q < end && *q != s && *q >= plain_min_ && *q <= plain_max_) ++q;
      }
      const size_t n = static_cast<size_t>(q - p);
      if (n > 0) {
        if (out) out->append(reinterpret_cast<const char*>(p), n);
        if (saw_cr && !*saw_cr && std::memchr(p, '\r', n)) *saw_cr = true;
        const int64_t qpos = buf_start_ + static_cast<int64_t>(buf_pos_ + n);
        prev_before_ = n >= 2 ? qpos - 2 : prev_pos_;
        prev_pos_ = qpos - 1;
        buf_pos_ += n;
      }
    }
    int c = GetChar();
    if (c < 0) return false;
    if (c == s) return true;
    if (out) out->push_back(static_cast<char>(c));
    if (c == '\r' && saw_cr) *saw_cr = true;
  }
}

int64_t TsdCodecStream::Seek(int64_t offset, TSeekOrigin origin) {
  if (mode_ == cmUnused) throw EStreamError("Cannot seek before reading or writing in conversion stream");
  if (origin == TSeekOrigin::soCurrent && offset == 0)
    return mode_ == cmReading ? LogicalPosition() : write_base_ + written_;
  if (origin == TSeekOrigin::soCurrent && ((offset == -1 && mode_ == cmReading) || offset == -2)) {
    pending_.clear();
    pending_pos_ = 0;
    const int64_t target = offset == -1 ? prev_pos_ : prev_before_;
    if (mode_ == cmReading) {
      MoveTo(target);
    } else {
      Flush();
      stream_->Seek(target, TSeekOrigin::soBeginning);
      write_base_ = target;
      written_ = 0;
    }
    return 0;
  }
  if (origin == TSeekOrigin::soEnd && offset == 0) {
    if (mode_ == cmReading) return size_;
    Flush();
    return stream_->Size();
  }
  if (origin == TSeekOrigin::soBeginning) return 0;
  throw EStreamError("Cannot perform seek on codec stream");
}

void TsdCodecStream::StartWriting() {
  mode_ = cmWriting;
  if (!stream_) throw EStreamError("Encoding stream unassigned");
  write_base_ = stream_->Position();
  if (IsRefused(encoding_)) RaiseUnsupported();
  for (const auto& row : kEncodingSignatures) {
    if (row.encoding != encoding_) continue;
    byte_order_mark_ = row.byte_order_mark;
    if (byte_order_mark_) WriteBytes(row.bytes, static_cast<size_t>(row.count));
    break;
  }
  swap_bytes_ = encoding_ == encUcs2Be || encoding_ == encUtf16Be;
}

int64_t TsdCodecStream::Write(const void* buffer, int64_t count) {
  if (mode_ == cmUnused) StartWriting();
  if (mode_ != cmWriting) throw EStreamError("Cannot write to an UTF stream opened for reading");
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  for (int64_t i = 0; i < count; ++i) WriteChar(p[i]);
  if (out_.size() >= kBlockSize) Flush();
  return count;
}

void TsdCodecStream::WriteBytes(const void* data, size_t count) {
  out_.append(static_cast<const char*>(data), count);
  written_ += static_cast<int64_t>(count);
}

void TsdCodecStream::WriteUnit(uint16_t unit) {
  uint8_t b[2];
  if (swap_bytes_) {
    b[0] = static_cast<uint8_t>(unit >> 8);
    b[1] = static_cast<uint8_t>(unit);
  } else {
    b[0] = static_cast<uint8_t>(unit);
    b[1] = static_cast<uint8_t>(unit >> 8);
  }
  WriteBytes(b, 2);
}

void TsdCodecStream::Flush() {
  if (out_.empty() || !stream_) return;
  int64_t n = stream_->Write(out_.data(), static_cast<int64_t>(out_.size()));
  const bool complete = n == static_cast<int64_t>(out_.size());
  out_.clear();
  if (!complete) throw EStreamError("Cannot write to output stream");
}

}  // namespace quillon
