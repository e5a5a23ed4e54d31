// A trial installation on one host, as `blr certs init --registries` makes
// it: which ports each member uses, its registry file, and the central
// server's client directory filled with the proxies.
#ifndef TOOLS_BLR_CLITRIAL_H
#define TOOLS_BLR_CLITRIAL_H

#include <string>
#include <vector>

#include "host/base/CZuError.h"

struct TrialMember {
  std::string name;
  bool anchor = false;
  bool proxy = false;
  int clientId = 0;  // in the client directory (proxies only)
  int dwdPort = 0;
  int evmgrcPort = 0;
  int ctrlPort = 0;  // proxies only
  int ctrlPort2 = 0;
};

struct TrialPlan {
  std::string dir;  // absolute
  std::string host;
  int serverPort = 0;
  std::vector<std::string> operators;  // admitted everywhere; may edit the client directory
  std::vector<TrialMember> members;  // the central server first

  const TrialMember* anchor() const { return &members.front(); }
  std::string registryPath(const TrialMember& m) const { return dir + "/" + m.name + ".reg"; }
};

// Lays the members out from `portBase` (the central server's port; each
// member gets ten ports above the previous one), or, when it is 0, from a
// base whose ports are all free on `plan->host`.  `plan` holds the dir, host
// and members already; their ports and client ids are filled in.
CZuError trialAssignPorts(int portBase, TrialPlan* plan);

// Writes every member's registry file and job results directory.
CZuError trialWriteRegistries(const TrialPlan& plan);

// Adds the proxies to the central server's client directory, in its
// database as the central server's registry names it.
CZuError trialRegisterProxies(const TrialPlan& plan);

// The command lines that start the servers of the trial, central server first.
std::vector<std::string> trialStartCommands(const TrialPlan& plan);

#endif  // TOOLS_BLR_CLITRIAL_H
