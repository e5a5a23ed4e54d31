#include "host/http/DwHttpServer.h"

#include <httplib.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include "host/tls/TlsContext.h"

namespace {

// TLS 1.2 or later with the installation's files; the authority checks
// clients when they must present a certificate.
bool setupTls(const DwHttpServerConfig& config, SSL_CTX& ctx) {
  if (!tlsApplyPolicy(&ctx)) return false;
  SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(&ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
  if (SSL_CTX_use_certificate_chain_file(&ctx, config.certFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(&ctx, config.keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(&ctx) != 1)
    return false;
  if (config.requireClientCert) {
    if (SSL_CTX_load_verify_locations(&ctx, config.caFile.c_str(), nullptr) != 1) return false;
    if (!config.crlFile.empty()) {
      X509_STORE* store = SSL_CTX_get_cert_store(&ctx);
      if (X509_STORE_load_file(store, config.crlFile.c_str()) != 1) return false;
      X509_STORE_set_flags(store, X509_V_FLAG_CRL_CHECK);
    }
    SSL_CTX_set_verify(&ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  }
  return true;
}

const char* statusText(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    default: return status >= 500 ? "Server Error" : "Refused";
  }
}

void refuse(int status, httplib::Response& res) {
  res.status = status;
  res.set_content(std::string(statusText(status)) + "\n", "text/plain; charset=utf-8");
}

}  // namespace

struct DwHttpServer::Impl {
  std::unique_ptr<httplib::Server> server;
};

DwHttpServer::DwHttpServer() : impl_(new Impl) {}

DwHttpServer::~DwHttpServer() { stop(); }

void DwHttpServer::get(const std::string& path, Handler handler) {
  handlers_[path] = std::move(handler);
}

CZuError DwHttpServer::start(const DwHttpServerConfig& config) {
  if (thread_.joinable())
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't start HTTP server: already running");
  std::unique_ptr<httplib::Server> server;
  if (config.tls) {
    bool ready = false;
    server.reset(new httplib::SSLServer([&](SSL_CTX& ctx) { return ready = setupTls(config, ctx); }));
    if (!ready || !server->is_valid())
      return FXErrorUtil::ErrorInt(FXLOC, 1,
                                   "Couldn't start HTTPS server: can't use certificate %s, key %s, "
                                   "authority %s or revocation list %s",
                                   config.certFile.c_str(), config.keyFile.c_str(),
                                   config.caFile.c_str(), config.crlFile.c_str());
  } else {
    server.reset(new httplib::Server);
  }
  const size_t threads = config.threads > 0 ? config.threads : 1;
  server->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server->set_read_timeout(config.timeoutSecs);
  server->set_write_timeout(config.timeoutSecs);
  server->set_keep_alive_timeout(config.timeoutSecs);
  server->set_keep_alive_max_count(100);
  server->set_payload_max_length(0);  // no request needs a body
  if (!config.filesDir.empty() && !server->set_mount_point("/", config.filesDir))
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't serve the files of %s: not a directory",
                                 config.filesDir.c_str());
  for (const auto& route : handlers_) {
    Handler handler = route.second;
    server->Get(route.first, [handler](const httplib::Request&, httplib::Response& res) {
      DwHttpResponse response;
      handler(&response);
      res.status = response.status;
      res.set_content(std::move(response.body), response.contentType.c_str());
      res.set_header("Cache-Control", "no-store");
    });
  }
  // Before any body is read: nothing but reading is offered.
  server->set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    if (req.method == "GET" || req.method == "HEAD") return httplib::Server::HandlerResponse::Unhandled;
    refuse(405, res);
    res.set_header("Allow", "GET, HEAD");
    res.set_header("Connection", "close");  // its body is never read
    return httplib::Server::HandlerResponse::Handled;
  });
  server->set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) refuse(res.status, res);
  });
  server->set_default_headers({{"X-Content-Type-Options", "nosniff"},
                               {"Content-Security-Policy",
                                "default-src 'self'; frame-ancestors 'none'"}});
  const int port = config.port == 0 ? server->bind_to_any_port(config.address)
                                    : (server->bind_to_port(config.address, config.port)
                                           ? config.port
                                           : -1);
  if (port <= 0)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't start HTTP server: can't listen on %s:%d",
                                 config.address.c_str(), config.port);
  port_ = port;
  impl_->server = std::move(server);
  httplib::Server* running = impl_->server.get();
  thread_ = std::thread([running] { running->listen_after_bind(); });
  return CZuError();
}

void DwHttpServer::stop() {
  if (!thread_.joinable()) return;
  impl_->server->stop();
  thread_.join();
  impl_->server.reset();
}
