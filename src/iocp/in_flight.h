// The operations of one Iocp whose packets have not been delivered yet: so
// that one can be cancelled by its id, and so that a stop can cancel what is
// left and wait until the system is done with every record before the thread
// ends (a record whose packet nobody dequeues would never be freed).
//
// Changed only under the interpreter lock: by the submissions on the owner
// thread, and by the deliveries and releases on the completion thread. A
// record is listed before its operation starts and leaves the list when it
// is released, so the list never holds a freed record.
#pragma once

#include "iocp/op.h"

#include <cstddef>
#include <cstdint>

namespace kiln::iocp {

class InFlight {
public:
    InFlight() = default;
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;

    // `file` is what a cancellation names; null for operations that cannot
    // be cancelled (calls and posted records).
    void link(Op* op, platform::Handle file) noexcept {
        op->tracker = this;
        op->file = file;
        op->prev = nullptr;
        op->next = first_;
        if (first_) {
            first_->prev = op;
        }
        first_ = op;
        ++count_;
    }

    void unlink(Op* op) noexcept {
        (op->prev ? op->prev->next : first_) = op->next;
        if (op->next) {
            op->next->prev = op->prev;
        }
        op->tracker = nullptr;
        op->prev = op->next = nullptr;
        --count_;
    }

    bool empty() const noexcept { return first_ == nullptr; }
    std::size_t size() const noexcept { return count_; }

    // Asks the system to stop operation `id` (every read of a group shares
    // its id). False when none is in flight (done, unknown, or one that
    // cannot be cancelled).
    bool cancel(std::uint64_t id) const noexcept {
        bool asked = false;
        for (Op* op = first_; op; op = op->next) {
            if (op->id == id && op->file && platform::cancel_io(op->file, &op->overlapped)) {
                asked = true;
            }
        }
        return asked;
    }

    // Asks the system to stop every operation that can be stopped.
    void cancel_all() const noexcept {
        for (Op* op = first_; op; op = op->next) {
            if (op->file) {
                platform::cancel_io(op->file, &op->overlapped);
            }
        }
    }

private:
    Op* first_ = nullptr;
    std::size_t count_ = 0;
};

}  // namespace kiln::iocp
