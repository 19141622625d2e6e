// The worker processes of a sweep. The simulator's bus is process-wide, so a sweep runs its
// cases in `jobs` forked processes; each sends its tally back through a pipe as raw bytes and
// the parent adds them up.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace sweep {

namespace detail {

inline bool WriteAll(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

inline bool ReadAll(int fd, void* data, std::size_t size) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = read(fd, p, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace detail

// Runs body(w, tally) for w = 0 .. jobs-1, each in a process of its own with a fresh Tally,
// and adds every worker's tally to `total` (Tally::Add). `program` starts the messages.
// False when a worker could not be started, or failed or sent no tally; what the others
// sent is added all the same.
template <typename Tally, typename Body>
bool RunWorkers(const char* program, int jobs, Tally& total, Body body) {
    static_assert(std::is_trivially_copyable_v<Tally>, "a tally travels as raw bytes");
    bool complete = true;
    std::vector<std::pair<pid_t, int>> workers;
    for (int w = 0; w < jobs; ++w) {
        int fds[2];
        if (pipe(fds) != 0) {
            std::perror((std::string(program) + ": pipe").c_str());
            complete = false;
            break;
        }
        const pid_t pid = fork();
        if (pid < 0) {
            std::perror((std::string(program) + ": fork").c_str());
            close(fds[0]);
            close(fds[1]);
            complete = false;
            break;
        }
        if (pid == 0) {
            close(fds[0]);
            Tally t;
            body(w, t);
            _exit(detail::WriteAll(fds[1], &t, sizeof t) ? 0 : 1);
        }
        close(fds[1]);
        workers.emplace_back(pid, fds[0]);
    }
    // Workers already running are waited for even when another could not be started.
    for (auto [pid, fd] : workers) {
        Tally t;
        const bool got = detail::ReadAll(fd, &t, sizeof t);
        close(fd);
        int status = 0;
        pid_t ended = -1;
        do {
            ended = waitpid(pid, &status, 0);
        } while (ended < 0 && errno == EINTR);
        if (!got || ended != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "%s: a worker process failed (status %d)\n", program, status);
            complete = false;
            continue;
        }
        total.Add(t);
    }
    return complete;
}

}  // namespace sweep
