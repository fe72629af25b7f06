// The completion-port operations over kernel32 and ntdll.
//
// Each operation is one call with the arguments the module's logic was
// written against; the only work done here is converting between the
// interface's fixed-width types and the Windows ones. This is the one file of
// the module that names a Win32 function.
#include "platform/platform.h"

#include "platform/allocation_failure.h"

#include <winternl.h>  // RtlNtStatusToDosError: NTAPI, so stdcall on i686

#include <cstdint>
#include <iterator>
#include <string>

namespace kiln::platform {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "paths are passed to CreateFileW as they are");
static_assert(sizeof(DWORD) == sizeof(std::uint32_t));
static_assert(sizeof(ULONG_PTR) == sizeof(std::uintptr_t));
static_assert((FILE_SHARE_READ | FILE_SHARE_WRITE) == kShareReadWrite);
static_assert((FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED) == kNormalOverlapped);
static_assert(GENERIC_READ == kGenericRead && GENERIC_WRITE == kGenericWrite);
static_assert(CREATE_NEW == kCreateNew && CREATE_ALWAYS == kCreateAlways && OPEN_EXISTING == kOpenExisting &&
              OPEN_ALWAYS == kOpenAlways && TRUNCATE_EXISTING == kTruncateExisting);
static_assert(INFINITE == kInfinite && WAIT_OBJECT_0 == kWaitObject0 && WAIT_TIMEOUT == kWaitTimeout &&
              WAIT_FAILED == kWaitFailed);
static_assert(ERROR_IO_PENDING == kErrorIoPending && ERROR_HANDLE_EOF == kErrorHandleEof &&
              ERROR_NOT_FOUND == kErrorNotFound && ERROR_ABANDONED_WAIT_0 == kErrorAbandonedWait0 &&
              ERROR_OPERATION_ABORTED == kErrorOperationAborted);

// CreateThread wants a stdcall function returning DWORD; the interface's
// entry is a plain C function. The block carrying both lives on the process
// heap and belongs to the new thread once it exists.
struct ThreadStart {
    ThreadEntry entry;
    void* context;
};

DWORD WINAPI run_thread(LPVOID raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    heap_free(raw);
    start.entry(start.context);
    return 0;
}

std::string utf8_from_wide(const wchar_t* text, int length) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return {};
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
    return out;
}

}  // namespace

Handle create_port() { return CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0); }

Handle associate(Handle file, Handle port) { return CreateIoCompletionPort(file, port, 0, 0); }

Handle open_file(const char16_t* path, std::uint32_t access, std::uint32_t disposition) {
    return CreateFileW(reinterpret_cast<const wchar_t*>(path), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

// DWORD is unsigned long and the interface's counts are uint32_t: the same
// width but distinct types, so counts pass through a local of the right one.
bool read_file(Handle file, void* buffer, std::uint32_t len, std::uint32_t* count, Overlapped* overlapped) {
    DWORD transferred = 0;
    BOOL done = ReadFile(file, buffer, len, count ? &transferred : nullptr, overlapped);
    if (count) *count = transferred;
    return done != FALSE;
}

bool write_file(Handle file, const void* data, std::uint32_t len, std::uint32_t* count, Overlapped* overlapped) {
    DWORD transferred = 0;
    BOOL done = WriteFile(file, data, len, count ? &transferred : nullptr, overlapped);
    if (count) *count = transferred;
    return done != FALSE;
}

bool cancel_io(Handle file, Overlapped* overlapped) { return CancelIoEx(file, overlapped) != FALSE; }

bool post(Handle port, std::uint32_t bytes, std::uintptr_t key, Overlapped* overlapped) {
    return PostQueuedCompletionStatus(port, bytes, key, overlapped) != FALSE;
}

bool wait(Handle port, OverlappedEntry* entries, std::uint32_t capacity, std::uint32_t* removed,
          std::uint32_t timeout_ms) {
    ULONG count = 0;
    BOOL done = GetQueuedCompletionStatusEx(port, entries, capacity, &count, timeout_ms, FALSE);
    // Wine can leave a count of 1 behind a timed-out wait; a failed wait
    // removed nothing, whatever the system wrote.
    if (removed) *removed = done ? count : 0;
    return done != FALSE;
}

ErrorCode status_to_error(NtStatus status) { return RtlNtStatusToDosError(static_cast<NTSTATUS>(status)); }

bool close(Handle handle) { return CloseHandle(handle) != FALSE; }

Handle start_thread(ThreadEntry entry, void* context, std::size_t stack_reservation) {
    auto* start = static_cast<ThreadStart*>(heap_alloc(sizeof(ThreadStart)));
    if (!start) {
        allocation_failed(sizeof(ThreadStart));
    }
    *start = {entry, context};
    Handle thread =
        CreateThread(nullptr, stack_reservation, &run_thread, start, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!thread) {
        DWORD error = GetLastError();  // the caller reads it after the block is gone
        heap_free(start);
        SetLastError(error);
    }
    return thread;
}

std::uint32_t wait_for(Handle handle, std::uint32_t timeout_ms) { return WaitForSingleObject(handle, timeout_ms); }

void* heap_alloc(std::size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); }

void heap_free(void* block) {
    if (block) HeapFree(GetProcessHeap(), 0, block);
}

ErrorCode last_error() { return GetLastError(); }

std::string describe_error(ErrorCode code) {
    wchar_t text[512];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                  static_cast<DWORD>(std::size(text)), nullptr);
    // The system's texts end in a line break; the sentence's own period stays,
    // as in the emulation's texts.
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' || text[length - 1] == L' ')) {
        --length;
    }
    if (length == 0) return "Unknown error " + std::to_string(code);
    return utf8_from_wide(text, static_cast<int>(length));
}

}  // namespace kiln::platform
