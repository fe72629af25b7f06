// Iocp construction, the submit methods, cancellation and shutdown.
#include "iocp/iocp.h"

#include "iocp/open_flags.h"
#include "iocp/running_engines.h"

namespace kiln::iocp {
namespace {

using platform::ErrorCode;

// After shutdown the port's handle value may already name another object.
Failure shut_down() { return Failure::deferred(PyExc_RuntimeError, "Iocp has been shut down"); }

// A record that reached no port would leave its id without a completion.
Result<PyRef> submitted(std::uint64_t id, ErrorCode post_error) {
    if (post_error != 0) {
        return call_failed("PostQueuedCompletionStatus", post_error);
    }
    return created(PyLong_FromUnsignedLongLong(id));
}

// Listed before it starts, so that its delivery always finds it listed; a
// record that never reaches the port leaves the list as it is released.
OwnedOp& listed(IocpFields& self, OwnedOp& op, platform::Handle file) {
    self.engine()->in_flight.link(op.get(), file);
    return op;
}

Result<PyRef> submit_call(IocpFields& self, const platform::FileCall& call,
                          const platform::NativePath* path = nullptr) {
    if (!self.running()) {
        return shut_down();
    }
    std::uint64_t id = self.take_next_id();
    OwnedOp op = make_call_op(id, call, path);
    return submitted(id, start_call(self.port(), listed(self, op, nullptr)));
}

Result<PyRef> submit_on_file(IocpFields& self, platform::CallKind kind, std::intptr_t handle,
                             std::uint64_t length = 0) {
    platform::FileCall call{};
    call.kind = kind;
    call.file = to_handle(handle);
    call.length = length;
    return submit_call(self, call);
}

// Closing the object's own port or thread through submit_close would strand
// its thread or its stop sequence.
bool is_own_handle(IocpFields& self, platform::Handle handle) {
    return handle == self.port() || handle == self.thread();
}

}  // namespace

void IocpClass::teardown(IocpFields& fields) {
    if (fields.engine()) {
        stop_engine(fields.engine());
    }
}

Result<IocpFields> construct_iocp(PyRef& loop_obj, PyRef& on_complete) {
    if (Status failed = ensure_exit_step()) {
        return std::move(*failed);
    }
    Result<EngineRef> engine = start_engine(loop_obj, on_complete);
    if (!engine.ok()) {
        return std::move(engine.failure());
    }
    return IocpFields(std::move(engine.value()));
}

// The open runs on a worker: creating or truncating a large file can take
// the file system a long time, which the loop's thread must not wait for.
Result<PyRef> iocp_submit_open(IocpFields& self, platform::NativePath& path, bool write, bool create, bool truncate,
                               bool exclusive, bool append, bool read) {
    platform::FileCall call{};
    call.kind = platform::CallKind::Open;
    call.access = desired_access(read, write, append);
    call.disposition = creation_disposition(create, truncate, exclusive);
    return submit_call(self, call, &path);
}

Result<PyRef> iocp_submit_read(IocpFields& self, std::intptr_t handle, std::uint64_t offset, std::uint32_t len) {
    if (!self.running()) {
        return shut_down();
    }
    std::uint64_t id = self.take_next_id();
    PyRef buffer = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(len)));
    if (!buffer) {
        return Failure::fetch();
    }
    OwnedOp op = make_read_op(id, offset, std::move(buffer), len);
    platform::Handle file = to_handle(handle);
    return submitted(id, start_read(file, self.port(), listed(self, op, file)));
}

Result<PyRef> iocp_submit_write(IocpFields& self, std::intptr_t handle, std::uint64_t offset, PyRef& data) {
    if (!self.running()) {
        return shut_down();
    }
    PyRef own = std::move(data);
    std::uint64_t id = self.take_next_id();
    OwnedOp op = make_write_op(id, offset, std::move(own));
    platform::Handle file = to_handle(handle);
    return submitted(id, start_write(file, self.port(), listed(self, op, file)));
}

// The close runs on a worker too: the last close of a file may flush it.
Result<PyRef> iocp_submit_close(IocpFields& self, std::intptr_t handle) {
    if (!self.running()) {
        return shut_down();
    }
    if (!is_own_handle(self, to_handle(handle))) {
        return submit_on_file(self, platform::CallKind::Close, handle);
    }
    std::uint64_t id = self.take_next_id();
    OwnedOp op = make_close_op(id, platform::kErrorInvalidHandle);
    return submitted(id, post_op(self.port(), listed(self, op, nullptr), 0));
}

Result<PyRef> iocp_submit_size(IocpFields& self, std::intptr_t handle) {
    return submit_on_file(self, platform::CallKind::Size, handle);
}

Result<PyRef> iocp_submit_truncate(IocpFields& self, std::intptr_t handle, std::uint64_t size) {
    return submit_on_file(self, platform::CallKind::Truncate, handle, size);
}

Result<PyRef> iocp_submit_sync(IocpFields& self, std::intptr_t handle, bool data_only) {
    return submit_on_file(self, data_only ? platform::CallKind::DataSync : platform::CallKind::Sync, handle);
}

Result<PyRef> iocp_cancel(IocpFields& self, std::uint64_t id) {
    bool found = self.running() && self.engine()->in_flight.cancel(id);
    return PyRef::borrow(found ? Py_True : Py_False);
}

// A query of the handle, answered at once: it never waits for the file.
Result<PyRef> iocp_file_type(IocpFields&, std::intptr_t handle) {
    return created(PyLong_FromUnsignedLong(platform::file_type(to_handle(handle))));
}

Status iocp_shutdown(IocpFields& self) {
    IocpClass::teardown(self);
    return std::nullopt;
}

Result<PyRef> iocp_engine() { return created(PyUnicode_FromString(platform::engine_name())); }

}  // namespace kiln::iocp
