// Starting and stopping the engine of an Iocp (its port and completion
// thread), and what becomes of running engines when the interpreter exits.
#pragma once

#include "iocp/iocp_fields.h"

#include <memory>

namespace kiln::iocp {

// Registers, once per process, the exit hook that stops every running engine.
Status ensure_exit_hook();

// True once the exit hook has run: completion threads no longer take the
// interpreter lock from then on.
bool interpreter_exiting() noexcept;

// Creates the port and starts the completion thread, which takes over both
// references. A port that cannot be created is an OSError; a thread that
// cannot be started, an internal failure.
Result<std::unique_ptr<Engine>> start_engine(PyRef& loop_obj, PyRef& on_complete);

// The stop sequence, when the engine still runs. The caller holds the
// interpreter lock.
void stop_engine(Engine& engine);

// Starts the completion thread on `port` (iocp_thread.cpp).
CompletionThread start_completion_thread(PyRef& loop_obj, PyRef& on_complete, platform::Handle port);

}  // namespace kiln::iocp
