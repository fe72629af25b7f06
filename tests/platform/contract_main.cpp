// The contract tests' entry on Linux. With --without-io-uring the process
// behaves as if the kernel refused io_uring, so everything runs again with
// the worker pool as the system engine.
#include "platform/posix/emu.h"

#include <gtest/gtest.h>

#include <string_view>

bool g_without_io_uring = false;

int main(int argc, char** argv) {
    for (int index = 1; index < argc; ++index) {
        if (std::string_view(argv[index]) == "--without-io-uring") {
            g_without_io_uring = true;
            kiln::platform::emu::refuse_io_uring();
        }
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
