// Calls without an overlapped form (open, close, size, truncate, sync) and
// the access a handle is opened with (append-only, write-only). They run on
// a worker and complete through the port; these tests hold for the Win32
// layer under Wine and for every engine of the emulation.
#include "contract_support.h"
#include "platform/platform.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using namespace contract;

// A call with its record, run to its packet.
struct Ran {
    FileCall call;
    Overlapped overlapped;
};

class Calls : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        use_io_mode(GetParam());
        port_ = create_port();
        ASSERT_NE(port_, nullptr);
    }

    void TearDown() override {
        for (Handle file : files_) EXPECT_TRUE(close(file));
        EXPECT_TRUE(port_is_empty(port_));
        EXPECT_TRUE(close(port_));
        use_io_mode(0);
    }

    // Starts the call and takes its one packet: 0 bytes, key 0, a final status.
    FileCall run(FileCall call) {
        Ran ran{call, {}};
        ran.call.error = 12345;
        ran.call.opened = nullptr;
        EXPECT_TRUE(start_call(port_, &ran.call, &ran.overlapped)) << last_error();
        OverlappedEntry entry = expect_packet(port_, &ran.overlapped);
        EXPECT_EQ(entry.dwNumberOfBytesTransferred, 0u);
        EXPECT_EQ(static_cast<NtStatus>(ran.overlapped.Internal), kStatusSuccess);
        EXPECT_NE(ran.call.error, 12345u);
        return ran.call;
    }

    FileCall run_open(const fs::path& path, std::uint32_t access, std::uint32_t disposition) {
        path_ = native(path);
        FileCall call{};
        call.kind = CallKind::Open;
        call.path = path_.c_str();
        call.access = access;
        call.disposition = disposition;
        FileCall done = run(call);
        if (done.error == 0) files_.push_back(done.opened);
        return done;
    }

    Handle open_ok(const fs::path& path, std::uint32_t access, std::uint32_t disposition = kOpenAlways) {
        FileCall done = run_open(path, access, disposition);
        EXPECT_EQ(done.error, 0u);
        EXPECT_NE(done.opened, kInvalidHandle);
        return done.opened;
    }

    FileCall on_file(CallKind kind, Handle file, std::uint64_t length = 0) {
        FileCall call{};
        call.kind = kind;
        call.file = file;
        call.length = length;
        return run(call);
    }

    std::uint64_t size_of(Handle file) {
        FileCall done = on_file(CallKind::Size, file);
        EXPECT_EQ(done.error, 0u);
        return done.size;
    }

    Outcome write(Handle file, std::string_view data, std::uint64_t offset) {
        Overlapped overlapped = at(offset);
        auto len = static_cast<std::uint32_t>(data.size());
        return settle(port_, overlapped,
                      [&](std::uint32_t* count) { return write_file(file, data.data(), len, count, &overlapped); });
    }

    Outcome read(Handle file, std::string& into, std::uint64_t offset) {
        Overlapped overlapped = at(offset);
        auto len = static_cast<std::uint32_t>(into.size());
        Outcome outcome = settle(
            port_, overlapped, [&](std::uint32_t* count) { return read_file(file, into.data(), len, count, &overlapped); });
        into.resize(outcome.bytes);
        return outcome;
    }

    ScratchDir dir_;
    Handle port_ = nullptr;
    std::vector<Handle> files_;
    NativePath path_;
};

TEST_P(Calls, OpenMakesAFileTiedToThePort) {
    Handle file = open_ok(dir_ / "new.bin", kReadWrite, kCreateNew);
    EXPECT_TRUE(fs::exists(dir_ / "new.bin"));
    // Already associated: its I/O completes on this port, and a second association is refused.
    EXPECT_EQ(associate(file, port_), nullptr);
    EXPECT_EQ(write(file, "hello", 0), (Outcome{0, 5}));
    std::string back(8, '?');
    EXPECT_EQ(read(file, back, 0), (Outcome{0, 5}));
    EXPECT_EQ(back, "hello");
}

TEST_P(Calls, OpenFailuresCarryTheSystemsError) {
    put_file(dir_ / "exists", "x");
    fs::create_directory(dir_ / "folder");
    struct Case {
        const char* name;
        std::uint32_t disposition;
        ErrorCode error;
    };
    const Case cases[] = {
        {"missing", kOpenExisting, system_error(kErrorFileNotFound, ENOENT)},
        {"no/such/dir", kOpenAlways, system_error(kErrorPathNotFound, ENOENT)},
        {"exists", kCreateNew, system_error(kErrorFileExists, EEXIST)},
        {"folder", kOpenExisting, system_error(kErrorAccessDenied, EISDIR)},
    };
    for (const Case& c : cases) {
        FileCall done = run_open(dir_ / c.name, kRead, c.disposition);
        EXPECT_EQ(done.error, c.error) << c.name;
        EXPECT_EQ(done.opened, kInvalidHandle) << c.name;
    }
}

