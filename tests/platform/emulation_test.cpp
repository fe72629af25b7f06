// Behaviour only the POSIX emulation promises: the exact completion form in
// each I/O mode, held operations, fault injection and the control API.
#include "platform/emulation.h"
#include "platform/platform.h"
#include "posix_support.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>
#include <string>
#include <vector>

using namespace kiln::platform;

namespace {

constexpr std::uint32_t kReadWrite = kGenericRead | kGenericWrite;
enum IoMode { kInline = 0, kDeferred = 1, kHeld = 2 };

// Every test must leave no file, port or heap block behind.
class LeakCheck : public ::testing::Environment {
public:
    void SetUp() override {
        handles_ = kiln_emu_open_handle_count();
        blocks_ = kiln_emu_heap_blocks();
    }
    void TearDown() override {
        EXPECT_EQ(kiln_emu_open_handle_count(), handles_);
        EXPECT_EQ(kiln_emu_heap_blocks(), blocks_);
    }

private:
    std::uint32_t handles_ = 0;
    std::uint32_t blocks_ = 0;
};

[[maybe_unused]] auto* const g_leak_check = ::testing::AddGlobalTestEnvironment(new LeakCheck);

class Emulation : public ::testing::Test {
protected:
    void SetUp() override {
        kiln_emu_set_io_mode(kInline);
        dir_ = scratch_.path().string();
        port_ = create_port();
        file_ = open_file((dir_ + "/data").c_str(), kReadWrite, kCreateNew);
        ASSERT_NE(file_, kInvalidHandle);
        ASSERT_EQ(associate(file_, port_), port_);
    }

    void TearDown() override {
        kiln_emu_set_io_mode(kInline);
        kiln_emu_release_held();
        if (file_ != kInvalidHandle) {
            EXPECT_TRUE(close(file_));
        }
        EXPECT_TRUE(close(port_));
    }

    OverlappedEntry next_packet(std::uint32_t timeout_ms = 10000) {
        OverlappedEntry entry{};
        std::uint32_t removed = 0;
        EXPECT_TRUE(wait(port_, &entry, 1, &removed, timeout_ms)) << last_error();
        return entry;
    }

    bool no_packet(std::uint32_t timeout_ms = 0) {
        OverlappedEntry entry{};
        std::uint32_t removed = 0;
        return !wait(port_, &entry, 1, &removed, timeout_ms) && last_error() == 258;
    }

