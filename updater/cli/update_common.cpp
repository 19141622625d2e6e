#include "update_common.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <istream>
#include <ostream>

#include "exit_codes.h"
#include "firmware_module.h"
#include "hex_reader.h"
#include "terminal.h"
#include "text.h"
#include "text_utils.h"

namespace klov {

namespace {

constexpr int kBarWidth = 40;

struct ErrorLines final : mirovane::MessageBoxes {
    explicit ErrorLines(std::ostream& e) : err(e) {}
    void ErrorBox(const std::string& message) override { err << AsLines(message, "klov: "); }
    std::ostream& err;
};

}  // namespace

void WaitMs(const UpdateOptions& options, int milliseconds) {
    if (options.sleep) {
        options.sleep(milliseconds);
    } else {
        SleepMs(milliseconds);
    }
}

int PercentOf(double value) {
    return std::clamp(static_cast<int>(static_cast<float>(value)), 0, 100);
}

std::string Trim(std::string s) {
    auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    s.erase(s.begin(), std::find_if_not(s.begin(), s.end(), blank));
    s.erase(std::find_if_not(s.rbegin(), s.rend(), blank).base(), s.end());
    return s;
}

bool ReadYes(std::istream& in, std::ostream& err) {
    err << "Continue? [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(in, answer)) {
        err << '\n';
        return false;
    }
    answer = Trim(answer);
    std::transform(answer.begin(), answer.end(), answer.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return answer == "y" || answer == "yes";
}

bool DecodeFirmware(mirovane::FirmwareImage& image, std::ostream& err) {
    ErrorLines lines(err);
    image.ResetImage();
    mirovane::FWFileInit();
    return mirovane::ReadFWFile(image, mirovane::FWFile, lines);
}

mirovane::FirmwareLoader CopyOf(const mirovane::FirmwareImage& decoded) {
    return [&decoded](mirovane::FirmwareImage& image, mirovane::MessageBoxes&) {
        image = decoded;
        return true;
    };
}

IdentityRead ReadIdentity(mirovane::ArdellixApi& lib, ScaHandle handle) {
    auto item = [&](int selector) -> std::optional<std::string> {
        char text[32] = {};
        if (lib.ReadDeviceInfo(handle, selector, text) == 0) {
            return std::nullopt;
        }
        return mirovane::StripNulls(std::string(text, sizeof text));
    };
    const auto product = item(0);
    const auto serial = item(2);
    const auto version = item(3);
    const auto date = item(4);
    const auto shown = [](const std::optional<std::string>& s) {
        return s ? Printable(*s) : std::string("?");
    };
    const std::optional<std::string> iso = date ? IsoDate(*date) : std::nullopt;
    return {shown(product) + ", S/N " + shown(serial) + ", firmware " + shown(version) +
                ", production date " + (iso ? *iso : shown(date)),
            version};
}

int ExitCodeOf(const mirovane::UpdateResult& r, bool connected) {
    using mirovane::UpdatePhase;
    if (r.completed) {
        return kExitOk;
    }
    // A serial number carried by two probes, found out only after a restart.
    if (r.declined || r.ambiguous) {
        return kExitRefused;
    }
    switch (r.failedIn) {
        case UpdatePhase::Preparation:
        case UpdatePhase::Patch:
            return kExitInternal;
        case UpdatePhase::Connection:
            return kExitNoProbe;
        case UpdatePhase::SerialAndDate:
            return kExitRefused;
        case UpdatePhase::SwitchToBootloader:
        case UpdatePhase::BackToApplication:
            return connected ? kExitExchange : kExitNoProbe;
        default:
            return kExitExchange;
    }
}

int Worst(int a, int b) {
    const auto rank = [](int code) {
        switch (code) {
            case kExitOk:
                return 0;
            case kExitRefused:
                return 1;
            case kExitNoProbe:
                return 2;
            case kExitInternal:
                return 3;
            case kExitExchange:
                return 4;
            default:
                return 5;
        }
    };
    return rank(a) >= rank(b) ? a : b;
}

std::string ProgressBar(const char* phase, int percent) {
    const int filled = percent * kBarWidth / 100;
    char head[16];
    std::snprintf(head, sizeof head, "%-7s", phase);
    char tail[8];
    std::snprintf(tail, sizeof tail, "%3d%%", percent);
    return std::string(head) + '[' + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] " + tail;
}

std::string AsLines(const std::string& message, const std::string& prefix) {
    std::string text = prefix + message;
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) {
        text.replace(at, 2, "\n" + prefix);
    }
    return text + "\n";
}

std::string SerialText(std::int32_t serial) {
    char text[16];
    std::snprintf(text, sizeof text, "%08d", static_cast<int>(serial));
    return text;
}

}  // namespace klov
