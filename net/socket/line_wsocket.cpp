#include "net/socket/line_wsocket.h"

#include <algorithm>
#include <cstring>

namespace quillon {

void TCustomLineWSocket::SetLineMode(bool Value) {
  if (Value == line_mode_) return;
  line_mode_ = Value;
  if (!line_buffer_.empty() || pending_line_length_ > 0) NotifyWindow().Post(WM_TRIGGER_DATA_AVAILABLE, 0, 0);
}

void TCustomLineWSocket::FireLineLimitExceeded(int RcvdLength, bool& ClearData) {
  static_cast<void>(FireEvent(Lifetime(), OnLineLimitExceeded, this, RcvdLength, ClearData));
}

void TCustomLineWSocket::WndProc(uint32_t Msg, uintptr_t WParam, intptr_t LParam) {
  if (Msg != WM_TRIGGER_DATA_AVAILABLE) {
    TCustomSslWSocket::WndProc(Msg, WParam, LParam);
    return;
  }
  auto alive = Lifetime().Token();
  while (!line_buffer_.empty()) {
    if (!OnDataAvailable) {
      line_buffer_.clear();
      pending_line_length_ = 0;
      break;
    }
    size_t before = line_buffer_.size();
    FireDataAvailable(0);
    if (!alive) return;
    if (line_buffer_.size() == before) break;  // nothing taken: wait for more data
  }
}

int TCustomLineWSocket::RcvdCount() {
  if (line_mode_ && !line_end_.empty()) return pending_line_length_;
  if (!line_buffer_.empty()) return static_cast<int>(line_buffer_.size());
  return TCustomSslWSocket::RcvdCount();
}

int TCustomLineWSocket::TakeFromBuffer(void* Buffer, int BufferSize, int Limit) {
  int n = std::min(BufferSize, Limit);
  if (n <= 0) return 0;
  std::memcpy(Buffer, line_buffer_.data(), static_cast<size_t>(n));
  line_buffer_.erase(0, static_cast<size_t>(n));
  return n;
}

int TCustomLineWSocket::RawReceive(void* Buffer, int BufferSize) {
  if (line_mode_ && pending_line_length_ > 0) {
    int n = TakeFromBuffer(Buffer, BufferSize, pending_line_length_);
    pending_line_length_ -= n;
    return n;
  }
  if (!line_mode_ && !line_buffer_.empty()) {
    pending_line_length_ = 0;
    return TakeFromBuffer(Buffer, BufferSize, static_cast<int>(line_buffer_.size()));
  }
  return TCustomSslWSocket::RawReceive(Buffer, BufferSize);
}

bool TCustomLineWSocket::FireDataAvailable(Word Error) {
  if (!line_mode_ || line_end_.empty() || SocksNegotiating() || SslNegotiating())
    return TCustomSslWSocket::FireDataAvailable(Error);

  int n = TCustomSslWSocket::RcvdCount();
  if (n < 0) return true;
  if (n == 0) n = 255;
  size_t old = line_buffer_.size();
  line_buffer_.resize(old + static_cast<size_t>(n));
  int got = TCustomSslWSocket::RawReceive(line_buffer_.data() + old, n);
  line_buffer_.resize(old + static_cast<size_t>(got > 0 ? got : 0));
  auto alive = Lifetime().Token();
  if (got > 0) {
    if (line_edit_) {
      int len = got;
      EditLine(len);
    } else if (line_echo_) {
      Send(line_buffer_.data() + old, got);
    }
    if (!alive) return true;
  }
  if (!DeliverLines(Error)) return true;

  if (line_limit_ > 0 && static_cast<int>(line_buffer_.size()) > line_limit_) {
    bool clear = true;
    FireLineLimitExceeded(static_cast<int>(line_buffer_.size()), clear);
    if (!alive) return true;
    if (clear) {
      pending_line_length_ = 0;
      line_buffer_.clear();
    }
  }
  return true;
}

bool TCustomLineWSocket::DeliverLines(Word Error) {
  while (line_mode_ && !line_end_.empty()) {
    size_t at = line_buffer_.find(line_end_);
    if (at == std::string::npos) break;
    pending_line_length_ = static_cast<int>(at + line_end_.size());
    while (line_mode_ && pending_line_length_ > 0) {
      if (!OnDataAvailable) {
        line_buffer_.erase(0, static_cast<size_t>(pending_line_length_));  // nobody wants it
        pending_line_length_ = 0;
        break;
      }
      int before = pending_line_length_;
      if (!FireEvent(Lifetime(), OnDataAvailable, this, Error)) return false;
      // A handler that reads nothing is not called again at once: the line
      // stays and is offered with the next data.
      if (pending_line_length_ == before) return true;
    }
  }
  return true;
}

void TCustomLineWSocket::FireSessionClosed(Word Error) {
  if (!line_buffer_.empty()) {
    if (line_mode_) {
      // What is left without a terminator is offered as a last line.
      pending_line_length_ = static_cast<int>(line_buffer_.size());
      while (pending_line_length_ > 0 && OnDataAvailable) {
        int before = pending_line_length_;
        if (!FireEvent(Lifetime(), OnDataAvailable, this, Word{0})) return;
        if (pending_line_length_ == before) break;
      }
    }
    line_buffer_.clear();
    line_buffer_.shrink_to_fit();
    pending_line_length_ = 0;
  }
  TCustomSslWSocket::FireSessionClosed(Error);
}

void TCustomLineWSocket::EditLine(int& Len) {
  const size_t start = line_buffer_.size() - static_cast<size_t>(Len);
  bool edits = false;
  for (size_t i = start; i < line_buffer_.size(); ++i)
    if (line_buffer_[i] == 8 || line_buffer_[i] == 9) edits = true;
  std::string echo;
  if (!edits) {
    if (line_echo_) Send(line_buffer_.data() + start, Len);
    return;
  }
  std::string out = line_buffer_.substr(0, start);
  for (size_t i = start; i < line_buffer_.size(); ++i) {
    char c = line_buffer_[i];
    if (c == 8) {
      if (!out.empty()) {
        if (line_echo_) echo += "\b \b";
        out.pop_back();  // may reach into bytes received earlier
      }
    } else if (c == 9) {
      do {
        out.push_back(' ');
        if (line_echo_) echo.push_back(' ');
      } while (out.size() % 8 != 0);
    } else {
      out.push_back(c);
      if (line_echo_) echo.push_back(c);
    }
  }
  size_t first = std::min(start, out.size());
  line_buffer_ = std::move(out);
  Len = static_cast<int>(line_buffer_.size() - first);
  if (!echo.empty()) Send(echo.data(), static_cast<int>(echo.size()));
}

}  // namespace quillon
