// The io_uring engine. A port with a ring takes its files' reads and writes
// to the kernel (IORING_OP_READ/WRITE at the record's offset, straight into
// and out of the caller's buffers) and its waits reap the completion queue
// on the waiting thread. Posted packets wait in the port's queue; the
// doorbell, a no-op submission, wakes a waiter blocked on the ring to take them.
//
// Submissions come from several threads and are serialised; the completion
// queue is only consumed under its own lock, never blocked on under it. An
// operation's record lives until its completion is consumed: the kernel may
// write the buffer and the record until then, so a ring that goes away with
// operations in flight cancels them and waits for every one.
#include "platform/posix/emu.h"

#include <liburing.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

namespace kiln::platform::emu {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kSubmissionEntries = 256;
constexpr unsigned kCompletionEntries = 4096;  // the kernel keeps overflow beyond this (NODROP)
// Above this the kernel's own workers take the transfer, so the submitting
// call returns at once whatever the length; below, a cached read may finish
// inside the submission.
constexpr std::uint32_t kAsyncThreshold = 256 * 1024;
constexpr int kSubmitAttempts = 100;

// user_data of submissions that are not operations; an operation's is its
// Op, whose address is never 0 or 1.
constexpr std::uint64_t kInternalTag = 0;  // cancels, neutralised entries, the closing wake-up
constexpr std::uint64_t kDoorbellTag = 1;

int init_ring(io_uring& ring) {
    io_uring_params params{};
    params.flags = IORING_SETUP_CQSIZE | IORING_SETUP_CLAMP;
    params.cq_entries = kCompletionEntries;
    return io_uring_queue_init_params(kSubmissionEntries, &ring, &params);
}

// Timed waits that need no submission (EXT_ARG), no lost completions
// (NODROP), and the operations this engine submits.
bool kernel_has_what_we_need(io_uring& ring) {
    constexpr unsigned kFeatures = IORING_FEAT_EXT_ARG | IORING_FEAT_NODROP;
    if ((ring.features & kFeatures) != kFeatures) return false;
    io_uring_probe* probe = io_uring_get_probe_ring(&ring);
    if (!probe) return false;
    bool supported = true;
    for (int op : {IORING_OP_NOP, IORING_OP_READ, IORING_OP_WRITE, IORING_OP_ASYNC_CANCEL}) {
        supported = supported && io_uring_opcode_supported(probe, op);
    }
    io_uring_free_probe(probe);
    return supported;
}

// The kernel starts a worker per blocking transfer in flight; copying large
// reads, they would take every core from the event loop. Half the cores
// keep it responsive and still move data at memory speed.
void limit_kernel_workers(io_uring& ring) {
    unsigned limits[2] = {std::max(1u, std::thread::hardware_concurrency() / 2), 0};  // bounded, unbounded (kept)
    io_uring_register_iowq_max_workers(&ring, limits);
}

}  // namespace

namespace {
std::atomic<bool> g_refused{false};
}  // namespace

void refuse_io_uring() { g_refused.store(true, std::memory_order_relaxed); }

bool uring_usable() {
    if (g_refused.load(std::memory_order_relaxed)) return false;
    io_uring ring{};
    if (init_ring(ring) < 0) return false;
    bool usable = kernel_has_what_we_need(ring);
    io_uring_queue_exit(&ring);
    return usable;
}

struct Ring::Op {
    Overlapped* overlapped;
    std::shared_ptr<Descriptor> descriptor;  // open until the kernel is done
    std::uint64_t file_id;
    std::uint32_t length;
    bool write;
    Op* prev = nullptr;
    Op* next = nullptr;
};

struct Ring::Impl {
    io_uring ring{};
    unsigned generation = 0;
    std::mutex reap_mutex;  // consumes the completion queue
    std::mutex ops_mutex;   // the list of operations in flight
    std::mutex sq_mutex;    // fills and submits the submission queue
    Op* ops = nullptr;
    std::atomic<bool> doorbell_pending{false};

    void link(Op* op) {
        std::lock_guard lock(ops_mutex);
        op->next = ops;
        if (ops) ops->prev = op;
        ops = op;
    }

    void unlink_locked(Op* op) {
        (op->prev ? op->prev->next : ops) = op->next;
        if (op->next) op->next->prev = op->prev;
    }

    void unlink(Op* op) {
        std::lock_guard lock(ops_mutex);
        unlink_locked(op);
    }

    bool idle() {
        std::lock_guard lock(ops_mutex);
        return ops == nullptr;
    }

