// Runs the examples of the documentation: every line of every ```sh block of
// a file, in order, in a fresh directory that stands for the text's
// /tmp/blr-trial.  A line ending in '&' starts a server and waits until it is
// ready; "# exits N" after a command gives its expected exit status.  Lines
// running scripts/ are left to CI, which runs them itself.
#include <gtest/gtest.h>

#include <regex>

#include "CliEnv.h"

namespace {

struct Example {
  std::string command;
  int exitCode = 0;
};

std::vector<Example> examples(const std::string& markdown) {
  std::vector<Example> out;
  std::istringstream in(markdown);
  bool inBlock = false;
  std::string pending;
  const std::regex exits(R"(\s+#\s*exits (\d+).*$)");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("```", 0) == 0) {
      inBlock = !inBlock && line == "```sh";
      continue;
    }
    if (!inBlock || line.empty() || line[0] == '#') continue;
    if (line.back() == '\\') {  // continued on the next line
      pending += line.substr(0, line.size() - 1);
      continue;
    }
    Example ex;
    ex.command = pending + line;
    pending.clear();
    std::smatch m;
    if (std::regex_search(ex.command, m, exits)) {
      ex.exitCode = std::stoi(m[1]);
      ex.command = ex.command.substr(0, m.position(0));
    }
    ex.command = std::regex_replace(ex.command, std::regex(R"(\s+#.*$)"), "");
    if (ex.command.rfind("scripts/", 0) != 0) out.push_back(ex);
  }
  return out;
}

void runExamples(const std::string& file) {
  CliEnv env;
  std::ifstream in(std::string(BLR_SOURCE_DIR) + "/" + file);
  std::vector<Example> list = examples(std::string(std::istreambuf_iterator<char>(in), {}));
  ASSERT_FALSE(list.empty()) << file << " holds no example";
  for (Example& ex : list) {
    SCOPED_TRACE(file + ": " + ex.command);
    ex.command = std::regex_replace(ex.command, std::regex("/tmp/blr-trial"), env.dir);
    if (ex.command.rfind("cd ", 0) == 0) continue;  // every line runs in the directory
    if (ex.command.back() == '&') {
      ASSERT_NE(env.start(ex.command.substr(0, ex.command.size() - 1)), "");
      continue;
    }
    CliEnv::Result r = env.run(ex.command);
    ASSERT_EQ(r.code, ex.exitCode) << r.out << r.err;
  }
}

TEST(DocsTest, CommandLineWalkThrough) { runExamples("docs/cli.md"); }
TEST(DocsTest, ProxySimulator) { runExamples("docs/proxy.md"); }

}  // namespace
