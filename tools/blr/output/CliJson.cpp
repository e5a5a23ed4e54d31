#include "output/CliJson.h"

#include <cerrno>
#include <fstream>
#include <iostream>
#include <iterator>

CZuError readJsonFile(const std::string& path, Json* out) {
  std::ifstream file;
  if (path != "-") {
    file.open(path);
    if (!file) return FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't open %s", path.c_str());
  }
  std::istream& in = path == "-" ? std::cin : file;
  try {
    *out = Json::parse(std::string(std::istreambuf_iterator<char>(in), {}));
  } catch (const Json::exception& e) {
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't parse %s: %s", path.c_str(), e.what());
  }
  return CZuError();
}
