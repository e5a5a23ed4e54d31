// A trial installation in a temporary directory for the command-line tests:
// certificates and registries made by `blr certs init`, the real blr-anchor
// on SQLite and simulated proxies started as programs, and blr run as a
// program by a shell, as an operator or a script would.
#ifndef TESTS_CLI_CLIENV_H
#define TESTS_CLI_CLIENV_H

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/ClientDirectory.h"

class CliEnv {
 public:
  using Json = nlohmann::ordered_json;
  struct Result {
    int code;
    std::string out, err;
  };

  CliEnv() {
    char tmpl[] = "/tmp/blr-cli-test-XXXXXX";
    dir = mkdtemp(tmpl);
  }
  ~CliEnv() {
    for (const Server& s : servers_)
      if (s.pid > 0) kill(s.pid, SIGTERM);
    for (const Server& s : servers_) stop(s);
    std::filesystem::remove_all(dir);
  }

  // Runs a shell command in the directory, the tools first on PATH.
  Result run(const std::string& command) const {
    std::string line = "cd '" + dir + "' && PATH='" + BLR_TOOLS_DIR + "':\"$PATH\" && (" + command +
                       ") >'" + dir + "/.out' 2>'" + dir + "/.err' </dev/null";
    int status = std::system(line.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read(".out"), read(".err")};
  }
  Result blr(const std::string& args) const { return run("blr -r cli.reg " + args); }
  // The same, expected to exit with `code`.
  Result run(const std::string& command, int code) const { return expect(run(command), command, code); }
  Result blr(const std::string& args, int code) const { return expect(blr(args), args, code); }
  // The JSON that `blr --json ARGS` prints, exiting with `code`.
  Json json(const std::string& args, int code = 0) const {
    Result r = blr("--json " + args);
    EXPECT_EQ(r.code, code) << args << ": " << r.err;
    return Json::parse(r.out.empty() ? "null" : r.out);
  }

  // `remove` succeeds once, then finds nothing (3); `show` then exits with `showCode`.
  void removeOnce(const std::string& remove, const std::string& show, int showCode = 3) const {
    EXPECT_EQ(blr(remove).code, 0) << remove;
    EXPECT_EQ(blr(remove).code, 3) << remove;
    EXPECT_EQ(blr(show).code, showCode) << show;
  }

