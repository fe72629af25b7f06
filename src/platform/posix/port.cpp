// Ports: a queue of packets, and a ring when io_uring is the system engine.
// Posted packets and the test engines' completions go through the queue; a
// port with a ring rings its doorbell so that a waiter blocked on the ring
// looks at the queue too, and one wait sees both.
#include "platform/posix/emu.h"

#include <chrono>

namespace kiln::platform::emu {

Port::Port(std::unique_ptr<Ring> ring) : Object(kKind), ring_(std::move(ring)) {}

// The ring goes first: it finishes what the kernel still holds of the port.
Port::~Port() { ring_.reset(); }

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
    if (Ring* ring = this->ring()) ring->doorbell();
    return true;
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

void Port::close() {
    {
        std::lock_guard lock(mutex_);
        closed_.store(true, std::memory_order_release);
        queue_.clear();
    }
    ready_->notify_all();
    if (Ring* ring = this->ring()) ring->doorbell(true);
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
}

std::shared_ptr<Port> make_port() {
    std::unique_ptr<Ring> ring;
    if (system_engine() == kEngineUring) ring = Ring::create();
    return std::make_shared<Port>(std::move(ring));
}

}  // namespace kiln::platform::emu
