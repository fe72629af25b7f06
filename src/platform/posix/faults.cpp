// Fault injection: the next call of a named operation fails with a chosen code.
#include "platform/posix/emu.h"

#include <algorithm>
#include <array>

namespace kiln::platform::emu {
namespace {

constexpr std::array<std::string_view, static_cast<std::size_t>(Operation::Count)> kOperationNames{
    "CreateIoCompletionPort",
    "AssociatePort",
    "CreateFileW",
    "ReadFile",
    "WriteFile",
    "CloseHandle",
    "PostQueuedCompletionStatus",
    "GetQueuedCompletionStatusEx",
    "CreateThread",
    "WaitForSingleObject",
    "CancelIoEx",
    "HeapAlloc",
    // start_call refuses the next call: nothing starts, nothing is posted.
    "FileCall",
    // The calls' own failure points: the call completes with the code.
    "GetFileSizeEx",
    "SetEndOfFile",
    "FlushFileBuffers",
    // These take an errno value: the next worker thread fails to start, the
    // next submission to a ring or the next blocking wait on one fails so.
    "WorkerThread",
    "RingSubmit",
    "RingWait",
};

// One atomic slot per operation: nothing to lock, so nothing a fork can catch
// half-held, and nothing to pay while no failure is armed.
class FaultPlan {
public:
    void arm(Operation operation, ErrorCode error) {
        auto& slot = armed_[index(operation)];
        if (slot.exchange(error | kArmed, std::memory_order_acq_rel) == 0) {
            armed_count_.fetch_add(1, std::memory_order_release);
        }
    }

    // Consumes the failure armed for `operation`, if any.
    std::optional<ErrorCode> take(Operation operation) {
        if (armed_count_.load(std::memory_order_acquire) == 0) return std::nullopt;
        std::uint64_t armed = armed_[index(operation)].exchange(0, std::memory_order_acq_rel);
        if (armed == 0) return std::nullopt;
        armed_count_.fetch_sub(1, std::memory_order_release);
        return static_cast<ErrorCode>(armed);
    }

private:
    static constexpr std::uint64_t kArmed = std::uint64_t{1} << 32;
    static std::size_t index(Operation operation) { return static_cast<std::size_t>(operation); }

    std::array<std::atomic<std::uint64_t>, kOperationNames.size()> armed_{};
    std::atomic<int> armed_count_{0};
};

// Outlives static destruction on purpose: detached threads (the I/O workers,
// the module's own threads) may still reach it at exit.
FaultPlan& faults() {
    static auto* plan = new FaultPlan;
    return *plan;
}

}  // namespace

bool injected(Operation operation) {
    auto error = faults().take(operation);
    if (error) t_last_error = *error;
    return error.has_value();
}

std::optional<int> injected_errno(Operation operation) {
    auto error = faults().take(operation);
    if (!error) return std::nullopt;
    return static_cast<int>(*error);
}

bool arm_fault(std::string_view name, ErrorCode error) {
    auto found = std::find(kOperationNames.begin(), kOperationNames.end(), name);
    if (found == kOperationNames.end()) return false;
    faults().arm(static_cast<Operation>(found - kOperationNames.begin()), error);
    return true;
}

}  // namespace kiln::platform::emu
