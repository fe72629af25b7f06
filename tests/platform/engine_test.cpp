// The system engines of the POSIX build: which one runs, what a wait sees
// when packets come from the ring and from posts at once, what happens to
// operations in flight when their file or port goes, and fork.
#include "platform/emulation.h"
#include "platform/platform.h"
#include "posix_support.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

using namespace kiln::platform;

extern bool g_without_io_uring;  // contract_main.cpp

namespace {

constexpr std::uint32_t kReadWrite = kGenericRead | kGenericWrite;
enum IoMode { kInline = 0, kDeferred = 1, kHeld = 2, kSystem = 3, kPool = 4 };

bool uring_refused() { return g_without_io_uring; }

Handle open_path(const std::filesystem::path& path, std::uint32_t access = kReadWrite,
                 std::uint32_t disposition = kOpenAlways) {
    return open_file(path.c_str(), access, disposition);
}

class Engine : public ::testing::Test {
protected:
    void SetUp() override {
        kiln_emu_set_io_mode(kSystem);
        port_ = create_port();
        ASSERT_NE(port_, nullptr);
    }
    void TearDown() override {
        if (port_) {
            EXPECT_TRUE(close(port_));
        }
        kiln_emu_set_io_mode(kInline);
        kiln_emu_release_held();
    }

    Handle associated(const char* name) {
        Handle file = open_path(dir_ / name);
        EXPECT_NE(file, kInvalidHandle) << last_error();
        EXPECT_EQ(associate(file, port_), port_);
        return file;
    }

    // Up to `want` packets within a few seconds.
    std::vector<OverlappedEntry> collect(std::size_t want, std::uint32_t capacity = kMaxBatch) {
        std::vector<OverlappedEntry> got;
        std::vector<OverlappedEntry> entries(capacity);
        for (int round = 0; round < 100 && got.size() < want; ++round) {
            std::uint32_t removed = 0;
            if (wait(port_, entries.data(), capacity, &removed, 100)) {
                got.insert(got.end(), entries.begin(), entries.begin() + removed);
            }
        }
        return got;
    }

    // True when no packet turns up within a short wait.
    bool nothing_more() {
        OverlappedEntry entry{};
        std::uint32_t removed = 0;
        return !wait(port_, &entry, 1, &removed, 100);
    }

