// Error values of the host framework: a status word and a shared stack of
// located messages.  Errors are returned by value, never thrown, except where a
// caller documents otherwise.
#ifndef HOST_CZUERROR_H
#define HOST_CZUERROR_H

#include <memory>
#include <string>
#include <string_view>

#define FX_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

// Where an error was created or pushed: the source file name without directory
// and extension, the function's signature text and the line.  It only points
// at the compiler's static strings, so making one costs nothing.
struct FXCodeLocation {
  constexpr FXCodeLocation(const char* path, const char* fn, int ln)
      : file(stem(path)), function(fn), line(ln) {}

  std::string_view file;
  const char* function;
  int line;

 private:
  static constexpr std::string_view stem(std::string_view path) {
    size_t slash = path.rfind('/');
    if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
    size_t dot = path.rfind('.');
    return dot == std::string_view::npos ? path : path.substr(0, dot);
  }
};

// The location of the statement that uses it.
#define FXLOC FXCodeLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__)

class CZuError {
 public:
  CZuError() : status_(0) {}  // success

  void Success();
  bool IsError() const { return status_ < 0; }

  // Adds a frame.  Pushing onto a success leaves it a success.
  CZuError& Push(const FXCodeLocation& loc);
  CZuError& Push(const FXCodeLocation& loc, const char* fmt, ...) FX_PRINTF(3, 4);

  // The whole stack, outermost frame first, one frame per line:
  //   "<file>:<line> (<function>): <message>"
  // Frames pushed without a message have no ": <message>" part.
  std::string AsString() const;

  // The messages alone, outermost first, joined by ": " (frames without a
  // message are left out).  Suited to one-line reports.
  std::string Summary() const;

  // The code given when the error was created (0 for a success).
  int Code() const;

 private:
  friend class FXErrorUtil;
  struct Frame;
  struct Detail;

  int status_;
  std::shared_ptr<Detail> detail_;  // shared between copies
};

class FXErrorUtil {
 public:
  static CZuError ErrorInt(const FXCodeLocation& loc, int code, const char* fmt, ...) FX_PRINTF(3, 4);
  // The code is the error number; the message is followed by ": " and the
  // operating system's text for it.
  static CZuError ErrorErrNo(const FXCodeLocation& loc, int errnum, const char* fmt, ...) FX_PRINTF(3, 4);
  static int GetInt(const CZuError& err) { return err.Code(); }

 private:
  static CZuError Create(const FXCodeLocation& loc, int code, std::string message);
};

#endif  // HOST_CZUERROR_H
