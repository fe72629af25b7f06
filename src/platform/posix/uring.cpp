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
//
// A ring whose submissions or waits fail in a way that retrying does not
// cure is broken for good: its waiters watch the port's packet queue and
// look at the completion queue without entering the kernel, what it still
// runs is cancelled where the kernel lets us, what is left after a grace
// period fails with the ring's error, and later reads and writes fail at once.
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
// Up to this, a transfer that finds the workers' queues full is tried inside
// the submission instead, so that the submitting thread copies beside the
// workers; at most kBesideWorkersBudget bytes per submission, which keeps an
// event loop's turn well under a millisecond.
constexpr std::uint32_t kBesideWorkersLimit = 1024 * 1024;
constexpr std::uint32_t kBesideWorkersBudget = 2 * 1024 * 1024;
// Transfers each worker may have waiting behind the one it copies, so that it
// never waits for the submitting thread to hand it the next.
constexpr unsigned kQueuedPerWorker = 3;
constexpr int kSubmitAttempts = 100;
// A waiter asleep in the kernel looks up this often, so that a ring another
// thread found broken cannot keep it there.
constexpr auto kWaitSlice = std::chrono::seconds(1);
// How often the waiters of a broken ring look at its completion queue, and
// how long the kernel has to give back what it still runs.
constexpr std::uint32_t kBrokenPollMs = 10;
constexpr auto kBrokenGrace = std::chrono::seconds(2);

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
// reads, they would take every core from the event loop. Both kinds of
// worker are limited: buffered reads of regular files that go straight to
// the workers (IOSQE_ASYNC) count as unbounded work.
void limit_kernel_workers(io_uring& ring) {
    unsigned limits[2] = {kernel_worker_limit(), kernel_worker_limit()};  // bounded, unbounded
    io_uring_register_iowq_max_workers(&ring, limits);
}

// Each thread that submits has kernel workers of its own, limited by the
// ring it first submitted to, or by a registration it makes itself. A thread
// registers on its first submission to one of our rings, in case its workers
// came from a ring without our limit (a probe's, another library's). A
// forked child's thread has no workers yet, whatever its copy of this says:
// it counts as registered in the generation after its own, 0 being never.
thread_local unsigned t_workers_limited_in = 0;

void limit_this_threads_workers(io_uring& ring) {
    unsigned generation = g_fork_generation.load(std::memory_order_relaxed) + 1;
    if (t_workers_limited_in == generation) return;
    limit_kernel_workers(ring);
    t_workers_limited_in = generation;
}

// One no-op there and back, within a second: a kernel (or a sandbox's
// seccomp profile) may allow making rings yet refuse to enter them.
bool round_trip(io_uring& ring) {
    io_uring_sqe* sqe = io_uring_get_sqe(&ring);
    if (!sqe) return false;
    io_uring_prep_nop(sqe);
    io_uring_sqe_set_data64(sqe, kDoorbellTag);
    int submitted;
    do {
        submitted = io_uring_submit(&ring);
    } while (submitted == -EINTR);
    if (submitted != 1) return false;
    __kernel_timespec timeout{1, 0};
    io_uring_cqe* cqe = nullptr;
    int waited;
    do {
        waited = io_uring_wait_cqe_timeout(&ring, &cqe, &timeout);
    } while (waited == -EINTR);
    if (waited != 0) return false;
    bool answered = cqe->res == 0 && cqe->user_data == kDoorbellTag;
    io_uring_cqe_seen(&ring, cqe);
    return answered;
}

std::atomic<bool> g_refused{false};

}  // namespace

// Counted once: the count of cores is read from a file, and every large
// transfer asks for the limit.
unsigned kernel_worker_limit() {
    static const unsigned limit = std::max(1u, std::thread::hardware_concurrency() / 2);
    return limit;
}

void refuse_io_uring() { g_refused.store(true, std::memory_order_relaxed); }

bool uring_usable() {
    if (g_refused.load(std::memory_order_relaxed)) return false;
    io_uring ring{};
    if (init_ring(ring) < 0) return false;
    bool usable = kernel_has_what_we_need(ring);
    if (usable) {
        // Before the no-op makes this thread's kernel workers.
        limit_kernel_workers(ring);
        usable = round_trip(ring);
    }
    io_uring_queue_exit(&ring);
    return usable;
}

