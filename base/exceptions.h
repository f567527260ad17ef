// The exception family of the framework the program is written against. Every
// exception carries a message text; the kinds let callers catch by category
// (a stream error, a filer error that is a kind of stream error, ...).
#pragma once

#include <exception>
#include <string>

namespace quillon {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const { return message_; }

 private:
  std::string message_;
};

// Errors of byte streams (reading, writing, seeking, codec conversion).
class EStreamError : public Exception {
 public:
  using Exception::Exception;
};

// Errors of reading or writing structured data from a stream (XML parse errors).
class EFilerError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

// A stream could not deliver or store all the bytes asked for.
class EReadError : public EFilerError {
 public:
  using EFilerError::EFilerError;
};
class EWriteError : public EFilerError {
 public:
  using EFilerError::EFilerError;
};

// A file stream could not create or open its file.
class EFCreateError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

// Numbers that do not parse.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace quillon
