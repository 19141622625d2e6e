// klov: the kLOV-VR probe from the command line.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "exit_codes.h"
#include "library_binding.h"
#include "probe.h"
#include "terminal.h"
#include "terminal_update.h"

#ifndef KLOV_VERSION
#define KLOV_VERSION "0.0.0"
#endif

namespace {

constexpr const char* kVersion = "klov " KLOV_VERSION;

#ifdef _WIN32
constexpr const char* kLibraryHint =
    "klov: put " ARDELLIX_LIBRARY_FILE " beside klov.exe, or add its folder to PATH\n";
#else
constexpr const char* kLibraryHint =
    "klov: install the probe library, or add its folder to LD_LIBRARY_PATH\n";
#endif

constexpr const char* kDescription =
    "klov: lists, reads and sets kLOV-VR probes and updates their firmware.\n"
    "Results go to standard output, messages to standard error.";

CLI::App* Command(CLI::App& app, const char* name, const char* help) {
    CLI::App* sub = app.add_subcommand(name, help);
    sub->set_version_flag("--version", kVersion, "Print the version and exit");
    sub->footer(klov::kExitCodeHelp);
    return sub;
}

// -d N and --serial S, which every command that talks to one probe takes.
struct ChoiceOptions {
    int device = 0;
    std::string serial;
    std::vector<CLI::Option*> devices;
    std::vector<CLI::Option*> serials;

    void Add(CLI::App* sub, const char* serialHelp =
                                "Serial number of the probe, in either mode (as klov list "
                                "shows it); with -d, the probe there must carry it") {
        devices.push_back(
            sub->add_option("-d,--device", device, "Device index of the probe, counting from 0")
                ->check(CLI::Range(0, 255))
                ->capture_default_str());
        serials.push_back(sub->add_option("--serial", serial, serialHelp));
    }

    klov::ProbeChoice Choice() const {
        klov::ProbeChoice c;
        const auto given = [](const std::vector<CLI::Option*>& options) {
            return std::any_of(options.begin(), options.end(),
                               [](const CLI::Option* o) { return o->count() > 0; });
        };
        if (given(devices)) {
            c.device = device;
        }
        if (given(serials)) {
            c.serial = serial;
        }
        return c;
    }
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app(kDescription, "klov");
    app.set_version_flag("--version", kVersion, "Print the version and exit");
    app.footer(klov::kExitCodeHelp);
    app.require_subcommand(1);

    std::vector<std::string> settingNames;
    for (const klov::Setting& s : klov::kSettings) {
        settingNames.emplace_back(s.name);
    }
    std::vector<std::string> getNames = settingNames;
    getNames.emplace_back("all");

    bool json = false;
    ChoiceOptions choice;

    CLI::App* list = Command(app, "list", "List every probe on the bus with its mode");
    list->add_flag("--json", json, "Print a JSON array");

    CLI::App* info = Command(app, "info", "Show the probe's identity");
    choice.Add(info);
    info->add_flag("--json", json, "Print a JSON object");

    std::string getName = "all";
    CLI::App* get = Command(app, "get", "Read one setting, or all of them (raw values)");
    get->add_option("NAME", getName,
                    "hv, gain, lld, uld, integral-mode, analog-output-mode, "
                    "cps-gain, response-time or all")
        ->check(CLI::IsMember(getNames))
        ->capture_default_str();
    choice.Add(get);
    get->add_flag("--json", json, "Print a JSON object");

    std::string setName;
    std::string setValue;
    CLI::App* set = Command(app, "set", "Change one setting (until the probe restarts; see save)");
    set->add_option("NAME", setName, "Setting name")
        ->required()
        ->check(CLI::IsMember(settingNames));
    set->add_option("VALUE", setValue,
                    "Raw value: 0..65535 for hv, gain, lld, uld; 0..255 for cps-gain and "
                    "response-time; on/off (1/0) for the two modes")
        ->required();
    bool setSave = false;
    set->add_flag("--save", setSave, "Also store the settings in the probe (as klov save)");
    choice.Add(set);
    set->footer(std::string("A value that the probe could not hold is refused and nothing is "
                            "sent.\n\n") +
                klov::kExitCodeHelp);

    CLI::App* save = Command(app, "save", "Store the current settings in the probe");
    choice.Add(save);

    klov::RateOptions rate;
    CLI::App* rateCmd = Command(app, "rate", "Read the count rate and its status flag");
    choice.Add(rateCmd);
    rateCmd->add_flag("--watch", rate.watch, "Keep reading until interrupted (Ctrl-C)");
    rateCmd->add_option("--interval", rate.intervalMs, "Milliseconds between readings")
        ->check(CLI::Range(1, 3600000))
        ->capture_default_str();
    rateCmd->add_option("--count", rate.count, "Number of readings")
        ->check(CLI::Range(1LL, 1LL << 40));
    rateCmd->add_flag("--json", json, "Print one JSON object per reading, one per line");

    klov::UpdateOptions update;
    CLI::App* updateCmd = Command(app, "update", "Install the firmware that klov carries");
    choice.Add(updateCmd,
               "Serial number of the probe to update, in either mode; for a probe in "
               "bootloader mode with no identity left in its flash, the serial number on its "
               "label (8 characters)");
    CLI::Option* allOpt = updateCmd->add_flag(
        "--all", update.all, "Update every attached probe whose serial number is listed, at once");
    allOpt->excludes(choice.devices.back())->excludes(choice.serials.back());
    updateCmd->add_flag("-y,--yes", update.yes, "Do not ask for a confirmation");
    updateCmd->footer(
        std::string("Progress goes to standard output: a bar per phase (erase, write, "
                    "verify) on a terminal,\nplain lines otherwise; with --all one line per "
                    "probe, then a table of every probe.\nWithout --yes a confirmation is "
                    "asked on standard input. A probe left in bootloader\nmode by an "
                    "interrupted update is brought back by running the update again with\n"
                    "--serial.\n\n") +
        klov::kExitCodeHelp);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? klov::kExitOk : klov::kExitUsage;
    }

    mirovane::ArdellixLibrary library(ARDELLIX_LIBRARY_FILE,
                                      [](const std::string&) { std::cerr << kLibraryHint; });
    klov::Library lib(library);
    klov::Output out{std::cout, std::cerr, json};

    if (*list) {
        return klov::ListProbes(lib, out);
    }
    const klov::ProbeChoice chosen = choice.Choice();
    if (*info) {
        return klov::ShowInfo(lib, chosen, out);
    }
    if (*get) {
        return klov::GetSettings(lib, chosen, getName, out);
    }
    if (*set) {
        return klov::SetSetting(lib, chosen, setName, setValue, setSave, out);
    }
    if (*save) {
        return klov::SaveSettings(lib, chosen, out);
    }
    if (*rateCmd) {
        return klov::ReadRate(lib, chosen, rate, out);
    }
    update.device = chosen.device;
    update.serial = chosen.serial;
    return klov::RunUpdate(
        library, update,
        {std::cout, std::cerr, std::cin, klov::IsTerminal(klov::Stream::Out),
         klov::IsTerminal(klov::Stream::In), klov::IsTerminal(klov::Stream::Err)});
}
