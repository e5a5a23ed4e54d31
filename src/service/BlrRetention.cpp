// The pruner of the tables that would otherwise grow without bound
// (BlrRetention.h).  Every delete finds its rows through an index: events by
// their id, which grows with time; statistics pair by pair through the
// (pairId, timeStamp) index; runs by id.
#include "BLR/BlrRetention.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <system_error>

#include "BLR/BlrDebug.h"
#include "host/config/DWPlatformInfo.h"
#include "service/BlrDBSvcInternal.h"

using namespace blrdbsvc;

namespace {

using Clock = std::chrono::steady_clock;

const char kContext[] = "BlrRetention";
const int kMaxBatch = 500;
const int kMinBatch = 10;
// What one batch may hold the write lock for.
const Clock::duration kMaxHold = std::chrono::milliseconds(10);

struct Limits {
  int eventSecs, eventMax, statsSecs, statsMax, runSecs, runMax;
};

int setting(const char* key, int def) {
  int value = def;
  CZuError err = DWPlatformInfo().readNumber("Retention", key, def, 1, INT_MAX, &value);
  if (err.IsError()) {
    blrError(kContext, "%s; using %d", err.Summary().c_str(), def);
    value = def;
  }
  return value;
}

Limits readLimits() {
  const int day = 24 * 3600;
  return {setting("nEventSecs", 90 * day), setting("nEventMax", 10000000),
          setting("nStatsSecs", 90 * day), setting("nStatsMaxPerPair", 200000),
          setting("nRunSecs", 365 * day),  setting("nRunMax", 1000)};
}

std::string num(int64_t v) { return std::to_string(static_cast<long long>(v)); }

// The first row of a query of one or two integer columns; `found` false
// without rows.
CZuError readFirst(BlrSQL& sql, const std::string& statement, int64_t* a, int64_t* b, bool* found) {
  *found = false;
  return readRows(
      sql, statement, [&] { return b ? sql.ibindstruct("b|b", a, b) : sql.ibindstruct("b", a); },
      [&] { *found = true; }, FXLOC);
}

int64_t readCount(BlrSQL& sql, const std::string& statement, CZuError* err) {
  int64_t n = 0;
  bool found = false;
  *err = readFirst(sql, statement, &n, nullptr, &found);
  return n;
}

struct Snapshot {
  std::mutex mu;
  std::vector<BlrTableRows> rows;
  double longestBatchSecs = 0;
};

Snapshot& snapshot() {
  static Snapshot s;
  return s;
}

// One pass over the three tables.
class Pass {
 public:
  Pass(const Limits& limits, int* batch, const std::atomic<bool>& stopping)
      : limits_(limits), now_(nowSecs()), batch_(batch), stopping_(stopping) {}

  CZuError events();
  CZuError stats();
  CZuError runs();
  CZuError countRuns();

  std::vector<BlrTableRows> rows;
  Clock::duration longest{};
  int batches = 0;

 private:
  CZuError statsOfPair(BlrSQL& sql, int64_t pairId, int64_t* left);
  CZuError dropRun(BlrSQL& sql, int64_t runId);
  CZuError run(BlrSQL& sql, const std::string& statement);

