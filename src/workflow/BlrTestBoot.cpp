#include "BLR/BlrTestBoot.h"

#include <ctime>
#include <memory>
#include <random>

#include "BLR/BlrCtrl.h"
#include "BLR/BlrDBTexts.h"
#include "BLR/BlrDebug.h"
#include "BLR/BlrPairCodes.h"
#include "BLR/BlrWorkflowSteps.h"
#include "host/clients/DWClient.h"
#include "host/base/DwClock.h"

namespace {

constexpr int kHealthPollMs = 500;
// How long past its health time-out a test boot's recovery point is kept.
constexpr int kBestBeforeMarginSecs = 600;

void stepBegins(const std::string& title) {
  if (BlrWorkflowObserver* observer = blrGetWorkflowObserver()) observer->onStepBegin(0, title);
}

CZuError stepEnds(CZuError err) {
  if (BlrWorkflowObserver* observer = blrGetWorkflowObserver()) observer->onStepEnd(!err.IsError());
  return err;
}

BlrUUID randomUuid() {
  std::random_device source;
  unsigned char bytes[16];
  for (int i = 0; i < 16; i += 4) {
    uint32_t word = source();
    for (int b = 0; b < 4; ++b) bytes[i + b] = static_cast<unsigned char>(word >> (8 * b));
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
  return BlrUUID(bytes);
}

// The test VM's name: the recovery VM's with a suffix, when that fits.
std::string testVmName(const BlrDB::Pair& pair) {
  std::string name = pair.dstName + "-test";
  if (blrCheckText("name", name, BLRDB_VM_NAME_CHARS, BlrTextUnit::kChars).IsError())
    name = "pair" + std::to_string(pair.id) + "-test";
  return name;
}

// The Tail of one pair, connected on first use.
class TailLink {
 public:
  explicit TailLink(const BlrDB::Pair& pair) : pair_(pair) {}

  CZuError get(BlrCtrl** ctrl) {
    if (!ctrl_) {
      std::string host;
      CZuError err = DWClient(pair_.tailClientId).lookUp(&host);
      if (err.IsError())
        return err.Push(FXLOC, "Couldn't lookup tail proxy mangled name (client ID %d)",
                        pair_.tailClientId);
      auto ctrl = std::make_unique<BlrCtrl>();
      err = ctrl->connect(host);
      if (err.IsError())
        return err.Push(FXLOC, "Couldn't open control connection to %s", host.c_str());
      ctrl_ = std::move(ctrl);
    }
    *ctrl = ctrl_.get();
    return CZuError();
  }

  CZuError powerOff() {
    BlrCtrl* ctrl = nullptr;
    CZuError err = get(&ctrl);
    if (!err.IsError()) err = ctrl->powerOnOffTailVM(pair_.id, false, nullptr);
    return err;
  }

  // Ends test boot `bootId`; one the Tail does not hold is ended already.
  CZuError endBoot(int bootId) {
    BlrCtrl* ctrl = nullptr;
    CZuError err = get(&ctrl);
    if (!err.IsError()) err = ctrl->testBootCrossed(pair_.dstGuid, bootId);
    if (err.IsError() && err.Code() == BlrTestBoot::TAIL_NO_SUCH_BOOT) return CZuError();
    return err;
  }

 private:
  const BlrDB::Pair& pair_;
  std::unique_ptr<BlrCtrl> ctrl_;
};

bool isTestBoot(const BlrDB::BootVM& vm) { return vm.bootType == BlrTestBoot::BOOT_TYPE_TEST; }

CZuError loadPair(int pairId, BlrDB::Pair* pair) {
  CZuError err = BlrDB().getPair(pairId, pair);
  if (!err.IsError() && pair->id == 0)
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "Pair %d doesn't exist", pairId);
  return err;
}

// Undoes one test boot from what its record shows.
CZuError undo(TailLink& tail, const BlrDB::BootVM& vm) {
  CZuError err;
  if (vm.statusCode >= BlrTestBoot::STATUS_POWERING_ON) {
    stepBegins("Powering the test VM off");
    err = stepEnds(tail.powerOff());
    if (err.IsError()) return err;
  }
  stepBegins("Ending the test boot on the Tail");
  err = stepEnds(tail.endBoot(vm.id));
  if (err.IsError()) return err;
  stepBegins("Deleting the test VM's record");
  return stepEnds(BlrDB().delBootVM(vm.id));
}

// The steps of one test boot, up to the test VM's health check.
class TestBootRun {
 public:
  TestBootRun(const BlrDB::Pair& pair, int healthTimeoutSecs)
      : pair_(pair), timeout_(healthTimeoutSecs), tail_(pair) {}

