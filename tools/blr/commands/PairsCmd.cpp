// blr pairs ...: pairs, their state, properties and statistics in the pair
// database.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <set>

#include "Cli.h"
#include "output/CliJson.h"
#include "output/CliRecords.h"
#include "host/metrics/DwSummary.h"

namespace {

std::string orDash(const std::string& text) { return text.empty() ? "-" : text; }

std::string joinNames(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : ",") + n;
  return orDash(out);
}

std::string uuidOrDash(const BlrUUID& id) { return id.empty() ? "-" : id.toString(); }

// "45 s", "2 min", "1 h 3 min", "2 d 5 h": two units at most.
std::string lagText(int32_t secs) {
  const std::pair<int32_t, const char*> units[] = {{86400, "d"}, {3600, "h"}, {60, "min"}, {1, "s"}};
  for (size_t i = 0; i < 3; ++i) {
    if (secs < units[i].first) continue;
    std::string text = std::to_string(secs / units[i].first) + " " + units[i].second;
    int32_t rest = secs % units[i].first / units[i + 1].first;
    return rest == 0 ? text : text + " " + std::to_string(rest) + " " + units[i + 1].second;
  }
  return std::to_string(std::max(secs, 0)) + " s";
}

// The table's last line: the lag of the pairs listed.
std::string lagSummaryLine(std::vector<int32_t>* lags) {
  DwSummary s = dwSummarize(lags);
  return "lag: median " + lagText(s.p50) + ", p95 " + lagText(s.p95) + ", max " + lagText(s.max) +
         " over " + std::to_string(s.count) + (s.count == 1 ? " pair\n" : " pairs\n");
}

// Prints pairs as they arrive.  Up to kWholeRows pairs are held, and a list
// that ends there is one table whose columns fit their longest value; a
// longer list goes on row by row in the declared widths, so that it starts
// at once and is never held (only each pair's lag is, for the summary line
// that ends the table).  JSON is always printed as it arrives.
class PairPrinter {
 public:
  explicit PairPrinter(bool json) : json_(json) {}

  void add(const BlrDB::Pair& p) {
    if (json_) {
      array_.add(pairToJson(p));
      return;
    }
    table_.add({std::to_string(p.id), p.srcName, orDash(p.dstName), std::to_string(p.headClientId),
                std::to_string(p.tailClientId), pairStatusText(p.statusCode),
                joinNames(pairFlagNames(p.flags)), std::to_string(p.lagTime) + "s",
                std::to_string(p.disks.size())});
    if (p.lagTime >= 0) lags_.push_back(p.lagTime);  // below 0: not known
    if (!streaming_ && table_.rows() <= kWholeRows) return;
    std::fputs(table_.take().c_str(), stdout);
    if (!streaming_) std::fflush(stdout);  // the first lines show at once
    streaming_ = true;
  }

  void finish() {
    if (json_)
      array_.finish();
    else if (!streaming_)
      std::fputs(table_.rows() == 0 ? "No pairs.\n" : table_.render().c_str(), stdout);
    if (!json_ && !lags_.empty()) std::fputs(lagSummaryLine(&lags_).c_str(), stdout);
    std::fflush(stdout);
  }

 private:
  static const size_t kWholeRows = 100;

  bool json_;
  bool streaming_ = false;
  CliJsonArray array_;
  std::vector<int32_t> lags_;
  // Widths that fit every pair id and status and the flags a pair comes
  // to have; longer values are cut.
  CliTable table_{{"ID", "SOURCE", "DESTINATION", "HEAD", "TAIL", "STATUS", "FLAGS", "LAG", "DISKS"},
                  {10, 20, 20, 6, 6, 22, 16, 8, 5}};
};

