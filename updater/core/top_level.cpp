#include "top_level.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>

#include "firmware_module.h"
#include "text_utils.h"

namespace mirovane {

namespace {

constexpr const char* kTitle = "kLOV-VR Firmware Updater - 1.2.4";
constexpr const char* kDeviceInfoFailures[] = {
    "Failed to read product name.",    "Failed to read manufacturer name.",
    "Failed to read serial number.",   "Failed to read firmware version.",
    "Failed to read production date.",
};

}  // namespace

bool MakeDate(std::int64_t year, std::int64_t month, std::int64_t day, CalendarDate& out) {
    using namespace std::chrono;
    // Keep the arithmetic inside what the calendar types hold; anything this far out is not a
    // four-digit year anyway.
    if (year < -20000 || year > 20000 || month < -1000 || month > 1000 || day < -100000 ||
        day > 100000) {
        return false;
    }
    std::int64_t months = year * 12 + (month - 1);
    std::int64_t y = months >= 0 ? months / 12 : -((-months + 11) / 12);
    std::int64_t m = months - y * 12 + 1;
    sys_days first =
        std::chrono::year{static_cast<int>(y)} / std::chrono::month{static_cast<unsigned>(m)} / 1;
    year_month_day ymd{first + days{day - 1}};
    int resultYear = static_cast<int>(ymd.year());
    if (resultYear < 1 || resultYear > 9999) {
        return false;
    }
    out = {resultYear, static_cast<int>(static_cast<unsigned>(ymd.month())),
           static_cast<int>(static_cast<unsigned>(ymd.day()))};
    return true;
}

TopLevel::TopLevel(Host& host) : FirmwareInit([] { FWFileInit(); }), host_(host) {}

void TopLevel::Form_Load() {
    Caption = kTitle;
    std::copy_n(UpdatableProbes().begin(), SerialTable.size(), SerialTable.begin());
    Image.ResetImage();
    StatusText = "Disconnected";
    cmdConnect.Enabled = true;
    SetTimer(Timer1.Interval, false);
}

void TopLevel::SetTimer(int interval, bool enabled) {
    Timer1.Interval = interval;
    Timer1.Enabled = enabled;
    host_.TimerChanged(Timer1);
}

void TopLevel::Timer1_Timer() {
    TimerElapsed = true;
}

void TopLevel::TimerWait(int milliseconds) {
    TimerElapsed = false;
    SetTimer(milliseconds, true);
    while (!TimerElapsed) {
        host_.WaitForEvents();
    }
}

void TopLevel::ClearDeviceInfo() {
    for (Label* l : {&lblProdName, &lblManufacturer, &lblSerialNo, &lblFWversion, &lblProdDate}) {
        l->Caption = "-";
    }
}

void TopLevel::cmdConnect_Click() {
    if (!cmdConnect.Enabled) {
        return;  // a disabled button takes no clicks
    }
    ArdellixApi& lib = host_.Library();
    if (DeviceHandle != 0) {
        lib.CloseSCA(DeviceHandle);
        DeviceHandle = 0;
        cmdConnect.Caption = "&Connect";
        StatusText = "Disconnected";
        ClearDeviceInfo();
        return;
    }
    DeviceHandle = lib.OpenSCA(0);
    if (DeviceHandle == 0) {
        host_.ErrorBox("Failed to connect to kLOV");
        return;
    }
    cmdConnect.Caption = "&Disconnect";
    cmdUpload.Enabled = true;
    char serial[10] = {};
    if (lib.ReadSerialNo(DeviceHandle, serial) != 0) {
        StatusText = "Connected to kLOV with S/N " + StripNulls(std::string(serial, sizeof serial));
    } else {
        host_.ErrorBox("Failed to read serial number.");
        StatusText = "Connected to kLOV with unknown S/N";
    }
    ShowDeviceInfo();
}

void TopLevel::ShowDeviceInfo() {
    ArdellixApi& lib = host_.Library();
    std::string texts[5];
    char buffer[32];
    for (int selector = 0; selector < 5; ++selector) {
        // Fresh zeros before every read, so a shorter text never shows the previous one's tail.
        std::fill(std::begin(buffer), std::end(buffer), '\0');
        if (lib.ReadDeviceInfo(DeviceHandle, selector, buffer) == 0) {
            host_.ErrorBox(kDeviceInfoFailures[selector]);
            texts[selector] = "Unknown";
            continue;
        }
        if (selector < 4) {
            texts[selector] = StripNulls(std::string(buffer, sizeof buffer));
            continue;
        }
        const std::string_view raw(buffer, sizeof buffer);
        CalendarDate date{};
        std::string shown;
        if (MakeDate(NumericValue(raw.substr(0, 4)), NumericValue(raw.substr(4, 2)),
                     NumericValue(raw.substr(6, 2)), date)) {
            shown = host_.FormatLongDate(date.year, date.month, date.day);
        }
        texts[selector] = shown.empty() ? "Unknown" : shown;
    }
    lblProdName.Caption = texts[0];
    lblManufacturer.Caption = texts[1];
    lblSerialNo.Caption = texts[2];
    lblFWversion.Caption = texts[3];
    lblProdDate.Caption = texts[4];
}

bool TopLevel::Form_QueryUnload() {
    if (!updating_) {
        return false;
    }
    host_.ErrorBox("A firmware update is running. Please wait until it has finished.");
    return true;
}

}  // namespace mirovane
