// klov with several probes on the bus: choosing one by serial number in any command, listing a
// bootloader-mode probe's serial number from its flash, refusing an update that could reach
// another probe than the one meant, and updating every listed probe at once.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "cli_support.h"
#include "run_klov.h"

namespace {

using clitest::Describe;
using clitest::Env;
using clitest::Json;
using clitest::Outcome;
using clitest::RunKlov;
using clitest::Slurp;
using clitest::Str;
using clitest::TempDir;
using clitest::With;

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Both directory orders of the simulated bus: which probe a process lists first.
const char* const kOrders[] = {"newest-first", "oldest-first"};

// A bus of probes kept in a state file between klov runs: app:S, boot:S (bootloader mode,
// identity intact) or erased:S (bootloader mode, application erased), in the order they
// appeared on the bus, listed in the given directory order.
class Bench {
  public:
    Bench(const std::vector<std::string>& probes, const char* order) {
        std::string command = std::string(MAKE_STATE) + " '" + state_ + "'";
        for (const std::string& p : probes) {
            command += " " + p;
        }
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        env_ = {{"KLOVSIM_STATE", state_},
                {"KLOVSIM_PROBES", std::to_string(probes.size())},
                {"KLOVSIM_RESET_MS", "50"},
                {"KLOVSIM_ORDER", order}};
    }
    const Env& env() const { return env_; }
    Outcome Run(const std::vector<std::string>& args, const std::string& input = {}) const {
        return RunKlov(args, env_, input);
    }
    // The probes' memories as the state file holds them (flash, configuration, EEPROM), by
    // probe; not the bookkeeping of the bus around them.
    std::string State() const {
        std::istringstream in(Slurp(state_));
        std::string memories;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("flash ", 0) == 0 || line.rfind("config ", 0) == 0 ||
                line.rfind("eeprom ", 0) == 0) {
                memories += line + '\n';
            }
        }
        return memories;
    }
    // Every probe's mode, serial number and firmware, as klov list --json shows them, sorted.
    std::vector<std::string> Listed() const {
        std::vector<std::string> out;
        for (const QJsonValue& v : Json(Run({"list", "--json"}).out).array()) {
            const QJsonObject o = v.toObject();
            out.push_back(Str(o["mode"]) + " " + Str(o["serial_number"]) +
                          Str(o["flash_serial_number"]) + " " + Str(o["firmware_version"]));
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    // The device index klov list gives the probe with this serial number (reported, or from
    // flash), or for "?" the probe that shows none; -1 when there is none.
    int IndexOf(const std::string& serial) const {
        for (const QJsonValue& v : Json(Run({"list", "--json"}).out).array()) {
            const QJsonObject o = v.toObject();
            const std::string shown = Str(o["serial_number"]) + Str(o["flash_serial_number"]);
            if (shown == (serial == "?" ? "" : serial)) {
                return o["device"].toInt(-1);
            }
        }
        return -1;
    }
    // `text` with every {S} replaced by the device index of S (as IndexOf).
    std::string Expand(std::string text) const {
        for (std::size_t at; (at = text.find('{')) != std::string::npos;) {
            const std::size_t end = text.find('}', at);
            text.replace(at, end - at + 1,
                         std::to_string(IndexOf(text.substr(at + 1, end - at - 1))));
        }
        return text;
    }
    std::vector<std::string> Expand(std::vector<std::string> args) const {
        for (std::string& a : args) {
            a = Expand(a);
        }
        return args;
    }

  private:
    TempDir dir_;
    std::string state_ = dir_.File("probes.state");
    Env env_;
};

// Every device index below ({S}: the index klov list gives S/N S) depends on the bus's order;
// what each command reaches must not.
TEST(SeveralProbes, SerialSelectsTheProbeInEveryCommand) {
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string outHas;
        std::string errHas;
    };
    const Case cases[] = {
        {{"info", "--serial", "04124009", "--json"}, 0, "\"device\": {04124009}", ""},
        {{"set", "hv", "1000", "--save", "--serial", "04124009"}, 0, "hv 1000 (saved)\n", ""},
        {{"get", "hv", "-d", "{04124009}"}, 0, "1000\n", ""},
        {{"get", "hv", "--serial", "04124008"}, 0, "900\n", ""},
        {{"save", "--serial", "04124008"}, 0, "settings saved", ""},
        {{"rate", "--serial", "04124009"}, 0, " cps  flag ", ""},
        {{"info", "-d", "{04124009}", "--serial", "04124009"}, 0, "Serial number:    04124009", ""},
        {{"info", "--serial", "04124010"},
         69,
         "",
         "answers only in bootloader mode (an interrupted update?).\nklov: bring it back with: "
         "klov update --serial 04124010\n"},
        {{"rate", "-d", "{04124010}"},
         69,
         "",
         "bring it back with: klov update --serial 04124010\n"},
        {{"get", "--serial", "04131009"}, 69, "", "no kLOV probe with S/N 04131009 answers"},
        {{"info", "-d", "{04124008}", "--serial", "04124009"},
         65,
         "",
         "the probe at device index {04124008} reports S/N 04124008, not S/N 04124009"},
    };
    for (const char* order : kOrders) {
        const Bench bench({"app:04124008", "app:04124009", "boot:04124010"}, order);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(order) + ": " + c.args[0] + " " + c.args[1] + " " + c.args[2]);
            const Outcome r = bench.Run(bench.Expand(c.args));
            EXPECT_EQ(r.code, c.code) << Describe(r);
            EXPECT_TRUE(Has(r.out, bench.Expand(c.outHas))) << Describe(r);
            EXPECT_TRUE(Has(r.err, bench.Expand(c.errHas))) << Describe(r);
        }
    }
}

