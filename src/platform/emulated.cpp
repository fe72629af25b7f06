// POSIX emulation of completion ports and overlapped file I/O.
//
// Handles index one process-wide table of shared objects, so a handle closed
// on one thread never frees an object another thread is still using. Overlapped
// operations complete either inline (like a cached file on Windows) or on one
// worker thread (deferred, or held until the tests release them), which lets
// the module's tests reach every completion path the real system can take.
#include "platform/platform.h"
#include "platform/emulation.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace kiln::platform {
namespace {

// ---------------------------------------------------------------- errors

constexpr ErrorCode kErrorTooManyOpenFiles = 4;
constexpr ErrorCode kErrorNoAccess = 998;
constexpr ErrorCode kErrorWaitTimeout = 258;
constexpr ErrorCode kErrorIoDevice = 1117;

constexpr NtStatus kStatusUnsuccessful = 0xC0000001;
constexpr NtStatus kStatusAccessViolation = 0xC0000005;
constexpr NtStatus kStatusInvalidParameter = 0xC000000D;
constexpr NtStatus kStatusObjectNameNotFound = 0xC0000034;
constexpr NtStatus kStatusObjectNameCollision = 0xC0000035;
constexpr NtStatus kStatusObjectPathNotFound = 0xC000003A;
constexpr NtStatus kStatusSharingViolation = 0xC0000043;
constexpr NtStatus kStatusNameTooLong = 0xC0000106;
constexpr NtStatus kStatusTooManyOpenedFiles = 0xC000011F;
constexpr NtStatus kStatusIoDeviceError = 0xC0000185;

struct StatusMapping {
    NtStatus status;
    ErrorCode error;
};

constexpr std::array kStatusMappings{
    StatusMapping{kStatusSuccess, 0},
    StatusMapping{kStatusPending, kErrorIoPending},
    StatusMapping{kStatusEndOfFile, kErrorHandleEof},
    StatusMapping{kStatusUnsuccessful, kErrorGenFailure},
    StatusMapping{kStatusAccessViolation, kErrorNoAccess},
    StatusMapping{kStatusInvalidHandle, kErrorInvalidHandle},
    StatusMapping{kStatusInvalidParameter, kErrorInvalidParameter},
    StatusMapping{kStatusAccessDenied, kErrorAccessDenied},
    StatusMapping{kStatusObjectNameNotFound, kErrorFileNotFound},
    StatusMapping{kStatusObjectNameCollision, kErrorAlreadyExists},
    StatusMapping{kStatusObjectPathNotFound, kErrorPathNotFound},
    StatusMapping{kStatusSharingViolation, kErrorSharingViolation},
    StatusMapping{kStatusDiskFull, kErrorDiskFull},
    StatusMapping{kStatusNameTooLong, kErrorFilenameExcedRange},
    StatusMapping{kStatusTooManyOpenedFiles, kErrorTooManyOpenFiles},
    StatusMapping{kStatusCancelled, kErrorOperationAborted},
    StatusMapping{kStatusIoDeviceError, kErrorIoDevice},
};

struct ErrorText {
    ErrorCode code;
    const char* text;
};

constexpr std::array kErrorTexts{
    ErrorText{0, "The operation completed successfully."},
    ErrorText{kErrorFileNotFound, "The system cannot find the file specified."},
    ErrorText{kErrorPathNotFound, "The system cannot find the path specified."},
    ErrorText{kErrorTooManyOpenFiles, "The system cannot open the file."},
    ErrorText{kErrorAccessDenied, "Access is denied."},
    ErrorText{kErrorInvalidHandle, "The handle is invalid."},
    ErrorText{kErrorNotEnoughMemory, "Not enough memory resources are available to process this command."},
    ErrorText{kErrorGenFailure, "A device attached to the system is not functioning."},
    ErrorText{kErrorSharingViolation,
              "The process cannot access the file because it is being used by another process."},
    ErrorText{kErrorHandleEof, "Reached the end of the file."},
    ErrorText{kErrorFileExists, "The file exists."},
    ErrorText{kErrorInvalidParameter, "The parameter is incorrect."},
    ErrorText{kErrorDiskFull, "There is not enough space on the disk."},
    ErrorText{kErrorFilenameExcedRange, "The filename or extension is too long."},
    ErrorText{kErrorWaitTimeout, "The wait operation timed out."},
    ErrorText{kErrorMrMidNotFound,
              "The system cannot find message text for message number 0x%1 in the message file for %2."},
    ErrorText{kErrorAbandonedWait0, "ERROR_ABANDONED_WAIT_0"},
    ErrorText{kErrorOperationAborted,
              "The I/O operation has been aborted because of either a thread exit or an application request."},
    ErrorText{kErrorIoPending, "Overlapped I/O operation is in progress."},
    ErrorText{kErrorNoAccess, "Invalid access to memory location."},
    ErrorText{kErrorIoDevice, "The request could not be performed because of an I/O device error."},
    ErrorText{kErrorNotFound, "Element not found."},
};

thread_local ErrorCode t_last_error = 0;

bool fail(ErrorCode code) {
    t_last_error = code;
    return false;
}

template <class T>
T fail(ErrorCode code, T result) {
    t_last_error = code;
    return result;
}

NtStatus status_from_errno(int error) {
    switch (error) {
        case ENOENT: return kStatusObjectNameNotFound;
        case ENOTDIR: return kStatusObjectPathNotFound;
        case EACCES:
        case EPERM:
        case EISDIR: return kStatusAccessDenied;
        case EBADF: return kStatusInvalidHandle;
        case EMFILE:
        case ENFILE: return kStatusTooManyOpenedFiles;
        case EEXIST: return kStatusObjectNameCollision;
        case EINVAL: return kStatusInvalidParameter;
        case ENOSPC:
        case EFBIG:
        case EDQUOT: return kStatusDiskFull;
        case ENAMETOOLONG: return kStatusNameTooLong;
        case EBUSY:
        case ETXTBSY: return kStatusSharingViolation;
        case EFAULT: return kStatusAccessViolation;
        default: return kStatusUnsuccessful;
    }
}

// ---------------------------------------------------------------- fault injection

enum class Operation {
    CreatePort,
    Associate,
    CreateFile,
    Read,
    Write,
    Close,
    Post,
    Wait,
    CreateThread,
    WaitForObject,
    Cancel,
    Count,
};

constexpr std::array<std::string_view, static_cast<std::size_t>(Operation::Count)> kOperationNames{
    "CreateIoCompletionPort",
    "AssociatePort",
    "CreateFileW",
    "ReadFile",
    "WriteFile",
    "CloseHandle",
    "PostQueuedCompletionStatus",
    "GetQueuedCompletionStatusEx",
    "CreateThread",
    "WaitForSingleObject",
    "CancelIoEx",
};

class FaultPlan {
public:
    void arm(Operation operation, ErrorCode error) {
        std::lock_guard lock(mutex_);
        auto& slot = armed_[index(operation)];
        if (!slot) armed_count_.fetch_add(1, std::memory_order_release);
        slot = error;
    }

