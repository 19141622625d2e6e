// Fault sweep over a whole firmware update.
//
// Runs the update behind the Update button (the updater core, the shipping library loaded by
// file name, a simulated probe on a virtual clock) once without faults to number its USB
// exchanges, then, for every chosen exchange index k and every fault kind, runs a fresh update
// with that one fault at exchange k, followed by one more press of Update with no fault.
//
// What must hold for every case:
//  - the probe is never bricked (boot flag selecting an application that cannot start),
//    checked after every library call of both runs;
//  - a faulted run that ends without any message really did the whole update (otherwise it
//    is a false success);
//  - the press after it ends without a message, with the probe in application mode, the
//    patched firmware in flash (bootloader area untouched), the probe's own serial number and
//    production date in its identity block, and no write violation.
//
// Usage: fault_sweep [--stride N] [--offset N] [--ends N] [--jobs N] [--kinds a,b,...] [--verbose]
// (every stride-th exchange index from offset, plus all among the first and last `ends`)
// Exit status 0 when every case held, 1 when any did not, 2 for bad arguments.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "firmware_module.h"
#include "hex_reader.h"
#include "host.h"
#include "identity_patch.h"
#include "klovsim/sim.h"
#include "library_binding.h"
#include "serial_dlg.h"
#include "top_level.h"

namespace {

using klovsim::Fault;
using namespace mirovane;

constexpr const char* kSerial = "04124008";
constexpr const char* kDate = "20121228";  // the probe's own date, also its table entry
constexpr int kMaxDialogs = 3;

struct Kind {
    Fault fault;
    const char* name;
    bool needsRead;  // hits the reply of an exchange, so only exchanges that read one
};

const Kind kKinds[] = {
    {Fault::ReadTimeout, "no-reply", true},
    {Fault::ReadFails, "read-error", true},
    {Fault::WriteFails, "write-error", false},
    {Fault::WriteTimeout, "write-timeout", false},
    {Fault::WriteShort, "short-write", false},
    {Fault::GarbleEcho, "garbled-echo", true},
    {Fault::GarbleSelector, "garbled-selector", true},
    {Fault::GarbleData, "garbled-data", true},
    {Fault::ReadShort, "short-reply", true},
    {Fault::Unplug, "unplug", false},
    {Fault::UnplugBeforeReply, "unplug-before-reply", true},
};
constexpr std::size_t kKindCount = std::size(kKinds);

// ----- a host for the core: instant events, Timer1 on the simulator's virtual clock --------

class SweepHost final : public Host {
  public:
    explicit SweepHost(ArdellixApi& api) : api_(api) {}

    TopLevel* top = nullptr;
    std::vector<std::string> messages;
    int dialogs = 0;

    void ErrorBox(const std::string& message) override { messages.push_back(message); }
    void ProcessEvents() override { DeliverDueTicks(); }
    void WaitForEvents() override {
        if (!timerOn_) {
            // Nothing could ever end this wait; end it rather than hang the sweep.
            messages.push_back("sweep: wait with Timer1 off");
            top->TimerElapsed = true;
            return;
        }
        const auto now = klovsim::Clock::now();
        if (nextTick_ > now) {
            klovsim::Clock::advance(nextTick_ - now);
        }
        DeliverDueTicks();
    }
    void SetWaitCursor(bool) override {}
    // The operator types the serial number printed on the probe.
    void ShowSerialDlg(SerialDlg& dlg) override {
        if (++dialogs > kMaxDialogs) {
            dlg.cmdCancel_Click();
            return;
        }
        dlg.txtSerialNo.Text = kSerial;
        dlg.cmdOK_Click();
    }
    void TimerChanged(const TimerControl& timer) override {
        timerOn_ = timer.Enabled;
        interval_ = std::chrono::milliseconds(timer.Interval);
        nextTick_ = klovsim::Clock::now() + interval_;
    }
    std::string FormatLongDate(int year, int month, int day) override {
        return std::to_string(year) + "-" + std::to_string(month) + "-" + std::to_string(day);
    }
    ArdellixApi& Library() override { return api_; }

  private:
    void DeliverDueTicks() {
        while (timerOn_ && klovsim::Clock::now() >= nextTick_) {
            nextTick_ += interval_;
            top->Timer1_Timer();
        }
    }

