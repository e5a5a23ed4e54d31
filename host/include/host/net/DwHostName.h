// Mangled host names: how the system stores a way to reach a client (a proxy
// or the central server) in one text:
//   <client name>@<network host name>:<dwdPort>:<evmgrcPort>
// for example "proxy1@10.0.0.5:8406:8407".  The ports are read from the right
// and the client name ends at the last '@', so IPv6 literal hosts survive the
// round trip.  Client names hold neither '@' nor ':' and hosts never hold '@'
// (DWClientDirectory::add refuses them).
#ifndef HOST_DWHOSTNAME_H
#define HOST_DWHOSTNAME_H

#include <string>
#include <string_view>

std::string MangleHostName(const std::string& netHostName, const std::string& clientName, int dwdPort,
                           int evmgrcPort);
// The same into `mangled`, whose storage is reused.
void MangleHostName(std::string_view netHostName, std::string_view clientName, int dwdPort, int evmgrcPort,
                    std::string* mangled);

// Splits a mangled host name; false (outputs untouched) when `mangled` is not
// in the form above.
bool DemangleHostName(const char* mangled, std::string& hostName, std::string& clientName, int& dwdPort,
                      int& evmgrcPort);

#endif  // HOST_DWHOSTNAME_H
