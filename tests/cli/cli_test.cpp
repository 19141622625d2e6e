// klov end to end: the real program, run as a child process against the simulated probe
// (configured through KLOVSIM_* variables, carried between runs in a state file).
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <map>
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
using clitest::Str;
using clitest::TempDir;
using clitest::With;

const Env kProbe{{"KLOVSIM_RESET_MS", "50"}};
const Env kNoProbe{{"KLOVSIM_PROBES", "0"}};
const Env kBootloader{{"KLOVSIM_MODE", "bootloader"}};
// Both directory orders of the simulated bus (what a process's first listing shows first).
const char* const kOrders[] = {"newest-first", "oldest-first"};

// Writes a state file with the probe left in bootloader mode by an interrupted update.
void MakeInterruptedProbe(const std::string& state) {
    const std::string command = std::string(MAKE_STATE) + " '" + state + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
}

// The plain progress lines of one full update: each flash phase in tenths.
std::string ProgressLines() {
    std::ostringstream s;
    for (const char* phase : {"erase", "write", "verify"}) {
        for (int p = 0; p <= 100; p += 10) {
            s << phase << ' ' << p << "%\n";
        }
    }
    return s.str();
}

struct ExitCase {
    std::vector<std::string> args;
    Env env;
    int code;
    std::string errHas;
    std::string outHas;
};

TEST(Cli, ExitCodesAndMessages) {
    const std::vector<ExitCase> cases = {
        {{"--version"}, kNoProbe, 0, "", "klov " KLOV_VERSION "\n"},
        {{"update", "--version"}, kNoProbe, 0, "", "klov " KLOV_VERSION "\n"},
        {{"set", "--help"}, kNoProbe, 0, "", "Exit codes:"},
        // Usage errors.
        {{}, kNoProbe, 64, "", ""},
        {{"frobnicate"}, kNoProbe, 64, "", ""},
        {{"info", "--bogus"}, kNoProbe, 64, "", ""},
        {{"get", "bogus"}, kNoProbe, 64, "", ""},
        {{"set", "hv"}, kNoProbe, 64, "", ""},
        {{"rate", "--interval", "0"}, kNoProbe, 64, "", ""},
        {{"update"}, kProbe, 64, "pass --yes", ""},
        // Refused values: refused before any probe is looked for, so 65 and not 69.
        {{"set", "hv", "70000"}, kNoProbe, 65, "70000 would reach the probe as 4464", ""},
        {{"set", "lld", "-1"}, kNoProbe, 65, "-1 would reach the probe as 65535", ""},
        {{"set", "uld", "65536"}, kNoProbe, 65, "as 0;", ""},
        {{"set", "cps-gain", "256"}, kNoProbe, 65, "0 to 255", ""},
        {{"set", "response-time", "12x"}, kNoProbe, 65, "not \"12x\"", ""},
        {{"set", "gain", ""}, kNoProbe, 65, "0 to 65535", ""},
        {{"set", "gain", "99999999999999999999"}, kNoProbe, 65, "far outside", ""},
        {{"set", "integral-mode", "2"}, kNoProbe, 65, "on, off, 1 or 0", ""},
        {{"update", "--serial", "12345678", "--yes"}, kNoProbe, 65, "not one", ""},
        {{"update", "--serial", "04124009", "--yes"}, kProbe, 65, "reports S/N 04124008", ""},
        // No probe, or one that only answers in its bootloader.
        {{"list"}, kNoProbe, 69, "udev rule", ""},
        {{"info"}, kNoProbe, 69, "replug", ""},
        {{"rate", "-d", "1"}, kProbe, 69, "at device index 1", ""},
        {{"update", "--yes"}, kNoProbe, 69, "Failed to connect to kLOV", ""},
        {{"get", "all"}, kBootloader, 69, "only in bootloader mode", ""},
        // Accepted edge values.
        {{"set", "hv", "65535"}, kProbe, 0, "", "hv 65535\n"},
        {{"set", "response-time", "0"}, kProbe, 0, "", "response-time 0\n"},
        {{"set", "analog-output-mode", "ON"}, kProbe, 0, "", "analog-output-mode 1\n"},
        {{"set", "integral-mode", "off"}, kProbe, 0, "", "integral-mode 0\n"},
        {{"get", "uld"}, kProbe, 0, "", "4000\n"},
        {{"rate"}, kProbe, 0, "", " cps  flag "},
    };
    for (const ExitCase& c : cases) {
        std::string line;
        for (const std::string& a : c.args) {
            line += a + ' ';
        }
        SCOPED_TRACE(line);
        const Outcome r = RunKlov(c.args, c.env);
        EXPECT_EQ(r.code, c.code) << Describe(r);
        EXPECT_NE(r.err.find(c.errHas), std::string::npos) << Describe(r);
        EXPECT_NE(r.out.find(c.outHas), std::string::npos) << Describe(r);
        if (c.code == 65) {
            EXPECT_EQ(r.out, "");
        }
    }
}

