// Iocp: a completion port of its own and one completion thread that hands
// batches of completion tuples to the event loop.
#pragma once

#include "frame/failure.h"
#include "iocp/iocp_fields.h"
#include "iocp/submit.h"

#include <cstdint>

namespace kiln::iocp {

struct IocpClass {
    using Fields = IocpFields;
    static constexpr const char* kTypePath = "_kiln::iocp::Iocp";
    // Destruction on the owner thread: stops the object if it is running.
    static void teardown(IocpFields& fields);
};

// A submission through an object that owns a port, refused once the object
// has stopped (its port's handle value may already name another object).
template <class Fields, auto Body, class... Args>
Result<PyRef> through(Fields& self, Args&... args) {
    if (!self.running()) {
        return Fields::shut_down();
    }
    return Body(self.submitter(), args...);
}

Result<IocpFields> construct_iocp(PyRef& loop_obj, PyRef& on_complete);
Result<PyRef> iocp_submit_close(IocpFields& self, std::intptr_t handle);
Result<PyRef> iocp_cancel(IocpFields& self, std::uint64_t id);
Result<PyRef> iocp_file_type(IocpFields& self, std::intptr_t handle);
Status iocp_shutdown(IocpFields& self);
// The engine the object's reads and writes run on.
Result<PyRef> iocp_engine();

}  // namespace kiln::iocp
