// Loop ports, and reads of what the file cache holds, taken at once.
#include "platform/posix/emu.h"

#include <sys/uio.h>

#include <cerrno>

namespace kiln::platform {

using namespace emu;

Handle create_loop_port() {
    if (injected(Operation::CreatePort)) return nullptr;
    auto port = make_loop_port();
    if (!port) return fail<Handle>(errno_error(errno), nullptr);
    return insert_handle(std::move(port));
}

std::intptr_t port_signal(Handle port) {
    auto object = find_object<Port>(port);
    return object ? object->signal() : -1;
}

void clear_signal(Handle port) {
    if (auto object = find_object<Port>(port)) object->clear_signal();
}

bool flush_port(Handle port, std::uint32_t* submitted) {
    *submitted = 0;
    auto object = find_object<Port>(port);
    if (!object) return fail(kErrorInvalidHandle);
    return object->flush(submitted);
}

namespace {

// The engines that stand for a real system; the test modes keep every read
// on their own schedule.
bool system_mode() {
    int mode = g_io_mode.load(std::memory_order_relaxed);
    return mode == kSystem || mode == kPool;
}

}  // namespace

bool read_at_once(Handle handle, void* buffer, std::uint32_t len, std::uint64_t offset, std::uint32_t* count) {
    *count = 0;
    auto file = find_object<File>(handle);
    if (!file) return fail(kErrorInvalidHandle);
    if (!file->can(false)) return fail(kErrorAccessDenied);
    if (!system_mode() || !file->reads_at_once() || offset > kMaxFileOffset - len) return fail(kErrorIoPending);
    iovec piece{buffer, len};
    for (;;) {
        ssize_t got = ::preadv2(file->fd(), &piece, 1, static_cast<off_t>(offset), RWF_NOWAIT);
        if (got >= 0) {
            *count = static_cast<std::uint32_t>(got);
            return true;
        }
        switch (errno) {
            case EINTR: continue;
            case EAGAIN: return fail(kErrorIoPending);
            case EOPNOTSUPP:
            case ENOSYS:
                // This file system (or kernel) has no such read: ask no more.
                file->refuse_nowait();
                return fail(kErrorIoPending);
            default: return fail(errno_error(errno));
        }
    }
}

}  // namespace kiln::platform
