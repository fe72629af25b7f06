// The engine of an Iocp: its completion port and its completion thread, from
// start to stop.
//
// What becomes of a running engine:
// - shutdown(), or its object freed on the owner thread: the owner posts the
//   stop packet, waits for the thread with the interpreter lock released
//   (the thread needs the lock for its last batch), then closes the thread's
//   handle and the port. This is the joined stop.
// - Its object freed on a completion thread (the cyclic collector runs
//   wherever Python code allocates, and completion threads run Python code):
//   a thread cannot join itself, and one completion thread must not block on
//   another, so the engine is detached: it gets the stop packet and its
//   thread closes its own handle and port when it ends.
// - Its object freed on another thread of the user's: reported as dropped on
//   another thread; the engine runs on until its interpreter exits.
// - The interpreter exits: see running_engines.h. In short, the exit step of
//   the engine's interpreter detaches it and waits until its thread has
//   ended, as it waits for every stop that another thread has under way.
//   Engines made later, by later exit callbacks, work as usual until
//   finalization proper.
// - Finalization proper: an engine stopped then is detached, and a completion
//   thread whose wait returns then ends without asking for the interpreter
//   lock, which would end it where it stands (3.12, 3.13) or block it for
//   ever (newer versions).
// - fork: the child has none of the parent's completion threads; it lets go
//   of every engine, closing nothing, and their objects count as shut down.
#pragma once

#include "frame/failure.h"
#include "iocp/in_flight.h"
#include "platform/owned_handle.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace kiln::iocp {

using platform::OwnedHandle;

enum class EngineState : std::uint8_t {
    Running,   // listed; the thread serves the port
    Joining,   // listed; the owner posted the stop packet and waits for the thread
    Detached,  // listed; the thread ends on its own and closes the handles
    Stopped,   // unlisted; the handles are closed, or were let go of
};

struct Engine : std::enable_shared_from_this<Engine> {
    OwnedHandle port;
    OwnedHandle thread;
    std::int64_t interpreter = 0;  // the one whose exit step stops it
    // Changed under the running list's lock; read without it by submissions.
    std::atomic<EngineState> state{EngineState::Running};
    // The stop packet could not be posted: the thread takes what the port
    // holds without waiting, and ends.
    std::atomic<bool> stop_unposted{false};
    // Set once the thread is past its start-up and about to wait on the port.
    class StartSignal {
    public:
        void set();
        void wait();

    private:
        std::mutex mutex_;
        std::condition_variable changed_;
        bool started_ = false;  // guarded by mutex_
    } started;

    // Under the interpreter lock: what the port still owes a packet for.
    InFlight in_flight;

    // Guarded by the running list's lock.
    bool thread_ended = false;  // the thread left its loop before any stopper came
    Engine* prev = nullptr;     // links of the running list
    Engine* next = nullptr;
};

using EngineRef = std::shared_ptr<Engine>;

// Creates the port, starts the completion thread (which takes over both
// references) and lists the engine. A port that cannot be created is an
// OSError; a thread that cannot be started, an internal failure.
Result<EngineRef> start_engine(PyRef& loop_obj, PyRef& on_complete);

// Stops the engine unless a stop is done or under way. The caller holds the
// interpreter lock. Joined on a user's thread, detached on a completion
// thread or during finalization. A stop that another party has under way is
// waited for when the caller may wait.
void stop_engine(const EngineRef& engine);

// The detached stop: the exit step's and the collector's. Returns at once.
void detach_engine(const EngineRef& engine);

// Posts the stop packet, trying again after short pauses. If it still fails,
// sets stop_unposted and returns false.
bool send_stop(Engine& engine);

// Starts the completion thread of `engine` (iocp_thread.cpp).
OwnedHandle start_completion_thread(PyRef& loop_obj, PyRef& on_complete, const EngineRef& engine);

}  // namespace kiln::iocp