    ArdellixApi& api_;
    bool timerOn_ = false;
    std::chrono::microseconds interval_{1000000};
    std::chrono::microseconds nextTick_{0};
};

// ----- the library, watched: the probe is looked at after every call -------------------------

class WatchedApi final : public ArdellixApi {
  public:
    explicit WatchedApi(ArdellixApi& next) : next_(next) {}

    bool bricked = false;
    bool recordCalls = false;
    std::vector<std::pair<std::int64_t, const char*>> callStarts;  // first exchange, name

    ScaHandle OpenSCA(std::int32_t i) override {
        return Watch("OpenSCA", [&] { return next_.OpenSCA(i); });
    }
    ScaHandle OpenSCABootloader(std::int32_t i) override {
        return Watch("OpenSCABootloader", [&] { return next_.OpenSCABootloader(i); });
    }
    std::int32_t CloseSCA(ScaHandle h) override {
        return Watch("CloseSCA", [&] { return next_.CloseSCA(h); });
    }
    std::int32_t ReadSerialNo(ScaHandle h, char* s) override {
        return Watch("ReadSerialNo", [&] { return next_.ReadSerialNo(h, s); });
    }
    std::int32_t ReadDeviceInfo(ScaHandle h, std::int32_t sel, char* t) override {
        return Watch("ReadDeviceInfo", [&] { return next_.ReadDeviceInfo(h, sel, t); });
    }
    std::int32_t SetBootloaderFlag(ScaHandle h, std::int32_t b) override {
        return Watch("SetBootloaderFlag", [&] { return next_.SetBootloaderFlag(h, b); });
    }
    std::int32_t ResetController(ScaHandle h) override {
        return Watch("ResetController", [&] { return next_.ResetController(h); });
    }
    std::int32_t EraseFlashBlock(ScaHandle h, std::uint32_t a) override {
        return Watch("EraseFlashBlock", [&] { return next_.EraseFlashBlock(h, a); });
    }
    std::int32_t WriteFlash(ScaHandle h, std::uint32_t a, const std::uint8_t* d,
                            std::int32_t n) override {
        return Watch("WriteFlash", [&] { return next_.WriteFlash(h, a, d, n); });
    }
    std::int32_t VerifyFlash(ScaHandle h, std::uint32_t a, const std::uint8_t* d,
                             std::int32_t n) override {
        return Watch("VerifyFlash", [&] { return next_.VerifyFlash(h, a, d, n); });
    }

  private:
    template <typename F>
    auto Watch(const char* name, F call) -> decltype(call()) {
        if (recordCalls) {
            callStarts.emplace_back(klovsim::Bus::instance().exchanges(), name);
        }
        auto result = call();
        Look();
        return result;
    }
    void Look() {
        if (klovsim::Bus::instance().probeCount() > 0 &&
            klovsim::Bus::instance().probe(0).bricked()) {
            bricked = true;
        }
    }
    ArdellixApi& next_;
};

// ----- one world: a fresh bus with one probe and a freshly loaded main window ----------------

struct NoBoxes : MessageBoxes {
    void ErrorBox(const std::string& message) override {
        std::fprintf(stderr, "fault_sweep: firmware: %s\n", message.c_str());
    }
};

class World {
  public:
    explicit World(ArdellixApi& library) : api(library), host(api), top(host) {
        klovsim::Bus::instance().reset();
        klovsim::Clock::setVirtual(true);
        klovsim::ProbeConfig config;
        config.serial = kSerial;
        config.productionDate = kDate;
        probe = std::make_unique<klovsim::Probe>(klovsim::Bus::instance().addProbe(config));
        initialFlash = probe->flash();
        klovsim::Bus::instance().setLogging(false);
        host.top = &top;
        top.Form_Load();
    }
    ~World() {
        // The window never closes its connection; do it so no handle outlives this bus.
        if (top.DeviceHandle != 0) {
            api.CloseSCA(top.DeviceHandle);
        }
    }

    // One press of Update; the messages it showed.
    std::vector<std::string> Press() {
        host.messages.clear();
        host.dialogs = 0;
        top.cmdUpload_Click();
        return host.messages;
    }

