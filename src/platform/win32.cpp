// The completion-port operations over kernel32 and ntdll.
//
// Each operation is one call with the arguments the module's logic was
// written against; the only work done here is converting between the
// interface's fixed-width types and the Windows ones. The calls that have no
// overlapped form are the exception: a work item of the process's thread pool
// makes the call and posts its packet. This is the one file of the module
// that names a Win32 function.
//
// The calls on paths (stat, rename, listing, copying...) run on work items
// too, each as the C runtime and the interpreter make it on Windows.
#include "platform/platform.h"

#include "platform/allocation_failure.h"

#include <winioctl.h>  // FSCTL_GET_REPARSE_POINT
#include <winternl.h>  // RtlNtStatusToDosError: NTAPI, so stdcall on i686

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwchar>
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

// ---------------------------------------------------------------- calls on paths
//
// Windows' own semantics throughout: rename refuses an existing target and
// replace does not, a file's mode comes from its attributes, removing a link
// to a directory removes the link.

const wchar_t* wide(const PathChar* path) { return reinterpret_cast<const wchar_t*>(path); }

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr std::int64_t kEpochTicks = 116444736000000000;  // 1601 to 1970 in 100 ns ticks

// Closes a handle a call opened for itself.
class LocalHandle {
public:
    explicit LocalHandle(HANDLE handle) : handle_(handle) {}
    ~LocalHandle() {
        if (valid()) CloseHandle(handle_);
    }
    LocalHandle(const LocalHandle&) = delete;
    LocalHandle& operator=(const LocalHandle&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

ErrorCode give_block(FileCall& call, const void* bytes, std::size_t size) {
    void* block = heap_alloc(size == 0 ? 1 : size);
    if (!block) return ERROR_NOT_ENOUGH_MEMORY;
    if (size > 0) std::memcpy(block, bytes, size);
    call.block = block;
    call.block_size = static_cast<std::uint32_t>(size);
    return ERROR_SUCCESS;
}

// An open of the file or directory itself, for its metadata; `follow` goes
// through a link to what it names.
HANDLE open_for(const wchar_t* path, DWORD access, bool follow) {
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    return CreateFileW(path, access, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
}

Timestamp timestamp_of(const FILETIME& time) {
    std::int64_t ticks = (static_cast<std::int64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime) - kEpochTicks;
    std::int64_t seconds = ticks / 10000000;
    std::int64_t rest = ticks % 10000000;
    if (rest < 0) {
        rest += 10000000;
        --seconds;
    }
    return {seconds, static_cast<std::uint32_t>(rest * 100)};
}

FILETIME filetime_of(std::int64_t ns) {
    std::int64_t ticks = ns / 100;
    if (ns % 100 < 0) --ticks;
    auto value = static_cast<std::uint64_t>(ticks + kEpochTicks);
    return {static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

bool is_executable_name(const wchar_t* path) {
    const wchar_t* dot = path ? wcsrchr(path, L'.') : nullptr;
    if (!dot) return false;
    for (const wchar_t* extension : {L".exe", L".bat", L".cmd", L".com"}) {
        if (_wcsicmp(dot, extension) == 0) return true;
    }
    return false;
}

// The C runtime's mode: a directory or a regular file, writable unless
// read-only, a link by its reparse tag, executable by its name.
std::uint32_t mode_of(DWORD attributes, DWORD tag, const wchar_t* path) {
    std::uint32_t mode = attributes & FILE_ATTRIBUTE_DIRECTORY ? 0040000 | 0111 : 0100000;
    mode |= attributes & FILE_ATTRIBUTE_READONLY ? 0444 : 0666;
    if (tag == IO_REPARSE_TAG_SYMLINK) mode = (mode & ~0170000u) | 0120000;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) && is_executable_name(path)) mode |= 0111;
    return mode;
}

ErrorCode status_of(HANDLE file, const wchar_t* path, FileStatus& status) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) return GetLastError();
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag)) tag.ReparseTag = 0;
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) tag.ReparseTag = 0;
    status = FileStatus{};
    status.mode = mode_of(info.dwFileAttributes, tag.ReparseTag, path);
    status.attributes = info.dwFileAttributes;
    status.reparse_tag = tag.ReparseTag;
    status.inode = static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    status.device = info.dwVolumeSerialNumber;
    status.links = info.nNumberOfLinks;
    status.size = static_cast<std::int64_t>(static_cast<std::uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow);
    status.access = timestamp_of(info.ftLastAccessTime);
    status.modification = timestamp_of(info.ftLastWriteTime);
    status.change = timestamp_of(info.ftCreationTime);
    status.birth = status.change;
    return ERROR_SUCCESS;
}

