// The completion-port operations over kernel32 and ntdll.
//
// Each operation is one call with the arguments the module's logic was
// written against; the only work done here is converting between the
// interface's fixed-width types and the Windows ones. The calls that have no
// overlapped form are the exception: a work item of the process's thread pool
// makes the call and posts its packet. This is the one file of the module
// that names a Win32 function.
#include "platform/platform.h"

#include "platform/allocation_failure.h"

#include <winternl.h>  // RtlNtStatusToDosError: NTAPI, so stdcall on i686

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <type_traits>

namespace kiln::platform {
namespace {

static_assert(std::is_same_v<PathChar, char16_t>);
static_assert(sizeof(wchar_t) == sizeof(char16_t), "paths are passed to CreateFileW as they are");
static_assert(sizeof(DWORD) == sizeof(std::uint32_t));
static_assert(sizeof(ULONG_PTR) == sizeof(std::uintptr_t));
static_assert((FILE_SHARE_READ | FILE_SHARE_WRITE) == kShareReadWrite);
static_assert((FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED) == kNormalOverlapped);
static_assert(GENERIC_READ == kGenericRead && GENERIC_WRITE == kGenericWrite);
static_assert((FILE_GENERIC_WRITE & ~FILE_WRITE_DATA) == kAppendData);
static_assert(CREATE_NEW == kCreateNew && CREATE_ALWAYS == kCreateAlways && OPEN_EXISTING == kOpenExisting &&
              OPEN_ALWAYS == kOpenAlways && TRUNCATE_EXISTING == kTruncateExisting);
static_assert(INFINITE == kInfinite && WAIT_OBJECT_0 == kWaitObject0 && WAIT_TIMEOUT == kWaitTimeout &&
              WAIT_FAILED == kWaitFailed);
static_assert(FILE_TYPE_UNKNOWN == kFileTypeUnknown && FILE_TYPE_DISK == kFileTypeDisk &&
              FILE_TYPE_CHAR == kFileTypeChar && FILE_TYPE_PIPE == kFileTypePipe);
static_assert(ERROR_IO_PENDING == kErrorIoPending && ERROR_HANDLE_EOF == kErrorHandleEof &&
              ERROR_NOT_FOUND == kErrorNotFound && ERROR_ABANDONED_WAIT_0 == kErrorAbandonedWait0 &&
              ERROR_OPERATION_ABORTED == kErrorOperationAborted && ERROR_INVALID_HANDLE == kErrorInvalidHandle);

// A copy of `value` on the process heap, for a thread that frees it once it
// has read it.
template <class Block>
Block* heap_copy(const Block& value) {
    static_assert(std::is_trivially_copyable_v<Block>);
    auto* block = static_cast<Block*>(heap_alloc(sizeof(Block)));
    if (!block) {
        allocation_failed(sizeof(Block));
    }
    *block = value;
    return block;
}

// Frees a block the system did not take; the caller reads the error of the
// refusal after the block is gone.
void free_refused(void* block) {
    DWORD error = GetLastError();
    heap_free(block);
    SetLastError(error);
}

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

// ---------------------------------------------------------------- calls without an overlapped form

// What a work item needs; the caller's call and record outlive the packet.
struct CallStart {
    Handle port;
    FileCall* call;
    Overlapped* overlapped;
};

ErrorCode error_unless(BOOL done) { return done ? ERROR_SUCCESS : GetLastError(); }

// The new file is the caller's only once it is tied to the port: its I/O
// could complete nowhere else.
ErrorCode open_call(Handle port, FileCall& call) {
    call.opened = INVALID_HANDLE_VALUE;
    Handle file = open_file(call.path, call.access, call.disposition);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    if (!associate(file, port)) {
        DWORD error = GetLastError();
        CloseHandle(file);
        return error;
    }
    call.opened = file;
    return ERROR_SUCCESS;
}

ErrorCode size_call(FileCall& call) {
    LARGE_INTEGER size{};
    ErrorCode error = error_unless(GetFileSizeEx(call.file, &size));
    call.size = error ? 0 : static_cast<std::uint64_t>(size.QuadPart);
    return error;
}

ErrorCode set_end(Handle file, std::uint64_t length) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
    return error_unless(SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end));
}

