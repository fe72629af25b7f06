// The operation record shared by both backends: one heap block per submitted
// operation, beginning with its OVERLAPPED block, so that a completion
// packet's overlapped pointer is the record's address.
#pragma once

#include "frame/failure.h"
#include "platform/platform.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kiln::iocp {

enum class OpKind : std::uint8_t { Read = 0, Write = 1, Open = 2, Close = 3, Call = 4 };

class InFlight;

// The reads of one group: one completion, with every read's bytes, once the
// last of them is delivered. Each read's record holds the group; a record
// the system may still write is never released, so delivery has a count of
// its own.
struct Group {
    std::uint64_t id;         // the group's, which each of its reads carries too
    PyObject* results;        // owned list, one item per request of the group
    std::uint32_t remaining;  // reads whose records are not yet released, and the maker until it lets go
    platform::ErrorCode error;  // the first failure
    std::uint32_t undelivered;  // reads whose completions have not been delivered
};

struct Op {
    platform::Overlapped overlapped;  // first: its address is the record's address
    std::uint64_t id;
    OpKind kind;
    PyObject* buf;          // Read: owned bytes object the system reads into, or null once taken
    char* buf_ptr;          // Read: buf's contents
    std::uint32_t buf_len;  // Read: requested length
    PyObject* data;         // Write: owned reference to the caller's bytes
    platform::Handle opened_handle;  // Open: what the open returned
    platform::ErrorCode error;       // failure recorded by the submitting side; 0 = none
    // Call: a call without an overlapped form, run by a worker; its paths
    // are one copy the record owns, and so is the output block the worker
    // leaves in the call.
    platform::FileCall call;
    platform::PathChar* path;
    // Listed while its packet is on the way (Iocp only): the file it works
    // on, for a cancellation, and the links of its object's list.
    InFlight* tracker;
    platform::Handle file;
    Op* prev;
    Op* next;
    // Read: a read of a group, and its place in the group's results.
    Group* group;
    std::uint32_t index;
};
static_assert(offsetof(Op, overlapped) == 0, "the OVERLAPPED block must start the record");

// Offsets from 2^63 up are no file positions, and the all-ones offset means
// "at the end of the file" to the system; such operations fail instead.
inline constexpr std::uint64_t kLargestOffset = (std::uint64_t{1} << 63) - 1;
// The system's transfer counts are 32 bits wide.
inline constexpr std::uint32_t kLargestTransfer = 0xFFFFFFFFu;

// Takes the next id of an object's operation counter.
inline std::uint64_t take_id(std::atomic<std::uint64_t>& next_id) noexcept {
    return next_id.fetch_add(1, std::memory_order_relaxed);
}

// Releases a record with its Python references (deferred when this thread is
// not inside a call into the module).
void op_release(Op* op) noexcept;

struct OpRelease {
    void operator()(Op* op) const noexcept { op_release(op); }
};
// A record the caller still owns: not yet handed to the system or the port.
using OwnedOp = std::unique_ptr<Op, OpRelease>;

OwnedOp make_read_op(std::uint64_t id, std::uint64_t offset, PyRef buffer, std::uint32_t len);
// A group whose results start as the list given, held by its maker until
// leave_group; freed once its maker and every read have let go of it.
Group* make_group(std::uint64_t id, PyRef results);
void leave_group(Group* group) noexcept;
// Makes the read a member of `group`, at `index` of its results.
void join_group(Op& op, Group& group, std::uint32_t index) noexcept;
OwnedOp make_write_op(std::uint64_t id, std::uint64_t offset, PyRef data);
OwnedOp make_open_op(std::uint64_t id, platform::Handle opened, platform::ErrorCode error);
OwnedOp make_close_op(std::uint64_t id, platform::ErrorCode error);
// A call record; the call's paths, if any, are copied into the record.
OwnedOp make_call_op(std::uint64_t id, const platform::FileCall& call, const platform::NativePath* path,
                     const platform::NativePath* path2 = nullptr);

// Starts the call of a record made by make_call_op. Exactly one packet for
// the record is then on its way to `port`: the worker's, or one posted here
// when the call could not start. Returns 0, or the code of a failed post, in
// which case `op` still owns the record; otherwise `op` is empty.
platform::ErrorCode start_call(platform::Handle port, OwnedOp& op);

// start_call for many records at once (the workers are woken once). Exactly
// one packet for each record is then on its way. Returns 0, or the code of
// the first post that failed for a call that could not start; the records
// whose packets are on their way are released from `ops`, the others stay.
platform::ErrorCode start_calls(platform::Handle port, std::vector<OwnedOp>& ops);

// Posts a record to a port with key 0. On success the port owns it; on
// failure the record stays with the caller and the code is returned.
platform::ErrorCode post_op(platform::Handle port, OwnedOp& op, std::uint32_t bytes);

// Starts the read or write of a record made above. Whatever happens, exactly
// one packet for the record is on its way to `port`: queued by the system for
// a started I/O, or posted here for a start failure or the end of the file.
// Returns 0, or the code of a failed post, in which case `op` still owns the
// record; otherwise `op` is empty.
platform::ErrorCode start_read(platform::Handle file, platform::Handle port, OwnedOp& op);
platform::ErrorCode start_write(platform::Handle file, platform::Handle port, OwnedOp& op);

// The Windows error code of a completed record; 0 is success. A call's is the
// worker's, unless the call never started.
platform::ErrorCode op_outcome(const Op& op) noexcept;

// The bytes of a completed, successful read: the record's own buffer when
// `count` fills it, else a copy of its first `count` bytes (never more than
// the buffer holds); None when the buffer was already taken.
PyRef op_read_bytes(Op& op, std::uint32_t count);

// OSError(0, "{function} failed (winerror {code})", None, code), the code
// written unsigned.
Failure call_failed(const char* function, platform::ErrorCode code);

}  // namespace kiln::iocp