  CZuError record(uint64_t jobId) {
    stepBegins("Recording the test VM");
    BlrCtrl* ctrl = nullptr;
    uint64_t seq = 0;
    CZuError err = tail_.get(&ctrl);
    if (!err.IsError()) err = ctrl->getLastSeqNum(pair_.dstGuid, &seq);
    if (!err.IsError() && seq == 0)
      err = FXErrorUtil::ErrorInt(FXLOC, 1, "The Tail has no recovery point of VM %s",
                                  pair_.dstGuid.toString().c_str());
    vm_.bootType = BlrTestBoot::BOOT_TYPE_TEST;
    vm_.pairId = pair_.id;
    vm_.name = testVmName(pair_);
    vm_.uuid = randomUuid();
    vm_.creationTime = static_cast<uint64_t>(DwClock::current()->now());
    vm_.bestBefore = vm_.creationTime + static_cast<uint64_t>(timeout_ + kBestBeforeMarginSecs);
    vm_.seqNum = seq;
    vm_.statusCode = BlrTestBoot::STATUS_RECORDED;
    vm_.statusMessage = "recorded";
    vm_.jobId = jobId;
    for (const BlrDB::Disk& d : pair_.disks) {
      BlrDB::BootDisk disk;
      disk.origDiskId = d.id;
      disk.uuid = randomUuid();
      disk.path = (d.dstPath.empty() ? d.srcPath : d.dstPath) + ".test";
      disk.snapId = "test-" + std::to_string(seq);
      vm_.disks.push_back(disk);
    }
    if (!err.IsError()) err = BlrDB().addBootVM(vm_, &vm_.id);
    return stepEnds(err);
  }

  CZuError announce(uint64_t* seqNum) {
    stepBegins("Announcing the test boot to the Tail");
    BlrCtrl* ctrl = nullptr;
    uint64_t seq = 0, expiry = 0;
    CZuError err = tail_.get(&ctrl);
    if (!err.IsError())
      err = ctrl->testBootCrossing(pair_.dstGuid, vm_.id, timeout_ + kBestBeforeMarginSecs, &seq,
                                   &expiry);
    if (!err.IsError()) {
      BlrDB::BootVM update;
      update.id = vm_.id;
      update.seqNum = seq;
      update.statusCode = vm_.statusCode = BlrTestBoot::STATUS_ANNOUNCED;
      update.statusMessage = "announced";
      err = BlrDB().populateBootVM(update);
      if (seqNum) *seqNum = seq != 0 ? seq : vm_.seqNum;
    }
    return stepEnds(err);
  }

  CZuError powerOn() {
    stepBegins("Powering the test VM on");
    CZuError err = setStatus(BlrTestBoot::STATUS_POWERING_ON, "powering on");
    BlrCtrl* ctrl = nullptr;
    bool wasOn = false;
    if (!err.IsError()) err = tail_.get(&ctrl);
    if (!err.IsError()) err = ctrl->powerOnOffTailVM(pair_.id, true, &wasOn);
    if (!err.IsError() && wasOn) {
      // Not ours to power off again.
      err = FXErrorUtil::ErrorInt(FXLOC, 1, "The recovery VM of pair %d was on already",
                                  pair_.id);
      CZuError reset = setStatus(BlrTestBoot::STATUS_ANNOUNCED, "announced");
      if (reset.IsError()) err = reset;
    }
    return stepEnds(err);
  }

  CZuError awaitHealth() {
    stepBegins("Waiting for the test VM to report on");
    DwClock* clock = DwClock::current();
    const time_t start = clock->now();
    for (;;) {
      BlrDB::BootVM stored;
      CZuError err = BlrDB().getBootVM(vm_.id, &stored);
      if (err.IsError()) return stepEnds(err);
      if (stored.statusCode == BlrTestBoot::STATUS_ON) return stepEnds(CZuError());
      const time_t waited = clock->now() - start;
      if (waited >= timeout_)
        return stepEnds(FXErrorUtil::ErrorInt(
            FXLOC, 1, "The test VM of pair %d did not report on within %d s", pair_.id, timeout_));
      if (BlrWorkflowObserver* observer = blrGetWorkflowObserver())
        observer->onWaitTick("not on yet (record status " + std::to_string(stored.statusCode) +
                             ")");
      ZUSLEEP(kHealthPollMs);
    }
  }

