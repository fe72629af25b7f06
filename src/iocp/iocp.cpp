// Iocp construction, its checks before a submission, and shutdown. The
// submissions themselves are shared with every class that owns a port
// (submit.cpp).
#include "iocp/iocp.h"

#include "iocp/open_flags.h"
#include "iocp/running_engines.h"

namespace kiln::iocp {

Failure IocpFields::shut_down() { return Failure::deferred(PyExc_RuntimeError, "Iocp has been shut down"); }

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

// Closing the object's own port or thread through submit_close would strand
// its thread or its stop sequence.
Result<PyRef> iocp_submit_close(IocpFields& self, std::intptr_t handle) {
    if (!self.running()) {
        return IocpFields::shut_down();
    }
    platform::Handle target = to_handle(handle);
    if (target == self.port() || target == self.thread()) {
        return submit_refused_close(self.submitter(), platform::kErrorInvalidHandle);
    }
    return submit_close(self.submitter(), handle);
}

Result<PyRef> iocp_cancel(IocpFields& self, std::uint64_t id) {
    if (!self.running()) {
        return PyRef::borrow(Py_False);
    }
    return cancel_operation(self.engine()->in_flight, id);
}

Result<PyRef> iocp_file_type(IocpFields&, std::intptr_t handle) { return query_file_type(handle); }

Status iocp_shutdown(IocpFields& self) {
    IocpClass::teardown(self);
    return std::nullopt;
}

Result<PyRef> iocp_engine() { return created(PyUnicode_FromString(platform::engine_name())); }

}  // namespace kiln::iocp