TEST(SeveralProbes, ListShowsTheSerialNumberInTheFlashOfABootloaderProbe) {
    for (const char* order : kOrders) {
        SCOPED_TRACE(order);
        const Bench bench({"app:04124008", "boot:04124009", "erased:04124010"}, order);
        EXPECT_EQ(bench.Listed(),
                  (std::vector<std::string>{"application 04124008 2.0.3", "bootloader  ",
                                            "bootloader 04124009 "}));
        for (const QJsonValue& v : Json(bench.Run({"list", "--json"}).out).array()) {
            const QJsonObject o = v.toObject();
            if (Str(o["mode"]) == "bootloader") {
                EXPECT_TRUE(o["serial_number"].isNull());
            }
        }
        const Outcome text = bench.Run({"list"});
        EXPECT_EQ(text.code, 0) << Describe(text);
        EXPECT_TRUE(Has(text.out, bench.Expand("{04124009}       bootloader   04124009*   -\n")))
            << text.out;
        EXPECT_TRUE(Has(text.out, bench.Expand("{?}       bootloader   -           -\n")))
            << text.out;
        EXPECT_TRUE(Has(text.out, "* read back from the identity block in the flash")) << text.out;
    }
}

// Updates that could reach another probe than the one meant are refused before anything is
// written; the probes stay exactly as they were.
TEST(SeveralProbes, UpdateRefusesWhatCouldReachAnotherProbe) {
    struct Case {
        std::vector<std::string> probes;
        std::vector<std::string> args;
        int code;
        std::string errHas;
        std::string input = {};  // the answers on standard input
    };
    const Case cases[] = {
        {{"app:04124008", "app:04124009"}, {"update", "--yes"}, 64, "2 probes are attached"},
        {{"app:04124008"}, {"update", "--all", "-d", "0", "--yes"}, 64, "excludes"},
        {{"app:04124008", "boot:04124008"},
         {"update", "--serial", "04124008", "--yes"},
         65,
         "S/N 04124008 is carried by more than one probe"},
        {{"erased:04124008", "boot:04124009"},
         {"update", "--serial", "04124008", "--yes"},
         65,
         "only when no other probe is in bootloader mode"},
        {{"erased:04124008", "boot:04124009"},
         {"update", "-d", "{?}", "--serial", "04124008", "--yes"},
         65,
         "1 other probe(s) are in bootloader mode too"},
        {{"app:04124008", "app:04124009"},
         {"update", "-d", "{04124009}", "--serial", "04124008", "--yes"},
         65,
         "reports S/N 04124009, not S/N 04124008"},
        // The serial number asked for a probe that cannot prove its own is another probe's.
        {{"erased:04124010", "app:04124008"},
         {"update", "-d", "{?}", "--yes"},
         65,
         "S/N 04124008 is carried by another attached probe; nothing was written",
         "04124008\n"},
    };
    for (const char* order : kOrders) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(order) + ": " + c.errHas);
            const Bench bench(c.probes, order);
            const std::vector<std::string> args = bench.Expand(c.args);
            const std::string before = bench.State();
            const Outcome r = bench.Run(args, c.input);
            EXPECT_EQ(r.code, c.code) << Describe(r);
            EXPECT_TRUE(Has(r.err, c.errHas)) << Describe(r);
            EXPECT_TRUE(bench.State() == before) << "a probe's memories changed";
        }
    }
}

