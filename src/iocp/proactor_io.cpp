// ProactorIo: synchronous open and close, overlapped reads and writes on the
// loop's port, and their reaping with take and discard.
#include "iocp/proactor_io.h"

#include "iocp/open_flags.h"
#include "platform/owned_handle.h"

#include <algorithm>
#include <string>
#include <utility>

namespace kiln::iocp {
namespace {

using platform::ErrorCode;

PyRef none() { return PyRef::borrow(Py_None); }

Failure io_failed(ErrorCode code) {
    return Failure::os_error("I/O failed (winerror " + std::to_string(static_cast<std::int32_t>(code)) + ")", code);
}

// The record is registered before its I/O starts, so that the registry owns
// it from the moment the system may write it.
Result<PyRef> submit(ProactorFields& self, std::intptr_t handle, OwnedOp op, Registry::Starter starter) {
    std::uintptr_t addr = self.ops().register_op(std::move(op), to_handle(handle));
    if (ErrorCode code = self.ops().start(addr, starter, self.port())) {
        // No packet will ever carry the record: nobody else could free it.
        OwnedOp unposted = self.ops().unregister_op(addr);
        unposted.reset();
        return call_failed("PostQueuedCompletionStatus", code);
    }
    return created(PyLong_FromUnsignedLongLong(addr));
}

Result<PyRef> result_of(Op& op, std::uintptr_t transferred) {
    if (ErrorCode code = op_outcome(op)) {
        return io_failed(code);
    }
    if (op.kind != OpKind::Read) {
        return created(PyLong_FromUnsignedLongLong(transferred));
    }
    // The count is the caller's word: never copy more than the buffer holds.
    auto count = static_cast<std::uint32_t>(std::min<std::uintptr_t>(transferred, op.buf_len));
    return op_read_bytes(op, count);
}

}  // namespace

void ProactorClass::teardown(ProactorFields& fields) { fields.ops().release_all(); }

Result<ProactorFields> construct_proactor(std::intptr_t port) { return ProactorFields(port); }

Result<PyRef> proactor_open(ProactorFields& self, platform::NativePath& path, bool write, bool create, bool truncate,
                            bool exclusive) {
    platform::Handle handle =
        platform::open_file(path.c_str(), desired_access(true, write, false), creation_disposition(create, truncate, exclusive));
    if (handle == platform::kInvalidHandle) {
        return call_failed("CreateFileW", platform::last_error());
    }
    platform::OwnedHandle file(handle);
    // A file the loop's port never hears from would leave its I/O hanging.
    if (!platform::associate(handle, self.port())) {
        ErrorCode code = platform::last_error();
        return call_failed("CreateIoCompletionPort", code);
    }
    PyRef value = created(PyLong_FromLongLong(from_handle(handle)));
    file.release();
    return value;
}

Result<PyRef> proactor_close(ProactorFields&, std::intptr_t handle) {
    platform::close(to_handle(handle));
    return none();
}

Result<PyRef> proactor_submit_read(ProactorFields& self, std::intptr_t handle, std::uint64_t offset,
                                   std::uint32_t len) {
    std::uint64_t id = self.take_next_id();
    PyRef buffer = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(len)));
    if (!buffer) {
        return Failure::fetch();
    }
    return submit(self, handle, make_read_op(id, offset, std::move(buffer), len), start_read);
}

Result<PyRef> proactor_submit_write(ProactorFields& self, std::intptr_t handle, std::uint64_t offset, PyRef& data) {
    std::uint64_t id = self.take_next_id();
    return submit(self, handle, make_write_op(id, offset, std::move(data)), start_write);
}

Result<PyRef> proactor_take(ProactorFields& self, std::uintptr_t addr, std::uintptr_t transferred) {
    const Op* found = self.ops().find(addr);
    if (!found) {
        return none();
    }
    // Freeing it now would leave the system writing into freed memory.
    if (in_flight(*found)) {
        return Failure::deferred(PyExc_RuntimeError, "I/O operation still in flight");
    }
    OwnedOp op = self.ops().unregister_op(addr);
    return result_of(*op, transferred);
}

Result<PyRef> proactor_discard(ProactorFields& self, std::uintptr_t addr) {
    self.ops().discard(addr);
    return none();
}

}  // namespace kiln::iocp