void printPairDetails(const BlrDB::Pair& p, const std::map<std::string, std::string>& props) {
  std::string status = pairStatusText(p.statusCode);
  if (!p.statusMessage.empty()) status += " (" + p.statusMessage + ")";
  std::fputs(renderFields({
                 {"Pair", std::to_string(p.id)},
                 {"Source", p.srcName + "  " + uuidOrDash(p.srcGuid) + "  type " +
                                std::to_string(p.srcType) + ", sub-client " +
                                std::to_string(p.subClientId)},
                 {"Destination", orDash(p.dstName) + "  " + uuidOrDash(p.dstGuid) + "  type " +
                                     std::to_string(p.dstType) + ", client " +
                                     std::to_string(p.dstClientId)},
                 {"Head", "client " + std::to_string(p.headClientId)},
                 {"Tail", "client " + std::to_string(p.tailClientId) + "  " + orDash(p.tailHostName)},
                 {"Status", status},
                 {"Pending status", std::to_string(p.pendingStatusCode)},
                 {"Event", std::to_string(p.eventId)},
                 {"Flags", joinNames(pairFlagNames(p.flags))},
                 {"Lag", std::to_string(p.lagTime) + "s"},
                 {"Recovery-point store", std::to_string(p.rpStoreId)},
             })
                 .c_str(),
             stdout);
  CliTable disks({"DISK", "SOURCE PATH", "SOURCE ID", "DESTINATION PATH", "DESTINATION ID", "STATUS"});
  for (const BlrDB::Disk& d : p.disks)
    disks.add({std::to_string(d.id), d.srcPath, uuidOrDash(d.srcGuid), orDash(d.dstPath),
               uuidOrDash(d.dstGuid), std::to_string(d.statusCode)});
  std::printf("\nDisks\n%s", disks.render().c_str());
  CliTable table({"PROPERTY", "VALUE"});
  for (const auto& kv : props) table.add({kv.first, kv.second});
  std::printf("\nProperties\n%s", props.empty() ? "(none)\n" : table.render().c_str());
}

// Prints the stored pair after a change: its JSON form, or `done`.
int reportChange(const Cli& cli, int pairId, const std::string& done) {
  if (!cli.json()) {
    std::printf("%s\n", done.c_str());
    return kExitOk;
  }
  BlrDB::Pair pair;
  if (int rc = cliLoadPair(cli, pairId, &pair)) return rc;
  cli.printJson(pairToJson(pair));
  return kExitOk;
}

// Runs `change` on an existing pair.
int changePair(const Cli& cli, int pairId, const std::function<CZuError(BlrDB&)>& change,
               const std::string& done) {
  BlrDB::Pair pair;
  if (int rc = cliLoadPair(cli, pairId, &pair)) return rc;
  BlrDB db;
  CZuError err = change(db);
  if (err.IsError()) return cli.fail(err);
  return reportChange(cli, pairId, done);
}

CLI::Option* addPairId(CLI::App* cmd, int* id) {
  return cmd->add_option("PAIR", *id, "Pair id")->required()->check(kPositiveId);
}

// ---- list, show ----

struct ListOptions {
  BlrDB::Pair filter;
  std::string srcGuid, dstGuid, flags;
  int status = -2;  // -2: any
  int limit = 0;    // 0: all
  int afterId = 0;
};

int listPairs(const Cli& cli, ListOptions& o) {
  if (!o.srcGuid.empty()) o.filter.srcGuid = BlrUUID(o.srcGuid);
  if (!o.dstGuid.empty()) o.filter.dstGuid = BlrUUID(o.dstGuid);
  if (!o.flags.empty()) {
    CZuError err = parsePairFlags(o.flags, &o.filter.flags);
    if (err.IsError()) return cli.fail(err, kExitUsage);
  }
  PairPrinter printer(cli.json());
  int shown = 0;
  // The service filters on identity fields only; the status is filtered here,
  // so the service can be told the limit only when no status is asked for.
  bool byStatus = o.status != -2;
  CZuError err = BlrDB().forEachPair(
      {o.filter},
      [&](const BlrDB::Pair& p) {
        if (byStatus && p.statusCode != o.status) return true;
        printer.add(p);
        return o.limit == 0 || ++shown < o.limit;
      },
      o.afterId, byStatus ? 0 : o.limit);
  if (err.IsError()) {
    std::fflush(stdout);
    return cli.fail(err);
  }
  printer.finish();
  return kExitOk;
}

