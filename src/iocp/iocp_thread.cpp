// The completion thread: waits on the port, turns each batch of finished
// records into completion tuples under one acquisition of the interpreter
// lock, and hands the batch to the event loop.
#include "iocp/call_data.h"
#include "iocp/iocp_engine.h"
#include "iocp/op.h"
#include "iocp/open_flags.h"
#include "iocp/running_engines.h"

#include "frame/frame.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <new>

namespace kiln::iocp {
namespace {

using platform::ErrorCode;
using platform::OverlappedEntry;

// Owned by the thread from its first instruction.
struct ThreadContext {
    // In this order, so that on_complete is dropped before loop_obj.
    PyRef loop_obj;
    PyRef on_complete;
    platform::Handle port;  // borrowed: its stopper closes it
    EngineRef engine;
};

using Entries = std::array<OverlappedEntry, platform::kMaxBatch>;

// Under the lock the exception goes at once.
void discard_exception() noexcept { PyRef::steal(PyErr_GetRaisedException()); }

std::int64_t result_of_call(const platform::FileCall& call) noexcept {
    switch (call.kind) {
        case platform::CallKind::Open: return from_handle(call.opened);
        case platform::CallKind::Size: return static_cast<std::int64_t>(call.size);
        default: return 0;
    }
}

std::int64_t result_of(const Op& op, std::uint32_t count) noexcept {
    switch (op.kind) {
        case OpKind::Open: return from_handle(op.opened_handle);
        case OpKind::Close: return 0;
        case OpKind::Call: return result_of_call(op.call);
        default: return count;
    }
}

PyRef data_of(Op& op, ErrorCode outcome, std::uint32_t count) {
    if (op.kind == OpKind::Read && outcome == 0) {
        return op_read_bytes(op, count);
    }
    if (op.kind == OpKind::Call) return call_data(op.call, outcome);
    return PyRef::borrow(Py_None);
}

// (id, outcome, result, data)
PyRef completion_tuple(Op& op, std::uint32_t count) {
    ErrorCode outcome = op_outcome(op);
    PyRef data = data_of(op, outcome, count);
    PyRef id = created(PyLong_FromUnsignedLongLong(op.id));
    PyRef error = created(PyLong_FromLong(static_cast<std::int32_t>(outcome)));
    PyRef result = created(PyLong_FromLongLong(result_of(op, count)));
    PyRef tuple = created(PyTuple_New(4));
    PyObject* items[] = {id.release(), error.release(), result.release(), data.release()};
    for (Py_ssize_t index = 0; index < 4; ++index) {
        PyTuple_SetItem(tuple.get(), index, items[index]);
    }
    return tuple;
}

// A tuple that cannot be appended is a lost completion, not a failure.
void append(PyObject* batch, const PyRef& tuple) {
    if (PyList_Append(batch, tuple.get()) < 0) {
        discard_exception();
    }
}

// A loop that is closed or has no such method loses the batch; the thread
// goes on serving.
void hand_over(const ThreadContext& context, PyObject* batch) {
    PyRef name = created(PyUnicode_FromString("call_soon_threadsafe"));
    PyObject* args[] = {context.loop_obj.get(), context.on_complete.get(), batch};
    PyRef returned = PyRef::steal(
        PyObject_VectorcallMethod(name.get(), args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    name.reset();
    if (!returned) {
        discard_exception();
    }
}

// Once the stop packet has come, the thread still serves the port until
// every record it owes a packet for has been released: what can be cancelled
// is cancelled, the rest finishes by itself. A record nobody dequeues would
// never be freed, and neither would its buffer.
constexpr std::uint32_t kDrainLimitMs = 10000;

struct Stopping {
    bool requested = false;
    std::chrono::steady_clock::time_point deadline;

    std::uint32_t wait_ms() const {
        if (!requested) {
            return platform::kInfinite;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        return left.count() > 0 ? static_cast<std::uint32_t>(left.count()) : 0;
    }
};

// One batch, under one acquisition of the lock. Every record is released
// right after its tuple is built. False once the stop packet has come and
// nothing is left in flight: that batch is the thread's last, and its
// release deletes the thread state.
bool deliver(const ThreadContext& context, KeptThreadState& kept, const Entries& entries, std::uint32_t removed,
             Stopping& stopping) {
    GilScope locked;
    kept.hold();
    PyRef batch = created(PyList_New(0));
    bool stop = false;
    for (std::uint32_t index = 0; index < removed; ++index) {
        const OverlappedEntry& entry = entries[index];
        if (!entry.lpOverlapped) {
            stop = stop || entry.lpCompletionKey == platform::kStopKey;
            continue;
        }
        OwnedOp op(reinterpret_cast<Op*>(entry.lpOverlapped));
        append(batch.get(), completion_tuple(*op, entry.dwNumberOfBytesTransferred));
    }
    if (PyList_Size(batch.get()) > 0) {
        hand_over(context, batch.get());
    }
    InFlight& in_flight = context.engine->in_flight;
    if (stop && !stopping.requested) {
        stopping.requested = true;
        stopping.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainLimitMs);
        in_flight.cancel_all();
    }
    if (stopping.requested && in_flight.empty()) {
        kept.let_go();
        return false;
    }
    return true;
}

void serve(const ThreadContext& context, KeptThreadState& kept) {
    Entries entries{};
    const Engine& engine = *context.engine;
    Stopping stopping;
    for (;;) {
        // Without a stop packet the port is emptied without waiting.
        bool draining = engine.stop_unposted.load(std::memory_order_acquire);
        std::uint32_t removed = 0;
        if (!platform::wait(context.port, entries.data(), platform::kMaxBatch, &removed,
                            draining ? 0 : stopping.wait_ms())) {
            return;  // the port is gone or emptied, or what is left outlived the drain
        }
        if (interpreter_finalizing()) {
            // The lock is not to be had any more. The records just dequeued
            // stay allocated: their references cannot be dropped without it.
            return;
        }
        if (!deliver(context, kept, entries, std::min(removed, platform::kMaxBatch), stopping)) {
            return;
        }
    }
}

// Tells the list that the thread has ended, however it ends, and closes
// what a detached engine leaves to its thread.
struct EndOfThread {
    Engine& engine;
    ~EndOfThread() { static_cast<void>(engine_thread_ended(engine)); }
};

// Catches only the module's own failures. On 3.12 and 3.13 the interpreter
// ends a thread that asks for its lock during finalization by unwinding it
// (a forced unwind, not an exception): nothing here may stop that unwind or
// be noexcept, and the scopes it passes release only what they hold.
void completion_main(void* raw) {
    std::unique_ptr<ThreadContext> context(static_cast<ThreadContext*>(raw));
    ModuleThreadScope module_thread;
    EndOfThread end{*context->engine};
    context->engine->started.set();
    KeptThreadState kept;
    try {
        serve(*context, kept);
    } catch (const InternalError&) {
        // its diagnostic is written already; the stop sequence discards the outcome
    } catch (const std::bad_alloc&) {
        allocation_failed(0);
    }
    // Before the list hears of the end: the exit step waits for that, and
    // the interpreter must not start finalizing while this may take the lock.
    kept.let_go_at_end();
    // This thread is outside any call: both references go to the deferred list.
    context->on_complete.reset();
    context->loop_obj.reset();
}

}  // namespace

OwnedHandle start_completion_thread(PyRef& loop_obj, PyRef& on_complete, const EngineRef& engine) {
    auto context = std::make_unique<ThreadContext>(
        ThreadContext{std::move(loop_obj), std::move(on_complete), engine->port.get(), engine});
    platform::Handle thread = platform::start_thread(&completion_main, context.get(), platform::kCompletionThreadStack);
    if (!thread) {
        ErrorCode code = platform::last_error();
        context.reset();
        internal_failure("failed to spawn thread: " + platform::describe_error(code));
    }
    context.release();  // the thread's now
    return OwnedHandle(thread);
}

}  // namespace kiln::iocp
