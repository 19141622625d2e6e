// Shared pieces of the benchmark programs: clocks for process CPU and wall time, peak memory,
// a toolkit-free host for the updater core that waits on the real or the simulator's virtual
// clock, and an observer that takes a reading at every phase change of an update.
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "host.h"
#include "klovsim/sim.h"
#include "library_binding.h"
#include "serial_dlg.h"
#include "top_level.h"

namespace bench {

// CPU time of the whole process (every thread), in seconds.
inline double ProcessCpuSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

// Monotonic wall time, in seconds.
inline double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Peak resident set size of the process so far, in KiB.
inline long PeakRssKiB() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// Reads "--name=value" from the command line; `fallback` when absent.
inline long LongOption(int argc, char** argv, const std::string& name, long fallback) {
    const std::string prefix = "--" + name + "=";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind(prefix, 0) == 0) {
            char* end = nullptr;
            const long v = std::strtol(arg.c_str() + prefix.size(), &end, 10);
            if (end == nullptr || *end != '\0') {
                std::fprintf(stderr, "bad value for --%s: %s\n", name.c_str(), arg.c_str());
                std::exit(2);
            }
            return v;
        }
    }
    return fallback;
}

// A host without a window toolkit. ProcessEvents only delivers a due timer tick; a timer
// wait sleeps until Timer1's next tick, on the real monotonic clock or, when the simulator's
// clock is virtual, by moving that clock forward. The serial-number dialog is never expected
// (the bench probe reports a listed serial number); a box is counted and printed.
class CoreHost final : public mirovane::Host {
  public:
    explicit CoreHost(mirovane::ArdellixApi& library) : library_(library) {}

    mirovane::TopLevel* top = nullptr;
    int boxes = 0;
    // Sum of the timer waits the sequence started, in milliseconds.
    long waitedMs = 0;

    void ErrorBox(const std::string& message) override {
        ++boxes;
        std::fprintf(stderr, "message box: %s\n", message.c_str());
    }
    void ProcessEvents() override { DeliverDueTicks(); }
    void WaitForEvents() override {
        if (!timerOn_) {
            std::fprintf(stderr, "waiting with Timer1 off\n");
            std::abort();
        }
        if (klovsim::Clock::isVirtual()) {
            const auto now = klovsim::Clock::now();
            if (nextTick_ > now) {
                klovsim::Clock::advance(nextTick_ - now);
            }
        } else {
            std::this_thread::sleep_until(realTick_);
        }
        DeliverDueTicks();
    }
    void SetWaitCursor(bool) override {}
    void ShowSerialDlg(mirovane::SerialDlg& dlg) override {
        std::fprintf(stderr, "unexpected serial-number dialog\n");
        dlg.cmdCancel_Click();
    }
    void TimerChanged(const mirovane::TimerControl& timer) override {
        timerOn_ = timer.Enabled;
        interval_ = std::chrono::milliseconds(timer.Interval);
        nextTick_ = klovsim::Clock::now() + interval_;
        realTick_ = std::chrono::steady_clock::now() + interval_;
        if (timer.Enabled) {
            waitedMs += timer.Interval;
        }
    }
    std::string FormatLongDate(int year, int month, int day) override {
        char text[32];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
        return text;
    }
    mirovane::ArdellixApi& Library() override { return library_; }

  private:
    void DeliverDueTicks() {
        if (!timerOn_) {
            return;
        }
        if (klovsim::Clock::isVirtual()) {
            while (klovsim::Clock::now() >= nextTick_) {
                nextTick_ += interval_;
                top->Timer1_Timer();
            }
        } else {
            while (std::chrono::steady_clock::now() >= realTick_) {
                realTick_ += interval_;
                top->Timer1_Timer();
            }
        }
    }

    mirovane::ArdellixApi& library_;
    bool timerOn_ = false;
    std::chrono::microseconds interval_{1000000};
    std::chrono::microseconds nextTick_{0};
    std::chrono::steady_clock::time_point realTick_{};
};

// One reading per phase change of an update: bus exchanges so far, process CPU and wall time.
struct Reading {
    mirovane::UpdatePhase phase;
    std::int64_t exchanges;
    double cpu;
    double wall;
};

class PhaseRecorder final : public mirovane::UpdateObserver {
  public:
    std::vector<Reading> readings;

    void PhaseChanged(mirovane::UpdatePhase phase) override {
        readings.push_back(
            {phase, klovsim::Bus::instance().exchanges(), ProcessCpuSeconds(), WallSeconds()});
    }

    // The span from the start of `first` to the start of the phase after `last`.
    struct Span {
        std::int64_t exchanges = 0;
        double cpu = 0;
        double wall = 0;
        bool found = false;
    };
    Span Between(mirovane::UpdatePhase first, mirovane::UpdatePhase last) const {
        Span s;
        for (std::size_t i = 0; i < readings.size(); ++i) {
            if (readings[i].phase != first) {
                continue;
            }
            for (std::size_t j = i; j + 1 < readings.size(); ++j) {
                if (readings[j].phase == last) {
                    const Reading& a = readings[i];
                    const Reading& b = readings[j + 1];
                    s = {b.exchanges - a.exchanges, b.cpu - a.cpu, b.wall - a.wall, true};
                    return s;
                }
            }
        }
        return s;
    }
};

// Prints one line per phase (exchanges, CPU, wall, CPU per exchange), then the flash phases
// together, and returns that flash span.
inline PhaseRecorder::Span PrintPhases(const PhaseRecorder& recorder) {
    auto line = [](const char* name, std::int64_t n, double cpu, double wall) {
        std::printf("%-22s %10lld %12.3f %12.3f %14.3f\n", name, static_cast<long long>(n),
                    cpu * 1e3, wall * 1e3, n > 0 ? cpu * 1e6 / static_cast<double>(n) : 0.0);
    };
    std::printf("%-22s %10s %12s %12s %14s\n", "phase", "exchanges", "cpu ms", "wall ms",
                "cpu/exch us");
    const auto& r = recorder.readings;
    for (std::size_t i = 0; i + 1 < r.size(); ++i) {
        line(mirovane::PhaseName(r[i].phase), r[i + 1].exchanges - r[i].exchanges,
             r[i + 1].cpu - r[i].cpu, r[i + 1].wall - r[i].wall);
    }
    const auto flash =
        recorder.Between(mirovane::UpdatePhase::Erase, mirovane::UpdatePhase::Verify);
    line("flash (erase..verify)", flash.exchanges, flash.cpu, flash.wall);
    return flash;
}

}  // namespace bench
