// How both backends turn the open flags into the arguments of the open call.
#pragma once

#include "platform/platform.h"

#include <cstdint>

namespace kiln::iocp {

// The access the caller asked for and no more: a file the user may write but
// not read must still open for writing. Append wins over plain writing.
inline std::uint32_t desired_access(bool read, bool write, bool append) noexcept {
    std::uint32_t access = read ? platform::kGenericRead : 0;
    if (append) {
        return access | platform::kAppendData;
    }
    return write ? access | platform::kGenericWrite : access;
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