    // Consumes the failure armed for `operation`, if any.
    std::optional<ErrorCode> take(Operation operation) {
        if (armed_count_.load(std::memory_order_acquire) == 0) return std::nullopt;
        std::lock_guard lock(mutex_);
        auto& slot = armed_[index(operation)];
        auto error = std::exchange(slot, std::nullopt);
        if (error) armed_count_.fetch_sub(1, std::memory_order_release);
        return error;
    }

private:
    static std::size_t index(Operation operation) { return static_cast<std::size_t>(operation); }

    std::mutex mutex_;
    std::array<std::optional<ErrorCode>, kOperationNames.size()> armed_{};
    std::atomic<int> armed_count_{0};
};

// The tables below outlive static destruction on purpose: detached threads
// (the I/O worker, the module's own threads) may still reach them at exit.
FaultPlan& faults() {
    static auto* plan = new FaultPlan;
    return *plan;
}

bool injected(Operation operation) {
    auto error = faults().take(operation);
    if (error) t_last_error = *error;
    return error.has_value();
}

// ---------------------------------------------------------------- handle table

enum class Kind { File, Port, Thread };

class Object {
public:
    explicit Object(Kind kind) : kind_(kind) {}
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    Kind kind() const { return kind_; }

private:
    const Kind kind_;
};

class HandleTable {
public:
    Handle insert(std::shared_ptr<Object> object) {
        std::lock_guard lock(mutex_);
        std::size_t slot = slots_.size();
        if (!free_.empty()) {
            slot = *free_.begin();
            free_.erase(free_.begin());
            slots_[slot] = std::move(object);
        } else {
            slots_.push_back(std::move(object));
        }
        return handle_of(slot);
    }

