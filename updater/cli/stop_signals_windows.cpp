#include <windows.h>

#include <atomic>

#include "stop_signals.h"

namespace klov {

namespace {

// The console runs its control handler on a thread of its own, which sets the flag and
// wakes the sleeping command through the event.
std::atomic<bool> g_stop{false};
HANDLE g_wake = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            g_stop = true;
            SetEvent(g_wake);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

StopSignals::StopSignals() {
    g_stop = false;
    g_wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

StopSignals::~StopSignals() {
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    CloseHandle(g_wake);
    g_wake = nullptr;
}

bool StopSignals::Requested() const {
    return g_stop;
}

bool StopSignals::SleepUntil(Clock::time_point at) const {
    while (!g_stop) {
        const auto now = Clock::now();
        if (now >= at) {
            break;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(at - now).count();
        if (g_wake != nullptr) {
            WaitForSingleObject(g_wake, static_cast<DWORD>(left));
        } else {
            Sleep(static_cast<DWORD>(left));
        }
    }
    return !g_stop;
}

}  // namespace klov
