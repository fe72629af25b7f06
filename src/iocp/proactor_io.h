// ProactorIo: overlapped reads and writes on an asyncio proactor loop's port,
// reaped on the loop thread with take() and discard().
#pragma once

#include "frame/failure.h"
#include "iocp/proactor_fields.h"

#include <cstdint>
#include <string>

namespace kiln::iocp {

struct ProactorClass {
    using Fields = ProactorFields;
    static constexpr const char* kTypePath = "_kiln::iocp::ProactorIo";
    static void teardown(ProactorFields& fields);
};

Result<ProactorFields> construct_proactor(std::intptr_t iocp);
Result<PyRef> proactor_open(ProactorFields& self, platform::NativePath& path, bool write, bool create, bool truncate,
                            bool exclusive);
Result<PyRef> proactor_close(ProactorFields& self, std::intptr_t handle);
Result<PyRef> proactor_submit_read(ProactorFields& self, std::intptr_t handle, std::uint64_t offset,
                                   std::uint32_t len);
Result<PyRef> proactor_submit_write(ProactorFields& self, std::intptr_t handle, std::uint64_t offset, PyRef& data);
Result<PyRef> proactor_take(ProactorFields& self, std::uintptr_t addr, std::uintptr_t transferred);
Result<PyRef> proactor_discard(ProactorFields& self, std::uintptr_t addr);

}  // namespace kiln::iocp
