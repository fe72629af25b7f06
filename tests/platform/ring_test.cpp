// The io_uring engine when the kernel misbehaves: waits and submissions that
// fail, a sandbox that refuses io_uring_enter, and the kernel's worker
// threads kept within the engine's limit.
#include "platform/emulation.h"
#include "platform/platform.h"
#include "platform/posix/emu.h"
#include "posix_support.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>
#include <liburing.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using namespace kiln::platform;

extern bool g_without_io_uring;  // contract_main.cpp

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kReadWrite = kGenericRead | kGenericWrite;
constexpr int kSystem = 3;

Handle open_path(const fs::path& path, std::uint32_t access = kReadWrite) {
    return open_file(path.c_str(), access, kOpenAlways);
}

bool started(bool returned) { return returned || last_error() == kErrorIoPending; }

// Outcomes that are not an operation's own: refused without a packet, no
// packet (or the wrong one), or the wrong data.
constexpr ErrorCode kRefused = 0xFFFFFFFE;
constexpr ErrorCode kNoPacket = 0xFFFFFFFD;
constexpr ErrorCode kWrongData = 0xFFFFFFFC;

// How an operation ended, by its packet.
ErrorCode outcome_of(Handle port, const Overlapped& op, std::uint32_t timeout_ms = 10000) {
    OverlappedEntry entry{};
    std::uint32_t removed = 0;
    if (!wait(port, &entry, 1, &removed, timeout_ms) || entry.lpOverlapped != &op) return kNoPacket;
    return status_to_error(static_cast<NtStatus>(entry.Internal));
}

// A read of the 1 MiB file, through the ring.
ErrorCode read_whole(Handle port, Handle file) {
    std::string buffer(1 << 20, '?');
    Overlapped op{};
    if (!started(read_file(file, buffer.data(), 1 << 20, nullptr, &op))) return kRefused;
    ErrorCode error = outcome_of(port, op);
    if (error == 0 && (op.InternalHigh != (1u << 20) || buffer != std::string(1 << 20, 'd'))) return kWrongData;
    return error;
}

// A port on io_uring, a file with content, and a FIFO whose read waits in
// the kernel until cancelled.
class Ring : public ::testing::Test {
protected:
    void SetUp() override {
        kiln_emu_set_io_mode(kSystem);
        if (kiln_emu_engine() != 1) GTEST_SKIP() << "needs io_uring";
        port_ = create_port();
        ASSERT_NE(port_, nullptr);
        std::ofstream(dir_ / "data", std::ios::binary) << std::string(1 << 20, 'd');
        file_ = associated(dir_ / "data");
        ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
        fifo_ = associated(dir_ / "fifo");
    }

    void TearDown() override {
        for (Handle handle : {fifo_, file_, port_}) {
            if (handle && handle != kInvalidHandle) {
                EXPECT_TRUE(close(handle));
            }
        }
        kiln_emu_set_io_mode(0);
    }

    Handle associated(const fs::path& path) {
        Handle file = open_path(path);
        EXPECT_NE(file, kInvalidHandle) << last_error();
        EXPECT_EQ(associate(file, port_), port_);
        return file;
    }

    ErrorCode read_data() { return read_whole(port_, file_); }

