// A file name in /tmp, removed when the object goes out of scope.
#ifndef BLR_TESTS_SUPPORT_TEMPFILE_H
#define BLR_TESTS_SUPPORT_TEMPFILE_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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

  std::vector<std::string> lines() const {
    std::ifstream in(path_);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

 private:
  std::string path_;
};

#endif  // BLR_TESTS_SUPPORT_TEMPFILE_H
