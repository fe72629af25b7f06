// The process-wide list of engines whose stop has not finished, and what it
// is for: the exit step and fork.
//
// An engine is listed from its start until its stop has finished: until the
// join returned, or until its detached thread ended. A listed engine is alive
// (its object, a stopper or its thread holds it).
//
// Exit: each interpreter that makes an Iocp registers an exit step in its own
// atexit. It runs while that interpreter is still whole: it detaches every
// running engine of that interpreter and waits, with the interpreter lock
// released, until no engine of it is listed any more, so that stops that
// other threads have under way finish before finalization could end those
// threads. It leaves no mark behind: an Iocp made or used by a later exit
// callback works, and finalization proper is recognised as such
// (interpreter_finalizing()).
//
// fork: the list's lock is taken before the fork and given back in both
// processes; the child lets go of every listed engine, closing nothing, and
// unlists it. The child's objects then count as shut down.
#pragma once

#include "iocp/iocp_engine.h"

#include <cstdint>

namespace kiln::iocp {

// The calling thread's interpreter. Needs the interpreter lock.
std::int64_t current_interpreter();

// Registers the exit step of the calling thread's interpreter, once.
Status ensure_exit_step();

void list_engine(Engine& engine);

// Hands a Running engine to a stopper: Joining or Detached. Not claimed,
// changing nothing, when another stopper has it or it is stopped. Detaching
// posts the stop packet; a detached engine whose thread already ended is
// unlisted instead and its handles handed to the caller to close.
struct Claim {
    bool claimed = false;
    OwnedHandle port;  // filled when the thread already ended
    OwnedHandle thread;
};
Claim claim_engine(Engine& engine, EngineState to);

// The end of a joined stop.
void unlist_engine(Engine& engine);

// Waits until `engine` is no longer listed. The caller has released the
// interpreter lock.
void wait_until_unlisted(const Engine& engine);

// Told by the completion thread as it ends, however it ends. A detached
// engine is unlisted, its handles handed back for the thread to close.
struct Leftovers {
    OwnedHandle port;
    OwnedHandle thread;
};
Leftovers engine_thread_ended(Engine& engine);

}  // namespace kiln::iocp
