// Runs klov as a child process with extra environment and a given standard input, and
// collects what it printed and how it ended.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace clitest {

using Env = std::vector<std::pair<std::string, std::string>>;

struct Outcome {
    int code = -1;  // exit status, or -1 when the child did not exit normally
    std::string out;
    std::string err;
};

Outcome RunKlov(const std::vector<std::string>& args, const Env& env = {},
                const std::string& input = {});

// Starts klov, waits until it has printed `afterLines` lines, sends it `signal` and collects
// how it ended.
Outcome RunKlovUntilSignal(const std::vector<std::string>& args, const Env& env, int signal,
                           std::size_t afterLines);

// As RunKlov, with standard input on a pseudo-terminal fed with `input`.
Outcome RunKlovOnTerminal(const std::vector<std::string>& args, const Env& env,
                          const std::string& input);

// The whole content of a file; empty when it cannot be read.
std::string Slurp(const std::string& path);

// A fresh, empty folder under the test's temporary area, removed by the destructor.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

}  // namespace clitest
