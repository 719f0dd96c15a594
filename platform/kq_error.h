// Error values of the runtime: CUxError (returned by platform calls),
// FXCodeLocation (a place in the source), FXErrorUtil (builders) and
// KqException (thrown by the library's own operations).
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

// A place in the source code, carried by error frames.
class FXCodeLocation {
 public:
  FXCodeLocation(const char* function, const char* file, int line);
  const std::string& function() const { return m_function; }
  const std::string& file() const { return m_file; }
  int line() const { return m_line; }

 private:
  std::string m_function;
  std::string m_file;  // base name only
  int m_line;
};

#define FX_HERE FXCodeLocation(__func__, __FILE__, __LINE__)

// Result of a platform call. Code 0 is success; errors carry a negative code
// (the negated errno for errno-based errors), optionally the errno itself, and
// a stack of frames, innermost first.
class CUxError {
 public:
  CUxError() = default;

  void Success();
  bool IsError() const { return m_code < 0; }
  int32_t GetErrorCode() const { return m_code; }
  // The errors, outermost message first, then the errno text and the places.
  std::string AsString() const;

  CUxError& Push(const FXCodeLocation& where);
  CUxError& Push(const FXCodeLocation& where, const char* format, ...)
      __attribute__((format(printf, 3, 4)));

  // Builders used by FXErrorUtil; set code and errno of a fresh error.
  static CUxError Make(int32_t code, int errnoValue);
  int errnoValue() const;
  void setErrno(int value);

 private:
  struct Frame {
    FXCodeLocation where;
    std::string text;
  };
  struct Details {
    int errnoValue = 0;
    std::vector<Frame> frames;
  };
  Details& details();

  int32_t m_code = 0;
  std::shared_ptr<Details> m_details;
};

namespace FXErrorUtil {
// An error for a failed system call: code -errno, errno kept for GetErrNo.
CUxError ErrorErrNo(const FXCodeLocation& where, int errnoValue, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// An error with a platform code (positive): code -code, no errno.
CUxError ErrorWin32(const FXCodeLocation& where, int32_t code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// The errno carried by an error, 0 when it carries none.
int GetErrNo(const CUxError& error);
// Adds a frame that records errno to an existing error (or makes one).
void PushErrNo(CUxError& error, const FXCodeLocation& where, int errnoValue);
}  // namespace FXErrorUtil

class KqException : public std::exception {
 public:
  KqException(std::string function, std::string message, std::string file, int line,
               int code);
  const char* what() const noexcept override { return m_message.c_str(); }
  const std::string& getFuncName() const { return m_function; }
  const std::string& getMessage() const { return m_message; }
  const std::string& getFileName() const { return m_file; }
  int getLineNum() const { return m_line; }
  int getCode() const { return m_code; }

 private:
  std::string m_function;
  std::string m_message;
  std::string m_file;
  int m_line;
  int m_code;
};

// What the exception being handled says, whatever its type (a CUxError, a
// std::exception, anything); call only inside a catch block.
std::string kqCurrentExceptionText();