  Limits limits_;
  int64_t now_;
  int* batch_;
  const std::atomic<bool>& stopping_;
};

// Runs one batch in a transaction of its own and times it from the write
// lock taken to the delete done (the commit's flush waits without the
// lock): the next batch is halved after one over kMaxHold and grows back
// after a quick one.  Then pauses as long as the batch took.
CZuError Pass::run(BlrSQL& sql, const std::string& statement) {
  const Clock::time_point began = Clock::now();
  CZuError err = begin(sql, FXLOC);
  if (!err.IsError()) err = exec(sql, statement, Accept::kOkOrNoRows, FXLOC);
  const Clock::duration took = Clock::now() - began;
  if (!err.IsError()) err = commit(sql, FXLOC);
  if (sql.inTran) {
    sql.endTran(2);
    sql.inTran = false;
  }
  ++batches;
  longest = std::max(longest, took);
  if (took > kMaxHold)
    *batch_ = std::max(kMinBatch, *batch_ / 2);
  else if (took < kMaxHold / 2)
    *batch_ = std::min(kMaxBatch, *batch_ * 2);
  std::this_thread::sleep_for(took);
  return err;
}

// Events go from the lowest id up, a range of ids a batch, while the oldest
// is due by age or lies beyond the newest nEventMax.
CZuError Pass::events() {
  BlrSQL sql("Anchor");
  const int64_t cutoff = now_ - limits_.eventSecs;
  int64_t lo = 0, time = 0, hi = 0;
  bool found = false;
  CZuError err = readFirst(sql, "SELECT MAX(id) FROM APP_Event", &hi, nullptr, &found);
  const int64_t floor = hi - limits_.eventMax;  // ids at or below are beyond the count
  while (!err.IsError() && !stopping_) {
    err = readFirst(sql, "SELECT id, time FROM APP_Event ORDER BY id LIMIT 1", &lo, &time, &found);
    if (err.IsError() || !found || (time >= cutoff && lo > floor)) break;
    err = run(sql, "DELETE FROM APP_Event WHERE id < " + num(lo + *batch_) + " AND (time < " + num(cutoff) +
                       " OR id <= " + num(floor) + ")");
  }
  if (!err.IsError())
    err = readFirst(sql, "SELECT (SELECT MIN(id) FROM APP_Event), (SELECT MAX(id) FROM APP_Event)", &lo, &hi,
                    &found);
  rows.push_back({"APP_Event", hi > 0 ? hi - lo + 1 : 0});
  return err;
}

// Statistics go pair by pair; the pairs are found through the index, one
// lookup each.
CZuError Pass::stats() {
  BlrSQL sql("HistoryDB");
  int64_t total = 0, pairId = INT64_C(-2147483649);  // below any INTEGER
  bool found = false;
  CZuError err;
  while (!err.IsError() && !stopping_) {
    err = readFirst(
        sql, "SELECT pairId FROM BlrPairStats WHERE pairId > " + num(pairId) + " ORDER BY pairId LIMIT 1",
        &pairId, nullptr, &found);
    if (err.IsError() || !found) break;
    int64_t left = 0;
    err = statsOfPair(sql, pairId, &left);
    total += left;
  }
  rows.push_back({"BlrPairStats", total});
  return err;
}

// The oldest rows of one pair that are due, by age or beyond its newest
// nStatsMaxPerPair, a batch at a time; `left` gets the rows that stay.
// Rows of one timestamp go together, so a batch may end past its size by
// the ties of its last row.
CZuError Pass::statsOfPair(BlrSQL& sql, int64_t pairId, int64_t* left) {
  const std::string pair = "FROM BlrPairStats WHERE pairId = " + num(pairId);
  CZuError err;
  *left = readCount(sql, "SELECT COUNT(*) " + pair, &err);
  int64_t old =
      err.IsError()
          ? 0
          : readCount(sql, "SELECT COUNT(*) " + pair + " AND timeStamp < " + num(now_ - limits_.statsSecs),
                      &err);
  int64_t due = std::max(old, *left - limits_.statsMax);
  while (!err.IsError() && due > 0 && !stopping_) {
    const int64_t n = std::min<int64_t>(due, *batch_);
    int64_t last = 0;
    bool found = false;
    err = readFirst(sql, "SELECT timeStamp " + pair + " ORDER BY timeStamp LIMIT 1 OFFSET " + num(n - 1),
                    &last, nullptr, &found);
    if (err.IsError() || !found) break;
    err = run(sql, "DELETE " + pair + " AND timeStamp <= " + num(last));
    due -= n;
    *left -= n;
  }
  return err;
}

// Finished runs go oldest first, each with its pairs; a run's pairs go in
// batches when there are more than one holds.
CZuError Pass::runs() {
  BlrSQL sql("Anchor");
  const std::string ended = "FROM BlrPlanRun WHERE endTime > 0";
  int64_t floor = 0, runId = 0;
  bool found = false;
  CZuError err =
      readFirst(sql, "SELECT id " + ended + " ORDER BY id DESC LIMIT 1 OFFSET " + num(limits_.runMax), &floor,
                nullptr, &found);
  while (!err.IsError() && !stopping_) {
    err = readFirst(sql,
                    "SELECT id " + ended + " AND (endTime < " + num(now_ - limits_.runSecs) +
                        " OR id <= " + num(floor) + ") ORDER BY id LIMIT 1",
                    &runId, nullptr, &found);
    if (err.IsError() || !found) break;
    err = dropRun(sql, runId);
  }
  return err;
}

CZuError Pass::dropRun(BlrSQL& sql, int64_t runId) {
  const std::string pairs = "FROM BlrPlanRunPair WHERE runId = " + num(runId);
  CZuError err;
  int64_t n = readCount(sql, "SELECT COUNT(*) " + pairs, &err);
  while (!err.IsError() && n > *batch_ && !stopping_) {
    const int size = *batch_;  // run() may change it
    err = run(sql, "DELETE " + pairs + " AND pairId IN (SELECT pairId " + pairs + " ORDER BY pairId LIMIT " +
                       num(size) + ")");
    n -= size;
  }
  if (err.IsError() || stopping_) return err;
  // The last of its pairs and the run itself together.
  return run(sql,
             "DELETE " + pairs + "; DELETE FROM BlrPlanRun WHERE id = " + num(runId) + " AND endTime > 0");
}

CZuError Pass::countRuns() {
  BlrSQL sql("Anchor");
  CZuError err;
  for (const char* table : {"BlrPlanRun", "BlrPlanRunPair"}) {
    int64_t n = readCount(sql, std::string("SELECT COUNT(*) FROM ") + table, &err);
    if (err.IsError()) break;
    rows.push_back({table, n});
  }
  return err;
}

}  // namespace

CZuError BlrRetention::prune() {
  Pass pass(readLimits(), &batch_, stopping_);
  CZuError err = pass.events();
  if (!err.IsError()) err = pass.stats();
  if (!err.IsError()) err = pass.runs();
  if (!err.IsError()) err = pass.countRuns();
  const double longest = std::chrono::duration<double>(pass.longest).count();
  blrDebug(kContext, 2, "Pruned in %d batches, the longest %.1f ms; %d rows a batch now", pass.batches,
           longest * 1000, batch_);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't prune the past");
  Snapshot& s = snapshot();
  std::lock_guard<std::mutex> lock(s.mu);
  s.rows = pass.rows;
  s.longestBatchSecs = longest;
  return err;
}

CZuError BlrRetention::start() {
  stopping_ = false;
  try {
    thread_ = std::thread([this] { loop(); });
  } catch (const std::system_error& e) {
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't start the pruner: %s", e.what());
  }
  return CZuError();
}

void BlrRetention::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void BlrRetention::loop() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!stopping_) {
    lock.unlock();
    CZuError err = prune();
    if (err.IsError()) blrError(kContext, "%s", err.Summary().c_str());
    const int interval = setting("nIntervalSecs", 300);
    lock.lock();
    wake_.wait_for(lock, std::chrono::seconds(interval), [this] { return stopping_.load(); });
  }
}

std::vector<BlrTableRows> BlrRetention::tableRows() {
  Snapshot& s = snapshot();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.rows;
}

double BlrRetention::longestBatchSecs() {
  Snapshot& s = snapshot();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.longestBatchSecs;
}