    ScratchDir scratch_;
    std::string dir_;
    Handle port_ = nullptr;
    Handle file_ = kInvalidHandle;
};

TEST_F(Emulation, InlineModeCompletesAtOnceAndFailsEndOfFileWithoutAPacket) {
    Overlapped overlapped{};
    std::uint32_t count = 0;
    ASSERT_TRUE(write_file(file_, "abcd", 4, &count, &overlapped));
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(overlapped.Internal, kStatusSuccess);
    OverlappedEntry entry = next_packet();
    EXPECT_EQ(entry.Internal, kStatusSuccess);
    EXPECT_EQ(entry.dwNumberOfBytesTransferred, 4u);

    char buffer[4];
    overlapped.Offset = 4;
    EXPECT_FALSE(read_file(file_, buffer, 4, &count, &overlapped));
    EXPECT_EQ(last_error(), kErrorHandleEof);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(no_packet());
}

TEST_F(Emulation, DeferredModeReportsEndOfFileThroughThePacket) {
    kiln_emu_set_io_mode(kDeferred);
    char buffer[4];
    Overlapped overlapped{};
    std::uint32_t count = 7;
    EXPECT_FALSE(read_file(file_, buffer, 4, &count, &overlapped));
    EXPECT_EQ(last_error(), kErrorIoPending);
    EXPECT_EQ(count, 0u);
    OverlappedEntry entry = next_packet();
    EXPECT_EQ(entry.lpOverlapped, &overlapped);
    EXPECT_EQ(entry.Internal, kStatusEndOfFile);
    EXPECT_EQ(overlapped.Internal, kStatusEndOfFile);
    EXPECT_EQ(status_to_error(static_cast<NtStatus>(entry.Internal)), kErrorHandleEof);
}

TEST_F(Emulation, DeferredOperationsCompleteInIssueOrder) {
    kiln_emu_set_io_mode(kDeferred);
    std::vector<Overlapped> overlapped(50);
    for (std::uint32_t i = 0; i < overlapped.size(); ++i) {
        overlapped[i].Offset = i;
        ASSERT_FALSE(write_file(file_, "z", 1, nullptr, &overlapped[i]));
    }
    for (auto& expected : overlapped) EXPECT_EQ(next_packet().lpOverlapped, &expected);
}

TEST_F(Emulation, HeldOperationsWaitForReleaseThenRunInOrder) {
    kiln_emu_set_io_mode(kHeld);
    Overlapped write_op{};
    Overlapped read_op{};
    char buffer[3] = {};
    EXPECT_FALSE(write_file(file_, "abc", 3, nullptr, &write_op));
    EXPECT_FALSE(read_file(file_, buffer, 3, nullptr, &read_op));
    EXPECT_EQ(last_error(), kErrorIoPending);
    EXPECT_EQ(read_op.Internal, kStatusPending);
    EXPECT_TRUE(no_packet(20));
    kiln_emu_release_held();
    EXPECT_EQ(next_packet().lpOverlapped, &write_op);
    OverlappedEntry entry = next_packet();
    EXPECT_EQ(entry.lpOverlapped, &read_op);
    EXPECT_EQ(entry.dwNumberOfBytesTransferred, 3u);
    EXPECT_EQ(std::string(buffer, 3), "abc");
}

TEST_F(Emulation, CancelCompletesHeldOperationsAsAborted) {
    kiln_emu_set_io_mode(kHeld);
    std::vector<Overlapped> ops(3);
    for (auto& op : ops) write_file(file_, "x", 1, nullptr, &op);
    ASSERT_TRUE(cancel_io(file_, &ops[1]));
    OverlappedEntry entry = next_packet();
    EXPECT_EQ(entry.lpOverlapped, &ops[1]);
    EXPECT_EQ(entry.dwNumberOfBytesTransferred, 0u);
    EXPECT_EQ(status_to_error(static_cast<NtStatus>(ops[1].Internal)), kErrorOperationAborted);
    EXPECT_FALSE(cancel_io(file_, &ops[1]));
    EXPECT_EQ(last_error(), kErrorNotFound);
    ASSERT_TRUE(cancel_io(file_, nullptr));
    for (int i : {0, 2}) {
        EXPECT_EQ(next_packet().lpOverlapped, &ops[i]);
        EXPECT_EQ(ops[i].Internal, kStatusCancelled);
    }
}

TEST_F(Emulation, ClosingAFileCancelsItsHeldOperations) {
    kiln_emu_set_io_mode(kHeld);
    Overlapped op{};
    char buffer[8];
    read_file(file_, buffer, 8, nullptr, &op);
    ASSERT_TRUE(close(std::exchange(file_, kInvalidHandle)));
    OverlappedEntry entry = next_packet();
    EXPECT_EQ(entry.lpOverlapped, &op);
    EXPECT_EQ(entry.Internal, kStatusCancelled);
}

TEST_F(Emulation, HandleValuesAreMultiplesOfFourReusedLowestFirst) {
    Handle a = create_port();
    Handle b = create_port();
    Handle c = create_port();
    for (Handle h : {a, b, c}) EXPECT_EQ(reinterpret_cast<std::intptr_t>(h) % 4, 0);
    std::uint32_t before = kiln_emu_open_handle_count();
    ASSERT_TRUE(close(b));
    ASSERT_TRUE(close(a));
    EXPECT_EQ(kiln_emu_open_handle_count(), before - 2);
    EXPECT_EQ(create_port(), a);
    EXPECT_EQ(create_port(), b);
    for (Handle h : {a, b, c}) EXPECT_TRUE(close(h));
}

TEST_F(Emulation, ThreadsAreNotCountedAsOpenHandles) {
    std::uint32_t before = kiln_emu_open_handle_count();
    Handle thread = start_thread([](void*) {}, nullptr, 0);
    EXPECT_EQ(kiln_emu_open_handle_count(), before);
    EXPECT_EQ(wait_for(thread, kInfinite), kWaitObject0);
    EXPECT_TRUE(close(thread));
}

TEST_F(Emulation, OpenRefusesAccessItCannotGrant) {
    EXPECT_EQ(open_file((dir_ + "/x").c_str(), 0, kOpenAlways), kInvalidHandle);
    EXPECT_EQ(last_error(), kErrorInvalidParameter);
    EXPECT_EQ(open_file((dir_ + "/x").c_str(), kGenericRead | 1, kOpenAlways), kInvalidHandle);
    EXPECT_EQ(last_error(), kErrorInvalidParameter);
}

TEST_F(Emulation, ControlApiDequeuesAndClosesByValue) {
    std::intptr_t port = kiln_emu_create_port();
    ASSERT_NE(port, 0);
    ASSERT_TRUE(post(reinterpret_cast<Handle>(port), 9, kStopKey, nullptr));
    std::uint32_t bytes = 0;
    std::uintptr_t key = 0;
    std::uintptr_t overlapped = 1;
    EXPECT_EQ(kiln_emu_dequeue(port, 0, &bytes, &key, &overlapped), 1);
    EXPECT_EQ(bytes, 9u);
    EXPECT_EQ(key, kStopKey);
    EXPECT_EQ(overlapped, 0u);
    EXPECT_EQ(kiln_emu_dequeue(port, 0, &bytes, &key, &overlapped), 0);
    EXPECT_EQ(kiln_emu_close_handle(port), 1);
    EXPECT_EQ(kiln_emu_close_handle(port), 0);
}

TEST(Heap, CountsLiveBlocks) {
    std::uint32_t before = kiln_emu_heap_blocks();
    std::vector<void*> blocks;
    for (std::size_t size : {0, 1, 24, 4096}) {
        void* block = heap_alloc(size);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 8, 0u);
        std::memset(block, 0xAB, size);
        blocks.push_back(block);
    }
    EXPECT_EQ(kiln_emu_heap_blocks(), before + 4);
    for (void* block : blocks) heap_free(block);
    heap_free(nullptr);
    EXPECT_EQ(kiln_emu_heap_blocks(), before);
}

