// blr proxies ...: requests to the replication service on a proxy.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "BLR/BlrCtrl.h"
#include "Cli.h"
#include "host/clients/DWClient.h"
#include "host/net/DwHostName.h"

namespace {

struct PairOpCommand {
  const char* name;
  int op;
  const char* help;
  const char* done;
};

constexpr PairOpCommand kPairOps[] = {
    {"start", BLR_CTRL_PAIROP_START, "Start replicating a pair", "Started"},
    {"stop", BLR_CTRL_PAIROP_STOP, "Stop replicating a pair", "Stopped"},
    {"pause", BLR_CTRL_PAIROP_PAUSE, "Pause a pair", "Paused"},
    {"resume", BLR_CTRL_PAIROP_RESUME, "Resume a paused pair", "Resumed"},
    {"resync", BLR_CTRL_PAIROP_SMART_RESYNC, "Resynchronise a pair (changed blocks; --full: all)",
     "Resynchronising"},
    {"cleanup", BLR_CTRL_PAIROP_CLEANUP, "Remove a pair's replication state from a proxy",
     "Cleaned up"},
};

// Where a request goes: an explicit proxy, or a side of the pair.
struct Target {
  std::string proxy;
  bool tail = false;
};

// A client id, or a mangled host name.
bool validProxyName(const std::string& arg) {
  std::string host, client;
  int dwd = 0, evmgrc = 0;
  if (arg.find('@') != std::string::npos)
    return DemangleHostName(arg.c_str(), host, client, dwd, evmgrc);
  char* end = nullptr;
  long id = std::strtol(arg.c_str(), &end, 10);
  return !arg.empty() && *end == '\0' && id > 0 && id <= INT32_MAX;
}

const CLI::Validator kProxyName(
    [](std::string& arg) {
      return validProxyName(arg)
                 ? std::string()
                 : "neither a client id nor <client>@<host>:<port>:<port>: " + arg;
    },
    "PROXY");

CLI::Option* addProxyOption(CLI::App* cmd, std::string* proxy, const std::string& help) {
  return cmd->add_option("--proxy", *proxy, help)->check(kProxyName);
}

// The mangled host name of a proxy named by a client id (looked up in the
// central server's directory) or by its mangled host name; empty stays empty
// (the local machine).
CZuError resolveProxy(const std::string& arg, std::string* mangled) {
  if (arg.empty() || arg.find('@') != std::string::npos) {
    *mangled = arg;
    return CZuError();
  }
  int id = std::atoi(arg.c_str());
  CZuError err = DWClient(id).lookUp(mangled);
  if (err.IsError()) err.Push(FXLOC, "Couldn't find the host of client %d", id);
  return err;
}

// Connects to `mangled`, or to the local machine's service when it is empty.
CZuError connectTo(const std::string& mangled, BlrCtrl* ctrl) {
  return mangled.empty() ? ctrl->connect() : ctrl->connect(mangled);
}

std::string shown(const std::string& mangled) { return mangled.empty() ? "the local proxy" : mangled; }

int pingProxy(const Cli& cli, const std::string& arg) {
  std::string mangled;
  CZuError err = resolveProxy(arg, &mangled);
  if (err.IsError()) return cli.fail(err);
  BlrCtrl ctrl;
  err = connectTo(mangled, &ctrl);
  auto start = std::chrono::steady_clock::now();
  if (!err.IsError()) err = ctrl.ping();
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (err.IsError()) return cli.fail(err.Push(FXLOC, "Couldn't ping %s", shown(mangled).c_str()));
  if (cli.json())
    cli.printJson(Json{{"proxy", shown(mangled)}, {"alive", true}, {"roundTripMs", ms}});
  else
    std::printf("%s is alive (%.1f ms)\n", shown(mangled).c_str(), ms);
  return kExitOk;
}

// The proxy a pair request goes to: --proxy, or the pair's Head or Tail.
int pairProxy(const Cli& cli, int pairId, const Target& target, std::string* mangled) {
  CZuError err;
  if (!target.proxy.empty()) {
    err = resolveProxy(target.proxy, mangled);
    return err.IsError() ? cli.fail(err) : 0;
  }
  BlrDB::Pair pair;
  if (int rc = cliLoadPair(cli, pairId, &pair)) return rc;
  err = resolveProxy(std::to_string(target.tail ? pair.tailClientId : pair.headClientId), mangled);
  return err.IsError() ? cli.fail(err) : 0;
}

int runPairOp(const Cli& cli, const PairOpCommand& cmd, int pairId, bool full, const Target& target) {
  std::string mangled;
  if (int rc = pairProxy(cli, pairId, target, &mangled)) return rc;
  int op = cmd.op == BLR_CTRL_PAIROP_SMART_RESYNC && full ? BLR_CTRL_PAIROP_FULL_RESYNC : cmd.op;
  BlrCtrl ctrl;
  CZuError err = ctrl.connect(mangled);
  if (!err.IsError()) err = ctrl.pairOp(pairId, op);
  if (err.IsError()) return cli.fail(err);
  if (cli.json())
    cli.printJson(Json{{"pair", pairId}, {"operation", BlrCtrl::pairOp2str(op)}, {"proxy", mangled}});
  else
    std::printf("%s pair %d on %s\n", cmd.done, pairId, mangled.c_str());
  return kExitOk;
}

int applyConfig(const Cli& cli, const std::string& vmText, const std::string& proxy) {
  BlrUUID vm(vmText);
  std::string mangled;
  CZuError err;
  if (!proxy.empty()) {
    err = resolveProxy(proxy, &mangled);
  } else {
    std::list<BlrDB::Pair> pairs;
    err = BlrDB().getPairs(vm, &pairs);
    if (!err.IsError() && pairs.empty())
      return cli.failText("No pair replicates VM " + vm.toString() + "; name its Head with --proxy",
                          kExitNotFound);
    if (!err.IsError()) err = resolveProxy(std::to_string(pairs.front().headClientId), &mangled);
  }
  BlrCtrl ctrl;
  if (!err.IsError()) err = ctrl.connect(mangled);
  if (!err.IsError()) err = ctrl.applyRepCfg(vm);
  if (err.IsError()) return cli.fail(err);
  if (cli.json())
    cli.printJson(Json{{"vm", vm.toString()}, {"proxy", mangled}});
  else
    std::printf("Applied the replication configuration of VM %s on %s\n", vm.toString().c_str(),
                mangled.c_str());
  return kExitOk;
}

int jobDone(const Cli& cli, uint64_t jobId, const std::string& proxy) {
  std::string mangled;
  CZuError err = resolveProxy(proxy, &mangled);
  BlrCtrl ctrl;
  if (!err.IsError()) err = connectTo(mangled, &ctrl);
  if (!err.IsError()) err = ctrl.jobDone(jobId);
  if (err.IsError()) return cli.fail(err);
  if (cli.json())
    cli.printJson(Json{{"job", jobId}, {"proxy", shown(mangled)}});
  else
    std::printf("Told %s that job %llu is done\n", shown(mangled).c_str(),
                static_cast<unsigned long long>(jobId));
  return kExitOk;
}

}  // namespace

