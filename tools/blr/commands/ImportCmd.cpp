// blr pairs import FILE: many pairs at once, from a JSON array or JSON lines
// of the form `pairs create --file` reads.  Every record is checked before
// anything is sent, so that a bad record stores nothing; the pairs then go
// in batches, each one request and one transaction.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>

#include "BLR/BlrDBTexts.h"
#include "Cli.h"
#include "output/CliRecords.h"

namespace {

// Pairs per request: well inside the link's frame limit at any disk count
// that a VM has, and large enough to keep the per-request cost small.
const size_t kBatch = 1000;

struct ImportOptions {
  std::string file;
};

CZuError readText(const std::string& path, std::string* text) {
  std::ifstream file;
  if (path != "-") {
    file.open(path, std::ios::binary);
    if (!file) return FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't open %s", path.c_str());
  }
  std::istream& in = path == "-" ? std::cin : file;
  text->assign(std::istreambuf_iterator<char>(in), {});
  return CZuError();
}

CZuError recordError(size_t position, const std::string& what) {
  return FXErrorUtil::ErrorInt(FXLOC, 1, "Record %zu: %s; nothing was imported", position, what.c_str());
}

// One record: its JSON form, then the checks of the pair database.
CZuError parseRecord(const Json& value, size_t position, std::list<BlrDB::Pair>* pairs) {
  BlrDB::Pair pair;
  CZuError err = pairFromJson(value, &pair);
  if (err.IsError()) return recordError(position, err.Summary());
  int disk = -1;
  if (const char* field = pair.missingField(&disk)) {
    if (disk < 0) return recordError(position, std::string("field \"") + field + "\" is missing");
    return recordError(position, "disk " + std::to_string(disk + 1) + ": field \"" + field + "\" is missing");
  }
  err = blrCheckTexts(pair);
  if (err.IsError()) return recordError(position, err.Summary());
  pairs->push_back(std::move(pair));
  return CZuError();
}

// A JSON array of records, or one record per line (blank lines skipped).
CZuError parseRecords(const std::string& text, std::list<BlrDB::Pair>* pairs) {
  size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return FXErrorUtil::ErrorInt(FXLOC, 1, "The file holds no record");
  if (text[first] == '[') {
    Json all;
    try {
      all = Json::parse(text);
    } catch (const Json::exception& e) {
      return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't parse the JSON array: %s", e.what());
    }
    for (size_t i = 0; i < all.size(); ++i) {
      CZuError err = parseRecord(all[i], i + 1, pairs);
      if (err.IsError()) return err;
    }
  } else {
    size_t position = 0, start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      start = end + 1;
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      ++position;
      Json value;
      try {
        value = Json::parse(line);
      } catch (const Json::exception& e) {
        return recordError(position, std::string("not JSON: ") + e.what());
      }
      CZuError err = parseRecord(value, position, pairs);
      if (err.IsError()) return err;
    }
  }
  if (pairs->empty()) return FXErrorUtil::ErrorInt(FXLOC, 1, "The file holds no record");
  return CZuError();
}

// "[#####.....]  4000/10000 pairs", rewritten in place on a terminal.
class ImportBar {
 public:
  ImportBar(size_t total, bool shown) : total_(total), shown_(shown) {}
  ~ImportBar() {
    if (drawn_) std::fputs("\n", stderr);
  }
  void show(size_t done) {
    if (!shown_) return;
    const int kWidth = 30;
    int filled = static_cast<int>(done * kWidth / total_);
    std::fprintf(stderr, "\r[%s%s] %zu/%zu pairs", std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(), done, total_);
    std::fflush(stderr);
    drawn_ = true;
  }

 private:
  size_t total_;
  bool shown_;
  bool drawn_ = false;
};

int importPairs(const Cli& cli, const ImportOptions& o) {
  std::string text;
  CZuError err = readText(o.file, &text);
  std::list<BlrDB::Pair> pairs;
  if (!err.IsError()) err = parseRecords(text, &pairs);
  if (err.IsError()) return cli.fail(err, kExitUsage);
  text.clear();

  const auto start = std::chrono::steady_clock::now();
  ImportBar bar(pairs.size(), pairs.size() > kBatch && !cli.json() && ::isatty(STDERR_FILENO));
  BlrDB db;
  size_t stored = 0, disks = 0;
  for (auto batchStart = pairs.begin(); batchStart != pairs.end();) {
    std::list<BlrDB::Pair> batch;
    auto batchEnd = batchStart;
    for (size_t n = 0; n < kBatch && batchEnd != pairs.end(); ++n) ++batchEnd;
    batch.splice(batch.end(), pairs, batchStart, batchEnd);
    err = db.createPairs(batch);
    if (err.IsError()) {
      // The batch may have been committed with its answer lost.  Pairs are
      // matched by sub-client and source VM, so a second import updates the
      // stored ones in place.
      err.Push(FXLOC,
               "Couldn't import the records from %zu on: at least %zu, at most %zu stored; running the "
               "same import again completes it without duplicates",
               stored + 1, stored, stored + batch.size());
      return cli.fail(err);
    }
    for (const BlrDB::Pair& p : batch) disks += p.disks.size();
    stored += batch.size();
    pairs.splice(batchEnd, batch);
    batchStart = batchEnd;
    bar.show(stored);
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (cli.json()) {
    Json ids = Json::array();
    for (const BlrDB::Pair& p : pairs) ids.push_back(p.id);
    cli.printJson(Json{{"imported", stored}, {"disks", disks}, {"seconds", secs}, {"ids", ids}});
    return kExitOk;
  }
  std::printf("Imported %zu pairs with %zu disks in %.1f s (ids %d to %d)\n", stored, disks, secs,
              pairs.front().id, pairs.back().id);
  return kExitOk;
}

}  // namespace

void addPairImportCommand(Cli& cli, CLI::App* pairs) {
  auto o = std::make_shared<ImportOptions>();
  CLI::App* import = pairs->add_subcommand(
      "import", "Create many pairs from a JSON array or JSON lines (the form of pairs create --file)");
  import->add_option("FILE", o->file, "The file (- reads stdin)")->required();
  cli.on(import, [&cli, o] { return importPairs(cli, *o); });
}
