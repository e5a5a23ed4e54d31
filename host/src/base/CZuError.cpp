#include "host/base/CZuError.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "host/base/FXFormat.h"

struct CZuError::Frame {
  FXCodeLocation loc;
  bool hasMessage;
  std::string message;
};

struct CZuError::Detail {
  int code = 0;
  std::mutex mu;               // copies may be pushed from different threads
  std::vector<Frame> frames;   // innermost first
};

void CZuError::Success() {
  status_ = 0;
  detail_.reset();
}

CZuError& CZuError::Push(const FXCodeLocation& loc) {
  if (!IsError()) return *this;
  std::lock_guard<std::mutex> lock(detail_->mu);
  detail_->frames.push_back(Frame{loc, false, std::string()});
  return *this;
}

CZuError& CZuError::Push(const FXCodeLocation& loc, const char* fmt, ...) {
  if (!IsError()) return *this;
  va_list args;
  va_start(args, fmt);
  std::string message = FXFormatV(fmt, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(detail_->mu);
  detail_->frames.push_back(Frame{loc, true, std::move(message)});
  return *this;
}

int CZuError::Code() const { return IsError() ? detail_->code : 0; }

std::string CZuError::AsString() const {
  if (!IsError()) return std::string();
  std::lock_guard<std::mutex> lock(detail_->mu);
  std::string out;
  for (auto it = detail_->frames.rbegin(); it != detail_->frames.rend(); ++it) {
    if (!out.empty()) out += '\n';
    out.append(it->loc.file.data(), it->loc.file.size());
    out += ':' + std::to_string(it->loc.line) + " (" + it->loc.function + ")";
    if (it->hasMessage) out += ": " + it->message;
  }
  return out;
}

std::string CZuError::Summary() const {
  if (!IsError()) return std::string();
  std::lock_guard<std::mutex> lock(detail_->mu);
  std::string out;
  for (auto it = detail_->frames.rbegin(); it != detail_->frames.rend(); ++it) {
    if (!it->hasMessage) continue;
    if (!out.empty()) out += ": ";
    out += it->message;
  }
  return out;
}

CZuError FXErrorUtil::Create(const FXCodeLocation& loc, int code, std::string message) {
  CZuError err;
  err.status_ = -1;
  err.detail_ = std::make_shared<CZuError::Detail>();
  err.detail_->code = code;
  err.detail_->frames.push_back(CZuError::Frame{loc, true, std::move(message)});
  return err;
}

CZuError FXErrorUtil::ErrorInt(const FXCodeLocation& loc, int code, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  CZuError err = Create(loc, code, FXFormatV(fmt, args));
  va_end(args);
  return err;
}

CZuError FXErrorUtil::ErrorErrNo(const FXCodeLocation& loc, int errnum, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string message = FXFormatV(fmt, args);
  va_end(args);
  char buf[256];
  const char* text = strerror_r(errnum, buf, sizeof buf);  // GNU variant
  return Create(loc, errnum, message + ": " + text);
}
