#include "mkinline.h"

#include <fstream>
#include <iterator>
#include <vector>

#include "codec.h"

namespace mirovane {
namespace {

bool Fail(MessageBoxes& boxes, const std::string& message) {
    boxes.ErrorBox(message);
    return false;
}

// Splits text into lines at each LF, dropping one CR right before it. A last line without LF
// still counts; a final LF does not start another line.
std::vector<std::string> SplitLines(const std::string& text) {
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

bool MkInline(const std::string& filename, MessageBoxes& boxes) {
    std::ifstream in(filename, std::ios::binary);
    if (!in) {
        return Fail(boxes, "Could not open the firmware file " + filename);
    }
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        return Fail(boxes, "Could not read the firmware file " + filename);
    }
    in.close();

    const std::vector<std::string> lines = SplitLines(text);
    if (lines.empty()) {
        return Fail(boxes, "The firmware file holds no records: " + filename);
    }
    if (lines.size() > kMaxHexLines) {
        return Fail(boxes, "The firmware file has " + std::to_string(lines.size()) +
                               " lines, more than the " + std::to_string(kMaxHexLines) +
                               " a module can hold: " + filename);
    }

    const std::string outName = filename + ".bas";
    std::ofstream out(outName, std::ios::binary | std::ios::trunc);
    if (!out) {
        return Fail(boxes, "Could not create the module file " + outName);
    }
    const char* const eol = "\r\n";
    out << "Attribute VB_Name = \"Firmware\"" << eol << "Option Explicit" << eol << eol
        << "Public FWFile(" << lines.size() - 1 << ") As String" << eol << eol
        << "Public Sub FWFileInit()" << eol;

    codec({}, 0);
    bool complete = true;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        if (lines[k].empty() || lines[k][0] != ':') {
            boxes.ErrorBox("Invalid record in file at line " + std::to_string(k + 1));
            complete = false;
            break;
        }
        out << "    FWFile(" << k << ") = \"" << codec(lines[k].substr(1), 1) << '"' << eol;
    }
    out << "End Sub" << eol;
    out.close();
    if (!out) {
        return Fail(boxes, "Could not write the module file " + outName);
    }
    return complete;
}

}  // namespace mirovane