TEST(Cli, JsonOutputs) {
    for (const char* order : kOrders) {
        // The bus's order decides the indices, not the serial numbers.
        SCOPED_TRACE(order);
        const Outcome r = RunKlov(
            {"list", "--json"}, With(With(kProbe, "KLOVSIM_PROBES", "2"), "KLOVSIM_ORDER", order));
        ASSERT_EQ(r.code, 0) << Describe(r);
        const QJsonArray probes = Json(r.out).array();
        ASSERT_EQ(probes.size(), 2);
        std::vector<std::string> serials;
        for (int i = 0; i < 2; ++i) {
            const QJsonObject p = probes[i].toObject();
            EXPECT_EQ(p["device"].toInt(-1), i);
            EXPECT_EQ(Str(p["mode"]), "application");
            serials.push_back(Str(p["serial_number"]));
            EXPECT_EQ(Str(p["firmware_version"]), "2.0.3");
        }
        std::sort(serials.begin(), serials.end());
        EXPECT_EQ(serials, (std::vector<std::string>{"04124008", "04124009"}));
    }
    {
        const Outcome r = RunKlov({"list", "--json"}, kBootloader);
        ASSERT_EQ(r.code, 0) << Describe(r);
        const QJsonObject p = Json(r.out).array().at(0).toObject();
        EXPECT_EQ(Str(p["mode"]), "bootloader");
        EXPECT_TRUE(p["serial_number"].isNull());
        EXPECT_TRUE(p["firmware_version"].isNull());
    }
    {
        const Outcome r = RunKlov({"list", "--json"}, kNoProbe);
        EXPECT_EQ(r.code, 69);
        EXPECT_TRUE(Json(r.out).array().isEmpty());
    }
    {
        // Quotes, backslashes, control and non-ASCII bytes from the probe stay valid JSON.
        Env env = With(kProbe, "KLOVSIM_VERSION", "a\"b\\c\x01\xe9");
        const Outcome r = RunKlov({"info", "--json", "-d", "0"}, env);
        ASSERT_EQ(r.code, 0) << Describe(r);
        const QJsonObject o = Json(r.out).object();
        EXPECT_EQ(o["device"].toInt(-1), 0);
        EXPECT_EQ(Str(o["product_name"]), "kLOV-VR");
        EXPECT_EQ(Str(o["manufacturer"]), "KORVALIMEX");
        EXPECT_EQ(Str(o["serial_number"]), "04124008");
        EXPECT_EQ(o["firmware_version"].toString(), QString::fromLatin1("a\"b\\c\x01\xe9"));
        EXPECT_EQ(Str(o["production_date"]), "2012-12-28");
        EXPECT_EQ(Str(o["production_date_raw"]), "20121228");
    }
    {
        // Not a calendar date (2013 is no leap year): shown raw, no date.
        const Outcome r = RunKlov({"info", "--json"}, With(kProbe, "KLOVSIM_DATE", "20130229"));
        ASSERT_EQ(r.code, 0) << Describe(r);
        const QJsonObject o = Json(r.out).object();
        EXPECT_TRUE(o["production_date"].isNull());
        EXPECT_EQ(Str(o["production_date_raw"]), "20130229");
    }
    {
        const Outcome r = RunKlov({"get", "all", "--json"}, kProbe);
        ASSERT_EQ(r.code, 0) << Describe(r);
        const QJsonObject o = Json(r.out).object();
        const std::vector<std::pair<const char*, int>> expected = {
            {"hv", 900},     {"gain", 128},        {"lld", 40},
            {"uld", 4000},   {"integral-mode", 0}, {"analog-output-mode", 0},
            {"cps-gain", 1}, {"response-time", 10}};
        EXPECT_EQ(o.size(), static_cast<qsizetype>(expected.size()));
        for (const auto& [name, value] : expected) {
            EXPECT_EQ(o[name].toInt(-1), value) << name;
        }
        EXPECT_EQ(Json(RunKlov({"get", "lld", "--json"}, kProbe).out).object(),
                  (QJsonObject{{"lld", 40}}));
    }
    {
        const Outcome r = RunKlov({"rate", "--count", "3", "--interval", "20", "--json"}, kProbe);
        ASSERT_EQ(r.code, 0) << Describe(r);
        std::istringstream lines(r.out);
        std::string line;
        int count = 0;
        int lastElapsed = -1;
        while (std::getline(lines, line)) {
            const QJsonObject o = Json(line).object();
            EXPECT_TRUE(o["rate"].isDouble());
            EXPECT_GE(o["rate"].toInt(-1), 0);
            EXPECT_LE(o["rate"].toInt(), 65535);
            EXPECT_TRUE(o["flag"].toInt(-1) == 0 || o["flag"].toInt(-1) == 1);
            EXPECT_GT(o["elapsed_ms"].toInt(-1), lastElapsed);
            lastElapsed = o["elapsed_ms"].toInt();
            ++count;
        }
        EXPECT_EQ(count, 3);
    }
}