    ScratchDir dir_;
    Handle port_ = nullptr;
};

TEST(EngineChoice, FollowsTheMode) {
    for (int mode : {kInline, kDeferred, kHeld}) {
        kiln_emu_set_io_mode(mode);
        EXPECT_EQ(kiln_emu_engine(), 0u) << mode;
    }
    kiln_emu_set_io_mode(kPool);
    EXPECT_EQ(kiln_emu_engine(), 2u);
    kiln_emu_set_io_mode(kSystem);
    EXPECT_EQ(kiln_emu_engine(), uring_refused() ? 2u : 1u);
    kiln_emu_set_io_mode(99);  // unknown modes change nothing
    EXPECT_EQ(kiln_emu_engine(), uring_refused() ? 2u : 1u);
    kiln_emu_set_io_mode(kInline);
}

// Reads above the size that goes to the kernel's workers land whole, and
// many in flight at once each complete exactly once with their own data.
TEST_F(Engine, LargeAndManyReadsCompleteOnceWithTheirData) {
    Handle file = associated("big.bin");
    constexpr std::uint32_t kBig = 3 << 20;
    std::string content(kBig, '\0');
    for (std::uint32_t i = 0; i < kBig; ++i) content[i] = static_cast<char>(i * 7 + i / 4096);
    Overlapped write_op{};
    bool done = write_file(file, content.data(), kBig, nullptr, &write_op);
    ASSERT_TRUE(done || last_error() == kErrorIoPending) << last_error();
    ASSERT_EQ(collect(1).size(), 1u);
    ASSERT_EQ(write_op.InternalHigh, kBig);

    constexpr int kReads = 40;
    std::vector<Overlapped> ops(kReads);
    std::vector<std::string> buffers(kReads);
    for (int i = 0; i < kReads; ++i) {
        std::uint32_t length = i == 0 ? kBig : 4096;
        std::uint64_t offset = i == 0 ? 0 : 4096u * i;
        buffers[i].assign(length, '?');
        ops[i].Offset = static_cast<std::uint32_t>(offset);
        bool started = read_file(file, buffers[i].data(), length, nullptr, &ops[i]);
        ASSERT_TRUE(started || last_error() == kErrorIoPending) << last_error();
    }
    auto entries = collect(kReads);
    ASSERT_EQ(entries.size(), std::size_t{kReads});
    std::vector<int> seen(kReads, 0);
    for (const auto& entry : entries) {
        auto index = entry.lpOverlapped - ops.data();
        ASSERT_TRUE(index >= 0 && index < kReads);
        ++seen[index];
        EXPECT_EQ(entry.Internal, kStatusSuccess);
        EXPECT_EQ(entry.dwNumberOfBytesTransferred, buffers[index].size());
        EXPECT_EQ(ops[index].InternalHigh, buffers[index].size());
        EXPECT_EQ(buffers[index], content.substr(ops[index].Offset, buffers[index].size())) << index;
    }
    EXPECT_EQ(seen, std::vector<int>(kReads, 1));
    EXPECT_TRUE(close(file));
}

// Posts and the ring's completions come out of the same waits.
TEST_F(Engine, WaitsSeePostsAndCompletions) {
    Handle file = associated("mixed.bin");
    Overlapped write_op{};
    ASSERT_TRUE(write_file(file, "abc", 3, nullptr, &write_op) || last_error() == kErrorIoPending);
    ASSERT_TRUE(post(port_, 5, 77, nullptr));
    auto entries = collect(2, 2);
    ASSERT_EQ(entries.size(), 2u);
    bool posted = false, written = false;
    for (const auto& entry : entries) {
        posted |= entry.lpCompletionKey == 77 && entry.dwNumberOfBytesTransferred == 5;
        written |= entry.lpOverlapped == &write_op && entry.dwNumberOfBytesTransferred == 3;
    }
    EXPECT_TRUE(posted && written);
    EXPECT_TRUE(close(file));
}

// Writes on both sides of the size the pool takes instead of the ring, many
// in flight: each completes once, through the port, with its count, and the
// file holds every byte where it was written.
TEST_F(Engine, WritesOfEverySizeCompleteOnceWithTheirData) {
    Handle file = associated("writes.bin");
    const std::vector<std::uint32_t> lengths = {1, 512, 4096, 256 << 10, (256 << 10) + 1, 1 << 20};
    std::vector<std::string> blocks;
    std::vector<Overlapped> ops(lengths.size() * 8);
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < ops.size(); ++i) {
        std::uint32_t length = lengths[i % lengths.size()];
        blocks.emplace_back(length, static_cast<char>('a' + i % 26));
        ops[i].Offset = static_cast<std::uint32_t>(offset);
        offset += length;
    }
    for (std::size_t i = 0; i < ops.size(); ++i) {
        auto length = static_cast<std::uint32_t>(blocks[i].size());
        bool started = write_file(file, blocks[i].data(), length, nullptr, &ops[i]);
        ASSERT_TRUE(started || last_error() == kErrorIoPending) << last_error();
    }
    auto entries = collect(ops.size());
    ASSERT_EQ(entries.size(), ops.size());
    EXPECT_TRUE(nothing_more());
    std::vector<int> seen(ops.size(), 0);
    for (const auto& entry : entries) {
        auto index = entry.lpOverlapped - ops.data();
        ASSERT_TRUE(index >= 0 && index < static_cast<std::ptrdiff_t>(ops.size()));
        ++seen[index];
        EXPECT_EQ(entry.Internal, kStatusSuccess);
        EXPECT_EQ(entry.dwNumberOfBytesTransferred, blocks[index].size());
        EXPECT_EQ(ops[index].InternalHigh, blocks[index].size());
    }
    EXPECT_EQ(seen, std::vector<int>(ops.size(), 1));
    EXPECT_TRUE(close(file));

