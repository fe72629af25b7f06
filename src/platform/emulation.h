// Control of the POSIX emulation, for tests. Exported from the Linux build of
// the module only, and reached from Python with ctypes.CDLL(_kiln.__file__).
#pragma once

#include <cstdint>

#ifdef _WIN32
#error "the emulation control API exists only in the POSIX build"
#endif

#define KILN_EMU_API extern "C" __attribute__((visibility("default")))

KILN_EMU_API std::intptr_t kiln_emu_create_port(void);  // new port handle, 0 on failure
KILN_EMU_API int kiln_emu_dequeue(std::intptr_t port, std::uint32_t timeout_ms, std::uint32_t* bytes,
                                  std::uintptr_t* key, std::uintptr_t* overlapped);  // 1 = removed one packet
KILN_EMU_API int kiln_emu_close_handle(std::intptr_t handle);  // 1 = closed
KILN_EMU_API std::uint32_t kiln_emu_open_handle_count(void);   // open files and ports
KILN_EMU_API std::uint32_t kiln_emu_heap_blocks(void);         // live heap_alloc blocks
// 0 inline, 1 deferred, 2 held, 3 the system engine (io_uring, else the
// pool; the default), 4 the worker pool
KILN_EMU_API void kiln_emu_set_io_mode(int mode);
// The engine that carries out a read or write started now: 0 a test mode,
// 1 io_uring, 2 the worker pool.
KILN_EMU_API std::uint32_t kiln_emu_engine(void);
KILN_EMU_API void kiln_emu_release_held(void);                 // let every held operation finish
// The next call of the named operation fails with `error`; 1 = known name.
// The names are the Windows functions' (CreateFileW, ReadFile, CloseHandle,
// GetFileSizeEx, SetEndOfFile, FlushFileBuffers...; the calls of start_call
// fail through their packet), and "FileCall" for start_call itself. Three
// take an errno value instead: "WorkerThread" (the next worker thread fails
// to start), "RingSubmit" and "RingWait" (the next submission to a ring, or
// the next wait in the kernel on one, fails so).
KILN_EMU_API int kiln_emu_fail_next(const char* operation, std::uint32_t error);