// Counts a transfer as one the kernel's workers hold, for as long as its Op lives.
class WorkerShare {
public:
    WorkerShare() = default;
    WorkerShare(const WorkerShare&) = delete;
    WorkerShare& operator=(const WorkerShare&) = delete;
    ~WorkerShare() {
        if (count_) count_->fetch_sub(1, std::memory_order_relaxed);
    }
    void take(std::atomic<unsigned>& count) {
        count.fetch_add(1, std::memory_order_relaxed);
        count_ = &count;
    }

private:
    std::atomic<unsigned>* count_ = nullptr;
};

struct Ring::Op {
    Overlapped* overlapped;
    std::shared_ptr<Descriptor> descriptor;  // open until the kernel is done
    std::uint64_t file_id;
    std::uint32_t length;
    bool write;
    // Failed by a broken ring while the kernel still held it: its
    // completion, if one ever comes, only frees it.
    bool abandoned = false;
    Op* prev = nullptr;
    Op* next = nullptr;
    WorkerShare worker{};
};

struct Ring::Impl {
    io_uring ring{};
    unsigned generation = 0;
    std::mutex reap_mutex;  // consumes the completion queue
    std::mutex ops_mutex;   // the list of operations in flight
    std::mutex sq_mutex;    // fills and submits the submission queue
    Op* ops = nullptr;
    std::atomic<bool> doorbell_pending{false};
    std::atomic<int> broken_by{0};  // the errno that broke the ring; 0 while it works
    std::atomic<Clock::rep> broken_at{0};
    // A loop port's: reads and writes wait in the submission queue for flush().
    bool deferred = false;
    std::atomic<unsigned> with_workers{0};  // transfers sent straight to the kernel's workers
    std::atomic<std::uint32_t> beside_workers{0};  // bytes the next submission may copy itself

    // Whether the kernel's workers take the transfer from the start.
    bool to_workers(std::uint32_t length, bool stream) {
        // A stream waits for its peer by polling; sent to a kernel worker, it
        // would hold the worker while it waits.
        if (stream || length <= kAsyncThreshold) return false;
        if (length > kBesideWorkersLimit) return true;
        if (with_workers.load(std::memory_order_relaxed) < kQueuedPerWorker * kernel_worker_limit()) return true;
        return beside_workers.fetch_add(length, std::memory_order_relaxed) + length > kBesideWorkersBudget;
    }

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

    bool broken() const { return broken_by.load(std::memory_order_acquire) != 0; }

    int enter_submit() {
        if (auto error = injected_errno(Operation::RingSubmit)) return -*error;
        beside_workers.store(0, std::memory_order_relaxed);
        return io_uring_submit(&ring);
    }

    int enter_wait(io_uring_cqe** cqe, __kernel_timespec* timeout) {
        if (auto error = injected_errno(Operation::RingWait)) return -*error;
        return io_uring_wait_cqe_timeout(&ring, cqe, timeout);
    }

