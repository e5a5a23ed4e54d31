#include "ProxyState.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <thread>

#include "BLR/BlrCtrl.h"
#include "BLR/BlrDebug.h"
#include "BLR/BlrTestBoot.h"
#include "DwLink/DwEbml.h"

namespace {

uint64_t nowUs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

// Statuses that a recovery workflow sets and that a stop must not overwrite.
bool isWorkflowStatus(int status) { return status == 14 || (status >= 16 && status <= 20); }

}  // namespace

// Runs actions after a delay on a thread of its own.
class ProxyState::Timer {
 public:
  Timer() : thread_([this] { run(); }) {}
  ~Timer() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

  void after(int ms, std::function<void()> action) {
    std::lock_guard<std::mutex> lock(mu_);
    due_.emplace(Clock::now() + std::chrono::milliseconds(ms), std::move(action));
    cv_.notify_all();
  }

 private:
  using Clock = std::chrono::steady_clock;

  void run() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!stop_) {
      if (due_.empty()) {
        cv_.wait(lock);
      } else if (due_.begin()->first > Clock::now()) {
        cv_.wait_until(lock, due_.begin()->first);
      } else {
        std::function<void()> action = std::move(due_.begin()->second);
        due_.erase(due_.begin());
        lock.unlock();
        action();
        lock.lock();
      }
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::multimap<Clock::time_point, std::function<void()>> due_;
  bool stop_ = false;
  std::thread thread_;  // last: starts once the rest is ready
};

// ---- Requests and replies ----

// The named fields of number tags.
const struct {
  int tag;
  int32_t ProxyRequest::*narrow;
  uint64_t ProxyRequest::*wide;
} kNumberFields[] = {
    {BLR_CTRL_TAG_PAIR_ID, &ProxyRequest::pairId, nullptr},
    {BLR_CTRL_TAG_PAIR_OP, &ProxyRequest::pairOp, nullptr},
    {BLR_CTRL_TAG_BOOT_ID, &ProxyRequest::bootId, nullptr},
    {BLR_CTRL_TAG_TIMEOUT, &ProxyRequest::timeout, nullptr},
    {BLR_CTRL_TAG_TAIL, &ProxyRequest::tail, nullptr},
    {BLR_CTRL_TAG_ON, &ProxyRequest::on, nullptr},
    {BLR_CTRL_TAG_REVERT, &ProxyRequest::revert, nullptr},
    {BLR_CTRL_TAG_JOB_ID, nullptr, &ProxyRequest::jobId},
    {BLR_CTRL_TAG_BACKUP_JOB_ID, nullptr, &ProxyRequest::backupJobId},
};

CZuError ProxyRequest::decode(int msgId, const void* data, int len, ProxyRequest* out) {
  ProxyRequest r;
  r.msgId = msgId;
  const BlrCtrlMsgRow* row = blrCtrlMsgRow(msgId);
  if (row != nullptr) {
    CZuError err = BlrCtrlValues::decodeRequest(*row, data, len, &r.values);
    if (err.IsError())
      return err.Push(FXLOC, "Couldn't decode %s request", BlrCtrl::msg2str(msgId));
    if (int tag = r.values.missing(*row))
      return FXErrorUtil::ErrorInt(FXLOC, 1, "No %s given", blrCtrlTagRow(tag)->what);
  }
  for (const auto& field : kNumberFields) {
    if (field.narrow != nullptr) r.*field.narrow = r.values.int32(field.tag);
    if (field.wide != nullptr) r.*field.wide = r.values.num(field.tag);
  }
  r.vm = r.values.vm();
  r.pairs = r.values.pairs();
  *out = std::move(r);
  return CZuError();
}

int ProxyReply::idFor(int requestId) {
  const BlrCtrlMsgRow* row = blrCtrlMsgRow(requestId);
  return row != nullptr && row->replyId != 0 ? row->replyId : BLR_CTRL_MSG_RESP;
}

ProxyReply ProxyReply::success(int requestId) {
  ProxyReply reply;
  reply.msgId = idFor(requestId);
  return reply;
}

ProxyReply ProxyReply::failure(int requestId, int code, const std::string& text) {
  ProxyReply reply = success(requestId);
  reply.code = code;
  reply.text = text;
  return reply;
}

std::vector<char> ProxyReply::encode() const {
  DwEbmlBuffer block(256);
  DwEbmlWriter writer(block, 0);
  for (const auto& [tag, value] : results) writer.writeNumTag(tag, static_cast<unsigned long>(value));
  if (code != 0) {
    writer.writeNumTag(BLR_CTRL_TAG_ERROR_CODE, code);
    if (!text.empty()) writer.writeStrTag(BLR_CTRL_TAG_ERROR_TEXT, text);
  }
  return writer.getBlob();
}

// ---- State ----