ErrorCode give_status(FileCall& call, HANDLE file, const wchar_t* path) {
    FileStatus status{};
    ErrorCode error = status_of(file, path, status);
    return error ? error : give_block(call, &status, sizeof status);
}

// Without following, a reparse point that is not a link (a deduplicated or
// cloud file) is looked through, as the C runtime does.
ErrorCode stat_call(FileCall& call) {
    bool follow = call.flags & kFollowLinks;
    LocalHandle file(open_for(wide(call.path), FILE_READ_ATTRIBUTES, follow));
    if (!file.valid()) return GetLastError();
    if (!follow) {
        FILE_ATTRIBUTE_TAG_INFO tag{};
        bool reparse = GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &tag, sizeof tag) &&
                       (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && !IsReparseTagNameSurrogate(tag.ReparseTag);
        if (reparse) {
            LocalHandle target(open_for(wide(call.path), FILE_READ_ATTRIBUTES, true));
            if (!target.valid()) return GetLastError();
            return give_status(call, target.get(), wide(call.path));
        }
    }
    return give_status(call, file.get(), wide(call.path));
}

ErrorCode stat_file_call(FileCall& call) { return give_status(call, call.file, nullptr); }

// A link to a directory, or a junction, is removed as a directory.
ErrorCode unlink_call(const FileCall& call) {
    const wchar_t* path = wide(call.path);
    WIN32_FILE_ATTRIBUTE_DATA info{};
    bool link_to_directory = false;
    if (GetFileAttributesExW(path, GetFileExInfoStandard, &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW found{};
        HANDLE search = FindFirstFileW(path, &found);
        if (search != INVALID_HANDLE_VALUE) {
            link_to_directory = found.dwReserved0 == IO_REPARSE_TAG_SYMLINK ||
                                found.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT;
            FindClose(search);
        }
    }
    return error_unless(link_to_directory ? RemoveDirectoryW(path) : DeleteFileW(path));
}

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Whether a link's target names a directory, seen from the link's folder.
bool names_directory(const wchar_t* target, const wchar_t* link) {
    std::wstring where = target;
    bool absolute = (where.size() >= 2 && where[1] == L':') || (!where.empty() && is_separator(where[0]));
    if (!absolute) {
        std::wstring folder = link;
        auto cut = folder.find_last_of(L"\\/");
        where = cut == std::wstring::npos ? where : folder.substr(0, cut + 1) + where;
    }
    DWORD attributes = GetFileAttributesW(where.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Unprivileged creation needs developer mode, and older systems refuse the
// flag itself: then the link is made without it.
ErrorCode symlink_call(const FileCall& call) {
    DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    if ((call.flags & kTargetIsDirectory) || names_directory(wide(call.path), wide(call.path2))) {
        flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
    }
    if (CreateSymbolicLinkW(wide(call.path2), wide(call.path), flags)) return ERROR_SUCCESS;
    if (GetLastError() != ERROR_INVALID_PARAMETER) return GetLastError();
    return error_unless(CreateSymbolicLinkW(wide(call.path2), wide(call.path),
                                            flags & ~SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE));
}

// The reparse data of a link or junction (REPARSE_DATA_BUFFER, which only
// the driver kit's headers declare).
struct ReparseData {
    DWORD tag;
    WORD data_length;
    WORD reserved;
    WORD substitute_offset;
    WORD substitute_length;
    WORD print_offset;
    WORD print_length;
    // A link's flags come here, before its names; a junction's names start here.
};

// The substitute name, as the C runtime gives it: "\??\" made "\\?\".
ErrorCode read_link_call(FileCall& call) {
    LocalHandle link(open_for(wide(call.path), 0, false));
    if (!link.valid()) return GetLastError();
    std::string buffer(MAXIMUM_REPARSE_DATA_BUFFER_SIZE, '\0');
    DWORD returned = 0;
    if (!DeviceIoControl(link.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &returned, nullptr)) {
        return GetLastError();
    }
    ReparseData data{};
    std::memcpy(&data, buffer.data(), sizeof data);
    std::size_t names = sizeof data;
    if (data.tag == IO_REPARSE_TAG_SYMLINK) {
        names += sizeof(ULONG);
    } else if (data.tag != IO_REPARSE_TAG_MOUNT_POINT) {
        return ERROR_NOT_A_REPARSE_POINT;
    }
    if (names + data.substitute_offset + data.substitute_length > returned) return ERROR_INVALID_DATA;
    std::wstring target(data.substitute_length / sizeof(wchar_t), L'\0');
    std::memcpy(target.data(), buffer.data() + names + data.substitute_offset, data.substitute_length);
    if (target.size() > 4 && target.compare(0, 4, L"\\??\\") == 0) target[1] = L'\\';
    return give_block(call, target.data(), target.size() * sizeof(wchar_t));
}

std::uint8_t entry_type(DWORD attributes, DWORD tag) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && tag == IO_REPARSE_TAG_SYMLINK) return kEntryLink;
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? kEntryDirectory : kEntryFile;
}

std::wstring search_pattern(const wchar_t* path) {
    std::wstring pattern = path;
    if (!pattern.empty() && !is_separator(pattern.back()) && pattern.back() != L':') pattern += L'\\';
    return pattern + L'*';
}

// A link's target is looked at through the link; a junction is marked by a
// directory target of its own.
void append_entry(std::string& out, const WIN32_FIND_DATAW& found, const std::wstring& folder) {
    DirEntryHeader header{};
    header.name_length = static_cast<std::uint32_t>(wcslen(found.cFileName));
    header.type = entry_type(found.dwFileAttributes, found.dwReserved0);
    bool reparse = found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
    if (header.type == kEntryDirectory && reparse && found.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT) {
        header.target = kEntryDirectory;
    }
    if (header.type == kEntryLink) {
        std::wstring full = folder + found.cFileName;
        LocalHandle target(open_for(full.c_str(), FILE_READ_ATTRIBUTES, true));
        BY_HANDLE_FILE_INFORMATION info{};
        if (target.valid() && GetFileInformationByHandle(target.get(), &info)) {
            header.target = info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? kEntryDirectory : kEntryFile;
        } else {
            header.target_error = static_cast<std::uint16_t>(GetLastError());
        }
    }
    std::size_t start = out.size();
    out.resize(start + dir_entry_size(header.name_length), '\0');
    std::memcpy(out.data() + start, &header, sizeof header);
    std::memcpy(out.data() + start + sizeof header, found.cFileName, header.name_length * sizeof(wchar_t));
}

// An empty search (the root of an empty drive) is an empty directory.
ErrorCode list_dir_call(FileCall& call) {
    std::wstring pattern = search_pattern(wide(call.path));
    std::wstring folder = pattern.substr(0, pattern.size() - 1);
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                     FIND_FIRST_EX_LARGE_FETCH);
    std::string entries;
    if (search == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? give_block(call, entries.data(), 0) : error;
    }
    DWORD error = ERROR_SUCCESS;
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
        append_entry(entries, found, folder);
    } while (FindNextFileW(search, &found));
    error = GetLastError();
    FindClose(search);
    if (error != ERROR_NO_MORE_FILES) return error;
    return give_block(call, entries.data(), entries.size());
}

