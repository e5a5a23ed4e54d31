#include "ProxyConfig.h"

#include <sys/stat.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "BLR/BlrCtrl.h"
#include "BLR/BlrUUID.h"

namespace {

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool parseInt(const std::string& text, long min, long max, int* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || v < min || v > max) return false;
  *out = static_cast<int>(v);
  return true;
}

bool parseOnOff(const std::string& text, bool* out) {
  std::string t = upper(text);
  if (t == "ON" || t == "1" || t == "TRUE") return *out = true, true;
  if (t == "OFF" || t == "0" || t == "FALSE") return *out = false, true;
  return false;
}

// "<uuid>" or "pair<N>/head|tail", as the state model keys VMs.
bool validVmKey(const std::string& key) {
  if (BlrUUID::isValid(key)) return true;
  size_t slash = key.find('/');
  int id = 0;
  return key.compare(0, 4, "pair") == 0 && slash != std::string::npos &&
         parseInt(key.substr(4, slash - 4), 1, INT_MAX, &id) &&
         (key.substr(slash + 1) == "head" || key.substr(slash + 1) == "tail");
}

CZuError parseOperation(const std::string& text, ProxyFaultKey* key) {
  int id = 0;
  if (parseInt(text, 1, INT_MAX, &id) && blrCtrlMsgRow(id) != nullptr) {
    key->msgId = id;
    return CZuError();
  }
  std::string name = upper(text);
  for (const BlrCtrlMsgRow& row : kBlrCtrlMsgRows) {
    if (name == row.name || "BLR_CTRL_MSG_" + name == row.name) {
      key->msgId = row.id;
      return CZuError();
    }
  }
  for (const BlrCtrlPairOpRow& row : kBlrCtrlPairOpRows) {
    if (name == row.name || "BLR_CTRL_PAIROP_" + name == row.name) {
      key->msgId = BLR_CTRL_MSG_PAIR_OP;
      key->pairOp = row.op;
      return CZuError();
    }
  }
  return FXErrorUtil::ErrorInt(FXLOC, 1, "Unknown operation \"%s\"", text.c_str());
}

CZuError parseAction(const std::string& text, ProxyFault* fault) {
  size_t colon = text.find(':');
  std::string verb = upper(text.substr(0, colon));
  std::string args = colon == std::string::npos ? std::string() : text.substr(colon + 1);
  ProxyFault f;
  bool ok = true;
  if (verb == "FAIL") {
    size_t sep = args.find(':');
    f.action = ProxyFault::kFail;
    ok = parseInt(args.substr(0, sep), INT_MIN, INT_MAX, &f.code) && f.code != 0;
    if (sep != std::string::npos) f.text = args.substr(sep + 1);
  } else if (verb == "DELAY") {
    f.action = ProxyFault::kDelay;
    ok = parseInt(args, 0, 3600 * 1000, &f.delayMs);
  } else if (verb == "LOSE") {
    f.action = ProxyFault::kLose;
    ok = args.empty() || parseInt(args, 1, INT_MAX, &f.times);
  } else {
    static const struct {
      const char* name;
      ProxyFault::Action action;
    } kPlain[] = {{"DROP", ProxyFault::kDrop},           {"HANG", ProxyFault::kHang},
                  {"MALFORMED", ProxyFault::kMalformed}, {"TRUNCATED", ProxyFault::kTruncated},
                  {"EMPTY", ProxyFault::kEmpty},         {"NONE", ProxyFault::kNone}};
    ok = false;
    for (const auto& p : kPlain) {
      if (verb == p.name && args.empty()) f.action = p.action, ok = true;
    }
  }
  if (!ok) return FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid fault action \"%s\"", text.c_str());
  *fault = f;
  return CZuError();
}

}  // namespace

CZuError ProxySettings::set(const std::string& name, const std::string& value) {
  bool ok = false;
  if (name == "sync-delay-ms")
    ok = parseInt(value, -1, INT_MAX, &syncDelayMs);
  else if (name == "flush-delay-ms")
    ok = parseInt(value, -1, INT_MAX, &flushDelayMs);
  else if (name == "missing-vm")
    ok = parseOnOff(value, &missingVm);
  else if (name == "report-every-stop")
    ok = parseOnOff(value, &reportEveryStop);
  else if (name == "head-vm-power")
    ok = parseOnOff(value, &headVmPower);
  else if (name == "tail-vm-power")
    ok = parseOnOff(value, &tailVmPower);
  else if (name == "test-vm-boot-ms")
    ok = parseInt(value, -1, INT_MAX, &testVmBootMs);
  else
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Unknown setting \"%s\"", name.c_str());
  if (!ok)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid value \"%s\" for %s", value.c_str(),
                                 name.c_str());
  return CZuError();
}

CZuError proxyParseFault(const std::string& text, ProxyFaultKey* key, ProxyFault* fault) {
  size_t eq = text.find('=');
  if (eq == std::string::npos)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Fault \"%s\" is not <operation>=<action>",
                                 text.c_str());
  ProxyFaultKey k;
  ProxyFault f;
  CZuError err = parseOperation(trim(text.substr(0, eq)), &k);
  if (!err.IsError()) err = parseAction(trim(text.substr(eq + 1)), &f);
  if (err.IsError()) return err.Push(FXLOC, "Invalid fault \"%s\"", text.c_str());
  *key = k;
  *fault = f;
  return CZuError();
}

