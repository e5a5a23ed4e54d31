// Which authenticated client names a server admits once the TLS handshake
// has proven the name: a fixed set (operators, configured names) and the
// names of a source such as the registered clients of the directory, fetched
// on demand and cached.  A refusal is logged at most once per name and
// minute, so a peer retrying in a loop can't flood the log.
//
// Registry, section "Security":
//   sOperatorNames  text  (none)  names admitted by every server of this
//                                 process besides the registered clients; on
//                                 the central server, the only names that may
//                                 edit the client directory
//   sTrustedNames   text  (none)  port lookup and control ports: the names
//                                 admitted there; empty: the central server's
//                                 name (Link sServerName), the operator names
//                                 and the clients registered with the server
// Lists are separated by commas or blanks.
#ifndef HOST_KRPPEERPOLICY_H
#define HOST_KRPPEERPOLICY_H

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "host/base/CZuError.h"

class KrpPeerPolicy {
 public:
  using Names = std::set<std::string>;
  using NameSource = std::function<CZuError(Names*)>;
  using Clock = std::chrono::steady_clock;

  // `server` names the refusing server in the log.  `source` may be empty.
  KrpPeerPolicy(std::string server, Names fixed, NameSource source);

  // Fails, with the reason, when `name` may not connect.
  CZuError admit(const std::string& name);

  // The central server's link: operators and the clients of `source`.
  static CZuError forLinkServer(NameSource registered, std::shared_ptr<KrpPeerPolicy>* out);
  // A host's port lookup and control ports (see sTrustedNames above).
  static CZuError forHostServer(const std::string& server, std::shared_ptr<KrpPeerPolicy>* out);

  static Names operatorNames();               // sOperatorNames
  static Names parseNames(const std::string& text);
  // A client name as the authority issues them: 1 to 64 letters, digits,
  // '.', '_' and '-', not starting with '.'.
  static bool wellFormed(const std::string& name);

  // How long fetched names are trusted, and how often an unknown name may
  // cause a fetch.
  static constexpr std::chrono::seconds kMaxAge{60};
  static constexpr std::chrono::seconds kRetry{2};

 private:
  // Whether the source names `name`, fetching when due; with mu_ held.
  CZuError known(const std::string& name, bool* found);
  void logRefusal(const std::string& name, const CZuError& why);

  const std::string server_;
  const Names fixed_;
  const NameSource source_;
  std::mutex mu_;
  Names fetched_;
  Clock::time_point fetchedAt_{};
  Clock::time_point triedAt_{};
  bool everFetched_ = false;
  std::map<std::string, Clock::time_point> lastLogged_;
};

#endif  // HOST_KRPPEERPOLICY_H
