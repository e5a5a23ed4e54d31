// A real blr-anchor for benchmarks, in its own directory, with this process
// set up as its client; and what such a benchmark reads of a server process.
// Needs BLR_TOOLS_DIR (the directory of blr-anchor) and tests/ on the include
// path.
#ifndef BENCH_BENCHANCHOR_H
#define BENCH_BENCHANCHOR_H

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchCerts.h"
#include "host/config/DWPlatformInfo.h"
#include "host/link/DwLinkPool.h"
#include "host/sql/DWSimpleDBConnObject.h"
#include "support/ChildProcess.h"

// blr-anchor on SQLite in its own directory (on PostgreSQL when given a
// connection string), and this process as its client "client", an operator.
// `extra` is registry text placed before the database section.
struct BenchAnchor {
  BenchCerts& certs;
  std::string dir, registry, pgConnInfo;
  std::unique_ptr<ChildProcess> process;
  int port = 0;
  int metricsPort = 0;  // when `extra` gives a [Metrics] section

  BenchAnchor(BenchCerts& c, const std::string& extra = "", const std::string& pg = "",
              const std::string& operators = "client")
      : certs(c), pgConnInfo(pg), metrics_(extra.find("[Metrics]") != std::string::npos) {
    char tmpl[] = "/tmp/blr-fleet-bench-XXXXXX";
    dir = mkdtemp(tmpl);
    TlsConfig anchor = certs.tls("anchor");
    registry = dir + "/anchor.reg";
    std::ofstream(registry) << "[Security]\nsCAFile = " << anchor.caFile << "\nsCertFile = "
                            << anchor.certFile << "\nsKeyFile = " << anchor.keyFile
                            << "\nsOperatorNames = " << operators
                            << "\n[Link]\nsListenAddress = 127.0.0.1\nnListenPort = 0\n"
                            << extra << "[Database]\n" << databaseSettings()
                            << "[EventManager]\nsLogFile = " << dir << "/anchor.log\n";
    std::string add = std::string(BLR_TOOLS_DIR) +
                      "/blr-anchor client add --id 20 --name tail1 --host 10.0.0.7 "
                      "--dwd-port 8406 --evmgrc-port 8407 --registry " + registry + " >/dev/null";
    if (std::system(add.c_str()) != 0) std::abort();
    useAsClient();
  }
  ~BenchAnchor() {
    process.reset();
    DwLinkPool::instance().clear();
    std::filesystem::remove_all(dir);
  }

  void start() {
    process = std::make_unique<ChildProcess>(std::vector<std::string>{
        std::string(BLR_TOOLS_DIR) + "/blr-anchor", "serve", "--registry", registry});
    port = numberAfter(process->readLine(), "listening on 127.0.0.1:");
    if (port == 0) std::abort();
    if (metrics_ && (metricsPort = numberAfter(process->readLine(), "metrics on http://127.0.0.1:")) == 0)
      std::abort();
    DWPlatformInfo::setNumber("Link", "nServerPort", port);
    writeClientRegistry();
  }

  // This process reads the same database directly, and asks the server.
  void useAsClient() {
    DWPlatformInfo::reset();
    TlsConfig client = certs.tls("client");
    DWPlatformInfo::setValue("Security", "sCAFile", client.caFile);
    DWPlatformInfo::setValue("Security", "sCertFile", client.certFile);
    DWPlatformInfo::setValue("Security", "sKeyFile", client.keyFile);
    DWPlatformInfo::setValue("Link", "sServerHost", "127.0.0.1");
    DWPlatformInfo::setNumber("Link", "nTimeoutSecs", 120);
    if (pgConnInfo.empty()) {
      DWPlatformInfo::setValue("Database", "sSqliteDir", dir + "/db");
    } else {
      DWPlatformInfo::setValue("Database", "sBackend", "postgresql");
      DWPlatformInfo::setValue("Database", "sPostgresConnInfo", pgConnInfo);
    }
  }

