// A file or directory name in /tmp, removed when the object goes out of scope.
#ifndef BLR_TESTS_SUPPORT_TEMPFILE_H
#define BLR_TESTS_SUPPORT_TEMPFILE_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

class TempFile {
 public:
  TempFile() {
    char tmpl[] = "/tmp/blr-test-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd >= 0) ::close(fd);
    path_ = tmpl;
  }
  ~TempFile() { std::remove(path_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::string& path() const { return path_; }

  void write(const std::string& text) const { std::ofstream(path_, std::ios::trunc) << text; }
  std::vector<std::string> lines() const {
    std::ifstream in(path_);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

 private:
  std::string path_;
};

// A fresh directory below `parent` (falling back to /tmp), removed with all
// it holds.
class TempDir {
 public:
  explicit TempDir(const std::string& parent = "/tmp") {
    for (const std::string& p : {parent, std::string("/tmp")}) {
      std::string tmpl = p + "/blr-test-XXXXXX";
      if (mkdtemp(&tmpl[0]) != nullptr) {
        path_ = tmpl;
        break;
      }
    }
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

#endif  // BLR_TESTS_SUPPORT_TEMPFILE_H