std::string proxyStateText(const ProxyStateView& view) {
  static const char* const kRun[] = {"stopped", "syncing", "running", "paused"};
  std::string text;
  for (const auto& [key, on] : view.vmPower) text += "vm " + key + (on ? " on\n" : " off\n");
  for (const auto& [id, pair] : view.pairs)
    text += "pair " + std::to_string(id) + " " + kRun[pair.run] + "\n";
  for (int id : view.snapshots) text += "snapshot " + std::to_string(id) + "\n";
  for (const auto& entry : view.blocked) text += "blocked " + entry.first + "\n";
  for (const auto& [vm, bootId] : view.testBoots)
    text += "testboot " + vm + " " + std::to_string(bootId) + "\n";
  return text;
}

ProxyState::ProxyState(ProxyReporter* reporter) : reporter_(reporter), startSeq_(nowUs()) {}

ProxyState::~ProxyState() { timer_.reset(); }  // no delayed report outlives the state

void ProxyState::setSettings(const ProxySettings& settings) {
  std::lock_guard<std::mutex> lock(mu_);
  // Power states given in the settings take effect when they change.
  for (const auto& [key, on] : settings.vmPower) {
    auto old = settings_.vmPower.find(key);
    if (old == settings_.vmPower.end() || old->second != on) state_.vmPower[key] = on;
  }
  settings_ = settings;
}

void ProxyState::record(const ProxyRequest& request) {
  std::lock_guard<std::mutex> lock(mu_);
  history_.push_back(request);
  if (history_.size() > kHistoryLength) history_.pop_front();
}

std::vector<ProxyRequest> ProxyState::history() {
  std::lock_guard<std::mutex> lock(mu_);
  return std::vector<ProxyRequest>(history_.begin(), history_.end());
}

ProxyStateView ProxyState::view() {
  std::lock_guard<std::mutex> lock(mu_);
  return state_;
}

std::string ProxyState::vmKey(const ProxyPair& pair, bool tail) {
  const BlrUUID& vm = tail ? pair.dstGuid : pair.srcGuid;
  if (!vm.empty()) return vm.toHex();
  return "pair" + std::to_string(pair.id) + (tail ? "/tail" : "/head");
}

ProxyPair& ProxyState::pairFor(int id) {
  auto it = state_.pairs.find(id);
  if (it != state_.pairs.end()) return it->second;
  ProxyPair pair;
  pair.id = id;
  BlrDB::Pair stored;
  if (reporter_ != nullptr && !reporter_->getPair(id, &stored).IsError() && stored.id == id) {
    pair.srcGuid = stored.srcGuid;
    pair.dstGuid = stored.dstGuid;
  }
  return state_.pairs[id] = pair;
}

void ProxyState::report(int pairId, int status, const std::string& message, int eventId) {
  blrCtrlDebug("ProxyState::report", 1, "Pair %d: status %d, event %d", pairId, status, eventId);
  if (reporter_ == nullptr) return;
  CZuError err = reporter_->setPairStatus(pairId, status, message, eventId);
  if (err.IsError())
    blrError("ProxyState::report", "Couldn't report status %d of pair %d: %s", status, pairId,
             err.Summary().c_str());
}

bool ProxyState::workflowOwnsStatus(int pairId) {
  BlrDB::Pair stored;
  return reporter_ != nullptr && !reporter_->getPair(pairId, &stored).IsError() &&
         stored.id == pairId && isWorkflowStatus(stored.statusCode);
}

void ProxyState::markRunning(ProxyPair& pair) {
  pair.run = ProxyPair::kRunning;
  report(pair.id, kProxyStatusRunning, "", 0);
}

void ProxyState::startSync(ProxyPair& pair) {
  pair.run = ProxyPair::kSyncing;
  uint64_t count = ++pair.startCount;
  if (settings_.missingVm) {
    report(pair.id, kProxyStatusSyncing,
           "Production VM is missing or its disk configuration has changed",
           kProxyEventVmMissing);
    return;
  }
  report(pair.id, kProxyStatusSyncing, "", 0);
  if (settings_.syncDelayMs == 0) {
    markRunning(pair);
  } else if (settings_.syncDelayMs > 0) {
    if (!timer_) timer_ = std::make_unique<Timer>();
    int id = pair.id;
    timer_->after(settings_.syncDelayMs, [this, id, count] {
      std::lock_guard<std::mutex> lock(mu_);
      auto it = state_.pairs.find(id);
      if (it != state_.pairs.end() && it->second.run == ProxyPair::kSyncing &&
          it->second.startCount == count)
        markRunning(it->second);
    });
  }
}

void ProxyState::stopPair(ProxyPair& pair, bool reportStop) {
  pair.run = ProxyPair::kStopped;
  ++pair.startCount;  // a pending "running" report no longer applies
  if (reportStop && (settings_.reportEveryStop || !workflowOwnsStatus(pair.id)))
    report(pair.id, kProxyStatusStopped, "", 0);
}

