// What the module relies on from the completion-port operations. Everything
// here must hold for the Win32 layer and for the POSIX emulation alike, so it
// goes through platform.h only, except for setting up what the interface
// cannot make (a pipe on Windows); the I/O mode switch is a no-op on Windows,
// where the system itself decides whether an operation completes at once.
#include "contract_support.h"
#include "platform/platform.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>

#include "platform/emulation.h"
#endif

namespace fs = std::filesystem;
using namespace kiln::platform;

namespace {

using namespace contract;

// ---------------------------------------------------------------- ports

TEST(Port, ReturnsPostedPacketsExactlyInFifoBatches) {
    Handle port = create_port();
    ASSERT_NE(port, nullptr);
    constexpr std::uint32_t kPosted = 100;
    auto fake = [](std::uint32_t i) { return reinterpret_cast<Overlapped*>(std::uintptr_t{0x1000} + 16 * i); };
    for (std::uint32_t i = 0; i < kPosted; ++i) {
        std::uintptr_t key = i == kPosted - 1 ? kStopKey : 7 * i;
        ASSERT_TRUE(post(port, i * 3, key, i == kPosted - 1 ? nullptr : fake(i)));
    }
    std::vector<OverlappedEntry> entries(kMaxBatch);
    std::uint32_t next = 0;
    for (std::uint32_t expected : {kMaxBatch, kPosted - kMaxBatch}) {
        std::uint32_t removed = 0;
        ASSERT_TRUE(wait(port, entries.data(), kMaxBatch, &removed, 0));
        ASSERT_EQ(removed, expected);
        for (std::uint32_t i = 0; i < removed; ++i, ++next) {
            bool last = next == kPosted - 1;
            EXPECT_EQ(entries[i].dwNumberOfBytesTransferred, next * 3);
            EXPECT_EQ(entries[i].lpCompletionKey, last ? kStopKey : 7 * next);
            EXPECT_EQ(entries[i].lpOverlapped, last ? nullptr : fake(next));
        }
    }
    EXPECT_TRUE(port_is_empty(port));
    EXPECT_TRUE(close(port));
}

TEST(Port, TimedWaitGivesUpWithWaitTimeout) {
    Handle port = create_port();
    OverlappedEntry entry{};
    std::uint32_t removed = 99;
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(wait(port, &entry, 1, &removed, 50));
    EXPECT_EQ(last_error(), kWaitTimeout);
    EXPECT_EQ(removed, 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(40));
    EXPECT_TRUE(close(port));
}

TEST(Port, ClosingItReleasesAWaiterWithAbandonedWait) {
    if (kUnderWine) {
        GTEST_SKIP() << "Wine leaves a thread waiting on a port asleep when the port is closed";
    }
    ErrorCode error = 0;
    // The close may land before the waiter blocks; that run proves nothing, so retry.
    for (int attempt = 0; attempt < 20 && error != kErrorAbandonedWait0; ++attempt) {
        Handle port = create_port();
        std::atomic<bool> entering{false};
        std::thread waiter([&] {
            OverlappedEntry entry{};
            std::uint32_t removed = 0;
            entering = true;
            error = wait(port, &entry, 1, &removed, kInfinite) ? 0 : last_error();
        });
        while (!entering) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_TRUE(close(port));
        waiter.join();
        ASSERT_TRUE(error == kErrorAbandonedWait0 || error == kErrorInvalidHandle) << error;
    }
    EXPECT_EQ(error, kErrorAbandonedWait0);
}

TEST(Port, AssociationIsOneToOneAndOutlivesThePortHandle) {
    ScratchDir dir;
    Handle file = open(dir / "a", kReadWrite, kCreateNew);
    Handle port = create_port();
    Handle other = create_port();
    EXPECT_EQ(associate(port, other), nullptr);
    EXPECT_EQ(last_error(), kErrorInvalidHandle);
    EXPECT_EQ(associate(file, port), port);
    EXPECT_EQ(associate(file, other), nullptr);
    EXPECT_EQ(last_error(), kErrorInvalidParameter);
    EXPECT_TRUE(close(port));
    Overlapped overlapped{};
    EXPECT_TRUE(write_file(file, "x", 1, nullptr, &overlapped) || last_error() == kErrorIoPending);
    EXPECT_TRUE(close(file));
    EXPECT_TRUE(close(other));
}

// With no existing port the call makes a new one for the file, as
// CreateIoCompletionPort does, and the file's completions go there.
TEST(Port, AssociatingWithNoPortCreatesOne) {
    ScratchDir dir;
    Handle file = open(dir / "a", kReadWrite, kCreateNew);
    Handle port = create_port();
    Handle made = associate(file, nullptr);
    EXPECT_NE(made, nullptr) << last_error();
    if (made) {
        EXPECT_NE(made, port);
        EXPECT_EQ(associate(file, port), nullptr);
        EXPECT_EQ(last_error(), kErrorInvalidParameter);
        Overlapped overlapped{};
        auto start = [&](std::uint32_t* count) { return write_file(file, "x", 1, count, &overlapped); };
        EXPECT_EQ(settle(made, overlapped, start), (Outcome{0, 1}));
        EXPECT_TRUE(port_is_empty(port));
        EXPECT_TRUE(close(made));
    }
    EXPECT_TRUE(close(file));
    EXPECT_TRUE(close(port));
}

// A handle that does not name an object of the kind the call needs.
enum class BadHandle { Null, Stale, WrongKind };

class InvalidHandle : public ::testing::TestWithParam<BadHandle> {};

TEST_P(InvalidHandle, EveryCallFailsWithInvalidHandle) {
    ScratchDir dir;
    Handle file = open(dir / "f", kReadWrite, kCreateNew);
    Handle port = create_port();
    Handle stale = create_port();
    ASSERT_TRUE(close(stale));
    Handle bad_file = GetParam() == BadHandle::Null ? nullptr : GetParam() == BadHandle::Stale ? stale : port;
    Handle bad_port = GetParam() == BadHandle::WrongKind ? file : bad_file;
    char buffer[4] = {};
    Overlapped overlapped{};
    OverlappedEntry entry{};
    std::uint32_t removed = 0;
    auto expect_invalid = [](bool failed, const char* call) {
        EXPECT_TRUE(failed) << call;
        EXPECT_EQ(last_error(), kErrorInvalidHandle) << call;
    };
    expect_invalid(!read_file(bad_file, buffer, 4, nullptr, &overlapped), "read_file");
    expect_invalid(!write_file(bad_file, buffer, 4, nullptr, &overlapped), "write_file");
    // Wine cancels on any kind of handle, and reports success when there was nothing to cancel.
    if (!(kUnderWine && GetParam() == BadHandle::WrongKind)) {
        expect_invalid(!cancel_io(bad_file, nullptr), "cancel_io");
    }
    expect_invalid(associate(bad_file, port) == nullptr, "associate");
    expect_invalid(!post(bad_port, 0, 0, nullptr), "post");
    expect_invalid(!wait(bad_port, &entry, 1, &removed, 0), "wait");
    if (GetParam() != BadHandle::WrongKind) {
        expect_invalid(!close(bad_file), "close");
        expect_invalid(wait_for(bad_file, 0) == kWaitFailed, "wait_for");
    }
    EXPECT_TRUE(close(file));
    EXPECT_TRUE(close(port));
}

INSTANTIATE_TEST_SUITE_P(Kinds, InvalidHandle,
                         ::testing::Values(BadHandle::Null, BadHandle::Stale, BadHandle::WrongKind));

// ---------------------------------------------------------------- opening files

struct OpenCase {
    const char* name;
    std::uint32_t disposition;
    std::uint32_t access;
    bool exists;  // beforehand, holding three bytes
    ErrorCode error;
    std::uintmax_t size_after;
};

const OpenCase kOpenCases[] = {
    {"CreateNewOverExisting", kCreateNew, kReadWrite, true, system_error(kErrorFileExists, EEXIST), 3},
    {"CreateNewMissing", kCreateNew, kReadWrite, false, 0, 0},
    {"CreateAlwaysTruncates", kCreateAlways, kReadWrite, true, 0, 0},
    {"CreateAlwaysTruncatesReadOnly", kCreateAlways, kRead, true, 0, 0},
    {"CreateAlwaysMissing", kCreateAlways, kWrite, false, 0, 0},
    {"OpenExistingKeeps", kOpenExisting, kRead, true, 0, 3},
    {"OpenExistingMissing", kOpenExisting, kRead, false, system_error(kErrorFileNotFound, ENOENT), 0},
    {"OpenAlwaysKeeps", kOpenAlways, kReadWrite, true, 0, 3},
    {"OpenAlwaysMissing", kOpenAlways, kRead, false, 0, 0},
    {"TruncateExisting", kTruncateExisting, kReadWrite, true, 0, 0},
    {"TruncateExistingMissing", kTruncateExisting, kReadWrite, false, system_error(kErrorFileNotFound, ENOENT), 0},
    {"TruncateExistingNeedsWrite", kTruncateExisting, kRead, true, kErrorInvalidParameter, 3},
    {"UnknownDisposition", 6, kReadWrite, true, kErrorInvalidParameter, 3},
};

class OpenDisposition : public ::testing::TestWithParam<OpenCase> {};

TEST_P(OpenDisposition, CreatesTruncatesOrRefuses) {
    const OpenCase& c = GetParam();
    if (kUnderWine && c.disposition == kTruncateExisting && !(c.access & kWrite)) {
        GTEST_SKIP() << "Wine truncates without write access, which Windows requires for TRUNCATE_EXISTING";
    }
    ScratchDir dir;
    fs::path path = dir / "data.bin";
    if (c.exists) put_file(path, "abc");
    Handle file = open(path, c.access, c.disposition);
    ErrorCode error = file == kInvalidHandle ? last_error() : 0;
    EXPECT_EQ(error, c.error);
    if (file != kInvalidHandle) {
        EXPECT_TRUE(close(file));
    }
    bool exists_after = c.exists || error == 0;
    ASSERT_EQ(fs::exists(path), exists_after);
    if (exists_after) {
        EXPECT_EQ(fs::file_size(path), c.size_after);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, OpenDisposition, ::testing::ValuesIn(kOpenCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct BadPathCase {
    const char* name;
    const char* relative;  // inside the scratch directory; empty means an empty path
    std::uint32_t access;
    std::uint32_t disposition;
    ErrorCode error;
};

const BadPathCase kBadPaths[] = {
    {"MissingParent", "missing/child", kReadWrite, kCreateAlways, system_error(kErrorPathNotFound, ENOENT)},
    {"ParentIsAFile", "plain/child", kRead, kOpenExisting, system_error(kErrorPathNotFound, ENOTDIR)},
    {"EmptyPath", "", kRead, kOpenExisting, system_error(kErrorPathNotFound, ENOENT)},
    {"DirectoryForReading", "folder", kRead, kOpenExisting, system_error(kErrorAccessDenied, EISDIR)},
    {"DirectoryForWriting", "folder", kReadWrite, kOpenAlways, system_error(kErrorAccessDenied, EISDIR)},
};

class OpenBadPath : public ::testing::TestWithParam<BadPathCase> {};

TEST_P(OpenBadPath, FailsWithTheSystemsCode) {
    const BadPathCase& c = GetParam();
    ScratchDir dir;
    put_file(dir / "plain", "x");
    fs::create_directory(dir / "folder");
    fs::path path = *c.relative ? dir / c.relative : fs::path();
    EXPECT_EQ(open(path, c.access, c.disposition), kInvalidHandle);
    EXPECT_EQ(last_error(), c.error);
}

INSTANTIATE_TEST_SUITE_P(Cases, OpenBadPath, ::testing::ValuesIn(kBadPaths),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OpenFile, DecodesUtf16NamesIncludingSurrogatePairs) {
    ScratchDir dir;
    fs::path path = dir / fs::path(u"\u00e9t\u00e9 \U0001F600.txt");
    Handle file = open_file(native(path).c_str(), kReadWrite, kCreateNew);
    ASSERT_NE(file, kInvalidHandle) << last_error();
    EXPECT_TRUE(close(file));
    EXPECT_TRUE(fs::exists(dir / fs::path(u8"\u00e9t\u00e9 \U0001F600.txt")));
}

// ---------------------------------------------------------------- reads and writes

class FileIo : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        use_io_mode(GetParam());
        port_ = create_port();
        ASSERT_NE(port_, nullptr);
    }

    void TearDown() override {
        for (Handle file : files_) EXPECT_TRUE(close(file));
        EXPECT_TRUE(close(port_));
        use_io_mode(0);
    }

    Handle open_associated(const char* name, std::uint32_t access, std::uint32_t disposition = kOpenAlways) {
        Handle file = open(dir_ / name, access, disposition);
        EXPECT_NE(file, kInvalidHandle) << last_error();
        EXPECT_EQ(associate(file, port_), port_);
        files_.push_back(file);
        return file;
    }

    Outcome read(Handle file, char* buffer, std::uint32_t len, std::uint64_t offset) {
        Overlapped overlapped = at(offset);
        return settle(port_, overlapped,
                      [&](std::uint32_t* count) { return read_file(file, buffer, len, count, &overlapped); });
    }

    Outcome write(Handle file, std::string_view data, std::uint64_t offset) {
        Overlapped overlapped = at(offset);
        auto len = static_cast<std::uint32_t>(data.size());
        return settle(port_, overlapped,
                      [&](std::uint32_t* count) { return write_file(file, data.data(), len, count, &overlapped); });
    }

    ScratchDir dir_;
    Handle port_ = nullptr;
    std::vector<Handle> files_;
};

TEST_P(FileIo, ReadsBackWritesBelowAndAboveFourGiB) {
    Handle file = open_associated("sparse.bin", kReadWrite, kCreateNew);
    const std::string payload = "payload";
    for (std::uint64_t offset : {std::uint64_t{0}, 4 * kGiB - 3, 5 * kGiB}) {
        EXPECT_EQ(write(file, payload, offset), (Outcome{0, 7}));
        std::string back(7, '?');
        EXPECT_EQ(read(file, back.data(), 7, offset), (Outcome{0, 7}));
        EXPECT_EQ(back, payload) << "at " << offset;
    }
    // 5 GiB with its high half dropped must still read the hole.
    std::string hole(7, '?');
    EXPECT_EQ(read(file, hole.data(), 7, 1 * kGiB), (Outcome{0, 7}));
    EXPECT_EQ(hole, std::string(7, '\0'));
    EXPECT_EQ(fs::file_size(dir_ / "sparse.bin"), 5 * kGiB + 7);
}

TEST_P(FileIo, ReadsStopAtTheEndOfTheFile) {
    Handle file = open_associated("ten.bin", kReadWrite);
    ASSERT_EQ(write(file, "0123456789", 0), (Outcome{0, 10}));
    struct Case {
        std::uint64_t offset;
        std::uint32_t len;
        Outcome outcome;
    };
    const Case cases[] = {
        {8, 4, {0, 2}},  {10, 4, {kErrorHandleEof, 0}}, {20, 4, {kErrorHandleEof, 0}},
        {6 * kGiB, 4, {kErrorHandleEof, 0}}, {20, 0, {0, 0}},
    };
    for (const Case& c : cases) {
        char buffer[4] = {};
        EXPECT_EQ(read(file, buffer, c.len, c.offset), c.outcome) << "at " << c.offset << " len " << c.len;
    }
}

TEST_P(FileIo, RefusesWhatTheHandleMayNotDo) {
    Handle reader = open_associated("r.bin", kRead);
    Handle writer = open_associated("w.bin", kWrite);
    char buffer[4] = {};
    EXPECT_EQ(write(reader, "data", 0), (Outcome{kErrorAccessDenied, 0}));
    EXPECT_EQ(read(writer, buffer, 4, 0), (Outcome{kErrorAccessDenied, 0}));
    std::uint32_t count = 0;
    EXPECT_FALSE(read_file(reader, buffer, 4, &count, nullptr));
    EXPECT_EQ(last_error(), kErrorInvalidParameter);
    EXPECT_FALSE(write_file(writer, buffer, 4, &count, nullptr));
    EXPECT_EQ(last_error(), kErrorInvalidParameter);
    EXPECT_TRUE(port_is_empty(port_));
}

TEST_P(FileIo, CancellingNothingFailsWithNotFound) {
    Handle file = open_associated("c.bin", kReadWrite);
    Overlapped overlapped{};
    EXPECT_EQ(settle(port_, overlapped, [&](std::uint32_t* count) {
                  return write_file(file, "abc", 3, count, &overlapped);
              }),
              (Outcome{0, 3}));
    EXPECT_FALSE(cancel_io(file, &overlapped));
    EXPECT_EQ(last_error(), kErrorNotFound);
    // Wine reports success for a cancel-all that found nothing; Windows fails it.
    if (!kUnderWine) {
        EXPECT_FALSE(cancel_io(file, nullptr));
        EXPECT_EQ(last_error(), kErrorNotFound);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, FileIo, ::testing::ValuesIn(kEngineModes),
                         [](const auto& info) { return mode_name(info.param); });

// Something to read that the system holds in flight until it is cancelled. A
// file read always finishes by itself on Windows, so there it is the client
// end of a pipe nobody writes to. The emulation holds file reads on request
// (mode 2); its other engines wait on a FIFO whose only writer is the reader
// itself.
class PendingSource {
public:
    explicit PendingSource([[maybe_unused]] int mode) {
#ifdef _WIN32
        std::wstring name = L"\\\\.\\pipe\\kiln-contract-" + std::to_wstring(GetCurrentProcessId());
        server_ = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE, 1, 64, 64,
                                   0, nullptr);
        NativePath path(name.begin(), name.end());
        file_ = open_file(path.c_str(), kReadWrite, kOpenExisting);
#else
        use_io_mode(mode);
        if (mode == 2) {
            put_file(dir_ / "held.bin", "content");
            file_ = open(dir_ / "held.bin", kRead, kOpenExisting);
        } else {
            ::mkfifo((dir_ / "fifo").c_str(), 0600);
            file_ = open(dir_ / "fifo", kReadWrite, kOpenExisting);
        }
#endif
    }
    ~PendingSource() {
        if (file_ != kInvalidHandle) close(file_);
#ifdef _WIN32
        CloseHandle(server_);
#else
        use_io_mode(0);
#endif
    }
    Handle file() const { return file_; }

private:
    ScratchDir dir_;
    Handle file_ = kInvalidHandle;
#ifdef _WIN32
    HANDLE server_ = INVALID_HANDLE_VALUE;
#endif
};

#ifdef _WIN32
constexpr int kPendingModes[] = {3};
#else
constexpr int kPendingModes[] = {1, 2, 3, 4};
#endif

class Cancel : public ::testing::TestWithParam<int> {};

TEST_P(Cancel, APendingReadCompletesAsAborted) {
    PendingSource source(GetParam());
    Handle file = source.file();
    ASSERT_NE(file, kInvalidHandle) << last_error();
    Handle port = create_port();
    ASSERT_EQ(associate(file, port), port);
    char buffer[8] = {};
    std::uint32_t count = 12345;
    Overlapped overlapped{};
    ASSERT_FALSE(read_file(file, buffer, sizeof buffer, &count, &overlapped));
    ASSERT_EQ(last_error(), kErrorIoPending);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(overlapped.Internal, kStatusPending);
    EXPECT_TRUE(port_is_empty(port));

    EXPECT_TRUE(cancel_io(file, &overlapped)) << last_error();
    OverlappedEntry entry = expect_packet(port, &overlapped);
    EXPECT_EQ(entry.dwNumberOfBytesTransferred, 0u);
    EXPECT_EQ(overlapped.Internal, kStatusCancelled);
    EXPECT_EQ(status_to_error(static_cast<NtStatus>(overlapped.Internal)), kErrorOperationAborted);
    // Once its packet is out, the operation is nothing the system can cancel.
    EXPECT_FALSE(cancel_io(file, &overlapped));
    EXPECT_EQ(last_error(), kErrorNotFound);
    EXPECT_TRUE(close(port));
}

INSTANTIATE_TEST_SUITE_P(Modes, Cancel, ::testing::ValuesIn(kPendingModes),
                         [](const auto& info) { return mode_name(info.param); });

// ---------------------------------------------------------------- heap

TEST(Heap, BlocksAreDistinctAlignedAndWritable) {
    const std::size_t sizes[] = {0, 0, 1, sizeof(Overlapped), 4096, std::size_t{1} << 20};
    std::vector<void*> blocks;
    for (std::size_t size : sizes) {
        void* block = heap_alloc(size);
        ASSERT_NE(block, nullptr) << size;
        // Operation records start with the OVERLAPPED block and hold 64-bit fields.
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 8, 0u) << size;
        std::memset(block, 0xA5, size);
        blocks.push_back(block);
    }
    std::sort(blocks.begin(), blocks.end());
    EXPECT_EQ(std::adjacent_find(blocks.begin(), blocks.end()), blocks.end()) << "a block was handed out twice";
    for (void* block : blocks) heap_free(block);
    heap_free(nullptr);
}

// ---------------------------------------------------------------- threads, statuses

TEST(Thread, StartsWithTheRequestedStackAndJoinsOnce) {
    std::atomic<bool> release{false};
    std::atomic<bool> ran{false};
    struct Context {
        std::atomic<bool>* release;
        std::atomic<bool>* ran;
    } context{&release, &ran};
    auto entry = [](void* raw) {
        auto* c = static_cast<Context*>(raw);
        while (!*c->release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        *c->ran = true;
    };
    Handle thread = start_thread(entry, &context, kCompletionThreadStack);
    ASSERT_NE(thread, nullptr) << last_error();
    EXPECT_EQ(wait_for(thread, 0), kWaitTimeout);
    EXPECT_EQ(wait_for(thread, 20), kWaitTimeout);
    release = true;
    EXPECT_EQ(wait_for(thread, kInfinite), kWaitObject0);
    EXPECT_TRUE(ran);
    EXPECT_EQ(wait_for(thread, kInfinite), kWaitObject0);
    EXPECT_EQ(wait_for(thread, 0), kWaitObject0);
    EXPECT_TRUE(close(thread));
}

TEST(Status, MapsToTheWindowsErrorCodes) {
    const std::pair<NtStatus, ErrorCode> mappings[] = {
        {kStatusSuccess, 0},
        {kStatusPending, kErrorIoPending},
        {kStatusEndOfFile, kErrorHandleEof},
        {kStatusInvalidHandle, kErrorInvalidHandle},
        {kStatusAccessDenied, kErrorAccessDenied},
        {kStatusDiskFull, kErrorDiskFull},
        {kStatusCancelled, kErrorOperationAborted},
        {0xC000000D, kErrorInvalidParameter},
        {0xC0000034, kErrorFileNotFound},
        {0xC000003A, kErrorPathNotFound},
        {0xC0000035, 183},  // ERROR_ALREADY_EXISTS; CreateFileW alone turns it into ERROR_FILE_EXISTS
        {0xC0000043, kErrorSharingViolation},
        {0xC0000185, 1117},
        {0xC0DEC0DE, kErrorMrMidNotFound},
    };
    for (auto [status, error] : mappings) EXPECT_EQ(status_to_error(status), error) << std::hex << status;
}

TEST(Status, DescribesErrorsWithoutALineBreak) {
    // Wine words its message table its own way.
    if (!kUnderWine) {
        EXPECT_EQ(describe_error(kErrorFileNotFound), "The system cannot find the file specified.");
    }
    for (ErrorCode code : {kErrorAccessDenied, kErrorHandleEof, kErrorOperationAborted, kErrorAbandonedWait0}) {
        std::string text = describe_error(code);
        EXPECT_FALSE(text.empty()) << code;
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << code;
    }
}

}  // namespace
