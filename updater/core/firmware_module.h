// The compiled-in firmware: the encoded lines of the shipped Intel HEX file, one element per
// line, generated at build time. Every element is the empty text until FWFileInit runs.
#pragma once

#include <string>
#include <vector>

namespace mirovane {

extern std::vector<std::string> FWFile;

// Assigns every element of FWFile its encoded line; callable any number of times.
void FWFileInit();

}  // namespace mirovane