    // Fills one submission entry and submits it, retrying what may pass;
    // 0 or -errno.
    template <class Prepare>
    int submit_once(Prepare prepare) {
        std::lock_guard lock(sq_mutex);
        io_uring_sqe* sqe = io_uring_get_sqe(&ring);
        if (!sqe) {
            io_uring_submit(&ring);
            sqe = io_uring_get_sqe(&ring);
        }
        if (!sqe) return -EBUSY;
        prepare(sqe);
        limit_this_threads_workers(ring);
        for (int attempt = 0;; ++attempt) {
            int submitted = enter_submit();
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

    // Submits everything queued, retrying what may pass; 0 or -errno.
    // Called under sq_mutex.
    int submit_queued_locked() {
        limit_this_threads_workers(ring);
        for (int attempt = 0;; ++attempt) {
            if (io_uring_sq_ready(&ring) == 0) return 0;
            int submitted = enter_submit();
            if (submitted >= 0 && io_uring_sq_ready(&ring) == 0) return 0;
            bool transient = submitted >= 0 || submitted == -EINTR || submitted == -EAGAIN || submitted == -EBUSY;
            if (!transient || attempt == kSubmitAttempts) return submitted < 0 ? submitted : -EBUSY;
            if (submitted != -EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // Fills one submission entry and leaves it queued; a full queue is
    // submitted first. 0 or -errno.
    template <class Prepare>
    int queue(Prepare prepare) {
        std::lock_guard lock(sq_mutex);
        io_uring_sqe* sqe = io_uring_get_sqe(&ring);
        if (!sqe) {
            if (int error = submit_queued_locked()) return error;
            sqe = io_uring_get_sqe(&ring);
        }
        if (!sqe) return -EBUSY;
        prepare(sqe);
        return 0;
    }

    // Turns every entry the kernel has not consumed into a harmless no-op
    // and gives back their operations, which were never started: the kernel
    // refuses to take them. Called under sq_mutex.
    std::vector<Op*> withdraw_queued() {
        // From what the kernel may see to what is only filled in so far.
        std::vector<Op*> withdrawn;
        unsigned head = io_uring_smp_load_acquire(ring.sq.khead);
        unsigned tail = ring.sq.sqe_tail;
        for (unsigned index = head; index != tail; ++index) {
            io_uring_sqe* sqe = &ring.sq.sqes[index & ring.sq.ring_mask];
            std::uint64_t tag = sqe->user_data;
            bool is_op = sqe->opcode == IORING_OP_READ || sqe->opcode == IORING_OP_WRITE;
            if (is_op && tag != kInternalTag && tag != kDoorbellTag) withdrawn.push_back(reinterpret_cast<Op*>(tag));
            io_uring_prep_nop(sqe);
            io_uring_sqe_set_data64(sqe, kInternalTag);
        }
        return withdrawn;
    }

    // As submit_once; a failure breaks the ring.
    template <class Prepare>
    int submit(Prepare prepare) {
        int result = submit_once(prepare);
        if (result < 0) break_with(-result);
        return result;
    }

    // Takes no lock but the submission queue's: callers may hold the others.
    void break_with(int error) {
        int healthy = 0;
        if (!broken_by.compare_exchange_strong(healthy, error > 0 ? error : EIO)) return;
        broken_at.store(Clock::now().time_since_epoch().count());
        // Best effort: the kernel gives back what it can, and a waiter asleep
        // in it looks again.
        submit_once([](io_uring_sqe* sqe) {
            io_uring_prep_cancel64(sqe, 0, IORING_ASYNC_CANCEL_ANY);
            io_uring_sqe_set_data64(sqe, kInternalTag);
        });
        submit_once([](io_uring_sqe* sqe) {
            io_uring_prep_nop(sqe);
            io_uring_sqe_set_data64(sqe, kInternalTag);
        });
    }

    NtStatus broken_status() const { return status_from_errno(broken_by.load(std::memory_order_acquire)); }

    bool grace_over() const {
        return Clock::now() >= Clock::time_point(Clock::duration(broken_at.load())) + kBrokenGrace;
    }

    // The operation's outcome, recorded in its Overlapped before anyone sees
    // the entry; frees the Op. Nothing for an abandoned one, already failed.
    std::optional<Packet> settle(Op* op, int res) {
        unlink(op);
        bool abandoned = op->abandoned;
        Overlapped* overlapped = op->overlapped;
        bool write = op->write;
        std::uint32_t length = op->length;
        delete op;
        if (abandoned) return std::nullopt;
        IoResult result{};
        if (res == -ECANCELED && broken()) {
            // Cancelled because the ring broke, not because anyone asked.
            result = {broken_status(), 0};
        } else if (res < 0) {
            result = {status_from_errno(-res), 0};
        } else {
            auto done = static_cast<std::uint32_t>(res);
            result = {final_status(write, length, done), done};
        }
        record(*overlapped, result);
        return Packet{result.bytes, 0, overlapped, result.status};
    }

    // Consumes completions into `entries` until it is full; the doorbell's and
    // internal completions take no entry. Called under reap_mutex; enters the
    // kernel never.
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
                if (auto packet = settle(reinterpret_cast<Op*>(tag), cqe->res)) fill_entry(entries[filled++], *packet);
            }
        }
        io_uring_cq_advance(&ring, consumed);
        return filled;
    }

    // As reap, and then what the kernel kept aside when the completion queue
    // was full. Those come back only through a call into the kernel that asks
    // for completions: a loop's takes make none, and no later completion
    // signals the descriptor for them. Called under reap_mutex.
    std::uint32_t reap_kept_aside(OverlappedEntry* entries, std::uint32_t capacity) {
        std::uint32_t filled = reap(entries, capacity);
        while (filled < capacity && io_uring_cq_has_overflow(&ring)) {
            int moved = io_uring_get_events(&ring);
            if (moved < 0 && moved != -EINTR && moved != -EAGAIN && moved != -EBUSY) {
                break_with(-moved);
                break;
            }
            filled += reap(entries + filled, capacity - filled);
        }
        return filled;
    }

    // Once the grace period is over, what the kernel still holds fails with
    // the ring's error, through the port's queue. Called under reap_mutex.
    void abandon_overdue(Port& port) {
        if (!grace_over()) return;
        std::vector<Packet> failed;
        {
            std::lock_guard lock(ops_mutex);
            for (Op* op = ops; op; op = op->next) {
                if (op->abandoned) continue;
                op->abandoned = true;
                // The kernel may still write the buffer: its reaper keeps it for good.
                NtStatus status = broken_status() | kStillHeldFlag;
                record(*op->overlapped, {status, 0});
                failed.push_back({0, 0, op->overlapped, status});
            }
        }
        for (const Packet& packet : failed) port.push(packet);
    }

    // 0 when the completion queue is worth another look, else the wait's error.
    ErrorCode block(std::uint32_t timeout_ms, Clock::time_point deadline) {
        auto until = Clock::now() + kWaitSlice;
        if (timeout_ms != kInfinite) {
            if (Clock::now() >= deadline) return kErrorWaitTimeout;
            until = std::min(until, deadline);
        }
        auto left = std::max<std::int64_t>(
            0, std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now()).count());
        __kernel_timespec timeout{left / 1000000000, left % 1000000000};
        io_uring_cqe* cqe = nullptr;
        int result = enter_wait(&cqe, &timeout);
        switch (-result) {
            case 0:
            case EINTR:
            case ETIME:
            case EBADR:  // a completion the kernel could not keep: the rest are still worth reaping
                return 0;
            case EBUSY:
            case EAGAIN:
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                return 0;
            default:
                break_with(-result);
                return 0;
        }
    }

    // The wait of a broken ring: on the port's queue, in short slices that
    // look at the completion queue between them.
    ErrorCode idle_while_broken(Port& port, std::uint32_t timeout_ms, Clock::time_point deadline) {
        std::uint32_t slice = kBrokenPollMs;
        if (timeout_ms != kInfinite) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return kErrorWaitTimeout;
            slice = std::min<std::uint32_t>(slice, static_cast<std::uint32_t>(left));
        }
        port.wait_queued(slice);
        return 0;
    }

