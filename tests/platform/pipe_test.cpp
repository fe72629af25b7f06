// A read from a message-mode named pipe into a buffer shorter than the
// message: ReadFile returns FALSE with ERROR_MORE_DATA, a warning, and the
// system has already queued the packet. The submit paths must take that as
// "a packet follows" and post nothing of their own. Only Windows has such
// pipes; the module opens them with CreateFileW like any path.
#ifdef _WIN32

#include "platform/completion_rule.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>

using namespace kiln::platform;

namespace {

constexpr ErrorCode kErrorMoreData = 234;  // ERROR_MORE_DATA, from STATUS_BUFFER_OVERFLOW
constexpr NtStatus kStatusBufferOverflow = 0x80000005;

// A message pipe with one 16-byte message waiting for the client end, which
// reads in message mode and is associated with a port.
class MessagePipe : public ::testing::Test {
protected:
    void SetUp() override {
        std::wstring name = L"\\\\.\\pipe\\kiln-message-" + std::to_wstring(GetCurrentProcessId());
        server_ = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1,
                                   4096, 4096, 0, nullptr);
        ASSERT_NE(server_, INVALID_HANDLE_VALUE) << GetLastError();
        std::u16string path(name.begin(), name.end());
        client_ = open_file(path.c_str(), kGenericRead | kGenericWrite, kOpenExisting);
        ASSERT_NE(client_, kInvalidHandle) << last_error();
        DWORD mode = PIPE_READMODE_MESSAGE;
        ASSERT_TRUE(SetNamedPipeHandleState(client_, &mode, nullptr, nullptr)) << GetLastError();
        port_ = create_port();
        ASSERT_EQ(associate(client_, port_), port_);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(server_, kMessage, 16, &written, nullptr)) << GetLastError();
        ASSERT_EQ(written, 16u);
    }
    void TearDown() override {
        if (client_ != kInvalidHandle) close(client_);
        if (port_) close(port_);
        if (server_ != INVALID_HANDLE_VALUE) CloseHandle(server_);
    }

    // Every packet on the port within the time a queued packet needs.
    int drain_packets(const Overlapped* expected, OverlappedEntry& last) {
        int seen = 0;
        std::uint32_t removed = 0;
        for (std::uint32_t timeout = 5000; wait(port_, &last, 1, &removed, timeout); timeout = 200) {
            EXPECT_EQ(last.lpOverlapped, expected);
            ++seen;
        }
        return seen;
    }

    static constexpr char kMessage[] = "0123456789abcdef";
    HANDLE server_ = INVALID_HANDLE_VALUE;
    Handle client_ = kInvalidHandle;
    Handle port_ = nullptr;
};

TEST_F(MessagePipe, AShortReadQueuesExactlyOnePacketCarryingMoreData) {
    char buffer[4] = {};
    Overlapped overlapped{};
    mark_unstarted(overlapped);
    std::uint32_t count = 0;
    bool returned = read_file(client_, buffer, sizeof buffer, &count, &overlapped);
    ErrorCode code = returned ? 0 : last_error();
    ASSERT_FALSE(returned);
    ASSERT_EQ(code, kErrorMoreData) << "the read should end at once with the warning";

    // What the submit paths do with that outcome.
    if (!packet_follows(returned, code, overlapped)) {
        post(port_, 0, 0, &overlapped);
    }

    OverlappedEntry entry{};
    EXPECT_EQ(drain_packets(&overlapped, entry), 1);
    EXPECT_EQ(static_cast<NtStatus>(overlapped.Internal), kStatusBufferOverflow);
    EXPECT_EQ(status_to_error(static_cast<NtStatus>(overlapped.Internal)), kErrorMoreData);
    EXPECT_EQ(entry.dwNumberOfBytesTransferred, sizeof buffer);
    EXPECT_EQ(std::string(buffer, sizeof buffer), "0123");
}

}  // namespace

#endif  // _WIN32
