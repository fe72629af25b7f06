// The rule the submit paths use to decide whether the system queued a packet
// for a read or write, checked against what the platform really does: a
// wrong "yes" leaves the record without a packet, a wrong "no" delivers it
// twice.
#include "contract_support.h"
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

struct StartCase {
    const char* name;
    std::uint32_t access;
    bool write;
    std::uint64_t offset;
    bool stale_handle;
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
    Handle file = open_file(contract::native(dir / "f.bin").c_str(), start.access, kOpenExisting);
    ASSERT_NE(file, kInvalidHandle) << last_error();
    Handle port = create_port();
    ASSERT_EQ(associate(file, port), port);
    Handle stale = create_port();
    ASSERT_TRUE(close(stale));

    Handle target = start.stale_handle ? stale : file;
    char buffer[4] = {};
    Overlapped overlapped{};
    overlapped.Offset = static_cast<std::uint32_t>(start.offset);
    mark_unstarted(overlapped);
    std::uint32_t count = 0;
    bool returned = start.write ? write_file(target, "ab", 2, nullptr, &overlapped)
                                : read_file(target, buffer, sizeof buffer, &count, &overlapped);
    ErrorCode code = returned ? 0 : last_error();
    bool follows = packet_follows(returned, code, overlapped);

    // A pending operation gets the time it needs; a packet of one that
    // finished at once was queued before the call returned.
    int packets = 0;
    OverlappedEntry entry{};
    std::uint32_t removed = 0;
    for (std::uint32_t timeout = follows ? 10000 : 200; wait(port, &entry, 1, &removed, timeout); timeout = 0) {
        EXPECT_EQ(entry.lpOverlapped, &overlapped);
        ++packets;
    }
    EXPECT_EQ(packets, follows ? 1 : 0) << "returned " << returned << ", code " << code;
    EXPECT_TRUE(close(file));
    EXPECT_TRUE(close(port));
}

const StartCase kStarts[] = {
    {"Read", kGenericRead, false, 0, false},
    {"ReadAtEnd", kGenericRead, false, 10, false},
    {"ReadPastEnd", kGenericRead, false, 1000, false},
    {"Write", kGenericRead | kGenericWrite, true, 0, false},
    {"WriteWithoutAccess", kGenericRead, true, 0, false},
    {"ReadOnStaleHandle", kGenericRead, false, 0, true},
    {"WriteOnStaleHandle", kGenericRead | kGenericWrite, true, 0, true},
};

INSTANTIATE_TEST_SUITE_P(Starts, Rule, ::testing::Combine(::testing::Values(0, 1), ::testing::ValuesIn(kStarts)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) == 0 ? "Inline" : "Deferred") +
                                    std::get<1>(info.param).name;
                         });

// Statuses of different severities share error codes, so the code alone
// cannot decide: 0x80000005 (buffer overflow, a warning: queued) and
// 0xC0000016 (more processing required, an error: not queued) are both
// ERROR_MORE_DATA, 234.
TEST(StatusLeft, DecidesBySeverityNotByErrorCode) {
    struct Left {
        NtStatus status;
        ErrorCode code;
        bool follows;
    };
    for (Left left : {Left{kStatusPending, kErrorInvalidHandle, false}, Left{0x80000005u, 234, true},
                      Left{0xC0000016u, 234, false}}) {
        Overlapped overlapped{};
        overlapped.Internal = left.status;
        EXPECT_EQ(packet_follows(false, left.code, overlapped), left.follows) << std::hex << left.status;
    }
}

}  // namespace