  void writeClientRegistry() {
    TlsConfig client = certs.tls("client");
    std::ofstream(dir + "/blr.reg") << "[Security]\nsCAFile = " << client.caFile
                                    << "\nsCertFile = " << client.certFile
                                    << "\nsKeyFile = " << client.keyFile
                                    << "\n[Link]\nsServerHost = 127.0.0.1\nnServerPort = " << port
                                    << "\nnTimeoutSecs = 120\n";
  }

 private:
  bool metrics_;

  std::string databaseSettings() const {
    if (pgConnInfo.empty()) return "sSqliteDir = " + dir + "/db\n";
    return "sBackend = postgresql\nsPostgresConnInfo = " + pgConnInfo + "\n";
  }
};

// A fresh schema on the PostgreSQL server that BLR_TEST_PG_CONNINFO names,
// dropped when the object goes.  Throws std::runtime_error when it can't be
// made.
class BenchPgSchema {
 public:
  explicit BenchPgSchema(const std::string& prefix) {
    const char* conninfo = std::getenv("BLR_TEST_PG_CONNINFO");
    if (conninfo == nullptr || *conninfo == '\0')
      throw std::runtime_error("BLR_TEST_PG_CONNINFO is not set");
    server_ = conninfo;
    name_ = prefix + std::to_string(getpid());
    exec("DROP SCHEMA IF EXISTS " + name_ + " CASCADE; CREATE SCHEMA " + name_);
  }
  ~BenchPgSchema() {
    try {
      exec("DROP SCHEMA IF EXISTS " + name_ + " CASCADE");
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
    }
  }
  std::string connInfo() const { return server_ + " options='-c search_path=" + name_ + "'"; }

 private:
  void exec(const std::string& sql) {
    DWPlatformInfo::setValue("Database", "sBackend", "postgresql");
    DWPlatformInfo::setValue("Database", "sPostgresConnInfo", server_);
    {
      DWSimpleDBConnObject conn;
      if (conn.openSQLConnectionUsingDbName("Anchor") != 0 || conn.execQuery(sql.c_str()) != 0)
        throw std::runtime_error("couldn't prepare the PostgreSQL schema");
    }
    DWSimpleDBConnObject::closeIdleHandles();
  }
  std::string server_, name_;
};

// CPU seconds (user and system) a live process has used.
inline double benchCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string f;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i)
    if (i >= 14) ticks += std::stod(f);  // utime, stime
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU seconds of this process's children that ended and were waited for
// (with theirs).
inline double benchChildrenCpuSeconds() {
  struct rusage ru;
  getrusage(RUSAGE_CHILDREN, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// The parent of a live process, from /proc; 0 when it can't be read.
inline pid_t benchParentOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  const size_t paren = text.rfind(')');
  char state = 0;
  int parent = 0;
  if (paren == std::string::npos || std::sscanf(text.c_str() + paren + 1, " %c %d", &state, &parent) != 2) return 0;
  return parent;
}

// The PostgreSQL postmaster: the parent of the backend serving this process;
// 0 when the server is not on this machine.
inline pid_t benchPostmasterPid() {
  DWSimpleDBConnObject conn;
  int32_t backend = 0;
  if (conn.openSQLConnectionUsingDbName("Anchor") != 0 || conn.execQuery("SELECT pg_backend_pid()") != 0 ||
      conn.ibindstruct("i", &backend) != 0 || conn.getNextRow() != 0)
    return 0;
  return benchParentOf(backend);
}

// CPU seconds of the postmaster and its children (the backends).
inline double benchDatabaseServerCpu(pid_t postmaster) {
  double seconds = benchCpuSeconds(postmaster);
  DIR* proc = opendir("/proc");
  for (dirent* e; proc != nullptr && (e = readdir(proc)) != nullptr;) {
    const pid_t pid = std::atoi(e->d_name);
    if (pid > 0 && benchParentOf(pid) == postmaster) seconds += benchCpuSeconds(pid);
  }
  if (proc != nullptr) closedir(proc);
  return seconds;
}

#endif  // BENCH_BENCHANCHOR_H