TEST(Errors, EveryProducedCodeHasADescription) {
    for (ErrorCode code : {0u, 2u, 3u, 4u, 5u, 6u, 8u, 31u, 32u, 38u, 80u, 87u, 112u, 206u, 258u, 317u, 735u, 995u,
                           997u, 998u, 1117u, 1168u}) {
        EXPECT_EQ(describe_error(code).rfind("Unknown", 0), std::string::npos) << code;
    }
    EXPECT_EQ(describe_error(123456), "Unknown error 123456");
}

// ---------------------------------------------------------------- fault injection

// Makes one call of the named operation that succeeds unless a failure is
// injected, cleans up after it, and returns 0 or the error the call set.
using FaultCall = ErrorCode (*)(Handle port, Handle file, const std::string& dir);

struct FaultCase {
    const char* name;
    FaultCall call;
};

ErrorCode outcome(bool succeeded) { return succeeded ? 0 : last_error(); }

void drain(Handle port) {
    OverlappedEntry entry{};
    std::uint32_t removed = 0;
    EXPECT_TRUE(wait(port, &entry, 1, &removed, 10000));
}

Handle open_other(const std::string& dir) {
    return open_file((dir + "/other").c_str(), kReadWrite, kOpenAlways);
}

void nothing(void*) {}

