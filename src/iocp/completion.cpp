#include "iocp/completion.h"

#include "iocp/call_data.h"
#include "iocp/open_flags.h"

namespace kiln::iocp {
namespace {

using platform::ErrorCode;

std::int64_t result_of_call(const platform::FileCall& call) noexcept {
    switch (call.kind) {
        case platform::CallKind::Open: return from_handle(call.opened);
        case platform::CallKind::Size: return static_cast<std::int64_t>(call.size);
        default: return 0;
    }
}

std::int64_t result_of(const Op& op, std::uint32_t count) noexcept {
    switch (op.kind) {
        case OpKind::Open: return from_handle(op.opened_handle);
        case OpKind::Close: return 0;
        case OpKind::Call: return result_of_call(op.call);
        default: return count;
    }
}

PyRef data_of(Op& op, ErrorCode outcome, std::uint32_t count) {
    if (op.kind == OpKind::Read && outcome == 0) {
        return op_read_bytes(op, count);
    }
    if (op.kind == OpKind::Call) return call_data(op.call, outcome);
    return PyRef::borrow(Py_None);
}

PyRef group_tuple(const Group& group) {
    PyRef id = created(PyLong_FromUnsignedLongLong(group.id));
    PyRef error = created(PyLong_FromLong(static_cast<std::int32_t>(group.error)));
    PyRef result = created(PyLong_FromLong(0));
    PyRef data = PyRef::borrow(group.error ? Py_None : group.results);
    PyRef tuple = created(PyTuple_New(4));
    PyObject* items[] = {id.release(), error.release(), result.release(), data.release()};
    for (Py_ssize_t index = 0; index < 4; ++index) {
        PyTuple_SetItem(tuple.get(), index, items[index]);
    }
    return tuple;
}

}  // namespace

PyRef completion_tuple(Op& op, std::uint32_t count) {
    ErrorCode outcome = op_outcome(op);
    PyRef data = data_of(op, outcome, count);
    PyRef id = created(PyLong_FromUnsignedLongLong(op.id));
    PyRef error = created(PyLong_FromLong(static_cast<std::int32_t>(outcome)));
    PyRef result = created(PyLong_FromLongLong(result_of(op, count)));
    PyRef tuple = created(PyTuple_New(4));
    PyObject* items[] = {id.release(), error.release(), result.release(), data.release()};
    for (Py_ssize_t index = 0; index < 4; ++index) {
        PyTuple_SetItem(tuple.get(), index, items[index]);
    }
    return tuple;
}

void append_completion(PyObject* batch, const PyRef& tuple) {
    if (PyList_Append(batch, tuple.get()) < 0) {
        PyRef::steal(PyErr_GetRaisedException());
    }
}

void deliver_completion(PyObject* batch, Op& op, std::uint32_t count) {
    Group* group = op.group;
    if (!group) {
        append_completion(batch, completion_tuple(op, count));
        return;
    }
    ErrorCode outcome = op_outcome(op);
    if (outcome != 0) {
        if (group->error == 0) {
            group->error = outcome;
        }
    } else {
        PyRef data = op_read_bytes(op, count);
        // What the cache gave at once, which this read goes on from.
        PyObject* first = PyList_GetItem(group->results, op.index);
        if (first != Py_None && data.get() != Py_None) {
            data = created(PyNumber_Add(first, data.get()));
        }
        PyList_SetItem(group->results, op.index, data.release());
    }
    // Its maker let go before returning, so the last read delivered completes it.
    if (--group->undelivered == 0) {
        append_completion(batch, group_tuple(*group));
    }
}

}  // namespace kiln::iocp