void addProxyCommands(Cli& cli) {
  CLI::App* group = Cli::group(&cli.app(), "proxies", "The replication service on the proxies");
  const char* proxyHelp = "Proxy: a client id, or <client>@<host>:<port>:<port>";

  auto ping = std::make_shared<std::string>();
  CLI::App* cmd = group->add_subcommand("ping", "Check that a proxy's service answers");
  cmd->add_option("PROXY", *ping, std::string(proxyHelp) + " (default: this machine)")
      ->check(kProxyName);
  cli.on(cmd, [&cli, ping] { return pingProxy(cli, *ping); });

  for (const PairOpCommand& op : kPairOps) {
    struct Options {
      int pairId = 0;
      bool full = false;
      Target target;
    };
    auto o = std::make_shared<Options>();
    cmd = group->add_subcommand(op.name, op.help);
    cmd->add_option("PAIR", o->pairId, "Pair id")->required()->check(kPositiveId);
    CLI::Option* tail = cmd->add_flag("--tail", o->target.tail, "Send to the pair's Tail (default: its Head)");
    addProxyOption(cmd, &o->target.proxy, proxyHelp)->excludes(tail);
    if (op.op == BLR_CTRL_PAIROP_SMART_RESYNC) cmd->add_flag("--full", o->full, "Copy every block");
    const PairOpCommand* which = &op;
    cli.on(cmd, [&cli, o, which] { return runPairOp(cli, *which, o->pairId, o->full, o->target); });
  }

  auto apply = std::make_shared<std::pair<std::string, std::string>>();
  cmd = group->add_subcommand("apply-config",
                              "Send a VM's replication configuration, as the pair database has it");
  cmd->add_option("VM", apply->first, "The source VM's id")->required()->check(kUuidText);
  addProxyOption(cmd, &apply->second, "Proxy (default: the Head of the VM's pairs)");
  cli.on(cmd, [&cli, apply] { return applyConfig(cli, apply->first, apply->second); });

  auto job = std::make_shared<std::pair<uint64_t, std::string>>();
  cmd = group->add_subcommand("job-done", "Tell a proxy that a job finished");
  cmd->add_option("JOB", job->first, "Job id")->required();
  addProxyOption(cmd, &job->second, std::string(proxyHelp) + " (default: this machine)");
  cli.on(cmd, [&cli, job] { return jobDone(cli, job->first, job->second); });
}