    std::shared_ptr<Object> find(Handle handle) const {
        std::lock_guard lock(mutex_);
        auto slot = slot_of(handle);
        return slot ? slots_[*slot] : nullptr;
    }

    std::shared_ptr<Object> remove(Handle handle) {
        std::lock_guard lock(mutex_);
        auto slot = slot_of(handle);
        if (!slot || !slots_[*slot]) return nullptr;
        free_.insert(*slot);
        return std::exchange(slots_[*slot], nullptr);
    }

    std::uint32_t count_io_objects() const {
        std::lock_guard lock(mutex_);
        auto is_io = [](const auto& object) { return object && object->kind() != Kind::Thread; };
        return static_cast<std::uint32_t>(std::count_if(slots_.begin(), slots_.end(), is_io));
    }

private:
    // Windows hands out multiples of 4 starting at 4; 0 and -1 stay invalid.
    static Handle handle_of(std::size_t slot) {
        return reinterpret_cast<Handle>(static_cast<std::intptr_t>((slot + 1) * 4));
    }

    std::optional<std::size_t> slot_of(Handle handle) const {
        auto value = reinterpret_cast<std::intptr_t>(handle);
        if (value <= 0 || value % 4 != 0) return std::nullopt;
        auto slot = static_cast<std::size_t>(value / 4 - 1);
        if (slot >= slots_.size()) return std::nullopt;
        return slot;
    }

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Object>> slots_;
    std::set<std::size_t> free_;
};

HandleTable& handles() {
    static auto* table = new HandleTable;
    return *table;
}

template <class T>
std::shared_ptr<T> find_object(Handle handle) {
    auto object = handles().find(handle);
    if (!object || object->kind() != T::kKind) return nullptr;
    return std::static_pointer_cast<T>(std::move(object));
}

// ---------------------------------------------------------------- ports

struct Packet {
    std::uint32_t bytes;
    std::uintptr_t key;
    Overlapped* overlapped;
    NtStatus status;
};

class Port final : public Object {
public:
    static constexpr Kind kKind = Kind::Port;
    Port() : Object(kKind) {}

    void push(const Packet& packet) {
        {
            std::lock_guard lock(mutex_);
            // Nobody can wait on a closed port any more.
            if (closed_) return;
            queue_.push_back(packet);
        }
        ready_.notify_one();
    }

    // 0 when packets were removed, else the error the wait fails with.
    ErrorCode pop(OverlappedEntry* entries, std::uint32_t capacity, std::uint32_t* removed,
                  std::uint32_t timeout_ms) {
        std::unique_lock lock(mutex_);
        if (!wait_ready(lock, timeout_ms)) return kErrorWaitTimeout;
        if (closed_) return kErrorAbandonedWait0;
        std::uint32_t count = 0;
        for (; count < capacity && !queue_.empty(); ++count) {
            fill(entries[count], queue_.front());
            queue_.pop_front();
        }
        *removed = count;
        bool more = !queue_.empty();
        lock.unlock();
        if (more) ready_.notify_one();
        return 0;
    }

