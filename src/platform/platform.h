// The completion-port operations the module needs from the operating system.
//
// Two implementations sit behind this header: win32.cpp (kernel32 and ntdll)
// and posix/ (a POSIX emulation of ports and overlapped file I/O that
// behaves like Windows wherever the module can observe it). Nothing outside
// src/platform/ calls the operating system directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace kiln::platform {

#ifdef _WIN32
using Handle = HANDLE;
using Overlapped = OVERLAPPED;
using OverlappedEntry = OVERLAPPED_ENTRY;
#else
using Handle = void*;

// Same field names and order as the Windows OVERLAPPED block.
struct Overlapped {
    std::uintptr_t Internal;      // NTSTATUS of the operation
    std::uintptr_t InternalHigh;  // bytes transferred
    std::uint32_t Offset;
    std::uint32_t OffsetHigh;
    Handle hEvent;
};

// Same field names and order as the Windows OVERLAPPED_ENTRY.
struct OverlappedEntry {
    std::uintptr_t lpCompletionKey;
    Overlapped* lpOverlapped;
    std::uintptr_t Internal;
    std::uint32_t dwNumberOfBytesTransferred;
};
#endif

using ErrorCode = std::uint32_t;   // a Windows error code; 0 is success
using NtStatus = std::uint32_t;

// A path as the system takes it: UTF-16 on Windows; on POSIX the bytes of
// the file system encoding, which may hold any byte but 0.
#ifdef _WIN32
using PathChar = char16_t;
#else
using PathChar = char;
#endif
using NativePath = std::basic_string<PathChar>;

// Windows leaves bit 29 of error codes (and of NTSTATUS values) to
// applications. The POSIX layer carries a failure the system reported as an
// errno value there, so that callers can raise exactly what the system said;
// the codes the module's own control flow relies on (end of file, pending,
// aborted, invalid handle, not found) stay the Windows ones.
inline constexpr ErrorCode kErrnoError = 0x20000000u;
inline constexpr NtStatus kErrnoStatus = 0xE0000000u;  // error severity, customer bit
inline constexpr ErrorCode errno_error(int number) noexcept { return kErrnoError | static_cast<ErrorCode>(number); }
// A failure reported for an operation the system may still be carrying out
// (an engine that lost the means to stop or reap it): marked with the
// reserved bit of the NTSTATUS, it tells the reaper to raise the failure and
// leave the record, and the buffers the system may still write, allocated
// for good. Better a leak than memory written after it was freed.
inline constexpr NtStatus kStillHeldFlag = 0x10000000u;
inline constexpr bool still_held(NtStatus status) noexcept { return (status & 0xF0000000u) == 0xF0000000u; }
inline constexpr bool is_errno_error(ErrorCode code) noexcept { return (code & 0xE0000000u) == kErrnoError; }
inline constexpr int errno_of(ErrorCode code) noexcept { return static_cast<int>(code & 0x0000FFFFu); }

inline Handle const kInvalidHandle = reinterpret_cast<Handle>(static_cast<std::intptr_t>(-1));
inline constexpr std::uintptr_t kStopKey = ~std::uintptr_t{0};
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
inline constexpr std::uint32_t kWaitObject0 = 0;
inline constexpr std::uint32_t kWaitTimeout = 0x102;
inline constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;

