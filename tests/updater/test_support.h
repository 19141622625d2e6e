// Shared pieces of the pipeline tests: a message-box fake that records what it was asked to
// show, builders for Intel HEX records and encoded modules, and scratch files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "codec.h"
#include "message_box.h"

namespace pipeline_test {

class RecordingBoxes : public mirovane::MessageBoxes {
  public:
    void ErrorBox(const std::string& message) override { messages.push_back(message); }
    std::vector<std::string> messages;
};

// One Intel HEX record without its colon, upper case, with a correct checksum.
inline std::string Record(std::uint16_t address, std::uint8_t type,
                          const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(data.size()),
                                    static_cast<std::uint8_t>(address >> 8),
                                    static_cast<std::uint8_t>(address & 0xFF), type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (std::uint8_t b : bytes) {
        sum += b;
    }
    bytes.push_back(static_cast<std::uint8_t>(-sum & 0xFF));
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

inline std::string Eof() {
    return Record(0, 1, {});
}
inline std::string Extended(std::uint16_t upper) {
    return Record(0, 4, {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)});
}

// Encodes plain record lines the way the generator does: one reset, then each line in order.
inline std::vector<std::string> EncodeModule(const std::vector<std::string>& lines) {
    std::vector<std::string> module;
    mirovane::codec({}, 0);
    for (const std::string& line : lines) {
        module.push_back(mirovane::codec(line, 1));
    }
    return module;
}

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A fresh directory for one test, removed with the fixture.
class ScratchDir {
  public:
    explicit ScratchDir(const std::string& name)
        : path_(std::filesystem::temp_directory_path() /
                ("klov-pipeline-" + name + "-" + std::to_string(::getpid()))) {
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() { std::filesystem::remove_all(path_); }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

}  // namespace pipeline_test