// CopyFileExW copies the attributes and times whatever the flags ask for.
// The source is looked at first, so that a failure names the right path.
ErrorCode copy_file_call(FileCall& call) {
    WIN32_FILE_ATTRIBUTE_DATA source{};
    if (!GetFileAttributesExW(wide(call.path), GetFileExInfoStandard, &source)) {
        call.failed_path = 1;
        return GetLastError();
    }
    if (source.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        call.failed_path = 1;
        return ERROR_ACCESS_DENIED;
    }
    if (!CopyFileExW(wide(call.path), wide(call.path2), nullptr, nullptr, nullptr, 0)) {
        call.failed_path = 2;
        return GetLastError();
    }
    call.size = static_cast<std::uint64_t>(source.nFileSizeHigh) << 32 | source.nFileSizeLow;
    return ERROR_SUCCESS;
}

DWORD with_mode(DWORD attributes, std::uint32_t mode) {
    return mode & 0200 ? attributes & ~FILE_ATTRIBUTE_READONLY : attributes | FILE_ATTRIBUTE_READONLY;
}

// Only the write bit means anything: it clears or sets FILE_ATTRIBUTE_READONLY.
ErrorCode set_mode_call(const FileCall& call) {
    if (!(call.flags & kFollowLinks)) {
        DWORD attributes = GetFileAttributesW(wide(call.path));
        if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError();
        return error_unless(SetFileAttributesW(wide(call.path), with_mode(attributes, call.mode)));
    }
    LocalHandle file(open_for(wide(call.path), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, true));
    if (!file.valid()) return GetLastError();
    FILE_BASIC_INFO info{};
    if (!GetFileInformationByHandleEx(file.get(), FileBasicInfo, &info, sizeof info)) return GetLastError();
    info.FileAttributes = with_mode(info.FileAttributes, call.mode);
    return error_unless(SetFileInformationByHandle(file.get(), FileBasicInfo, &info, sizeof info));
}

