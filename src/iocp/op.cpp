#include "iocp/op.h"

#include "frame/frame.h"
#include "iocp/in_flight.h"
#include "platform/completion_rule.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace kiln::iocp {
namespace {

using platform::ErrorCode;

OwnedOp make_op(OpKind kind, std::uint64_t id) {
    void* block = platform::heap_alloc(sizeof(Op));
    if (!block) {
        allocation_failed(sizeof(Op));
    }
    std::memset(block, 0, sizeof(Op));
    auto* op = static_cast<Op*>(block);
    op->id = id;
    op->kind = kind;
    return OwnedOp(op);
}

void set_offset(Op& op, std::uint64_t offset) noexcept {
    op.overlapped.Offset = static_cast<std::uint32_t>(offset);
    op.overlapped.OffsetHigh = static_cast<std::uint32_t>(offset >> 32);
}

std::uint64_t offset_of(const Op& op) noexcept {
    return (std::uint64_t{op.overlapped.OffsetHigh} << 32) | op.overlapped.Offset;
}

// A start failure: the record carries the code to its reaper.
ErrorCode post_failure(platform::Handle port, OwnedOp& op, ErrorCode code) {
    op->error = code;
    return post_op(port, op, 0);
}

// After a read or write was started: hands the record to the system when it
// queues the packet, otherwise posts the one packet the reaper will see.
ErrorCode settle_start(bool returned, ErrorCode code, platform::Handle port, OwnedOp& op, std::uint32_t count) {
    if (platform::packet_follows(returned, code, op->overlapped)) {
        op.release();  // the system has it; the record may already be gone
        return 0;
    }
    if (code == platform::kErrorHandleEof && op->kind == OpKind::Read) {
        // A read at the end of the file is a success with the bytes it got.
        // The record holds STATUS_END_OF_FILE, or still STATUS_PENDING where
        // the system wrote no final status: mark it as finished either way.
        op->overlapped.Internal = platform::kStatusEndOfFile;
        return post_op(port, op, count);
    }
    return post_failure(port, op, code);
}

}  // namespace

void leave_group(Group* group) noexcept {
    if (--group->remaining == 0) {
        release_ref(group->results);
        delete group;
    }
}

void op_release(Op* op) noexcept {
    if (op->tracker) {
        op->tracker->unlink(op);
    }
    if (platform::still_held(static_cast<platform::NtStatus>(op->overlapped.Internal))) {
        return;  // the system may still write the record and its buffer: they stay
    }
    if (op->group) {
        leave_group(op->group);
    }
    if (op->path) {
        platform::heap_free(op->path);
    }
    if (op->kind == OpKind::Call && op->call.block) {
        platform::heap_free(op->call.block);
    }
    if (op->buf) {
        release_ref(op->buf);
    }
    if (op->data) {
        release_ref(op->data);
    }
    platform::heap_free(op);
}

OwnedOp make_read_op(std::uint64_t id, std::uint64_t offset, PyRef buffer, std::uint32_t len) {
    OwnedOp op = make_op(OpKind::Read, id);
    set_offset(*op, offset);
    op->buf = buffer.release();
    op->buf_ptr = PyBytes_AsString(op->buf);
    op->buf_len = len;
    return op;
}

Group* make_group(std::uint64_t id, PyRef results) {
    return new Group{id, results.release(), 1, 0, 0};
}

void join_group(Op& op, Group& group, std::uint32_t index) noexcept {
    op.group = &group;
    op.index = index;
    ++group.remaining;
    ++group.undelivered;
}

OwnedOp make_write_op(std::uint64_t id, std::uint64_t offset, PyRef data) {
    OwnedOp op = make_op(OpKind::Write, id);
    set_offset(*op, offset);
    op->data = data.release();
    return op;
}

OwnedOp make_open_op(std::uint64_t id, platform::Handle opened, ErrorCode error) {
    OwnedOp op = make_op(OpKind::Open, id);
    op->opened_handle = opened;
    op->error = error;
    return op;
}

OwnedOp make_close_op(std::uint64_t id, ErrorCode error) {
    OwnedOp op = make_op(OpKind::Close, id);
    op->error = error;
    return op;
}

