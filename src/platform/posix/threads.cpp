// Threads: CreateThread and WaitForSingleObject over pthreads.
#include "platform/posix/emu.h"

#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace kiln::platform {
namespace emu {
namespace {

// Runs one started thread; `finished_` lets waits time out, which a bare
// pthread_join cannot.
class ThreadObject final : public Object {
public:
    static constexpr Kind kKind = Kind::Thread;
    ThreadObject(ThreadEntry entry, void* context) : Object(kKind), entry_(entry), context_(context) {}

    // The new thread owns a reference so that closing its handle early is safe.
    static int launch(const std::shared_ptr<ThreadObject>& self, std::size_t stack_reservation) {
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        if (stack_reservation > 0) pthread_attr_setstacksize(&attributes, stack_size(stack_reservation));
        auto* owner = new std::shared_ptr<ThreadObject>(self);
        int error = pthread_create(&self->thread_, &attributes, &ThreadObject::run, owner);
        pthread_attr_destroy(&attributes);
        if (error != 0) {
            delete owner;
            return error;
        }
        self->state_ = State::Running;
        // Fully made before the caller goes on: a fork while the thread is
        // half made would copy locks it holds in the allocator, which glibc's
        // malloc guards at fork and AddressSanitizer's does not.
        self->began_.wait(false);
        return 0;
    }

    std::uint32_t wait(std::uint32_t timeout_ms) {
        std::unique_lock lock(mutex_);
        auto finished = [this] { return finished_; };
        if (timeout_ms == kInfinite) {
            finished_changed_->wait(lock, finished);
        } else if (!finished_changed_->wait_for(lock, std::chrono::milliseconds(timeout_ms), finished)) {
            return kWaitTimeout;
        }
        if (state_ == State::Running) {
            // Joined without the lock: a fork meanwhile must find it free.
            state_ = State::Joining;
            lock.unlock();
            pthread_join(thread_, nullptr);
            lock.lock();
            state_ = State::Joined;
            finished_changed_->notify_all();
        }
        finished_changed_->wait(lock, [this] { return state_ != State::Joining; });
        return kWaitObject0;
    }

    void release() {
        std::lock_guard lock(mutex_);
        if (state_ == State::Running) {
            pthread_detach(thread_);
            state_ = State::Detached;
        }
    }

    void lock_for_fork() { mutex_.lock(); }
    void unlock_after_fork() { mutex_.unlock(); }

    // In the child the thread does not exist: nothing to join or detach, and
    // the condition variable's waiters are the parent's (see Port::reset_in_child).
    void reset_in_child() {
        if (state_ == State::Running || state_ == State::Joining) state_ = State::Detached;
        static_cast<void>(finished_changed_.release());
        finished_changed_ = std::make_unique<std::condition_variable>();
    }

private:
    enum class State { NotStarted, Running, Joining, Joined, Detached };

    static std::size_t stack_size(std::size_t reservation) {
        auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        std::size_t rounded = (reservation + page - 1) / page * page;
        return std::max<std::size_t>(rounded, PTHREAD_STACK_MIN);
    }

    // Signals the end of the thread however it ends: the interpreter may
    // unwind a thread that asks for its lock during finalization, and the
    // system signals the handle then too.
    struct FinishSignal {
        ThreadObject& self;
        ~FinishSignal() {
            {
                std::lock_guard lock(self.mutex_);
                self.finished_ = true;
            }
            self.finished_changed_->notify_all();
        }
    };

    static void* run(void* owner) {
        std::unique_ptr<std::shared_ptr<ThreadObject>> reference(static_cast<std::shared_ptr<ThreadObject>*>(owner));
        ThreadObject& self = **reference;
        self.began_.store(true);
        self.began_.notify_all();
        FinishSignal signal{self};
        self.entry_(self.context_);
        return nullptr;
    }

    const ThreadEntry entry_;
    void* const context_;
    pthread_t thread_{};
    std::atomic<bool> began_{false};
    std::mutex mutex_;
    std::unique_ptr<std::condition_variable> finished_changed_ = std::make_unique<std::condition_variable>();
    bool finished_ = false;
    State state_ = State::NotStarted;
};

}  // namespace

// CloseHandle of a thread: the thread runs on, detached.
void release_thread(Object& object) { static_cast<ThreadObject&>(object).release(); }
void lock_thread_for_fork(Object& object) { static_cast<ThreadObject&>(object).lock_for_fork(); }
void unlock_thread_after_fork(Object& object) { static_cast<ThreadObject&>(object).unlock_after_fork(); }
void reset_thread_in_child(Object& object) { static_cast<ThreadObject&>(object).reset_in_child(); }

}  // namespace emu

using namespace emu;

Handle start_thread(ThreadEntry entry, void* context, std::size_t stack_reservation) {
    if (injected(Operation::CreateThread)) return nullptr;
    if (!entry) return fail<Handle>(kErrorInvalidParameter, nullptr);
    auto thread = std::make_shared<ThreadObject>(entry, context);
    int error = ThreadObject::launch(thread, stack_reservation);
    if (error != 0) return fail<Handle>(errno_error(error), nullptr);
    return insert_handle(std::move(thread));
}

std::uint32_t wait_for(Handle handle, std::uint32_t timeout_ms) {
    if (injected(Operation::WaitForObject)) return kWaitFailed;
    auto thread = find_object<ThreadObject>(handle);
    if (!thread) return fail(kErrorInvalidHandle, kWaitFailed);
    return thread->wait(timeout_ms);
}

}  // namespace kiln::platform
