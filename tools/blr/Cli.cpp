#include "Cli.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "BLR/BlrUUID.h"
#include "ToolVersion.h"
#include "host/config/DWPlatformInfo.h"
#include "host/link/DwLinkPool.h"

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

// Length of the strict UTF-8 sequence at `i` (shortest form, no surrogates,
// at most U+10FFFF), or 0 when the bytes there are not one.
size_t utf8Length(const std::string& s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return 1;
  size_t len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (len == 0 || i + len > s.size()) return 0;
  uint32_t cp = c & (0x7F >> len);
  for (size_t k = 1; k < len; ++k) {
    const unsigned char cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

void appendHexByte(unsigned char c, std::string* out) {
  static const char kDigits[] = "0123456789abcdef";
  *out += "\\x";
  *out += kDigits[c >> 4];
  *out += kDigits[c & 15];
}

}  // namespace

bool cliIsUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    size_t len = utf8Length(text, i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string cliTerminalText(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    size_t len = utf8Length(text, i);
    const unsigned char c = static_cast<unsigned char>(text[i]);
    // C0 controls, DEL, C1 controls (U+0080..U+009F) and stray bytes.
    bool control = len == 0 || (len == 1 && (c < 0x20 || c == 0x7F)) ||
                   (len == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0);
    if (!control) {
      out.append(text, i, len);
      i += len;
      continue;
    }
    for (size_t k = 0; k < std::max<size_t>(len, 1); ++k)
      appendHexByte(static_cast<unsigned char>(text[i + k]), &out);
    i += std::max<size_t>(len, 1);
  }
  return out;
}

std::string cliOneLine(const std::string& summary) {
  std::string line;
  for (char c : summary) {
    if (c == '\n')
      line += ": ";
    else
      line += c;
  }
  return cliTerminalText(line);
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
  app_.set_version_flag("--version", toolVersionText("blr"));
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

CLI::App* Cli::addIdCommand(CLI::App* parent, const std::string& name, const std::string& help,
                            const std::string& idHelp, std::function<int(const Cli&, int)> run) {
  auto id = std::make_shared<int>(0);
  CLI::App* cmd = parent->add_subcommand(name, help);
  cmd->add_option("ID", *id, idHelp)->required()->check(kPositiveId);
  on(cmd, [this, run = std::move(run), id] { return run(*this, *id); });
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
  if (!verbose_) return exitCode;
  std::fprintf(stderr, "error code %d:\n", err.Code());
  std::string stack = err.AsString();
  for (size_t start = 0; start <= stack.size();) {
    size_t end = std::min(stack.find('\n', start), stack.size());
    std::fprintf(stderr, "%s\n", cliTerminalText(stack.substr(start, end - start)).c_str());
    start = end + 1;
  }
  return exitCode;
}

int Cli::failText(const std::string& text, int exitCode) const {
  std::fflush(stdout);
  std::fprintf(stderr, "blr: %s\n", cliTerminalText(text).c_str());
  return exitCode;
}

std::string cliJsonText(const Json& value) {
  return value.dump(2, ' ', false, Json::error_handler_t::replace);
}

std::string cliJsonCompact(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void Cli::printJson(const Json& value) const {
  std::fputs((cliJsonText(value) + "\n").c_str(), stdout);
  std::fflush(stdout);
}

void CliJsonArray::add(const Json& element) {
  std::string text = count_ == 0 ? "[\n  " : ",\n  ";
  for (char c : cliJsonText(element)) text += c == '\n' ? std::string("\n  ") : std::string(1, c);
  std::fputs(text.c_str(), stdout);
  if (++count_ == 1) std::fflush(stdout);  // the first element shows at once
}

void CliJsonArray::finish() {
  std::fputs(count_ == 0 ? "[]\n" : "\n]\n", stdout);
  std::fflush(stdout);
}
