#include "host/config/DWPlatformInfo.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>

#include "host/net/DwHostName.h"

namespace {

using Section = std::map<std::string, std::string>;
using Sections = std::map<std::string, Section>;

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// Parses registry text; returns the number of the first malformed line, or 0.
int parseRegistry(std::istream& in, Sections* out) {
  std::string line, section;
  int lineNo = 0, firstBad = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    std::string t = trim(line);
    if (t.empty() || t[0] == '#' || t[0] == ';') continue;
    if (t.front() == '[' && t.back() == ']') {
      section = trim(t.substr(1, t.size() - 2));
      continue;
    }
    size_t eq = t.find('=');
    std::string key = eq == std::string::npos ? std::string() : trim(t.substr(0, eq));
    if (key.empty()) {
      if (firstBad == 0) firstBad = lineNo;
      continue;
    }
    std::string value = trim(t.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    (*out)[section][key] = value;
  }
  return firstBad;
}

bool parseNumber(const std::string& text, long long* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0') return false;
  *value = v;
  return true;
}

// The process's configuration: the registry file's contents, reloaded when the
// file changes, under the in-process values.
class RegistryStore {
 public:
  static RegistryStore& instance() {
    static RegistryStore store;
    return store;
  }

  CZuError load(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    path_ = path;
    stamp_ = FileStamp();
    file_.clear();
    ++generation_;
    return reloadLocked(true);
  }

  void recheck() {
    std::lock_guard<std::mutex> lock(mu_);
    lookedAt_ = Clock::time_point();
  }

  bool lookup(const std::string& section, const std::string& key, std::string* value) {
    std::lock_guard<std::mutex> lock(mu_);
    if (find(overrides_, section, key, value)) return true;
    if (!path_.empty()) reloadLocked(false);
    return find(file_, section, key, value);
  }

  void set(const std::string& section, const std::string& key, const std::string& value) {
    std::lock_guard<std::mutex> lock(mu_);
    overrides_[section][key] = value;
    ++generation_;
  }

  void erase(const std::string& section, const std::string& key) {
    std::lock_guard<std::mutex> lock(mu_);
    overrides_[section].erase(key);
    ++generation_;
  }

  void reset() {
    std::lock_guard<std::mutex> lock(mu_);
    path_.clear();
    stamp_ = FileStamp();
    file_.clear();
    overrides_.clear();
    ++generation_;
  }

  uint64_t generation() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!path_.empty()) reloadLocked(false);
    return generation_;
  }

  std::string path() {
    std::lock_guard<std::mutex> lock(mu_);
    return path_;
  }

 private:
  struct FileStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    struct timespec mtime {};
    bool operator==(const FileStamp& o) const {
      return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
             mtime.tv_nsec == o.mtime.tv_nsec;
    }
  };

  static bool find(const Sections& sections, const std::string& section, const std::string& key,
                   std::string* value) {
    auto s = sections.find(section);
    if (s == sections.end()) return false;
    auto k = s->second.find(key);
    if (k == s->second.end()) return false;
    *value = k->second;
    return true;
  }

  // Re-reads the file when it changed since the last read, looking at it at
  // most once a second: every key lookup comes here.  A file that can't be
  // read keeps the values last read from it.
  CZuError reloadLocked(bool strict) {
    const Clock::time_point now = Clock::now();
    if (!strict && now - lookedAt_ < std::chrono::seconds(1)) return CZuError();
    lookedAt_ = now;
    struct stat st;
    if (::stat(path_.c_str(), &st) != 0)
      return FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't read registry file %s", path_.c_str());
    FileStamp stamp;
    stamp.dev = st.st_dev;
    stamp.ino = st.st_ino;
    stamp.size = st.st_size;
    stamp.mtime = st.st_mtim;
    if (!strict && stamp == stamp_) return CZuError();
    std::ifstream in(path_);
    if (!in)
      return FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't open registry file %s", path_.c_str());
    Sections parsed;
    int bad = parseRegistry(in, &parsed);
    file_.swap(parsed);
    stamp_ = stamp;
    ++generation_;
    if (bad != 0 && strict)
      return FXErrorUtil::ErrorInt(FXLOC, 1, "Registry file %s: line %d is not a setting", path_.c_str(), bad);
    return CZuError();
  }

  using Clock = std::chrono::steady_clock;

  std::mutex mu_;
  std::string path_;
  FileStamp stamp_;
  Clock::time_point lookedAt_;
  Sections file_;
  Sections overrides_;
  uint64_t generation_ = 0;
};

}  // namespace

