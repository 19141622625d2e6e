// Child processes of the differential suite: a fresh process of a scenario, and the drop-in's
// twin of a scenario that the real libusb's run compares with.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "rig.h"

namespace differential {

std::string Self() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

Transcript RunChild(const std::string& program, const std::vector<std::string>& args,
                    const std::vector<std::string>& extraEnv,
                    const std::vector<std::string>& dropEnv) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string item = *e;
        const std::string name = item.substr(0, item.find('='));
        bool keep = true;
        for (const std::string& d : dropEnv) {
            keep = keep && name != d;
        }
        for (const std::string& x : extraEnv) {
            keep = keep && name != x.substr(0, x.find('='));
        }
        if (keep) {
            env.push_back(item);
        }
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    int fds[2];
    if (pipe(fds) != 0) {
        return {std::string("(no pipe: ") + std::strerror(errno) + ")"};
    }
    const pid_t pid = fork();
    if (pid < 0) {
        const int error = errno;
        close(fds[0]);
        close(fds[1]);
        return {std::string("(no child process: ") + std::strerror(error) + ")"};
    }
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        out.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    pid_t ended = -1;
    do {
        ended = waitpid(pid, &status, 0);
    } while (ended < 0 && errno == EINTR);
    const int waitError = ended == pid ? 0 : errno;
    Transcript lines;
    for (std::size_t at = 0; at < out.size();) {
        const std::size_t end = out.find('\n', at);
        lines.push_back(out.substr(at, end - at));
        at = end == std::string::npos ? out.size() : end + 1;
    }
    if (ended != pid) {
        lines.push_back("(" + program + " could not be waited for: " + std::strerror(waitError) +
                        ")");
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        lines.push_back("(" + program + " ended with status " + std::to_string(status) + ")");
    }
    return lines;
}

}  // namespace differential
