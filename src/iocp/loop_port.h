// LoopPort: a completion port that the event loop's own thread reaps, with
// no completion thread. The loop watches fileno() for reading and calls
// reap() when it turns readable; reads and writes wait in the port until
// flush(), which the loop calls once per turn.
//
// A class of its own rather than a mode of Iocp: an Iocp is its completion
// thread (its start, its stop from any thread, the exit step, the drain on
// that thread), and none of that exists here. What both share is every
// submission (submit.h) and the completion tuples (completion.h).
#pragma once

#include "frame/failure.h"
#include "iocp/in_flight.h"
#include "iocp/submit.h"
#include "platform/owned_handle.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace kiln::iocp {

class LoopFields {
public:
    struct State {
        platform::OwnedHandle port;
        InFlight in_flight;
        unsigned forks = 0;    // the process's fork count when it was made
        bool stopped = false;
        bool at_once = true;   // reads try the file cache first
    };

    explicit LoopFields(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
    LoopFields(LoopFields&& other) noexcept
        : next_id_(other.next_id_.load()), state_(std::move(other.state_)) {}
    LoopFields(const LoopFields&) = delete;
    LoopFields& operator=(const LoopFields&) = delete;
    LoopFields& operator=(LoopFields&&) = delete;
    ~LoopFields() = default;

    // Until shutdown; never in a child forked after it was made.
    bool running() const noexcept;
    bool forked() const noexcept;
    State& state() noexcept { return *state_; }
    platform::Handle port() const noexcept { return state_->port.get(); }
    Submitter submitter() noexcept { return {state_->port.get(), next_id_, state_->in_flight}; }
    std::atomic<std::uint64_t>& next_id() noexcept { return next_id_; }
    static Failure shut_down();

private:
    std::atomic<std::uint64_t> next_id_{1};
    std::unique_ptr<State> state_;
};

struct LoopClass {
    using Fields = LoopFields;
    static constexpr const char* kTypePath = "_kiln::iocp::LoopPort";
    // Destruction on the owner thread: as shutdown().
    static void teardown(LoopFields& fields);
};

Result<LoopFields> construct_loop_port(bool at_once);
Result<PyRef> loop_fileno(LoopFields& self);
Result<PyRef> loop_flush(LoopFields& self);
Result<PyRef> loop_reap(LoopFields& self);
Result<PyRef> loop_submit_close(LoopFields& self, std::intptr_t handle);
Result<PyRef> loop_cancel(LoopFields& self, std::uint64_t id);
Result<PyRef> loop_file_type(LoopFields& self, std::intptr_t handle);
Status loop_shutdown(LoopFields& self);

// What the cache holds comes back at once as bytes (short where only part
// of it was there); the rest is submitted, and its id comes back instead.
Result<PyRef> loop_read(LoopFields& self, std::intptr_t handle, std::uint64_t offset, std::uint32_t len);
// The same for every (offset, size) of `requests`, a list: the list of
// bytes when the cache held everything, else the id of one completion whose
// data is that list, once the reads that had to wait are done. A read the
// cache held only the first part of goes on through the engine, so a list
// given at once holds every read whole, or short at the end of the file.
Result<PyRef> loop_read_many(LoopFields& self, std::intptr_t handle, PyRef& requests);

}  // namespace kiln::iocp