    void close() {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
            queue_.clear();
        }
        ready_.notify_all();
    }

private:
    bool wait_ready(std::unique_lock<std::mutex>& lock, std::uint32_t timeout_ms) {
        auto ready = [this] { return closed_ || !queue_.empty(); };
        if (timeout_ms == kInfinite) {
            ready_.wait(lock, ready);
            return true;
        }
        return ready_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready);
    }

    static void fill(OverlappedEntry& entry, const Packet& packet) {
        entry.lpCompletionKey = packet.key;
        entry.lpOverlapped = packet.overlapped;
        entry.Internal = packet.status;
        entry.dwNumberOfBytesTransferred = packet.bytes;
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Packet> queue_;
    bool closed_ = false;
};

// ---------------------------------------------------------------- files

class File final : public Object {
public:
    static constexpr Kind kKind = Kind::File;
    File(int fd, bool readable, bool writable)
        : Object(kKind), fd_(fd), readable_(readable), writable_(writable) {}
    ~File() override { ::close(fd_); }

    int fd() const { return fd_; }
    bool can(bool write) const { return write ? writable_ : readable_; }

    bool attach(std::shared_ptr<Port> port) {
        std::lock_guard lock(mutex_);
        if (port_) return false;
        port_ = std::move(port);
        return true;
    }

    void notify(const Packet& packet) {
        std::shared_ptr<Port> port;
        {
            std::lock_guard lock(mutex_);
            port = port_;
        }
        if (port) port->push(packet);
    }

private:
    const int fd_;
    const bool readable_;
    const bool writable_;
    std::mutex mutex_;
    std::shared_ptr<Port> port_;
};

void append_utf8(std::string& out, char32_t code) {
    auto put = [&out](char32_t value) { out.push_back(static_cast<char>(value)); };
    if (code < 0x80) {
        put(code);
        return;
    }
    int trailing = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
    constexpr char32_t kLeads[] = {0, 0xC0, 0xE0, 0xF0};
    put(kLeads[trailing] | (code >> (6 * trailing)));
    for (int shift = 6 * (trailing - 1); shift >= 0; shift -= 6) put(0x80 | ((code >> shift) & 0x3F));
}

