// The submissions every class with a port of its own offers: each takes an
// id, makes the operation's record, lists it as in flight and starts it, so
// that exactly one packet for it reaches the port. A class checks that it
// may submit (it is running) and hands over what the submission goes through.
#pragma once

#include "frame/failure.h"
#include "iocp/in_flight.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace kiln::iocp {

struct Submitter {
    platform::Handle port;
    std::atomic<std::uint64_t>& next_id;
    InFlight& in_flight;
};

// `mode`: a new file's permission bits on POSIX (-1: 0666), less the umask.
Result<PyRef> submit_open(Submitter to, platform::NativePath& path, bool write, bool create, bool truncate,
                          bool exclusive, bool append, bool read, std::int64_t mode = -1);
Result<PyRef> submit_read(Submitter to, std::intptr_t handle, std::uint64_t offset, std::uint32_t len);
// A read into `buffer`, a new bytes object of `len` bytes.
Result<PyRef> submit_read_into(Submitter to, std::intptr_t handle, std::uint64_t offset, PyRef buffer,
                               std::uint32_t len);
// One read of a group: where it goes in the results, and into what.
struct GroupRead {
    std::uint32_t index;
    std::uint64_t offset;
    PyRef buffer;  // a new bytes object of `len` bytes
    std::uint32_t len;
};
// The reads of one group, whose one completion carries `results` (a list,
// already holding what needed no read) once every read is done: its data is
// the list, or None when a read failed, with the first failure's code.
Result<PyRef> submit_group(Submitter to, std::intptr_t handle, PyRef results, std::vector<GroupRead>& reads);
Result<PyRef> submit_write(Submitter to, std::intptr_t handle, std::uint64_t offset, PyRef& data);
Result<PyRef> submit_close(Submitter to, std::intptr_t handle);
// A close refused without reaching the system: the completion carries `error`.
Result<PyRef> submit_refused_close(Submitter to, platform::ErrorCode error);
Result<PyRef> submit_size(Submitter to, std::intptr_t handle);
Result<PyRef> submit_truncate(Submitter to, std::intptr_t handle, std::uint64_t size);
Result<PyRef> submit_sync(Submitter to, std::intptr_t handle, bool data_only);

// A call without an overlapped form, its paths (if any) copied into the record.
Result<PyRef> submit_call(Submitter to, const platform::FileCall& call, const platform::NativePath* path = nullptr,
                          const platform::NativePath* path2 = nullptr);

// True when operation `id` was in flight and the system was asked to stop it.
Result<PyRef> cancel_operation(InFlight& in_flight, std::uint64_t id);
// A query of the handle, answered at once: it never waits for the file.
Result<PyRef> query_file_type(std::intptr_t handle);

}  // namespace kiln::iocp
