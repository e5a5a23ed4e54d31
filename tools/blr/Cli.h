// The frame of the blr command line: global options, how a command is
// registered and run, how results and errors are printed, and exit statuses.
#ifndef TOOLS_BLR_CLI_H
#define TOOLS_BLR_CLI_H

#include <functional>
#include <string>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "BLR/BlrDB.h"
#include "host/base/CZuError.h"

using Json = nlohmann::ordered_json;

// Exit statuses other than the workflow step codes (200-217).
enum CliExit {
  kExitOk = 0,
  kExitFailure = 1,   // the operation failed
  kExitUsage = 2,     // bad command line or input file
  kExitNotFound = 3,  // the pair, boot VM, client or property does not exist
};

// Where blr looks for its registry when --registry is not given.
constexpr char kDefaultRegistry[] = "/etc/blr/blr.reg";

class Cli {
 public:
  using Action = std::function<int()>;

  Cli();
  // Parses the command line and runs the chosen command; the exit status.
  int main(int argc, char** argv);

  // Makes `cmd` run `action` once the command line is parsed.  The registry
  // is loaded first unless `needsRegistry` is false.
  void on(CLI::App* cmd, Action action, bool needsRegistry = true);
  // A command that only groups others ("pairs", "pairs props").
  static CLI::App* group(CLI::App* parent, const std::string& name, const std::string& help);
  // A command of `parent` whose one argument is a record's id ("ID": required,
  // positive; `idHelp` says whose), running `run` with it.
  CLI::App* addIdCommand(CLI::App* parent, const std::string& name, const std::string& help,
                         const std::string& idHelp, std::function<int(const Cli&, int)> run);
  CLI::App& app() { return app_; }

  bool json() const { return json_; }
  bool verbose() const { return verbose_; }

  // Prints the error on standard error: its messages on one line, or its
  // whole stack with --verbose.  Returns `exitCode`.
  int fail(const CZuError& err, int exitCode = kExitFailure) const;
  // Prints a one-line message of a failure that has no error value.
  int failText(const std::string& text, int exitCode) const;
  // Prints a whole answer as JSON, in the text of cliJsonText.
  void printJson(const Json& value) const;

 private:
  CZuError loadRegistry();

  CLI::App app_;
  std::string registry_;
  bool json_ = false;
  bool verbose_ = false;
  Action action_;
  bool needsRegistry_ = true;
};

// Validators shared by the command families.
extern const CLI::Validator kUuidText;
extern const CLI::Validator kPositiveId;  // 1 .. 2^31-1

// Reads pair `id`: 0, or the exit status of a failure already reported
// (kExitNotFound when there is no such pair).
int cliLoadPair(const Cli& cli, int id, BlrDB::Pair* pair);

// An error's summary on one line, safe for a terminal.
std::string cliOneLine(const std::string& summary);
// Whether `text` is strict UTF-8.
bool cliIsUtf8(const std::string& text);
// `text` for a terminal: control characters (C0, DEL, C1) and bytes that are
// not UTF-8 are shown as \xNN, so stored texts can't drive the terminal.
std::string cliTerminalText(const std::string& text);

// JSON as blr prints it: indented by two, and bytes that are not UTF-8
// (which the texts of records never hold, see cliTextJson) replaced rather
// than failing.
std::string cliJsonText(const Json& value);
// The same on one line, for texts stored in records.  Bytes that are not
// UTF-8 (a peer's message, say) become U+FFFD instead of failing.
std::string cliJsonCompact(const Json& value);

// A JSON array printed element by element as they arrive, in the same text
// as printJson of the whole array, so that a list of any length is never
// held.
class CliJsonArray {
 public:
  void add(const Json& element);
  // Closes the array ("[]" when nothing was added).
  void finish();

 private:
  size_t count_ = 0;
};

// Registration of each command family (one source file each).
void addPairCommands(Cli& cli);
void addPairImportCommand(Cli& cli, CLI::App* pairs);
void addBootVmCommands(Cli& cli);
void addProxyCommands(Cli& cli);
void addWorkflowCommands(Cli& cli);
void addClientCommands(Cli& cli);
void addCertCommands(Cli& cli);
void addDoctorCommands(Cli& cli);
void addPlanCommands(Cli& cli);
// "plans runs" and "plans report", under the "plans" group.
void addPlanReportCommands(Cli& cli, CLI::App* plans);
// The workflows run on a plan's pairs, under the "plans" group.
void addPlanRunCommands(Cli& cli, CLI::App* plans);
// Drills: "plans test", "plans test-cleanup", "pairs test", "pairs test-cleanup".
void addPlanDrillCommands(Cli& cli, CLI::App* plans);
void addPairDrillCommands(Cli& cli, CLI::App* pairs);
void addRunCommands(Cli& cli);

#endif  // TOOLS_BLR_CLI_H
