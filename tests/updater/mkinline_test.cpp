#include "mkinline.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using pipeline_test::ReadFile;
using pipeline_test::RecordingBoxes;
using pipeline_test::ScratchDir;
using pipeline_test::WriteFile;

// A tiny HEX file and the module text it must give, byte for byte. The encoded lines pin the
// codec's key: a change to the generator or the seed shows here.
const std::string kTinyHex =
    ":020000040000FA\r\n"
    ":0408000001020304EA\r\n"
    ":00000001FF\r\n";
const std::string kTinyModule =
    "Attribute VB_Name = \"Firmware\"\r\n"
    "Option Explicit\r\n"
    "\r\n"
    "Public FWFile(2) As String\r\n"
    "\r\n"
    "Public Sub FWFileInit()\r\n"
    "    FWFile(0) = \"JTynJlJqTlWnJv\"\r\n"
    "    FWFile(1) = \"xTvZuHuuFkqJTTZZHn\"\r\n"
    "    FWFile(2) = \"JTlmWqoHTq\"\r\n"
    "End Sub\r\n";
const std::string kModuleHead =
    "Attribute VB_Name = \"Firmware\"\r\n"
    "Option Explicit\r\n"
    "\r\n";

class MkInlineTest : public ::testing::Test {
  protected:
    ScratchDir dir{::testing::UnitTest::GetInstance()->current_test_info()->name()};
    RecordingBoxes boxes;

    fs::path Hex(const std::string& text) {
        const fs::path path = dir.path() / "fw.hex";
        WriteFile(path, text);
        return path;
    }
};

TEST_F(MkInlineTest, WritesTheModuleTextByteForByte) {
    // CRLF, LF only, a last line without its LF and lower-case digits all give the same module.
    for (const std::string& input :
         {kTinyHex, std::string(":020000040000FA\n:0408000001020304EA\n:00000001FF"),
          std::string(":020000040000fa\r\n:0408000001020304ea\n:00000001ff\r\n")}) {
        const fs::path hex = Hex(input);
        WriteFile(hex.string() + ".bas", "an older module that must be replaced\r\n");
        ASSERT_TRUE(mirovane::MkInline(hex.string(), boxes));
        EXPECT_TRUE(boxes.messages.empty());
        EXPECT_EQ(ReadFile(hex.string() + ".bas"), kTinyModule);
    }
}

TEST_F(MkInlineTest, BadLineEndsTheModuleWithEndSubAndNamesTheLine) {
    const struct {
        std::string input;
        std::string message;
        std::string declaration;
        int elements;  // element lines written before the bad one
    } cases[] = {
        {"020000040000FA\r\n:00000001FF\r\n", "Invalid record in file at line 1",
         "Public FWFile(1) As String", 0},
        {":020000040000FA\r\n:0408000001020304EA\r\n 00000001FF\r\n:00000001FF\r\n",
         "Invalid record in file at line 3", "Public FWFile(3) As String", 2},
        {":020000040000FA\r\n\r\n:00000001FF\r\n", "Invalid record in file at line 2",
         "Public FWFile(2) As String", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        boxes.messages.clear();
        const fs::path hex = Hex(c.input);
        EXPECT_FALSE(mirovane::MkInline(hex.string(), boxes));
        EXPECT_EQ(boxes.messages, std::vector<std::string>{c.message});

        const std::string module = ReadFile(hex.string() + ".bas");
        std::string expected = kModuleHead + c.declaration + "\r\n\r\nPublic Sub FWFileInit()\r\n";
        const std::string good = kTinyModule.substr(kTinyModule.find("    FWFile(0)"));
        std::size_t pos = 0;
        for (int k = 0; k < c.elements; ++k) {
            pos = good.find("\r\n", pos) + 2;
        }
        expected += good.substr(0, pos) + "End Sub\r\n";
        EXPECT_EQ(module, expected);
    }
}

TEST_F(MkInlineTest, RefusesInputItCannotUseAndWritesNothing) {
    const fs::path missing = dir.path() / "missing.hex";
    EXPECT_FALSE(mirovane::MkInline(missing.string(), boxes));
    EXPECT_FALSE(fs::exists(missing.string() + ".bas"));

    const fs::path empty = Hex("");
    EXPECT_FALSE(mirovane::MkInline(empty.string(), boxes));
    EXPECT_FALSE(fs::exists(empty.string() + ".bas"));

    std::string huge;
    for (int k = 0; k < 32768; ++k) {
        huge += ":00000001FF\r\n";
    }
    const fs::path big = Hex(huge);
    EXPECT_FALSE(mirovane::MkInline(big.string(), boxes));
    EXPECT_FALSE(fs::exists(big.string() + ".bas"));

    ASSERT_EQ(boxes.messages.size(), 3u);
    EXPECT_NE(boxes.messages[0].find("missing.hex"), std::string::npos);
    EXPECT_NE(boxes.messages[2].find("32768"), std::string::npos);
}

TEST_F(MkInlineTest, LargestAcceptedFileIsComplete) {
    std::string text;
    for (int k = 0; k < 32767; ++k) {
        text += ":00000001FF\n";
    }
    const fs::path hex = Hex(text);
    ASSERT_TRUE(mirovane::MkInline(hex.string(), boxes));
    const std::string module = ReadFile(hex.string() + ".bas");
    EXPECT_NE(module.find("Public FWFile(32766) As String\r\n"), std::string::npos);
    EXPECT_NE(module.find("    FWFile(32766) = \""), std::string::npos);
}

TEST_F(MkInlineTest, ReportsAnOutputItCannotCreate) {
    const fs::path hex = Hex(kTinyHex);
    fs::create_directory(hex.string() + ".bas");  // a directory where the module should go
    EXPECT_FALSE(mirovane::MkInline(hex.string(), boxes));
    ASSERT_EQ(boxes.messages.size(), 1u);
    EXPECT_NE(boxes.messages[0].find("fw.hex.bas"), std::string::npos);
}

// The tool's exit status is what stops the build on a broken HEX file.
TEST_F(MkInlineTest, ToolExitStatusAndMessage) {
    const fs::path err = dir.path() / "stderr.txt";
    auto run = [&](const std::string& args) {
        const std::string command =
            std::string("\"") + KLOV_MKINLINE + "\" " + args + " 2>\"" + err.string() + "\"";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };

    const fs::path good = Hex(kTinyHex);
    EXPECT_EQ(run("\"" + good.string() + "\""), 0);
    EXPECT_EQ(ReadFile(good.string() + ".bas"), kTinyModule);

    const fs::path bad = dir.path() / "bad.hex";
    WriteFile(bad, ":020000040000FA\r\n0408000001020304EA\r\n");
    EXPECT_NE(run("\"" + bad.string() + "\""), 0);
    EXPECT_NE(ReadFile(err).find("Invalid record in file at line 2"), std::string::npos);
    EXPECT_TRUE(fs::exists(bad.string() + ".bas"));

    EXPECT_NE(run("\"" + (dir.path() / "none.hex").string() + "\""), 0);
    EXPECT_NE(run(""), 0);
}

}  // namespace
