#include "DwHttpAnswer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

namespace {

const char* statusText(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return status >= 500 ? "Server Error" : "Refused";
  }
}

const char* contentTypeOf(const std::string& path) {
  static const struct {
    const char* ext;
    const char* type;
  } kTypes[] = {{".html", "text/html; charset=utf-8"}, {".css", "text/css; charset=utf-8"},
                {".js", "text/javascript; charset=utf-8"}, {".json", "application/json"},
                {".svg", "image/svg+xml"}, {".png", "image/png"}, {".ico", "image/x-icon"},
                {".txt", "text/plain; charset=utf-8"}, {".woff2", "font/woff2"}};
  for (const auto& t : kTypes) {
    const std::string ext = t.ext;
    if (path.size() > ext.size() && path.compare(path.size() - ext.size(), ext.size(), ext) == 0)
      return t.type;
  }
  return "application/octet-stream";
}

std::string message(const DwHttpResponse& r, const std::string& extra, bool head, bool keepAlive) {
  std::string m = "HTTP/1.1 " + std::to_string(r.status) + " " + statusText(r.status) + "\r\n";
  m += "Content-Type: " + r.contentType + "\r\n";
  m += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
  m += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
  m += "X-Content-Type-Options: nosniff\r\n";
  m += "Content-Security-Policy: default-src 'self'; frame-ancestors 'none'\r\n";
  m += extra + "\r\n";
  if (!head) m += r.body;
  return m;
}

DwHttpResponse plain(int status) {
  DwHttpResponse r;
  r.status = status;
  r.body = std::string(statusText(status)) + "\n";
  return r;
}

// Refuses every path that could leave the directory once decoded.
bool staysBelow(const std::string& path) {
  if (path.empty() || path[0] != '/' || path.find('\\') != std::string::npos) return false;
  for (size_t at = 1; at <= path.size();) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    const std::string segment = path.substr(at, slash - at);
    if (segment == "." || segment == "..") return false;
    at = slash + 1;
  }
  return true;
}

bool readFile(const std::string& file, std::string* out) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  char buf[65536];
  for (ssize_t n = 1; ok && n != 0;) {
    n = ::read(fd, buf, sizeof buf);
    if (n > 0)
      out->append(buf, static_cast<size_t>(n));
    else if (n < 0 && errno != EINTR)
      ok = false;
  }
  ::close(fd);
  return ok;
}

}  // namespace

std::string dwHttpHandlerAnswer(const DwHttpServer::QueryHandler& handler, const std::string& query,
                                bool head, bool keepAlive) {
  DwHttpResponse r;
  try {
    handler(query, &r);
  } catch (const std::exception&) {
    r = plain(500);
  }
  return message(r, "Cache-Control: no-store\r\n", head, keepAlive);
}

std::string dwHttpFileAnswer(const std::string& dir, const std::string& path, bool head,
                             bool keepAlive) {
  DwHttpResponse r;
  std::string file = path.back() == '/' ? path + "index.html" : path;
  if (dir.empty() || !staysBelow(path) || !readFile(dir + file, &r.body)) {
    r = plain(404);
  } else {
    r.contentType = contentTypeOf(file);
  }
  return message(r, "", head, keepAlive);
}

std::string dwHttpRefusal(int status) {
  return message(plain(status), status == 405 ? "Allow: GET, HEAD\r\n" : "", false, false);
}