// Windows error codes the module and its tests meet.
inline constexpr ErrorCode kErrorFileNotFound = 2;
inline constexpr ErrorCode kErrorPathNotFound = 3;
inline constexpr ErrorCode kErrorAccessDenied = 5;
inline constexpr ErrorCode kErrorInvalidHandle = 6;
inline constexpr ErrorCode kErrorNotEnoughMemory = 8;
inline constexpr ErrorCode kErrorGenFailure = 31;
inline constexpr ErrorCode kErrorSharingViolation = 32;
inline constexpr ErrorCode kErrorHandleEof = 38;
inline constexpr ErrorCode kErrorFileExists = 80;
inline constexpr ErrorCode kErrorAlreadyExists = 183;
inline constexpr ErrorCode kErrorInvalidParameter = 87;
inline constexpr ErrorCode kErrorDiskFull = 112;
inline constexpr ErrorCode kErrorFilenameExcedRange = 206;
inline constexpr ErrorCode kErrorMrMidNotFound = 317;
inline constexpr ErrorCode kErrorAbandonedWait0 = 735;
inline constexpr ErrorCode kErrorOperationAborted = 995;
inline constexpr ErrorCode kErrorIoPending = 997;
inline constexpr ErrorCode kErrorNotFound = 1168;

// NTSTATUS values left in Overlapped::Internal.
inline constexpr NtStatus kStatusSuccess = 0;
inline constexpr NtStatus kStatusPending = 0x103;
inline constexpr NtStatus kStatusEndOfFile = 0xC0000011;
inline constexpr NtStatus kStatusInvalidHandle = 0xC0000008;
inline constexpr NtStatus kStatusAccessDenied = 0xC0000022;
inline constexpr NtStatus kStatusDiskFull = 0xC000007F;
inline constexpr NtStatus kStatusCancelled = 0xC0000120;

// CreateFileW arguments.
inline constexpr std::uint32_t kGenericRead = 0x80000000u;
inline constexpr std::uint32_t kGenericWrite = 0x40000000u;
// FILE_GENERIC_WRITE without FILE_WRITE_DATA: every write of the handle lands
// at the end of the file, whatever its offset, atomically with respect to
// other appenders (O_APPEND on POSIX). Alone or with kGenericRead.
inline constexpr std::uint32_t kAppendData = 0x00120114u;
inline constexpr std::uint32_t kShareReadWrite = 0x3;
inline constexpr std::uint32_t kCreateNew = 1;
inline constexpr std::uint32_t kCreateAlways = 2;
inline constexpr std::uint32_t kOpenExisting = 3;
inline constexpr std::uint32_t kOpenAlways = 4;
inline constexpr std::uint32_t kTruncateExisting = 5;
inline constexpr std::uint32_t kNormalOverlapped = 0x40000080u;  // FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED

inline constexpr std::size_t kCompletionThreadStack = 0x200000;  // reserved, not committed
inline constexpr std::uint32_t kMaxBatch = 64;

// Every function below returns what its Windows counterpart returns; on
// failure the cause is in last_error(), which must be read before any other
// call of this interface on the same thread.

// CreateIoCompletionPort(INVALID_HANDLE_VALUE, NULL, 0, 0); nullptr on failure.
Handle create_port();
// CreateIoCompletionPort(file, port, 0, 0); key 0, system-default concurrency.
Handle associate(Handle file, Handle port);
// CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
//             disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
// kInvalidHandle on failure. `path` is NUL-terminated.
Handle open_file(const PathChar* path, std::uint32_t access, std::uint32_t disposition);
// ReadFile(file, buffer, len, count, overlapped); `count` may be null.
bool read_file(Handle file, void* buffer, std::uint32_t len, std::uint32_t* count, Overlapped* overlapped);
// WriteFile(file, data, len, count, overlapped); `count` may be null.
bool write_file(Handle file, const void* data, std::uint32_t len, std::uint32_t* count, Overlapped* overlapped);
// CancelIoEx(file, overlapped); a null overlapped cancels every operation on the file.
bool cancel_io(Handle file, Overlapped* overlapped);
// PostQueuedCompletionStatus(port, bytes, key, overlapped).
bool post(Handle port, std::uint32_t bytes, std::uintptr_t key, Overlapped* overlapped);
// GetQueuedCompletionStatusEx(port, entries, capacity, removed, timeout_ms, FALSE).
bool wait(Handle port, OverlappedEntry* entries, std::uint32_t capacity, std::uint32_t* removed,
          std::uint32_t timeout_ms);
