#include "Cli.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "BLR/BlrUUID.h"
#include "host/DWPlatformInfo.h"
#include "host/DwLinkPool.h"

const CLI::Validator kUuidText(
    [](std::string& text) {
      return BlrUUID::isValid(text) ? std::string()
                                    : "not an identifier (32 hex digits or the dashed form): " + text;
    },
    "UUID");

const CLI::Validator kPositiveId(
    [](std::string& text) {
      char* end = nullptr;
      errno = 0;
      long long n = std::strtoll(text.c_str(), &end, 10);
      bool ok = !text.empty() && *end == '\0' && errno == 0 && n > 0 && n <= INT32_MAX;
      return ok ? std::string() : "not a positive number: " + text;
    },
    "ID");

namespace {

const char kFooter[] =
    "Exit status: 0 success, 1 failure, 2 bad command line or input, 3 not found;\n"
    "a recovery workflow that fails exits with its step code (200-217).\n";

// Length of a frame location "<file>:<line> (<signature>): " at `at`, or 0.
size_t locationLength(const std::string& text, size_t at) {
  size_t i = at;
  while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_')) ++i;
  if (i == at || i >= text.size() || text[i] != ':') return 0;
  size_t digits = ++i;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  if (i == digits || text.compare(i, 2, " (") != 0) return 0;
  int depth = 0;
  for (i += 1; i < text.size(); ++i) {
    if (text[i] == '(') ++depth;
    if (text[i] == ')' && --depth == 0) break;
  }
  if (i >= text.size() || text.compare(i + 1, 2, ": ") != 0) return 0;
  return i + 3 - at;
}

}  // namespace

std::string cliOneLine(const std::string& summary) {
  std::string out;
  for (size_t i = 0; i < summary.size();) {
    bool wordStart = i == 0 || summary[i - 1] == ' ' || summary[i - 1] == '\n';
    size_t skip = wordStart ? locationLength(summary, i) : 0;
    if (skip > 0) {
      i += skip;
    } else if (summary[i] == '\n') {
      out += ": ";
      ++i;
    } else {
      out += summary[i++];
    }
  }
  return out;
}

Cli::Cli()
    : app_("Manage replication pairs, proxies and recovery workflows", "blr"),
      registry_(kDefaultRegistry) {
  app_.require_subcommand(1);
  app_.add_option("-r,--registry", registry_,
                  "Registry file: identity, certificates, central server")
      ->capture_default_str();
  app_.add_flag("--json", json_, "Print results as JSON");
  app_.add_flag("-v,--verbose", verbose_,
                "On failure print the whole message stack; show the library's log");
  app_.footer(kFooter);
}

void Cli::on(CLI::App* cmd, Action action, bool needsRegistry) {
  cmd->fallthrough();
  cmd->callback([this, action, needsRegistry] {
    action_ = action;
    needsRegistry_ = needsRegistry;
  });
}

CLI::App* Cli::group(CLI::App* parent, const std::string& name, const std::string& help) {
  CLI::App* cmd = parent->add_subcommand(name, help);
  cmd->require_subcommand(1);
  cmd->fallthrough();
  return cmd;
}

int Cli::main(int argc, char** argv) {
  try {
    app_.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int rc = app_.exit(e);
    return rc == 0 ? kExitOk : kExitUsage;
  }
  if (!action_) return kExitUsage;
  if (needsRegistry_) {
    CZuError err = loadRegistry();
    if (err.IsError()) return fail(err);
  }
  int rc = action_();
  DwLinkPool::instance().clear();
  return rc;
}

CZuError Cli::loadRegistry() {
  CZuError err = DWPlatformInfo::loadRegistryFile(registry_);
  if (err.IsError())
    return err.Push(FXLOC, "Couldn't load the registry file %s (see --registry)", registry_.c_str());
  // The library logs to standard error unless told otherwise; that is only
  // wanted with --verbose.
  std::string logFile;
  if (!verbose_ && !DWPlatformInfo().getString("EventManager", "sLogFile", &logFile))
    DWPlatformInfo::setValue("EventManager", "sLogFile", "/dev/null");
  return CZuError();
}

int Cli::fail(const CZuError& err, int exitCode) const {
  std::fflush(stdout);  // what was said before the error comes first
  std::fprintf(stderr, "blr: %s\n", cliOneLine(err.Summary()).c_str());
  if (verbose_) std::fprintf(stderr, "error code %d:\n%s\n", err.Code(), err.AsString().c_str());
  return exitCode;
}

int Cli::failText(const std::string& text, int exitCode) const {
  std::fflush(stdout);
  std::fprintf(stderr, "blr: %s\n", text.c_str());
  return exitCode;
}

void Cli::printJson(const Json& value) const { std::cout << value.dump(2) << std::endl; }
