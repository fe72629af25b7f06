// Stream files (FIFOs, character devices) on every engine: no offsets, reads
// that take what is there, and transfers that wait for the other end yet
// stop when cancelled.
#include "contract_support.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace contract;

constexpr std::uint64_t kFarOffset = (std::uint64_t{1} << 63) + 5;  // refused for regular files

class Streams : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        use_io_mode(GetParam());
        port_ = create_port();
        ASSERT_NE(port_, nullptr);
        ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    }

    void TearDown() override {
        for (Handle file : files_) EXPECT_TRUE(close(file));
        EXPECT_TRUE(port_is_empty(port_));
        EXPECT_TRUE(close(port_));
        use_io_mode(0);
    }

    Handle open_associated(const fs::path& path, std::uint32_t access) {
        Handle file = open(path, access, kOpenExisting);
        EXPECT_NE(file, kInvalidHandle) << last_error();
        EXPECT_EQ(associate(file, port_), port_);
        files_.push_back(file);
        return file;
    }

    static bool started(bool returned) { return returned || last_error() == kErrorIoPending; }

    ScratchDir dir_;
    Handle port_ = nullptr;
    std::vector<Handle> files_;
};

class AllEngines : public Streams {};

// Offsets mean nothing to a stream, even ones no regular file accepts, and a
// read takes what is there rather than waiting to fill the buffer.
TEST_P(AllEngines, AFifoPassesDataWhateverTheOffsetAndReadsWhatIsThere) {
    Handle fifo = open_associated(dir_ / "fifo", kReadWrite);
    Overlapped written = at(kFarOffset);
    EXPECT_EQ(settle(port_, written, [&](std::uint32_t* count) { return write_file(fifo, "hello", 5, count, &written); }),
              (Outcome{0, 5}));
    char buffer[64] = {};
    Overlapped read = at(kFarOffset);
    EXPECT_EQ(settle(port_, read,
                     [&](std::uint32_t* count) { return read_file(fifo, buffer, sizeof buffer, count, &read); }),
              (Outcome{0, 5}));
    EXPECT_EQ(std::string(buffer, 5), "hello");
}

TEST_P(AllEngines, CharacterDevicesAreStreams) {
    Handle zero = open_associated("/dev/zero", kRead);
    std::string buffer(1000, '?');
    Overlapped read = at(kFarOffset);
    EXPECT_EQ(settle(port_, read,
                     [&](std::uint32_t* count) { return read_file(zero, buffer.data(), 1000, count, &read); }),
              (Outcome{0, 1000}));
    EXPECT_EQ(buffer, std::string(1000, '\0'));
    Handle null = open_associated("/dev/null", kWrite);
    Overlapped written = at(kFarOffset);
    EXPECT_EQ(settle(port_, written,
                     [&](std::uint32_t* count) { return write_file(null, buffer.data(), 1000, count, &written); }),
              (Outcome{0, 1000}));
}

INSTANTIATE_TEST_SUITE_P(Modes, AllEngines, ::testing::Values(0, 1, 3, 4),
                         [](const auto& info) { return mode_name(info.param); });

// The engines that run transfers on several threads.
class Background : public Streams {};

// A megabyte through a FIFO, written and read at once as a caller does:
// each side goes on with what is left after a short transfer.
TEST_P(Background, AWriterAndAReaderMoveAMegabyte) {
    Handle reader = open_associated(dir_ / "fifo", kRead);
    Handle writer = open_associated(dir_ / "fifo", kWrite);
    std::string sent(1 << 20, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 31 + i / 997);
    std::string received;
    std::vector<char> chunk(64 << 10);
    std::size_t written = 0;
    Overlapped write_op{};
    Overlapped read_op{};
    auto write_next = [&] {
        auto left = static_cast<std::uint32_t>(sent.size() - written);
        ASSERT_TRUE(started(write_file(writer, sent.data() + written, left, nullptr, &write_op))) << last_error();
    };
    auto read_next = [&] {
        auto length = static_cast<std::uint32_t>(chunk.size());
        ASSERT_TRUE(started(read_file(reader, chunk.data(), length, nullptr, &read_op))) << last_error();
    };
    write_next();
    read_next();
    bool writing = true;
    while (writing || received.size() < sent.size()) {
        OverlappedEntry entry{};
        std::uint32_t removed = 0;
        ASSERT_TRUE(wait(port_, &entry, 1, &removed, 10000)) << "stalled at " << received.size();
        ASSERT_EQ(status_to_error(static_cast<NtStatus>(entry.Internal)), 0u);
        if (entry.lpOverlapped == &write_op) {
            written += entry.dwNumberOfBytesTransferred;
            writing = written < sent.size();
            if (writing) write_next();
        } else {
            ASSERT_EQ(entry.lpOverlapped, &read_op);
            received.append(chunk.data(), entry.dwNumberOfBytesTransferred);
            if (received.size() < sent.size()) read_next();
        }
    }
    EXPECT_TRUE(received == sent) << "the bytes came out changed or out of order";
}

