#include "iocp/iocp_engine.h"

#include "frame/frame.h"
#include "iocp/running_engines.h"

#include <chrono>
#include <thread>

namespace kiln::iocp {
namespace {

constexpr int kPostAttempts = 4;
constexpr std::uint32_t kRepostIntervalMs = 20;

struct Joined {
    std::uint32_t waited = platform::kWaitObject0;
    platform::ErrorCode code = 0;
};

// Waits for the thread. While its stop packet is not posted, posts it again
// now and then: a thread blocked in its wait sees no flag.
Joined wait_for_thread(Engine& engine, bool posted) {
    for (;;) {
        std::uint32_t waited =
            platform::wait_for(engine.thread.get(), posted ? platform::kInfinite : kRepostIntervalMs);
        if (waited == platform::kWaitFailed) {
            return {waited, platform::last_error()};
        }
        if (waited != platform::kWaitTimeout) {
            return {waited, 0};
        }
        posted = platform::post(engine.port.get(), 0, platform::kStopKey, nullptr);
    }
}

// Posts the stop packet, waits for the thread with the lock released, closes
// the thread's handle, then the port. A failed wait leaves the port open: the
// thread may still wait on it.
void join_engine(Engine& engine) {
    Joined joined;
    {
        UnlockedScope unlocked;
        joined = wait_for_thread(engine, send_stop(engine));
        engine.thread.reset();
        if (joined.waited == platform::kWaitFailed) {
            static_cast<void>(engine.port.release());
        } else {
            engine.port.reset();
        }
        unlist_engine(engine);
    }
    if (joined.waited == platform::kWaitFailed) {
        internal_failure("failed to join on thread: " + platform::describe_error(joined.code));
    }
}

}  // namespace

void Engine::StartSignal::set() {
    {
        std::lock_guard lock(mutex_);
        started_ = true;
    }
    changed_.notify_all();
}

void Engine::StartSignal::wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return started_; });
}

bool send_stop(Engine& engine) {
    for (int attempt = 1;; ++attempt) {
        if (platform::post(engine.port.get(), 0, platform::kStopKey, nullptr)) {
            return true;
        }
        if (attempt == kPostAttempts) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1 << attempt));
    }
    // Never close the port under a thread that may wait on it: the thread
    // takes what the port holds without waiting, and ends.
    engine.stop_unposted.store(true, std::memory_order_release);
    return false;
}

Result<EngineRef> start_engine(PyRef& loop_obj, PyRef& on_complete) {
    OwnedHandle port(platform::create_port());
    if (!port) {
        return Failure::deferred(PyExc_OSError, "CreateIoCompletionPort failed");
    }
    auto engine = std::make_shared<Engine>();
    engine->port = std::move(port);
    engine->interpreter = current_interpreter();
    engine->thread = start_completion_thread(loop_obj, on_complete, engine);
    // The object exists only once its thread waits on the port. A fork right
    // after construction then finds the thread parked, not inside the
    // allocator with its start-up, where an allocator without fork handlers
    // (AddressSanitizer's, for one) would leave the child a lock held for ever.
    engine->started.wait();
    list_engine(*engine);
    return engine;
}

void stop_engine(const EngineRef& engine) {
    if (on_module_thread() || interpreter_finalizing()) {
        detach_engine(engine);
        return;
    }
    if (claim_engine(*engine, EngineState::Joining).claimed) {
        join_engine(*engine);
        return;
    }
    if (engine->state.load(std::memory_order_acquire) != EngineState::Stopped) {
        UnlockedScope unlocked;  // another stopper's thread may need the lock
        wait_until_unlisted(*engine);
    }
}

void detach_engine(const EngineRef& engine) {
    // Posts the stop packet as it claims: the thread may end, and close the
    // port, as soon as it is detached. One whose thread had ended already is
    // closed as the claim goes.
    Claim claim = claim_engine(*engine, EngineState::Detached);
    static_cast<void>(claim);
}

}  // namespace kiln::iocp
