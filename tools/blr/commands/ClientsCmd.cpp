// blr clients ...: the central server's directory of clients, which maps the
// client ids of pairs to the proxies' host names and ports.
#include <cstdio>
#include <memory>

#include "Cli.h"
#include "output/CliRecords.h"
#include "host/clients/DWClient.h"
#include "host/net/DwHostName.h"

// Every command is a request to the central server, like the other families.
namespace {

int addClient(const Cli& cli, const DWClientInfo& client) {
  CZuError err = DWClient::add(client);
  if (err.IsError()) return cli.fail(err);
  std::string mangled =
      MangleHostName(client.netHostName, client.name, client.dwdPort, client.evmgrcPort);
  if (cli.json())
    cli.printJson(Json{{"id", client.id}, {"mangled", cliTextJson(mangled)}});
  else
    std::printf("Added client %d: %s\n", client.id, cliTerminalText(mangled).c_str());
  return kExitOk;
}

int listClients(const Cli& cli) {
  std::vector<DWClientInfo> clients;
  CZuError err = DWClient::list(&clients);
  if (err.IsError()) return cli.fail(err);
  Json list = Json::array();
  CliTable table({"ID", "NAME", "HOST", "DWD PORT", "EVMGRC PORT"});
  for (const DWClientInfo& c : clients) {
    list.push_back(Json{{"id", c.id},
                        {"name", cliTextJson(c.name)},
                        {"host", cliTextJson(c.netHostName)},
                        {"dwdPort", c.dwdPort},
                        {"evmgrcPort", c.evmgrcPort},
                        {"mangled", cliTextJson(MangleHostName(c.netHostName, c.name, c.dwdPort,
                                                               c.evmgrcPort))}});
    table.add({std::to_string(c.id), c.name, c.netHostName, std::to_string(c.dwdPort),
               std::to_string(c.evmgrcPort)});
  }
  if (cli.json())
    cli.printJson(list);
  else
    std::fputs(clients.empty() ? "No clients.\n" : table.render().c_str(), stdout);
  return kExitOk;
}

int removeClient(const Cli& cli, int id) {
  std::vector<DWClientInfo> found;
  CZuError err = DWClient::list(&found, id);
  if (err.IsError()) return cli.fail(err);
  if (found.empty()) return cli.failText("No client " + std::to_string(id), kExitNotFound);
  err = DWClient::remove(id);
  if (err.IsError()) return cli.fail(err);
  if (cli.json())
    cli.printJson(Json{{"deleted", id}});
  else
    std::printf("Removed client %d (%s)\n", id, cliTerminalText(found.front().name).c_str());
  return kExitOk;
}

// Asks the central server, as the workflows do.
int showClient(const Cli& cli, int id) {
  std::string mangled;
  CZuError err = DWClient(id).lookUp(&mangled);
  if (err.IsError()) return cli.fail(err.Push(FXLOC, "Couldn't look up client %d", id));
  std::string host, name;
  int dwd = 0, evmgrc = 0;
  DemangleHostName(mangled.c_str(), host, name, dwd, evmgrc);
  if (cli.json())
    cli.printJson(Json{{"id", id},
                       {"name", cliTextJson(name)},
                       {"host", cliTextJson(host)},
                       {"dwdPort", dwd},
                       {"evmgrcPort", evmgrc},
                       {"mangled", cliTextJson(mangled)}});
  else
    std::printf("%s\n", cliTerminalText(mangled).c_str());
  return kExitOk;
}

}  // namespace

void addClientCommands(Cli& cli) {
  CLI::App* group = Cli::group(&cli.app(), "clients", "The central server's directory of clients");

  auto c = std::make_shared<DWClientInfo>();
  CLI::App* cmd = group->add_subcommand("add", "Add a client");
  cmd->add_option("--id", c->id, "Client id")->required()->check(kPositiveId);
  cmd->add_option("--name", c->name, "Client name (its certificate's name)")->required();
  cmd->add_option("--host", c->netHostName, "Network host name or address")->required();
  cmd->add_option("--dwd-port", c->dwdPort, "Port of its port lookup")
      ->required()
      ->check(CLI::Range(1, 65535));
  cmd->add_option("--evmgrc-port", c->evmgrcPort, "Event manager port")
      ->required()
      ->check(CLI::Range(1, 65535));
  cli.on(cmd, [&cli, c] { return addClient(cli, *c); });

  cmd = group->add_subcommand("list", "List the clients");
  cli.on(cmd, [&cli] { return listClients(cli); });
  cli.addIdCommand(group, "remove", "Remove a client", "Client id", removeClient);
  cli.addIdCommand(group, "show", "Look a client up through the central server", "Client id",
                   showClient);
}