int showPair(const Cli& cli, int id) {
  BlrDB::Pair pair;
  if (int rc = cliLoadPair(cli, id, &pair)) return rc;
  std::map<std::string, std::string> props;
  CZuError err = BlrDB().getPairProps(id, &props);
  if (err.IsError()) return cli.fail(err);
  if (!cli.json()) {
    printPairDetails(pair, props);
    return kExitOk;
  }
  Json out = pairToJson(pair);
  out["properties"] = cliTextMapJson(props);
  cli.printJson(out);
  return kExitOk;
}

void addQueryCommands(Cli& cli, CLI::App* pairs) {
  auto o = std::make_shared<ListOptions>();
  CLI::App* list = pairs->add_subcommand("list", "List pairs, all or those matching every filter");
  list->add_option("--sub-client", o->filter.subClientId, "Sub-client id");
  list->add_option("--head", o->filter.headClientId, "Head's client id");
  list->add_option("--tail", o->filter.tailClientId, "Tail's client id");
  list->add_option("--dst-client", o->filter.dstClientId, "Destination client id");
  list->add_option("--src-name", o->filter.srcName, "Source VM name");
  list->add_option("--dst-name", o->filter.dstName, "Destination VM name");
  list->add_option("--src-guid", o->srcGuid, "Source VM id")->check(kUuidText);
  list->add_option("--dst-guid", o->dstGuid, "Destination VM id")->check(kUuidText);
  list->add_option("--rp-store", o->filter.rpStoreId, "Recovery-point store id");
  list->add_option("--flags", o->flags, "Pairs with all these flags (FAILOVER, HIDDEN, REVERSE, bits)");
  list->add_option("--status", o->status, "Status code");
  list->add_option("--limit", o->limit, "At most this many pairs")->check(kPositiveId);
  list->add_option("--after-id", o->afterId, "Only pairs with a greater id (to page)")
      ->check(CLI::NonNegativeNumber);
  cli.on(list, [&cli, o] { return listPairs(cli, *o); });

  auto id = std::make_shared<int>(0);
  CLI::App* show = pairs->add_subcommand("show", "Show a pair with its disks and properties");
  addPairId(show, id.get());
  cli.on(show, [&cli, id] { return showPair(cli, *id); });
}

// ---- create, set-dest, delete ----

struct CreateOptions {
  std::string file;
  BlrDB::Pair pair;
  std::string srcGuid, dstGuid;
  std::vector<std::string> disks;
};

// "<disk id>:<path>" (a disk's identifier and path); the path may hold ':'.
CZuError parseDisk(const std::string& arg, BlrUUID* id, std::string* path) {
  size_t colon = arg.find(':');
  std::string text = arg.substr(0, colon);
  if (colon == std::string::npos || !BlrUUID::isValid(text) || colon + 1 == arg.size())
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Disk \"%s\" is not <disk id>:<path>", arg.c_str());
  *id = BlrUUID(text);
  *path = arg.substr(colon + 1);
  return CZuError();
}

