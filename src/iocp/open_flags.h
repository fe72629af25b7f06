// How both backends turn the open flags into the arguments of the open call.
#pragma once

#include "platform/platform.h"

#include <cstdint>

namespace kiln::iocp {

// Files are always opened for reading.
inline std::uint32_t desired_access(bool write) noexcept {
    return write ? platform::kGenericRead | platform::kGenericWrite : platform::kGenericRead;
}

// `exclusive` counts only with `create`, and then wins over `truncate`;
// `truncate` without `create` creates a missing file.
inline std::uint32_t creation_disposition(bool create, bool truncate, bool exclusive) noexcept {
    if (create) {
        return exclusive ? platform::kCreateNew : truncate ? platform::kCreateAlways : platform::kOpenAlways;
    }
    return truncate ? platform::kCreateAlways : platform::kOpenExisting;
}

inline platform::Handle to_handle(std::intptr_t value) noexcept { return reinterpret_cast<platform::Handle>(value); }
inline std::intptr_t from_handle(platform::Handle handle) noexcept { return reinterpret_cast<std::intptr_t>(handle); }

}  // namespace kiln::iocp
