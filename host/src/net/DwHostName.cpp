#include "host/net/DwHostName.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>

namespace {

// A decimal port 0..65535 taking the whole text.
bool parsePort(const std::string& text, int* port) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  long v = std::strtol(text.c_str(), nullptr, 10);
  if (v > 65535) return false;
  *port = static_cast<int>(v);
  return true;
}

}  // namespace

std::string MangleHostName(const std::string& netHostName, const std::string& clientName, int dwdPort,
                           int evmgrcPort) {
  std::string mangled;
  MangleHostName(netHostName, clientName, dwdPort, evmgrcPort, &mangled);
  return mangled;
}

void MangleHostName(std::string_view netHostName, std::string_view clientName, int dwdPort, int evmgrcPort,
                    std::string* mangled) {
  char dwd[16], evmgrc[16];
  const char* dwdEnd = std::to_chars(dwd, dwd + sizeof dwd, dwdPort).ptr;
  const char* evmgrcEnd = std::to_chars(evmgrc, evmgrc + sizeof evmgrc, evmgrcPort).ptr;
  mangled->clear();
  mangled->reserve(clientName.size() + netHostName.size() + (dwdEnd - dwd) + (evmgrcEnd - evmgrc) + 3);
  mangled->append(clientName).append(1, '@').append(netHostName).append(1, ':');
  mangled->append(dwd, dwdEnd - dwd).append(1, ':').append(evmgrc, evmgrcEnd - evmgrc);
}

bool DemangleHostName(const char* mangled, std::string& hostName, std::string& clientName, int& dwdPort,
                      int& evmgrcPort) {
  if (mangled == nullptr) return false;
  std::string text(mangled);
  size_t second = text.rfind(':');
  if (second == std::string::npos || second == 0) return false;
  size_t first = text.rfind(':', second - 1);
  if (first == std::string::npos) return false;
  int port1 = 0, port2 = 0;
  if (!parsePort(text.substr(first + 1, second - first - 1), &port1) ||
      !parsePort(text.substr(second + 1), &port2))
    return false;
  std::string clientAndHost = text.substr(0, first);
  size_t at = clientAndHost.rfind('@');
  if (at == std::string::npos) return false;
  std::string host = clientAndHost.substr(at + 1);
  if (host.empty()) return false;
  clientName = clientAndHost.substr(0, at);
  hostName = host;
  dwdPort = port1;
  evmgrcPort = port2;
  return true;
}
