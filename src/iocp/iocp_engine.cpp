#include "iocp/iocp_engine.h"

#include "frame/frame.h"

#include <mutex>
#include <set>
#include <vector>

namespace kiln::iocp {
namespace {

// Every engine whose thread has not been taken out yet. An engine stays here
// even when its object is dropped on a foreign thread, which leaves it alive.
struct RunningEngines {
    std::mutex mutex;
    std::set<Engine*> engines;  // guarded by mutex
};

// Never destroyed: a daemon thread may still stop an Iocp while the process exits.
RunningEngines& running_engines() {
    static auto* engines = new RunningEngines;
    return *engines;
}

std::atomic<bool> g_exiting{false};
OnceFlag g_exit_hook_once;
std::atomic<bool> g_exit_hook_registered{false};

void enlist(Engine& engine) {
    RunningEngines& running = running_engines();
    std::lock_guard lock(running.mutex);
    running.engines.insert(&engine);
}

// Takes the port and the thread out together with the removal from the list,
// so that of two stoppers (the owner and the exit hook) exactly one gets
// them, and the other leaves the engine alone.
Engine take_out(Engine& engine) {
    RunningEngines& running = running_engines();
    std::lock_guard lock(running.mutex);
    running.engines.erase(&engine);
    return engine.thread ? std::move(engine) : Engine{};
}

std::vector<Engine> take_out_all() {
    RunningEngines& running = running_engines();
    std::lock_guard lock(running.mutex);
    std::vector<Engine> taken;
    for (Engine* engine : running.engines) {
        taken.push_back(std::move(*engine));
    }
    running.engines.clear();
    return taken;
}

void run_stop_sequence(Engine taken) {
    if (!platform::post(taken.port.get(), 0, platform::kStopKey, nullptr)) {
        // Without its stop packet the thread would wait for ever; a closed
        // port ends its wait instead.
        taken.port.reset();
    }
    try {
        taken.thread.join();  // the outcome is dropped: a failed thread has reported itself
    } catch (const InternalError&) {
        taken.port.release();  // the thread may still be waiting on it
        throw;
    }
    taken.port.reset();
}

// Exit while an Iocp runs. Once finalization has begun, a thread that asks
// for the interpreter lock is ended where it stands (3.12, 3.13) or blocked
// for ever (newer versions), so a stop sequence run by a deallocation at
// exit would wait for a thread that can never finish its last batch. atexit
// callbacks run while the interpreter is still whole, before finalization:
// this hook stops every running engine there, waiting with the lock released
// so that each thread can finish its batch. It first sets the exiting flag,
// after which no completion thread asks for the lock again; an engine
// started or stopped later (by a later atexit callback, or a deallocation
// during finalization) thus never waits on the lock either. Records that the
// system may still write stay allocated, as always. atexit runs its callbacks
// last-registered first: callbacks registered before the first Iocp was
// made run after this hook and find every Iocp shut down.
PyObject* stop_running_engines(PyObject*, PyObject*) noexcept {
    return run_frame([]() -> Result<PyRef> {
        g_exiting.store(true, std::memory_order_release);
        for (Engine& taken : take_out_all()) {
            try {
                run_stop_sequence(std::move(taken));
            } catch (const InternalError& error) {
                report_internal_unraisable(error);
            }
        }
        return PyRef::borrow(Py_None);
    });
}

PyMethodDef g_exit_hook_def = {"stop_running_iocps", &stop_running_engines, METH_NOARGS, nullptr};

// Calls module.function(hook) with `keyword` naming the hook, if given.
Status register_hook(const char* module_name, const char* function, PyMethodDef& definition,
                     const char* keyword) {
    PyRef module = PyRef::steal(PyImport_ImportModule(module_name));
    PyRef hook = module ? PyRef::steal(PyCFunction_New(&definition, nullptr)) : PyRef();
    if (!hook) {
        return Failure::fetch();
    }
    PyRef name = created(PyUnicode_FromString(function));
    PyRef keywords = keyword ? created(Py_BuildValue("(s)", keyword)) : PyRef();
    PyObject* args[] = {module.get(), hook.get()};
    std::size_t positional = keyword ? 1 : 2;
    PyRef registered = PyRef::steal(PyObject_VectorcallMethod(
        name.get(), args, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords.get()));
    if (!registered) {
        return Failure::fetch();
    }
    return std::nullopt;
}

#ifndef _WIN32
// A child made by fork has no completion threads, and its ports are the
// parent's: stopping an engine there would wait for ever on a thread that
// does not exist. Every engine is let go of, closing nothing, and its object
// counts as shut down in the child.
PyObject* forget_engines_in_child(PyObject*, PyObject*) noexcept {
    return run_frame([]() -> Result<PyRef> {
        for (Engine& taken : take_out_all()) {
            static_cast<void>(taken.port.release());
            taken.thread.forget();
        }
        return PyRef::borrow(Py_None);
    });
}

PyMethodDef g_fork_hook_def = {"forget_iocps_in_child", &forget_engines_in_child, METH_NOARGS, nullptr};
#endif

Status register_process_hooks() {
    if (Status failed = register_hook("atexit", "register", g_exit_hook_def, nullptr)) {
        return failed;
    }
#ifndef _WIN32
    return register_hook("os", "register_at_fork", g_fork_hook_def, "after_in_child");
#else
    return std::nullopt;
#endif
}

}  // namespace

bool interpreter_exiting() noexcept { return g_exiting.load(std::memory_order_acquire); }

Status ensure_exit_hook() {
    if (g_exit_hook_registered.load(std::memory_order_acquire)) {
        return std::nullopt;
    }
    return run_once_unlocked(g_exit_hook_once, std::function<Status()>([]() -> Status {
        if (Status failed = register_process_hooks()) {
            return failed;
        }
        g_exit_hook_registered.store(true, std::memory_order_release);
        return std::nullopt;
    }));
}

Result<std::unique_ptr<Engine>> start_engine(PyRef& loop_obj, PyRef& on_complete) {
    OwnedHandle port(platform::create_port());
    if (!port) {
        return Failure::deferred(PyExc_OSError, "CreateIoCompletionPort failed");
    }
    auto engine = std::make_unique<Engine>();
    engine->thread = start_completion_thread(loop_obj, on_complete, port.get());
    engine->port = std::move(port);
    enlist(*engine);
    return engine;
}

void stop_engine(Engine& engine) {
    Engine taken = take_out(engine);
    if (taken.thread) {
        run_stop_sequence(std::move(taken));
    }
}

ThreadOutcome CompletionThread::join() {
    std::uint32_t waited = 0;
    platform::ErrorCode code = 0;
    {
        UnlockedScope unlocked;
        waited = platform::wait_for(handle_.get(), platform::kInfinite);
        if (waited == platform::kWaitFailed) {
            code = platform::last_error();
        }
    }
    handle_.reset();
    if (waited == platform::kWaitFailed) {
        internal_failure("failed to join on thread: " + platform::describe_error(code));
    }
    return outcome_->load(std::memory_order_acquire);
}

IocpFields::~IocpFields() {
    if (running()) {
        // Reached only when the object could not be made around a started
        // engine: it stays enlisted, and the exit hook stops it.
        static_cast<void>(engine_.release());
    }
}

}  // namespace kiln::iocp
