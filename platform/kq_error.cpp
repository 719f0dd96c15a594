#include "kq_error.h"

#include <cstdarg>
#include <cstring>
#include <new>

#include "kq_string.h"

FXCodeLocation::FXCodeLocation(const char* function, const char* file, int line)
    : m_function(function ? function : ""), m_line(line) {
  const char* base = file ? std::strrchr(file, '/') : nullptr;
  m_file = base ? base + 1 : (file ? file : "");
}

void CUxError::Success() {
  m_code = 0;
  m_details.reset();
}

CUxError::Details& CUxError::details() {
  if (!m_details) {
    m_details = std::make_shared<Details>();
  } else if (m_details.use_count() > 1) {
    // Copies share details until one of them adds to them.
    m_details = std::make_shared<Details>(*m_details);
  }
  return *m_details;
}

CUxError CUxError::Make(int32_t code, int errnoValue) {
  CUxError e;
  e.m_code = code;
  if (errnoValue != 0) e.details().errnoValue = errnoValue;
  return e;
}

int CUxError::errnoValue() const { return m_details ? m_details->errnoValue : 0; }

void CUxError::setErrno(int value) { details().errnoValue = value; }

CUxError& CUxError::Push(const FXCodeLocation& where) {
  details().frames.push_back({where, std::string()});
  return *this;
}

CUxError& CUxError::Push(const FXCodeLocation& where, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string text = FXString::FormatV(format, ap);
  va_end(ap);
  details().frames.push_back({where, std::move(text)});
  return *this;
}

std::string CUxError::AsString() const {
  if (!IsError()) return "success";
  std::string out;
  if (m_details) {
    for (auto it = m_details->frames.rbegin(); it != m_details->frames.rend(); ++it) {
      if (it->text.empty()) continue;
      if (!out.empty()) out += ": ";
      out += it->text;
    }
  }
  const int err = errnoValue();
  if (err != 0) {
    if (!out.empty()) out += ": ";
    out += FXString::Format("errno %d (%s)", err, std::strerror(err));
  }
  if (out.empty()) out = FXString::Format("error %d", m_code);
  if (m_details && !m_details->frames.empty()) {
    out += " [at";
    for (const Frame& f : m_details->frames) {
      out += FXString::Format(" %s %s:%d;", f.where.function().c_str(), f.where.file().c_str(),
                              f.where.line());
    }
    out.back() = ']';
  }
  return out;
}

namespace FXErrorUtil {

CUxError ErrorErrNo(const FXCodeLocation& where, int errnoValue, const char* format, ...) {
  CUxError e = CUxError::Make(errnoValue > 0 ? -errnoValue : -1, errnoValue);
  va_list ap;
  va_start(ap, format);
  e.Push(where, "%s", FXString::FormatV(format, ap).c_str());
  va_end(ap);
  return e;
}

CUxError ErrorWin32(const FXCodeLocation& where, int32_t code, const char* format, ...) {
  CUxError e = CUxError::Make(code > 0 ? -code : -1, 0);
  va_list ap;
  va_start(ap, format);
  e.Push(where, "%s", FXString::FormatV(format, ap).c_str());
  va_end(ap);
  return e;
}

int GetErrNo(const CUxError& error) { return error.errnoValue(); }

void PushErrNo(CUxError& error, const FXCodeLocation& where, int errnoValue) {
  if (!error.IsError()) error = CUxError::Make(errnoValue > 0 ? -errnoValue : -1, 0);
  error.setErrno(errnoValue);
  error.Push(where);
}

}  // namespace FXErrorUtil

KqException::KqException(std::string function, std::string message, std::string file,
                         int line, int code)
    : m_function(std::move(function)),
      m_message(std::move(message)),
      m_file(std::move(file)),
      m_line(line),
      m_code(code) {}

std::string kqCurrentExceptionText() {
  try {
    throw;
  } catch (const CUxError& e) {
    return e.AsString();
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "an exception of unknown type";
  }
}