// Ctrl-C or a termination request ends a watch between two readings, also in the middle of
// a long interval, and klov closes its connection and ends with 0.
TEST(Cli, ASignalEndsARateWatch) {
    struct Case {
        int signal;
        const char* interval;
        std::size_t linesBefore;
    };
    for (const Case& c : {Case{SIGINT, "20", 3}, Case{SIGTERM, "20", 3}, Case{SIGINT, "600000", 1},
                          Case{SIGTERM, "600000", 1}}) {
        const Outcome r = clitest::RunKlovUntilSignal({"rate", "--watch", "--interval", c.interval},
                                                      kProbe, c.signal, c.linesBefore);
        SCOPED_TRACE(std::string("signal ") + std::to_string(c.signal) + ", interval " +
                     c.interval);
        EXPECT_EQ(r.code, 0) << Describe(r);
        EXPECT_EQ(r.err, "");
        const auto lines = static_cast<std::size_t>(std::count(r.out.begin(), r.out.end(), '\n'));
        // Readings 20 ms apart go on until the signal arrives; in a ten-minute interval the
        // signal ends the wait for the second reading.
        if (c.linesBefore == 1) {
            EXPECT_EQ(lines, 1U) << r.out;
        } else {
            EXPECT_GE(lines, c.linesBefore) << r.out;
        }
    }
}

TEST(Cli, SetAndSaveReachTheProbe) {
    TempDir dir;
    const Env env = With(kProbe, "KLOVSIM_STATE", dir.File("probe.state"));
    // Every klov run powers the simulated probe up afresh from what it saved.
    for (const auto& [args, out] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"set", "hv", "1234", "--save"}, "hv 1234 (saved)\n"},
             {{"get", "hv"}, "1234\n"},
             {{"set", "integral-mode", "on", "--save"}, "integral-mode 1 (saved)\n"},
             {{"save"}, "settings saved\n"},
             {{"get", "all"}, ""}}) {
        const Outcome r = RunKlov(args, env);
        EXPECT_EQ(r.code, 0) << Describe(r);
        if (!out.empty()) {
            EXPECT_EQ(r.out, out) << args[0];
        }
    }
    const QJsonObject o = Json(RunKlov({"get", "all", "--json"}, env).out).object();
    EXPECT_EQ(o["hv"].toInt(), 1234);
    EXPECT_EQ(o["integral-mode"].toInt(), 1);
    EXPECT_EQ(o["gain"].toInt(), 128);
}