    std::string expected;
    for (const auto& block : blocks) expected += block;
    std::ifstream written(dir_ / "writes.bin", std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(written)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(content == expected) << "the file differs from what was written";
}

// A file without a port still completes its small write: the record says
// so, and no packet appears anywhere.
TEST_F(Engine, ASmallWriteWithoutAPortIsRecordedOnly) {
    Handle file = open_path(dir_ / "alone.bin");
    ASSERT_NE(file, kInvalidHandle);
    Overlapped op{};
    bool started = write_file(file, "hello", 5, nullptr, &op);
    ASSERT_TRUE(started || last_error() == kErrorIoPending) << last_error();
    for (int i = 0; i < 2000 && std::atomic_ref(op.Internal).load() == kStatusPending; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(std::atomic_ref(op.Internal).load(), kStatusSuccess);
    EXPECT_EQ(op.InternalHigh, 5u);
    EXPECT_TRUE(nothing_more());
    EXPECT_TRUE(close(file));
    EXPECT_EQ(std::filesystem::file_size(dir_ / "alone.bin"), 5u);
}

// A FIFO on every engine that runs in the background: the system engine
// (io_uring, or the pool in the rerun without it), the pool, the test worker.
class Fifo : public Engine, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        Engine::SetUp();
        kiln_emu_set_io_mode(GetParam());
        ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    }
};

// A read that waits for data on a FIFO is still in flight when its file is
// closed: it completes as cancelled, through the port, at once.
TEST_P(Fifo, ClosingTheFileCompletesAPendingReadAsCancelled) {
    Handle file = associated("fifo");
    char buffer[4];
    Overlapped op{};
    ASSERT_FALSE(read_file(file, buffer, 4, nullptr, &op));
    ASSERT_EQ(last_error(), kErrorIoPending);
    EXPECT_TRUE(nothing_more());
    auto closed_at = std::chrono::steady_clock::now();
    EXPECT_TRUE(close(file));
    auto entries = collect(1);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_LT(std::chrono::steady_clock::now() - closed_at, std::chrono::seconds(1));
    EXPECT_EQ(entries[0].lpOverlapped, &op);
    EXPECT_EQ(op.Internal, kStatusCancelled);
}

std::string fifo_mode_name(const ::testing::TestParamInfo<int>& info) {
    return info.param == kDeferred ? "Deferred" : info.param == kSystem ? "System" : "Pool";
}

INSTANTIATE_TEST_SUITE_P(Modes, Fifo, ::testing::Values(kDeferred, kSystem, kPool), fifo_mode_name);

class UringFifo : public Engine {
protected:
    void SetUp() override {
        Engine::SetUp();
        if (kiln_emu_engine() != 1) GTEST_SKIP() << "needs io_uring";
        ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    }
};

// The port goes first, then the file: the last reference to the ring finishes
// the read before it goes, so the record is written and nothing is left for
// the kernel to write into later (AddressSanitizer watches this).
TEST_F(UringFifo, ClosingThePortThenTheFileFinishesWhatIsInFlight) {
    Handle file = associated("fifo");
    auto* op = new Overlapped{};
    char buffer[4];
    ASSERT_FALSE(read_file(file, buffer, 4, nullptr, op));
    EXPECT_TRUE(close(std::exchange(port_, nullptr)));
    EXPECT_EQ(op->Internal, kStatusPending);
    EXPECT_TRUE(close(file));
    EXPECT_EQ(op->Internal, kStatusCancelled);
    delete op;
}

// Opening a FIFO that has no peer returns at once, as CreateFileW does; for
// writing it fails as open(2) does without a reader.
TEST_F(Engine, OpeningAFifoWithoutAPeerDoesNotBlock) {
    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    Handle reader = open_path(dir_ / "fifo", kGenericRead, kOpenExisting);
    ASSERT_NE(reader, kInvalidHandle) << last_error();
    EXPECT_TRUE(close(reader));
    EXPECT_EQ(open_path(dir_ / "fifo", kGenericWrite, kOpenExisting), kInvalidHandle);
    EXPECT_EQ(last_error(), errno_error(ENXIO));
}