// RtlNtStatusToDosError(status).
ErrorCode status_to_error(NtStatus status);
// CloseHandle(handle).
bool close(Handle handle);
// CreateThread(NULL, stack_reservation, entry, context, STACK_SIZE_PARAM_IS_A_RESERVATION, NULL).
using ThreadEntry = void (*)(void* context);
Handle start_thread(ThreadEntry entry, void* context, std::size_t stack_reservation);
// WaitForSingleObject(handle, timeout_ms): kWaitObject0, kWaitTimeout or kWaitFailed.
std::uint32_t wait_for(Handle handle, std::uint32_t timeout_ms);
// HeapAlloc(GetProcessHeap(), 0, size) / HeapFree(GetProcessHeap(), 0, block).
void* heap_alloc(std::size_t size);
void heap_free(void* block);
// GetLastError().
ErrorCode last_error();

// ---------------------------------------------------------------- calls without an overlapped form
//
// Opening, closing, sizing, truncating and syncing a file have no overlapped
// form, and each may block for long (a large file to truncate, a network
// file system). They run away from the calling thread (a system thread-pool
// work item on Windows, an engine on POSIX) and complete through the port
// like an overlapped operation.

enum class CallKind : std::uint8_t {
    Open = 0,      // path, access, disposition -> opened
    Close = 1,     // file
    Size = 2,      // file -> size
    Truncate = 3,  // file, length: the new end of the file
    Sync = 4,      // file: data and metadata to stable storage
    DataSync = 5,  // file: the data, and only the metadata needed to read it back
    // Calls on paths and on what a file is (see "files by name" below).
    Stat = 6,        // path, kFollowLinks -> block: FileStatus
    StatFile = 7,    // file -> block: FileStatus
    Rename = 8,      // path -> path2; kReplace: an existing target is replaced (POSIX always replaces)
    Unlink = 9,      // path: a file or a link
    MakeDir = 10,    // path, mode
    RemoveDir = 11,  // path: an empty directory
    Symlink = 12,    // path: the link's target (any text), path2: the link; kTargetIsDirectory
    Link = 13,       // path: an existing file, path2: its new name; kFollowLinks
    ReadLink = 14,   // path -> block: the link's target, PathChars without a terminator
    ListDir = 15,    // path -> block: DirEntryHeader records
    CopyFile = 16,   // path -> path2, the target created or truncated; kCopyMode, kCopyTimes -> size: bytes copied
    SetMode = 17,    // path, mode, kFollowLinks
    SetTimes = 18,   // path, times (or kTimesNow), kFollowLinks
    Access = 19,     // path, mode (kMayRead...), kFollowLinks, kEffectiveIds: 0 when allowed
    RealPath = 20,   // path -> block: the absolute path without links, as ReadLink's
};

// One call. The caller fills the inputs and keeps the block, and the path it
// points to, alive and unchanged until the call's packet has been dequeued;
// the worker writes the outputs before it posts that packet.
struct FileCall {
    CallKind kind;
    const PathChar* path;      // Open and the calls on paths: NUL-terminated
    std::uint32_t access;      // Open: kGenericRead, kGenericWrite, kAppendData, as for open_file
    std::uint32_t disposition; // Open
    Handle file;               // Close, Size, Truncate, Sync, DataSync, StatFile
    std::uint64_t length;      // Truncate
    // Outputs.
    ErrorCode error;           // 0, or why the call failed
    Handle opened;             // Open: the new file, already associated with the port; kInvalidHandle on failure
    std::uint64_t size;        // Size: the file's size in bytes; CopyFile: the bytes copied
    // Calls on paths. A relative path starts from the working directory, or
    // with kInDirectory from `directory` (POSIX: a descriptor of the caller's).
    const PathChar* path2;     // Rename, Symlink, Link, CopyFile: NUL-terminated
    std::int32_t directory;    // of path, with kInDirectory
    std::int32_t directory2;   // of path2, with kInDirectory2
    std::uint32_t flags;       // kFollowLinks, kReplace...
    std::uint32_t mode;        // MakeDir, SetMode: permission bits; Access: kMayRead, kMayWrite, kMayExecute
    std::int64_t times[2];     // SetTimes: access and modification time, nanoseconds since 1970
    // Outputs of calls on paths. The worker allocates `block` with
    // heap_alloc; it belongs to the caller once the packet is out, even when
    // the call failed.
    void* block;
    std::uint32_t block_size;  // bytes
    std::uint32_t failed_path; // CopyFile: 1 when path failed, 2 when path2 did, 3 when the copy between them did
};

