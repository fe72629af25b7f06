// Iocp construction, the four submit methods and shutdown.
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

struct Opened {
    OwnedHandle file;  // empty when the open failed
    ErrorCode error;
};

// A file that cannot be tied to the port is closed again: its reads and
// writes would never complete.
Opened open_on_port(const std::u16string& path, std::uint32_t access, std::uint32_t disposition,
                    platform::Handle port) {
    platform::Handle handle = platform::open_file(path.c_str(), access, disposition);
    if (handle == platform::kInvalidHandle) {
        return {OwnedHandle(), platform::last_error()};
    }
    OwnedHandle file(handle);
    if (!platform::associate(handle, port)) {
        ErrorCode code = platform::last_error();
        file.reset();
        return {OwnedHandle(), code};
    }
    return {std::move(file), 0};
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

Result<PyRef> iocp_submit_open(IocpFields& self, std::u16string& path, bool write, bool create, bool truncate,
                               bool exclusive) {
    if (!self.running()) {
        return shut_down();
    }
    std::uint64_t id = self.take_next_id();
    Opened opened = open_on_port(path, desired_access(write), creation_disposition(create, truncate, exclusive),
                                 self.port());
    OwnedOp op = make_open_op(id, opened.file ? opened.file.get() : platform::kInvalidHandle, opened.error);
    if (ErrorCode code = post_op(self.port(), op, 0)) {
        return submitted(id, code);  // the record is released and the new file closed on the way out
    }
    opened.file.release();  // the caller's, through the completion
    return submitted(id, 0);
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
    return submitted(id, start_read(to_handle(handle), self.port(), op));
}

Result<PyRef> iocp_submit_write(IocpFields& self, std::intptr_t handle, std::uint64_t offset, PyRef& data) {
    if (!self.running()) {
        return shut_down();
    }
    PyRef own = std::move(data);
    std::uint64_t id = self.take_next_id();
    OwnedOp op = make_write_op(id, offset, std::move(own));
    return submitted(id, start_write(to_handle(handle), self.port(), op));
}

Result<PyRef> iocp_submit_close(IocpFields& self, std::intptr_t handle) {
    if (!self.running()) {
        return shut_down();
    }
    std::uint64_t id = self.take_next_id();
    platform::Handle target = to_handle(handle);
    ErrorCode error = platform::kErrorInvalidHandle;
    if (!is_own_handle(self, target)) {
        error = platform::close(target) ? 0 : platform::last_error();
    }
    OwnedOp op = make_close_op(id, error);
    return submitted(id, post_op(self.port(), op, 0));
}

Status iocp_shutdown(IocpFields& self) {
    IocpClass::teardown(self);
    return std::nullopt;
}

}  // namespace kiln::iocp