// Writes the kernel has not started when their file is closed must never
// reach whatever file is opened next under the same descriptor number.
TEST_F(Engine, WritesInFlightNeverReachTheNextFileOpened) {
    const std::string block(1 << 20, 'w');  // large: queued for the kernel's workers
    for (int round = 0; round < 10; ++round) {
        Handle first = associated(("first" + std::to_string(round)).c_str());
        std::vector<Overlapped> ops(16);
        for (std::size_t i = 0; i < ops.size(); ++i) {
            ops[i].Offset = static_cast<std::uint32_t>(i << 20);
            write_file(first, block.data(), static_cast<std::uint32_t>(block.size()), nullptr, &ops[i]);
        }
        ASSERT_TRUE(close(first));
        std::filesystem::path next = dir_ / ("next" + std::to_string(round));
        Handle second = open_path(next);
        ASSERT_NE(second, kInvalidHandle);
        EXPECT_EQ(collect(ops.size()).size(), ops.size());
        EXPECT_TRUE(close(second));
        EXPECT_EQ(std::filesystem::file_size(next), 0u) << "round " << round;
    }
}

bool wait_for_packet(Handle port, const Overlapped* op) {
    OverlappedEntry entry{};
    std::uint32_t removed = 0;
    return wait(port, &entry, 1, &removed, 3000) && removed == 1 && entry.lpOverlapped == op;
}

// A held request of the parent is not the child's: the child's own deferred
// requests run, on a worker of its own.
TEST_F(Engine, AForkedChildRunsItsOwnDeferredRequests) {
    Handle file = associated("held.bin");
    kiln_emu_set_io_mode(kHeld);
    Overlapped parents{};
    ASSERT_FALSE(write_file(file, "p", 1, nullptr, &parents));
    bool child_ok = posix::in_child([&] {
        kiln_emu_set_io_mode(kDeferred);
        Overlapped own{};
        write_file(file, "c", 1, nullptr, &own);
        return wait_for_packet(port_, &own);
    });
    EXPECT_TRUE(child_ok);
    kiln_emu_release_held();
    EXPECT_TRUE(wait_for_packet(port_, &parents));
    EXPECT_TRUE(close(file));
}

// The child inherits ports and files but not the parent's ring: its I/O
// through them still completes, and the parent's ring is untouched.
TEST_F(Engine, AForkedChildUsesItsPortsWithoutTheParentsRing) {
    Handle file = associated("shared.bin");
    for (IoMode mode : {kSystem, kPool}) {
        kiln_emu_set_io_mode(mode);
        bool child_ok = posix::in_child([&] {
            Overlapped own{};
            bool started = write_file(file, "child", 5, nullptr, &own) || last_error() == kErrorIoPending;
            Overlapped posted{};
            return started && wait_for_packet(port_, &own) && post(port_, 0, 1, &posted) &&
                   wait_for_packet(port_, &posted);
        });
        EXPECT_TRUE(child_ok) << mode;
        Overlapped mine{};
        bool started = write_file(file, "parent", 6, nullptr, &mine) || last_error() == kErrorIoPending;
        EXPECT_TRUE(started && wait_for_packet(port_, &mine)) << mode;
    }
    EXPECT_TRUE(close(file));
}

}  // namespace