ErrorCode set_times_call(const FileCall& call) {
    LocalHandle file(open_for(wide(call.path), FILE_WRITE_ATTRIBUTES, call.flags & kFollowLinks));
    if (!file.valid()) return GetLastError();
    FILETIME access{};
    FILETIME modification{};
    if (call.flags & kTimesNow) {
        GetSystemTimeAsFileTime(&access);
        modification = access;
    } else {
        access = filetime_of(call.times[0]);
        modification = filetime_of(call.times[1]);
    }
    return error_unless(SetFileTime(file.get(), nullptr, &access, &modification));
}

// As the C runtime: a path that exists may be read and run; it may be
// written unless it is a read-only file.
ErrorCode access_call(const FileCall& call) {
    DWORD attributes = GetFileAttributesW(wide(call.path));
    if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError();
    bool read_only = (attributes & FILE_ATTRIBUTE_READONLY) && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    return (call.mode & kMayWrite) && read_only ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

// The final path, its "\\?\" prefix taken off ("\\?\UNC\" made "\\").
ErrorCode real_path_call(FileCall& call) {
    LocalHandle file(open_for(wide(call.path), 0, true));
    if (!file.valid()) return GetLastError();
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetFinalPathNameByHandleW(file.get(), path.data(), static_cast<DWORD>(path.size()),
                                                 FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) return GetLastError();
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(length + 1);
    }
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        path = L"\\\\" + path.substr(8);
    } else if (path.compare(0, 4, L"\\\\?\\") == 0) {
        path = path.substr(4);
    }
    return give_block(call, path.data(), path.size() * sizeof(wchar_t));
}

ErrorCode path_call(FileCall& call) {
    const wchar_t* path = wide(call.path);
    switch (call.kind) {
        case CallKind::Stat: return stat_call(call);
        case CallKind::Rename:
            return error_unless(MoveFileExW(path, wide(call.path2), call.flags & kReplace ? MOVEFILE_REPLACE_EXISTING : 0));
        case CallKind::Unlink: return unlink_call(call);
        case CallKind::MakeDir: return error_unless(CreateDirectoryW(path, nullptr));
        case CallKind::RemoveDir: return error_unless(RemoveDirectoryW(path));
        case CallKind::Symlink: return symlink_call(call);
        case CallKind::Link: return error_unless(CreateHardLinkW(wide(call.path2), path, nullptr));
        case CallKind::ReadLink: return read_link_call(call);
        case CallKind::ListDir: return list_dir_call(call);
        case CallKind::CopyFile: return copy_file_call(call);
        case CallKind::SetMode: return set_mode_call(call);
        case CallKind::SetTimes: return set_times_call(call);
        case CallKind::Access: return access_call(call);
        case CallKind::RealPath: return real_path_call(call);
        default: return ERROR_INVALID_PARAMETER;
    }
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
        case CallKind::StatFile:
            return stat_file_call(call);
        default:
            return path_call(call);
    }
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

// The pool's work items wake as they are submitted: one by one.
std::uint32_t start_calls(Handle port, FileCall* const* calls, Overlapped* const* overlapped, std::uint32_t count) {
    for (std::uint32_t index = 0; index < count; ++index) {
        if (!start_call(port, calls[index], overlapped[index])) return index;
    }
    return count;
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