  // Runs `blr -r cli.reg ARGS` and sends it `signal` `afterMs` after its
  // output first holds `text` (at once when empty); code -9 when killed.
  Result blrKilled(const std::string& args, int afterMs, const std::string& text = "",
                   int signal = SIGKILL) const {
    // The last run's output must not pass for this one's before the shell
    // truncates it.
    std::filesystem::remove(dir + "/.kout");
    pid_t pid = spawn("exec blr -r cli.reg " + args + " >.kout 2>.kerr </dev/null");
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 3000 && !text.empty() && !ended; ++i) {  // 30 s
      if (read(".kout").find(text) != std::string::npos) break;
      ended = waitpid(pid, &status, WNOHANG) == pid;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ended) {
      std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
      kill(pid, signal);
      waitpid(pid, &status, 0);
    }
    int code = WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
    return {code, read(".kout"), read(".kerr")};
  }

  // Starts a server program (shell words, run in the directory) and waits
  // for the first line it prints; empty when it ended first.
  std::string start(const std::string& command) {
    std::string out = dir + "/.server" + std::to_string(servers_.size());
    pid_t pid = spawn("exec " + command + " >'" + out + "' 2>&1");
    servers_.push_back({pid, command});
    for (int i = 0; i < 600; ++i) {  // 30 s, for the sanitizer build
      std::string text = read(out.substr(dir.size() + 1));
      if (text.find('\n') != std::string::npos) return text.substr(0, text.find('\n'));
      if (waitpid(pid, nullptr, WNOHANG) == pid) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "";
  }

  // The process of the `index`th server started (for signals).
  pid_t serverPid(size_t index) const { return servers_.at(index).pid; }
  // Whether `pid` is a server started here that still runs.
  bool serves(pid_t pid) const {
    return pid > 0 && std::any_of(servers_.begin(), servers_.end(), [&](const Server& s) { return s.pid == pid; });
  }
  // Kills server `pid` as a crash would; `restart` starts its command again
  // (its first line of output, "" when none came).
  std::string kill9(pid_t pid, bool restart) {
    for (Server& s : servers_) {
      if (s.pid != pid) continue;
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      s.pid = 0;  // reaped: never signalled again
      const std::string command = s.command;
      return restart ? start(command) : "";
    }
    ADD_FAILURE() << "no server of process " << pid;
    return "";
  }

  // The trial of `blr certs init --registries` on free ports: the central
  // server, a Head (client 2) and a Tail (client 3) with the short delays of
  // `proxyArgs`; blr is client "cli".  `anchorRegistry` is added to the
  // central server's registry.  With `centralServers` above 1, more central
  // servers serve the same database and the registries of blr and the
  // proxies name them all by [Link] sServers alone.
  void startAll(const std::string& proxyArgs = "--set sync-delay-ms=300 --set flush-delay-ms=0",
                const std::string& anchorRegistry = "", int centralServers = 1) {
    ASSERT_EQ(run("blr certs init . --proxy head1 --proxy tail1 --operator cli --registries").code, 0);
    // The proxies' client entries go with a database the central server is
    // given instead.
    const std::string clients = run("blr-anchor client list --registry anchor.reg").out;
    append("anchor.reg", anchorRegistry);
    if (anchorRegistry.find("[Database]") != std::string::npos) {
      for (const std::string& args : clientAddArguments(clients, "anchor.reg"))
        ASSERT_EQ(run("blr-anchor " + args).code, 0) << args;
    }
    std::string servers = listening(start("blr-anchor serve --registry anchor.reg"));
    ASSERT_NE(servers, "");
    for (int i = 2; i <= centralServers; ++i) {
      std::string name = "anchor" + std::to_string(i);
      write(name + ".reg", read("anchor.reg") + "[Link]\nnListenPort = 0\n[EventManager]\nsLogFile = " + dir +
                               "/" + name + ".log\n");
      std::string address = listening(start("blr-anchor serve --registry " + name + ".reg"));
      ASSERT_NE(address, "");
      servers += ", " + address;
    }
    if (centralServers > 1)
      for (const char* name : {"cli.reg", "head1.reg", "tail1.reg"}) listServers(name, servers);
    for (const char* name : {"head1", "tail1"})
      ASSERT_NE(start(std::string("blr-proxy --registry ") + name + ".reg --state-file " + name +
                      ".state " + proxyArgs),
                "");
  }

  // Polls `done` for up to 20 s (the simulators act a little later); its last answer.
  static bool eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 200; ++i) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return done();
  }
  // Whether every pair of `ids` comes to be in one of `statuses` within 20 s.
  bool awaitStatus(const std::vector<int>& ids, const std::vector<int>& statuses) const {
    return eventually([&] {
      std::map<int, int> status;
      for (const Json& p : json("pairs list")) status[p["id"]] = p["statusCode"];
      return std::all_of(ids.begin(), ids.end(), [&](int id) {
        return std::count(statuses.begin(), statuses.end(), status[id]) > 0;
      });
    });
  }

  // A VM's power in a simulator's state file ("head1" or "tail1"), by its
  // key (docs/proxy.md); `otherwise` when the simulator has not seen it.
  bool vmOn(const std::string& proxy, const std::string& key, bool otherwise) const {
    std::string text = read(proxy + ".state");
    if (text.find("vm " + key + " on\n") != std::string::npos) return true;
    if (text.find("vm " + key + " off\n") != std::string::npos) return false;
    return otherwise;
  }

  // Issues `file`.crt and `file`.key from the trial's authority, valid from
  // `fromSecs` to `untilSecs` around now, whose common name is `cn` taken as
  // raw bytes (none when null): certificates the authority's own tools
  // refuse to make.
  void craftCert(const std::string& file, const char* cn, size_t cnLen, long fromSecs = -3600,
                 long untilSecs = 86400) const {
    auto readPem = [&](const char* name, auto read) {
      std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen((dir + name).c_str(), "r"), std::fclose);
      return read(f.get(), nullptr, nullptr, nullptr);
    };
    std::unique_ptr<X509, void (*)(X509*)> ca(readPem("/ca.crt", PEM_read_X509), X509_free),
        cert(X509_new(), X509_free);
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> caKey(readPem("/ca.key", PEM_read_PrivateKey),
                                                         EVP_PKEY_free),
        key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 777 + static_cast<long>(cnLen));
    auto text = [](const char* t) { return reinterpret_cast<const unsigned char*>(t); };
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, text("BLR"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "OU", MBSTRING_ASC, text("kind=3"), -1, -1, 0);
    if (cn != nullptr)
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, text(cn), static_cast<int>(cnLen), -1, 0);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(ca.get()));
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), fromSecs);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), untilSecs);
    X509_set_pubkey(cert.get(), key.get());
    ASSERT_GT(X509_sign(cert.get(), caKey.get(), EVP_sha256()), 0);
    std::unique_ptr<FILE, int (*)(FILE*)> crt(std::fopen((dir + "/" + file + ".crt").c_str(), "w"),
                                              std::fclose),
        pem(std::fopen((dir + "/" + file + ".key").c_str(), "w"), std::fclose);
    PEM_write_X509(crt.get(), cert.get());
    PEM_write_PrivateKey(pem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  }

  void write(const std::string& name, const std::string& text) const {
    std::ofstream(dir + "/" + name) << text;
  }
  void append(const std::string& name, const std::string& text) const {
    std::ofstream(dir + "/" + name, std::ios::app) << text;
  }
  std::string read(const std::string& name) const {
    std::ifstream in(dir + "/" + name);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string dir;

 private:
  static Result expect(Result r, const std::string& what, int code) {
    EXPECT_EQ(r.code, code) << what << "\n" << r.out << r.err;
    return r;
  }

  // A shell running `script` in the directory, the tools first on PATH.
  pid_t spawn(const std::string& script) const {
    pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir.c_str()) != 0) _exit(127);
      std::string path = std::string(BLR_TOOLS_DIR) + ":" + getenv("PATH");
      setenv("PATH", path.c_str(), 1);
      execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid;
  }

  // "ADDRESS:PORT" from blr-anchor's first line, "listening on ADDRESS:PORT (...)".
  static std::string listening(const std::string& banner) {
    const std::string marker = "listening on ";
    size_t from = banner.find(marker), to = banner.find(" (");
    if (from == std::string::npos || to == std::string::npos) return "";
    return banner.substr(from + marker.size(), to - from - marker.size());
  }

  // Registry `name` with [Link] sServers = `servers` for sServerHost and nServerPort.
  void listServers(const std::string& name, const std::string& servers) const {
    std::istringstream in(read(name));
    std::string text;
    for (std::string line; std::getline(in, line);)
      if (line.rfind("sServerHost", 0) != 0 && line.rfind("nServerPort", 0) != 0) text += line + "\n";
    write(name, text + "[Link]\nsServers = " + servers + "\n");
  }

  struct Server {
    pid_t pid;
    std::string command;
  };

  // Waits for a server told to stop; one that does not within 30 s is a
  // fault of its own, and is killed so that the test ends.
  static void stop(const Server& s) {
    if (s.pid <= 0) return;
    for (int i = 0; i < 600; ++i) {
      if (waitpid(s.pid, nullptr, WNOHANG) != 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << s.command << " did not stop within 30 s of SIGTERM";
    kill(s.pid, SIGKILL);
    waitpid(s.pid, nullptr, 0);
  }

  std::vector<Server> servers_;
};

#endif  // TESTS_CLI_CLIENV_H
