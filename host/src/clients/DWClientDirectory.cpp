#include "host/DWClientDirectory.h"

#include <climits>
#include <cstdlib>

#include "host/DWSimpleDBConnObject.h"
#include "host/DWSqlDialect.h"
#include "host/DwHostName.h"
#include "host/FXString.h"

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
  wchar_t name[256], host[256];
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

}  // namespace

namespace DWClientDirectory {

CZuError add(const DWClientInfo& c) {
  if (c.id <= 0 || c.name.empty() || c.netHostName.empty() || !validPort(c.dwdPort) ||
      !validPort(c.evmgrcPort))
    return FXErrorUtil::ErrorInt(FXLOC, 1,
                                 "Couldn't add client %d: it needs an id above 0, a name, a host "
                                 "and two ports from 1 to 65535",
                                 c.id);
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

DWClientDirectorySvc::DWClientDirectorySvc() : DwLinkSvc("CLIENTS") { acceptsRemote = true; }

namespace {

// Answer of "list_clients": "count", then the fields of client i under
// "<field>.<i>".
CZuError answerList(DwLinkSvc::Map* resp) {
  std::vector<DWClientInfo> clients;
  CZuError err = DWClientDirectory::list(&clients);
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

}  // namespace

CZuError DWClientDirectorySvc::dispatch(const Map& req, Map* resp, const std::string&,
                                        const KRP_Cert&) {
  auto name = req.find("req");
  if (name != req.end() && name->second == "list_clients") return answerList(resp);
  if (name == req.end() || name->second != "get_client")
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Unknown request \"%s\"",
                                 name == req.end() ? "" : name->second.c_str());
  auto idText = req.find("id");
  char* end = nullptr;
  long id = idText == req.end() ? 0 : std::strtol(idText->second.c_str(), &end, 10);
  if (id <= 0 || id > INT32_MAX || *end != '\0')
    return FXErrorUtil::ErrorInt(FXLOC, 1, "get_client needs a client id above 0");
  DWClientInfo client;
  bool found = false;
  CZuError err = DWClientDirectory::find(static_cast<int>(id), &client, &found);
  if (err.IsError()) return err;
  if (!found) return FXErrorUtil::ErrorInt(FXLOC, 1, "There is no client with id %ld", id);
  (*resp)["name"] = client.name;
  (*resp)["host"] = client.netHostName;
  (*resp)["dwdPort"] = std::to_string(client.dwdPort);
  (*resp)["evmgrcPort"] = std::to_string(client.evmgrcPort);
  (*resp)["mangled"] =
      MangleHostName(client.netHostName, client.name, client.dwdPort, client.evmgrcPort);
  return CZuError();
}
