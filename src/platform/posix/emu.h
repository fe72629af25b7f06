// The pieces of the POSIX emulation that its files share. Private to
// src/platform/posix/; everything else sees platform.h and emulation.h only.
//
// Handles index one process-wide table of shared objects, so a handle closed
// on one thread never frees an object another thread is still using. A read
// or write is carried out by one of five engines, chosen by the I/O mode at
// the moment it starts: inline, deferred and held (deterministic, for tests),
// io_uring and a worker pool (the system engines). Every engine reports
// through the same port, so ports, posts and waits behave alike in every mode.
#pragma once

#include "platform/platform.h"

#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

namespace kiln::platform::emu {

// ---------------------------------------------------------------- errors (errors.cpp)

inline constexpr ErrorCode kErrorTooManyOpenFiles = 4;
inline constexpr ErrorCode kErrorWaitTimeout = 258;

extern thread_local ErrorCode t_last_error;

inline bool fail(ErrorCode code) {
    t_last_error = code;
    return false;
}

template <class T>
T fail(ErrorCode code, T result) {
    t_last_error = code;
    return result;
}

// A system call's outcome: 0, or its errno as an error code.
inline ErrorCode outcome_of(int result) { return result < 0 ? errno_error(errno) : 0; }

// The same, the call made again while a signal interrupts it.
template <class SystemCall>
ErrorCode retrying(SystemCall call) {
    int result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return outcome_of(result);
}

inline constexpr NtStatus kStatusInvalidParameter = 0xC000000D;
inline constexpr NtStatus kStatusNoMemory = 0xC0000017;

// A failure the system reported as errno travels with its number; only
// ECANCELED becomes the Windows cancellation, which callers branch on.
NtStatus status_from_errno(int error);
// The status that status_to_error turns back into `error`, for the codes
// this layer produces itself.
NtStatus status_from_error(ErrorCode error);

// ---------------------------------------------------------------- fault injection (faults.cpp)

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
    HeapAlloc,
    FileCall,
    FileSize,
    Truncate,
    Flush,
    WorkerThread,
    RingSubmit,
    RingWait,
    Count,
};

// True when a failure was armed for `operation`; the call then fails with it.
bool injected(Operation operation);
// The armed value, consumed; for the failure points that take an errno
// value rather than a Windows code (a worker thread, the ring's syscalls).
std::optional<int> injected_errno(Operation operation);
// false for a name the emulation does not know.
bool arm_fault(std::string_view name, ErrorCode error);

// ---------------------------------------------------------------- handle table (handles.cpp)

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

Handle insert_handle(std::shared_ptr<Object> object);
std::shared_ptr<Object> find_handle(Handle handle);
std::shared_ptr<Object> remove_handle(Handle handle);
// Removes the handle only while it still names `object`: a handle closed and
// reused since `object` was looked up names something else.
bool remove_handle_of(Handle handle, const Object* object);
std::uint32_t count_io_handles();
// Every object in the table, for the fork handlers (the table is locked then).
std::vector<std::shared_ptr<Object>> handle_snapshot_locked();
std::mutex& handle_table_mutex();

template <class T>
std::shared_ptr<T> find_object(Handle handle) {
    auto object = find_handle(handle);
    if (!object || object->kind() != T::kKind) return nullptr;
    return std::static_pointer_cast<T>(std::move(object));
}

// CloseHandle of a thread, and the fork handlers' part (threads.cpp).
void release_thread(Object& object);
void lock_thread_for_fork(Object& object);
void unlock_thread_after_fork(Object& object);
void reset_thread_in_child(Object& object);

// ---------------------------------------------------------------- ports (port.cpp)

struct Packet {
    std::uint32_t bytes;
    std::uintptr_t key;
    Overlapped* overlapped;
    NtStatus status;
};

class Ring;
class File;
struct IoRequest;

class Port final : public Object {
public:
    static constexpr Kind kKind = Kind::Port;
    // `signal`, an eventfd the port then owns, makes it a loop port.
    explicit Port(std::unique_ptr<Ring> ring, int signal = -1);
    ~Port() override;

