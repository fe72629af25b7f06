// A one-time initialisation that a failure leaves open for the next caller.
//
// std::call_once promises to re-open its flag when the callable throws, but
// an implementation over pthread_once (mingw's) never does: the next caller
// then blocks for ever. This guard keeps its state explicitly instead, under
// a mutex, and wakes every waiter whenever an attempt ends either way.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kiln {

class OnceFlag {
public:
    enum class State : std::uint8_t { NotStarted, Running, Done, Failed };

    OnceFlag() = default;
    OnceFlag(const OnceFlag&) = delete;
    OnceFlag& operator=(const OnceFlag&) = delete;

    bool done() const noexcept { return done_.load(std::memory_order_acquire); }

    State state() const {
        std::lock_guard lock(mutex_);
        return state_;
    }

    // Waits while another thread runs an attempt. Returns true when the
    // caller must run one now (the flag is then Running and the caller owes
    // it a finish()), false when an attempt has succeeded.
    bool claim() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return state_ != State::Running; });
        if (state_ == State::Done) {
            return false;
        }
        state_ = State::Running;
        return true;
    }

    // Ends the caller's attempt and wakes every waiter: on success they
    // return, on failure one of them tries next.
    void finish(bool succeeded) {
        {
            std::lock_guard lock(mutex_);
            state_ = succeeded ? State::Done : State::Failed;
            done_.store(succeeded, std::memory_order_release);
        }
        changed_.notify_all();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    State state_ = State::NotStarted;  // guarded by mutex_
    std::atomic<bool> done_{false};    // State::Done, readable without the mutex
};

// Runs `attempt` unless an earlier one succeeded; `attempt` returns true on
// success. A failed or throwing attempt re-opens the flag, and the exception
// propagates. The caller waits for a running attempt of another thread, and
// claims the flag, inside the lifetime of a `Waiting` object (the module
// lets go of the interpreter lock there); the attempt itself runs after that
// object is gone.
template <class Waiting, class Attempt>
void run_once(OnceFlag& flag, Attempt&& attempt) {
    if (flag.done()) {
        return;
    }
    // Whatever ends this call early, an attempt this thread claimed is
    // finished: even an unwind out of Waiting's destructor must not leave
    // the flag Running, which would block every later caller.
    struct Claim {
        OnceFlag& flag;
        bool held = false;
        bool succeeded = false;
        ~Claim() {
            if (held) flag.finish(succeeded);
        }
    } claim{flag};
    {
        [[maybe_unused]] Waiting waiting;
        claim.held = flag.claim();
    }
    if (claim.held) {
        claim.succeeded = attempt();
    }
}

}  // namespace kiln