// An append-only handle lacks FILE_WRITE_DATA, which setting the end needs:
// a second handle of the same file, with write access, sets it instead.
ErrorCode truncate_call(const FileCall& call) {
    ErrorCode error = set_end(call.file, call.length);
    if (error != ERROR_ACCESS_DENIED) return error;
    HANDLE writer = ReOpenFile(call.file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
    if (writer == INVALID_HANDLE_VALUE) return error;
    error = set_end(writer, call.length);
    CloseHandle(writer);
    return error;
}

ErrorCode perform(Handle port, FileCall& call) {
    switch (call.kind) {
        case CallKind::Open:
            return open_call(port, call);
        case CallKind::Close:
            return error_unless(CloseHandle(call.file));
        case CallKind::Size:
            return size_call(call);
        case CallKind::Truncate:
            return truncate_call(call);
        case CallKind::Sync:
        // Windows 8.1 has no flush of the data alone: the whole file goes.
        case CallKind::DataSync:
            return error_unless(FlushFileBuffers(call.file));
    }
    return ERROR_INVALID_PARAMETER;
}

// A packet that is never posted leaves its operation waiting forever, so a
// post the system refuses for want of resources is tried again, less and
// less often. A handle that is no longer a port can never deliver it: false.
bool post_until_queued(Handle port, Overlapped* overlapped) {
    for (DWORD pause_ms = 1;; pause_ms = std::min<DWORD>(pause_ms * 2, 1000)) {
        if (PostQueuedCompletionStatus(port, 0, 0, overlapped)) return true;
        if (GetLastError() == ERROR_INVALID_HANDLE) return false;
        Sleep(pause_ms);
    }
}

VOID CALLBACK run_call(PTP_CALLBACK_INSTANCE instance, PVOID raw) noexcept {
    CallStart start = *static_cast<CallStart*>(raw);
    heap_free(raw);
    // Every kind may block for long (a network file system, a large file to
    // truncate): the pool starts another thread rather than hold later work
    // items behind this one.
    CallbackMayRunLong(instance);
    FileCall& call = *start.call;
    call.error = perform(start.port, call);
    start.overlapped->Internal = kStatusSuccess;  // the outcome is call.error
    start.overlapped->InternalHigh = 0;
    if (!post_until_queued(start.port, start.overlapped) && call.kind == CallKind::Open && call.error == 0) {
        CloseHandle(call.opened);  // nobody can ever receive it
        call.opened = INVALID_HANDLE_VALUE;
    }
}

}  // namespace

Handle create_port() { return CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0); }

Handle associate(Handle file, Handle port) { return CreateIoCompletionPort(file, port, 0, 0); }

Handle open_file(const PathChar* path, std::uint32_t access, std::uint32_t disposition) {
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

// A loop port here is an ordinary port: the loop that reaps on its thread is
// the proactor, on its own port (see the README's design notes), and reads
// and writes reach the system as they start.
Handle create_loop_port() { return create_port(); }

std::intptr_t port_signal(Handle) { return -1; }

void clear_signal(Handle) {}

bool flush_port(Handle, std::uint32_t* submitted) {
    *submitted = 0;
    return true;
}

// Every read takes the overlapped path until the port's files skip the port
// on success (FILE_SKIP_COMPLETION_PORT_ON_SUCCESS).
bool read_at_once(Handle, void*, std::uint32_t, std::uint64_t, std::uint32_t* count) {
    *count = 0;
    SetLastError(ERROR_IO_PENDING);
    return false;
}

Handle start_thread(ThreadEntry entry, void* context, std::size_t stack_reservation) {
    ThreadStart* start = heap_copy(ThreadStart{entry, context});
    Handle thread =
        CreateThread(nullptr, stack_reservation, &run_thread, start, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!thread) free_refused(start);
    return thread;
}

std::uint32_t wait_for(Handle handle, std::uint32_t timeout_ms) { return WaitForSingleObject(handle, timeout_ms); }

void* heap_alloc(std::size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); }

void heap_free(void* block) {
    if (block) HeapFree(GetProcessHeap(), 0, block);
}

ErrorCode last_error() { return GetLastError(); }

bool start_call(Handle port, FileCall* call, Overlapped* overlapped) {
    CallStart* start = heap_copy(CallStart{port, call, overlapped});
    if (TrySubmitThreadpoolCallback(&run_call, start, nullptr)) return true;
    free_refused(start);
    return false;
}

const char* engine_name() { return "iocp"; }

std::uint32_t file_type(Handle file) { return GetFileType(file); }

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
