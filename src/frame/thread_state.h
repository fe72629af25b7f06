// Per-thread bookkeeping of calls into the module, the deferred-release list
// and one-time initialisations.
#pragma once

#include "frame/failure.h"
#include "frame/once.h"
#include "frame/python.h"

#include <cstdint>
#include <functional>

namespace kiln {

// A number that names the calling thread, unique for the life of the process.
std::uint64_t current_thread_id() noexcept;

// How many calls into the module are active on this thread; above 0 means
// the thread holds the interpreter lock.
int entry_count() noexcept;

// Releases every reference queued by threads that did not hold the lock.
// Not noexcept: a release runs arbitrary Python code, which may give the lock
// away and, taking it back during finalization, be unwound (see GilScope).
void drain_deferred_releases();

// Finalization proper has begun: from here on only the finalizing thread
// holds the interpreter lock; any other thread that asks for it is ended
// where it stands (3.12, 3.13: by a forced unwind) or blocked for ever
// (newer versions). The exit callbacks have all run by then. Safe to ask
// without the lock.
bool interpreter_finalizing() noexcept;

// Marks the calling thread as one of the module's own completion threads for
// its lifetime. Such a thread never finalizes the interpreter, so while
// finalizing it cannot be holding the lock: if it finds finalization begun
// inside a scope that took the lock, it is being unwound.
class ModuleThreadScope {
public:
    ModuleThreadScope() noexcept;
    ~ModuleThreadScope();
    ModuleThreadScope(const ModuleThreadScope&) = delete;
    ModuleThreadScope& operator=(const ModuleThreadScope&) = delete;
};

bool on_module_thread() noexcept;

// One entry from the interpreter: raises the entry count and drains the
// deferred-release list for as long as it lives.
class EntryScope {
public:
    EntryScope();
    ~EntryScope();
    EntryScope(const EntryScope&) = delete;
    EntryScope& operator=(const EntryScope&) = delete;
};

// A thread of the module's own taking the interpreter lock.
//
// On 3.12 and 3.13 (Linux), a thread that asks for the lock during
// finalization is ended by a forced unwind: glibc unwinds its stack running
// every destructor, and the process aborts if that unwind meets a noexcept
// frame or is caught and not rethrown. It can start in the constructor (then
// nothing is held and the destructor does not run), or inside Python code
// called under this scope that gave the lock away and asked for it again:
// then the destructor runs without the lock and must not give it back; the
// entry count falls and references are deferred instead (release_ref).
class GilScope {
public:
    GilScope();
    ~GilScope();
    GilScope(const GilScope&) = delete;
    GilScope& operator=(const GilScope&) = delete;

private:
    PyGILState_STATE state_;
};

// Keeps a module thread's interpreter thread state alive from one GilScope
// to the next. Without it every scope creates a thread state and deletes it
// again, and deleting one costs an unmap and a TLB flush on every CPU; with
// it a scope only takes and gives back the lock.
//
// The hold is one more PyGILState_Ensure count, taken inside the first scope
// (so the thread never asks for the lock just for it) and given back inside
// the last one, whose release then deletes the thread state. A thread that
// ends any other way gives it back with one more acquisition of the lock,
// unless the interpreter is finalizing: then the state is left to the
// interpreter, which reclaims the thread states of threads it no longer
// runs, as it does for a daemon thread blocked in a call. The thread sits
// detached from the lock while it waits, like any thread inside a blocking
// call.
class KeptThreadState {
public:
    KeptThreadState() noexcept = default;
    KeptThreadState(const KeptThreadState&) = delete;
    KeptThreadState& operator=(const KeptThreadState&) = delete;

    // Under a GilScope. Takes the hold once; later calls do nothing.
    void hold() noexcept;
    // Under a GilScope: the scope's release then deletes the thread state.
    void let_go() noexcept;
    // Outside any scope, as the thread ends. Not noexcept: taking the lock
    // just as finalization begins may unwind this thread (see GilScope).
    void let_go_at_end();

private:
    bool held_ = false;
};

// Releases the interpreter lock for its lifetime, keeping the entry count
// honest: while the lock is given away this thread is not inside a call.
// Taking the lock back during finalization may unwind this thread from the
// destructor (see GilScope), which is therefore not noexcept; the entry count
// stays 0 on that way out, so nothing is released without the lock.
class UnlockedScope {
public:
    UnlockedScope() noexcept;
    ~UnlockedScope() noexcept(false);
    UnlockedScope(const UnlockedScope&) = delete;
    UnlockedScope& operator=(const UnlockedScope&) = delete;

private:
    PyThreadState* saved_state_;
    int saved_count_;
};

// Runs `initialise` once per process. The caller holds the interpreter lock;
// it is released while this thread waits for another thread that runs the
// initialisation, so that neither can block the other. The initialisation
// itself runs with the lock held. If it throws, the exception propagates and
// a later call tries again.
void run_once_unlocked(OnceFlag& flag, const std::function<void()>& initialise);

// The same for an initialisation that can fail as a value: a failure is
// returned and leaves the guard open, so a later call tries again.
Status run_once_unlocked(OnceFlag& flag, const std::function<Status()>& initialise);

}  // namespace kiln