const FaultCase kFaultCases[] = {
    {"CreateIoCompletionPort",
     [](Handle, Handle, const std::string&) {
         Handle port = create_port();
         ErrorCode error = outcome(port != nullptr);
         if (port) close(port);
         return error;
     }},
    {"AssociatePort",
     [](Handle port, Handle, const std::string& dir) {
         Handle file = open_other(dir);
         ErrorCode error = outcome(associate(file, port) == port);
         close(file);
         return error;
     }},
    {"CreateFileW",
     [](Handle, Handle, const std::string& dir) {
         Handle file = open_other(dir);
         ErrorCode error = outcome(file != kInvalidHandle);
         if (file != kInvalidHandle) close(file);
         return error;
     }},
    {"ReadFile",
     [](Handle port, Handle file, const std::string&) {
         Overlapped op{};
         char byte;
         ErrorCode error = outcome(read_file(file, &byte, 0, nullptr, &op));
         if (!error) drain(port);
         return error;
     }},
    {"WriteFile",
     [](Handle port, Handle file, const std::string&) {
         Overlapped op{};
         ErrorCode error = outcome(write_file(file, "w", 1, nullptr, &op));
         if (!error) drain(port);
         return error;
     }},
    {"CloseHandle",
     [](Handle, Handle, const std::string&) {
         Handle port = create_port();
         ErrorCode error = outcome(close(port));
         if (error) {
             EXPECT_TRUE(close(port)) << "a failed close closed the handle";
         }
         return error;
     }},
    {"PostQueuedCompletionStatus",
     [](Handle port, Handle, const std::string&) {
         ErrorCode error = outcome(post(port, 1, 2, nullptr));
         if (!error) drain(port);
         return error;
     }},
    {"GetQueuedCompletionStatusEx",
     [](Handle port, Handle, const std::string&) {
         post(port, 1, 2, nullptr);
         OverlappedEntry entry{};
         std::uint32_t removed = 0;
         ErrorCode error = outcome(wait(port, &entry, 1, &removed, 0));
         if (error) drain(port);
         return error;
     }},
    {"CreateThread",
     [](Handle, Handle, const std::string&) {
         Handle thread = start_thread(nothing, nullptr, 0);
         ErrorCode error = outcome(thread != nullptr);
         if (thread) {
             wait_for(thread, kInfinite);
             close(thread);
         }
         return error;
     }},
    {"WaitForSingleObject",
     [](Handle, Handle, const std::string&) {
         Handle thread = start_thread(nothing, nullptr, 0);
         ErrorCode error = outcome(wait_for(thread, kInfinite) == kWaitObject0);
         if (error) {
             EXPECT_EQ(wait_for(thread, kInfinite), kWaitObject0);
         }
         close(thread);
         return error;
     }},
    {"HeapAlloc",
     [](Handle, Handle, const std::string&) {
         void* block = heap_alloc(16);
         ErrorCode error = outcome(block != nullptr);
         heap_free(block);
         return error;
     }},
    {"CancelIoEx",
     [](Handle port, Handle file, const std::string&) {
         kiln_emu_set_io_mode(kHeld);
         Overlapped op{};
         char byte;
         read_file(file, &byte, 1, nullptr, &op);
         kiln_emu_set_io_mode(kInline);
         ErrorCode error = outcome(cancel_io(file, &op));
         if (error) {
             EXPECT_TRUE(cancel_io(file, &op)) << "a failed cancel cancelled";
         }
         drain(port);
         return error;
     }},
    {"FileCall",
     [](Handle port, Handle file, const std::string&) {
         FileCall call{};
         call.kind = CallKind::Size;
         call.file = file;
         Overlapped op{};
         ErrorCode error = outcome(start_call(port, &call, &op));
         if (!error) drain(port);
         return error;
     }},
};

class FaultInjection : public Emulation, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultInjection, FailsOnlyTheNextCallAndDoesNothingElse) {
    constexpr ErrorCode kInjected = 4242;
    ASSERT_EQ(kiln_emu_fail_next(GetParam().name, kInjected), 1);
    EXPECT_EQ(GetParam().call(port_, file_, dir_), kInjected);
    EXPECT_TRUE(no_packet());
    EXPECT_EQ(GetParam().call(port_, file_, dir_), 0u);
}

