#pragma once
// The system's failures carry a readable, stable class name: log lines print
// "<place> <ClassName>: <message>", so a mangled type name would be useless to an operator.
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qm {

class QmError : public std::runtime_error {
 public:
  explicit QmError(const std::string& message) : std::runtime_error(message) {}
  virtual const char* ClassName() const noexcept { return "EQuillmootError"; }
};

#define QM_DECLARE_ERROR(Name, Base)                                  \
  class Name : public Base {                                          \
   public:                                                            \
    using Base::Base;                                                 \
    const char* ClassName() const noexcept override { return #Name; } \
  }

// A failure that carries a number beside its message.
class QmNumberedError : public QmError {
 public:
  QmNumberedError(int number, const std::string& message) : QmError(message), number_(number) {}

 protected:
  int Number() const noexcept { return number_; }

 private:
  int number_;
};

// A socket call failed; carries the system's error code.
class ESocketError : public QmNumberedError {
 public:
  using QmNumberedError::QmNumberedError;
  const char* ClassName() const noexcept override { return "ESocketError"; }
  int Code() const noexcept { return Number(); }
};

QM_DECLARE_ERROR(EConnClosedGracefully, QmError);  // "Connection Closed Gracefully."
QM_DECLARE_ERROR(EPackageSizeTooBig, QmError);     // "Package Size Too Big."
QM_DECLARE_ERROR(ENotAllBytesSent, QmError);       // "Not all bytes sent."
QM_DECLARE_ERROR(ETimeout, QmError);               // a bounded wait ran out
QM_DECLARE_ERROR(EConfigError, QmError);           // the configuration file could not be read or written
QM_DECLARE_ERROR(EBufferError, QmError);           // a packet held fewer bytes than its fields need
QM_DECLARE_ERROR(EOSError, QmError);               // a system call other than a socket failed

// An HTTP exchange ended with a status outside 2xx; the message is the status line.
class EHttpProtocolError : public QmNumberedError {
 public:
  using QmNumberedError::QmNumberedError;
  const char* ClassName() const noexcept override { return "EHttpProtocolError"; }
  int Status() const noexcept { return Number(); }
};

// The class name for a log line, also for the standard library's failures.
const char* ExceptionClassName(const std::exception& e) noexcept;
// "<ClassName>: <message>", the tail of every exception log line.
std::string DescribeException(const std::exception& e);
// The log line of a caught failure: "in: <place> <word> <ClassName>: <message>". The word is
// "exception" everywhere but in the control read loop, whose line has always spelled it "excption";
// operators' log filters match both as written.
std::string ExceptionLine(std::string_view place, const std::exception& e, std::string_view word = "exception");
// The same line for a failure already described as "<ClassName>: <message>" (a failed send).
std::string ExceptionLine(std::string_view place, std::string_view described);

}  // namespace qm