TEST_P(Calls, SizeFollowsWritesAndTruncation) {
    Handle file = open_ok(dir_ / "sized.bin", kReadWrite);
    EXPECT_EQ(size_of(file), 0u);
    ASSERT_EQ(write(file, "0123456789", 0), (Outcome{0, 10}));
    EXPECT_EQ(size_of(file), 10u);
    EXPECT_EQ(on_file(CallKind::Truncate, file, 3).error, 0u);
    EXPECT_EQ(size_of(file), 3u);
    EXPECT_EQ(fs::file_size(dir_ / "sized.bin"), 3u);
    // Growing fills with zeros, above 4 GiB too (kept sparse).
    EXPECT_EQ(on_file(CallKind::Truncate, file, 5 * kGiB + 1).error, 0u);
    EXPECT_EQ(size_of(file), 5 * kGiB + 1);
    std::string hole(4, '?');
    EXPECT_EQ(read(file, hole, 4 * kGiB), (Outcome{0, 4}));
    EXPECT_EQ(hole, std::string(4, '\0'));
    EXPECT_EQ(on_file(CallKind::Truncate, file, 0).error, 0u);
    EXPECT_EQ(size_of(file), 0u);
}

TEST_P(Calls, SizeGoesByTheOpenFileNotItsName) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows refuses to rename a file open without FILE_SHARE_DELETE, which open_file does not grant";
#endif
    Handle file = open_ok(dir_ / "old-name", kReadWrite);
    ASSERT_EQ(write(file, "0123456789", 0), (Outcome{0, 10}));
    fs::rename(dir_ / "old-name", dir_ / "new-name");
    put_file(dir_ / "old-name", "another file");
    EXPECT_EQ(size_of(file), 10u);
    EXPECT_EQ(on_file(CallKind::Truncate, file, 4).error, 0u);
    EXPECT_EQ(fs::file_size(dir_ / "new-name"), 4u);
    EXPECT_EQ(fs::file_size(dir_ / "old-name"), 12u);
}

TEST_P(Calls, SyncSucceedsOnAWrittenFile) {
    Handle file = open_ok(dir_ / "synced.bin", kReadWrite);
    ASSERT_EQ(write(file, "durable", 0), (Outcome{0, 7}));
    EXPECT_EQ(on_file(CallKind::Sync, file).error, 0u);
    EXPECT_EQ(on_file(CallKind::DataSync, file).error, 0u);
}

TEST_P(Calls, CloseEndsTheHandle) {
    FileCall opened = run_open(dir_ / "closed.bin", kReadWrite, kCreateNew);
    ASSERT_EQ(opened.error, 0u);
    files_.clear();
    EXPECT_EQ(on_file(CallKind::Close, opened.opened).error, 0u);
#ifndef _WIN32
    // Windows hands a closed handle's value to the next handle made (the thread
    // pool's own, say): calls on it there would close or block whatever that is.
    for (CallKind kind : {CallKind::Close, CallKind::Size, CallKind::Truncate, CallKind::Sync}) {
        EXPECT_EQ(on_file(kind, opened.opened).error, kErrorInvalidHandle) << static_cast<int>(kind);
    }
#endif
    EXPECT_EQ(on_file(CallKind::Size, nullptr).error, kErrorInvalidHandle);
}

TEST_P(Calls, TruncatingWithoutWriteAccessFails) {
    put_file(dir_ / "readonly.bin", "keep");
    Handle file = open_ok(dir_ / "readonly.bin", kRead, kOpenExisting);
    EXPECT_NE(on_file(CallKind::Truncate, file, 1).error, 0u);
    EXPECT_EQ(fs::file_size(dir_ / "readonly.bin"), 4u);
}

TEST_P(Calls, ManyCallsInFlightEachCompleteOnce) {
    Handle file = open_ok(dir_ / "many.bin", kReadWrite);
    ASSERT_EQ(write(file, "abc", 0), (Outcome{0, 3}));
    constexpr int kCalls = 100;
    std::vector<Ran> ran(kCalls);
    for (Ran& one : ran) {
        one.call.kind = CallKind::Size;
        one.call.file = file;
        ASSERT_TRUE(start_call(port_, &one.call, &one.overlapped)) << last_error();
    }
    std::vector<bool> seen(kCalls, false);
    for (int received = 0; received < kCalls;) {
        OverlappedEntry entries[kMaxBatch];
        std::uint32_t removed = 0;
        ASSERT_TRUE(wait(port_, entries, kMaxBatch, &removed, 10000)) << last_error();
        for (std::uint32_t index = 0; index < removed; ++index, ++received) {
            auto named = std::find_if(ran.begin(), ran.end(),
                                      [&](const Ran& one) { return &one.overlapped == entries[index].lpOverlapped; });
            ASSERT_NE(named, ran.end());
            auto position = named - ran.begin();
            EXPECT_FALSE(seen[position]);
            seen[position] = true;
        }
    }
    for (const Ran& one : ran) {
        EXPECT_EQ(one.call.error, 0u);
        EXPECT_EQ(one.call.size, 3u);
    }
}