    // Completions that are already there, settled without packets: the port
    // is going. Whether any were.
    bool drain() {
        unsigned consumed = 0;
        unsigned head;
        io_uring_cqe* cqe;
        io_uring_for_each_cqe(&ring, head, cqe) {
            ++consumed;
            std::uint64_t tag = cqe->user_data;
            if (tag != kInternalTag && tag != kDoorbellTag) settle(reinterpret_cast<Op*>(tag), cqe->res);
        }
        io_uring_cq_advance(&ring, consumed);
        return consumed > 0;
    }

    // Cancels whatever is still in flight and waits for all of it, so that
    // the kernel writes nothing once the ring is gone. False when the ring
    // broke and the kernel did not give everything back in time.
    bool finish_in_flight() {
        if (idle()) return true;
        submit([](io_uring_sqe* sqe) {
            io_uring_prep_cancel64(sqe, 0, IORING_ASYNC_CANCEL_ANY);
            io_uring_sqe_set_data64(sqe, kInternalTag);
        });
        for (;;) {
            drain();
            if (idle()) break;
            if (broken()) {
                if (grace_over()) return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            io_uring_cqe* cqe = nullptr;
            __kernel_timespec timeout{1, 0};
            int result = io_uring_wait_cqe_timeout(&ring, &cqe, &timeout);
            bool retry = result >= 0 || result == -EINTR || result == -ETIME || result == -EBADR ||
                         result == -EBUSY || result == -EAGAIN;
            if (!retry) break_with(-result);
        }
        return true;
    }
};

Ring::Ring(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<Ring> Ring::create(int signal) {
    auto impl = std::make_unique<Impl>();
    if (init_ring(impl->ring) < 0) return nullptr;
    if (signal >= 0) {
        if (io_uring_register_eventfd(&impl->ring, signal) < 0) {
            io_uring_queue_exit(&impl->ring);
            return nullptr;
        }
        impl->deferred = true;
    }
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
        static_cast<void>(impl_.release());
        return;
    }
    if (!impl_->finish_in_flight()) {
        // The kernel may still write into records: keep everything.
        static_cast<void>(impl_.release());
        return;
    }
    io_uring_queue_exit(&impl_->ring);
}

bool Ring::owned() const { return impl_->generation == g_fork_generation.load(std::memory_order_relaxed); }

bool Ring::broken() const { return impl_->broken(); }

namespace {

// A failure the ring reports at once still reaches the caller through the port.
bool fail_through_port(const IoRequest& request, NtStatus status) {
    complete(request, {status, 0});
    return fail(kErrorIoPending);
}

}  // namespace

bool Ring::start(const IoRequest& request) {
    if (impl_->broken()) return fail_through_port(request, impl_->broken_status());
    auto* op = new (std::nothrow)
        Op{request.overlapped, request.file->descriptor(), request.file->id(), request.length, request.write};
    if (!op) return fail(kErrorNotEnoughMemory);
    // Listed before it is submitted, so its completion always finds it.
    impl_->link(op);
    bool stream = request.file->stream();
    bool to_workers = impl_->to_workers(request.length, stream);
    if (to_workers) op->worker.take(impl_->with_workers);
    auto prepare = [&](io_uring_sqe* sqe) {
        int fd = op->descriptor->fd();
        // A stream has no offsets; -1 keeps the kernel from checking one.
        std::uint64_t offset = stream ? ~std::uint64_t{0} : request.offset;
        if (request.write) {
            io_uring_prep_write(sqe, fd, request.buffer, request.length, offset);
        } else {
            io_uring_prep_read(sqe, fd, request.buffer, request.length, offset);
        }
        io_uring_sqe_set_data(sqe, op);
        if (to_workers) sqe->flags |= IOSQE_ASYNC;
    };
    int error = impl_->deferred ? impl_->queue(prepare) : impl_->submit(prepare);
    if (error != 0) {
        impl_->unlink(op);
        delete op;
        return fail_through_port(request, status_from_errno(-error));
    }
    return fail(kErrorIoPending);
}

void Ring::doorbell(bool always) {
    // A broken ring's waiters watch the port's queue, which notified them.
    if (impl_->broken()) return;
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
        bool broken = impl_->broken();
        {
            std::lock_guard lock(impl_->reap_mutex);
            // Left unconsumed, the closing wake-up releases every waiter.
            if (port.closed()) return kErrorAbandonedWait0;
            if (broken) impl_->abandon_overdue(port);
            std::uint32_t filled = impl_->reap(entries, capacity);
            bool more = false;
            filled += port.take_queued(entries + filled, capacity - filled, &more);
            // Whatever stays queued needs a waiter, maybe another one.
            if (more) {
                if (broken) {
                    port.wake_one();
                } else {
                    doorbell();
                }
            }
            if (filled > 0) {
                *removed = filled;
                return 0;
            }
        }
        ErrorCode error =
            broken ? impl_->idle_while_broken(port, timeout_ms, deadline) : impl_->block(timeout_ms, deadline);
        if (error) return error;
    }
}

