// The state of one Iocp object: its operation counter, and the engine that
// holds its completion port and completion thread.
#pragma once

#include "iocp/op.h"
#include "platform/owned_handle.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

namespace kiln::iocp {

using platform::OwnedHandle;

enum class ThreadOutcome : std::uint8_t { Running, Ended, Failed };

// Where the completion thread leaves how it ended. Shared with the thread,
// because a thread whose join failed may still write it.
using OutcomeSlot = std::shared_ptr<std::atomic<ThreadOutcome>>;

// A started completion thread: its handle and its outcome slot. Empty once
// joined or moved from.
class CompletionThread {
public:
    CompletionThread() noexcept = default;
    CompletionThread(OwnedHandle handle, OutcomeSlot outcome) noexcept
        : handle_(std::move(handle)), outcome_(std::move(outcome)) {}

    explicit operator bool() const noexcept { return static_cast<bool>(handle_); }
    platform::Handle handle() const noexcept { return handle_.get(); }
    // Waits for the thread with the interpreter lock released (the thread
    // needs it to finish its last batch), then closes the handle. A failed
    // wait closes the handle too and fails internally. The caller holds the
    // interpreter lock.
    ThreadOutcome join();
    // Lets go of a thread that does not exist in this process (a forked
    // child), closing nothing.
    void forget() noexcept {
        static_cast<void>(handle_.release());
        outcome_.reset();
    }

private:
    OwnedHandle handle_;
    OutcomeSlot outcome_;
};

// The port and the thread of a running object, taken out together by the
// stop sequence. It lives in a block of its own, so that the process-wide
// list of running engines can reach it however the Python object ends.
struct Engine {
    OwnedHandle port;
    CompletionThread thread;  // present while the object runs
};

class IocpFields {
public:
    IocpFields() = default;
    explicit IocpFields(std::unique_ptr<Engine> engine) noexcept : engine_(std::move(engine)) {}
    IocpFields(IocpFields&& other) noexcept
        : next_id_(other.next_id_.load()), engine_(std::move(other.engine_)) {}
    IocpFields(const IocpFields&) = delete;
    IocpFields& operator=(const IocpFields&) = delete;
    IocpFields& operator=(IocpFields&&) = delete;
    ~IocpFields();

    std::uint64_t take_next_id() noexcept { return take_id(next_id_); }
    // Running until the stop sequence takes the thread out.
    bool running() const noexcept { return engine_ && engine_->thread; }
    // Valid only while running.
    platform::Handle port() const noexcept { return engine_->port.get(); }
    Engine* engine() noexcept { return engine_.get(); }

private:
    std::atomic<std::uint64_t> next_id_{1};
    std::unique_ptr<Engine> engine_;
};

}  // namespace kiln::iocp
