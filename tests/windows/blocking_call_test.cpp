// Windows: the calls without an overlapped form run side by side on the
// thread pool, so one that blocks (a flush of a pipe nobody reads, a file on
// a server that stopped answering) holds back none of the others.
#include "../platform/contract_support.h"
#include "../platform/scratch_dir.h"
#include "platform/owned_handle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace contract;

// A pipe of this process's own, so that parallel test processes never meet.
std::wstring pipe_name() { return L"\\\\.\\pipe\\kiln-blocking-" + std::to_wstring(GetCurrentProcessId()); }

// The record of the next packet, or null after 10 s without one.
Overlapped* next_packet(Handle port) {
    OverlappedEntry entry{};
    std::uint32_t removed = 0;
    return wait(port, &entry, 1, &removed, 10000) && removed == 1 ? entry.lpOverlapped : nullptr;
}

struct Started {
    FileCall call{};
    Overlapped overlapped{};
};

TEST(CallsOnThePool, ABlockedCallHoldsBackNoOther) {
    OwnedHandle port(create_port());
    ASSERT_TRUE(port);
    OwnedHandle server(CreateNamedPipeW(pipe_name().c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                        4096, 4096, 0, nullptr));
    ASSERT_NE(server.get(), kInvalidHandle) << GetLastError();
    OwnedHandle client(CreateFileW(pipe_name().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_NE(client.get(), kInvalidHandle) << GetLastError();
    DWORD moved = 0;
    ASSERT_TRUE(WriteFile(server.get(), "unread", 6, &moved, nullptr)) << GetLastError();

    // Static: a call still running when a failed test returns writes into them.
    static Started flush, size;
    // Flushing the server's end waits until the client has read everything.
    flush.call.kind = CallKind::Sync;
    flush.call.file = server.get();
    ASSERT_TRUE(start_call(port.get(), &flush.call, &flush.overlapped)) << last_error();

    ScratchDir dir;
    put_file(dir / "sized", "abc");
    OwnedHandle file(open(dir / "sized", kRead, kOpenExisting));
    ASSERT_NE(file.get(), kInvalidHandle) << last_error();
    size.call.kind = CallKind::Size;
    size.call.file = file.get();
    ASSERT_TRUE(start_call(port.get(), &size.call, &size.overlapped)) << last_error();

    // The size's packet comes while the flush still waits for the reader.
    Overlapped* first = next_packet(port.get());
    bool flush_waited = port_is_empty(port.get());
    char buffer[16];
    EXPECT_TRUE(ReadFile(client.get(), buffer, sizeof buffer, &moved, nullptr)) << GetLastError();
    EXPECT_EQ(moved, 6u);
    std::vector<Overlapped*> later;
    while (later.size() + (first ? 1 : 0) < 2) {
        Overlapped* next = next_packet(port.get());
        if (!next) break;
        later.push_back(next);
    }
    EXPECT_EQ(first, &size.overlapped);
    EXPECT_TRUE(flush_waited) << "the flush ended with nothing read";
    EXPECT_EQ(later, std::vector<Overlapped*>{&flush.overlapped});
    EXPECT_EQ(size.call.error, 0u);
    EXPECT_EQ(size.call.size, 3u);
    EXPECT_EQ(flush.call.error, 0u);
    EXPECT_TRUE(port_is_empty(port.get()));
}

}  // namespace