TEST_P(Calls, AnAppendHandleWritesAtTheEndWhateverTheOffset) {
    put_file(dir_ / "log", "start;");
    Handle first = open_ok(dir_ / "log", kAppendData, kOpenExisting);
    Handle second = open_ok(dir_ / "log", kGenericRead | kAppendData, kOpenExisting);
    EXPECT_EQ(write(first, "one;", 0), (Outcome{0, 4}));
    EXPECT_EQ(write(second, "two;", 2), (Outcome{0, 4}));
    EXPECT_EQ(write(first, "three;", 1000), (Outcome{0, 6}));
    std::string all(64, '?');
    EXPECT_EQ(read(second, all, 0), (Outcome{0, 20}));
    EXPECT_EQ(all, "start;one;two;three;");
    EXPECT_EQ(size_of(first), 20u);
    // Append-only has no read access.
    std::string none(4, '?');
    EXPECT_EQ(read(first, none, 0), (Outcome{kErrorAccessDenied, 0}));
}

TEST_P(Calls, AnAppendHandleMaySetTheEndOfTheFile) {
    put_file(dir_ / "log", "0123456789");
    Handle file = open_ok(dir_ / "log", kAppendData, kOpenExisting);
    EXPECT_EQ(on_file(CallKind::Truncate, file, 4).error, 0u);
    EXPECT_EQ(write(file, "!", 0), (Outcome{0, 1}));
    EXPECT_EQ(fs::file_size(dir_ / "log"), 5u);
}

TEST_P(Calls, AWriteOnlyHandleNeedsNoReadPermission) {
#ifdef _WIN32
    GTEST_SKIP() << "a write-only ACL is not set up here on Windows";
#else
    // Root may read whatever the mode says; what is tested is that no read access is asked for.
    put_file(dir_ / "dropbox", "");
    ::chmod((dir_ / "dropbox").c_str(), 0200);
    Handle file = open_ok(dir_ / "dropbox", kWrite, kOpenExisting);
    EXPECT_EQ(write(file, "secret", 0), (Outcome{0, 6}));
    Handle appender = open_ok(dir_ / "dropbox", kAppendData, kOpenExisting);
    EXPECT_EQ(write(appender, "!", 0), (Outcome{0, 1}));
    std::string none(4, '?');
    EXPECT_EQ(read(file, none, 0), (Outcome{kErrorAccessDenied, 0}));
    ::chmod((dir_ / "dropbox").c_str(), 0600);
    EXPECT_EQ(fs::file_size(dir_ / "dropbox"), 7u);
#endif
}

TEST_P(Calls, AFileKnowsWhetherItHasPositions) {
    Handle file = open_ok(dir_ / "disk.bin", kReadWrite);
    EXPECT_EQ(file_type(file), kFileTypeDisk);
    EXPECT_EQ(file_type(port_), kFileTypeUnknown);
#ifndef _WIN32
    ::mkfifo((dir_ / "fifo").c_str(), 0600);
    Handle fifo = open_ok(dir_ / "fifo", kReadWrite, kOpenExisting);
    EXPECT_EQ(file_type(fifo), kFileTypePipe);
    Handle null = open_ok("/dev/null", kReadWrite, kOpenExisting);
    EXPECT_EQ(file_type(null), kFileTypeChar);
#endif
}

INSTANTIATE_TEST_SUITE_P(Modes, Calls, ::testing::ValuesIn(kEngineModes),
                         [](const auto& info) { return mode_name(info.param); });

#ifndef _WIN32
// Inline runs the call on the calling thread: its packet is already queued.
TEST(CallsInline, ThePacketIsQueuedBeforeStartReturns) {
    use_io_mode(0);
    ScratchDir dir;
    Handle port = create_port();
    NativePath path = native(dir / "f");
    FileCall call{};
    call.kind = CallKind::Open;
    call.path = path.c_str();
    call.access = kReadWrite;
    call.disposition = kCreateNew;
    Overlapped overlapped{};
    ASSERT_TRUE(start_call(port, &call, &overlapped));
    EXPECT_FALSE(port_is_empty(port));
    EXPECT_EQ(call.error, 0u);
    EXPECT_TRUE(close(call.opened));
    EXPECT_TRUE(close(port));
}
#endif

TEST(EngineName, NamesTheEngine) {
    std::string name = engine_name();
#ifdef _WIN32
    EXPECT_EQ(name, "iocp");
#else
    use_io_mode(0);
    EXPECT_EQ(std::string(engine_name()), "inline");
    use_io_mode(4);
    EXPECT_EQ(std::string(engine_name()), "pool");
    use_io_mode(3);
    EXPECT_TRUE(std::string(engine_name()) == "io_uring" || std::string(engine_name()) == "pool");
    use_io_mode(0);
#endif
}

}  // namespace
