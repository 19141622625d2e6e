#include "guest_machine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace kernel_test {
namespace {

constexpr int kTickMs = 2;

std::vector<std::string> QemuArguments(const GuestOptions& o) {
    const std::string dir = KLOV_GUEST_DIR;
    std::string append = "console=ttyS0 quiet panic=-1 klov.run=" + o.scenario +
                         " klov.probes=" + std::to_string(o.sockets.size());
    for (const auto& [name, value] : o.args) {
        append += " klov." + name + "=" + value;
    }
    std::vector<std::string> a = {QEMU_SYSTEM,   "-machine",
                                  "pc",          "-accel",
                                  "tcg",         "-m",
                                  "512",         "-smp",
                                  "1",           "-nographic",
                                  "-nodefaults", "-serial",
                                  "stdio",       "-no-reboot",
                                  "-kernel",     dir + "/boot-image",
                                  "-initrd",     dir + "/initramfs.cpio.gz",
                                  "-append",     append};
    if (o.controller == Controller::Xhci) {
        a.insert(a.end(), {"-device", "qemu-xhci,id=usb"});
    } else {
        // A full-speed device on an EHCI port goes to a companion controller, as on a real
        // board: ICH9's EHCI with its three UHCI companions.
        a.insert(a.end(), {"-device", "ich9-usb-ehci1,id=usb,addr=1d.7,multifunction=on", "-device",
                           "ich9-usb-uhci1,masterbus=usb.0,firstport=0,addr=1d.0,multifunction=on",
                           "-device", "ich9-usb-uhci2,masterbus=usb.0,firstport=2,addr=1d.1",
                           "-device", "ich9-usb-uhci3,masterbus=usb.0,firstport=4,addr=1d.2"});
    }
    for (std::size_t i = 0; i < o.sockets.size(); ++i) {
        const std::string id = "probe" + std::to_string(i);
        a.insert(a.end(), {"-chardev", "socket,id=" + id + ",path=" + o.sockets[i], "-device",
                           "usb-redir,chardev=" + id + ",bus=usb.0"});
    }
    return a;
}

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

std::vector<std::string> GuestRun::Reports(const std::string& key) const {
    std::vector<std::string> found;
    const std::string prefix = "@@ " + key;
    for (const ConsoleLine& l : lines) {
        if (l.text.compare(0, prefix.size(), prefix) == 0 &&
            (l.text.size() == prefix.size() || l.text[prefix.size()] == ' ')) {
            found.push_back(l.text.size() > prefix.size() ? l.text.substr(prefix.size() + 1)
                                                          : std::string());
        }
    }
    return found;
}

std::optional<double> GuestRun::ReportedAt(const std::string& key) const {
    const std::string prefix = "@@ " + key;
    for (const ConsoleLine& l : lines) {
        if (l.text.compare(0, prefix.size(), prefix) == 0) {
            return l.at;
        }
    }
    return std::nullopt;
}

std::string GuestRun::Console() const {
    std::ostringstream s;
    for (const ConsoleLine& l : lines) {
        char at[32];
        std::snprintf(at, sizeof at, "[%7.3f] ", l.at);
        s << at << l.text << '\n';
    }
    return s.str();
}

std::map<std::string, std::string> Fields(const std::string& report) {
    std::map<std::string, std::string> f;
    std::istringstream words(report);
    std::string word;
    while (words >> word) {
        const auto eq = word.find('=');
        if (eq != std::string::npos) {
            f[word.substr(0, eq)] = word.substr(eq + 1);
        }
    }
    return f;
}

GuestRun RunGuest(const GuestOptions& options) {
    const std::vector<std::string> args = QemuArguments(options);
    std::vector<char*> argv;
    for (const std::string& s : args) {
        argv.push_back(const_cast<char*>(s.c_str()));
    }
    argv.push_back(nullptr);

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    const Clock::time_point start = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::close(out[0]);
        ::close(out[1]);
        throw std::runtime_error(std::string("fork: ") + std::strerror(error));
    }
    if (pid == 0) {
        // QEMU ends with the test program, however that ends.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        ::dup2(out[1], 1);
        ::dup2(out[1], 2);
        ::execv(argv[0], argv.data());
        std::fprintf(stderr, "cannot run %s: %s\n", argv[0], std::strerror(errno));
        ::_exit(127);
    }
    ::close(out[1]);
    // Whatever ends this function, a tick that throws included, QEMU is killed and reaped.
    int status = 0;
    struct Reaper {
        pid_t pid;
        int fd;
        int& status;
        bool done = false;
        void Finish() {
            if (!done) {
                done = true;
                ::close(fd);
                ::waitpid(pid, &status, 0);
            }
        }
        ~Reaper() {
            if (!done) {
                ::kill(pid, SIGKILL);
                Finish();
            }
        }
    } reaper{pid, out[0], status};

    GuestRun run;
    std::string partial;
    auto take = [&](std::string text) {
        // The firmware does not end its last line: a report may follow it on the same line.
        if (const auto report = text.find("@@ "); report != std::string::npos && report > 0) {
            text.erase(0, report);
        }
        ConsoleLine line{Since(start), text};
        std::printf("[guest %7.3f] %s\n", line.at, text.c_str());
        std::fflush(stdout);
        if (text.rfind("@@ exit ", 0) == 0) {
            run.exitStatus = std::atoi(text.c_str() + 8);
        }
        run.lines.push_back(std::move(line));
    };
    for (;;) {
        pollfd p = {out[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, kTickMs);
        if (ready > 0) {
            char buffer[4096];
            const ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n <= 0) {
                break;  // QEMU has ended
            }
            for (ssize_t i = 0; i < n; ++i) {
                const char c = buffer[i];
                if (c == '\n') {
                    take(partial);
                    partial.clear();
                } else if (c != '\r') {
                    partial += c;
                }
            }
        }
        if (options.tick) {
            options.tick();
        }
        if (!run.timedOut && Clock::now() - start > options.limit) {
            run.timedOut = true;
            ::kill(pid, SIGKILL);
        }
    }
    if (!partial.empty()) {
        take(partial);
    }
    reaper.Finish();
    run.qemuStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.seconds = Since(start);
    return run;
}

}  // namespace kernel_test