// Both paths in one block, each with its terminator.
OwnedOp make_call_op(std::uint64_t id, const platform::FileCall& call, const platform::NativePath* path,
                     const platform::NativePath* path2) {
    OwnedOp op = make_op(OpKind::Call, id);
    op->call = call;
    op->call.opened = platform::kInvalidHandle;
    op->call.block = nullptr;
    if (path) {
        std::size_t first = path->size() + 1;
        std::size_t second = path2 ? path2->size() + 1 : 0;
        std::size_t bytes = (first + second) * sizeof(platform::PathChar);
        void* block = platform::heap_alloc(bytes);
        if (!block) {
            allocation_failed(bytes);
        }
        op->path = static_cast<platform::PathChar*>(block);
        std::memcpy(op->path, path->c_str(), first * sizeof(platform::PathChar));
        op->call.path = op->path;
        if (path2) {
            std::memcpy(op->path + first, path2->c_str(), second * sizeof(platform::PathChar));
            op->call.path2 = op->path + first;
        }
    }
    return op;
}

ErrorCode start_call(platform::Handle port, OwnedOp& op) {
    if (platform::start_call(port, &op->call, &op->overlapped)) {
        op.release();  // the worker has it; the record may already be gone
        return 0;
    }
    return post_failure(port, op, platform::last_error());
}

ErrorCode start_calls(platform::Handle port, std::vector<OwnedOp>& ops) {
    std::vector<platform::FileCall*> calls;
    std::vector<platform::Overlapped*> overlapped;
    calls.reserve(ops.size());
    overlapped.reserve(ops.size());
    for (OwnedOp& op : ops) {
        calls.push_back(&op->call);
        overlapped.push_back(&op->overlapped);
    }
    auto count = static_cast<std::uint32_t>(ops.size());
    std::uint32_t started = platform::start_calls(port, calls.data(), overlapped.data(), count);
    ErrorCode refusal = started < count ? platform::last_error() : 0;
    ErrorCode failed = 0;
    for (std::uint32_t index = 0; index < count; ++index) {
        if (index < started) {
            ops[index].release();  // the workers have it
        } else if (ErrorCode error = post_failure(port, ops[index], refusal); error && !failed) {
            failed = error;
        }
    }
    return failed;
}

ErrorCode post_op(platform::Handle port, OwnedOp& op, std::uint32_t bytes) {
    if (!platform::post(port, bytes, 0, &op->overlapped)) {
        return platform::last_error();
    }
    op.release();  // the port has it now
    return 0;
}

ErrorCode start_read(platform::Handle file, platform::Handle port, OwnedOp& op) {
    if (offset_of(*op) > kLargestOffset) {
        return post_failure(port, op, platform::kErrorInvalidParameter);
    }
    std::uint32_t count = 0;
    platform::mark_unstarted(op->overlapped);
    bool returned = platform::read_file(file, op->buf_ptr, op->buf_len, &count, &op->overlapped);
    return settle_start(returned, platform::last_error(), port, op, count);
}

ErrorCode start_write(platform::Handle file, platform::Handle port, OwnedOp& op) {
    if (offset_of(*op) > kLargestOffset) {
        return post_failure(port, op, platform::kErrorInvalidParameter);
    }
    const char* contents = PyBytes_AsString(op->data);
    auto size = static_cast<std::uint64_t>(PyBytes_Size(op->data));
    auto length = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, kLargestTransfer));
    platform::mark_unstarted(op->overlapped);
    bool returned = platform::write_file(file, contents, length, nullptr, &op->overlapped);
    return settle_start(returned, platform::last_error(), port, op, 0);
}

ErrorCode op_outcome(const Op& op) noexcept {
    if (op.error != 0) {
        return op.error;
    }
    if (op.kind == OpKind::Call) {
        return op.call.error;
    }
    auto status = static_cast<platform::NtStatus>(op.overlapped.Internal);
    if (status == platform::kStatusSuccess || status == platform::kStatusEndOfFile) {
        return 0;
    }
    return platform::status_to_error(status);
}

PyRef op_read_bytes(Op& op, std::uint32_t count) {
    PyRef buffer = PyRef::steal(std::exchange(op.buf, nullptr));
    if (!buffer) {
        return PyRef::borrow(Py_None);
    }
    if (count >= op.buf_len) {
        return buffer;
    }
    return created(PyBytes_FromStringAndSize(op.buf_ptr, static_cast<Py_ssize_t>(count)));
}

Failure call_failed(const char* function, ErrorCode code) {
    return Failure::os_error(std::string(function) + " failed (winerror " + std::to_string(code) + ")", code);
}

}  // namespace kiln::iocp