int createPair(const Cli& cli, CreateOptions& o) {
  BlrDB::Pair pair = o.pair;
  CZuError err;
  if (!o.file.empty()) {
    Json value;
    err = readJsonFile(o.file, &value);
    if (!err.IsError()) err = pairFromJson(value, &pair);
    if (err.IsError()) return cli.fail(err, kExitUsage);
  }
  if (!o.srcGuid.empty()) pair.srcGuid = BlrUUID(o.srcGuid);
  if (!o.dstGuid.empty()) pair.dstGuid = BlrUUID(o.dstGuid);
  for (const std::string& arg : o.disks) {
    BlrDB::Disk disk;
    err = parseDisk(arg, &disk.srcGuid, &disk.srcPath);
    if (err.IsError()) return cli.fail(err, kExitUsage);
    pair.disks.push_back(disk);
  }
  err = BlrDB().createOrUpdatePair(pair);
  if (err.IsError()) return cli.fail(err);
  if (cli.json()) {
    cli.printJson(pairToJson(pair));
    return kExitOk;
  }
  std::string diskIds;
  for (const BlrDB::Disk& d : pair.disks) diskIds += (diskIds.empty() ? "" : ", ") + std::to_string(d.id);
  std::printf("Stored pair %d (%s) with disks %s\n", pair.id, cliTerminalText(pair.srcName).c_str(),
              diskIds.c_str());
  return kExitOk;
}

struct DestOptions {
  int id = 0;
  std::string dstName, dstGuid;
  std::vector<std::string> disks;  // "<disk>=<disk id>:<path>"
};

int setDest(const Cli& cli, const DestOptions& o) {
  BlrDB::Pair stored;
  if (int rc = cliLoadPair(cli, o.id, &stored)) return rc;
  BlrDB::Pair pair;
  pair.id = o.id;
  pair.dstName = o.dstName;
  if (!o.dstGuid.empty()) pair.dstGuid = BlrUUID(o.dstGuid);
  for (const std::string& arg : o.disks) {
    BlrDB::Disk disk;
    size_t eq = arg.find('=');
    disk.id = eq == std::string::npos ? 0 : std::atoi(arg.substr(0, eq).c_str());
    CZuError err = disk.id > 0 ? parseDisk(arg.substr(eq + 1), &disk.dstGuid, &disk.dstPath)
                               : FXErrorUtil::ErrorInt(FXLOC, 1, "\"%s\" is not <disk>=<disk id>:<path>",
                                                       arg.c_str());
    if (err.IsError()) return cli.fail(err, kExitUsage);
    // The service updates disks by id alone: one of another pair is refused here.
    if (std::none_of(stored.disks.begin(), stored.disks.end(),
                     [&](const BlrDB::Disk& d) { return d.id == disk.id; }))
      return cli.failText("Pair " + std::to_string(o.id) + " has no disk " + std::to_string(disk.id),
                          kExitNotFound);
    pair.disks.push_back(disk);
  }
  CZuError err = BlrDB().updateDestInfo(pair);
  if (err.IsError()) return cli.fail(err);
  return reportChange(cli, o.id, "Updated the destination of pair " + std::to_string(o.id));
}

struct DeleteOptions {
  std::vector<int> ids;
  int subClientId = 0;
};

int deletePairs(const Cli& cli, const DeleteOptions& o) {
  BlrDB db;
  CZuError err;
  std::string done;
  if (o.subClientId > 0) {
    err = db.delPairs(o.subClientId);
    done = "Deleted the pairs of sub-client " + std::to_string(o.subClientId);
  } else {
    std::list<BlrDB::Pair> filters, found;
    for (int id : o.ids) {
      filters.emplace_back();
      filters.back().id = id;
    }
    err = db.getPairs(filters, &found);
    if (err.IsError()) return cli.fail(err);
    std::set<int> missing(o.ids.begin(), o.ids.end());
    for (const BlrDB::Pair& p : found) missing.erase(p.id);
    if (!missing.empty())
      return cli.failText("No pair " + std::to_string(*missing.begin()) + ": nothing deleted",
                          kExitNotFound);
    err = db.delPairs(std::list<int>(o.ids.begin(), o.ids.end()));
    for (int id : o.ids) done += (done.empty() ? "Deleted pair " : ", ") + std::to_string(id);
  }
  if (err.IsError()) return cli.fail(err);
  if (cli.json())
    cli.printJson(Json{{"deleted", o.ids}});
  else
    std::printf("%s\n", done.c_str());
  return kExitOk;
}

