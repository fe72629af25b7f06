// Worker threads running reads, writes and calls, and feeding the port's
// packet queue: one thread in issue order for the deferred and held test
// modes, a small pool for the calls and for the system engine's transfers
// that io_uring does not take.
#include "platform/posix/emu.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <new>
#include <system_error>
#include <thread>

namespace kiln::platform::emu {
namespace {

bool is_held(const Job& job) {
    const auto* io = std::get_if<IoRequest>(&job);
    return io && io->held;
}

bool matches(const Job& job, std::uint64_t file_id, const Overlapped* overlapped) {
    const auto* io = std::get_if<IoRequest>(&job);
    return io && io->file->id() == file_id && (!overlapped || io->overlapped == overlapped);
}

// Workers take no signals: a handler of the host's must not run on them, and
// a write to a FIFO nobody reads must fail with EPIPE, not end the process.
class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t all;
        ::sigfillset(&all);
        for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) ::sigdelset(&all, fault);
        ::pthread_sigmask(SIG_BLOCK, &all, &saved_);
    }
    ~SignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t saved_;
};

}  // namespace

ErrorCode Workers::submit(Job&& job) {
    {
        std::lock_guard lock(mutex_);
        if (ErrorCode error = start_threads()) return error;
        queue_.push_back(std::move(job));
    }
    // One job wants one worker: waking them all only to have all but one
    // find the queue empty again costs the submitting thread its core.
    changed_->notify_one();
    return 0;
}

ErrorCode Workers::submit_many(std::vector<Job>& jobs) {
    {
        std::lock_guard lock(mutex_);
        if (ErrorCode error = start_threads()) return error;
        for (Job& job : jobs) queue_.push_back(std::move(job));
    }
    jobs.clear();
    changed_->notify_all();
    return 0;
}

void Workers::release_held() {
    {
        std::lock_guard lock(mutex_);
        for (auto& job : queue_) {
            if (auto* io = std::get_if<IoRequest>(&job)) io->held = false;
        }
    }
    changed_->notify_all();
}

std::size_t Workers::cancel(std::uint64_t file_id, const Overlapped* overlapped) {
    std::vector<Job> cancelled;
    std::size_t running = 0;
    {
        std::lock_guard lock(mutex_);
        auto queued = [&](const Job& job) { return matches(job, file_id, overlapped); };
        auto first = std::stable_partition(queue_.begin(), queue_.end(), std::not_fn(queued));
        std::move(first, queue_.end(), std::back_inserter(cancelled));
        queue_.erase(first, queue_.end());
        for (Slot* slot : slots_) {
            if (!slot->busy || slot->file_id != file_id || (overlapped && slot->overlapped != overlapped)) continue;
            ++running;
            // A transfer waiting on a stream file stops; one on a regular
            // file finishes by itself, as on Windows.
            slot->interrupt.raise();
        }
    }
    changed_->notify_all();
    for (const auto& job : cancelled) complete(std::get<IoRequest>(job), {kStatusCancelled, 0});
    return cancelled.size() + running;
}

void Workers::reset_in_child() {
    std::deque<Job> parents;
    {
        std::lock_guard lock(mutex_);
        parents.swap(queue_);
        for (Slot* slot : slots_) {
            slot->interrupt.forget();
            delete slot;
        }
        slots_.clear();
        announced_.store(0);
        static_cast<void>(changed_.release());
        changed_ = std::make_unique<std::condition_variable>();
    }
    // The records belong to the parent's operations; the child lets them go.
}

// Called with the lock held. Fewer threads than wanted is slower, not wrong,
// and the next submit tries again; none at all fails the submit.
ErrorCode Workers::start_threads() {
    ErrorCode error = 0;
    while (slots_.size() < threads_ && (error = start_thread()) == 0) {
    }
    // A thread is fully made before the caller goes on: a fork while one is
    // half made would copy locks it holds in the allocator, which glibc's
    // malloc guards at fork and AddressSanitizer's does not.
    for (unsigned seen; (seen = announced_.load()) < slots_.size();) announced_.wait(seen);
    return slots_.empty() ? error : 0;
}

ErrorCode Workers::start_thread() {
    if (auto injected = injected_errno(Operation::WorkerThread)) return errno_error(*injected);
    auto* slot = new (std::nothrow) Slot;
    if (!slot) return kErrorNotEnoughMemory;
    try {
        SignalsBlocked inherited_by_the_thread;
        std::thread([this, slot] {
            announced_.fetch_add(1);
            announced_.notify_all();
            run(*slot);
        }).detach();
    } catch (const std::system_error& failure) {
        delete slot;
        return errno_error(failure.code().value());
    } catch (const std::bad_alloc&) {
        delete slot;
        return kErrorNotEnoughMemory;
    }
    slots_.push_back(slot);
    return 0;
}

void Workers::run(Slot& slot) {
    for (;;) {
        Job job = next(slot);
        if (auto* io = std::get_if<IoRequest>(&job)) {
            IoResult result = perform(*io, &slot.interrupt);
            // Finished before its packet goes out: a cancel that follows the
            // packet finds nothing, as on Windows.
            finished(slot);
            complete(*io, result);
        } else {
            run_call(std::get<CallRequest>(job));
        }
    }
}

Job Workers::next(Slot& slot) {
    std::unique_lock lock(mutex_);
    // The single test worker keeps issue order, so a held request blocks the
    // ones behind it; the pool never holds.
    changed_->wait(lock, [this] { return !queue_.empty() && !is_held(queue_.front()); });
    Job job = std::move(queue_.front());
    queue_.pop_front();
    if (auto* io = std::get_if<IoRequest>(&job)) {
        slot.busy = true;
        slot.file_id = io->file->id();
        slot.overlapped = io->overlapped;
        slot.interrupt.rearm();
    }
    return job;
}

void Workers::finished(Slot& slot) {
    std::lock_guard lock(mutex_);
    slot.busy = false;
}

// Both outlive static destruction on purpose: their detached threads may
// still run at exit.
Workers& test_worker() {
    static auto* instance = new Workers(1);
    return *instance;
}

// A few threads: two at least, so one slow transfer does not hold up the
// rest, and otherwise no more than half the cores, which the event loop
// needs too.
Workers& pool() {
    static auto* instance = new Workers(std::clamp(std::thread::hardware_concurrency() / 2, 2u, 4u));
    return *instance;
}

Workers& copy_lane() {
    static auto* instance = new Workers(std::clamp(std::thread::hardware_concurrency(), 2u, 5u) - 1);
    return *instance;
}

}  // namespace kiln::platform::emu