int DWPlatformInfo::getNumber(const char* section, const char* key, long long* value) const {
  std::string text;
  if (!RegistryStore::instance().lookup(section, key, &text)) return 0;
  return parseNumber(text, value) ? 1 : 0;
}

int DWPlatformInfo::getString(const char* section, const char* key, std::string* value) const {
  return RegistryStore::instance().lookup(section, key, value) ? 1 : 0;
}

CZuError DWPlatformInfo::readNumber(const char* section, const char* key, int def, int min, int max,
                                    int* value) const {
  std::string text;
  if (!getString(section, key, &text)) {
    *value = def;
    return CZuError();
  }
  long long n = 0;
  if (!getNumber(section, key, &n) || n < min || n > max)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Registry [%s] %s = \"%s\" is not a number from %d to %d",
                                 section, key, text.c_str(), min, max);
  *value = static_cast<int>(n);
  return CZuError();
}

const char* DWPlatformInfo::getPhysicalMachine() {
  if (!getString("Host", "sClientName", &physicalMachine_) || physicalMachine_.empty()) return nullptr;
  return physicalMachine_.c_str();
}

int DWPlatformInfo::getClientHostNameMangled(const char* client, std::string& mangled) {
  const char* local = getPhysicalMachine();
  if (client == nullptr || local == nullptr || std::strcmp(client, local) != 0) return 0;
  std::string netHost;
  if (!getString("Host", "sNetHostName", &netHost) || netHost.empty()) {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return 0;
    netHost = name;
  }
  long long dwdPort = kDwDefaultDwdPort, evmgrcPort = kDwDefaultEvmgrcPort;
  getNumber("Host", "nDwdPort", &dwdPort);
  getNumber("Host", "nEvmgrcPort", &evmgrcPort);
  if (dwdPort < 1 || dwdPort > 65535 || evmgrcPort < 0 || evmgrcPort > 65535) return 0;
  mangled = MangleHostName(netHost, client, static_cast<int>(dwdPort), static_cast<int>(evmgrcPort));
  return 1;
}

CZuError DWPlatformInfo::loadRegistryFile(const std::string& path) {
  return RegistryStore::instance().load(path);
}

std::string DWPlatformInfo::registryFile() { return RegistryStore::instance().path(); }

void DWPlatformInfo::setValue(const std::string& section, const std::string& key, const std::string& value) {
  RegistryStore::instance().set(section, key, value);
}

void DWPlatformInfo::setNumber(const std::string& section, const std::string& key, long long value) {
  RegistryStore::instance().set(section, key, std::to_string(value));
}

void DWPlatformInfo::eraseValue(const std::string& section, const std::string& key) {
  RegistryStore::instance().erase(section, key);
}

void DWPlatformInfo::reset() { RegistryStore::instance().reset(); }

uint64_t DWPlatformInfo::generation() { return RegistryStore::instance().generation(); }

void DWPlatformInfo::recheckFile() { RegistryStore::instance().recheck(); }

int DWPI_HostClient::getJobResultsDirectory(std::string* dir) const {
  DWPlatformInfo info;
  const char* local = info.getPhysicalMachine();
  if (local == nullptr || clientName_ != local) return 0;
  std::string value;
  if (!info.getString("Host", "sJobResultsDirectory", &value) || value.empty()) return 0;
  *dir = value;
  return 1;
}
