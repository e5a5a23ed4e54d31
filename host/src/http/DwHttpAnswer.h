// The answers of the monitoring HTTP server, as sent: a handler's (never
// cached), a file's (Content-Type by its extension), a refusal's.  Every
// answer forbids content sniffing and framing, and loads nothing from
// elsewhere.
#ifndef HOST_DWHTTPANSWER_H
#define HOST_DWHTTPANSWER_H

#include <string>

#include "host/http/DwHttpServer.h"

// `head`: without the body (HEAD); `keepAlive`: says whether the connection
// stays open.
std::string dwHttpHandlerAnswer(const DwHttpServer::QueryHandler& handler, const std::string& query,
                                bool head, bool keepAlive);
// The file at decoded `path` below `dir`, or 404 when there is none, `dir` is
// empty, or `path` leaves `dir` ("..", "\").  "/" is "/index.html".
std::string dwHttpFileAnswer(const std::string& dir, const std::string& path, bool head,
                             bool keepAlive);
// 400, 405 (with Allow), 413, 414; the connection is closed after it.
std::string dwHttpRefusal(int status);

#endif  // HOST_DWHTTPANSWER_H
