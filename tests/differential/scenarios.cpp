// The scenarios of the differential suite and what each must show. The same table runs over
// the drop-in libusb (under both directory orders) and over the real libusb 0.1 (under the
// order its testbed's directory has); there each scenario must also give exactly the
// transcript that the drop-in gives under that order, which a child process of the drop-in's
// executable provides.
#include <gtest/gtest.h>
#include <usb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <thread>

#include "ardellix.h"
#include "rig.h"

namespace differential {
namespace {

using klovsim::DirectoryOrder;
using klovsim::Mode;
using klovsim::ProbeConfig;
using namespace std::chrono_literals;

constexpr int kMaxIndex = 8;

ProbeConfig Probe(const std::string& serial, Mode mode = Mode::Application) {
    ProbeConfig c;
    c.serial = serial;
    c.mode = mode;
    c.resetDelay = 300ms;
    return c;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    char two[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(two, sizeof two, s.empty() ? "%02x" : " %02x", b);
        s += two;
    }
    return s;
}

std::string Join(const Transcript& lines) {
    std::string s;
    for (const std::string& l : lines) {
        s += (s.empty() ? "" : " ") + l;
    }
    return s;
}

// The probes a program lists through the library, by index: each one's serial number, or
// "(bootloader)" for one that only opens in its bootloader.
Transcript ListByIndex() {
    Transcript out;
    for (int i = 0; i < kMaxIndex; ++i) {
        if (ScaHandle h = OpenSCA(i); h != 0) {
            char serial[10] = {};
            out.push_back(ReadSerialNo(h, serial) == 1 ? std::string(serial) : "(no serial)");
            CloseSCA(h);
        } else if (ScaHandle b = OpenSCABootloader(i); b != 0) {
            out.push_back("(bootloader)");
            CloseSCA(b);
        } else {
            break;
        }
    }
    return out;
}

// The first probe in libusb's lists, opened and configured, as a host that talks to libusb.
usb_dev_handle* OpenFirstProbe() {
    usb_init();
    usb_find_busses();
    usb_find_devices();
    for (usb_bus* b = usb_get_busses(); b != nullptr; b = b->next) {
        for (struct usb_device* d = b->devices; d != nullptr; d = d->next) {
            if (d->descriptor.idVendor == klovsim::kProbeVendorId &&
                d->descriptor.idProduct == klovsim::kProbeProductId) {
                usb_dev_handle* h = usb_open(d);
                if (h != nullptr && usb_set_configuration(h, 1) < 0) {
                    usb_close(h);
                    return nullptr;
                }
                return h;
            }
        }
    }
    return nullptr;
}

std::string Rc(const char* what, int rc) {
    return std::string(what) + " " + std::to_string(rc);
}

int Write(usb_dev_handle* h, std::vector<std::uint8_t> bytes) {
    return usb_bulk_write(h, 0x01, reinterpret_cast<char*>(bytes.data()),
                          static_cast<int>(bytes.size()), 100);
}

int Read(usb_dev_handle* h, int size, int timeout = 100) {
    char buffer[64];
    return usb_bulk_read(h, 0x81, buffer, size, timeout);
}

struct Scenario {
    const char* name;
    std::function<void(Rig&, Transcript&)> run;
    // The transcript it must give under a directory order; nothing where only the comparison
    // of the two paths judges it.
    std::function<std::optional<Transcript>(DirectoryOrder)> expected;
};

const Scenario kScenarios[] = {
    {"IndexToSerialAmongForeignDevices",
     [](Rig& rig, Transcript& t) {
         rig.addForeignDevice(0x1D6B, 0x0002);
         rig.addProbe(Probe("04124008"));
         rig.addForeignDevice(0x04D8, 0x000A);  // same vendor, another product
         rig.addProbe(Probe("04124009"));
         rig.addForeignDevice(0x1234, 0xF85D);  // another vendor, same product
         rig.addProbe(Probe("04124010", Mode::Bootloader));
         t.push_back("listing: " + Join(ListByIndex()));
         t.push_back("fresh process: " + Join(rig.freshProcess()));
     },
     [](DirectoryOrder o) -> std::optional<Transcript> {
         const std::string list = o == DirectoryOrder::NewestFirst
                                      ? "(bootloader) 04124009 04124008"
                                      : "04124008 04124009 (bootloader)";
         return Transcript{"listing: " + list, "fresh process: " + list};
     }},

    // A probe restarted in a running program comes back first; a fresh process lists the bus
    // in its directory's order, where the restarted probe is the newest node.
    {"ResetOfOneProbeInProcessAndInAFreshProcess",
     [](Rig& rig, Transcript& t) {
         rig.addProbe(Probe("04124008"));
         rig.addProbe(Probe("04124009"));
         const Transcript before = ListByIndex();
         t.push_back("listing: " + Join(before));
         t.push_back("fresh process: " + Join(rig.freshProcess()));
         const ScaHandle h = OpenSCA(1);
         t.push_back(Rc("reset index 1:", h != 0 ? ResetController(h) : -1));
         CloseSCA(h);
         const int restarted = before.size() == 2 && before[1] == "04124008" ? 0 : 1;
         t.push_back(rig.waitForNode(restarted) ? "back" : "not back");
         t.push_back("listing: " + Join(ListByIndex()));
         t.push_back("fresh process: " + Join(rig.freshProcess()));
     },
     [](DirectoryOrder o) -> std::optional<Transcript> {
         if (o == DirectoryOrder::NewestFirst) {
             return Transcript{"listing: 04124009 04124008", "fresh process: 04124009 04124008",
                               "reset index 1: 1",           "back",
                               "listing: 04124008 04124009", "fresh process: 04124008 04124009"};
         }
         return Transcript{"listing: 04124008 04124009", "fresh process: 04124008 04124009",
                           "reset index 1: 1",           "back",
                           "listing: 04124009 04124008", "fresh process: 04124008 04124009"};
     }},

    // A read with nothing to answer times out; the handle stays usable.
    {"ReturnCodesOnATimeOut",
     [](Rig& rig, Transcript& t) {
         rig.addProbe(Probe("04124008", Mode::Bootloader));
         usb_dev_handle* h = OpenFirstProbe();
         t.push_back(h != nullptr ? "open" : "no open");
         if (h == nullptr) {
             return;
         }
         t.push_back(Rc("claim", usb_claim_interface(h, 0)));
         t.push_back(Rc("write 40", Write(h, {0x40})));
         const auto start = std::chrono::steady_clock::now();
         t.push_back(Rc("read", Read(h, 32)));
         t.push_back(std::chrono::steady_clock::now() - start >= 100ms ? "waited the time-out"
                                                                       : "returned early");
         t.push_back(Rc("write 01 read", Write(h, {0x01, 0x01, 0x00, 0x08, 0x00})));
         t.push_back(Rc("read", Read(h, 6)));
         t.push_back(Rc("release", usb_release_interface(h, 0)));
         t.push_back(Rc("close", usb_close(h)));
         t.push_back(Rc("OpenSCA", OpenSCA(0) != 0));
         const ScaHandle b = OpenSCABootloader(0);
         t.push_back(Rc("OpenSCABootloader", b != 0));
         CloseSCA(b);
     },
     [](DirectoryOrder) -> std::optional<Transcript> {
         return Transcript{"open",
                           "claim 0",
                           "write 40 1",
                           "read -110",
                           "waited the time-out",
                           "write 01 read 5",
                           "read 6",
                           "release 0",
                           "close 0",
                           "OpenSCA 0",
                           "OpenSCABootloader 1"};
     }},

    // The probe leaves between a request and the read of its reply, and while a read waits.
    {"ReturnCodesOnAnUnplugMidExchange",
     [](Rig& rig, Transcript& t) {
         rig.addProbe(Probe("04124008"));
         usb_dev_handle* h = OpenFirstProbe();
         t.push_back(h != nullptr ? "open" : "no open");
         if (h == nullptr) {
             return;
         }
         t.push_back(Rc("claim", usb_claim_interface(h, 0)));
         t.push_back(Rc("write e0", Write(h, {0xE0})));
         rig.unplug(0);
         t.push_back(Rc("read", Read(h, 10)));
         t.push_back(Rc("release", usb_release_interface(h, 0)));
         t.push_back(Rc("claim", usb_claim_interface(h, 0)));
         t.push_back(Rc("close", usb_close(h)));

         rig.plug(0);
         t.push_back(rig.waitForNode(0) ? "back" : "not back");
         h = OpenFirstProbe();
         t.push_back(h != nullptr ? "open" : "no open");
         if (h == nullptr) {
             return;
         }
         t.push_back(Rc("claim", usb_claim_interface(h, 0)));
         t.push_back(Rc("write 5a", Write(h, {0x5A, 0x07})));  // a set: no reply
         int pending = 1;
         std::thread reader([&] { pending = Read(h, 64, 3000); });
         std::this_thread::sleep_for(300ms);
         rig.unplug(0);
         reader.join();
         t.push_back(Rc("read waiting at the unplug", pending));
         t.push_back(Rc("release", usb_release_interface(h, 0)));
         t.push_back(Rc("close", usb_close(h)));
     },
     [](DirectoryOrder) -> std::optional<Transcript> {
         return Transcript{"open",        "claim 0",   "write e0 1", "read -19",
                           "release -19", "claim -19", "close 0",    "back",
                           "open",        "claim 0",   "write 5a 2", "read waiting at the unplug 0",
                           "release -19", "close 0"};
     }},

    // The probe restarts at the reset request: the old handle then reaches nothing.
    {"ReturnCodesAfterAReset",
     [](Rig& rig, Transcript& t) {
         rig.addProbe(Probe("04124008"));
         usb_dev_handle* h = OpenFirstProbe();
         t.push_back(h != nullptr ? "open" : "no open");
         if (h == nullptr) {
             return;
         }
         t.push_back(Rc("claim", usb_claim_interface(h, 0)));
         t.push_back(Rc("write ff", Write(h, {0xFF})));
         t.push_back(Rc("write e0", Write(h, {0xE0})));
         t.push_back(Rc("read", Read(h, 10)));
         t.push_back(Rc("release", usb_release_interface(h, 0)));
         t.push_back(Rc("set configuration", usb_set_configuration(h, 1)));
         t.push_back(Rc("close", usb_close(h)));
         t.push_back(rig.waitForNode(0) ? "back" : "not back");
         const ScaHandle s = OpenSCA(0);
         t.push_back(Rc("ResetController", ResetController(s)));
         char serial[10] = {};
         t.push_back(Rc("ReadSerialNo", ReadSerialNo(s, serial)));
         t.push_back(Rc("CloseSCA", CloseSCA(s)));
     },
     [](DirectoryOrder) -> std::optional<Transcript> {
         return Transcript{"open",
                           "claim 0",
                           "write ff 1",
                           "write e0 -19",
                           "read -19",
                           "release -19",
                           "set configuration -19",
                           "close 0",
                           "back",
                           "ResetController 1",
                           "ReadSerialNo 0",
                           "CloseSCA 1"};
     }},

    // Every export's bytes on the wire, through a whole reprogramming of one row.
    {"BytesOnTheWire",
     [](Rig& rig, Transcript& t) {
         rig.addProbe(Probe("04124008"));
         ScaHandle h = OpenSCA(0);
         t.push_back(Rc("OpenSCA", h != 0));
         char text[32] = {};
         t.push_back(Rc("ReadSerialNo", ReadSerialNo(h, text)));
         for (int selector = 0; selector < 5; ++selector) {
             t.push_back(Rc("ReadDeviceInfo", ReadDeviceInfo(h, selector, text)));
         }
         std::int32_t value = 0;
         t.push_back(Rc("SetHV", SetHV(h, 1000)));
         const int readHv = ReadHV(h, &value);
         t.push_back(Rc("ReadHV", readHv) + " " + std::to_string(value));
         t.push_back(Rc("SetCPSGain", SetCPSGain(h, 3)));
         const int readGain = ReadCPSGain(h, &value);
         t.push_back(Rc("ReadCPSGain", readGain) + " " + std::to_string(value));
         std::int32_t rate = 0, flag = 0;
         t.push_back(Rc("ReadCPS", ReadCPS(h, &rate, &flag)));
         t.push_back(Rc("SaveSettings", SaveSettings(h)));
         t.push_back(Rc("SetBootloaderFlag", SetBootloaderFlag(h, 1)));
         t.push_back(Rc("ResetController", ResetController(h)));
         t.push_back(Rc("CloseSCA", CloseSCA(h)));
         t.push_back(rig.waitForNode(0) ? "back" : "not back");
         h = OpenSCABootloader(0);
         t.push_back(Rc("OpenSCABootloader", h != 0));
         const std::uint8_t row[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
         t.push_back(Rc("EraseFlashBlock", EraseFlashBlock(h, 0x2000)));
         t.push_back(Rc("WriteFlash", WriteFlash(h, 0x2005, row, 3)));
         t.push_back(Rc("VerifyFlash", VerifyFlash(h, 0x2005, row, 3)));
         std::uint8_t padded[16];
         std::fill(std::begin(padded), std::end(padded), 0xFF);
         std::copy(row, row + 3, padded + 5);
         t.push_back(Rc("VerifyFlash", VerifyFlash(h, 0x2000, padded, 16)));
         t.push_back(Rc("WriteConfig", WriteConfig(h, 0x30000E, row, 4)));
         t.push_back(Rc("SetBootloaderFlag", SetBootloaderFlag(h, 0)));
         t.push_back(Rc("ResetController", ResetController(h)));
         t.push_back(Rc("CloseSCA", CloseSCA(h)));
         for (const Transfer& x : rig.transfers()) {
             t.push_back(std::string(x.out ? "out " : "in  ") + Hex(x.data));
         }
         t.push_back("violations " + std::to_string(rig.violations(0)));
     },
     [](DirectoryOrder) -> std::optional<Transcript> { return std::nullopt; }},
};

// A transcript of library calls: each line's result (its second word) is 1, apart from the
// waits, the bytes on the wire and the count of violations.
void ExpectEveryCallSucceeded(const Transcript& t) {
    for (const std::string& line : t) {
        if (line == "back" || line.rfind("out ", 0) == 0 || line.rfind("in  ", 0) == 0 ||
            line.rfind("violations ", 0) == 0) {
            continue;
        }
        const std::size_t space = line.find(' ');
        EXPECT_TRUE(space != std::string::npos && line.compare(space + 1, 1, "1") == 0 &&
                    (line.size() == space + 2 || line[space + 2] == ' '))
            << line;
    }
}

Transcript Run(const Scenario& s, DirectoryOrder order) {
    std::unique_ptr<Rig> rig = MakeRig(order);
    Transcript t;
    s.run(*rig, t);
    return t;
}

const char* OrderName(DirectoryOrder o) {
    return o == DirectoryOrder::NewestFirst ? "newest-first" : "oldest-first";
}

class Differential : public ::testing::TestWithParam<std::tuple<int, DirectoryOrder>> {};

TEST_P(Differential, Scenario) {
    const Scenario& s = kScenarios[std::get<0>(GetParam())];
    std::unique_ptr<Rig> rig = MakeRig(std::get<1>(GetParam()));
    const DirectoryOrder order = rig->order();
    Transcript t;
    s.run(*rig, t);
    rig.reset();
    if (const std::optional<Transcript> want = s.expected(order)) {
        EXPECT_EQ(t, *want) << kRigName << ", " << OrderName(order);
    } else {
        ExpectEveryCallSucceeded(t);
        EXPECT_EQ(t.back(), "violations 0");
    }
    if (kComparesWithDropIn) {
        // The drop-in, under the order this bus has, must show exactly the same.
        const Transcript dropIn =
            RunChild(DROPIN_EXECUTABLE, {"--transcript", s.name, OrderName(order)}, {},
                     {"LD_PRELOAD", "UMOCKDEV_DIR"});
        EXPECT_EQ(t, dropIn) << "the drop-in differs from the real libusb 0.1";
    }
}

std::string Name(const ::testing::TestParamInfo<std::tuple<int, DirectoryOrder>>& p) {
    std::string name = kScenarios[std::get<0>(p.param)].name;
    if (!kComparesWithDropIn) {
        name +=
            std::get<1>(p.param) == DirectoryOrder::NewestFirst ? "_NewestFirst" : "_OldestFirst";
    }
    return name;
}

// The drop-in runs each scenario under both orders; the real libusb under its testbed's.
std::vector<DirectoryOrder> Orders() {
    if (kComparesWithDropIn) {
        return {DirectoryOrder::NewestFirst};
    }
    return {DirectoryOrder::NewestFirst, DirectoryOrder::OldestFirst};
}

INSTANTIATE_TEST_SUITE_P(
    , Differential,
    ::testing::Combine(::testing::Range(0, static_cast<int>(std::size(kScenarios))),
                       ::testing::ValuesIn(Orders())),
    Name);

}  // namespace

}  // namespace differential

// Besides the tests: --list prints what this process lists by index (a fresh process of a
// scenario), --transcript <scenario> <order> prints a scenario's transcript.
int main(int argc, char** argv) {
    using namespace differential;
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
        for (const std::string& line : ListByIndex()) {
            std::printf("%s\n", line.c_str());
        }
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "--transcript") == 0) {
        const DirectoryOrder order = std::strcmp(argv[3], "oldest-first") == 0
                                         ? DirectoryOrder::OldestFirst
                                         : DirectoryOrder::NewestFirst;
        for (const Scenario& s : kScenarios) {
            if (s.name == std::string(argv[2])) {
                for (const std::string& line : Run(s, order)) {
                    std::printf("%s\n", line.c_str());
                }
                return 0;
            }
        }
        std::fprintf(stderr, "no scenario %s\n", argv[2]);
        return 2;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
