// TCustomLineWSocket: optional line mode on the receiving side. With LineMode
// on, received bytes are collected until LineEnd (CR LF by default) and
// OnDataAvailable fires once per complete line; Receive and ReceiveString then
// read that line, terminator included, and RcvdCount reports its length.
// Bytes without a terminator are offered as a last line when the connection
// ends. LineLimit bounds the bytes collected without a line end
// (OnLineLimitExceeded decides whether they are dropped); LineEcho sends every
// received byte back; LineEdit applies backspace and tab editing.
//
// Switching LineMode with bytes still collected posts message 1044 so that
// they are delivered under the new mode without waiting for more data. While a
// SOCKS negotiation or a TLS handshake runs, line mode stays out of the way;
// over TLS it works on the decrypted bytes.
#pragma once

#include <functional>
#include <string>

#include "net/socket/ssl_wsocket.h"

namespace quillon {

using TLineLimitExceededEvent = std::function<void(TCustomWSocket* Sender, int RcvdLength, bool& ClearData)>;

class TCustomLineWSocket : public TCustomSslWSocket {
 public:
  TCustomLineWSocket() = default;

  bool LineMode() const { return line_mode_; }
  virtual void SetLineMode(bool Value);
  // The line terminator; empty disables line mode.
  const std::string& LineEnd() const { return line_end_; }
  void SetLineEnd(const std::string& Value) { line_end_ = Value; }
  // Most bytes collected without a line end (65536); 0 or less: no limit.
  int LineLimit() const { return line_limit_; }
  void SetLineLimit(int Value) { line_limit_ = Value; }
  bool LineEcho() const { return line_echo_; }
  void SetLineEcho(bool Value) { line_echo_ = Value; }
  bool LineEdit() const { return line_edit_; }
  void SetLineEdit(bool Value) { line_edit_ = Value; }
  // Bytes received and not yet delivered.
  int LineBufferCount() const { return static_cast<int>(line_buffer_.size()); }
  // Length of the line (terminator included) now offered; 0 when none.
  int PendingLineLength() const { return pending_line_length_; }

  int RcvdCount() override;

  TLineLimitExceededEvent OnLineLimitExceeded;

 protected:
  virtual void FireLineLimitExceeded(int RcvdLength, bool& ClearData);
  // Applies backspace and tab editing to the Len bytes at the end of the
  // buffer, echoing with LineEcho; Len becomes the count of edited bytes
  // from where the edit began.
  virtual void EditLine(int& Len);

  void WndProc(uint32_t Msg, uintptr_t WParam, intptr_t LParam) override;
  int RawReceive(void* Buffer, int BufferSize) override;
  bool FireDataAvailable(Word Error) override;
  void FireSessionClosed(Word Error) override;

 private:
  // Offers complete lines to the application; false if the socket is gone.
  bool DeliverLines(Word Error);
  // Takes up to BufferSize bytes from the front of the line buffer.
  int TakeFromBuffer(void* Buffer, int BufferSize, int Limit);

  bool line_mode_ = false;
  std::string line_end_ = "\r\n";
  int line_limit_ = 65536;
  bool line_echo_ = false;
  bool line_edit_ = false;
  std::string line_buffer_;
  int pending_line_length_ = 0;
};

}  // namespace quillon