// Two probes carry one serial number, but one of them did not answer its serial number read
// when klov looked at the bus (a read lost once): the update starts, and when the updated probe
// is back in its application both report the number. That ends as a serial number carried
// by two probes does, not as a probe that does not answer.
TEST(SeveralProbes, SerialNumberFoundTwiceAfterARestartIsRefused) {
    for (const char* order : kOrders) {
        SCOPED_TRACE(order);
        const Bench bench({"app:04124008", "app:04124008"}, order);
        // The fourth exchange: the last of the two probes' identify and serial number reads.
        const Outcome r = RunKlov({"update", "--serial", "04124008", "--yes"},
                                  With(bench.env(), "KLOVSIM_FAULT", "read-error@3"));
        EXPECT_EQ(r.code, 65) << Describe(r);
        EXPECT_TRUE(Has(r.err, "klov: 2 probes report S/N 04124008.\n")) << Describe(r);
    }
}

// A probe in bootloader mode is updated by its index when its flash proves its serial number,
// and by the serial number on its label when its flash holds none and it is the only probe in
// bootloader mode; the other probe is left as it was.
TEST(SeveralProbes, BootloaderProbeUpdatedBesideAnother) {
    struct Case {
        std::vector<std::string> probes;
        std::vector<std::string> args;
        std::string errHas;
        std::vector<std::string> after;
    };
    const Case cases[] = {
        {{"app:04124008", "boot:04124009"},
         {"update", "-d", "{04124009}", "--yes"},
         "carries the identity of S/N 04124009 in its flash",
         {"application 04124008 2.0.3", "application 04124009 2.1.0"}},
        {{"erased:04124010", "app:04124008"},
         {"update", "--serial", "04124010", "--yes"},
         "cannot report its serial number; using 04124010",
         {"application 04124010 2.1.0", "application 04124008 2.0.3"}},
    };
    for (const char* order : kOrders) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(order) + ": " + c.args[1]);
            const Bench bench(c.probes, order);
            const Outcome r = bench.Run(bench.Expand(c.args));
            ASSERT_EQ(r.code, 0) << Describe(r);
            EXPECT_TRUE(Has(r.err, c.errHas)) << Describe(r);
            std::vector<std::string> expected = c.after;
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(bench.Listed(), expected);
        }
    }
}

// Five listed probes, two of them in bootloader mode, and one that is not listed: the five are
// updated at once and the sixth is left alone; then a fault in the middle fails one probe,
// the others still finish, and the advised command brings that one back.
TEST(SeveralProbes, UpdateAllUpdatesEveryListedProbe) {
    const Bench bench({"app:04124008", "boot:04124009", "app:04124010", "boot:04131008",
                       "app:04131009", "app:04199999"},
                      "newest-first");
    const Outcome r = bench.Run({"update", "--all", "--yes"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    for (const char* serial : {"04124008", "04124009", "04124010", "04131008", "04131009"}) {
        EXPECT_TRUE(Has(r.out, std::string(serial) + ": verify 100%")) << serial;
        EXPECT_TRUE(Has(r.out, std::string(serial) + " ")) << r.out;
    }
    EXPECT_TRUE(Has(r.out, "SERIAL     FIRMWARE ")) << r.out;
    EXPECT_TRUE(Has(r.out, "04124009   (bootloader) -> 2.1.0")) << r.out;
    EXPECT_TRUE(Has(r.out, "04199999   2.0.3")) << r.out;
    EXPECT_TRUE(Has(r.out, "skipped: serial number not listed")) << r.out;
    EXPECT_EQ(bench.Listed(), (std::vector<std::string>{
                                  "application 04124008 2.1.0", "application 04124009 2.1.0",
                                  "application 04124010 2.1.0", "application 04131008 2.1.0",
                                  "application 04131009 2.1.0", "application 04199999 2.0.3"}));

    // All six now run their application and flash together: a failed write hits one of them.
    const Outcome failed = RunKlov({"update", "--all", "--yes"},
                                   With(bench.env(), "KLOVSIM_FAULT", "write-error@4000"));
    EXPECT_EQ(failed.code, 74) << Describe(failed);
    std::istringstream table(failed.out.substr(failed.out.find("SERIAL     FIRMWARE")));
    int updated = 0;
    std::string failedSerial;
    for (std::string line; std::getline(table, line);) {
        updated += Has(line, "  updated") ? 1 : 0;
        // The failed request may have been an erase, a row write or a read-back.
        if (Has(line, " address ") && Has(line, "failed: ")) {
            failedSerial = line.substr(0, 8);
        }
    }
    EXPECT_EQ(updated, 4) << failed.out;
    ASSERT_EQ(failedSerial.size(), 8U) << failed.out;
    EXPECT_TRUE(Has(failed.err, "klov: " + failedSerial +
                                    ": bring it back with: klov update "
                                    "--serial " +
                                    failedSerial + " --yes"))
        << failed.err;
    const Outcome back = bench.Run({"update", "--serial", failedSerial, "--yes"});
    EXPECT_EQ(back.code, 0) << Describe(back);
}

}  // namespace
