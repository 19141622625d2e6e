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

const char* PhaseName(UpdatePhase phase) {
    switch (phase) {
        case UpdatePhase::Preparation:
            return "preparation";
        case UpdatePhase::Connection:
            return "connection";
        case UpdatePhase::SerialAndDate:
            return "serial and date";
        case UpdatePhase::Patch:
            return "patch";
        case UpdatePhase::SwitchToBootloader:
            return "switch to bootloader";
        case UpdatePhase::Erase:
            return "erase";
        case UpdatePhase::Write:
            return "write";
        case UpdatePhase::Verify:
            return "verify";
        case UpdatePhase::BackToApplication:
            return "back to application";
        case UpdatePhase::Closing:
            return "closing";
    }
    return "?";
}

std::int32_t NumericValue(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') {
        ++i;
    }
    std::int64_t value = 0;
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > kMax) {
            return static_cast<std::int32_t>(kMax);
        }
    }
    return static_cast<std::int32_t>(value);
}

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

std::string HexAddress(std::int32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(address));
    return text;
}

TopLevel::TopLevel(Host& host) : FirmwareInit([] { FWFileInit(); }), host_(host) {}

void TopLevel::Form_Load() {
    Caption = kTitle;
    SerialTable = {{
        {"04124008", "20121228"},
        {"04124009", "20121228"},
        {"04124010", "20130322"},
        {"04131008", "20130513"},
        {"04131009", "20130813"},
    }};
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
