// The completion-port calls of platform.h that are not about files or
// threads: ports, posts, waits, closing handles, the heap.
#include "platform/posix/emu.h"

#include <cstdlib>

namespace kiln::platform {
namespace emu {
std::atomic<std::uint32_t> g_heap_blocks{0};
}  // namespace emu

using namespace emu;

Handle create_port() {
    if (injected(Operation::CreatePort)) return nullptr;
    return insert_handle(make_port());
}

bool post(Handle port, std::uint32_t bytes, std::uintptr_t key, Overlapped* overlapped) {
    if (injected(Operation::Post)) return false;
    auto object = find_object<Port>(port);
    if (!object) return fail(kErrorInvalidHandle);
    object->push({bytes, key, overlapped, kStatusSuccess});
    return true;
}

bool wait(Handle port, OverlappedEntry* entries, std::uint32_t capacity, std::uint32_t* removed,
          std::uint32_t timeout_ms) {
    if (injected(Operation::Wait)) return false;
    if (removed) *removed = 0;
    auto object = find_object<Port>(port);
    if (!object) return fail(kErrorInvalidHandle);
    if (!entries || capacity == 0 || !removed) return fail(kErrorInvalidParameter);
    ErrorCode error = object->pop(entries, capacity, removed, timeout_ms);
    return error == 0 || fail(error);
}

// Operations in flight on a closed file complete, cancelled where they had
// not started, as they do when the last handle of a file goes on Windows.
bool close(Handle handle) {
    if (injected(Operation::Close)) return false;
    auto object = remove_handle(handle);
    if (!object) return fail(kErrorInvalidHandle);
    switch (object->kind()) {
        case Kind::File: cancel_everywhere(static_cast<File&>(*object), nullptr); break;
        case Kind::Port: static_cast<Port&>(*object).close(); break;
        case Kind::Thread: release_thread(*object); break;
    }
    return true;
}

void* heap_alloc(std::size_t size) {
    if (injected(Operation::HeapAlloc)) return nullptr;
    // HeapAlloc hands out a distinct block even for zero bytes.
    void* block = std::malloc(size == 0 ? 1 : size);
    if (!block) return fail<void*>(kErrorNotEnoughMemory, nullptr);
    g_heap_blocks.fetch_add(1, std::memory_order_relaxed);
    return block;
}

void heap_free(void* block) {
    if (!block) return;
    g_heap_blocks.fetch_sub(1, std::memory_order_relaxed);
    std::free(block);
}

}  // namespace kiln::platform
