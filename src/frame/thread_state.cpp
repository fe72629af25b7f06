#include "frame/thread_state.h"

#include "frame/pyref.h"

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <pthread.h>
#endif

namespace kiln {
namespace {

thread_local int t_entry_count = 0;
thread_local bool t_module_thread = false;

std::mutex g_deferred_mutex;
std::vector<PyObject*> g_deferred;  // guarded by g_deferred_mutex
std::atomic<bool> g_deferred_pending{false};

std::uint64_t next_thread_number() noexcept {
    static std::atomic<std::uint64_t> counter{1};
    return counter.fetch_add(1, std::memory_order_relaxed);
}

// A completion thread inside a scope that took the lock, finding the
// interpreter finalizing, has lost the lock to a forced unwind.
bool lock_lost_here() noexcept { return t_module_thread && interpreter_finalizing(); }

#ifndef _WIN32
// A fork while another thread holds the list's mutex would leave it locked
// for ever in the child.
void lock_before_fork() noexcept { g_deferred_mutex.lock(); }
void unlock_after_fork() noexcept { g_deferred_mutex.unlock(); }

[[maybe_unused]] const bool g_fork_handlers =
    pthread_atfork(&lock_before_fork, &unlock_after_fork, &unlock_after_fork) == 0;
#endif

}  // namespace

bool interpreter_finalizing() noexcept { return !Py_IsInitialized(); }

ModuleThreadScope::ModuleThreadScope() noexcept { t_module_thread = true; }

ModuleThreadScope::~ModuleThreadScope() { t_module_thread = false; }

bool on_module_thread() noexcept { return t_module_thread; }

std::uint64_t current_thread_id() noexcept {
    thread_local const std::uint64_t id = next_thread_number();
    return id;
}

int entry_count() noexcept { return t_entry_count; }

void release_ref(PyObject* object) noexcept {
    if (t_entry_count > 0 && !lock_lost_here()) {
        Py_DecRef(object);
        return;
    }
    std::lock_guard lock(g_deferred_mutex);
    g_deferred.push_back(object);
    g_deferred_pending.store(true, std::memory_order_release);
}

void drain_deferred_releases() {
    if (!g_deferred_pending.load(std::memory_order_acquire)) {
        return;
    }
    std::vector<PyObject*> taken;
    {
        std::lock_guard lock(g_deferred_mutex);
        taken.swap(g_deferred);
        g_deferred_pending.store(false, std::memory_order_release);
    }
    // The mutex is not held here: a release may run arbitrary finalisers.
    for (PyObject* object : taken) {
        Py_DecRef(object);
    }
}

EntryScope::EntryScope() {
    ++t_entry_count;
    drain_deferred_releases();
}

EntryScope::~EntryScope() { --t_entry_count; }

GilScope::GilScope() : state_(PyGILState_Ensure()) {
    ++t_entry_count;
    drain_deferred_releases();
}

GilScope::~GilScope() {
    --t_entry_count;
    if (!lock_lost_here()) {
        PyGILState_Release(state_);
    }
}

void KeptThreadState::hold() noexcept {
    if (!held_) {
        // The lock is held: this only counts, and never waits.
        static_cast<void>(PyGILState_Ensure());
        held_ = true;
    }
}

void KeptThreadState::let_go() noexcept {
    if (held_) {
        // Matches hold(), which found the lock held.
        PyGILState_Release(PyGILState_LOCKED);
        held_ = false;
    }
}

void KeptThreadState::let_go_at_end() {
    if (!held_ || interpreter_finalizing()) {
        return;  // nothing held, or the interpreter reclaims it
    }
    GilScope locked;
    let_go();
}

UnlockedScope::UnlockedScope() noexcept
    : saved_state_(nullptr), saved_count_(std::exchange(t_entry_count, 0)) {
    saved_state_ = PyEval_SaveThread();
}

UnlockedScope::~UnlockedScope() noexcept(false) {
    PyEval_RestoreThread(saved_state_);
    t_entry_count = saved_count_;
    drain_deferred_releases();
}

void run_once_unlocked(OnceFlag& flag, const std::function<void()>& initialise) {
    run_once<UnlockedScope>(flag, [&] {
        initialise();
        return true;
    });
}

Status run_once_unlocked(OnceFlag& flag, const std::function<Status()>& initialise) {
    Status failed;
    run_once<UnlockedScope>(flag, [&] {
        failed = initialise();
        return !failed;
    });
    return failed;
}

}  // namespace kiln
