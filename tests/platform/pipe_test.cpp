// A read from a message-mode named pipe into a buffer shorter than the
// message ends at once with ERROR_MORE_DATA, a warning, and the system has
// already queued its packet: the submit paths must post nothing of their
// own. Only Windows has such pipes; the module opens them with CreateFileW
// like any path.
#ifdef _WIN32

#include "platform/completion_rule.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>

using namespace kiln::platform;

namespace {

constexpr ErrorCode kErrorMoreData = 234;
constexpr NtStatus kStatusBufferOverflow = 0x80000005;

TEST(MessagePipe, AShortReadQueuesExactlyOnePacketCarryingMoreData) {
    std::wstring name = L"\\\\.\\pipe\\kiln-message-" + std::to_wstring(GetCurrentProcessId());
    HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1,
                                     4096, 4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
    NativePath path(name.begin(), name.end());
    Handle client = open_file(path.c_str(), kGenericRead | kGenericWrite, kOpenExisting);
    ASSERT_NE(client, kInvalidHandle) << last_error();
    DWORD mode = PIPE_READMODE_MESSAGE;
    ASSERT_TRUE(SetNamedPipeHandleState(client, &mode, nullptr, nullptr)) << GetLastError();
    Handle port = create_port();
    ASSERT_EQ(associate(client, port), port);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(server, "0123456789abcdef", 16, &written, nullptr)) << GetLastError();

    char buffer[4] = {};
    Overlapped overlapped{};
    mark_unstarted(overlapped);
    std::uint32_t count = 0;
    bool returned = read_file(client, buffer, sizeof buffer, &count, &overlapped);
    ErrorCode code = returned ? 0 : last_error();
    ASSERT_FALSE(returned);
    ASSERT_EQ(code, kErrorMoreData) << "the read should end at once with the warning";
    // What the submit paths do with that outcome.
    if (!packet_follows(returned, code, overlapped)) {
        post(port, 0, 0, &overlapped);
    }

    int packets = 0;
    OverlappedEntry entry{};
    std::uint32_t removed = 0;
    for (std::uint32_t timeout = 5000; wait(port, &entry, 1, &removed, timeout); timeout = 200) {
        EXPECT_EQ(entry.lpOverlapped, &overlapped);
        EXPECT_EQ(entry.dwNumberOfBytesTransferred, sizeof buffer);
        ++packets;
    }
    EXPECT_EQ(packets, 1);
    EXPECT_EQ(static_cast<NtStatus>(overlapped.Internal), kStatusBufferOverflow);
    EXPECT_EQ(status_to_error(static_cast<NtStatus>(overlapped.Internal)), kErrorMoreData);
    EXPECT_EQ(std::string(buffer, sizeof buffer), "0123");
    close(client);
    close(port);
    CloseHandle(server);
}

}  // namespace

#endif  // _WIN32
