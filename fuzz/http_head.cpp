// The head of an HTTP request as any client may send it: finding its end,
// judging it over a limit and parsing it never crash, and a path decoded
// from an accepted request is absolute and free of NUL bytes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "DwHttpRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const size_t end = dwHttpHeadEnd(text, 0);
  if (end == std::string_view::npos && !dwHttpHeadOverLimit(text)) return 0;
  if (end != std::string_view::npos && end > size) std::abort();
  DwHttpRequest request;
  const int status = dwHttpParseHead(end == std::string_view::npos ? text : text.substr(0, end), &request);
  if (status != 0 && status != 400 && status != 414) std::abort();
  std::string path;
  if (status == 0 && dwHttpDecodePath(request.target, &path) &&
      (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos))
    std::abort();
  return 0;
}