// Never ahead of the clock, so that a Tail with no delay has always reached
// it; two markers may share a number when the clock is coarse.
uint64_t ProxyState::markerSeq() {
  lastMarker_ = std::max(nowUs(), lastMarker_);
  return lastMarker_;
}

uint64_t ProxyState::lastSeq(const BlrUUID& vm) {
  if (settings_.flushDelayMs < 0) return startSeq_;
  uint64_t seq = nowUs() - static_cast<uint64_t>(settings_.flushDelayMs) * 1000;
  auto blocked = state_.blocked.find(vm.toHex());
  return blocked != state_.blocked.end() ? std::min(seq, blocked->second) : seq;
}

// ---- Requests ----

const ProxyState::Behaviour ProxyState::kBehaviours[] = {
    {BLR_CTRL_MSG_APPLYREPCFG, [](ProxyState& s, const ProxyRequest& r) { return s.applyRepCfg(r); }},
    {BLR_CTRL_MSG_JOB_DONE,
     [](ProxyState& s, const ProxyRequest& r) {
       s.state_.doneJobs.push_back(r.jobId);
       s.state_.backups.erase(r.jobId);
       return ProxyReply::success(r.msgId);
     }},
    {BLR_CTRL_MSG_TESTBOOT_CROSSING_REQ,
     [](ProxyState& s, const ProxyRequest& r) { return s.testBootCrossing(r); }},
    {BLR_CTRL_MSG_TESTBOOT_CROSSED,
     [](ProxyState& s, const ProxyRequest& r) { return s.testBootCrossed(r); }},
    {BLR_CTRL_MSG_REGISTER_BACKUP,
     [](ProxyState& s, const ProxyRequest& r) {
       s.state_.backups[r.backupJobId] = r.vm.toHex();
       return ProxyReply::success(r.msgId);
     }},
    {BLR_CTRL_MSG_PAIR_OP, [](ProxyState& s, const ProxyRequest& r) { return s.pairOp(r); }},
    {BLR_CTRL_MSG_CLEANUP_PAIRS,
     [](ProxyState& s, const ProxyRequest& r) { return s.cleanupPairs(r); }},
    {BLR_CTRL_MSG_PING,
     [](ProxyState&, const ProxyRequest& r) { return ProxyReply::success(r.msgId); }},
    {BLR_CTRL_MSG_INS_FLUSH_MARKER_REQ,
     [](ProxyState& s, const ProxyRequest& r) {
       return ProxyReply::success(r.msgId).with(BLR_CTRL_TAG_MARKER_SEQ_NUM, s.markerSeq());
     }},
    {BLR_CTRL_MSG_GET_LAST_SEQNUM_REQ,
     [](ProxyState& s, const ProxyRequest& r) {
       return ProxyReply::success(r.msgId).with(BLR_CTRL_TAG_SEQ_NUM, s.lastSeq(r.vm));
     }},
    {BLR_CTRL_MSG_FAILOVER_CROSSING,
     [](ProxyState& s, const ProxyRequest& r) {
       s.state_.blocked.emplace(r.vm.toHex(), s.lastSeq(r.vm));
       return ProxyReply::success(r.msgId);
     }},
    {BLR_CTRL_MSG_FAILOVER_CROSSED,
     [](ProxyState& s, const ProxyRequest& r) {
       s.state_.blocked.erase(r.vm.toHex());
       return ProxyReply::success(r.msgId);
     }},
    {BLR_CTRL_MSG_POWER_ON_OFF_VM_REQ,
     [](ProxyState& s, const ProxyRequest& r) { return s.powerOnOff(r); }},
    {BLR_CTRL_MSG_CREATE_FAILOVER_SNAP,
     [](ProxyState& s, const ProxyRequest& r) {
       s.state_.snapshots.insert(r.pairId);
       return ProxyReply::success(r.msgId);
     }},
    {BLR_CTRL_MSG_DELETE_FAILOVER_SNAP,
     [](ProxyState& s, const ProxyRequest& r) { return s.deleteSnap(r); }},
};

const ProxyState::Behaviour* ProxyState::behaviour(int msgId) {
  for (const Behaviour& b : kBehaviours)
    if (b.msgId == msgId) return &b;
  return nullptr;
}

ProxyReply ProxyState::handle(const ProxyRequest& r) {
  std::lock_guard<std::mutex> lock(mu_);
  const Behaviour* b = behaviour(r.msgId);
  if (b == nullptr)
    return ProxyReply::failure(r.msgId, 1,
                               "Unexpected message " + std::string(BlrCtrl::msg2str(r.msgId)) +
                                   " (" + std::to_string(r.msgId) + ")");
  return b->act(*this, r);
}

