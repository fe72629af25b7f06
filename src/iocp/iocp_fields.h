// The state of one Iocp object: its operation counter and its engine.
#pragma once

#include "iocp/iocp_engine.h"
#include "iocp/op.h"
#include "iocp/submit.h"

#include <atomic>
#include <cstdint>
#include <utility>

namespace kiln::iocp {

class IocpFields {
public:
    explicit IocpFields(EngineRef engine) noexcept : engine_(std::move(engine)) {}
    IocpFields(IocpFields&& other) noexcept
        : next_id_(other.next_id_.load()), engine_(std::move(other.engine_)) {}
    IocpFields(const IocpFields&) = delete;
    IocpFields& operator=(const IocpFields&) = delete;
    IocpFields& operator=(IocpFields&&) = delete;
    ~IocpFields() = default;

    std::uint64_t take_next_id() noexcept { return take_id(next_id_); }
    // Until a stopper claims the engine. Submissions check it under the
    // interpreter lock, which every claim holds too.
    bool running() const noexcept {
        return engine_ && engine_->state.load(std::memory_order_acquire) == EngineState::Running;
    }
    // Valid only while running.
    platform::Handle port() const noexcept { return engine_->port.get(); }
    platform::Handle thread() const noexcept { return engine_->thread.get(); }
    const EngineRef& engine() const noexcept { return engine_; }
    // What a submission goes through; valid only while running.
    Submitter submitter() noexcept { return {engine_->port.get(), next_id_, engine_->in_flight}; }
    static Failure shut_down();

private:
    std::atomic<std::uint64_t> next_id_{1};
    EngineRef engine_;
};

}  // namespace kiln::iocp