INSTANTIATE_TEST_SUITE_P(Modes, Background, ::testing::Values(3, 4),
                         [](const auto& info) { return mode_name(info.param); });

// The engines where a transfer may wait for the other end: the pool, the
// system engine, and the test worker, which runs one at a time in order.
class Waiting : public Streams {};

// A write into a full FIFO waits for a reader, yet a cancel stops it: with
// what it moved, or as cancelled when it moved nothing.
TEST_P(Waiting, AWriteIntoAFullFifoStopsWhenCancelled) {
    Handle fifo = open_associated(dir_ / "fifo", kReadWrite);  // its own reader, who never reads
    const std::string block(1 << 20, 'x');
    Overlapped first{};
    ASSERT_TRUE(started(write_file(fifo, block.data(), 1 << 20, nullptr, &first)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // io_uring ends the first write short at once, with what fitted; the
    // workers wait for room until cancelled.
    cancel_io(fifo, &first);
    OverlappedEntry entry = expect_packet(port_, &first);
    EXPECT_EQ(status_to_error(static_cast<NtStatus>(entry.Internal)), 0u);
    EXPECT_GT(entry.dwNumberOfBytesTransferred, 0u);
    EXPECT_LT(entry.dwNumberOfBytesTransferred, 1u << 20);

    Overlapped second{};
    ASSERT_FALSE(write_file(fifo, block.data(), 4096, nullptr, &second));
    ASSERT_EQ(last_error(), kErrorIoPending);
    EXPECT_TRUE(port_is_empty(port_));
    auto cancelled_at = std::chrono::steady_clock::now();
    EXPECT_TRUE(cancel_io(fifo, &second)) << last_error();
    entry = expect_packet(port_, &second);
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled_at, std::chrono::seconds(1));
    EXPECT_EQ(entry.Internal, kStatusCancelled);
    EXPECT_EQ(entry.dwNumberOfBytesTransferred, 0u);
}

// A close through start_call ends a read that waits on the stream, however
// the close is queued: on the test worker, in issue order, it would
// otherwise wait behind that read for ever.
TEST_P(Waiting, ACloseCallEndsAReadThatWaits) {
    Handle fifo = open(dir_ / "fifo", kReadWrite, kOpenExisting);
    ASSERT_EQ(associate(fifo, port_), port_);
    char buffer[8];
    Overlapped read{};
    ASSERT_FALSE(read_file(fifo, buffer, sizeof buffer, nullptr, &read));
    ASSERT_EQ(last_error(), kErrorIoPending);
    FileCall call{};
    call.kind = CallKind::Close;
    call.file = fifo;
    Overlapped closed{};
    auto began = std::chrono::steady_clock::now();
    ASSERT_TRUE(start_call(port_, &call, &closed));
    for (int packets = 0; packets < 2; ++packets) {
        OverlappedEntry entry{};
        std::uint32_t removed = 0;
        ASSERT_TRUE(wait(port_, &entry, 1, &removed, 5000)) << "a packet is missing";
        ASSERT_TRUE(entry.lpOverlapped == &read || entry.lpOverlapped == &closed);
        if (entry.lpOverlapped == &read) {
            EXPECT_EQ(entry.Internal, kStatusCancelled);
        }
    }
    EXPECT_EQ(call.error, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(1));
}

INSTANTIATE_TEST_SUITE_P(Modes, Waiting, ::testing::Values(1, 3, 4),
                         [](const auto& info) { return mode_name(info.param); });

}  // namespace
