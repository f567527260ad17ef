#include "net/http/chunked_body.h"

#include <algorithm>
#include <cstring>

#include "net/http/http_cli.h"

namespace quillon {

namespace {

[[noreturn]] void BadChunk(const std::string& what) {
  throw EHttpException("bad chunked body: " + what, httperrBadChunk);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "1a", "1A ; name=value": the size in front of the extensions.
uint64_t ChunkSize(const std::string& line) {
  uint64_t size = 0;
  size_t i = 0;
  for (; i < line.size() && HexDigit(line[i]) >= 0; ++i) {
    if (size >> 60) BadChunk("chunk size too large");
    size = size * 16 + static_cast<uint64_t>(HexDigit(line[i]));
  }
  if (i == 0) BadChunk("chunk size line \"" + line.substr(0, 40) + "\"");
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  if (i < line.size() && line[i] != ';') BadChunk("chunk size line \"" + line.substr(0, 40) + "\"");
  return size;
}

}  // namespace

void TChunkedBody::Reset() {
  stage_ = kSize;
  left_ = 0;
  line_.clear();
  trailer_bytes_ = 0;
  overrun_ = false;
}

bool TChunkedBody::Read(const char* Data, size_t Len, const TSink& Sink) {
  while (Len > 0 && stage_ != kDone) {
    if (stage_ == kData) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(left_, Len));
      left_ -= n;
      if (left_ == 0) stage_ = kDataEnd;
      const char* piece = Data;
      Data += n;
      Len -= n;
      if (!Sink(piece, n)) return false;
      continue;
    }
    const char* lf = static_cast<const char*>(std::memchr(Data, '\n', Len));
    const size_t take = lf ? static_cast<size_t>(lf - Data) : Len;
    if (line_.size() + take > kChunkLineRoom) BadChunk("line too long");
    line_.append(Data, take);
    Data += take;
    Len -= take;
    if (!lf) break;
    ++Data;
    --Len;
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    EndLine();
  }
  if (stage_ == kDone && Len > 0) overrun_ = true;
  return true;
}

void TChunkedBody::EndLine() {
  switch (stage_) {
    case kSize:
      left_ = ChunkSize(line_);
      stage_ = left_ == 0 ? kTrailer : kData;
      break;
    case kDataEnd:
      if (!line_.empty()) BadChunk("chunk data longer than its size");
      stage_ = kSize;
      break;
    case kTrailer:
      trailer_bytes_ += line_.size() + 2;
      if (trailer_bytes_ > static_cast<size_t>(kHttpMaxHeaderBytes)) BadChunk("trailer too long");
      if (line_.empty()) stage_ = kDone;
      break;
    case kData:
    case kDone: break;
  }
  line_.clear();
}

}  // namespace quillon
