// The emulation's control API, for tests: exported C functions of the Linux
// build, reached from Python with ctypes.CDLL(_kiln.__file__).
#include "platform/emulation.h"
#include "platform/posix/emu.h"

namespace platform = kiln::platform;
namespace emu = kiln::platform::emu;

namespace {

platform::Handle handle_from(std::intptr_t value) { return reinterpret_cast<platform::Handle>(value); }

}  // namespace

KILN_EMU_API std::intptr_t kiln_emu_create_port(void) {
    return reinterpret_cast<std::intptr_t>(platform::create_port());
}

KILN_EMU_API int kiln_emu_dequeue(std::intptr_t port, std::uint32_t timeout_ms, std::uint32_t* bytes,
                                  std::uintptr_t* key, std::uintptr_t* overlapped) {
    platform::OverlappedEntry entry{};
    std::uint32_t removed = 0;
    if (!platform::wait(handle_from(port), &entry, 1, &removed, timeout_ms) || removed == 0) return 0;
    if (bytes) *bytes = entry.dwNumberOfBytesTransferred;
    if (key) *key = entry.lpCompletionKey;
    if (overlapped) *overlapped = reinterpret_cast<std::uintptr_t>(entry.lpOverlapped);
    return 1;
}

KILN_EMU_API int kiln_emu_close_handle(std::intptr_t handle) { return platform::close(handle_from(handle)) ? 1 : 0; }

KILN_EMU_API std::uint32_t kiln_emu_open_handle_count(void) { return emu::count_io_handles(); }

KILN_EMU_API std::uint32_t kiln_emu_heap_blocks(void) { return emu::g_heap_blocks.load(std::memory_order_relaxed); }

KILN_EMU_API void kiln_emu_set_io_mode(int mode) {
    if (mode >= emu::kInline && mode <= emu::kPool) emu::g_io_mode.store(mode);
}

KILN_EMU_API std::uint32_t kiln_emu_engine(void) {
    switch (emu::g_io_mode.load()) {
        case emu::kSystem: return emu::system_engine();
        case emu::kPool: return emu::kEnginePool;
        default: return emu::kEngineTest;
    }
}

KILN_EMU_API void kiln_emu_release_held(void) { emu::test_worker().release_held(); }

KILN_EMU_API int kiln_emu_fail_next(const char* operation, std::uint32_t error) {
    return operation && emu::arm_fault(operation, error) ? 1 : 0;
}
