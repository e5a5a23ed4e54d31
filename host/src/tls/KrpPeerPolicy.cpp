#include "host/tls/KrpPeerPolicy.h"

#include <memory>

#include "host/clients/DWClient.h"
#include "host/config/DWPlatformInfo.h"
#include "host/log/EvDebug.h"

namespace {

constexpr size_t kMaxLogEntries = 4096;

// A name fit for the log: control characters shown as '?'.
std::string printable(const std::string& name) {
  std::string out;
  for (unsigned char c : name.substr(0, 80)) out += (c < 0x20 || c == 0x7f) ? '?' : char(c);
  return out;
}

KrpPeerPolicy::Names namesOf(const std::vector<DWClientInfo>& clients) {
  KrpPeerPolicy::Names out;
  for (const DWClientInfo& c : clients) out.insert(c.name);
  return out;
}

}  // namespace

constexpr std::chrono::seconds KrpPeerPolicy::kMaxAge;
constexpr std::chrono::seconds KrpPeerPolicy::kRetry;

KrpPeerPolicy::KrpPeerPolicy(std::string server, Names fixed, NameSource source)
    : server_(std::move(server)), fixed_(std::move(fixed)), source_(std::move(source)) {}

bool KrpPeerPolicy::wellFormed(const std::string& name) {
  if (name.empty() || name.size() > 64 || name[0] == '.') return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

KrpPeerPolicy::Names KrpPeerPolicy::parseNames(const std::string& text) {
  Names out;
  std::string word;
  for (char c : text + ",") {
    if (c == ',' || c == ' ' || c == '\t') {
      if (!word.empty()) out.insert(word);
      word.clear();
    } else {
      word += c;
    }
  }
  return out;
}

KrpPeerPolicy::Names KrpPeerPolicy::operatorNames() {
  std::string text;
  DWPlatformInfo().getString("Security", "sOperatorNames", &text);
  return parseNames(text);
}

CZuError KrpPeerPolicy::forLinkServer(NameSource registered, std::shared_ptr<KrpPeerPolicy>* out) {
  *out = std::make_shared<KrpPeerPolicy>("request link", operatorNames(), std::move(registered));
  return CZuError();
}

CZuError KrpPeerPolicy::forHostServer(const std::string& server,
                                      std::shared_ptr<KrpPeerPolicy>* out) {
  DWPlatformInfo info;
  std::string trusted;
  info.getString("Security", "sTrustedNames", &trusted);
  if (!parseNames(trusted).empty()) {
    *out = std::make_shared<KrpPeerPolicy>(server, parseNames(trusted), NameSource());
    return CZuError();
  }
  Names fixed = operatorNames();
  std::string central;
  info.getString("Link", "sServerName", &central);
  if (central.empty())
    return FXErrorUtil::ErrorInt(FXLOC, 1,
                                 "Couldn't decide whom %s admits: set [Security] sTrustedNames or "
                                 "[Link] sServerName",
                                 server.c_str());
  fixed.insert(central);
  *out = std::make_shared<KrpPeerPolicy>(server, std::move(fixed), [](Names* names) {
    std::vector<DWClientInfo> clients;
    CZuError err = DWClient::list(&clients);
    if (!err.IsError()) *names = namesOf(clients);
    return err;
  });
  return CZuError();
}

CZuError KrpPeerPolicy::known(const std::string& name, bool* found) {
  *found = false;
  if (!source_) return CZuError();
  Clock::time_point now = Clock::now();
  bool stale = !everFetched_ || now - fetchedAt_ > kMaxAge;
  bool missing = fetched_.count(name) == 0;
  CZuError err;
  // Neither a refused name retrying nor a source out of reach is asked more
  // often than every kRetry.
  if ((stale || missing) && now - triedAt_ > kRetry) {
    Names names;
    err = source_(&names);
    triedAt_ = now;
    if (!err.IsError()) {
      fetched_ = std::move(names);
      fetchedAt_ = now;
      everFetched_ = true;
    }
  }
  *found = fetched_.count(name) != 0;
  // Names fetched before are kept while the source is out of reach.
  if (*found || !err.IsError()) return CZuError();
  return err.Push(FXLOC, "Couldn't fetch the registered clients");
}

CZuError KrpPeerPolicy::admit(const std::string& name) {
  CZuError err;
  if (!wellFormed(name)) {
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "certificate name \"%s\" is not a client name",
                                printable(name).c_str());
  } else if (fixed_.count(name) == 0) {
    // Fixed names never wait behind a fetch.
    std::lock_guard<std::mutex> lock(mu_);
    bool found = false;
    err = known(name, &found);
    if (!err.IsError() && !found)
      err = FXErrorUtil::ErrorInt(FXLOC, 1, "%s is neither a registered client nor an operator",
                                  name.c_str());
  }
  if (err.IsError()) logRefusal(name, err);
  return err;
}

void KrpPeerPolicy::logRefusal(const std::string& name, const CZuError& why) {
  Clock::time_point now = Clock::now();
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (lastLogged_.size() >= kMaxLogEntries) lastLogged_.clear();
    auto it = lastLogged_.find(name);
    if (it != lastLogged_.end() && now - it->second < std::chrono::minutes(1)) return;
    lastLogged_[name] = now;
  }
  EvDebug().handleMsgEventDebug(-1, "KrpPeerPolicy", 0, nullptr, "Refused %s connection: %s",
                                server_.c_str(), why.Summary().c_str());
}
