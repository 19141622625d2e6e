// Binding the probe library by file name and export name.
#include <gtest/gtest.h>

#include <cstdio>

#include "library_binding.h"

namespace {

using mirovane::ArdellixExport;
using mirovane::ArdellixLibrary;

TEST(BindingTest, EveryExportOfTheShippingLibraryBinds) {
    ArdellixLibrary library;
    for (int e = 0; e < static_cast<int>(ArdellixExport::Count); ++e) {
        EXPECT_NE(library.Resolve(static_cast<ArdellixExport>(e)), nullptr)
            << mirovane::ArdellixExportName(static_cast<ArdellixExport>(e));
    }
    EXPECT_EQ(library.CloseSCA(0), 0);  // a call goes through: handle 0 is refused
}

TEST(BindingDeathTest, MissingLibraryOrExportEndsTheProgramNamingIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto hook = [](const std::string& message) {
        std::fprintf(stderr, "front end told: %s\n", message.c_str());
    };
    EXPECT_EXIT(ArdellixLibrary("libArdellixMissing.so.1", hook).OpenSCA(0),
                testing::ExitedWithCode(1),
                "libArdellixMissing\\.so\\.1(.|\n)*front end told: .*libArdellixMissing");

    ArdellixLibrary partial(APP_PARTIAL_LIBRARY, hook);
    EXPECT_EQ(partial.OpenSCA(0), 7U);  // what is there binds and runs
    EXPECT_EXIT(partial.CloseSCA(7), testing::ExitedWithCode(1),
                "has no function CloseSCA(.|\n)*front end told: .*CloseSCA");
}

}  // namespace
