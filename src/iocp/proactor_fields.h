// The state of one ProactorIo object.
#pragma once

#include "iocp/op.h"

#include <atomic>
#include <cstdint>
#include <unordered_map>

namespace kiln::iocp {

// Whether the system may still write a record: its I/O was started and has
// not yet been given its final status. The system writes that status before
// it queues the packet, so a record whose packet was dequeued is never in
// flight.
bool in_flight(const Op& op) noexcept;

// The operations in flight, keyed by record address. It owns every record in
// it; a record leaves it only through unregister_op, discard or release_all,
// so an address that is not registered touches no memory.
class Registry {
public:
    Registry() = default;
    Registry(Registry&& other) noexcept : ops_(std::move(other.ops_)) {}
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;
    // Records still here were left by a deallocation on another thread: the
    // system or the caller's code may still use them, so they stay allocated.
    ~Registry() = default;

    using Starter = platform::ErrorCode (*)(platform::Handle file, platform::Handle port, OwnedOp& op);

    // Registers a record whose I/O on `file` is about to start and returns
    // its address.
    std::uintptr_t register_op(OwnedOp op, platform::Handle file);
    // Starts the I/O of a registered record; the record stays registered
    // whatever happens. Returns the code of a failed post, else 0.
    platform::ErrorCode start(std::uintptr_t addr, Starter starter, platform::Handle port);
    // The record under `addr`, still registered; null if there is none.
    const Op* find(std::uintptr_t addr);
    OwnedOp unregister_op(std::uintptr_t addr);
    // Releases the record under `addr` once the system has finished with it;
    // one still in flight is asked to cancel and stays registered, so that
    // the reaping after its packet frees it.
    void discard(std::uintptr_t addr);
    // Releases every record that the system has finished with and asks it to
    // cancel the others, which are given up without being freed: the system
    // may still write them.
    void release_all();
    std::size_t size() const noexcept { return ops_.size(); }

private:
    struct Entry {
        Op* op;
        platform::Handle file;  // what a cancellation names
    };
    // Held while the registry is in use: a record's release runs arbitrary
    // Python code, which must not find the registry half-changed.
    class Hold;

    static void release_or_cancel(const Entry& entry) noexcept;

    std::unordered_map<std::uintptr_t, Entry> ops_;
    bool held_ = false;
};

class ProactorFields {
public:
    explicit ProactorFields(std::intptr_t port) : port_(port) {}
    ProactorFields(ProactorFields&& other) noexcept
        : next_id_(other.next_id_.load()), ops_(std::move(other.ops_)), port_(other.port_) {}

    std::uint64_t take_next_id() noexcept { return take_id(next_id_); }
    Registry& ops() noexcept { return ops_; }
    platform::Handle port() const noexcept { return reinterpret_cast<platform::Handle>(port_); }

private:
    std::atomic<std::uint64_t> next_id_{1};
    Registry ops_;
    std::intptr_t port_;  // the loop's port: borrowed, never closed
};

}  // namespace kiln::iocp
