// The I/O mode and the once-per-process choice of the system engine.
#include "platform/posix/emu.h"

namespace kiln::platform::emu {

// A process that never touches the control API runs on the system engine.
std::atomic<int> g_io_mode{kSystem};

namespace {
std::atomic<Engine> g_system_engine{kEngineTest};  // kEngineTest: not chosen yet
}  // namespace

std::mutex& engine_choice_mutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

Engine system_engine() {
    Engine engine = g_system_engine.load(std::memory_order_acquire);
    if (engine != kEngineTest) return engine;
    std::lock_guard lock(engine_choice_mutex());
    engine = g_system_engine.load(std::memory_order_relaxed);
    if (engine == kEngineTest) {
        engine = uring_usable() ? kEngineUring : kEnginePool;
        g_system_engine.store(engine, std::memory_order_release);
    }
    return engine;
}

}  // namespace kiln::platform::emu
