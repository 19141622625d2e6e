// The module generator over arbitrary input files. Whatever the file holds, MkInline must
// either refuse it with a message or write a module whose every element, decoded in order,
// gives back its HEX line without the colon (digits normalised as the codec does).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec.h"
#include "fuzz_support.h"
#include "message_box.h"
#include "mkinline.h"

namespace {

using fuzzsupport::CountingBoxes;
using fuzzsupport::Normalised;
using fuzzsupport::Require;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        const std::size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos) {
            end = text.size();
        } else if (end > start && text[end - 1] == '\r') {
            --end;
        }
        lines.push_back(text.substr(start, end - start));
        start = next;
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/klov_mkinline_fuzz_" + std::to_string(getpid()) + ".hex";
    const std::string input(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << input;
    }
    std::remove((path + ".bas").c_str());

    CountingBoxes boxes;
    const bool ok = mirovane::MkInline(path, boxes);
    Require(ok == (boxes.shown == 0), "a message must come exactly with a failure");

    std::ifstream module(path + ".bas", std::ios::binary);
    if (ok) {
        Require(static_cast<bool>(module), "success without a module file");
        const std::string text{std::istreambuf_iterator<char>(module),
                               std::istreambuf_iterator<char>()};
        const std::vector<std::string> hex = Lines(input);
        std::vector<std::string> encoded;
        for (const std::string& line : Lines(text)) {
            const std::string head = "    FWFile(";
            if (line.compare(0, head.size(), head) == 0) {
                const std::size_t open = line.find('"');
                Require(open != std::string::npos && line.back() == '"', "malformed element");
                encoded.push_back(line.substr(open + 1, line.size() - open - 2));
            }
        }
        Require(encoded.size() == hex.size(), "one element per input line");
        mirovane::codec({}, 0);
        for (std::size_t i = 0; i < hex.size(); ++i) {
            Require(mirovane::codec(encoded[i], 2) == Normalised(hex[i].substr(1)),
                    "an element does not decode to its line");
        }
    }
    std::remove(path.c_str());
    std::remove((path + ".bas").c_str());
    return 0;
}
