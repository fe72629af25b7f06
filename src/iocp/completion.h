// Completion tuples: what a finished record becomes for the Python side,
// whichever thread reaps it.
#pragma once

#include "frame/failure.h"
#include "iocp/op.h"

#include <cstdint>

namespace kiln::iocp {

// (id, winerror, result, data) of a dequeued record, whose packet said
// `count` bytes were moved. Under the interpreter lock.
PyRef completion_tuple(Op& op, std::uint32_t count);

// Appends to a batch list; a tuple that cannot be appended is a lost
// completion, not a failure: its exception is dropped.
void append_completion(PyObject* batch, const PyRef& tuple);

// Appends what a dequeued record gives: its tuple; for a read of a group,
// its bytes go into the group's results, and the group's tuple follows once
// this is its last read. The record is released after this.
void deliver_completion(PyObject* batch, Op& op, std::uint32_t count);

}  // namespace kiln::iocp
