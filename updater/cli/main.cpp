// klov: the kLOV-VR probe from the command line.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "exit_codes.h"
#include "library_binding.h"
#include "probe.h"
#include "terminal_update.h"

#ifndef KLOV_VERSION
#define KLOV_VERSION "0.0.0"
#endif

namespace {

constexpr const char* kVersion = "klov " KLOV_VERSION;

constexpr const char* kDescription =
    "klov: lists, reads and sets kLOV-VR probes and updates their firmware.\n"
    "Results go to standard output, messages to standard error.";

CLI::App* Command(CLI::App& app, const char* name, const char* help) {
    CLI::App* sub = app.add_subcommand(name, help);
    sub->set_version_flag("--version", kVersion, "Print the version and exit");
    sub->footer(klov::kExitCodeHelp);
    return sub;
}

void AddDevice(CLI::App* sub, int& device) {
    sub->add_option("-d,--device", device, "Device index of the probe, counting from 0")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
}

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
    int device = 0;

    CLI::App* list = Command(app, "list", "List every probe on the bus with its mode");
    list->add_flag("--json", json, "Print a JSON array");

    CLI::App* info = Command(app, "info", "Show the probe's identity");
    AddDevice(info, device);
    info->add_flag("--json", json, "Print a JSON object");

    std::string getName = "all";
    CLI::App* get = Command(app, "get", "Read one setting, or all of them (raw values)");
    get->add_option("NAME", getName,
                    "hv, gain, lld, uld, integral-mode, analog-output-mode, "
                    "cps-gain, response-time or all")
        ->check(CLI::IsMember(getNames))
        ->capture_default_str();
    AddDevice(get, device);
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
    AddDevice(set, device);
    set->footer(std::string("A value that the probe could not hold is refused and nothing is "
                            "sent.\n\n") +
                klov::kExitCodeHelp);

    CLI::App* save = Command(app, "save", "Store the current settings in the probe");
    AddDevice(save, device);

    klov::RateOptions rate;
    CLI::App* rateCmd = Command(app, "rate", "Read the count rate and its status flag");
    AddDevice(rateCmd, device);
    rateCmd->add_flag("--watch", rate.watch, "Keep reading until interrupted (Ctrl-C)");
    rateCmd->add_option("--interval", rate.intervalMs, "Milliseconds between readings")
        ->check(CLI::Range(1, 3600000))
        ->capture_default_str();
    rateCmd->add_option("--count", rate.count, "Number of readings")
        ->check(CLI::Range(1L, 1L << 40));
    rateCmd->add_flag("--json", json, "Print one JSON object per reading, one per line");

    klov::UpdateOptions update;
    std::string serial;
    CLI::App* updateCmd = Command(app, "update", "Install the firmware that klov carries");
    AddDevice(updateCmd, device);
    CLI::Option* serialOpt = updateCmd->add_option(
        "--serial", serial, "Serial number to use when the probe cannot report it (8 characters)");
    updateCmd->add_flag("-y,--yes", update.yes, "Do not ask for a confirmation");
    updateCmd->footer(
        std::string("Progress goes to standard output: a bar per phase (erase, write, "
                    "verify) on a terminal,\nplain lines otherwise. Without --yes a "
                    "confirmation is asked on standard input.\nA probe left in bootloader "
                    "mode by an interrupted update is brought back by running\nthe update "
                    "again with --serial.\n\n") +
        klov::kExitCodeHelp);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? klov::kExitOk : klov::kExitUsage;
    }

    mirovane::ArdellixLibrary library(ARDELLIX_LIBRARY_FILE, [](const std::string&) {
        std::cerr << "klov: install the probe library, or add its folder to LD_LIBRARY_PATH\n";
    });
    klov::Library lib(library);
    klov::Output out{std::cout, std::cerr, json};

    if (*list) {
        return klov::ListProbes(lib, out);
    }
    if (*info) {
        return klov::ShowInfo(lib, device, out);
    }
    if (*get) {
        return klov::GetSettings(lib, device, getName, out);
    }
    if (*set) {
        return klov::SetSetting(lib, device, setName, setValue, setSave, out);
    }
    if (*save) {
        return klov::SaveSettings(lib, device, out);
    }
    if (*rateCmd) {
        return klov::ReadRate(lib, device, rate, out);
    }
    update.device = device;
    if (*serialOpt) {
        update.serial = serial;
    }
    return klov::RunUpdate(
        library, update,
        {std::cout, std::cerr, std::cin, isatty(STDOUT_FILENO) == 1, isatty(STDIN_FILENO) == 1});
}
