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
void drain_deferred_releases() noexcept;

// One entry from the interpreter: raises the entry count and drains the
// deferred-release list for as long as it lives.
class EntryScope {
public:
    EntryScope() noexcept;
    ~EntryScope();
    EntryScope(const EntryScope&) = delete;
    EntryScope& operator=(const EntryScope&) = delete;
};

// A thread of the module's own taking the interpreter lock. Not noexcept: an
// older interpreter ends a thread that asks for the lock during finalization
// by unwinding it, and that must pass through.
class GilScope {
public:
    GilScope();
    ~GilScope();
    GilScope(const GilScope&) = delete;
    GilScope& operator=(const GilScope&) = delete;

private:
    PyGILState_STATE state_;
};

// Releases the interpreter lock for its lifetime, keeping the entry count
// honest: while the lock is given away this thread is not inside a call.
class UnlockedScope {
public:
    UnlockedScope() noexcept;
    ~UnlockedScope();
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