// Stops at the first 0 unit. A lone surrogate is legal in a Windows name; it
// keeps its three-byte form so that distinct names stay distinct.
std::string utf8_from_utf16(const char16_t* path) {
    std::string out;
    for (const char16_t* unit = path; unit && *unit; ++unit) {
        char32_t code = *unit;
        bool high = code >= 0xD800 && code <= 0xDBFF;
        if (high && unit[1] >= 0xDC00 && unit[1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (unit[1] - 0xDC00);
            ++unit;
        }
        append_utf8(out, code);
    }
    return out;
}

struct OpenRequest {
    int flags;
    bool readable;
    bool writable;
};

std::optional<int> creation_flags(std::uint32_t disposition) {
    switch (disposition) {
        case kCreateNew: return O_CREAT | O_EXCL;
        case kCreateAlways: return O_CREAT | O_TRUNC;
        case kOpenExisting: return 0;
        case kOpenAlways: return O_CREAT;
        case kTruncateExisting: return O_TRUNC;
        default: return std::nullopt;
    }
}

std::optional<OpenRequest> open_request(std::uint32_t access, std::uint32_t disposition) {
    auto creation = creation_flags(disposition);
    bool readable = access & kGenericRead;
    bool writable = access & kGenericWrite;
    if (!creation || (access & ~(kGenericRead | kGenericWrite)) || !(readable || writable)) return std::nullopt;
    // Windows documents that TRUNCATE_EXISTING needs GENERIC_WRITE.
    if (disposition == kTruncateExisting && !writable) return std::nullopt;
    // CREATE_ALWAYS truncates whatever the access; ftruncate-by-open needs a
    // writable descriptor, while the handle still refuses writes.
    bool truncates = *creation & O_TRUNC;
    int mode = !writable ? (truncates ? O_RDWR : O_RDONLY) : (readable ? O_RDWR : O_WRONLY);
    return OpenRequest{*creation | mode | O_CLOEXEC, readable, writable};
}

bool is_directory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string parent_of(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

ErrorCode open_error(const std::string& path, int error) {
    if (error == ENOENT && !is_directory(parent_of(path))) return kErrorPathNotFound;
    // The open call reports a name collision as "file exists", unlike the
    // general status translation.
    if (error == EEXIST) return kErrorFileExists;
    return status_to_error(status_from_errno(error));
}

int open_descriptor(const std::string& path, int flags) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool descriptor_is_directory(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
}

// ---------------------------------------------------------------- transfers

struct IoRequest {
    std::shared_ptr<File> file;
    Overlapped* overlapped;
    char* buffer;
    std::uint32_t length;
    std::uint64_t offset;
    bool write;
    bool held;
};

struct IoResult {
    NtStatus status;
    std::uint32_t bytes;
};

ssize_t transfer_once(const IoRequest& request, std::uint32_t done) {
    auto offset = static_cast<off_t>(request.offset + done);
    char* at = request.buffer + done;
    std::size_t left = request.length - done;
    return request.write ? ::pwrite(request.file->fd(), at, left, offset)
                         : ::pread(request.file->fd(), at, left, offset);
}

IoResult perform(const IoRequest& request) {
    constexpr auto kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    if (request.offset > kMaxOffset - request.length) return {kStatusInvalidParameter, 0};
    std::uint32_t done = 0;
    while (done < request.length) {
        ssize_t moved = transfer_once(request, done);
        if (moved < 0 && errno == EINTR) continue;
        if (moved < 0) return {status_from_errno(errno), done};
        if (moved == 0) break;
        done += static_cast<std::uint32_t>(moved);
    }
    bool at_end = !request.write && request.length > 0 && done == 0;
    return {at_end ? kStatusEndOfFile : kStatusSuccess, done};
}

// The status is written last, with release order: a reader that sees it
// leave STATUS_PENDING (possibly on another thread) sees the byte count too.
void store_status(Overlapped& overlapped, NtStatus status) {
    std::atomic_ref<decltype(overlapped.Internal)>(overlapped.Internal).store(status, std::memory_order_release);
}

void record(const IoRequest& request, IoResult result) {
    request.overlapped->InternalHigh = result.bytes;
    store_status(*request.overlapped, result.status);
}

// An operation that went pending reports even its failure through the port.
void complete(const IoRequest& request, IoResult result) {
    record(request, result);
    request.file->notify({result.bytes, 0, request.overlapped, result.status});
}

// Runs deferred operations one at a time, in the order they were issued.
class IoWorker {
public:
    void submit(IoRequest request) {
        {
            std::lock_guard lock(mutex_);
            start_once();
            queue_.push_back(std::move(request));
        }
        changed_.notify_one();
    }

    void release_held() {
        {
            std::lock_guard lock(mutex_);
            for (auto& request : queue_) request.held = false;
        }
        changed_.notify_one();
    }

    // Completes every queued operation that matches as cancelled; returns how many.
    std::size_t cancel(const File* file, const Overlapped* overlapped) {
        std::vector<IoRequest> cancelled;
        {
            std::lock_guard lock(mutex_);
            auto matches = [&](const IoRequest& request) {
                return request.file.get() == file && (!overlapped || request.overlapped == overlapped);
            };
            auto first = std::stable_partition(queue_.begin(), queue_.end(), std::not_fn(matches));
            std::move(first, queue_.end(), std::back_inserter(cancelled));
            queue_.erase(first, queue_.end());
        }
        changed_.notify_one();
        for (const auto& request : cancelled) complete(request, {kStatusCancelled, 0});
        return cancelled.size();
    }

private:
    void start_once() {
        if (started_) return;
        std::thread([this] { run(); }).detach();
        started_ = true;
    }

    [[noreturn]] void run() {
        for (;;) {
            IoRequest request = next();
            complete(request, perform(request));
        }
    }

    IoRequest next() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !queue_.empty() && !queue_.front().held; });
        IoRequest request = std::move(queue_.front());
        queue_.pop_front();
        return request;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<IoRequest> queue_;
    bool started_ = false;
};