ErrorCode Ring::collect(Port& port, OverlappedEntry* entries, std::uint32_t capacity, std::uint32_t* removed) {
    *removed = 0;
    std::lock_guard lock(impl_->reap_mutex);
    if (port.closed()) return kErrorAbandonedWait0;
    if (impl_->broken()) impl_->abandon_overdue(port);
    std::uint32_t filled = impl_->reap_kept_aside(entries, capacity);
    bool more = false;
    filled += port.take_queued(entries + filled, capacity - filled, &more);
    *removed = filled;
    return 0;
}

int Ring::flush(Port& port, std::uint32_t* submitted) {
    std::vector<Op*> withdrawn;
    int error = 0;
    {
        std::lock_guard lock(impl_->sq_mutex);
        unsigned queued = io_uring_sq_ready(&impl_->ring);
        if (queued == 0) return 0;
        error = -impl_->submit_queued_locked();
        if (error == 0) {
            *submitted = queued;
            return 0;
        }
        withdrawn = impl_->withdraw_queued();
    }
    impl_->break_with(error);
    for (Op* op : withdrawn) {
        if (auto packet = impl_->settle(op, -error)) port.push(*packet);
    }
    return error;
}

std::size_t Ring::cancel(std::uint64_t file_id, const Overlapped* overlapped) {
    std::lock_guard lock(impl_->ops_mutex);
    std::size_t found = 0;
    for (Op* op = impl_->ops; op; op = op->next) {
        if (op->abandoned || op->file_id != file_id || (overlapped && op->overlapped != overlapped)) continue;
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