ProxyReply ProxyState::applyRepCfg(const ProxyRequest& r) {
  for (const BlrDB::Pair& p : r.pairs) {
    if (p.id == 0) continue;  // not stored yet: nothing to replicate under
    ProxyPair& pair = state_.pairs[p.id];
    pair.id = p.id;
    pair.srcGuid = p.srcGuid;
    pair.dstGuid = p.dstGuid;
  }
  return ProxyReply::success(r.msgId);
}

ProxyReply ProxyState::cleanupPairs(const ProxyRequest& r) {
  for (const BlrDB::Pair& p : r.pairs) {
    auto it = state_.pairs.find(p.id);
    if (it == state_.pairs.end()) continue;
    stopPair(it->second, false);
    state_.pairs.erase(it);
  }
  return ProxyReply::success(r.msgId);
}

ProxyReply ProxyState::pairOp(const ProxyRequest& r) {
  ProxyPair& pair = pairFor(r.pairId);
  switch (r.pairOp) {
    case BLR_CTRL_PAIROP_START:
    case BLR_CTRL_PAIROP_SMART_RESYNC:
    case BLR_CTRL_PAIROP_FULL_RESYNC:
      startSync(pair);
      break;
    case BLR_CTRL_PAIROP_PAUSE:
      if (pair.run != ProxyPair::kStopped) pair.run = ProxyPair::kPaused;
      break;
    case BLR_CTRL_PAIROP_RESUME:
      if (pair.run == ProxyPair::kPaused) pair.run = ProxyPair::kRunning;
      break;
    case BLR_CTRL_PAIROP_STOP:
      stopPair(pair, true);
      break;
    case BLR_CTRL_PAIROP_CLEANUP:
      stopPair(pair, false);
      state_.pairs.erase(r.pairId);
      break;
    default:
      return ProxyReply::failure(r.msgId, 1,
                                 "Unknown pair operation " + std::to_string(r.pairOp));
  }
  return ProxyReply::success(r.msgId);
}

ProxyReply ProxyState::powerOnOff(const ProxyRequest& r) {
  std::string key = vmKey(pairFor(r.pairId), r.tail != 0);
  auto it = state_.vmPower.find(key);
  bool wasOn = it != state_.vmPower.end() ? it->second
                                          : (r.tail != 0 ? settings_.tailVmPower
                                                         : settings_.headVmPower);
  state_.vmPower[key] = r.on != 0;
  if (r.tail != 0 && r.on != 0 && !wasOn) bootTestVm(key);
  return ProxyReply::success(r.msgId).with(BLR_CTRL_TAG_WAS_ON, wasOn ? 1 : 0);
}

void ProxyState::bootTestVm(const std::string& vm) {
  if (settings_.testVmBootMs < 0) return;
  auto held = [this, vm](int bootId) {
    auto power = state_.vmPower.find(vm);
    return power != state_.vmPower.end() && power->second && state_.testBoots.count({vm, bootId});
  };
  for (const auto& [bootVm, bootId] : state_.testBoots) {
    if (bootVm != vm) continue;
    if (!timer_) timer_ = std::make_unique<Timer>();
    timer_->after(settings_.testVmBootMs, [this, held, id = bootId] {
      std::lock_guard<std::mutex> lock(mu_);
      if (!held(id) || reporter_ == nullptr) return;
      CZuError err = reporter_->setBootVMStatus(id, BlrTestBoot::STATUS_ON, "on");
      if (err.IsError())
        blrError("ProxyState::bootTestVm", "Couldn't report test VM %d on: %s", id,
                 err.Summary().c_str());
    });
  }
}

ProxyReply ProxyState::testBootCrossing(const ProxyRequest& r) {
  state_.testBoots.emplace(r.vm.toHex(), r.bootId);
  // The second value: when the boot's recovery point expires (seconds).
  return ProxyReply::success(r.msgId)
      .with(BLR_CTRL_TAG_SEQ_NUM, lastSeq(r.vm))
      .with(BLR_CTRL_TAG_TESTBOOT_VALUE2,
            nowUs() / 1000000 + static_cast<uint64_t>(std::max(r.timeout, 0)));
}

ProxyReply ProxyState::testBootCrossed(const ProxyRequest& r) {
  if (state_.testBoots.erase({r.vm.toHex(), r.bootId}) == 0)
    return ProxyReply::failure(r.msgId, 2,
                               "No test boot " + std::to_string(r.bootId) + " of VM " +
                                   r.vm.toString());
  return ProxyReply::success(r.msgId);
}

ProxyReply ProxyState::deleteSnap(const ProxyRequest& r) {
  if (state_.snapshots.erase(r.pairId) == 0 && r.revert != 0)
    return ProxyReply::failure(r.msgId, 2,
                               "No failover snapshot of pair " + std::to_string(r.pairId) +
                                   " to revert to");
  return ProxyReply::success(r.msgId);
}
