// The steps of the recovery workflows: their codes, one table per workflow of
// the progress each step records and how it is logged and shown, and the
// per-thread observer through which a caller follows a run as it happens.
#ifndef BLR_BLRWORKFLOWSTEPS_H
#define BLR_BLRWORKFLOWSTEPS_H

#include <cstddef>
#include <string>

#include "BLR/BlrExport.h"

// Error codes of failover, failback and switch roles: each names the step
// that failed.  Codes repeat across workflows.
enum BlrWorkflowCode : int {
  BLR_WF_FIRST_CODE = 200,
  BLR_WF_LAST_CODE = 217,
  BLR_WF_BAD_STATE = 200,  // the pair is not in a state the workflow starts from

  BLR_FO_GENERIC = 201,  // database or host lookup
  BLR_FO_STOP_VM = 202,
  BLR_FO_FLUSH = 203,
  BLR_FO_PAUSE_PAIR = 204,
  BLR_FO_BLOCK_REPLICATION = 205,
  BLR_FO_TAKE_SNAPSHOT = 206,

  BLR_FB_STILL_SYNCING = 201,  // without waiting: call again later
  BLR_FB_GENERIC = 202,        // database or host lookup
  BLR_FB_DELETE_SNAPSHOT = 203,
  BLR_FB_STOP_ORIG_VM = 204,
  BLR_FB_STOP_ORIG_PAIR = 205,
  BLR_FB_CLEAN_ORIG_PAIR = 206,
  BLR_FB_CREATE_HIDDEN_PAIR = 207,
  BLR_FB_START_HIDDEN_PAIR = 208,
  BLR_FB_SYNC_HIDDEN_PAIR = 209,
  BLR_FB_STOP_RECOVERY_VM = 210,
  BLR_FB_FLUSH = 211,
  BLR_FB_STOP_HIDDEN_PAIR = 212,
  BLR_FB_CLEAN_HIDDEN_PAIR = 213,
  BLR_FB_DELETE_HIDDEN_PAIR = 214,
  BLR_FB_START_VM = 215,
  BLR_FB_RESTART_PAIR = 216,  // unblocking the Tail and restarting the pair
  BLR_FB_PRODUCTION_VM_MISSING = 217,

  BLR_SR_GENERIC = 201,  // database or host lookup
  BLR_SR_DELETE_SNAPSHOT = 202,
  BLR_SR_STOP_ORIG_PAIR = 203,
  BLR_SR_CLEAN_ORIG_PAIR = 204,
  BLR_SR_CREATE_REVERSE_PAIR = 205,
  BLR_SR_DELETE_ORIG_PAIR = 206,
};

// One progress property of a workflow, in log and clearing order.
struct BlrWorkflowStep {
  const char* const* property;  // the BlrSvcWorkflow member holding its name
  const char* logLabel;         // the progress log's line; "%s" is the text
  const char* displayLabel;     // blr's progress table
  bool showsValue;              // the stored value, else DONE/FAILED/N/A
  int code;                     // the step that writes it; 0 for a recorded value
  const char* title;            // the step's log line ("%d": the pair it acts on), or null
};

struct BlrWorkflowSteps {
  const BlrWorkflowStep* rows;
  size_t count;
  const BlrWorkflowStep* begin() const { return rows; }
  const BlrWorkflowStep* end() const { return rows + count; }
};

BLR_API const BlrWorkflowSteps& blrFailoverSteps();
BLR_API const BlrWorkflowSteps& blrFailbackSteps();
BLR_API const BlrWorkflowSteps& blrSwitchRolesSteps();
// The row of a property name (compared by address, as the members give it),
// or null.
BLR_API const BlrWorkflowStep* blrFindWorkflowStep(const char* property);

// Follows the workflows that run on the constructing thread while it lives.
// Observers nest per thread and must be destroyed in reverse order of
// creation.  Calls come from the workflow's thread, between its own work.
class BLR_API BlrWorkflowObserver {
 public:
  BlrWorkflowObserver();
  virtual ~BlrWorkflowObserver();
  BlrWorkflowObserver(const BlrWorkflowObserver&) = delete;
  BlrWorkflowObserver& operator=(const BlrWorkflowObserver&) = delete;

  // A step, or an action of a step, starts; `title` is its log line.
  virtual void onStepBegin(int code, const std::string& title) = 0;
  // The running step recorded its outcome.
  virtual void onStepEnd(bool ok) = 0;
  // One poll of a wait; `news` is its log line.
  virtual void onWaitTick(const std::string& news) = 0;
  // A failure the workflow logged and went on from.
  virtual void onFailure(const std::string& text) = 0;

 private:
  BlrWorkflowObserver* previous_;
};

// The calling thread's current observer, or null.
BLR_API BlrWorkflowObserver* blrGetWorkflowObserver();

#endif  // BLR_BLRWORKFLOWSTEPS_H
