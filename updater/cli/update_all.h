// klov update --all: every attached probe whose serial number is listed, updated at the same
// time, one thread and one connection per probe. One probe failing never stops the others;
// the run ends with a table of every probe and the worst exit code of all.
#pragma once

#include "library_binding.h"
#include "update_common.h"

namespace klov {

int RunUpdateAll(mirovane::ArdellixApi& lib, const UpdateOptions& options, UpdateStreams io);

}  // namespace klov
