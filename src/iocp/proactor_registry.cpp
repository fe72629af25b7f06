// The registry of ProactorIo operations.
#include "iocp/proactor_fields.h"

#include <type_traits>
#include <utility>

namespace kiln::iocp {

bool in_flight(const Op& op) noexcept {
    if (op.error != 0) {
        return false;  // never handed to the system: posted by hand
    }
    // The system writes the status from another thread.
    using Status = std::remove_cv_t<decltype(op.overlapped.Internal)>;
    std::atomic_ref<Status> status(const_cast<Status&>(op.overlapped.Internal));
    return status.load(std::memory_order_acquire) == platform::kStatusPending;
}

class Registry::Hold {
public:
    explicit Hold(Registry& registry) : held_(registry.held_) {
        if (held_) {
            internal_failure("the ProactorIo operation registry is used while it is already in use");
        }
        held_ = true;
    }
    ~Hold() { held_ = false; }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    bool& held_;
};

std::uintptr_t Registry::register_op(OwnedOp op, platform::Handle file) {
    Hold hold(*this);
    auto addr = reinterpret_cast<std::uintptr_t>(op.get());
    auto [where, inserted] = ops_.try_emplace(addr, Entry{op.get(), file});
    if (!inserted) {
        // A live record's address cannot repeat: the entry's record is this
        // very block, so it must stay allocated.
        (void)op.release();
        internal_failure("an operation address was registered twice");
    }
    (void)op.release();
    return addr;
}

platform::ErrorCode Registry::start(std::uintptr_t addr, Starter starter, platform::Handle port) {
    Hold hold(*this);
    auto where = ops_.find(addr);
    if (where == ops_.end()) {
        internal_failure("an operation was started without being registered");
    }
    const Entry& entry = where->second;
    // The starters take an owner they can hand the record over with; lend
    // them one that never frees it, since the registry keeps it either way.
    struct Lent {
        OwnedOp op;
        ~Lent() { (void)op.release(); }
    } lent{OwnedOp(entry.op)};
    return starter(entry.file, port, lent.op);
}

const Op* Registry::find(std::uintptr_t addr) {
    Hold hold(*this);
    auto where = ops_.find(addr);
    return where == ops_.end() ? nullptr : where->second.op;
}

OwnedOp Registry::unregister_op(std::uintptr_t addr) {
    Hold hold(*this);
    auto where = ops_.find(addr);
    if (where == ops_.end()) {
        return OwnedOp();
    }
    OwnedOp op(where->second.op);
    ops_.erase(where);
    return op;
}

void Registry::discard(std::uintptr_t addr) {
    Hold hold(*this);
    auto where = ops_.find(addr);
    if (where == ops_.end()) {
        return;
    }
    if (in_flight(*where->second.op)) {
        // Not examined: an operation that finished meanwhile is reaped all the same.
        platform::cancel_io(where->second.file, &where->second.op->overlapped);
        return;
    }
    OwnedOp op(where->second.op);
    ops_.erase(where);
    op.reset();  // still held: the release may run Python code
}

void Registry::release_or_cancel(const Entry& entry) noexcept {
    if (in_flight(*entry.op)) {
        platform::cancel_io(entry.file, &entry.op->overlapped);
    } else {
        op_release(entry.op);
    }
}

void Registry::release_all() {
    Hold hold(*this);
    auto ops = std::exchange(ops_, {});
    for (const auto& [addr, entry] : ops) {
        release_or_cancel(entry);
    }
}

}  // namespace kiln::iocp
