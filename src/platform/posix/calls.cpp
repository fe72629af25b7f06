// Calls without an overlapped form (open, close, size, truncate, sync, and
// the calls on paths of fs_calls.cpp): run where the I/O mode says, and
// completed through the port like a transfer.
#include "platform/posix/emu.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kiln::platform {
namespace emu {
namespace {

ErrorCode injected_code(Operation operation) { return injected(operation) ? t_last_error : 0; }

// A file that cannot be tied to the port is closed again, unseen.
ErrorCode open_call(const CallRequest& request) {
    FileCall& call = *request.call;
    std::uint32_t permissions = call.flags & kCreateMode ? call.mode : 0666;
    Opened opened = open_new_file(call.path, call.access, call.disposition, permissions);
    if (!opened.file) return opened.error;
    // A file whose I/O no port would hear of is closed again.
    if (ErrorCode error = injected_code(Operation::Associate)) return error;
    opened.file->attach(request.port);
    call.opened = insert_handle(std::move(opened.file));
    return 0;
}

// What close() does for a file, to the file the handle named when the call
// started: a handle closed and reused since then is left alone.
ErrorCode close_call(CallRequest& request) {
    if (ErrorCode error = injected_code(Operation::Close)) return error;
    if (!remove_handle_of(request.call->file, request.file.get())) return kErrorInvalidHandle;
    cancel_everywhere(*request.file, nullptr);
    return 0;
}

ErrorCode size_call(const CallRequest& request) {
    if (ErrorCode error = injected_code(Operation::FileSize)) return error;
    struct stat info {};
    if (::fstat(request.file->fd(), &info) != 0) return errno_error(errno);
    request.call->size = static_cast<std::uint64_t>(info.st_size);
    return 0;
}

ErrorCode truncate_call(const CallRequest& request) {
    if (ErrorCode error = injected_code(Operation::Truncate)) return error;
    if (!request.file->can_truncate()) return kErrorAccessDenied;
    std::uint64_t length = request.call->length;
    if (length > kMaxFileOffset) return kErrorInvalidParameter;
    int fd = request.file->fd();
    return retrying([fd, length] { return ::ftruncate(fd, static_cast<off_t>(length)); });
}

ErrorCode sync_call(const CallRequest& request, bool data_only) {
    if (ErrorCode error = injected_code(Operation::Flush)) return error;
    int fd = request.file->fd();
    return retrying([fd, data_only] { return data_only ? ::fdatasync(fd) : ::fsync(fd); });
}

ErrorCode file_call(CallRequest& request) {
    if (!request.file) return kErrorInvalidHandle;
    switch (request.call->kind) {
        case CallKind::Close: return close_call(request);
        case CallKind::Size: return size_call(request);
        case CallKind::Truncate: return truncate_call(request);
        case CallKind::Sync: return sync_call(request, false);
        case CallKind::DataSync: return sync_call(request, true);
        case CallKind::StatFile: return stat_file_call(request);
        default: return kErrorInvalidParameter;
    }
}

// The outputs are written before the packet goes. Nobody can learn of a file
// opened for a port closed meanwhile: it is closed again.
void finish_call(CallRequest& request, ErrorCode error) {
    FileCall& call = *request.call;
    call.error = error;
    if (call.kind == CallKind::Open && error != 0) call.opened = kInvalidHandle;
    // The descriptor of a closed file goes before its packet, unless I/O in
    // flight still holds it.
    request.file.reset();
    request.overlapped->InternalHigh = 0;
    store_status(*request.overlapped, kStatusSuccess);
    bool queued = request.port->push({0, 0, request.overlapped, kStatusSuccess});
    if (!queued && call.kind == CallKind::Open && error == 0) remove_handle(call.opened);
}

bool known(CallKind kind) { return kind >= CallKind::Open && kind <= CallKind::RealPath; }

// Where a call runs outside the test modes: copies in their own lane.
Workers& workers_for(const FileCall& call) { return call.kind == CallKind::CopyFile ? copy_lane() : pool(); }

// Exactly one packet follows, even when no worker can start.
bool hand_to(Workers& workers, CallRequest request) {
    Job job{std::move(request)};
    if (ErrorCode error = workers.submit(std::move(job))) finish_call(std::get<CallRequest>(job), error);
    return true;
}

}  // namespace

void run_call(CallRequest& request) {
    CallKind kind = request.call->kind;
    ErrorCode error = kind == CallKind::Open   ? open_call(request)
                      : is_path_call(kind) ? path_call(*request.call)
                                           : file_call(request);
    finish_call(request, error);
}

}  // namespace emu