void addStoreCommands(Cli& cli, CLI::App* pairs) {
  auto c = std::make_shared<CreateOptions>();
  CLI::App* create = pairs->add_subcommand(
      "create", "Create a pair, or update the stored one of the same sub-client and source VM");
  create->alias("update");
  CLI::Option* file =
      create->add_option("--file", c->file, "The pair as JSON (the form of --json output; - reads stdin)");
  std::vector<CLI::Option*> fields = {
      create->add_option("--sub-client", c->pair.subClientId, "Sub-client id"),
      create->add_option("--dst-client", c->pair.dstClientId, "Destination client id"),
      create->add_option("--head", c->pair.headClientId, "Head's client id"),
      create->add_option("--tail", c->pair.tailClientId, "Tail's client id"),
      create->add_option("--src-name", c->pair.srcName, "Source VM name"),
      create->add_option("--src-guid", c->srcGuid, "Source VM id")->check(kUuidText),
      create->add_option("--dst-name", c->pair.dstName, "Destination VM name"),
      create->add_option("--dst-guid", c->dstGuid, "Destination VM id")->check(kUuidText),
      create->add_option("--src-type", c->pair.srcType, "Source type (default 1)"),
      create->add_option("--dst-type", c->pair.dstType, "Destination type (default 1)"),
      create->add_option("--rp-store", c->pair.rpStoreId, "Recovery-point store id"),
      create->add_option("--disk", c->disks, "A source disk: <disk id>:<path> (repeatable)"),
  };
  for (CLI::Option* f : fields) f->excludes(file);
  cli.on(create, [&cli, c] { return createPair(cli, *c); });

  auto d = std::make_shared<DestOptions>();
  CLI::App* dest = pairs->add_subcommand("set-dest", "Update a pair's destination VM and disks");
  addPairId(dest, &d->id);
  dest->add_option("--dst-name", d->dstName, "Destination VM name");
  dest->add_option("--dst-guid", d->dstGuid, "Destination VM id")->check(kUuidText);
  dest->add_option("--disk", d->disks,
                   "A disk's destination: <disk>=<destination disk id>:<path> (repeatable)");
  cli.on(dest, [&cli, d] { return setDest(cli, *d); });

  auto del = std::make_shared<DeleteOptions>();
  CLI::App* remove = pairs->add_subcommand("delete", "Delete pairs with their disks and properties");
  CLI::Option* ids = remove->add_option("PAIR", del->ids, "Pair ids")->check(kPositiveId);
  remove->add_option("--sub-client", del->subClientId, "Every pair of a sub-client")
      ->check(kPositiveId)
      ->excludes(ids);
  remove->require_option(1);
  cli.on(remove, [&cli, del] { return deletePairs(cli, *del); });
}

// ---- state ----

struct StateOptions {
  int id = 0;
  int value = 0;
  std::string text;
};