IoWorker& worker() {
    static auto* instance = new IoWorker;
    return *instance;
}

enum IoMode { kInline = 0, kDeferred = 1, kHeld = 2 };
std::atomic<int> g_io_mode{kInline};

bool complete_inline(const IoRequest& request, std::uint32_t* count) {
    IoResult result = perform(request);
    if (result.status != kStatusSuccess) {
        record(request, result);
        return fail(status_to_error(result.status));
    }
    if (count) *count = result.bytes;
    complete(request, result);
    return true;
}

bool defer(IoRequest request, bool held) {
    request.held = held;
    worker().submit(std::move(request));
    return fail(kErrorIoPending);
}

std::uint64_t offset_of(const Overlapped& overlapped) {
    return overlapped.Offset | (std::uint64_t{overlapped.OffsetHigh} << 32);
}

bool start_io(Handle handle, char* buffer, std::uint32_t length, std::uint32_t* count, Overlapped* overlapped,
              bool write) {
    if (count) *count = 0;
    // Like the system, mark the operation pending before anything can fail:
    // a call that fails at once leaves it so.
    if (overlapped) store_status(*overlapped, kStatusPending);
    auto file = find_object<File>(handle);
    if (!file) return fail(kErrorInvalidHandle);
    if (!file->can(write)) return fail(kErrorAccessDenied);
    if (!overlapped) return fail(kErrorInvalidParameter);
    IoRequest request{std::move(file), overlapped, buffer, length, offset_of(*overlapped), write, false};
    switch (g_io_mode.load(std::memory_order_relaxed)) {
        case kDeferred: return defer(std::move(request), false);
        case kHeld: return defer(std::move(request), true);
        default: return complete_inline(request, count);
    }
}

// ---------------------------------------------------------------- threads

// Runs one started thread; `finished_` lets waits time out, which a bare
// pthread_join cannot.
class ThreadObject final : public Object {
public:
    static constexpr Kind kKind = Kind::Thread;
    ThreadObject(ThreadEntry entry, void* context) : Object(kKind), entry_(entry), context_(context) {}

    // The new thread owns a reference so that closing its handle early is safe.
    static int launch(const std::shared_ptr<ThreadObject>& self, std::size_t stack_reservation) {
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        if (stack_reservation > 0) pthread_attr_setstacksize(&attributes, stack_size(stack_reservation));
        auto* owner = new std::shared_ptr<ThreadObject>(self);
        int error = pthread_create(&self->thread_, &attributes, &ThreadObject::run, owner);
        pthread_attr_destroy(&attributes);
        if (error != 0) {
            delete owner;
        } else {
            self->state_ = State::Running;
        }
        return error;
    }

    std::uint32_t wait(std::uint32_t timeout_ms) {
        std::unique_lock lock(mutex_);
        auto finished = [this] { return finished_; };
        if (timeout_ms == kInfinite) {
            finished_changed_.wait(lock, finished);
        } else if (!finished_changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), finished)) {
            return kWaitTimeout;
        }
        if (state_ == State::Running) {
            pthread_join(thread_, nullptr);
            state_ = State::Joined;
        }
        return kWaitObject0;
    }

    void release() {
        std::lock_guard lock(mutex_);
        if (state_ == State::Running) {
            pthread_detach(thread_);
            state_ = State::Detached;
        }
    }

