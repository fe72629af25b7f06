// Per-object bookkeeping: the access state that guards an object against
// overlapping use from re-entrant Python code, and the owner thread.
#pragma once

#include "frame/failure.h"

#include <atomic>
#include <cstdint>
#include <optional>

namespace kiln {

struct Bookkeeping {
    std::atomic<std::int32_t> access{0};  // 0 free, n > 0 shared by n calls, -1 exclusive
    std::uint64_t owner = 0;              // current_thread_id() of the constructing thread
};

// Shared or exclusive use of one object for the length of a call. Conflicts
// fail at once; the state is never waited on.
class AccessGuard {
public:
    static std::optional<AccessGuard> shared(std::atomic<std::int32_t>& state) {
        std::int32_t seen = state.load(std::memory_order_acquire);
        while (seen != -1) {
            if (state.compare_exchange_weak(seen, seen + 1, std::memory_order_acq_rel)) {
                return AccessGuard(state, false);
            }
        }
        return std::nullopt;
    }
    static std::optional<AccessGuard> exclusive(std::atomic<std::int32_t>& state) {
        std::int32_t expected = 0;
        if (state.compare_exchange_strong(expected, -1, std::memory_order_acq_rel)) {
            return AccessGuard(state, true);
        }
        return std::nullopt;
    }
    static Failure shared_refused() { return Failure::deferred(PyExc_RuntimeError, "Already mutably borrowed"); }
    static Failure exclusive_refused() { return Failure::deferred(PyExc_RuntimeError, "Already borrowed"); }

    AccessGuard(AccessGuard&& other) noexcept : state_(other.state_), exclusive_(other.exclusive_) {
        other.state_ = nullptr;
    }
    AccessGuard(const AccessGuard&) = delete;
    AccessGuard& operator=(const AccessGuard&) = delete;
    AccessGuard& operator=(AccessGuard&&) = delete;
    ~AccessGuard() {
        if (!state_) {
            return;
        }
        if (exclusive_) {
            state_->store(0, std::memory_order_release);
        } else {
            state_->fetch_sub(1, std::memory_order_acq_rel);
        }
    }

private:
    AccessGuard(std::atomic<std::int32_t>& state, bool exclusive) : state_(&state), exclusive_(exclusive) {}
    std::atomic<std::int32_t>* state_;
    bool exclusive_;
};

// Fails internally unless the calling thread constructed the object.
void check_owner(const Bookkeeping& book, const char* type_path);

}  // namespace kiln