// Runs `call` and posts its completion to `port`: 0 bytes, key 0,
// `overlapped`, whose Internal holds STATUS_SUCCESS by then (the outcome is
// call->error). An open's new file is associated with `port` before the
// packet goes. Exactly one packet follows a call that returns true, even when
// the call fails (a worker that cannot start included). False, with
// last_error(), when nothing was started: then nothing is posted.
//
// Where the call runs: a system thread-pool work item (Windows); on POSIX by
// the I/O mode: inline at once on the calling thread (the packet is queued
// before this returns), deferred on the test worker in issue order with the
// reads and writes, and otherwise (held, pool, system) on the worker pool.
bool start_call(Handle port, FileCall* call, Overlapped* overlapped);

// ---------------------------------------------------------------- files by name
//
// Stat, rename, unlink, directories, links, listing, copying: calls that
// take paths, run where the other calls run. A failure is the system's
// error, as for open.

inline constexpr std::uint32_t kFollowLinks = 0x1;        // Stat, Link, SetMode, SetTimes, Access
inline constexpr std::uint32_t kReplace = 0x2;            // Rename
inline constexpr std::uint32_t kTargetIsDirectory = 0x4;  // Symlink (Windows; POSIX links have no kind)
inline constexpr std::uint32_t kCopyMode = 0x8;           // CopyFile: the permission bits too
inline constexpr std::uint32_t kCopyTimes = 0x10;         // CopyFile: the access and modification times too
inline constexpr std::uint32_t kTimesNow = 0x20;          // SetTimes: both times are now
inline constexpr std::uint32_t kEffectiveIds = 0x40;      // Access: as the effective user and group
inline constexpr std::uint32_t kInDirectory = 0x80;       // POSIX: a relative path starts from `directory`
inline constexpr std::uint32_t kInDirectory2 = 0x100;     // POSIX: a relative path2 starts from `directory2`
inline constexpr std::uint32_t kCreateMode = 0x200;       // Open (POSIX): a new file gets `mode`, not 0666

inline constexpr std::uint32_t kMayExecute = 1;  // Access: X_OK
inline constexpr std::uint32_t kMayWrite = 2;    // W_OK
inline constexpr std::uint32_t kMayRead = 4;     // R_OK

struct Timestamp {
    std::int64_t seconds;      // since 1970-01-01 UTC
    std::uint32_t nanoseconds;
};

// What Stat and StatFile tell of a file: the fields of a POSIX stat; on
// Windows, the ones the C runtime derives (mode from the attributes, the
// file index as the inode, the volume's serial number as the device).
struct FileStatus {
    std::uint32_t mode;
    std::uint32_t uid;
    std::uint32_t gid;
    std::uint32_t attributes;   // Windows: FILE_ATTRIBUTE_*; POSIX: 0
    std::uint32_t reparse_tag;  // Windows: the reparse point's tag, or 0; POSIX: 0
    std::uint64_t inode;
    std::uint64_t device;
    std::uint64_t links;
    std::int64_t size;
    std::uint64_t block_size;   // POSIX only
    std::uint64_t blocks;       // POSIX only
    std::uint64_t rdevice;      // POSIX only
    Timestamp access;
    Timestamp modification;
    Timestamp change;           // POSIX: status change; Windows: creation, as the C runtime has it
    Timestamp birth;            // Windows only
};

