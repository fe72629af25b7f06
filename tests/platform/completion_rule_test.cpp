// The rule the submit paths use to decide whether the system queues a packet
// for a read or write, checked against what the platform really does: the
// rule must say "a packet follows" exactly when one arrives, or the module
// either posts a second packet for one record or waits for one that never
// comes.
#include "platform/completion_rule.h"
#include "platform/platform.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <ostream>
#include <string>

#ifndef _WIN32
#include "platform/emulation.h"
#endif

using namespace kiln::platform;

namespace {

void use_io_mode([[maybe_unused]] int mode) {
#ifndef _WIN32
    kiln_emu_set_io_mode(mode);
#endif
}

bool port_is_empty(Handle port) {
    OverlappedEntry entry{};
    std::uint32_t removed = 0;
    return !wait(port, &entry, 1, &removed, 0) && removed == 0;
}

// Counts the packets that reach `port` for `overlapped`: a pending operation
// gets the time it needs; one that the rule says queued nothing had its
// packet, if any, queued before the call returned.
int packets_for(Handle port, const Overlapped* overlapped, bool expected) {
    int seen = 0;
    OverlappedEntry entry{};
    std::uint32_t removed = 0;
    for (std::uint32_t timeout = expected ? 10000 : 200; wait(port, &entry, 1, &removed, timeout); timeout = 0) {
        EXPECT_EQ(entry.lpOverlapped, overlapped);
        ++seen;
    }
    return seen;
}

struct StartCase {
    const char* name;
    std::uint32_t access;
    bool write;
    std::uint64_t offset;
    bool invalid_handle;
};

void PrintTo(const StartCase& start, std::ostream* out) { *out << start.name; }

class Rule : public ::testing::TestWithParam<std::tuple<int, StartCase>> {
protected:
    void SetUp() override { use_io_mode(std::get<0>(GetParam())); }
    void TearDown() override { use_io_mode(0); }
};

TEST_P(Rule, SaysAPacketFollowsExactlyWhenOneArrives) {
    const StartCase& start = std::get<1>(GetParam());
    ScratchDir dir;
    std::ofstream(dir / "f.bin", std::ios::binary) << "0123456789";
    Handle file = open_file((dir / "f.bin").u16string().c_str(), start.access, kOpenExisting);
    ASSERT_NE(file, kInvalidHandle) << last_error();
    Handle port = create_port();
    ASSERT_EQ(associate(file, port), port);
    Handle stale = create_port();
    ASSERT_TRUE(close(stale));
    Handle target = start.invalid_handle ? stale : file;

    char buffer[4] = {};
    Overlapped overlapped{};
    overlapped.Offset = static_cast<std::uint32_t>(start.offset);
    mark_unstarted(overlapped);
    std::uint32_t count = 0;
    bool returned = start.write ? write_file(target, "ab", 2, nullptr, &overlapped)
                                : read_file(target, buffer, sizeof buffer, &count, &overlapped);
    ErrorCode code = returned ? 0 : last_error();
    bool follows = packet_follows(returned, code, overlapped);

    EXPECT_EQ(packets_for(port, &overlapped, follows), follows ? 1 : 0) << "returned " << returned << ", code " << code;
    EXPECT_TRUE(port_is_empty(port));
    EXPECT_TRUE(close(file));
    EXPECT_TRUE(close(port));
}

const StartCase kStarts[] = {
    {"Read", kGenericRead, false, 0, false},
    {"ReadAtEnd", kGenericRead, false, 10, false},
    {"ReadPastEnd", kGenericRead, false, 1000, false},
    {"Write", kGenericRead | kGenericWrite, true, 0, false},
    {"WriteWithoutAccess", kGenericRead, true, 0, false},
    {"ReadOnInvalidHandle", kGenericRead, false, 0, true},
    {"WriteOnInvalidHandle", kGenericRead | kGenericWrite, true, 0, true},
};

INSTANTIATE_TEST_SUITE_P(Starts, Rule, ::testing::Combine(::testing::Values(0, 1), ::testing::ValuesIn(kStarts)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) == 0 ? "Inline" : "Deferred") +
                                    std::get<1>(info.param).name;
                         });

// Statuses of different severities map to the same error code, so the rule
// has to look at the status: 0x80000005 (buffer overflow, a warning) and
// 0xC0000016 (more processing required, an error) are both ERROR_MORE_DATA.
struct LeftStatus {
    const char* name;
    std::uintptr_t internal;
    ErrorCode code;
    bool follows;
};

void PrintTo(const LeftStatus& left, std::ostream* out) { *out << left.name; }

class StatusLeft : public ::testing::TestWithParam<LeftStatus> {};

TEST_P(StatusLeft, DecidesByTheSeverityOfWhatTheCallLeft) {
    Overlapped overlapped{};
    overlapped.Internal = GetParam().internal;
    EXPECT_EQ(packet_follows(false, GetParam().code, overlapped), GetParam().follows);
}

INSTANTIATE_TEST_SUITE_P(
    Severities, StatusLeft,
    ::testing::Values(LeftStatus{"RefusedBeforeTheSystemTookIt", kStatusPending, kErrorInvalidHandle, false},
                      LeftStatus{"Warning", 0x80000005u, 234, true},
                      LeftStatus{"ErrorWithTheSameCode", 0xC0000016u, 234, false},
                      LeftStatus{"EndOfFile", kStatusEndOfFile, kErrorHandleEof, false},
                      LeftStatus{"Information", 0x40000000u, kErrorMrMidNotFound, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StatusLeft, ASuccessfulOrPendingCallAlwaysHasItsPacket) {
    Overlapped overlapped{};
    overlapped.Internal = kStatusInvalidHandle;  // what a completed operation may already hold
    EXPECT_TRUE(packet_follows(true, 0, overlapped));
    EXPECT_TRUE(packet_follows(false, kErrorIoPending, overlapped));
}

}  // namespace