    // False when the port was closed, and the packet went nowhere.
    bool push(const Packet& packet);
    // 0 when packets were removed, else the error the wait fails with.
    ErrorCode pop(OverlappedEntry* entries, std::uint32_t capacity, std::uint32_t* removed, std::uint32_t timeout_ms);
    void close();
    // The port's ring, or null when it has none or the ring belongs to the
    // process this one was forked from.
    Ring* ring() const;
    // Takes up to `capacity` queued packets; for the ring's waits.
    std::uint32_t take_queued(OverlappedEntry* entries, std::uint32_t capacity, bool* more);
    // Waits on the packet queue alone, for the waits of a broken ring; false
    // on time-out.
    bool wait_queued(std::uint32_t timeout_ms);
    void wake_one() { ready_->notify_one(); }
    // A loop port's eventfd; -1 for a port that threads wait on.
    int signal() const { return signal_; }
    void set_signal();
    void clear_signal();
    // Hands a loop port's queued reads and writes to the kernel; counts them.
    bool flush(std::uint32_t* submitted);
    bool closed() const { return closed_.load(std::memory_order_acquire); }

    // Fork handlers: every lock of the port, taken before the fork and
    // released in both processes afterwards.
    void lock_for_fork();
    void unlock_after_fork();
    // In the child: a fresh condition variable, the old one counting waiters
    // that exist only in the parent.
    void reset_in_child();

private:
    bool wait_ready(std::unique_lock<std::mutex>& lock, std::uint32_t timeout_ms);
    ErrorCode pop_signalled(OverlappedEntry* entries, std::uint32_t capacity, std::uint32_t* removed,
                            std::uint32_t timeout_ms);
    // Tells a waiter that packets are queued: the loop's eventfd, else the ring's doorbell.
    void wake_waiter();
    std::uint32_t take_locked(OverlappedEntry* entries, std::uint32_t capacity, bool* more);

    std::unique_ptr<Ring> ring_;
    std::mutex mutex_;
    std::unique_ptr<std::condition_variable> ready_ = std::make_unique<std::condition_variable>();
    std::deque<Packet> queue_;
    std::atomic<bool> closed_{false};
    int signal_;
    std::atomic<bool> signalled_{false};  // posts since the loop last cleared the eventfd
};

void fill_entry(OverlappedEntry& entry, const Packet& packet);

// A new port, with a ring of its own when io_uring is the system engine.
std::shared_ptr<Port> make_port();
// A new loop port: an eventfd, and a ring that queues submissions until a
// flush and signals the eventfd with each completion. Null when the system
// gives no eventfd.
std::shared_ptr<Port> make_loop_port();

// ---------------------------------------------------------------- files (file.cpp)

// Owns a file's descriptor. Operations the kernel has not started yet hold
// it too: io_uring looks the number up only when it issues them, and a number
// closed and reused meanwhile would send them to another file.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor();
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int fd() const { return fd_; }

private:
    const int fd_;
};

// What a handle may do: reading, writing at offsets (FILE_WRITE_DATA), or
// writing at the end alone (FILE_APPEND_DATA).
struct Access {
    bool read;
    bool write;
    bool append;
};

// FIFOs and character devices have no offsets: transfers move what is there.
enum class Shape { Regular, Fifo, Device };

class File final : public Object {
public:
    static constexpr Kind kKind = Kind::File;
    File(int fd, Access access, Shape shape);

    int fd() const { return descriptor_->fd(); }
    const std::shared_ptr<Descriptor>& descriptor() const { return descriptor_; }
    // Identifies the file for cancellation; never reused, unlike addresses.
    std::uint64_t id() const { return id_; }
    bool can(bool write) const { return write ? access_.write || access_.append : access_.read; }
    // An append-only handle may set the end of the file too, as an O_APPEND
    // descriptor may (the Win32 layer reopens the file for it).
    bool can_truncate() const { return access_.write || access_.append; }
    bool stream() const { return shape_ != Shape::Regular; }
    bool fifo() const { return shape_ == Shape::Fifo; }
    Shape shape() const { return shape_; }
    // Whether reads of what the cache holds may be tried without blocking;
    // false once the file system refused RWF_NOWAIT.
    bool reads_at_once() const { return !stream() && !refuses_nowait_.load(std::memory_order_relaxed); }
    void refuse_nowait() { refuses_nowait_.store(true, std::memory_order_relaxed); }
    bool attach(std::shared_ptr<Port> port);
    std::shared_ptr<Port> port();
    // Queues the packet on the associated port; nothing without one.
    void notify(const Packet& packet);

