// Turns an Intel HEX file into the source text of the firmware module: the declaration of
// FWFile with one element per input line and FWFileInit, which assigns each element the
// encoded line (without its colon). The build compiles that module into the updater.
#pragma once

#include <cstddef>
#include <string>

#include "message_box.h"

namespace mirovane {

// Most lines a HEX file may hold: the module's indices are 16-bit.
inline constexpr std::size_t kMaxHexLines = 32767;

// Reads filename (lines end in LF, optionally preceded by CR) and writes filename + ".bas"
// with CRLF line ends, replacing any file of that name. Returns true when the whole module
// was written. A line that does not start with ':' shows "Invalid record in file at line "
// with its 1-based number, and the module is closed with "End Sub" after the lines before it
// (false). An input that cannot be read, holds no line or more than kMaxHexLines lines, or an
// output that cannot be written, shows a message and gives false.
bool MkInline(const std::string& filename, MessageBoxes& boxes);

}  // namespace mirovane
