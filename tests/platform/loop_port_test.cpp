// Loop ports and reads of what the cache holds: what the module's LoopPort
// relies on, on every engine, and under Wine where the system has neither.
#include "contract_support.h"
#include "platform/platform.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifndef _WIN32
#include <poll.h>
#endif

namespace {

using namespace contract;

class LoopPort : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        use_io_mode(GetParam());
        port_ = create_loop_port();
        ASSERT_NE(port_, nullptr) << last_error();
    }
    void TearDown() override {
        close(port_);
        use_io_mode(3);
    }

    // The one packet for `overlapped`, taken without a thread blocked on the
    // port, the way a loop takes it: flush, then waits of no time.
    OverlappedEntry reap(const Overlapped* overlapped) {
        EXPECT_TRUE(flush_port(port_)) << last_error();
        OverlappedEntry entry{};
        std::uint32_t removed = 0;
        for (int attempt = 0; attempt < 10000 && removed == 0; ++attempt) {
            if (!wait(port_, &entry, 1, &removed, 0)) {
                EXPECT_EQ(last_error(), kWaitTimeout);
                wait(port_, &entry, 1, &removed, 1);  // a timed wait on a loop port blocks too
            }
        }
        EXPECT_EQ(removed, 1u);
        EXPECT_EQ(entry.lpOverlapped, overlapped);
        return entry;
    }

    Handle port_ = nullptr;
    ScratchDir dir_;
};

TEST_P(LoopPort, TakesPostedPacketsWithoutWaiting) {
    Overlapped first{}, second{};
    EXPECT_TRUE(port_is_empty(port_));
    ASSERT_TRUE(post(port_, 7, 0, &first));
    ASSERT_TRUE(post(port_, 9, 0, &second));
    OverlappedEntry entries[4]{};
    std::uint32_t removed = 0;
    ASSERT_TRUE(wait(port_, entries, 4, &removed, 0)) << last_error();
    ASSERT_EQ(removed, 2u);
    EXPECT_EQ(entries[0].lpOverlapped, &first);
    EXPECT_EQ(entries[1].dwNumberOfBytesTransferred, 9u);
    EXPECT_TRUE(port_is_empty(port_));
}

TEST_P(LoopPort, ReadsAndWritesCompleteAfterAFlush) {
    Handle file = open(dir_ / "f", kReadWrite, kCreateAlways);
    ASSERT_NE(file, kInvalidHandle) << last_error();
    ASSERT_EQ(associate(file, port_), port_) << last_error();
    const std::string text = "written through a loop port";
    Overlapped write = at(0);
    bool done = write_file(file, text.data(), static_cast<std::uint32_t>(text.size()), nullptr, &write);
    ASSERT_TRUE(done || last_error() == kErrorIoPending) << last_error();
    EXPECT_EQ(reap(&write).dwNumberOfBytesTransferred, text.size());
    std::vector<char> buffer(64);
    Overlapped read = at(0);
    done = read_file(file, buffer.data(), 64, nullptr, &read);
    ASSERT_TRUE(done || last_error() == kErrorIoPending) << last_error();
    OverlappedEntry entry = reap(&read);
    EXPECT_EQ(std::string(buffer.data(), entry.dwNumberOfBytesTransferred), text);
    close(file);
}

// Wherever a read is taken at once it gives exactly the file's bytes, short
// at the end and empty past it; anywhere else it is pending with nothing read.
TEST_P(LoopPort, AReadAtOnceGivesTheFilesBytesOrNothing) {
    put_file(dir_ / "f", "0123456789");
    Handle file = open(dir_ / "f", kRead, kOpenExisting);
    ASSERT_NE(file, kInvalidHandle) << last_error();
    struct Case {
        std::uint64_t offset;
        std::uint32_t len;
        std::string expected;
    };
    for (const Case& c : {Case{2, 4, "2345"}, Case{6, 10, "6789"}, Case{10, 4, ""}, Case{50, 4, ""}}) {
        std::string buffer(c.len, '\xff');
        std::uint32_t count = 99;
        if (read_at_once(file, buffer.data(), c.len, c.offset, &count)) {
            EXPECT_EQ(buffer.substr(0, count), c.expected) << c.offset;
        } else {
            EXPECT_EQ(last_error(), kErrorIoPending);
            EXPECT_EQ(count, 0u);
            EXPECT_EQ(buffer, std::string(c.len, '\xff'));
        }
    }
    close(file);
}

TEST_P(LoopPort, AReadAtOnceNeedsReadAccessAndAFile) {
    Handle file = open(dir_ / "f", kWrite, kCreateAlways);
    ASSERT_NE(file, kInvalidHandle) << last_error();
    char buffer[4];
    std::uint32_t count = 0;
#ifndef _WIN32
    EXPECT_FALSE(read_at_once(file, buffer, 4, 0, &count));
    EXPECT_EQ(last_error(), kErrorAccessDenied);
    EXPECT_FALSE(read_at_once(port_, buffer, 4, 0, &count));
    EXPECT_EQ(last_error(), kErrorInvalidHandle);
#else
    EXPECT_FALSE(read_at_once(file, buffer, 4, 0, &count));  // never at once here: the plan is in the README
    EXPECT_EQ(last_error(), kErrorIoPending);
#endif
    close(file);
}

INSTANTIATE_TEST_SUITE_P(Engines, LoopPort, ::testing::ValuesIn(kEngineModes),
                         [](const auto& info) { return mode_name(info.param); });

#ifndef _WIN32
bool readable(std::intptr_t fd, int timeout_ms) {
    pollfd watched{static_cast<int>(fd), POLLIN, 0};
    return ::poll(&watched, 1, timeout_ms) == 1;
}

// The loop watches the descriptor: set by what arrives, cleared before a take.
TEST_P(LoopPort, ItsDescriptorTurnsReadableWithEachArrival) {
    std::intptr_t signal = port_signal(port_);
    ASSERT_GE(signal, 0);
    EXPECT_FALSE(readable(signal, 0));
    Overlapped posted{};
    ASSERT_TRUE(post(port_, 0, 0, &posted));
    EXPECT_TRUE(readable(signal, 1000));
    clear_signal(port_);
    EXPECT_FALSE(readable(signal, 0));
    OverlappedEntry entry{};
    std::uint32_t removed = 0;
    EXPECT_TRUE(wait(port_, &entry, 1, &removed, 0));

    put_file(dir_ / "f", std::string(8192, 'x'));
    Handle file = open(dir_ / "f", kRead, kOpenExisting);
    ASSERT_EQ(associate(file, port_), port_);
    std::vector<char> buffer(8192);
    Overlapped read = at(0);
    bool done = read_file(file, buffer.data(), 8192, nullptr, &read);
    ASSERT_TRUE(done || last_error() == kErrorIoPending);
    flush_port(port_);
    EXPECT_TRUE(readable(signal, 5000));
    EXPECT_EQ(reap(&read).dwNumberOfBytesTransferred, 8192u);
    close(file);
}

TEST(LoopPortSignal, OnlyLoopPortsHaveOne) {
    Handle port = create_port();
    EXPECT_EQ(port_signal(port), -1);
    close(port);
}
#endif

}  // namespace