    // Empty when the probe holds the update; else what is wrong.
    std::string Check(const FirmwareImage& expected) const {
        const klovsim::Probe& p = *probe;
        if (p.bricked()) {
            return "bricked";
        }
        if (!p.onBus() || p.mode() != klovsim::Mode::Application) {
            return "not running its application";
        }
        if (p.bootFlag() != klovsim::kBootFlagApplication) {
            return "boot flag not set to the application";
        }
        const auto flash = p.flash();
        for (std::uint32_t a = 0; a < klovsim::kFlashSize; ++a) {
            const std::uint8_t want =
                a < klovsim::kBootloaderEnd ? initialFlash[a] : expected.FWImage[a];
            if (flash[a] != want) {
                char text[64];
                std::snprintf(text, sizeof text, "flash differs at 0x%04X", a);
                return text;
            }
        }
        auto field = [&](std::uint32_t at) {
            return std::string(reinterpret_cast<const char*>(flash.data() + at), 8);
        };
        if (field(klovsim::kIdentitySerial) != kSerial || field(klovsim::kIdentityDate) != kDate) {
            return "identity block holds another serial number or date";
        }
        if (!p.writeViolations().empty()) {
            return "write violation";
        }
        return {};
    }

    // The probe as Check() wants it, and the window connected to it showing its serial number.
    std::string CheckWithWindow(const FirmwareImage& expected) const {
        if (std::string probeState = Check(expected); !probeState.empty()) {
            return probeState;
        }
        if (top.DeviceHandle == 0 ||
            top.StatusText != std::string("Connected to kLOV with S/N ") + kSerial) {
            return "window not connected to the updated probe";
        }
        return {};
    }

    WatchedApi api;
    SweepHost host;
    TopLevel top;
    std::unique_ptr<klovsim::Probe> probe;
    std::array<std::uint8_t, klovsim::kFlashSize> initialFlash{};
};

FirmwareImage ExpectedImage() {
    FirmwareImage image;
    NoBoxes boxes;
    FWFileInit();
    if (!ReadFWFile(image, FWFile, boxes) || !PatchInfo(image, 4124008, kDate, boxes)) {
        std::exit(1);
    }
    return image;
}

// ----- the fault-free run that numbers the exchanges ------------------------------------------

struct Baseline {
    std::int64_t exchanges = 0;
    std::vector<bool> hasRead;        // the exchange reads a reply
    std::vector<const char*> callOf;  // the library call the exchange belongs to
};

bool RunBaseline(ArdellixApi& library, const FirmwareImage& expected, Baseline& out) {
    World w(library);
    klovsim::Bus::instance().setLogging(true);
    w.api.recordCalls = true;
    const auto messages = w.Press();
    const std::string state = w.CheckWithWindow(expected);
    if (!messages.empty() || !state.empty() || w.api.bricked) {
        std::fprintf(stderr, "fault_sweep: the update without faults did not succeed: %s%s\n",
                     messages.empty() ? "" : messages.front().c_str(), state.c_str());
        return false;
    }
    out.exchanges = klovsim::Bus::instance().exchanges();
    out.hasRead.assign(static_cast<std::size_t>(out.exchanges), false);
    std::int64_t index = -1;
    for (const klovsim::LogEntry& e : klovsim::Bus::instance().log()) {
        if (e.call == "usb_bulk_write") {
            ++index;
        } else if (e.call == "usb_bulk_read" && index >= 0) {
            out.hasRead[static_cast<std::size_t>(index)] = true;
        }
    }
    out.callOf.assign(static_cast<std::size_t>(out.exchanges), "?");
    for (const auto& [start, name] : w.api.callStarts) {
        for (std::int64_t k = start; k < out.exchanges; ++k) {
            out.callOf[static_cast<std::size_t>(k)] = name;
        }
    }
    return true;
}

// ----- one faulted case and its tally ---------------------------------------------------------

struct Tally {
    std::int64_t presses = 0;
    std::array<std::int64_t, kKindCount> faults{};     // faulted runs
    std::array<std::int64_t, kKindCount> failed{};     // ... that ended with a message
    std::array<std::int64_t, kKindCount> absorbed{};   // ... that completed the update anyway
    std::array<std::int64_t, kKindCount> recovered{};  // the next press completed the update
    std::array<std::int64_t, kKindCount> bricked{};
    std::array<std::int64_t, kKindCount> falseSuccesses{};