TEST(Cli, UpdateOfARunningProbe) {
    for (const char* order : kOrders) {
        SCOPED_TRACE(order);
        TempDir dir;
        // Two probes; the one with S/N 04124009 is updated by its device index and the other
        // one left alone. The update restarts the probe, which then comes back under another
        // index: klov finds it by its serial number and flash identity.
        const Env env = With(With(With(With(kProbe, "KLOVSIM_STATE", dir.File("probe.state")),
                                       "KLOVSIM_VERSION", "0.0.1"),
                                  "KLOVSIM_PROBES", "2"),
                             "KLOVSIM_ORDER", order);
        const auto versions = [&] {
            std::map<std::string, std::string> v;
            for (const QJsonValue& p : Json(RunKlov({"list", "--json"}, env).out).array()) {
                v[Str(p.toObject()["serial_number"])] = Str(p.toObject()["firmware_version"]);
            }
            return v;
        };
        int index = -1;
        for (const QJsonValue& p : Json(RunKlov({"list", "--json"}, env).out).array()) {
            if (Str(p.toObject()["serial_number"]) == "04124009") {
                index = p.toObject()["device"].toInt(-1);
            }
        }
        ASSERT_GE(index, 0);
        const Outcome r = RunKlov({"update", "-d", std::to_string(index), "--yes"}, env);
        ASSERT_EQ(r.code, 0) << Describe(r);
        EXPECT_EQ(r.out, ProgressLines());
        EXPECT_NE(r.err.find("Connected to kLOV with S/N 04124009"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("update finished"), std::string::npos) << r.err;

        const auto after = versions();
        ASSERT_EQ(after.size(), 2U);
        EXPECT_EQ(after.at("04124008"), "0.0.1");
        const QJsonObject info =
            Json(RunKlov({"info", "--serial", "04124009", "--json"}, env).out).object();
        EXPECT_EQ(Str(info["serial_number"]), "04124009");
        EXPECT_EQ(Str(info["production_date"]), "2012-12-28");
        EXPECT_NE(Str(info["firmware_version"]), "0.0.1");
        EXPECT_FALSE(Str(info["firmware_version"]).empty());
    }
}

TEST(Cli, InterruptedUpdateIsRecovered) {
    TempDir dir;
    const std::string state = dir.File("probe.state");
    MakeInterruptedProbe(state);
    const Env env = With(kProbe, "KLOVSIM_STATE", state);

    const Outcome before = RunKlov({"info"}, env);
    EXPECT_EQ(before.code, 69);
    EXPECT_NE(before.err.find("bootloader mode"), std::string::npos) << before.err;

    const Outcome r = RunKlov({"update", "--serial", "04124008", "--yes"}, env);
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_EQ(r.out, ProgressLines());
    EXPECT_NE(r.err.find("Connected to kLOV in bootloader mode"), std::string::npos) << r.err;

    const Outcome info = RunKlov({"info", "--json"}, env);
    ASSERT_EQ(info.code, 0) << Describe(info);
    const QJsonObject o = Json(info.out).object();
    EXPECT_EQ(Str(o["serial_number"]), "04124008");
    EXPECT_EQ(Str(o["production_date"]), "2012-12-28");  // from the table of serial numbers
}

// A write that fails in the middle of the flash ends the update with 74 and says how to go on;
// that very command, with no fault, brings the probe back from its bootloader.
TEST(Cli, AFailedFlashEndsWith74AndTheAdvisedCommandRecovers) {
    TempDir dir;
    const Env env = With(kProbe, "KLOVSIM_STATE", dir.File("probe.state"));

    const Outcome failed =
        RunKlov({"update", "--yes"}, With(env, "KLOVSIM_FAULT", "write-error@800"));
    EXPECT_EQ(failed.code, 74) << Describe(failed);
    EXPECT_NE(failed.err.find("Failed to write flash at address "), std::string::npos)
        << failed.err;
    // By serial number: the device index may name another probe once this one has restarted.
    const std::string advice = "klov update --serial 04124008 --yes";
    EXPECT_NE(failed.err.find(advice), std::string::npos) << failed.err;
    EXPECT_EQ(RunKlov({"info"}, env).code, 69);  // left in its bootloader

    const Outcome r = RunKlov({"update", "-d", "0", "--serial", "04124008", "--yes"}, env);
    ASSERT_EQ(r.code, 0) << Describe(r);
    const QJsonObject o = Json(RunKlov({"info", "--json"}, env).out).object();
    EXPECT_EQ(Str(o["serial_number"]), "04124008");
}

TEST(Cli, SerialNumberAskedOnStandardInput) {
    TempDir dir;
    const std::string state = dir.File("probe.state");
    MakeInterruptedProbe(state);
    const Env env = With(kProbe, "KLOVSIM_STATE", state);

    // End of input at the question: nothing is written, the probe stays as it was.
    const Outcome cancelled = RunKlov({"update", "--yes"}, env, "");
    EXPECT_EQ(cancelled.code, 65) << Describe(cancelled);
    EXPECT_NE(cancelled.err.find("Operation aborted."), std::string::npos) << cancelled.err;
    EXPECT_EQ(cancelled.out, "");
    EXPECT_EQ(RunKlov({"info"}, env).code, 69);

    // A number too short is asked again; the next one is listed and used.
    const Outcome r = RunKlov({"update", "--yes"}, env, "0412401\n04124010\n");
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_NE(r.err.find("Invalid serial number, try again."), std::string::npos) << r.err;
    const QJsonObject o = Json(RunKlov({"info", "--json"}, env).out).object();
    EXPECT_EQ(Str(o["serial_number"]), "04124010");
    EXPECT_EQ(Str(o["production_date"]), "2013-03-22");
}

TEST(Cli, ConfirmationOnATerminal) {
    TempDir dir;
    const Env env =
        With(With(kProbe, "KLOVSIM_STATE", dir.File("probe.state")), "KLOVSIM_VERSION", "0.0.1");
    const Outcome declined = clitest::RunKlovOnTerminal({"update"}, env, "n\n");
    EXPECT_EQ(declined.code, 65) << Describe(declined);
    EXPECT_NE(declined.err.find("Continue? [y/N]"), std::string::npos) << declined.err;
    EXPECT_NE(declined.err.find("S/N 04124008"), std::string::npos) << declined.err;
    EXPECT_EQ(declined.out, "");
    EXPECT_EQ(Str(Json(RunKlov({"info", "--json"}, env).out).object()["firmware_version"]),
              "0.0.1");

    const Outcome accepted = clitest::RunKlovOnTerminal({"update"}, env, "yes\n");
    EXPECT_EQ(accepted.code, 0) << Describe(accepted);
    EXPECT_NE(Str(Json(RunKlov({"info", "--json"}, env).out).object()["firmware_version"]),
              "0.0.1");
}

}  // namespace
