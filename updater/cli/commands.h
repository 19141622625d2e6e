// The probe commands of klov other than the update. Each returns its exit code; results go
// to `out`, messages to `err`.
#pragma once

#include <iosfwd>
#include <string>

#include "probe.h"

namespace klov {

struct Output {
    std::ostream& out;
    std::ostream& err;
    bool json = false;
};

int ListProbes(Library& lib, Output o);
int ShowInfo(Library& lib, int device, Output o);
int GetSettings(Library& lib, int device, const std::string& name, Output o);
// Sets, reads back and, with `save`, stores the settings in the probe over the same connection.
int SetSetting(Library& lib, int device, const std::string& name, const std::string& value,
               bool save, Output o);
int SaveSettings(Library& lib, int device, Output o);

struct RateOptions {
    bool watch = false;
    int intervalMs = 1000;
    long count = 0;  // 0: once, or until interrupted with --watch
};
int ReadRate(Library& lib, int device, const RateOptions& options, Output o);

}  // namespace klov