using namespace emu;

namespace {

// The request of a call about to start, or why it cannot start.
std::optional<CallRequest> call_request(Handle port, FileCall* call, Overlapped* overlapped) {
    if (injected(Operation::FileCall)) return std::nullopt;
    if (!call || !overlapped || !known(call->kind)) return fail(kErrorInvalidParameter, std::nullopt);
    auto port_object = find_object<Port>(port);
    if (!port_object) return fail(kErrorInvalidHandle, std::nullopt);
    return CallRequest{std::move(port_object), call, overlapped, nullptr};
}

}  // namespace

bool start_call(Handle port, FileCall* call, Overlapped* overlapped) {
    std::optional<CallRequest> made = call_request(port, call, overlapped);
    if (!made) return false;
    CallRequest request = std::move(*made);
    if (call->kind != CallKind::Open && !is_path_call(call->kind)) request.file = find_object<File>(call->file);
    store_status(*overlapped, kStatusPending);
    // A stream's transfers may wait for ever, and the test worker would run
    // the close only after them: they end now, as the close would end them.
    if (call->kind == CallKind::Close && request.file && request.file->stream()) {
        cancel_everywhere(*request.file, nullptr);
    }
    switch (g_io_mode.load(std::memory_order_relaxed)) {
        case kInline: run_call(request); return true;
        case kDeferred: return hand_to(test_worker(), std::move(request));
        default: return hand_to(workers_for(*call), std::move(request));
    }
}

std::uint32_t file_type(Handle handle) {
    auto file = find_object<File>(handle);
    if (!file) return fail(kErrorInvalidHandle, kFileTypeUnknown);
    switch (file->shape()) {
        case Shape::Regular: return kFileTypeDisk;
        case Shape::Fifo: return kFileTypePipe;
        default: return kFileTypeChar;
    }
}

// Started in order until one cannot be; the others go to their workers
// together, one wake-up for each set of workers.
std::uint32_t start_calls(Handle port, FileCall* const* calls, Overlapped* const* overlapped, std::uint32_t count) {
    int mode = g_io_mode.load(std::memory_order_relaxed);
    if (mode == kInline) {
        for (std::uint32_t index = 0; index < count; ++index) {
            if (!start_call(port, calls[index], overlapped[index])) return index;
        }
        return count;
    }
    std::vector<Job> short_calls;
    std::vector<Job> copies;
    std::uint32_t started = 0;
    ErrorCode refusal = 0;
    for (; started < count; ++started) {
        std::optional<CallRequest> request = call_request(port, calls[started], overlapped[started]);
        if (!request) {
            refusal = t_last_error;
            break;
        }
        FileCall& call = *calls[started];
        if (call.kind != CallKind::Open && !is_path_call(call.kind)) request->file = find_object<File>(call.file);
        store_status(*overlapped[started], kStatusPending);
        if (call.kind == CallKind::Close && request->file && request->file->stream()) {
            cancel_everywhere(*request->file, nullptr);
        }
        bool copy = mode != kDeferred && &workers_for(call) == &copy_lane();
        (copy ? copies : short_calls).emplace_back(std::move(*request));
    }
    Workers& short_workers = mode == kDeferred ? test_worker() : pool();
    // Exactly one packet for each started call, even when no worker can start.
    for (auto [workers, jobs] : {std::pair{&short_workers, &short_calls}, std::pair{&copy_lane(), &copies}}) {
        if (jobs->empty()) continue;
        if (ErrorCode error = workers->submit_many(*jobs)) {
            for (Job& job : *jobs) finish_call(std::get<CallRequest>(job), error);
        }
    }
    if (started < count) t_last_error = refusal;
    return started;
}

const char* engine_name() {
    switch (g_io_mode.load(std::memory_order_relaxed)) {
        case kInline: return "inline";
        case kDeferred: return "deferred";
        case kHeld: return "held";
        case kPool: return "pool";
        default: return system_engine() == kEngineUring ? "io_uring" : "pool";
    }
}

}  // namespace kiln::platform