    // Whether a packet posted from another thread reaches a waiter that is
    // already blocked in an infinite wait, promptly.
    bool post_reaches_a_blocked_waiter(const char* arm_before_post = nullptr, int error = 0) {
        std::atomic<int> got{-1};
        std::thread waiter([&] {
            OverlappedEntry entry{};
            std::uint32_t removed = 0;
            bool ok = wait(port_, &entry, 1, &removed, kInfinite);
            got = ok && entry.lpCompletionKey == 42 ? 1 : 0;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (arm_before_post) kiln_emu_fail_next(arm_before_post, static_cast<std::uint32_t>(error));
        EXPECT_TRUE(post(port_, 0, 42, nullptr));
        auto deadline = Clock::now() + std::chrono::milliseconds(500);
        while (got < 0 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        bool reached = got == 1;
        // Released by the close otherwise, so that the test ends either way.
        if (got < 0) {
            EXPECT_TRUE(close(std::exchange(port_, nullptr)));
        }
        waiter.join();
        return reached;
    }

    ScratchDir dir_;
    Handle port_ = nullptr;
    Handle file_ = kInvalidHandle;
    Handle fifo_ = kInvalidHandle;
    // A FIFO read's, kept until the fixture has closed its file and port.
    Overlapped pending_{};
    char waiting_[8] = {};
};

class TransientWait : public Ring, public ::testing::WithParamInterface<int> {};

// Failures a retry cures leave the ring as it was.
TEST_P(TransientWait, IsRetried) {
    ASSERT_EQ(kiln_emu_fail_next("RingWait", static_cast<std::uint32_t>(GetParam())), 1);
    ASSERT_TRUE(post_reaches_a_blocked_waiter());
    EXPECT_EQ(read_data(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Errors, TransientWait, ::testing::Values(EINTR, ETIME, EBADR, EBUSY, EAGAIN),
                         [](const auto& info) { return std::to_string(info.param); });

class FatalWait : public Ring, public ::testing::WithParamInterface<int> {};

// A wait that fails for good breaks the ring: what it ran fails with the
// error, and so does every later read at once; posts and waits go on.
TEST_P(FatalWait, BreaksTheRingWithoutHangingAnyone) {
    const ErrorCode broken = errno_error(GetParam());
    ASSERT_FALSE(read_file(fifo_, waiting_, sizeof waiting_, nullptr, &pending_));
    ASSERT_EQ(last_error(), kErrorIoPending);
    ASSERT_EQ(kiln_emu_fail_next("RingWait", static_cast<std::uint32_t>(GetParam())), 1);
    EXPECT_EQ(outcome_of(port_, pending_), broken);
    EXPECT_EQ(read_data(), broken);
    ASSERT_TRUE(post_reaches_a_blocked_waiter());
    OverlappedEntry entry{};
    std::uint32_t removed = 0;
    EXPECT_FALSE(wait(port_, &entry, 1, &removed, 30));
    EXPECT_EQ(last_error(), kWaitTimeout);
}

INSTANTIATE_TEST_SUITE_P(Errors, FatalWait, ::testing::Values(EIO, EPERM, EFAULT),
                         [](const auto& info) { return std::to_string(info.param); });

struct SubmitCase {
    const char* name;
    int error;
    bool breaks;
};

class Submit : public Ring, public ::testing::WithParamInterface<SubmitCase> {};

TEST_P(Submit, FailsTheReadThroughItsPacketOnlyWhenRetryingCannotHelp) {
    ASSERT_EQ(kiln_emu_fail_next("RingSubmit", static_cast<std::uint32_t>(GetParam().error)), 1);
    ErrorCode expected = GetParam().breaks ? errno_error(GetParam().error) : 0;
    EXPECT_EQ(read_data(), expected);
    EXPECT_EQ(read_data(), expected) << "a broken ring stays broken; a working one works";
    EXPECT_TRUE(post_reaches_a_blocked_waiter());
}

INSTANTIATE_TEST_SUITE_P(Errors, Submit,
                         ::testing::Values(SubmitCase{"Busy", EBUSY, false}, SubmitCase{"Again", EAGAIN, false},
                                           SubmitCase{"Refused", EPERM, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A doorbell that cannot be rung must not leave a posted packet unseen by the
// waiter asleep in the kernel, the stop packet least of all.
TEST_F(Ring, APacketReachesTheWaiterWhenTheDoorbellCannotRing) {
    ASSERT_TRUE(post_reaches_a_blocked_waiter("RingSubmit", EPERM));
    EXPECT_EQ(read_data(), errno_error(EPERM));
}

// The kernel starts refusing io_uring_enter once the ring is in use, as a
// sandbox applied late would: the read it holds and every later one fail
// with EPERM, and nothing waits for ever.
TEST_F(Ring, ASandboxThatRefusesTheRingLaterFailsItsOperations) {
    if (!posix::seccomp_available()) GTEST_SKIP() << "this machine refuses seccomp filters";
    bool ok = posix::in_child([&] {
        // The parent's ring is not the child's: a port and files of its own.
        Handle port = create_port();
        Handle fifo = open_path(dir_ / "fifo");
        Handle data = open_path(dir_ / "data");
        if (associate(fifo, port) != port || associate(data, port) != port) return false;
        char buffer[8];
        Overlapped pending{};
        if (read_file(fifo, buffer, sizeof buffer, nullptr, &pending) || last_error() != kErrorIoPending) return false;
        if (!posix::refuse_io_uring_enter()) return false;
        auto began = Clock::now();
        ErrorCode held = outcome_of(port, pending);
        // The kernel may still write that read's buffer: its reaper must keep it.
        bool kept = still_held(static_cast<NtStatus>(pending.Internal));
        ErrorCode later = read_whole(port, data);
        Overlapped posted{};
        bool seen = post(port, 0, 0, &posted) && outcome_of(port, posted, 1000) == 0;
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count();
        std::fprintf(stderr, "held read: %u, later read: %u, post seen: %d, %lld ms\n", held, later, seen,
                     static_cast<long long>(took));
        return held == errno_error(EPERM) && kept && later == errno_error(EPERM) && seen && took < 8000;
    });
    EXPECT_TRUE(ok);
}

// The probe proves a ring can be entered before the process relies on one.
TEST(Probe, RefusesARingTheKernelWillNotEnter) {
    if (g_without_io_uring) GTEST_SKIP() << "io_uring is refused in this run";
    if (!posix::seccomp_available()) GTEST_SKIP() << "this machine refuses seccomp filters";
    EXPECT_TRUE(posix::in_child([] { return kiln::platform::emu::uring_usable(); }));
    EXPECT_TRUE(posix::in_child([] { return posix::refuse_io_uring_enter() && !kiln::platform::emu::uring_usable(); }));
}

// The io_uring context a thread got from a ring without our limit, as a
// probe's or another library's gives it.
void use_a_ring_without_limits() {
    io_uring ring{};
    if (io_uring_queue_init(8, &ring, 0) < 0) return;
    io_uring_sqe* sqe = io_uring_get_sqe(&ring);
    io_uring_prep_nop(sqe);
    io_uring_submit(&ring);
    io_uring_cqe* cqe = nullptr;
    if (io_uring_wait_cqe(&ring, &cqe) == 0) io_uring_cqe_seen(&ring, cqe);
    io_uring_queue_exit(&ring);
}

class KernelWorkers : public ::testing::TestWithParam<bool> {};

// Eight reads of 1 MiB that the page cache does not hold, in flight at once
// on one ring: the kernel runs them on no more workers than the engine's
// limit, even for a thread whose io_uring context came from elsewhere and a
// port made on another thread.
TEST_P(KernelWorkers, StayWithinTheLimit) {
    kiln_emu_set_io_mode(kSystem);
    if (kiln_emu_engine() != 1) GTEST_SKIP() << "needs io_uring";
    kiln_emu_set_io_mode(0);
    ScratchDir dir;
    constexpr int kReads = 8;
    constexpr std::uint32_t kSize = 1 << 20;
    std::ofstream(dir / "cold", std::ios::binary) << std::string(kReads * kSize, 'c');
    bool elsewhere = GetParam();
    bool ok = posix::in_child([&] {
        kiln_emu_set_io_mode(kSystem);
        if (elsewhere) use_a_ring_without_limits();
        Handle port = nullptr;
        if (elsewhere) {
            std::thread([&] { port = create_port(); }).join();
        } else {
            port = create_port();
        }
        Handle file = open_path(dir / "cold", kGenericRead);
        if (associate(file, port) != port) return false;
        // Out of the page cache, so that every read blocks a kernel worker.
        int fd = ::open((dir / "cold").c_str(), O_RDONLY);
        ::fdatasync(fd);
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
        std::vector<std::string> buffers(kReads, std::string(kSize, '?'));
        std::vector<Overlapped> ops(kReads);
        for (int i = 0; i < kReads; ++i) {
            ops[i].Offset = static_cast<std::uint32_t>(i) * kSize;
            if (!started(read_file(file, buffers[i].data(), kSize, nullptr, &ops[i]))) return false;
        }
        int most = 0;
        bool whole = true;
        for (int done = 0; done < kReads;) {
            most = std::max(most, posix::kernel_workers());
            OverlappedEntry entry{};
            std::uint32_t removed = 0;
            if (wait(port, &entry, 1, &removed, 1)) {
                whole = whole && entry.dwNumberOfBytesTransferred == kSize;
                ++done;
            }
        }
        most = std::max(most, posix::kernel_workers());  // idle workers linger for seconds
        unsigned limit = kiln::platform::emu::kernel_worker_limit();
        std::fprintf(stderr, "at most %d iou-wrk threads, limit %u\n", most, limit);
        return whole && most >= 1 && static_cast<unsigned>(most) <= limit;
    });
    EXPECT_TRUE(ok);
}

INSTANTIATE_TEST_SUITE_P(Threads, KernelWorkers, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "ContextFromElsewhere" : "Fresh"); });

}  // namespace