    void lock_for_fork() { mutex_.lock(); }
    void unlock_after_fork() { mutex_.unlock(); }

private:
    const std::shared_ptr<Descriptor> descriptor_;
    const std::uint64_t id_;
    const Access access_;
    const Shape shape_;
    std::atomic<bool> refuses_nowait_{false};
    std::mutex mutex_;
    std::shared_ptr<Port> port_;
};

// CreateFileW's work: the new file, or why there is none.
struct Opened {
    std::shared_ptr<File> file;
    ErrorCode error;
};
// A new file's permission bits are `permissions`, less the umask.
Opened open_new_file(const PathChar* path, std::uint32_t access, std::uint32_t disposition,
                     std::uint32_t permissions = 0666);

// ---------------------------------------------------------------- transfers (transfer.cpp)

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

inline constexpr std::uint64_t kMaxFileOffset = 0x7FFFFFFFFFFFFFFFull;

// Stops a worker's transfer that waits on a stream file: a flag, and an
// eventfd that the worker polls beside the file's descriptor.
class Interrupt {
public:
    Interrupt();
    ~Interrupt();
    Interrupt(const Interrupt&) = delete;
    Interrupt& operator=(const Interrupt&) = delete;

    // Before each request; under the lock that raise() is called under.
    void rearm() { raised_.store(false, std::memory_order_relaxed); }
    void raise();
    bool raised() const { return raised_.load(std::memory_order_acquire); }
    // -1 when no eventfd could be made: the wait then looks at the flag in slices.
    int fd() const { return fd_; }
    // Empties the eventfd once a wait has seen it readable.
    void drain();
    // In a forked child: the descriptor is a copy nobody there uses.
    void forget();

private:
    std::atomic<bool> raised_{false};
    int fd_;
};

// Regular files: pread/pwrite until done, the end of the file or a failure.
// Stream files: read() what is there, or write() all; a wait for the stream
// ends early when `interrupt` (null on the calling thread) is raised. A
// transfer that moved something before it failed succeeds with that count.
IoResult perform(const IoRequest& request, Interrupt* interrupt);
// The status is written last, with release order: a reader that sees it
// leave STATUS_PENDING (possibly on another thread) sees the byte count too.
void store_status(Overlapped& overlapped, NtStatus status);
void record(Overlapped& overlapped, IoResult result);
// Records the result and queues the packet on the file's port, if any.
void complete(const IoRequest& request, IoResult result);
// Cancels the file's matching operations in every engine; counts them.
std::size_t cancel_everywhere(File& file, const Overlapped* overlapped);
// The end of the file for a read that asked for something and got nothing.
inline NtStatus final_status(bool write, std::uint32_t length, std::uint32_t done) {
    return !write && length > 0 && done == 0 ? kStatusEndOfFile : kStatusSuccess;
}

// ---------------------------------------------------------------- calls (calls.cpp)

struct CallRequest {
    std::shared_ptr<Port> port;
    FileCall* call;
    Overlapped* overlapped;
    std::shared_ptr<File> file;  // looked up when the call started; null when the handle named no file
};

// Runs the call and posts its packet.
void run_call(CallRequest& request);

// ---------------------------------------------------------------- calls on paths (fs_calls.cpp)

// Stat .. RealPath, and StatFile.
bool is_path_call(CallKind kind);
// Runs a call on paths where it stands; its outcome.
ErrorCode path_call(FileCall& call);
ErrorCode stat_file_call(const CallRequest& request);

// ---------------------------------------------------------------- engines

// The I/O modes of the control API.
enum IoMode { kInline = 0, kDeferred = 1, kHeld = 2, kSystem = 3, kPool = 4 };
// The engines kiln_emu_engine() reports.
enum Engine : std::uint32_t { kEngineTest = 0, kEngineUring = 1, kEnginePool = 2 };

extern std::atomic<int> g_io_mode;

// The system engine of this process, probed once (engine.cpp).
Engine system_engine();
std::mutex& engine_choice_mutex();

using Job = std::variant<IoRequest, CallRequest>;

