// A pair database on SQLite in a temporary directory with the service
// registered in the process, for the pair database benchmarks.
#ifndef BENCH_PAIRDBBENCHENV_H
#define BENCH_PAIRDBBENCHENV_H

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>
#include <string>
#include <vector>

#include "BLR/BlrDB.h"
#include "BLR/BlrDBSvc.h"
#include "BenchSetup.h"
#include "host/clients/DWClientDirectory.h"
#include "host/config/DWPlatformInfo.h"
#include "host/sql/DWSimpleDBConnObject.h"
#include "host/sql/DWSqlSchema.h"
#include "support/SamplePair.h"

struct PairDbBenchEnv {
  static constexpr int kTail = 20;

  std::string dir;
  bool postgres = false;
  std::string pgConnInfo;  // with the search path of the benchmark's schema
  BlrDBSvc svc;
  BlrDB db;

  // SQLite files in a temporary directory, or (`onPostgres`) a fresh schema
  // on the server that BLR_TEST_PG_CONNINFO names.
  explicit PairDbBenchEnv(bool onPostgres = false) : postgres(onPostgres) {
    char tmpl[] = "/tmp/blr-pairdb-bench-XXXXXX";
    dir = mkdtemp(tmpl);
    removeAtExit(dir);  // also for environments that are never destroyed
    DWPlatformInfo::setValue("Database", "sSqliteDir", dir);
    if (postgres) usePostgres();
    must(DWCreateSchema("Anchor"));
    must(DWCreateSchema("HistoryDB"));
    must(DWClientDirectory::add(sampleTail(kTail)));
  }
  ~PairDbBenchEnv() { std::filesystem::remove_all(dir); }

  void usePostgres() {
    const char* conninfo = std::getenv("BLR_TEST_PG_CONNINFO");
    if (conninfo == nullptr || *conninfo == '\0') {
      std::fprintf(stderr, "BLR_TEST_PG_CONNINFO is not set\n");
      std::exit(2);
    }
    static std::string schema = "blrbench_" + std::to_string(getpid());
    static std::string server = conninfo;
    DWPlatformInfo::setValue("Database", "sBackend", "postgresql");
    DWPlatformInfo::setValue("Database", "sPostgresConnInfo", server);
    {
      DWSimpleDBConnObject conn;
      must(conn.openSQLConnectionUsingDbName("Anchor"), conn);
      must(conn.execQuery(("DROP SCHEMA IF EXISTS " + schema + " CASCADE; CREATE SCHEMA " + schema).c_str()),
           conn);
    }
    DWSimpleDBConnObject::closeIdleHandles();
    std::atexit([] {
      DWSimpleDBConnObject::closeIdleHandles();
      DWPlatformInfo::setValue("Database", "sPostgresConnInfo", server);
      DWSimpleDBConnObject conn;
      if (conn.openSQLConnectionUsingDbName("Anchor") == 0)
        conn.execQuery(("DROP SCHEMA IF EXISTS " + schema + " CASCADE").c_str());
    });
    pgConnInfo = server + " options='-c search_path=" + schema + "'";
    DWPlatformInfo::setValue("Database", "sPostgresConnInfo", pgConnInfo);
  }

  static void removeAtExit(const std::string& path) {
    static std::vector<std::string>* paths = nullptr;
    if (paths == nullptr) {
      paths = new std::vector<std::string>;
      std::atexit([] {
        std::error_code ignored;
        for (const std::string& p : *paths) std::filesystem::remove_all(p, ignored);
      });
    }
    paths->push_back(path);
  }

  // Stores a pair with `disks` disks through the service; its id.
  int addPair(int seed, int disks) {
    BlrDB::Pair p;
    p.subClientId = 3;
    p.dstClientId = 11;
    p.headClientId = 12;
    p.tailClientId = kTail;
    p.srcName = "vm" + std::to_string(seed);
    char hex[33];
    std::snprintf(hex, sizeof hex, "%032x", seed);
    p.srcGuid = BlrUUID(std::string(hex));
    for (int i = 0; i < disks; ++i) {
      BlrDB::Disk d;
      d.srcPath = "/src/disk" + std::to_string(i);
      std::snprintf(hex, sizeof hex, "%024x%08x", seed, i);
      d.srcGuid = BlrUUID(std::string(hex));
      p.disks.push_back(d);
    }
    must(db.createOrUpdatePair(p));
    return p.id;
  }
};

#endif  // BENCH_PAIRDBBENCHENV_H
