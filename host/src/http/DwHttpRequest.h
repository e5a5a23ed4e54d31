// The head of an HTTP/1.x request (request line and header fields), parsed
// strictly: what a monitoring listener needs, and nothing it doesn't.
//
// A request line over kDwHttpMaxLineBytes is refused with 414; a header
// section over kDwHttpMaxHeaderBytes, a header line without a colon or with a
// folded continuation, a malformed request line or an unknown version with
// 400.  Lines end in CRLF or a bare LF.
#ifndef HOST_DWHTTPREQUEST_H
#define HOST_DWHTTPREQUEST_H

#include <cstddef>
#include <string>
#include <string_view>

constexpr size_t kDwHttpMaxLineBytes = 8192;
constexpr size_t kDwHttpMaxHeaderBytes = 8192;
// Past this much without the end of a head, the head is over a limit.
constexpr size_t kDwHttpMaxHeadBytes = kDwHttpMaxLineBytes + kDwHttpMaxHeaderBytes + 8;

struct DwHttpRequest {
  std::string method;
  std::string target;  // as sent
  bool keepAlive = true;
  bool hasBody = false;  // Content-Length above 0, or Transfer-Encoding
};

// Where the head at the start of `data` ends (just after its empty line),
// searching from `from` on; npos while it is incomplete.
size_t dwHttpHeadEnd(std::string_view data, size_t from);

// Whether an incomplete head `data` is already over a limit, so that it can
// be refused without waiting for more.
bool dwHttpHeadOverLimit(std::string_view data);

// Parses a head (whole, or incomplete and over a limit): 0 when it is a
// request, else the status to refuse it with (400, 414).
int dwHttpParseHead(std::string_view head, DwHttpRequest* out);

// The path of an origin-form target ("/a%20b?q" gives "/a b"), percent-decoded;
// false when the target is not one or decodes to a NUL.
bool dwHttpDecodePath(const std::string& target, std::string* path);
// The query of a target: after the first '?', up to a '#'; "" when none.
std::string dwHttpQuery(const std::string& target);

#endif  // HOST_DWHTTPREQUEST_H
