#include "iocp/running_engines.h"

#include "frame/frame.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <set>
#include <vector>

#ifndef _WIN32
#include <pthread.h>
#endif

namespace kiln::iocp {
namespace {

// Links through the engines themselves, so that the fork child can empty it
// without the allocator, which another thread may have held at the fork.
struct RunningEngines {
    std::mutex mutex;
    std::condition_variable unlisted;  // an engine left the list
    Engine* first = nullptr;           // guarded by mutex
    std::set<std::int64_t> hooked;     // interpreters with an exit step; guarded by mutex
};

// Never destroyed: a daemon thread may still stop an engine while the process exits.
RunningEngines& running() {
    static auto* engines = new RunningEngines;
    return *engines;
}

void unlink(RunningEngines& list, Engine& engine) noexcept {
    (engine.prev ? engine.prev->next : list.first) = engine.next;
    if (engine.next) {
        engine.next->prev = engine.prev;
    }
    engine.prev = engine.next = nullptr;
    engine.state.store(EngineState::Stopped, std::memory_order_release);
}

bool listed_from(const RunningEngines& list, std::int64_t interpreter) {
    for (Engine* engine = list.first; engine; engine = engine->next) {
        if (engine->interpreter == interpreter) {
            return true;
        }
    }
    return false;
}

// Claims every running engine of `interpreter` for a detached stop.
std::vector<EngineRef> running_from(std::int64_t interpreter) {
    RunningEngines& list = running();
    std::lock_guard lock(list.mutex);
    std::vector<EngineRef> found;
    for (Engine* engine = list.first; engine; engine = engine->next) {
        if (engine->interpreter == interpreter && engine->state.load() == EngineState::Running) {
            found.push_back(engine->shared_from_this());
        }
    }
    return found;
}

// The exit step of one interpreter (see the header). Runs from its atexit.
PyObject* stop_engines_at_exit(PyObject*, PyObject*) {
    return run_frame([]() -> Result<PyRef> {
        std::int64_t interpreter = current_interpreter();
        for (const EngineRef& engine : running_from(interpreter)) {
            detach_engine(engine);
        }
        {
            UnlockedScope unlocked;  // the threads need the lock for their last batches
            RunningEngines& list = running();
            std::unique_lock lock(list.mutex);
            list.unlisted.wait(lock, [&] { return !listed_from(list, interpreter); });
        }
        return PyRef::borrow(Py_None);
    });
}

PyMethodDef g_exit_step_def = {"stop_running_iocps", &stop_engines_at_exit, METH_NOARGS, nullptr};

Status register_exit_step() {
    PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
    PyRef step = atexit ? PyRef::steal(PyCFunction_New(&g_exit_step_def, nullptr)) : PyRef();
    if (!step) {
        return Failure::fetch();
    }
    PyRef name = created(PyUnicode_FromString("register"));
    PyObject* args[] = {atexit.get(), step.get()};
    PyRef registered =
        PyRef::steal(PyObject_VectorcallMethod(name.get(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!registered) {
        return Failure::fetch();
    }
    return std::nullopt;
}

#ifndef _WIN32
void lock_before_fork() noexcept { running().mutex.lock(); }

void unlock_in_parent() noexcept { running().mutex.unlock(); }

// Only this thread exists in the child: the completion threads are the
// parent's, and their ports and handles are the parent's to close.
void let_go_in_child() noexcept {
    RunningEngines& list = running();
    while (Engine* engine = list.first) {
        static_cast<void>(engine->port.release());
        static_cast<void>(engine->thread.release());
        unlink(list, *engine);
    }
    // A parent thread that waited on it left state the child cannot clear.
    new (&list.unlisted) std::condition_variable;
    list.mutex.unlock();
}

[[maybe_unused]] const bool g_fork_handlers = [] {
    running();
    return pthread_atfork(&lock_before_fork, &unlock_in_parent, &let_go_in_child) == 0;
}();
#endif

}  // namespace

std::int64_t current_interpreter() { return PyInterpreterState_GetID(PyInterpreterState_Get()); }

Status ensure_exit_step() {
    std::int64_t interpreter = current_interpreter();
    RunningEngines& list = running();
    {
        std::lock_guard lock(list.mutex);
        if (list.hooked.count(interpreter)) {
            return std::nullopt;
        }
    }
    // Not under the lock: registering runs Python code. Two threads that both
    // get here register two steps, and the second finds nothing to do.
    if (Status failed = register_exit_step()) {
        return failed;
    }
    std::lock_guard lock(list.mutex);
    list.hooked.insert(interpreter);
    return std::nullopt;
}

void list_engine(Engine& engine) {
    RunningEngines& list = running();
    std::lock_guard lock(list.mutex);
    engine.prev = nullptr;
    engine.next = list.first;
    if (list.first) {
        list.first->prev = &engine;
    }
    list.first = &engine;
}

Claim claim_engine(Engine& engine, EngineState to) {
    RunningEngines& list = running();
    Claim claim;
    {
        std::lock_guard lock(list.mutex);
        if (engine.state.load() != EngineState::Running) {
            return claim;
        }
        claim.claimed = true;
        if (!engine.thread_ended || to != EngineState::Detached) {
            engine.state.store(to, std::memory_order_release);
            if (to == EngineState::Detached) {
                // Under the lock: once detached, the thread may end and close
                // the port, whose value may then name another object.
                send_stop(engine);
            }
            return claim;
        }
        claim.port = std::move(engine.port);
        claim.thread = std::move(engine.thread);
        unlink(list, engine);
    }
    list.unlisted.notify_all();
    return claim;
}

void unlist_engine(Engine& engine) {
    RunningEngines& list = running();
    {
        std::lock_guard lock(list.mutex);
        unlink(list, engine);
    }
    list.unlisted.notify_all();
}

void wait_until_unlisted(const Engine& engine) {
    RunningEngines& list = running();
    std::unique_lock lock(list.mutex);
    list.unlisted.wait(lock, [&] { return engine.state.load() == EngineState::Stopped; });
}

Leftovers engine_thread_ended(Engine& engine) {
    RunningEngines& list = running();
    Leftovers left;
    {
        std::lock_guard lock(list.mutex);
        switch (engine.state.load()) {
            case EngineState::Running:
                engine.thread_ended = true;  // its stopper will find nothing to wait for
                return left;
            case EngineState::Detached:
                left.port = std::move(engine.port);
                left.thread = std::move(engine.thread);
                unlink(list, engine);
                break;
            default:
                return left;  // the joiner finishes the stop, or the child let go of it
        }
    }
    list.unlisted.notify_all();
    return left;
}

}  // namespace kiln::iocp
