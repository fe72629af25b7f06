// Ports: a queue of packets, and a ring when io_uring is the system engine.
// Posted packets and the test engines' completions go through the queue; a
// port with a ring rings its doorbell so that a waiter blocked on the ring
// looks at the queue too, and one wait sees both.
#include "platform/posix/emu.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace kiln::platform::emu {

Port::Port(std::unique_ptr<Ring> ring, int signal) : Object(kKind), ring_(std::move(ring)), signal_(signal) {}

// The ring goes first: it finishes what the kernel still holds of the port,
// and signals the eventfd as it does.
Port::~Port() {
    ring_.reset();
    if (signal_ >= 0) ::close(signal_);
}

Ring* Port::ring() const { return ring_ && ring_->owned() ? ring_.get() : nullptr; }

void fill_entry(OverlappedEntry& entry, const Packet& packet) {
    entry.lpCompletionKey = packet.key;
    entry.lpOverlapped = packet.overlapped;
    entry.Internal = packet.status;
    entry.dwNumberOfBytesTransferred = packet.bytes;
}

bool Port::push(const Packet& packet) {
    {
        std::lock_guard lock(mutex_);
        // Nobody can wait on a closed port any more.
        if (closed()) return false;
        queue_.push_back(packet);
    }
    ready_->notify_one();
    wake_waiter();
    return true;
}

void Port::wake_waiter() {
    if (signal_ >= 0) {
        set_signal();
    } else if (Ring* ring = this->ring()) {
        ring->doorbell();
    }
}

// Once set, the eventfd stays readable until the loop clears it: the
// posters after the first need not write it again.
void Port::set_signal() {
    if (!signalled_.exchange(true, std::memory_order_acq_rel)) ::eventfd_write(signal_, 1);
}

// Read before the flag is lowered: a poster that saw it raised has queued
// its packet already, and the take after this finds it.
void Port::clear_signal() {
    eventfd_t ignored;
    if (signal_ < 0) return;
    ::eventfd_read(signal_, &ignored);
    signalled_.store(false, std::memory_order_release);
}

bool Port::flush(std::uint32_t* submitted) {
    Ring* ring = this->ring();
    int error = ring ? ring->flush(*this, submitted) : 0;
    return error == 0 || fail(status_to_error(status_from_errno(error)));
}

bool Port::wait_queued(std::uint32_t timeout_ms) {
    std::unique_lock lock(mutex_);
    return wait_ready(lock, timeout_ms);
}

std::uint32_t Port::take_queued(OverlappedEntry* entries, std::uint32_t capacity, bool* more) {
    std::lock_guard lock(mutex_);
    return take_locked(entries, capacity, more);
}

std::uint32_t Port::take_locked(OverlappedEntry* entries, std::uint32_t capacity, bool* more) {
    std::uint32_t count = 0;
    for (; count < capacity && !queue_.empty(); ++count) {
        fill_entry(entries[count], queue_.front());
        queue_.pop_front();
    }
    *more = !queue_.empty();
    return count;
}

ErrorCode Port::pop(OverlappedEntry* entries, std::uint32_t capacity, std::uint32_t* removed,
                    std::uint32_t timeout_ms) {
    if (signal_ >= 0) return pop_signalled(entries, capacity, removed, timeout_ms);
    if (Ring* ring = this->ring()) return ring->wait(*this, entries, capacity, removed, timeout_ms);
    std::unique_lock lock(mutex_);
    if (!wait_ready(lock, timeout_ms)) return kErrorWaitTimeout;
    if (closed()) return kErrorAbandonedWait0;
    bool more = false;
    *removed = take_locked(entries, capacity, &more);
    lock.unlock();
    if (more) ready_->notify_one();
    return 0;
}

namespace {

using Clock = std::chrono::steady_clock;

// Until the eventfd turns readable or the time is up; a broken ring's
// waiters look at the completion queue at least this often.
constexpr int kSignalSliceMs = 10;

bool wait_signal(int signal, std::uint32_t timeout_ms, Clock::time_point deadline) {
    int slice = kSignalSliceMs;
    if (timeout_ms != kInfinite) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        slice = static_cast<int>(std::min<std::int64_t>(left, slice));
    }
    pollfd watched{signal, POLLIN, 0};
    ::poll(&watched, 1, slice);
    return true;
}

}  // namespace

// A loop port's wait takes what is there; only a wait with a timeout blocks,
// on the eventfd, which every completion and packet signals.
ErrorCode Port::pop_signalled(OverlappedEntry* entries, std::uint32_t capacity, std::uint32_t* removed,
                              std::uint32_t timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms == kInfinite ? 0 : timeout_ms);
    for (bool cleared = false;; ) {
        if (closed()) return kErrorAbandonedWait0;
        if (Ring* ring = this->ring()) {
            if (ErrorCode error = ring->collect(*this, entries, capacity, removed)) return error;
        } else {
            bool more = false;
            *removed = take_queued(entries, capacity, &more);
        }
        if (*removed > 0) return 0;
        if (timeout_ms == 0) return kErrorWaitTimeout;
        if (cleared && !wait_signal(signal_, timeout_ms, deadline)) return kErrorWaitTimeout;
        // Cleared before the next look, so that what arrives after it signals again.
        clear_signal();
        cleared = true;
    }
}

void Port::close() {
    {
        std::lock_guard lock(mutex_);
        closed_.store(true, std::memory_order_release);
        queue_.clear();
    }
    ready_->notify_all();
    if (signal_ >= 0) {
        set_signal();
    } else if (Ring* ring = this->ring()) {
        ring->doorbell(true);
    }
}

bool Port::wait_ready(std::unique_lock<std::mutex>& lock, std::uint32_t timeout_ms) {
    auto ready = [this] { return closed() || !queue_.empty(); };
    if (timeout_ms == kInfinite) {
        ready_->wait(lock, ready);
        return true;
    }
    return ready_->wait_for(lock, std::chrono::milliseconds(timeout_ms), ready);
}

void Port::lock_for_fork() {
    if (Ring* ring = this->ring()) ring->lock_for_fork();
    mutex_.lock();
}

void Port::unlock_after_fork() {
    mutex_.unlock();
    // The fork handlers move the generation on only after this.
    if (Ring* ring = this->ring()) ring->unlock_after_fork();
}

void Port::reset_in_child() {
    // Destroying it would wait for those waiters forever: it is let go.
    static_cast<void>(ready_.release());
    ready_ = std::make_unique<std::condition_variable>();
    // The eventfd is the parent's too: signalling it would wake the parent's loop.
    if (signal_ >= 0) ::close(signal_);
    signal_ = -1;
}

std::shared_ptr<Port> make_port() {
    std::unique_ptr<Ring> ring;
    if (system_engine() == kEngineUring) ring = Ring::create();
    return std::make_shared<Port>(std::move(ring));
}

}  // namespace kiln::platform::emu

namespace kiln::platform::emu {

std::shared_ptr<Port> make_loop_port() {
    int signal = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (signal < 0) return nullptr;
    std::unique_ptr<Ring> ring;
    if (system_engine() == kEngineUring) ring = Ring::create(signal);
    return std::make_shared<Port>(std::move(ring), signal);
}

}  // namespace kiln::platform::emu
