// Reads the encoded Intel HEX lines of a firmware module into a firmware image.
#pragma once

#include <string>
#include <vector>

#include "firmware_image.h"
#include "message_box.h"

namespace mirovane {

// Decodes every element of fwFile (after one codec reset) and parses it as one Intel HEX record
// without its colon: data (0), end of file (1) and extended linear address (4) for 0x0000
// (program memory) or 0x0030 (configuration memory). Expects a reset image and does not reset
// it. On the first bad record it shows one error box naming the element index and returns
// false, leaving the image as the records before it, and the failing record's bytes that were
// in range, made it. Records after an end-of-file record are read like all others.
bool ReadFWFile(FirmwareImage& image, const std::vector<std::string>& fwFile, MessageBoxes& boxes);

}  // namespace mirovane
