#include "host/clients/DWClientDirectory.h"

#include <climits>
#include <cstdlib>

#include "host/sql/DWSimpleDBConnObject.h"
#include "host/sql/DWSqlDialect.h"
#include "host/net/DwHostName.h"
#include "host/base/FXString.h"

namespace {

const char kDbName[] = "Anchor";

// Runs one statement on a fresh connection; `rows` (may be null) receives
// the clients a query found.
CZuError run(const std::string& statement, std::vector<DWClientInfo>* rows,
             const FXCodeLocation& loc) {
  DWSimpleDBConnObject conn;
  int rc = conn.openSQLConnectionUsingDbName(kDbName);
  if (rc == 0) rc = conn.execQuery(statement.c_str());
  if (rc == DWSQL_NO_ROWS) return CZuError();
  DWClientInfo row;
  wchar_t name[257], host[257];  // 256 characters and a terminator
  if (rc == 0 && rows)
    rc = conn.ibindstruct("i|w256|w256|i|i", &row.id, name, host, &row.dwdPort, &row.evmgrcPort);
  if (rc != 0) return FXErrorUtil::ErrorInt(loc, rc, "%s", conn.getLastErrorText().c_str());
  while (rows && conn.getNextRow() == 0) {
    row.name = FXString::ToString(name);
    row.netHostName = FXString::ToString(host);
    rows->push_back(row);
  }
  return CZuError();
}

const char kSelect[] = "SELECT id, name, net_hostname, dwdPort, evmgrcPort FROM APP_Client";

bool validPort(int port) { return port >= 1 && port <= 65535; }

const size_t kMaxTextChars = 256;  // what the pair queries read of name and host

// Why the mangled host name of `c` would not split back into its parts, or
// would not be read back whole; empty when it would.
std::string unmangleable(const DWClientInfo& c) {
  if (c.name.find_first_of("@:") != std::string::npos)
    return "its name holds '@' or ':'";
  if (c.netHostName.find('@') != std::string::npos) return "its host holds '@'";
  if (c.name.find('\0') != std::string::npos || c.netHostName.find('\0') != std::string::npos)
    return "its name or host holds a NUL byte";
  if (FXString::FromString(c.name).size() > kMaxTextChars ||
      FXString::FromString(c.netHostName).size() > kMaxTextChars)
    return "its name or host is longer than 256 characters";
  return std::string();
}

}  // namespace

namespace DWClientDirectory {

CZuError add(const DWClientInfo& c) {
  if (c.id <= 0 || c.name.empty() || c.netHostName.empty() || !validPort(c.dwdPort) ||
      !validPort(c.evmgrcPort))
    return FXErrorUtil::ErrorInt(FXLOC, 1,
                                 "Couldn't add client %d: it needs an id above 0, a name, a host "
                                 "and two ports from 1 to 65535",
                                 c.id);
  const std::string why = unmangleable(c);
  if (!why.empty())
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't add client %d: %s", c.id, why.c_str());
  bool exists = false;
  DWClientInfo ignored;
  CZuError err = find(c.id, &ignored, &exists);
  if (!err.IsError() && exists)
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "A client with id %d already exists", c.id);
  if (!err.IsError())
    err = run("INSERT INTO APP_Client(id, name, net_hostname, dwdPort, evmgrcPort) VALUES(" +
                  std::to_string(c.id) + ", " + DWSqlDialect::quote(c.name) + ", " +
                  DWSqlDialect::quote(c.netHostName) + ", " + std::to_string(c.dwdPort) + ", " +
                  std::to_string(c.evmgrcPort) + ")",
              nullptr, FXLOC);
  if (err.IsError()) err.Push(FXLOC, "Couldn't add client %d", c.id);
  return err;
}

CZuError remove(int id) {
  bool exists = false;
  DWClientInfo ignored;
  CZuError err = find(id, &ignored, &exists);
  if (!err.IsError() && !exists)
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "There is no client with id %d", id);
  if (!err.IsError())
    err = run("DELETE FROM APP_Client WHERE id=" + std::to_string(id), nullptr, FXLOC);
  if (err.IsError()) err.Push(FXLOC, "Couldn't remove client %d", id);
  return err;
}

CZuError list(std::vector<DWClientInfo>* clients) {
  clients->clear();
  CZuError err = run(std::string(kSelect) + " ORDER BY id", clients, FXLOC);
  if (err.IsError()) err.Push(FXLOC, "Couldn't list clients");
  return err;
}

CZuError find(int id, DWClientInfo* client, bool* found) {
  std::vector<DWClientInfo> rows;
  CZuError err = run(std::string(kSelect) + " WHERE id=" + std::to_string(id), &rows, FXLOC);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't look client %d up", id);
  *found = !rows.empty();
  if (*found) *client = rows.front();
  return CZuError();
}

}  // namespace DWClientDirectory

