// Overlapped reads and writes: the checks every engine shares, the choice of
// engine by the I/O mode, and the completion every engine reports through.
#include "platform/posix/emu.h"

#include <limits.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kiln::platform {
namespace emu {

namespace {

ssize_t transfer_once(const IoRequest& request, std::uint32_t done) {
    auto offset = static_cast<off_t>(request.offset + done);
    char* at = request.buffer + done;
    std::size_t left = request.length - done;
    return request.write ? ::pwrite(request.file->fd(), at, left, offset)
                         : ::pread(request.file->fd(), at, left, offset);
}

bool offset_out_of_range(const IoRequest& request) {
    return !request.file->stream() && request.offset > kMaxFileOffset - request.length;
}

// What the system said, as every engine reports it: a transfer that moved
// something before it failed moved that much (as pwrite and io_uring say);
// only one that moved nothing fails.
IoResult outcome(const IoRequest& request, std::uint32_t done, int error) {
    if (error != 0 && done == 0) return {status_from_errno(error), 0};
    return {final_status(request.write, request.length, done), done};
}

IoResult transfer_regular(const IoRequest& request) {
    if (offset_out_of_range(request)) return {kStatusInvalidParameter, 0};
    std::uint32_t done = 0;
    while (done < request.length) {
        ssize_t moved = transfer_once(request, done);
        if (moved < 0 && errno == EINTR) continue;
        if (moved < 0) return outcome(request, done, errno);
        if (moved == 0) break;
        done += static_cast<std::uint32_t>(moved);
    }
    return outcome(request, done, 0);
}

constexpr int kSliceMs = 20;  // how often a wait without an eventfd looks at the flag

enum class Ready { Yes, Cancelled };

// Until the stream can move data, or the transfer is cancelled. A poll that
// fails lets the transfer try, and report what the system says.
Ready wait_for_stream(int fd, bool write, Interrupt* interrupt) {
    int wakeup = interrupt ? interrupt->fd() : -1;
    pollfd watched[2] = {{fd, static_cast<short>(write ? POLLOUT : POLLIN), 0}, {wakeup, POLLIN, 0}};
    for (;;) {
        if (interrupt && interrupt->raised()) return Ready::Cancelled;
        int timeout = interrupt && wakeup < 0 ? kSliceMs : -1;
        int ready = ::poll(watched, 2, timeout);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return Ready::Yes;
        if (watched[1].revents) interrupt->drain();
        if (watched[0].revents) return Ready::Yes;
    }
}

// A FIFO with room reports it writable, and a write of up to PIPE_BUF bytes
// then fits without blocking: larger ones could block the worker where no
// cancel reaches it.
std::size_t stream_chunk(const IoRequest& request, std::uint32_t done) {
    std::size_t left = request.length - done;
    return request.file->fifo() ? std::min<std::size_t>(left, PIPE_BUF) : left;
}

// A read takes what is there; a write goes on until everything is written.
IoResult transfer_stream(const IoRequest& request, Interrupt* interrupt) {
    std::uint32_t done = 0;
    while (done < request.length) {
        if (wait_for_stream(request.file->fd(), request.write, interrupt) == Ready::Cancelled) {
            return done > 0 ? IoResult{kStatusSuccess, done} : IoResult{kStatusCancelled, 0};
        }
        char* at = request.buffer + done;
        ssize_t moved = request.write ? ::write(request.file->fd(), at, stream_chunk(request, done))
                                      : ::read(request.file->fd(), at, request.length - done);
        if (moved < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (moved < 0) return outcome(request, done, errno);
        done += static_cast<std::uint32_t>(moved);
        if (!request.write || moved == 0) break;
    }
    return outcome(request, done, 0);
}

}  // namespace

Interrupt::Interrupt() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Interrupt::~Interrupt() {
    if (fd_ >= 0) ::close(fd_);
}

void Interrupt::raise() {
    raised_.store(true, std::memory_order_release);
    if (fd_ >= 0) ::eventfd_write(fd_, 1);
}

void Interrupt::drain() {
    eventfd_t ignored;
    if (fd_ >= 0) ::eventfd_read(fd_, &ignored);
}

void Interrupt::forget() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

IoResult perform(const IoRequest& request, Interrupt* interrupt) {
    return request.file->stream() ? transfer_stream(request, interrupt) : transfer_regular(request);
}

void store_status(Overlapped& overlapped, NtStatus status) {
    std::atomic_ref<decltype(overlapped.Internal)>(overlapped.Internal).store(status, std::memory_order_release);
}

void record(Overlapped& overlapped, IoResult result) {
    overlapped.InternalHigh = result.bytes;
    store_status(overlapped, result.status);
}

// An operation that went pending reports even its failure through the port.
void complete(const IoRequest& request, IoResult result) {
    record(*request.overlapped, result);
    request.file->notify({result.bytes, 0, request.overlapped, result.status});
}

namespace {

bool complete_inline(const IoRequest& request, std::uint32_t* count) {
    IoResult result = perform(request, nullptr);
    if (result.status != kStatusSuccess) {
        record(*request.overlapped, result);
        return fail(status_to_error(result.status));
    }
    if (count) *count = result.bytes;
    complete(request, result);
    return true;
}

// A request no worker could take fails through its packet, as it would had
// it started and failed.
bool queue_on(Workers& workers, IoRequest request, bool held) {
    request.held = held;
    Job job{std::move(request)};
    if (ErrorCode error = workers.submit(std::move(job))) {
        complete(std::get<IoRequest>(job), {status_from_error(error), 0});
    }
    return fail(kErrorIoPending);
}

// A large read lands in memory nobody has touched yet (a new bytes object):
// the kernel worker faulting it in page by page holds up the loop's own
// memory mapping calls each time. Huge pages, where the system gives them
// on request, make that a few faults instead of thousands.
void prefer_huge_pages(const IoRequest& request) {
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    constexpr std::uint32_t kWorthIt = 8 * (std::uint32_t{1} << 20);
    if (request.write || request.length < kWorthIt) return;
    auto start = (reinterpret_cast<std::uintptr_t>(request.buffer) + kHugePage - 1) & ~(kHugePage - 1);
    auto end = (reinterpret_cast<std::uintptr_t>(request.buffer) + request.length) & ~(kHugePage - 1);
    if (end > start) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

// Buffered writes the kernel cannot start without blocking (ext4, tmpfs):
// io_uring hands each to its own workers, which take one file's writes one at
// a time, at a fraction of what a pool thread's pwrite does. Up to this
// length the pool is faster; above it the ring's workers keep a submit short.
constexpr std::uint32_t kPoolWriteLimit = 256 * 1024;

bool pool_is_faster(const IoRequest& request) { return request.write && request.length <= kPoolWriteLimit; }

// io_uring when the file's port has a ring, except small writes; a file
// without a port, or whose port lost its ring to a fork, goes to the pool.
bool start_on_system_engine(IoRequest request) {
    prefer_huge_pages(request);
    if (system_engine() == kEngineUring && !pool_is_faster(request)) {
        auto port = request.file->port();
        if (Ring* ring = port ? port->ring() : nullptr) {
            // The kernel takes an offset of -1 as "the file position": refuse
            // what is out of range the way the other engines do.
            if (offset_out_of_range(request)) {
                complete(request, {kStatusInvalidParameter, 0});
                return fail(kErrorIoPending);
            }
            return ring->start(request);
        }
    }
    return queue_on(pool(), std::move(request), false);
}

std::uint64_t offset_of(const Overlapped& overlapped) {
    return overlapped.Offset | (std::uint64_t{overlapped.OffsetHigh} << 32);
}

bool start_io(Handle handle, char* buffer, std::uint32_t length, std::uint32_t* count, Overlapped* overlapped,
              bool write) {
    if (count) *count = 0;
    // Like the system, mark the operation pending before anything can fail:
    // a call that fails at once leaves it so.
    if (overlapped) store_status(*overlapped, kStatusPending);
    auto file = find_object<File>(handle);
    if (!file) return fail(kErrorInvalidHandle);
    if (!file->can(write)) return fail(kErrorAccessDenied);
    if (!overlapped) return fail(kErrorInvalidParameter);
    IoRequest request{std::move(file), overlapped, buffer, length, offset_of(*overlapped), write, false};
    switch (g_io_mode.load(std::memory_order_relaxed)) {
        case kInline: return complete_inline(request, count);
        case kDeferred: return queue_on(test_worker(), std::move(request), false);
        case kHeld: return queue_on(test_worker(), std::move(request), true);
        case kPool:
            prefer_huge_pages(request);
            return queue_on(pool(), std::move(request), false);
        default: return start_on_system_engine(std::move(request));
    }
}

}  // namespace

// Cancels in every engine: a mode switch may have left operations in several.
std::size_t cancel_everywhere(File& file, const Overlapped* overlapped) {
    std::size_t found = test_worker().cancel(file.id(), overlapped) + pool().cancel(file.id(), overlapped);
    if (auto port = file.port()) {
        if (Ring* ring = port->ring()) found += ring->cancel(file.id(), overlapped);
    }
    return found;
}

}  // namespace emu

using namespace emu;

bool read_file(Handle file, void* buffer, std::uint32_t len, std::uint32_t* count, Overlapped* overlapped) {
    if (injected(Operation::Read)) return false;
    return start_io(file, static_cast<char*>(buffer), len, count, overlapped, false);
}

bool write_file(Handle file, const void* data, std::uint32_t len, std::uint32_t* count, Overlapped* overlapped) {
    if (injected(Operation::Write)) return false;
    // The engines only read through the pointer; the request type is shared with reads.
    return start_io(file, static_cast<char*>(const_cast<void*>(data)), len, count, overlapped, true);
}

bool cancel_io(Handle file, Overlapped* overlapped) {
    if (injected(Operation::Cancel)) return false;
    auto object = find_object<File>(file);
    if (!object) return fail(kErrorInvalidHandle);
    if (cancel_everywhere(*object, overlapped) == 0) return fail(kErrorNotFound);
    return true;
}

}  // namespace kiln::platform