namespace {

// What one transfer ended with, collected in a child where gtest cannot report.
struct Ended {
    ErrorCode error;
    std::uint32_t bytes;
    bool operator==(const Ended&) const = default;
};

Ended transfer(Handle port, Handle file, bool write, std::string& buffer, std::uint64_t offset) {
    Overlapped op{};
    op.Offset = static_cast<std::uint32_t>(offset);
    op.OffsetHigh = static_cast<std::uint32_t>(offset >> 32);
    auto length = static_cast<std::uint32_t>(buffer.size());
    bool done = write ? write_file(file, buffer.data(), length, nullptr, &op)
                      : read_file(file, buffer.data(), length, nullptr, &op);
    if (!done && last_error() != kErrorIoPending) return {last_error(), 0};
    if (!wait_for_packet(port, &op)) return {kWaitTimeout, 0};
    return {status_to_error(static_cast<NtStatus>(op.Internal)), static_cast<std::uint32_t>(op.InternalHigh)};
}

bool reports(const char* what, Ended got, Ended expected) {
    if (got == expected) return true;
    std::fprintf(stderr, "%s: error %u, %u bytes; expected error %u, %u bytes\n", what, got.error, got.bytes,
                 expected.error, expected.bytes);
    return false;
}

class ShortTransfer : public ::testing::TestWithParam<int> {};

// The file size limit stops a 2 MiB write after 1 MiB: every engine reports
// the megabyte written, as pwrite and io_uring do; only a write that can
// move nothing fails, with the system's errno.
TEST_P(ShortTransfer, AWriteThatFailsPartWayReportsWhatItMoved) {
    ScratchDir dir;
    int mode = GetParam();
    bool ok = posix::in_child([&] {
        constexpr rlim_t kLimit = 1 << 20;
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{kLimit, kLimit};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
        kiln_emu_set_io_mode(mode);
        Handle port = create_port();
        Handle file = open_path(dir / "limited");
        if (associate(file, port) != port) return false;
        std::string two(2 << 20, 'a');
        std::string small(100 << 10, 'b');  // a size the pool takes on the system engine
        std::string past(10, 'c');
        return reports("2 MiB at 0", transfer(port, file, true, two, 0), {0, 1 << 20}) &&
               reports("100 KiB straddling", transfer(port, file, true, small, kLimit - 10), {0, 10}) &&
               reports("past the limit", transfer(port, file, true, past, kLimit), {errno_error(EFBIG), 0});
    });
    EXPECT_TRUE(ok);
}

std::string mode_name(const ::testing::TestParamInfo<int>& info) {
    constexpr const char* kNames[] = {"Inline", "Deferred", "Held", "System", "Pool"};
    return kNames[info.param];
}

INSTANTIATE_TEST_SUITE_P(Modes, ShortTransfer, ::testing::Values(kInline, kDeferred, kSystem, kPool), mode_name);

struct ThreadCase {
    const char* name;
    int mode;
    bool call;
};

class WorkerThread : public ::testing::TestWithParam<ThreadCase> {};

// A worker thread that cannot start fails the operation through its packet,
// with the errno of the failure, and the next operation starts one. The
// child starts with no worker thread at all.
TEST_P(WorkerThread, ThatCannotStartFailsTheOperationThroughItsPacket) {
    ScratchDir dir;
    const ThreadCase& c = GetParam();
    bool ok = posix::in_child([&] {
        kiln_emu_set_io_mode(c.mode);
        Handle port = create_port();
        Handle file = open_path(dir / "f");
        if (associate(file, port) != port) return false;
        auto attempt = [&]() -> Ended {
            if (!c.call) {
                std::string data = "data";
                return transfer(port, file, true, data, 0);
            }
            FileCall call{};
            call.kind = CallKind::Size;
            call.file = file;
            Overlapped op{};
            if (!start_call(port, &call, &op)) return {last_error(), 0};
            if (!wait_for_packet(port, &op)) return {kWaitTimeout, 0};
            return {call.error, static_cast<std::uint32_t>(call.size)};
        };
        if (kiln_emu_fail_next("WorkerThread", EAGAIN) != 1) return false;
        return reports("without a thread", attempt(), {errno_error(EAGAIN), 0}) &&
               reports("once one starts", attempt(), {0, c.call ? 0u : 4u});
    });
    EXPECT_TRUE(ok);
}

INSTANTIATE_TEST_SUITE_P(Cases, WorkerThread,
                         ::testing::Values(ThreadCase{"DeferredWrite", kDeferred, false},
                                           ThreadCase{"PoolWrite", kPool, false},
                                           ThreadCase{"DeferredCall", kDeferred, true},
                                           ThreadCase{"PoolCall", kPool, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