void addStateCommands(Cli& cli, CLI::App* pairs) {
  auto status = std::make_shared<StateOptions>();
  auto event = std::make_shared<int>(0);
  CLI::App* cmd = pairs->add_subcommand("set-status", "Set a pair's status");
  addPairId(cmd, &status->id);
  cmd->add_option("CODE", status->value, "Status code")->required();
  cmd->add_option("--message", status->text, "Status message");
  cmd->add_option("--event", *event, "Event id (default 0)");
  cli.on(cmd, [&cli, status, event] {
    return changePair(cli, status->id,
                      [&](BlrDB& db) {
                        return db.setPairStatus(status->id, status->value, status->text, *event);
                      },
                      "Pair " + std::to_string(status->id) + " is now " +
                          pairStatusText(status->value));
  });

  auto pending = std::make_shared<StateOptions>();
  cmd = pairs->add_subcommand("set-pending-status", "Set a pair's pending status");
  addPairId(cmd, &pending->id);
  cmd->add_option("CODE", pending->value, "Status code")->required();
  cli.on(cmd, [&cli, pending] {
    return changePair(cli, pending->id,
                      [&](BlrDB& db) { return db.setPairPendingStatus(pending->id, pending->value); },
                      "Pending status of pair " + std::to_string(pending->id) + " set");
  });

  for (bool set : {true, false}) {
    auto flags = std::make_shared<StateOptions>();
    cmd = pairs->add_subcommand(set ? "set-flags" : "clear-flags",
                                set ? "Set flag bits of a pair" : "Clear flag bits of a pair");
    addPairId(cmd, &flags->id);
    cmd->add_option("FLAGS", flags->text, "FAILOVER, HIDDEN, REVERSE or bits, comma-separated")
        ->required();
    cli.on(cmd, [&cli, flags, set] {
      int bits = 0;
      CZuError err = parsePairFlags(flags->text, &bits);
      if (err.IsError()) return cli.fail(err, kExitUsage);
      return changePair(cli, flags->id,
                        [&](BlrDB& db) {
                          return set ? db.setPairFlags(flags->id, bits)
                                     : db.clrPairFlags(flags->id, bits);
                        },
                        std::string(set ? "Set " : "Cleared ") + joinNames(pairFlagNames(bits)) +
                            " on pair " + std::to_string(flags->id));
    });
  }

  auto ev = std::make_shared<StateOptions>();
  cmd = pairs->add_subcommand("set-event", "Set a pair's last event id");
  addPairId(cmd, &ev->id);
  cmd->add_option("EVENT", ev->value, "Event id")->required();
  cli.on(cmd, [&cli, ev] {
    return changePair(cli, ev->id, [&](BlrDB& db) { return db.setPairEvent(ev->id, ev->value); },
                      "Event of pair " + std::to_string(ev->id) + " set");
  });

  auto lag = std::make_shared<StateOptions>();
  cmd = pairs->add_subcommand("set-lag", "Set a pair's lag time");
  addPairId(cmd, &lag->id);
  cmd->add_option("SECONDS", lag->value, "Lag time in seconds")->required()->check(CLI::NonNegativeNumber);
  cli.on(cmd, [&cli, lag] {
    return changePair(cli, lag->id, [&](BlrDB& db) { return db.setPairLagTime(lag->id, lag->value); },
                      "Lag time of pair " + std::to_string(lag->id) + " set");
  });
}

// ---- properties, statistics ----

struct PropOptions {
  int id = 0;
  std::string name, value;  // get, set
  std::vector<std::string> names;  // delete
  bool all = false;
};

int listProps(const Cli& cli, const PropOptions& o) {
  BlrDB::Pair pair;
  if (int rc = cliLoadPair(cli, o.id, &pair)) return rc;
  std::map<std::string, std::string> props;
  CZuError err = BlrDB().getPairProps(o.id, &props);
  if (err.IsError()) return cli.fail(err);
  if (!o.name.empty()) {  // get NAME
    auto it = props.find(o.name);
    if (it == props.end())
      return cli.failText("Pair " + std::to_string(o.id) + " has no property \"" + o.name + "\"",
                          kExitNotFound);
    if (cli.json())
      cli.printJson(Json{{"name", cliTextJson(it->first)}, {"value", cliTextJson(it->second)}});
    else
      std::printf("%s\n", cliTerminalText(it->second).c_str());
    return kExitOk;
  }
  if (cli.json()) {
    cli.printJson(cliTextMapJson(props));
    return kExitOk;
  }
  CliTable table({"PROPERTY", "VALUE"});
  for (const auto& kv : props) table.add({kv.first, kv.second});
  std::fputs(props.empty() ? "No properties.\n" : table.render().c_str(), stdout);
  return kExitOk;
}