    // Fills one submission entry and submits it; 0 or -errno.
    template <class Prepare>
    int submit(Prepare prepare) {
        std::lock_guard lock(sq_mutex);
        io_uring_sqe* sqe = io_uring_get_sqe(&ring);
        if (!sqe) {
            io_uring_submit(&ring);
            sqe = io_uring_get_sqe(&ring);
        }
        if (!sqe) return -EBUSY;
        prepare(sqe);
        for (int attempt = 0;; ++attempt) {
            int submitted = io_uring_submit(&ring);
            if (submitted >= 0 && io_uring_sq_ready(&ring) == 0) return 0;
            bool transient = submitted >= 0 || submitted == -EINTR || submitted == -EAGAIN || submitted == -EBUSY;
            if (!transient || attempt == kSubmitAttempts) {
                // Still queued: make it harmless before the next submission starts it.
                io_uring_prep_nop(sqe);
                io_uring_sqe_set_data64(sqe, kInternalTag);
                return submitted < 0 ? submitted : -EBUSY;
            }
            if (submitted != -EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // The operation's outcome, recorded in its Overlapped before anyone sees
    // the entry; frees the Op.
    Packet settle(Op* op, int res) {
        unlink(op);
        IoResult result{};
        if (res < 0) {
            result = {status_from_errno(-res), 0};
        } else {
            auto done = static_cast<std::uint32_t>(res);
            result = {final_status(op->write, op->length, done), done};
        }
        record(*op->overlapped, result);
        Packet packet{result.bytes, 0, op->overlapped, result.status};
        delete op;
        return packet;
    }

    // Consumes completions into `entries` until it is full; the doorbell's and
    // internal completions take no entry. Called under reap_mutex.
    std::uint32_t reap(OverlappedEntry* entries, std::uint32_t capacity) {
        std::uint32_t filled = 0;
        unsigned consumed = 0;
        unsigned head;
        io_uring_cqe* cqe;
        io_uring_for_each_cqe(&ring, head, cqe) {
            std::uint64_t tag = cqe->user_data;
            bool is_op = tag != kInternalTag && tag != kDoorbellTag;
            if (is_op && filled == capacity) break;
            ++consumed;
            if (tag == kDoorbellTag) {
                // Cleared before the queue is looked at: a packet queued after
                // this rings again.
                doorbell_pending.store(false);
            } else if (is_op) {
                fill_entry(entries[filled++], settle(reinterpret_cast<Op*>(tag), cqe->res));
            }
        }
        io_uring_cq_advance(&ring, consumed);
        return filled;
    }

    // 0 when a completion is there to look at, else the wait's error.
    ErrorCode block(std::uint32_t timeout_ms, Clock::time_point deadline) {
        io_uring_cqe* cqe = nullptr;
        int result;
        if (timeout_ms == kInfinite) {
            result = io_uring_wait_cqe(&ring, &cqe);
        } else {
            auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
            if (left <= 0) return kErrorWaitTimeout;
            __kernel_timespec timeout{left / 1000000000, left % 1000000000};
            result = io_uring_wait_cqe_timeout(&ring, &cqe, &timeout);
        }
        if (result == 0 || result == -EINTR) return 0;
        if (result == -ETIME) return kErrorWaitTimeout;
        return status_to_error(status_from_errno(-result));
    }

    // Cancels whatever is still in flight and waits for all of it, so that
    // the kernel writes nothing once the ring is gone. False if a wait failed.
    bool finish_in_flight() {
        if (idle()) return true;
        submit([](io_uring_sqe* sqe) {
            io_uring_prep_cancel64(sqe, 0, IORING_ASYNC_CANCEL_ANY);
            io_uring_sqe_set_data64(sqe, kInternalTag);
        });
        while (!idle()) {
            io_uring_cqe* cqe = nullptr;
            int result = io_uring_wait_cqe(&ring, &cqe);
            if (result == -EINTR) continue;
            if (result < 0) return false;
            std::uint64_t tag = cqe->user_data;
            if (tag != kInternalTag && tag != kDoorbellTag) settle(reinterpret_cast<Op*>(tag), cqe->res);
            io_uring_cqe_seen(&ring, cqe);
        }
        return true;
    }
};

Ring::Ring(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<Ring> Ring::create() {
    auto impl = std::make_unique<Impl>();
    if (init_ring(impl->ring) < 0) return nullptr;
    // A forked child must not even see the parent's rings.
    io_uring_ring_dontfork(&impl->ring);
    limit_kernel_workers(impl->ring);
    impl->generation = g_fork_generation.load(std::memory_order_relaxed);
    return std::unique_ptr<Ring>(new Ring(std::move(impl)));
}

Ring::~Ring() {
    if (!owned()) {
        // The parent's: its mappings did not come across the fork, only the
        // descriptor; its operations and records are the parent's business.
        ::close(impl_->ring.ring_fd);
        impl_.release();
        return;
    }
    if (!impl_->finish_in_flight()) {
        // The kernel may still write into records: keep everything.
        impl_.release();
        return;
    }
    io_uring_queue_exit(&impl_->ring);
}

bool Ring::owned() const { return impl_->generation == g_fork_generation.load(std::memory_order_relaxed); }

bool Ring::start(const IoRequest& request) {
    auto* op = new (std::nothrow)
        Op{request.overlapped, request.file->descriptor(), request.file->id(), request.length, request.write};
    if (!op) return fail(kErrorNotEnoughMemory);
    // Listed before it is submitted, so its completion always finds it.
    impl_->link(op);
    bool stream = request.file->stream();
    int error = impl_->submit([&](io_uring_sqe* sqe) {
        int fd = op->descriptor->fd();
        // A stream has no offsets; -1 keeps the kernel from checking one.
        std::uint64_t offset = stream ? ~std::uint64_t{0} : request.offset;
        if (request.write) {
            io_uring_prep_write(sqe, fd, request.buffer, request.length, offset);
        } else {
            io_uring_prep_read(sqe, fd, request.buffer, request.length, offset);
        }
        io_uring_sqe_set_data(sqe, op);
        // A stream waits for its peer by polling; sent to a kernel worker, it
        // would hold the worker while it waits.
        if (request.length > kAsyncThreshold && !stream) sqe->flags |= IOSQE_ASYNC;
    });
    if (error != 0) {
        impl_->unlink(op);
        delete op;
        return fail(status_to_error(status_from_errno(-error)));
    }
    return fail(kErrorIoPending);
}

void Ring::doorbell(bool always) {
    if (!always && impl_->doorbell_pending.exchange(true)) return;
    std::uint64_t tag = always ? kInternalTag : kDoorbellTag;
    int error = impl_->submit([tag](io_uring_sqe* sqe) {
        io_uring_prep_nop(sqe);
        io_uring_sqe_set_data64(sqe, tag);
    });
    // Unrung, it must be rung again by the next packet.
    if (error != 0 && !always) impl_->doorbell_pending.store(false);
}

ErrorCode Ring::wait(Port& port, OverlappedEntry* entries, std::uint32_t capacity, std::uint32_t* removed,
                     std::uint32_t timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms == kInfinite ? 0 : timeout_ms);
    for (;;) {
        {
            std::lock_guard lock(impl_->reap_mutex);
            // Left unconsumed, the closing wake-up releases every waiter.
            if (port.closed()) return kErrorAbandonedWait0;
            std::uint32_t filled = impl_->reap(entries, capacity);
            bool more = false;
            filled += port.take_queued(entries + filled, capacity - filled, &more);
            // Whatever stays queued needs a waiter, maybe another one.
            if (more) doorbell();
            if (filled > 0) {
                *removed = filled;
                return 0;
            }
        }
        if (ErrorCode error = impl_->block(timeout_ms, deadline)) return error;
    }
}

std::size_t Ring::cancel(std::uint64_t file_id, const Overlapped* overlapped) {
    std::lock_guard lock(impl_->ops_mutex);
    std::size_t found = 0;
    for (Op* op = impl_->ops; op; op = op->next) {
        if (op->file_id != file_id || (overlapped && op->overlapped != overlapped)) continue;
        ++found;
        // Found is what the caller learns; whether the kernel can still stop
        // it, the operation's own completion tells.
        impl_->submit([op](io_uring_sqe* sqe) {
            io_uring_prep_cancel(sqe, op, 0);
            io_uring_sqe_set_data64(sqe, kInternalTag);
        });
    }
    return found;
}

void Ring::lock_for_fork() {
    impl_->reap_mutex.lock();
    impl_->ops_mutex.lock();
    impl_->sq_mutex.lock();
}

void Ring::unlock_after_fork() {
    impl_->sq_mutex.unlock();
    impl_->ops_mutex.unlock();
    impl_->reap_mutex.unlock();
}

}  // namespace kiln::platform::emu
