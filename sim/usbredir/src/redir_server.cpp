// The sockets and the one thread that serves them.
//
// Each probe listens on its own unix socket and serves one connection at a time (a second one
// is closed at once). The thread waits in poll() on every socket plus a wake-up pipe, then,
// under the lock: accepts, lets each device parse what came, lets the probes' time pass (a
// restart ends) and sends what is queued. Calls from other threads take the same lock and
// wake the thread so that what they queued goes out at once.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "klovsim/bus_adapter.h"
#include "klovsim/usbredir.h"
#include "redir_device.h"

namespace klovsim::usbredir {
namespace {

using std::chrono::microseconds;

constexpr int kPollMs = 5;  // how finely a probe's reset delay is kept

std::runtime_error SystemError(const std::string& what) {
    return std::runtime_error("usbredir: " + what + ": " + std::strerror(errno));
}

int Listen(const std::string& path) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        throw std::runtime_error("usbredir: socket path too long: " + path);
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw SystemError("socket");
    }
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 2) != 0) {
        const std::runtime_error e = SystemError("cannot listen on " + path);
        ::close(fd);
        throw e;
    }
    return fd;
}

}  // namespace

struct RedirServer::Impl {
    struct Probe {
        std::string path;
        int listenFd = -1;
        std::unique_ptr<RedirDevice> device;
    };

    std::string directory;
    bool log = false;
    mutable std::mutex m;
    std::vector<std::unique_ptr<Probe>> probes;
    int wake[2] = {-1, -1};
    std::atomic<bool> stop{false};
    std::thread thread;

    void Wake() const {
        const char c = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake[1], &c, 1);
    }

    void Serve();
    void Step(const std::vector<pollfd>& fds);

    template <typename F>
    auto With(int probe, F f) const {
        std::lock_guard<std::mutex> lk(m);
        if (probe < 0 || static_cast<std::size_t>(probe) >= probes.size()) {
            throw std::out_of_range("usbredir: no probe " + std::to_string(probe));
        }
        return f(*probes[static_cast<std::size_t>(probe)]->device);
    }
};

void RedirServer::Impl::Serve() {
    std::vector<pollfd> fds;
    while (!stop.load()) {
        fds.clear();
        fds.push_back({wake[0], POLLIN, 0});
        {
            std::lock_guard<std::mutex> lk(m);
            for (const auto& p : probes) {
                fds.push_back({p->listenFd, POLLIN, 0});
                const RedirDevice& d = *p->device;
                fds.push_back({d.fd(),
                               static_cast<short>(
                                   d.connected() ? POLLIN | (d.wantsWrite() ? POLLOUT : 0) : 0),
                               0});
            }
        }
        if (::poll(fds.data(), fds.size(), kPollMs) < 0 && errno != EINTR) {
            return;
        }
        Step(fds);
    }
}

void RedirServer::Impl::Step(const std::vector<pollfd>& fds) {
    if ((fds[0].revents & POLLIN) != 0) {
        char drain[64];
        while (::read(wake[0], drain, sizeof drain) > 0) {
        }
    }
    std::lock_guard<std::mutex> lk(m);
    const microseconds now = model::now();
    // Only the probes that were there when the poll set was built have entries in it.
    const std::size_t polled = (fds.size() - 1) / 2;
    for (std::size_t i = 0; i < probes.size(); ++i) {
        RedirDevice& d = *probes[i]->device;
        if (i < polled) {
            const pollfd& listening = fds[1 + 2 * i];
            const pollfd& connection = fds[2 + 2 * i];
            if ((listening.revents & POLLIN) != 0) {
                const int fd =
                    ::accept4(listening.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd >= 0 && d.connected()) {
                    ::close(fd);  // one guest per probe
                } else if (fd >= 0) {
                    d.open(fd);
                }
            } else if (connection.fd >= 0 && connection.fd == d.fd() &&
                       (connection.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                d.readable(now);
            }
        }
        d.poll(now);
        d.writable();
    }
}

RedirServer::RedirServer(std::string socketDirectory) : impl_(std::make_unique<Impl>()) {
    impl_->directory = std::move(socketDirectory);
    const char* log = std::getenv("KLOVSIM_USBREDIR_LOG");
    impl_->log = log != nullptr && *log != '\0' && std::strcmp(log, "0") != 0;
    if (::pipe2(impl_->wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        throw SystemError("pipe");
    }
    Impl* impl = impl_.get();
    impl_->thread = std::thread([impl] { impl->Serve(); });
}

RedirServer::~RedirServer() {
    impl_->stop.store(true);
    impl_->Wake();
    impl_->thread.join();
    for (auto& p : impl_->probes) {
        p->device.reset();
        ::close(p->listenFd);
        ::unlink(p->path.c_str());
    }
    ::close(impl_->wake[0]);
    ::close(impl_->wake[1]);
}

int RedirServer::addProbe(const ProbeConfig& config) {
    std::lock_guard<std::mutex> lk(impl_->m);
    const int index = static_cast<int>(impl_->probes.size());
    auto p = std::make_unique<Impl::Probe>();
    p->path = impl_->directory + "/probe" + std::to_string(index) + ".sock";
    p->listenFd = Listen(p->path);
    p->device = std::make_unique<RedirDevice>(config, "probe" + std::to_string(index), impl_->log);
    impl_->probes.push_back(std::move(p));
    impl_->Wake();
    return index;
}

std::string RedirServer::socketPath(int probe) const {
    std::lock_guard<std::mutex> lk(impl_->m);
    if (probe < 0 || static_cast<std::size_t>(probe) >= impl_->probes.size()) {
        throw std::out_of_range("usbredir: no probe " + std::to_string(probe));
    }
    return impl_->probes[static_cast<std::size_t>(probe)]->path;
}

void RedirServer::unplug(int probe) {
    impl_->With(probe, [](RedirDevice& d) { d.unplug(); });
    impl_->Wake();
}

void RedirServer::plug(int probe) {
    impl_->With(probe, [](RedirDevice& d) { d.plug(); });
    impl_->Wake();
}

ProbeState RedirServer::state(int probe) const {
    return impl_->With(probe, [](RedirDevice& d) { return d.model().state(); });
}
RedirServer::Counters RedirServer::counters(int probe) const {
    return impl_->With(probe, [](RedirDevice& d) { return d.counters(); });
}

}  // namespace klovsim::usbredir