    void Add(const Tally& o) {
        presses += o.presses;
        for (std::size_t i = 0; i < kKindCount; ++i) {
            faults[i] += o.faults[i];
            failed[i] += o.failed[i];
            absorbed[i] += o.absorbed[i];
            recovered[i] += o.recovered[i];
            bricked[i] += o.bricked[i];
            falseSuccesses[i] += o.falseSuccesses[i];
        }
    }
    static std::int64_t Sum(const std::array<std::int64_t, kKindCount>& a) {
        std::int64_t s = 0;
        for (auto v : a) {
            s += v;
        }
        return s;
    }
};

void RunCase(ArdellixApi& library, const FirmwareImage& expected, std::size_t kind, std::int64_t k,
             const char* call, bool verbose, Tally& t) {
    World w(library);
    klovsim::Bus::instance().inject({kKinds[kind].fault, k, 1, klovsim::Counting::ByExchange, -1});
    const auto first = w.Press();
    klovsim::Bus::instance().clearFaults();
    if (kKinds[kind].fault == Fault::Unplug || kKinds[kind].fault == Fault::UnplugBeforeReply) {
        w.probe->plug();
    }
    const std::string afterFirst = w.Check(expected);
    bool bricked = w.api.bricked || w.probe->bricked();
    bool falseSuccess = first.empty() && !afterFirst.empty();

    // One more press of Update, with no fault and nothing else done in between, must bring
    // the probe back with the new firmware.
    const auto second = w.Press();
    const std::string afterSecond = w.CheckWithWindow(expected);
    bricked = bricked || w.api.bricked || w.probe->bricked();
    falseSuccess = falseSuccess || (second.empty() && !afterSecond.empty());
    const bool recovered = second.empty() && afterSecond.empty();
    t.presses += 2;
    ++t.faults[kind];
    ++(first.empty() ? t.absorbed : t.failed)[kind];
    t.recovered[kind] += recovered ? 1 : 0;
    t.bricked[kind] += bricked ? 1 : 0;
    t.falseSuccesses[kind] += falseSuccess ? 1 : 0;

    if (verbose || bricked || falseSuccess || !recovered) {
        std::fprintf(stderr, "%s %-16s at %5lld (%s): %s | then: %s%s%s\n",
                     recovered && !bricked && !falseSuccess ? "ok  " : "FAIL", kKinds[kind].name,
                     static_cast<long long>(k), call,
                     first.empty() ? (afterFirst.empty() ? "completed" : afterFirst.c_str())
                                   : first.front().c_str(),
                     second.empty() ? "" : second.front().c_str(),
                     second.empty() || afterSecond.empty() ? "" : " / ", afterSecond.c_str());
    }
}

// ----- options and the run over every case ----------------------------------------------------

struct Options {
    std::int64_t stride = 1;
    std::int64_t offset = 0;
    std::int64_t ends = 0;  // also every index among the first and the last this many
    int jobs = 2;
    std::vector<std::size_t> kinds;
    bool verbose = false;
};

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto number = [&](std::int64_t lo, std::int64_t& v) {
            if (i + 1 >= argc) {
                return false;
            }
            char* end = nullptr;
            v = std::strtoll(argv[++i], &end, 10);
            return *end == '\0' && v >= lo;
        };
        std::int64_t v = 0;
        if (a == "--stride" && number(1, v)) {
            o.stride = v;
        } else if (a == "--offset" && number(0, v)) {
            o.offset = v;
        } else if (a == "--ends" && number(0, v)) {
            o.ends = v;
        } else if (a == "--jobs" && number(1, v) && v <= 64) {
            o.jobs = static_cast<int>(v);
        } else if (a == "--verbose") {
            o.verbose = true;
        } else if (a == "--kinds" && i + 1 < argc) {
            std::stringstream list(argv[++i]);
            for (std::string name; std::getline(list, name, ',');) {
                auto it = std::find_if(std::begin(kKinds), std::end(kKinds),
                                       [&](const Kind& k) { return name == k.name; });
                if (it == std::end(kKinds)) {
                    std::fprintf(stderr, "fault_sweep: unknown fault kind \"%s\"\n", name.c_str());
                    return false;
                }
                o.kinds.push_back(static_cast<std::size_t>(it - std::begin(kKinds)));
            }
        } else {
            std::fprintf(stderr,
                         "usage: fault_sweep [--stride N] [--offset N] [--ends N] [--jobs N] "
                         "[--kinds a,b,...] [--verbose]\nfault kinds:");
            for (const Kind& k : kKinds) {
                std::fprintf(stderr, " %s", k.name);
            }
            std::fprintf(stderr, "\n");
            return false;
        }
    }
    if (o.kinds.empty()) {
        for (std::size_t i = 0; i < kKindCount; ++i) {
            o.kinds.push_back(i);
        }
    }
    return true;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, void* data, std::size_t size) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = read(fd, p, size);
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, options)) {
        return 2;
    }
    const auto started = std::chrono::steady_clock::now();
    ArdellixLibrary library;
    const FirmwareImage expected = ExpectedImage();
    Baseline base;
    if (!RunBaseline(library, expected, base)) {
        return 1;
    }

    struct Case {
        std::size_t kind;
        std::int64_t k;
    };
    std::vector<Case> cases;
    for (std::int64_t k = 0; k < base.exchanges; ++k) {
        const bool chosen = (k >= options.offset && (k - options.offset) % options.stride == 0) ||
                            k < options.ends || k >= base.exchanges - options.ends;
        if (!chosen) {
            continue;
        }
        for (std::size_t kind : options.kinds) {
            if (!kKinds[kind].needsRead || base.hasRead[static_cast<std::size_t>(k)]) {
                cases.push_back({kind, k});
            }
        }
    }

    // Each worker process takes every jobs-th case; the simulator's bus is process-wide.
    Tally total;
    total.presses = 1;
    std::vector<std::pair<pid_t, int>> workers;
    for (int w = 0; w < options.jobs; ++w) {
        int fds[2];
        if (pipe(fds) != 0) {
            std::perror("fault_sweep: pipe");
            return 1;
        }
        const pid_t pid = fork();
        if (pid < 0) {
            std::perror("fault_sweep: fork");
            return 1;
        }
        if (pid == 0) {
            close(fds[0]);
            Tally t;
            for (std::size_t i = static_cast<std::size_t>(w); i < cases.size();
                 i += static_cast<std::size_t>(options.jobs)) {
                const Case& c = cases[i];
                RunCase(library, expected, c.kind, c.k, base.callOf[static_cast<std::size_t>(c.k)],
                        options.verbose, t);
            }
            _exit(WriteAll(fds[1], &t, sizeof t) ? 0 : 1);
        }
        close(fds[1]);
        workers.emplace_back(pid, fds[0]);
    }
    bool complete = true;
    for (auto [pid, fd] : workers) {
        Tally t;
        const bool got = ReadAll(fd, &t, sizeof t);
        close(fd);
        int status = 0;
        waitpid(pid, &status, 0);
        if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "fault_sweep: a worker process failed (status %d)\n", status);
            complete = false;
            continue;
        }
        total.Add(t);
    }

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf(
        "exchanges in one update: %lld; indices swept: every %lld from %lld, and the "
        "first and last %lld\n",
        static_cast<long long>(base.exchanges), static_cast<long long>(options.stride),
        static_cast<long long>(options.offset), static_cast<long long>(options.ends));
    std::printf("%-20s %7s %7s %8s %9s %7s %14s\n", "fault", "faults", "failed", "absorbed",
                "recovered", "bricked", "false success");
    for (std::size_t i : options.kinds) {
        std::printf(
            "%-20s %7lld %7lld %8lld %9lld %7lld %14lld\n", kKinds[i].name,
            static_cast<long long>(total.faults[i]), static_cast<long long>(total.failed[i]),
            static_cast<long long>(total.absorbed[i]), static_cast<long long>(total.recovered[i]),
            static_cast<long long>(total.bricked[i]),
            static_cast<long long>(total.falseSuccesses[i]));
    }
    const std::int64_t faults = Tally::Sum(total.faults);
    const std::int64_t recovered = Tally::Sum(total.recovered);
    const std::int64_t bricked = Tally::Sum(total.bricked);
    const std::int64_t falseSuccesses = Tally::Sum(total.falseSuccesses);
    std::printf(
        "runs %lld, faults %lld, recovered %lld, bricked %lld, "
        "false successes %lld (%.1f s, %d processes)\n",
        static_cast<long long>(total.presses), static_cast<long long>(faults),
        static_cast<long long>(recovered), static_cast<long long>(bricked),
        static_cast<long long>(falseSuccesses), seconds, options.jobs);
    const bool held =
        complete && faults > 0 && recovered == faults && bricked == 0 && falseSuccesses == 0;
    return held ? 0 : 1;
}
