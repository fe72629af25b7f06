#include "iocp/submit.h"

#include "iocp/open_flags.h"

namespace kiln::iocp {
namespace {

using platform::ErrorCode;

// A record that reached no port would leave its id without a completion.
Result<PyRef> submitted(std::uint64_t id, ErrorCode post_error) {
    if (post_error != 0) {
        return call_failed("PostQueuedCompletionStatus", post_error);
    }
    return created(PyLong_FromUnsignedLongLong(id));
}

// Listed before it starts, so that its delivery always finds it listed; a
// record that never reaches the port leaves the list as it is released.
OwnedOp& listed(Submitter to, OwnedOp& op, platform::Handle file) {
    to.in_flight.link(op.get(), file);
    return op;
}

Result<PyRef> on_file(Submitter to, platform::CallKind kind, std::intptr_t handle, std::uint64_t length = 0) {
    platform::FileCall call{};
    call.kind = kind;
    call.file = to_handle(handle);
    call.length = length;
    return submit_call(to, call);
}

}  // namespace

Result<PyRef> submit_call(Submitter to, const platform::FileCall& call, const platform::NativePath* path,
                          const platform::NativePath* path2) {
    std::uint64_t id = take_id(to.next_id);
    OwnedOp op = make_call_op(id, call, path, path2);
    return submitted(id, start_call(to.port, listed(to, op, nullptr)));
}

// The open runs on a worker: creating or truncating a large file can take
// the file system a long time, which the loop's thread must not wait for.
Result<PyRef> submit_open(Submitter to, platform::NativePath& path, bool write, bool create, bool truncate,
                          bool exclusive, bool append, bool read, std::int64_t mode) {
    platform::FileCall call{};
    call.kind = platform::CallKind::Open;
    call.access = desired_access(read, write, append);
    call.disposition = creation_disposition(create, truncate, exclusive);
    if (mode >= 0) {
        call.flags = platform::kCreateMode;
        call.mode = static_cast<std::uint32_t>(mode & 07777);
    }
    return submit_call(to, call, &path);
}

Result<PyRef> submit_read(Submitter to, std::intptr_t handle, std::uint64_t offset, std::uint32_t len) {
    PyRef buffer = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(len)));
    if (!buffer) {
        return Failure::fetch();
    }
    return submit_read_into(to, handle, offset, std::move(buffer), len);
}

Result<PyRef> submit_read_into(Submitter to, std::intptr_t handle, std::uint64_t offset, PyRef buffer,
                               std::uint32_t len) {
    std::uint64_t id = take_id(to.next_id);
    OwnedOp op = make_read_op(id, offset, std::move(buffer), len);
    platform::Handle file = to_handle(handle);
    return submitted(id, start_read(file, to.port, listed(to, op, file)));
}

namespace {

// The maker's hold on a group, let go of once every read has started.
struct GroupHold {
    Group* group;
    ~GroupHold() { leave_group(group); }
};

}  // namespace

// Each read carries the group's id, so that cancelling the id stops them all.
Result<PyRef> submit_group(Submitter to, std::intptr_t handle, PyRef results, std::vector<GroupRead>& reads) {
    std::uint64_t id = take_id(to.next_id);
    GroupHold hold{make_group(id, std::move(results))};
    platform::Handle file = to_handle(handle);
    for (GroupRead& read : reads) {
        OwnedOp op = make_read_op(id, read.offset, std::move(read.buffer), read.len);
        join_group(*op, *hold.group, read.index);
        if (ErrorCode error = start_read(file, to.port, listed(to, op, file))) {
            return call_failed("PostQueuedCompletionStatus", error);
        }
    }
    return created(PyLong_FromUnsignedLongLong(id));
}

Result<PyRef> submit_write(Submitter to, std::intptr_t handle, std::uint64_t offset, PyRef& data) {
    PyRef own = std::move(data);
    std::uint64_t id = take_id(to.next_id);
    OwnedOp op = make_write_op(id, offset, std::move(own));
    platform::Handle file = to_handle(handle);
    return submitted(id, start_write(file, to.port, listed(to, op, file)));
}

// The close runs on a worker too: the last close of a file may flush it.
Result<PyRef> submit_close(Submitter to, std::intptr_t handle) {
    return on_file(to, platform::CallKind::Close, handle);
}

Result<PyRef> submit_refused_close(Submitter to, ErrorCode error) {
    std::uint64_t id = take_id(to.next_id);
    OwnedOp op = make_close_op(id, error);
    return submitted(id, post_op(to.port, listed(to, op, nullptr), 0));
}

Result<PyRef> submit_size(Submitter to, std::intptr_t handle) { return on_file(to, platform::CallKind::Size, handle); }

Result<PyRef> submit_truncate(Submitter to, std::intptr_t handle, std::uint64_t size) {
    return on_file(to, platform::CallKind::Truncate, handle, size);
}

Result<PyRef> submit_sync(Submitter to, std::intptr_t handle, bool data_only) {
    return on_file(to, data_only ? platform::CallKind::DataSync : platform::CallKind::Sync, handle);
}

Result<PyRef> cancel_operation(InFlight& in_flight, std::uint64_t id) {
    return PyRef::borrow(in_flight.cancel(id) ? Py_True : Py_False);
}

Result<PyRef> query_file_type(std::intptr_t handle) {
    return created(PyLong_FromUnsignedLong(platform::file_type(to_handle(handle))));
}

}  // namespace kiln::iocp
