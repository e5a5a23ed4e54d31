// The host's configuration store: sections of keys holding numbers or texts,
// loaded from a registry file that the hosting process names, followed when
// the file is edited, and overridable in-process (tests, embedded use).
//
// Registry file format (one setting per line):
//   # comment              ; comment
//   [Section]
//   key = value
// Section and key names are case-sensitive.  The value is the rest of the
// line with surrounding blanks removed; a value in double quotes keeps its
// blanks.  A number is decimal, optionally negative, or hexadecimal with 0x.
// A later line for the same key replaces an earlier one.  An edit of the
// file is seen within a second: the file is looked at at most once a second.
#ifndef HOST_DWPLATFORMINFO_H
#define HOST_DWPLATFORMINFO_H

#include <cstdint>
#include <string>

#include "host/base/CZuError.h"

// Default ports of a client machine: the port lookup (DwPortMap.h) and the
// event manager.
constexpr int kDwDefaultDwdPort = 8406;
constexpr int kDwDefaultEvmgrcPort = 8407;

class DWPlatformInfo {
 public:
  DWPlatformInfo() = default;

  // Non-zero when the key exists and holds a number.
  int getNumber(const char* section, const char* key, long long* value) const;
  // Non-zero when the key exists.
  int getString(const char* section, const char* key, std::string* value) const;
  // A number from `min` to `max`, or `def` when the key is absent; a value
  // that is not such a number is refused rather than guessed at.
  CZuError readNumber(const char* section, const char* key, int def, int min, int max,
                      int* value) const;

  // The local physical machine's client name ([Host] sClientName), or null
  // when not configured.  Valid until the next call on this object.
  const char* getPhysicalMachine();

  // The mangled host name (DwHostName.h) of `client`, which must be the
  // local physical machine: [Host] sNetHostName (default: the system's host
  // name), nDwdPort (default kDwDefaultDwdPort) and nEvmgrcPort (default
  // kDwDefaultEvmgrcPort).  Non-zero on success; 0 for another client or a
  // port out of range.
  int getClientHostNameMangled(const char* client, std::string& mangled);

  // Process-wide store management.
  // Names the registry file and loads it; later reads see edits to the file.
  // Fails when the file can't be read or holds a line that is not a comment,
  // a section header or a setting (the line number is in the message).
  static CZuError loadRegistryFile(const std::string& path);
  static std::string registryFile();
  // In-process values; they take precedence over the file.
  static void setValue(const std::string& section, const std::string& key, const std::string& value);
  static void setNumber(const std::string& section, const std::string& key, long long value);
  static void eraseValue(const std::string& section, const std::string& key);
  // Forgets the file and every in-process value.
  static void reset();
  // A number that changes whenever a value may have: set, erased, reset, or
  // the file loaded or found changed (looked at by this call), so that a
  // reader can keep what it derived from the values until it changes.
  static uint64_t generation();
  // The next read looks at the file, however recently it was looked at (a
  // reload asked for by the operator).
  static void recheckFile();

 private:
  std::string physicalMachine_;
};

// Host information about one client.
class DWPI_HostClient {
 public:
  explicit DWPI_HostClient(const char* clientName) : clientName_(clientName ? clientName : "") {}

  // The client's job results directory ([Host] sJobResultsDirectory when the
  // client is the local machine).  Non-zero when there is one.
  int getJobResultsDirectory(std::string* dir) const;

 private:
  std::string clientName_;
};

#endif  // HOST_DWPLATFORMINFO_H
