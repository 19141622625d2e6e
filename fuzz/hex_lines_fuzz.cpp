// ReadFWFile over arbitrary module lines. The first input byte picks the path: odd, the lines
// are encoded first, so the reader's decode hands the HEX parser exactly the fuzzer's text
// (with non-digits read as 0); even, the raw lines go straight in and decode to whatever the
// codec makes of them. Either way the reader must answer with true and no message, or false
// and exactly one message, and leave the highest address inside the program memory.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "codec.h"
#include "firmware_image.h"
#include "fuzz_support.h"
#include "hex_reader.h"
#include "message_box.h"

namespace {

using fuzzsupport::CountingBoxes;
using fuzzsupport::Normalised;
using fuzzsupport::Require;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool encode = (data[0] & 1) != 0;
    std::vector<std::string> lines;
    std::string current;
    for (std::size_t i = 1; i < size; ++i) {
        if (data[i] == '\n') {
            lines.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    lines.push_back(current);

    if (encode) {
        mirovane::codec({}, 0);
        for (std::string& line : lines) {
            line = mirovane::codec(line, 1);
        }
        // The codec's own promise: a decode in the same order gives the normalised text back.
        std::vector<std::string> plain;
        std::string text;
        for (std::size_t i = 1; i <= size; ++i) {
            if (i == size || data[i] == '\n') {
                plain.push_back(text);
                text.clear();
            } else {
                text.push_back(static_cast<char>(data[i]));
            }
        }
        mirovane::codec({}, 0);
        for (std::size_t i = 0; i < lines.size(); ++i) {
            Require(mirovane::codec(lines[i], 2) == Normalised(plain[i]),
                    "decode did not restore an encoded line");
        }
    }

    mirovane::FirmwareImage image;
    CountingBoxes boxes;
    const bool ok = mirovane::ReadFWFile(image, lines, boxes);
    Require(boxes.shown == (ok ? 0 : 1), "a read must show one message exactly when it fails");
    Require(image.FWHighAddr >= mirovane::kApplicationStart &&
                image.FWHighAddr <= mirovane::kProgramTop,
            "highest address outside the program memory");
    return 0;
}