private:
    enum class State { NotStarted, Running, Joined, Detached };

    static std::size_t stack_size(std::size_t reservation) {
        auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        std::size_t rounded = (reservation + page - 1) / page * page;
        return std::max<std::size_t>(rounded, PTHREAD_STACK_MIN);
    }

    // Signals the end of the thread however it ends: the interpreter may
    // unwind a thread that asks for its lock during finalization, and the
    // system signals the handle then too.
    struct FinishSignal {
        ThreadObject& self;
        ~FinishSignal() {
            {
                std::lock_guard lock(self.mutex_);
                self.finished_ = true;
            }
            self.finished_changed_.notify_all();
        }
    };

    static void* run(void* owner) {
        std::unique_ptr<std::shared_ptr<ThreadObject>> reference(static_cast<std::shared_ptr<ThreadObject>*>(owner));
        ThreadObject& self = **reference;
        FinishSignal signal{self};
        self.entry_(self.context_);
        return nullptr;
    }

    const ThreadEntry entry_;
    void* const context_;
    pthread_t thread_{};
    std::mutex mutex_;
    std::condition_variable finished_changed_;
    bool finished_ = false;
    State state_ = State::NotStarted;
};

ErrorCode thread_error(int error) {
    switch (error) {
        case EAGAIN: return kErrorNotEnoughMemory;
        case EINVAL: return kErrorInvalidParameter;
        case EPERM: return kErrorAccessDenied;
        default: return kErrorGenFailure;
    }
}

std::atomic<std::uint32_t> g_heap_blocks{0};

}  // namespace

// ---------------------------------------------------------------- interface

Handle create_port() {
    if (injected(Operation::CreatePort)) return nullptr;
    return handles().insert(std::make_shared<Port>());
}

// No existing port: the system makes one for the file and hands it back.
Handle associate_with_new_port(std::shared_ptr<File> file) {
    auto port = std::make_shared<Port>();
    if (!file->attach(port)) return fail<Handle>(kErrorInvalidParameter, nullptr);
    return handles().insert(std::move(port));
}

Handle associate(Handle file, Handle port) {
    if (injected(Operation::Associate)) return nullptr;
    auto file_object = find_object<File>(file);
    if (!file_object) return fail<Handle>(kErrorInvalidHandle, nullptr);
    if (!port) return associate_with_new_port(std::move(file_object));
    auto port_object = find_object<Port>(port);
    if (!port_object) return fail<Handle>(kErrorInvalidHandle, nullptr);
    if (!file_object->attach(std::move(port_object))) return fail<Handle>(kErrorInvalidParameter, nullptr);
    return port;
}

Handle open_file(const char16_t* path, std::uint32_t access, std::uint32_t disposition) {
    if (injected(Operation::CreateFile)) return kInvalidHandle;
    auto request = open_request(access, disposition);
    if (!request) return fail(kErrorInvalidParameter, kInvalidHandle);
    std::string name = utf8_from_utf16(path);
    if (name.empty()) return fail(kErrorPathNotFound, kInvalidHandle);
    int fd = open_descriptor(name, request->flags);
    if (fd < 0) return fail(open_error(name, errno), kInvalidHandle);
    if (descriptor_is_directory(fd)) {
        ::close(fd);
        return fail(kErrorAccessDenied, kInvalidHandle);
    }
    return handles().insert(std::make_shared<File>(fd, request->readable, request->writable));
}

bool read_file(Handle file, void* buffer, std::uint32_t len, std::uint32_t* count, Overlapped* overlapped) {
    if (injected(Operation::Read)) return false;
    return start_io(file, static_cast<char*>(buffer), len, count, overlapped, false);
}

bool write_file(Handle file, const void* data, std::uint32_t len, std::uint32_t* count, Overlapped* overlapped) {
    if (injected(Operation::Write)) return false;
    // pwrite only reads through the pointer; the request type is shared with reads.
    return start_io(file, static_cast<char*>(const_cast<void*>(data)), len, count, overlapped, true);
}

bool cancel_io(Handle file, Overlapped* overlapped) {
    if (injected(Operation::Cancel)) return false;
    auto object = find_object<File>(file);
    if (!object) return fail(kErrorInvalidHandle);
    if (worker().cancel(object.get(), overlapped) == 0) return fail(kErrorNotFound);
    return true;
}