// A queue of jobs run by worker threads: one thread in issue order for the
// deferred and held modes, several for the pool (workers.cpp).
class Workers {
public:
    explicit Workers(unsigned threads) : threads_(threads) {}
    // 0 once queued. Otherwise the error that kept every worker thread from
    // starting, and `job` is left as it was for the caller to fail.
    ErrorCode submit(Job&& job);
    // As submit, for many jobs under one lock and one wake-up; `jobs` is left
    // as it was when an error is returned.
    ErrorCode submit_many(std::vector<Job>& jobs);
    void release_held();
    // Completes every queued request that matches as cancelled; counts those
    // and the matching requests already running, which finish by themselves.
    std::size_t cancel(std::uint64_t file_id, const Overlapped* overlapped);

    void lock_for_fork() { mutex_.lock(); }
    void unlock_after_fork() { mutex_.unlock(); }
    // In the child: the parent's threads and requests are not ours.
    void reset_in_child();

private:
    // One per thread: what it is running, and how to stop it waiting.
    struct Slot {
        Interrupt interrupt;
        bool busy = false;
        std::uint64_t file_id = 0;
        const Overlapped* overlapped = nullptr;
    };
    ErrorCode start_threads();
    ErrorCode start_thread();
    [[noreturn]] void run(Slot& slot);
    Job next(Slot& slot);
    void finished(Slot& slot);

    const unsigned threads_;
    std::mutex mutex_;
    // Replaced, never destroyed, in a forked child (see Port::reset_in_child).
    std::unique_ptr<std::condition_variable> changed_ = std::make_unique<std::condition_variable>();
    std::deque<Job> queue_;
    std::vector<Slot*> slots_;  // never freed while their threads run, which is for ever
    std::atomic<unsigned> announced_{0};  // threads that have begun to run
};

Workers& test_worker();
Workers& pool();
// Copies, apart from the pool: at most one fewer than the cores at once, so
// that the event loop keeps a core while bytes move, and no copy holds up the
// pool's short calls.
Workers& copy_lane();

// ---------------------------------------------------------------- io_uring (uring.cpp)

// Whether io_uring can carry this process's I/O (probed once, by system_engine).
bool uring_usable();
// From then on the process behaves as if the kernel refused io_uring, as
// container sandboxes commonly do: for the tests of the pool, before the
// first choice of the system engine.
void refuse_io_uring();

class Ring {
public:
    // Null when the kernel refuses a ring. With `signal` (an eventfd), the
    // ring queues reads and writes until flush() and signals it with every
    // completion: a loop port's.
    static std::unique_ptr<Ring> create(int signal = -1);
    ~Ring();
    Ring(const Ring&) = delete;
    Ring& operator=(const Ring&) = delete;

    // False in a process forked from the one that made the ring.
    bool owned() const;
    // Starts a read or write; false with last_error() when it could not
    // start. On a broken ring it fails at once, through the port.
    bool start(const IoRequest& request);
    // Makes a waiter look at the port's packet queue. A ring that cannot
    // ring it any more is broken, and its waiters watch the queue instead.
    void doorbell(bool always = false);
    bool broken() const;
    ErrorCode wait(Port& port, OverlappedEntry* entries, std::uint32_t capacity, std::uint32_t* removed,
                   std::uint32_t timeout_ms);
    // What the completion queue and the port's queue hold now, without
    // entering the kernel; kErrorAbandonedWait0 once the port is closed.
    ErrorCode collect(Port& port, OverlappedEntry* entries, std::uint32_t capacity, std::uint32_t* removed);
    // Submits what start() queued. A refusal breaks the ring: the queued
    // operations fail through `port`, and the errno comes back (0 on success).
    int flush(Port& port, std::uint32_t* submitted);
    std::size_t cancel(std::uint64_t file_id, const Overlapped* overlapped);

    void lock_for_fork();
    void unlock_after_fork();

private:
    struct Op;
    struct Impl;
    explicit Ring(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// The most threads the kernel may run for one task's transfers on our rings.
unsigned kernel_worker_limit();

// Live heap_alloc blocks (api.cpp).
extern std::atomic<std::uint32_t> g_heap_blocks;

// ---------------------------------------------------------------- fork (fork.cpp)

// Counts the forks this process came out of; a ring made in an earlier
// generation belongs to an ancestor and must not be touched.
extern std::atomic<unsigned> g_fork_generation;
void install_fork_handlers();

}  // namespace kiln::platform::emu
