// The probe commands of klov other than the update. Each returns its exit code; results go
// to `out`, messages to `err`.
#pragma once

#include <iosfwd>
#include <string>

#include "probe.h"
#include "selection.h"

namespace klov {

struct Output {
    std::ostream& out;
    std::ostream& err;
    bool json = false;
};

// Every probe on the bus. A probe in bootloader mode cannot report its serial number; the one
// its flash proves (against the listed serial numbers) is shown, marked as read from flash.
int ListProbes(Library& lib, Output o);
int ShowInfo(Library& lib, const ProbeChoice& choice, Output o);
int GetSettings(Library& lib, const ProbeChoice& choice, const std::string& name, Output o);
// Sets, reads back and, with `save`, stores the settings in the probe over the same connection.
int SetSetting(Library& lib, const ProbeChoice& choice, const std::string& name,
               const std::string& value, bool save, Output o);
int SaveSettings(Library& lib, const ProbeChoice& choice, Output o);

struct RateOptions {
    bool watch = false;
    int intervalMs = 1000;
    long long count = 0;  // 0: once, or until interrupted with --watch
};
int ReadRate(Library& lib, const ProbeChoice& choice, const RateOptions& options, Output o);

}  // namespace klov