void addPropCommands(Cli& cli, CLI::App* pairs) {
  CLI::App* props = Cli::group(pairs, "props", "A pair's properties");

  auto list = std::make_shared<PropOptions>();
  CLI::App* cmd = props->add_subcommand("list", "List a pair's properties");
  addPairId(cmd, &list->id);
  cli.on(cmd, [&cli, list] { return listProps(cli, *list); });

  auto get = std::make_shared<PropOptions>();
  cmd = props->add_subcommand("get", "Print one property's value");
  addPairId(cmd, &get->id);
  cmd->add_option("NAME", get->name, "Property name")->required();
  cli.on(cmd, [&cli, get] { return listProps(cli, *get); });

  auto set = std::make_shared<PropOptions>();
  cmd = props->add_subcommand("set", "Set one property");
  addPairId(cmd, &set->id);
  cmd->add_option("NAME", set->name, "Property name")->required();
  cmd->add_option("VALUE", set->value, "Value")->required();
  cli.on(cmd, [&cli, set] {
    return changePair(cli, set->id,
                      [&](BlrDB& db) { return db.setPairProp(set->id, set->name, set->value); },
                      "Set " + set->name + " of pair " + std::to_string(set->id));
  });

  auto del = std::make_shared<PropOptions>();
  cmd = props->add_subcommand("delete", "Delete properties of a pair");
  addPairId(cmd, &del->id);
  CLI::Option* names = cmd->add_option("NAME", del->names, "Property names");
  cmd->add_flag("--all", del->all, "Every property of the pair")->excludes(names);
  cmd->require_option(1, 2);
  cli.on(cmd, [&cli, del] {
    return changePair(cli, del->id,
                      [&](BlrDB& db) {
                        if (del->all) return db.delPairProps(del->id);
                        for (const std::string& n : del->names) {
                          CZuError err = db.delPairProp(del->id, n);
                          if (err.IsError()) return err;
                        }
                        return CZuError();
                      },
                      "Deleted properties of pair " + std::to_string(del->id));
  });
}

void addStatsCommands(Cli& cli, CLI::App* pairs) {
  CLI::App* stats = Cli::group(pairs, "stats", "A pair's statistics points");
  auto s = std::make_shared<BlrDB::PairStats>();
  CLI::App* add = stats->add_subcommand("add", "Add one statistics point");
  addPairId(add, &s->pairId);
  add->add_option("--rep-data", s->repDataDeltaActual, "Bytes replicated since the last point");
  add->add_option("--rep-data-comp", s->repDataDeltaComp, "The same, compressed");
  add->add_option("--io", s->ioDelta, "Bytes written by the VM since the last point");
  add->add_option("--iops", s->iopsDelta, "Writes since the last point");
  add->add_option("--rep-set-size", s->repSetSize, "Size of the replicated set");
  add->add_option("--rpstore-size", s->sizeInRpStore, "Bytes in the recovery-point store");
  add->add_option("--retention", s->retention, "Retention in seconds");
  add->add_option("--time", s->timeStamp, "Seconds since the epoch (default: the server's time)");
  cli.on(add, [&cli, s] {
    return changePair(cli, s->pairId, [&](BlrDB& db) { return db.addPairStats(*s); },
                      "Added a statistics point to pair " + std::to_string(s->pairId));
  });
}

}  // namespace

int cliLoadPair(const Cli& cli, int id, BlrDB::Pair* pair) {
  CZuError err = BlrDB().getPair(id, pair);
  if (err.IsError()) return cli.fail(err);
  if (pair->id == 0) return cli.failText("No pair " + std::to_string(id), kExitNotFound);
  return kExitOk;
}

void addPairCommands(Cli& cli) {
  CLI::App* pairs = Cli::group(&cli.app(), "pairs", "Replication pairs in the pair database");
  addQueryCommands(cli, pairs);
  addStoreCommands(cli, pairs);
  addPairImportCommand(cli, pairs);
  addStateCommands(cli, pairs);
  addPropCommands(cli, pairs);
  addStatsCommands(cli, pairs);
  addPairDrillCommands(cli, pairs);
}
