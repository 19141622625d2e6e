#include "run_klov.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace clitest {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

namespace {

// Starts klov with stdin from `inFd`, stdout and stderr into files of `dir`.
pid_t Start(const std::vector<std::string>& args, const Env& env, int inFd, const TempDir& dir,
            int closeInChild = -1) {
    const std::string outPath = dir.File("stdout");
    const std::string errPath = dir.File("stderr");
    std::vector<std::string> argv{KLOV_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (std::string& a : argv) {
        cargv.push_back(a.data());
    }
    cargv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        for (const auto& [name, value] : env) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(inFd, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
            _exit(127);
        }
        if (closeInChild >= 0) {
            close(closeInChild);
        }
        setsid();  // no controlling terminal of the test runner reaches the child
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    return pid;
}

Outcome Collect(int status, const TempDir& dir) {
    Outcome r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = Slurp(dir.File("stdout"));
    r.err = Slurp(dir.File("stderr"));
    return r;
}

Outcome Spawn(const std::vector<std::string>& args, const Env& env, int inFd, const TempDir& dir,
              int closeInChild = -1) {
    const pid_t pid = Start(args, env, inFd, dir, closeInChild);
    int status = 0;
    waitpid(pid, &status, 0);
    return Collect(status, dir);
}

}  // namespace

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "klov-cli-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

Outcome RunKlov(const std::vector<std::string>& args, const Env& env, const std::string& input) {
    TempDir dir;
    const std::string inPath = dir.File("stdin");
    std::ofstream(inPath, std::ios::binary) << input;
    const int in = open(inPath.c_str(), O_RDONLY);
    Outcome r = Spawn(args, env, in, dir);
    close(in);
    return r;
}

Outcome RunKlovUntilSignal(const std::vector<std::string>& args, const Env& env, int signal,
                           std::size_t afterLines) {
    TempDir dir;
    const int in = open("/dev/null", O_RDONLY);
    const pid_t pid = Start(args, env, in, dir);
    close(in);
    const auto lines = [&dir] {
        const std::string out = Slurp(dir.File("stdout"));
        return static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n'));
    };
    // klov should print its lines within seconds; a child that never does is sent the signal
    // anyway after a minute, so that the test fails on what it printed instead of hanging.
    // Until the child is reaped here, its process id cannot name another process.
    int status = 0;
    const auto reapedBy = [&](std::chrono::steady_clock::time_point deadline, auto waitMore) {
        while (std::chrono::steady_clock::now() < deadline && waitMore()) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    };
    const auto minute = [] { return std::chrono::steady_clock::now() + std::chrono::minutes(1); };
    if (reapedBy(minute(), [&] { return lines() < afterLines; })) {
        return Collect(status, dir);  // ended before the signal
    }
    kill(pid, signal);
    // A child that does not end on the signal is killed after a further minute (outcome -1).
    if (!reapedBy(minute(), [] { return true; })) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    return Collect(status, dir);
}

Outcome RunKlovOnTerminal(const std::vector<std::string>& args, const Env& env,
                          const std::string& input) {
    TempDir dir;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    // The answer waits in the terminal's input queue until klov reads it.
    if (write(master, input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
        throw std::runtime_error("could not write to the pseudo-terminal");
    }
    Outcome r = Spawn(args, env, slave, dir, master);
    close(slave);
    close(master);
    return r;
}

}  // namespace clitest