bool post(Handle port, std::uint32_t bytes, std::uintptr_t key, Overlapped* overlapped) {
    if (injected(Operation::Post)) return false;
    auto object = find_object<Port>(port);
    if (!object) return fail(kErrorInvalidHandle);
    object->push({bytes, key, overlapped, kStatusSuccess});
    return true;
}

bool wait(Handle port, OverlappedEntry* entries, std::uint32_t capacity, std::uint32_t* removed,
          std::uint32_t timeout_ms) {
    if (injected(Operation::Wait)) return false;
    if (removed) *removed = 0;
    auto object = find_object<Port>(port);
    if (!object) return fail(kErrorInvalidHandle);
    if (!entries || capacity == 0 || !removed) return fail(kErrorInvalidParameter);
    ErrorCode error = object->pop(entries, capacity, removed, timeout_ms);
    return error == 0 || fail(error);
}

ErrorCode status_to_error(NtStatus status) {
    for (const auto& mapping : kStatusMappings) {
        if (mapping.status == status) return mapping.error;
    }
    return kErrorMrMidNotFound;
}

bool close(Handle handle) {
    if (injected(Operation::Close)) return false;
    auto object = handles().remove(handle);
    if (!object) return fail(kErrorInvalidHandle);
    switch (object->kind()) {
        case Kind::File: worker().cancel(static_cast<File*>(object.get()), nullptr); break;
        case Kind::Port: std::static_pointer_cast<Port>(object)->close(); break;
        case Kind::Thread: std::static_pointer_cast<ThreadObject>(object)->release(); break;
    }
    return true;
}

Handle start_thread(ThreadEntry entry, void* context, std::size_t stack_reservation) {
    if (injected(Operation::CreateThread)) return nullptr;
    if (!entry) return fail<Handle>(kErrorInvalidParameter, nullptr);
    auto thread = std::make_shared<ThreadObject>(entry, context);
    int error = ThreadObject::launch(thread, stack_reservation);
    if (error != 0) return fail<Handle>(thread_error(error), nullptr);
    return handles().insert(std::move(thread));
}

std::uint32_t wait_for(Handle handle, std::uint32_t timeout_ms) {
    if (injected(Operation::WaitForObject)) return kWaitFailed;
    auto thread = find_object<ThreadObject>(handle);
    if (!thread) return fail(kErrorInvalidHandle, kWaitFailed);
    return thread->wait(timeout_ms);
}

void* heap_alloc(std::size_t size) {
    // HeapAlloc hands out a distinct block even for zero bytes.
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block) g_heap_blocks.fetch_add(1, std::memory_order_relaxed);
    return block;
}

void heap_free(void* block) {
    if (!block) return;
    g_heap_blocks.fetch_sub(1, std::memory_order_relaxed);
    std::free(block);
}

ErrorCode last_error() { return t_last_error; }

std::string describe_error(ErrorCode code) {
    for (const auto& entry : kErrorTexts) {
        if (entry.code == code) return entry.text;
    }
    return "Unknown error " + std::to_string(code);
}

}  // namespace kiln::platform

// ---------------------------------------------------------------- control API

namespace platform = kiln::platform;

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

KILN_EMU_API std::uint32_t kiln_emu_open_handle_count(void) { return platform::handles().count_io_objects(); }

KILN_EMU_API std::uint32_t kiln_emu_heap_blocks(void) {
    return platform::g_heap_blocks.load(std::memory_order_relaxed);
}

KILN_EMU_API void kiln_emu_set_io_mode(int mode) {
    if (mode >= platform::kInline && mode <= platform::kHeld) platform::g_io_mode.store(mode);
}

KILN_EMU_API void kiln_emu_release_held(void) { platform::worker().release_held(); }

KILN_EMU_API int kiln_emu_fail_next(const char* operation, std::uint32_t error) {
    if (!operation) return 0;
    const auto& names = platform::kOperationNames;
    auto found = std::find(names.begin(), names.end(), std::string_view(operation));
    if (found == names.end()) return 0;
    platform::faults().arm(static_cast<platform::Operation>(found - names.begin()), error);
    return 1;
}
