// Moving a trial's client directory to another database: `blr certs init`
// writes it to the central server's SQLite files, and a server given a
// PostgreSQL database instead needs the same entries there.
#ifndef BLR_TESTS_SUPPORT_CLIENTDIRECTORY_H
#define BLR_TESTS_SUPPORT_CLIENTDIRECTORY_H

#include <sstream>
#include <string>
#include <vector>

// The `blr-anchor client add` arguments (after the program's name) that
// store each client of `listed`, the output of `blr-anchor client list`, in
// the database of `registry`.
inline std::vector<std::string> clientAddArguments(const std::string& listed, const std::string& registry) {
  std::vector<std::string> out;
  std::istringstream rows(listed.substr(listed.find('\n') + 1));  // past the heading
  std::string line;
  while (std::getline(rows, line)) {
    std::istringstream f(line);
    std::string id, name, host, dwd, evmgrc;
    if (!(f >> id >> name >> host >> dwd >> evmgrc)) continue;
    out.push_back("client add --id " + id + " --name " + name + " --host " + host + " --dwd-port " + dwd +
                  " --evmgrc-port " + evmgrc + " --registry " + registry);
  }
  return out;
}

#endif  // BLR_TESTS_SUPPORT_CLIENTDIRECTORY_H
