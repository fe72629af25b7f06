// Iocp: a completion port of its own and one completion thread that hands
// batches of completion tuples to the event loop.
#pragma once

#include "frame/failure.h"
#include "iocp/iocp_fields.h"

#include <cstdint>

namespace kiln::iocp {

struct IocpClass {
    using Fields = IocpFields;
    static constexpr const char* kTypePath = "_kiln::iocp::Iocp";
    // Destruction on the owner thread: stops the object if it is running.
    static void teardown(IocpFields& fields);
};

Result<IocpFields> construct_iocp(PyRef& loop_obj, PyRef& on_complete);
Result<PyRef> iocp_submit_open(IocpFields& self, platform::NativePath& path, bool write, bool create, bool truncate,
                               bool exclusive, bool append, bool read);
Result<PyRef> iocp_submit_read(IocpFields& self, std::intptr_t handle, std::uint64_t offset, std::uint32_t len);
Result<PyRef> iocp_submit_write(IocpFields& self, std::intptr_t handle, std::uint64_t offset, PyRef& data);
Result<PyRef> iocp_submit_close(IocpFields& self, std::intptr_t handle);
Result<PyRef> iocp_submit_size(IocpFields& self, std::intptr_t handle);
Result<PyRef> iocp_submit_truncate(IocpFields& self, std::intptr_t handle, std::uint64_t size);
Result<PyRef> iocp_submit_sync(IocpFields& self, std::intptr_t handle, bool data_only);
Result<PyRef> iocp_cancel(IocpFields& self, std::uint64_t id);
Result<PyRef> iocp_file_type(IocpFields& self, std::intptr_t handle);
Status iocp_shutdown(IocpFields& self);
// The engine the object's reads and writes run on.
Result<PyRef> iocp_engine();

}  // namespace kiln::iocp
