// Processor use of the Qt front end while it waits, against a loop that only processes
// events, all in one run (process CPU time over wall time; 100% is one core busy).
//
//   bench_qt [--wait-ms=2000] [--reconnect-reset-ms=3500] [--update-latency-us=-1]
//
// 1. The timer wait of the update (Timer1 and a blocking event loop) for --wait-ms.
// 2. The naive wait: the same timer, polled by processing events in a tight loop.
// 3. The reconnect loop back into the application, with the probe away for
//    --reconnect-reset-ms after its reset (OpenSCA attempts one second apart).
// 4. With --update-latency-us=L (0 or more), a whole update through the Qt front end on the
//    real clock, phase by phase.
// The window is shown on the platform Qt picks; set QT_QPA_PLATFORM=offscreen on a machine
// without a display (the program does so itself when neither DISPLAY nor WAYLAND_DISPLAY is set).
#include <QApplication>
#include <QEventLoop>
#include <cstdio>
#include <cstdlib>

#include "bench_support.h"
#include "frontend.h"
#include "window_update.h"

namespace {

struct Usage {
    double cpu;
    double wall;
    double Percent() const { return wall > 0 ? cpu * 100.0 / wall : 0.0; }
};

template <typename Body>
Usage Measure(Body&& body) {
    const double cpu0 = bench::ProcessCpuSeconds();
    const double wall0 = bench::WallSeconds();
    body();
    return {bench::ProcessCpuSeconds() - cpu0, bench::WallSeconds() - wall0};
}

void Print(const char* what, const Usage& u) {
    std::printf("%-44s wall %8.3f s  cpu %8.4f s  %7.3f %% of one core\n", what, u.wall, u.cpu,
                u.Percent());
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr && std::getenv("DISPLAY") == nullptr &&
        std::getenv("WAYLAND_DISPLAY") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    const long waitMs = bench::LongOption(argc, argv, "wait-ms", 2000);
    const long reconnectResetMs = bench::LongOption(argc, argv, "reconnect-reset-ms", 3500);
    const long updateLatencyUs = bench::LongOption(argc, argv, "update-latency-us", -1);

    QApplication app(argc, argv);
    klovsim::Bus& bus = klovsim::Bus::instance();
    bus.reset();
    bus.setLogging(false);
    klovsim::ProbeConfig config;
    config.resetDelay = std::chrono::milliseconds(reconnectResetMs);
    klovsim::Probe probe = bus.addProbe(config);

    mirovane::qt::Frontend frontend;
    frontend.Start();
    mirovane::TopLevel& top = frontend.top();
    mirovane::qt::QtHost& host = frontend.host();
    int failures = 0;
    // A message box would wait for an operator: print it and count it as a failure instead.
    host.SetBoxFunction([&failures](QWidget*, const QString& message) {
        std::fprintf(stderr, "message box: %s\n", qPrintable(message));
        ++failures;
    });
    // Let the window appear and settle before measuring.
    for (int i = 0; i < 10; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }

    const int wait = static_cast<int>(waitMs);
    const Usage timerWait = Measure([&] { top.TimerWait(wait); });

    const Usage naive = Measure([&] {
        top.TimerElapsed = false;
        top.Timer1.Interval = wait;
        top.Timer1.Enabled = true;
        host.TimerChanged(top.Timer1);
        while (!top.TimerElapsed) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
        }
    });

    // The run's own reconnect into the application, on a connection opened by Connect.
    top.cmdConnect_Click();
    if (top.DeviceHandle == 0) {
        std::fprintf(stderr, "bench_qt: Connect failed\n");
        return 1;
    }
    bool back = false;
    const Usage reconnect =
        Measure([&] { back = mirovane::WindowUpdate(top).Sequence().BackToApplication(); });
    if (!back) {
        std::fprintf(stderr, "bench_qt: the probe did not come back\n");
        ++failures;
    }

    std::printf("== Qt front end, platform %s\n", qPrintable(QGuiApplication::platformName()));
    Print("timer wait (Timer1 + blocking event loop)", timerWait);
    Print("naive wait (processEvents in a loop)", naive);
    Print("reconnect loop (OpenSCA every second)", reconnect);
    std::printf("idle timer wait / naive wait: %.5f\n",
                naive.Percent() > 0 ? timerWait.Percent() / naive.Percent() : 0.0);

    if (updateLatencyUs >= 0) {
        top.cmdConnect_Click();  // the update opens its own connection
        probe.setResetDelay(std::chrono::milliseconds(1500));
        probe.setLatency(std::chrono::microseconds(updateLatencyUs));
        bench::PhaseRecorder recorder;
        top.SetUpdateObserver(&recorder);
        const std::int64_t exchanges0 = bus.exchanges();
        const Usage update = Measure([&] { top.cmdUpload_Click(); });
        const std::int64_t exchanges = bus.exchanges() - exchanges0;
        top.SetUpdateObserver(nullptr);
        std::printf("\n== update through the Qt front end, latency %ld us (real clock)\n",
                    updateLatencyUs);
        const auto flash = bench::PrintPhases(recorder);
        std::printf("%-22s %10lld %12.3f %12.3f %14.3f\n", "whole update",
                    static_cast<long long>(exchanges), update.cpu * 1e3, update.wall * 1e3,
                    update.cpu * 1e6 / static_cast<double>(std::max<std::int64_t>(1, exchanges)));
        if (updateLatencyUs > 0) {
            const double floor = static_cast<double>(flash.exchanges) * 2 *
                                 static_cast<double>(updateLatencyUs) * 1e-6;
            std::printf("flash phases: ratio to the floor %.4f\n", flash.wall / floor);
        }
        if (top.DeviceHandle == 0 || top.StatusText.rfind("Connected to kLOV with S/N", 0) != 0) {
            std::fprintf(stderr, "bench_qt: the update did not complete (%s)\n",
                         top.StatusText.c_str());
            ++failures;
        }
    }
    if (top.DeviceHandle != 0) {
        host.Library().CloseSCA(top.DeviceHandle);
    }
    return failures == 0 ? 0 : 1;
}