namespace {

ProxyFaults::const_iterator findFault(const ProxyFaults& faults, int msgId, int pairOp) {
  auto it = pairOp != 0 ? faults.find(ProxyFaultKey{msgId, pairOp}) : faults.end();
  return it != faults.end() ? it : faults.find(ProxyFaultKey{msgId, 0});
}

}  // namespace

ProxyFault proxyFindFault(const ProxyFaults& faults, int msgId, int pairOp) {
  auto it = findFault(faults, msgId, pairOp);
  return it != faults.end() ? it->second : ProxyFault();
}

namespace {

// One control-file command: "fault <fault>", "set <name> <value>" or
// "vm <vm> on|off".
CZuError applyCommand(const std::string& command, const std::string& rest,
                      ProxySettings* settings, ProxyFaults* faults) {
  if (command == "fault") {
    ProxyFaultKey key;
    ProxyFault fault;
    CZuError err = proxyParseFault(rest, &key, &fault);
    if (!err.IsError()) (*faults)[key] = fault;
    return err;
  }
  if (command != "set" && command != "vm")
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Unknown command \"%s\"", command.c_str());
  std::istringstream in(rest);
  std::string a, b, extra;
  in >> a >> b >> extra;
  if (b.empty() || !extra.empty())
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Expected two words after \"%s\"", command.c_str());
  if (command == "set") return settings->set(a, b);
  bool on = false;
  if (!validVmKey(a) || !parseOnOff(b, &on))
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid VM power \"%s %s\"", a.c_str(), b.c_str());
  settings->vmPower[BlrUUID::isValid(a) ? BlrUUID(a).toHex() : a] = on;
  return CZuError();
}

}  // namespace

CZuError proxyApplyControl(const std::vector<std::string>& lines, ProxySettings* settings,
                           ProxyFaults* faults) {
  int lineNo = 0;
  for (const std::string& raw : lines) {
    ++lineNo;
    std::string line = trim(raw.substr(0, raw.find('#')));
    if (line.empty()) continue;
    size_t blank = line.find_first_of(" \t");
    std::string command = line.substr(0, blank);
    std::string rest = blank == std::string::npos ? std::string() : trim(line.substr(blank));
    CZuError err = applyCommand(command, rest, settings, faults);
    if (err.IsError()) return err.Push(FXLOC, "Line %d \"%s\"", lineNo, raw.c_str());
  }
  return CZuError();
}

bool ProxyControl::Stamp::operator==(const Stamp& o) const {
  return exists == o.exists && ino == o.ino && size == o.size &&
         mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
}

ProxyControl::ProxyControl(const ProxySettings& settings, const ProxyFaults& faults,
                           const std::string& controlFile)
    : path_(controlFile), baseSettings_(settings), baseFaults_(faults) {
  rebuild();
}

bool ProxyControl::refresh(CZuError* problem) {
  std::lock_guard<std::mutex> lock(mu_);
  if (path_.empty()) return false;
  Stamp now;
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0) {
    now.exists = true;
    now.ino = st.st_ino;
    now.size = st.st_size;
    now.mtime = st.st_mtim;
  }
  if (now == stamp_) return false;
  stamp_ = now;
  std::vector<std::string> lines;
  if (now.exists) {
    std::ifstream in(path_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ProxySettings settings = baseSettings_;
    ProxyFaults faults = baseFaults_;
    CZuError err = proxyApplyControl(lines, &settings, &faults);
    if (err.IsError()) {
      if (problem != nullptr) *problem = err.Push(FXLOC, "Ignoring control file %s", path_.c_str());
      return false;
    }
  }
  fileLines_.swap(lines);
  rebuild();
  return true;
}

ProxyFault ProxyControl::take(int msgId, int pairOp) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = findFault(faults_, msgId, pairOp);
  if (it == faults_.end()) return ProxyFault();
  if (it->second.times > 0 && ++used_[it->first] > it->second.times) return ProxyFault();
  return it->second;
}

void ProxyControl::rebuild() {
  used_.clear();
  settings_ = baseSettings_;
  faults_ = baseFaults_;
  proxyApplyControl(fileLines_, &settings_, &faults_);  // checked when read
}

ProxySettings ProxyControl::settings() {
  std::lock_guard<std::mutex> lock(mu_);
  return settings_;
}

ProxyFaults ProxyControl::faults() {
  std::lock_guard<std::mutex> lock(mu_);
  return faults_;
}

void ProxyControl::setFault(const ProxyFaultKey& key, const ProxyFault& fault) {
  std::lock_guard<std::mutex> lock(mu_);
  baseFaults_[key] = fault;
  rebuild();
}

void ProxyControl::clearFaults() {
  std::lock_guard<std::mutex> lock(mu_);
  baseFaults_.clear();
  rebuild();
}

void ProxyControl::updateSettings(const ProxySettings& settings) {
  std::lock_guard<std::mutex> lock(mu_);
  baseSettings_ = settings;
  rebuild();
}