INSTANTIATE_TEST_SUITE_P(Operations, FaultInjection, ::testing::ValuesIn(kFaultCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FaultInjectionNames, UnknownOperationsAreRejected) {
    EXPECT_EQ(kiln_emu_fail_next("ReadFileEx", 5), 0);
    EXPECT_EQ(kiln_emu_fail_next(nullptr, 5), 0);
}


// ---------------------------------------------------------------- errno codes

TEST(Errors, ErrnoValuesTravelWhole) {
    for (int number : {ENOENT, EACCES, EISDIR, ENXIO, ENOSPC, EFBIG, EIO, EPERM}) {
        ErrorCode code = errno_error(number);
        EXPECT_TRUE(is_errno_error(code));
        EXPECT_EQ(errno_of(code), number);
        EXPECT_EQ(status_to_error(kErrnoStatus | static_cast<NtStatus>(number)), code) << number;
        EXPECT_EQ(describe_error(code), std::strerror(number)) << number;
    }
}

// Any byte but 0 may be in a name: it reaches the system as it is.
TEST_F(Emulation, NamesAreTheFileSystemsBytes) {
    const std::string name = "\xff\xfe-\x80 not utf-8";
    Handle file = open_file((dir_ + "/" + name).c_str(), kReadWrite, kCreateNew);
    ASSERT_NE(file, kInvalidHandle) << last_error();
    EXPECT_TRUE(close(file));
    struct stat info {};
    EXPECT_EQ(::stat((dir_ + "/" + name).c_str(), &info), 0);
}

// ---------------------------------------------------------------- calls

class Call : public Emulation {
protected:
    FileCall run(FileCall call) {
        call.error = 12345;
        Overlapped op{};
        EXPECT_TRUE(start_call(port_, &call, &op)) << last_error();
        OverlappedEntry entry = next_packet();
        EXPECT_EQ(entry.lpOverlapped, &op);
        return call;
    }

    FileCall on(CallKind kind, Handle file, std::uint64_t length = 0) {
        FileCall call{};
        call.kind = kind;
        call.file = file;
        call.length = length;
        return run(call);
    }

    FileCall open_call(const std::string& name, std::uint32_t access, std::uint32_t disposition = kOpenAlways) {
        path_ = dir_ + "/" + name;
        FileCall call{};
        call.kind = CallKind::Open;
        call.path = path_.c_str();
        call.access = access;
        call.disposition = disposition;
        return run(call);
    }

    Handle open_with(const std::string& name, std::uint32_t access, std::uint32_t disposition = kOpenAlways) {
        FileCall done = open_call(name, access, disposition);
        EXPECT_EQ(done.error, 0u);
        return done.opened;
    }

    std::string path_;
};

struct CallFault {
    const char* name;
    CallKind kind;
};

class CallFaults : public Call, public ::testing::WithParamInterface<CallFault> {};

// Each call's own failure point fails it through its packet with exactly
// the code injected, and takes nothing else with it.
TEST_P(CallFaults, FailTheCallThroughItsPacket) {
    constexpr ErrorCode kInjected = 4242;
    auto attempt = [&] {
        return GetParam().kind == CallKind::Open ? open_call("opened", kReadWrite) : on(GetParam().kind, file_);
    };
    std::uint32_t handles = kiln_emu_open_handle_count();
    ASSERT_EQ(kiln_emu_fail_next(GetParam().name, kInjected), 1);
    FileCall failed = attempt();
    EXPECT_EQ(failed.error, kInjected);
    if (GetParam().kind == CallKind::Open) {
        EXPECT_EQ(failed.opened, kInvalidHandle);
    }
    EXPECT_EQ(kiln_emu_open_handle_count(), handles);
    FileCall done = attempt();
    EXPECT_EQ(done.error, 0u);
    if (GetParam().kind == CallKind::Open) {
        EXPECT_TRUE(close(done.opened));
    }
    if (GetParam().kind == CallKind::Close) {
        file_ = kInvalidHandle;  // the second attempt closed it
    }
}

INSTANTIATE_TEST_SUITE_P(Points, CallFaults,
                         ::testing::Values(CallFault{"CreateFileW", CallKind::Open},
                                           CallFault{"AssociatePort", CallKind::Open},
                                           CallFault{"CloseHandle", CallKind::Close},
                                           CallFault{"GetFileSizeEx", CallKind::Size},
                                           CallFault{"SetEndOfFile", CallKind::Truncate},
                                           CallFault{"FlushFileBuffers", CallKind::Sync},
                                           CallFault{"FlushFileBuffers", CallKind::DataSync}),
                         [](const auto& info) {
                             return std::string(info.param.name) + std::to_string(static_cast<int>(info.param.kind));
                         });

// A call looks its file up when it starts: a handle value closed and given to
// another file before the call runs does not send the call to that file.
TEST_F(Call, AHandleReusedBeforeTheCallRunsDoesNotRedirectIt) {
    Handle first = open_with("first", kReadWrite);
    Overlapped write_op{};
    ASSERT_TRUE(write_file(first, "abc", 3, nullptr, &write_op));
    ASSERT_EQ(next_packet().lpOverlapped, &write_op);
    // The test worker runs calls in issue order behind this held write.
    kiln_emu_set_io_mode(kHeld);
    Overlapped blocker{};
    ASSERT_FALSE(write_file(file_, "x", 1, nullptr, &blocker));
    kiln_emu_set_io_mode(kDeferred);
    FileCall size{};
    size.kind = CallKind::Size;
    size.file = first;
    FileCall closing{};
    closing.kind = CallKind::Close;
    closing.file = first;
    Overlapped size_op{};
    Overlapped close_op{};
    ASSERT_TRUE(start_call(port_, &size, &size_op));
    ASSERT_TRUE(start_call(port_, &closing, &close_op));
    ASSERT_TRUE(close(first));
    kiln_emu_set_io_mode(kInline);
    Handle second = open_with("second", kReadWrite);
    ASSERT_EQ(second, first) << "the handle value was not reused";
    kiln_emu_release_held();
    EXPECT_EQ(next_packet().lpOverlapped, &blocker);
    EXPECT_EQ(next_packet().lpOverlapped, &size_op);
    EXPECT_EQ(size.error, 0u);
    EXPECT_EQ(size.size, 3u);
    EXPECT_EQ(next_packet().lpOverlapped, &close_op);
    EXPECT_EQ(closing.error, kErrorInvalidHandle);
    EXPECT_EQ(on(CallKind::Size, second).error, 0u) << "the close reached the file that took the handle";
    EXPECT_TRUE(close(second));
}

struct TruncateCase {
    const char* name;
    std::uint32_t access;
    std::uint32_t disposition;
};

class TruncateAccess : public Call, public ::testing::WithParamInterface<TruncateCase> {};

// Changing the end of the file needs write access (data or append), whatever
// descriptor the handle happens to sit on.
TEST_P(TruncateAccess, IsRefusedWithoutWriteAccess) {
    std::ofstream(dir_ + "/t", std::ios::binary) << "0123456789";
    Handle file = open_with("t", GetParam().access, GetParam().disposition);
    std::uintmax_t before = std::filesystem::file_size(dir_ + "/t");
    EXPECT_EQ(on(CallKind::Truncate, file, 1).error, kErrorAccessDenied);
    EXPECT_EQ(std::filesystem::file_size(dir_ + "/t"), before);
    EXPECT_TRUE(close(file));
}

INSTANTIATE_TEST_SUITE_P(Handles, TruncateAccess,
                         ::testing::Values(TruncateCase{"ReadOnly", kGenericRead, kOpenExisting},
                                           TruncateCase{"ReadOnlyCreatedAlways", kGenericRead, kCreateAlways}),
                         [](const auto& info) { return std::string(info.param.name); });

// Where the caller cannot read the file, asking for write access alone must
// not ask the system for read access. Root reads anything, so the check
// runs as nobody.
TEST_F(Emulation, WriteAccessAloneOpensAFileTheUserMayNotRead) {
    if (::geteuid() != 0) GTEST_SKIP() << "Calls.AWriteOnlyHandleNeedsNoReadPermission covers it without root";
    std::string path = dir_ + "/dropbox";
    std::ofstream(path, std::ios::binary) << "";
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0200), 0);
    ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
    bool ok = posix::in_child([&] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) return false;
        Handle writer = open_file(path.c_str(), kGenericWrite, kOpenExisting);
        Handle appender = open_file(path.c_str(), kAppendData, kOpenExisting);
        Handle both = open_file(path.c_str(), kReadWrite, kOpenExisting);
        ErrorCode refused = last_error();
        return writer != kInvalidHandle && appender != kInvalidHandle && both == kInvalidHandle &&
               refused == errno_error(EACCES);
    });
    EXPECT_TRUE(ok);
}

}  // namespace