// What a directory entry is, by the entry itself (a link is kEntryLink) and,
// for a link, by what it leads to (kEntryNone when it leads nowhere).
inline constexpr std::uint8_t kEntryNone = 0;
inline constexpr std::uint8_t kEntryFile = 1;
inline constexpr std::uint8_t kEntryDirectory = 2;
inline constexpr std::uint8_t kEntryLink = 3;
inline constexpr std::uint8_t kEntryOther = 4;  // FIFO, socket, device

// One entry of a ListDir block: this header, then `name_length` PathChars
// (no terminator), then padding to a multiple of 8 bytes. The entries are
// in the system's order, "." and ".." left out.
struct DirEntryHeader {
    std::uint64_t inode;        // POSIX: d_ino; Windows: 0
    std::uint32_t name_length;  // in PathChars
    std::uint8_t type;          // kEntryFile...
    std::uint8_t target;        // for a link: what it leads to; Windows: kEntryDirectory for a junction
    // For a link that leads nowhere: why, as an errno value (POSIX) or a
    // Windows error code.
    std::uint16_t target_error;
};

// start_call for `count` calls at once, where each would run: the workers
// are woken once for all of them. Returns how many were started, the first
// ones; for the rest nothing was started or posted, and last_error() says why.
std::uint32_t start_calls(Handle port, FileCall* const* calls, Overlapped* const* overlapped, std::uint32_t count);

// Where the next DirEntryHeader of a ListDir block starts.
inline std::uint32_t dir_entry_size(std::uint32_t name_length) {
    auto bytes = static_cast<std::uint32_t>(sizeof(DirEntryHeader) + name_length * sizeof(PathChar));
    return (bytes + 7u) & ~7u;
}

// GetFileType(file): what the handle is. Reads and writes of a disk file
// take their offsets; the others (pipes, FIFOs, character devices) have no
// positions and ignore them.
inline constexpr std::uint32_t kFileTypeUnknown = 0;
inline constexpr std::uint32_t kFileTypeDisk = 1;
inline constexpr std::uint32_t kFileTypeChar = 2;
inline constexpr std::uint32_t kFileTypePipe = 3;
std::uint32_t file_type(Handle file);

// ---------------------------------------------------------------- ports reaped on an event loop
//
// A loop port has no thread blocked on it: its owner's event loop watches a
// descriptor for reading and takes what is there with wait(port, ..., 0).
// Reads and writes started on its files are queued and reach the system at
// the next flush_port, so that a loop turn's submissions cost one system call.

// CreateIoCompletionPort for a loop; nullptr on failure.
Handle create_loop_port();
// The descriptor that turns readable when packets may be waiting on a loop
// port; -1 for other handles and where there is none (Windows).
std::intptr_t port_signal(Handle port);
// Clears the signal before the packets are taken: one that arrives after
// this sets it again. Nothing for ports without one.
void clear_signal(Handle port);
// Hands the loop port's queued reads and writes to the system; *submitted
// counts them (0: nothing was queued). False with last_error() when it
// refused them: they then fail through their packets.
bool flush_port(Handle port, std::uint32_t* submitted);

// ReadFile at `offset` of only what the system has at hand (the file cache):
// true with *count when the bytes were copied at once (0 at the end of the
// file; fewer than asked when only part was at hand); false with
// kErrorIoPending when the read would have to wait, or when the file or the
// system offers no such read, and then nothing was read and no packet
// follows. Other codes are the read's failure.
bool read_at_once(Handle file, void* buffer, std::uint32_t len, std::uint64_t offset, std::uint32_t* count);

// The engine that a read or write started now runs on: "iocp" on Windows; on
// POSIX "io_uring" or "pool", or the test mode's name ("inline", "deferred",
// "held").
const char* engine_name();
// The system's description of an error code, without a trailing line break
// (FormatMessageW on Windows).
std::string describe_error(ErrorCode code);

}  // namespace kiln::platform
