#include "catalogue/application_data_stream.h"

#include <cstring>

namespace quillon {

namespace {

uint16_t FileModeFor(int mode) {
  switch (mode) {
    case TApplicationDataStream::omRead: return fmOpenRead | fmShareDenyNone;
    // A write-only handle could not read the trailer back, and a second trailer
    // would be appended behind the first: writing opens for reading as well.
    case TApplicationDataStream::omWrite: return fmOpenReadWrite | fmShareDenyWrite;
    case TApplicationDataStream::omReadWrite: return fmOpenReadWrite | fmShareDenyWrite;
    default: return fmOpenRead;
  }
}

void PutInt64LE(char* p, int64_t v) {
  uint64_t u = static_cast<uint64_t>(v);
  for (int i = 0; i < 8; ++i) p[i] = static_cast<char>((u >> (8 * i)) & 0xFF);
}

int64_t GetInt64LE(const char* p) {
  uint64_t u = 0;
  for (int i = 7; i >= 0; --i) u = (u << 8) | static_cast<uint8_t>(p[i]);
  return static_cast<int64_t>(u);
}

// Reads the last 8 bytes of `file` and compares them with the signature.
bool EndsWithSignature(TFileStream& file) {
  if (file.Seek(0, TSeekOrigin::soEnd) < 8) return false;
  char sig[8];
  file.Seek(-8, TSeekOrigin::soEnd);
  return file.Read(sig, 8) == 8 &&
         std::memcmp(sig, TApplicationDataStream::kSignature, 8) == 0;
}

}  // namespace

TApplicationDataStream::TApplicationDataStream(const std::string& file_name, int mode)
    : file_(std::make_unique<TFileStream>(file_name, FileModeFor(mode))) {
  if (EndsWithSignature(*file_)) {
    char buf[8];
    file_->Seek(-kTrailerSize, TSeekOrigin::soEnd);
    file_->ReadBuffer(buf, 8);
    start_ = GetInt64LE(buf);
    file_->Seek(start_, TSeekOrigin::soBeginning);
    return;
  }
  if (mode == omWrite || mode == omReadWrite) {
    start_ = file_->Seek(0, TSeekOrigin::soEnd);
    WriteTrailerAt(start_);
    return;
  }
  // The file stream closes with file_ as the constructor unwinds.
  throw EAppstreamError("TApplicationDataStream.Create : No application stream signature found");
}

TApplicationDataStream::~TApplicationDataStream() = default;

bool TApplicationDataStream::HasTrailer(const std::string& file_name) {
  TFileStream f(file_name, fmOpenRead | fmShareDenyNone);
  return EndsWithSignature(f);
}

int64_t TApplicationDataStream::Read(void* buffer, int64_t count) {
  return file_->Read(buffer, count);
}

int64_t TApplicationDataStream::Write(const void* buffer, int64_t count) {
  const int64_t old_size = Size();
  const int64_t pos = Position();
  const int64_t written = file_->Write(buffer, count);
  // The data reached into or past the old trailer: put it behind the new end.
  if (pos + count > old_size) WriteTrailerAt(file_->Position());
  return written;
}

int64_t TApplicationDataStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t file_pos;
  switch (origin) {
    case TSeekOrigin::soBeginning:
      file_pos = file_->Seek(start_ + offset, TSeekOrigin::soBeginning);
      break;
    case TSeekOrigin::soCurrent:
      file_pos = file_->Seek(offset, TSeekOrigin::soCurrent);
      break;
    default: {
      const int64_t file_end = file_->Seek(0, TSeekOrigin::soEnd);
      file_pos = file_->Seek(file_end - kTrailerSize + offset, TSeekOrigin::soBeginning);
      break;
    }
  }
  const int64_t result = file_pos - start_;
  if (result < 0) throw EAppstreamError("TApplicationDataStream.Seek : Range error");
  return result;
}

void TApplicationDataStream::SetSize(int64_t new_size) {
  file_->SetSize(start_ + new_size);
  WriteTrailerAt(start_ + new_size);
}

// Writes S and the signature at file offset `at` and returns the file position
// to where it was, so the stream's visible position never moves.
void TApplicationDataStream::WriteTrailerAt(int64_t at) {
  char trailer[kTrailerSize];
  PutInt64LE(trailer, start_);
  std::memcpy(trailer + 8, kSignature, 8);
  const int64_t pos = file_->Position();
  file_->Seek(at, TSeekOrigin::soBeginning);
  file_->WriteBuffer(trailer, kTrailerSize);
  file_->Seek(pos, TSeekOrigin::soBeginning);
}

}  // namespace quillon