  // Powers the VM off, when it may be on, ends the boot and deletes the record.
  CZuError tearDown() {
    if (vm_.statusCode >= BlrTestBoot::STATUS_POWERING_ON) {
      CZuError err = setStatus(BlrTestBoot::STATUS_POWERING_OFF, "powering off");
      if (err.IsError()) return err;
    }
    return undo(tail_, vm_);
  }

  bool recorded() const { return vm_.id != 0; }

 private:
  CZuError setStatus(BlrTestBoot::Status status, const char* text) {
    CZuError err = BlrDB().setBootVMStatus(vm_.id, status, text, 0);
    if (!err.IsError()) vm_.statusCode = status;
    return err;
  }

  const BlrDB::Pair& pair_;
  const int timeout_;
  TailLink tail_;
  BlrDB::BootVM vm_;
};

}  // namespace

CZuError BlrTestBoot::run(int healthTimeoutSecs, uint64_t jobId, uint64_t* seqNum) {
  BlrDB::Pair pair;
  CZuError err = loadPair(pairId_, &pair);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't test pair %d", pairId_);
  BlrDebugCtx ctx(pair.srcName, pairId_);
  if ((pair.flags & (BlrPairCodes::FAILOVER | BlrPairCodes::HIDDEN)) != 0 ||
      pair.statusCode != BlrPairCodes::STATUS_RUNNING)
    return FXErrorUtil::ErrorInt(
        FXLOC, 1, "Couldn't test pair %d: it is not replicating (status %d, flags %d)", pairId_,
        pair.statusCode, pair.flags);
  std::list<BlrDB::BootVM> vms;
  err = BlrDB().getBootVMsForPair(pairId_, &vms);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't test pair %d", pairId_);
  for (const BlrDB::BootVM& vm : vms)
    if (isTestBoot(vm))
      return FXErrorUtil::ErrorInt(FXLOC, 1,
                                   "Couldn't test pair %d: test boot VM %d is left from an "
                                   "earlier test; clean it up first",
                                   pairId_, vm.id);
  if (jobId == 0) return FXErrorUtil::ErrorInt(FXLOC, 1, "A test boot needs a job ID");
  blrBootDebug("BlrTestBoot::run", 1, "Test boot of pair %d, health time-out %d s", pairId_,
           healthTimeoutSecs);

  TestBootRun run(pair, healthTimeoutSecs);
  err = run.record(jobId);
  if (!err.IsError()) err = run.announce(seqNum);
  if (!err.IsError()) err = run.powerOn();
  if (!err.IsError()) err = run.awaitHealth();
  if (run.recorded()) {
    CZuError undone = run.tearDown();
    if (undone.IsError()) {
      undone.Push(FXLOC, "Couldn't undo the test boot of pair %d; its record is kept", pairId_);
      if (!err.IsError()) return undone;
      blrError("BlrTestBoot::run", "%s", undone.Summary().c_str());
      err.Push(FXLOC, "%s", undone.Summary().c_str());
    }
  }
  if (err.IsError()) return err.Push(FXLOC, "Test boot of pair %d failed", pairId_);
  blrBootDebug("BlrTestBoot::run", 1, "Test boot of pair %d done", pairId_);
  return CZuError();
}

CZuError BlrTestBoot::cleanup(int* undone) {
  if (undone) *undone = 0;
  std::list<BlrDB::BootVM> vms;
  CZuError err = BlrDB().getBootVMsForPair(pairId_, &vms);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't clean up test boots of pair %d", pairId_);
  BlrDB::Pair pair;
  std::unique_ptr<TailLink> tail;
  for (const BlrDB::BootVM& vm : vms) {
    if (!isTestBoot(vm)) continue;
    if (!tail) {
      if ((err = loadPair(pairId_, &pair)).IsError()) break;
      tail = std::make_unique<TailLink>(pair);
    }
    blrBootDebug("BlrTestBoot::cleanup", 1, "Undoing test boot %d of pair %d (status %d)", vm.id,
             pairId_, vm.statusCode);
    if ((err = undo(*tail, vm)).IsError()) {
      err.Push(FXLOC, "Couldn't undo test boot %d", vm.id);
      break;
    }
    if (undone) ++*undone;
  }
  if (err.IsError()) return err.Push(FXLOC, "Couldn't clean up test boots of pair %d", pairId_);
  return CZuError();
}