DWClientDirectorySvc::DWClientDirectorySvc(std::set<std::string> editors)
    : DwLinkSvc("CLIENTS"), editors_(std::move(editors)) {
  acceptsRemote = true;
}

namespace {

using Map = DwLinkSvc::Map;

// A number field of a request within [min, max].
CZuError number(const Map& req, const char* key, long min, long max, int* out) {
  auto text = req.find(key);
  char* end = nullptr;
  long v = text == req.end() ? 0 : std::strtol(text->second.c_str(), &end, 10);
  if (text == req.end() || text->second.empty() || *end != '\0' || v < min || v > max)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "\"%s\" must be a number from %ld to %ld", key, min,
                                 max);
  *out = static_cast<int>(v);
  return CZuError();
}

std::string text(const Map& req, const char* key) {
  auto it = req.find(key);
  return it == req.end() ? std::string() : it->second;
}

CZuError getClient(const Map& req, Map* resp) {
  int id = 0;
  if (number(req, "id", 1, INT32_MAX, &id).IsError())
    return FXErrorUtil::ErrorInt(FXLOC, 1, "get_client needs a client id above 0");
  DWClientInfo client;
  bool found = false;
  CZuError err = DWClientDirectory::find(id, &client, &found);
  if (err.IsError()) return err;
  if (!found) return FXErrorUtil::ErrorInt(FXLOC, 1, "There is no client with id %d", id);
  (*resp)["name"] = client.name;
  (*resp)["host"] = client.netHostName;
  (*resp)["dwdPort"] = std::to_string(client.dwdPort);
  (*resp)["evmgrcPort"] = std::to_string(client.evmgrcPort);
  (*resp)["mangled"] =
      MangleHostName(client.netHostName, client.name, client.dwdPort, client.evmgrcPort);
  return CZuError();
}

CZuError listClients(const Map& req, Map* resp) {
  std::vector<DWClientInfo> clients;
  CZuError err;
  if (req.count("id") != 0) {
    int id = 0;
    DWClientInfo client;
    bool found = false;
    err = number(req, "id", 1, INT32_MAX, &id);
    if (!err.IsError()) err = DWClientDirectory::find(id, &client, &found);
    if (found) clients.push_back(client);
  } else {
    err = DWClientDirectory::list(&clients);
  }
  if (err.IsError()) return err;
  (*resp)["count"] = std::to_string(clients.size());
  for (size_t i = 0; i < clients.size(); ++i) {
    std::string n = "." + std::to_string(i);
    (*resp)["id" + n] = std::to_string(clients[i].id);
    (*resp)["name" + n] = clients[i].name;
    (*resp)["host" + n] = clients[i].netHostName;
    (*resp)["dwdPort" + n] = std::to_string(clients[i].dwdPort);
    (*resp)["evmgrcPort" + n] = std::to_string(clients[i].evmgrcPort);
  }
  return CZuError();
}

// Out-of-range fields are left for DWClientDirectory::add to refuse.
CZuError addClient(const Map& req, Map*) {
  DWClientInfo client;
  CZuError err = number(req, "id", INT32_MIN, INT32_MAX, &client.id);
  if (!err.IsError()) err = number(req, "dwdPort", INT32_MIN, INT32_MAX, &client.dwdPort);
  if (!err.IsError()) err = number(req, "evmgrcPort", INT32_MIN, INT32_MAX, &client.evmgrcPort);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't add client");
  client.name = text(req, "name");
  client.netHostName = text(req, "host");
  return DWClientDirectory::add(client);
}

CZuError removeClient(const Map& req, Map*) {
  int id = 0;
  CZuError err = number(req, "id", 1, INT32_MAX, &id);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't remove client");
  return DWClientDirectory::remove(id);
}

struct Route {
  const char* name;
  CZuError (*handler)(const Map&, Map*);
  bool edits;
};

const Route kRoutes[] = {
    {DWClientDirectory::kGetClient, getClient, false},
    {DWClientDirectory::kListClients, listClients, false},
    {DWClientDirectory::kAddClient, addClient, true},
    {DWClientDirectory::kRemoveClient, removeClient, true},
};

}  // namespace

CZuError DWClientDirectorySvc::dispatch(const Map& req, Map* resp, const std::string& from,
                                        const KRP_Cert& cert) {
  auto name = req.find("req");
  for (const Route& route : kRoutes) {
    if (name == req.end() || name->second != route.name) continue;
    // The shared product certificate names no one: it may never edit.
    bool editor = cert.kind == KRP_CERT_KIND_LOCAL ||
                  (cert.kind == KRP_CERT_KIND_CLIENT && editors_.count(from) != 0);
    if (route.edits && !editor)
      return FXErrorUtil::ErrorInt(FXLOC, 1,
                                   "Client %s may not edit the client directory: only operators "
                                   "may",
                                   from.c_str());
    return route.handler(req, resp);
  }
  return FXErrorUtil::ErrorInt(FXLOC, 1, "Unknown request \"%s\"",
                               name == req.end() ? "" : name->second.c_str());
}
