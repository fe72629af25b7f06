// The one report of a failed allocation of the module's own memory: an
// operation record, a block the platform layer needs, or anything the
// module's C++ code allocates. Nothing is raised; the process ends.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace kiln {

// Writes "memory allocation of {size} bytes failed" to stderr and aborts.
// Size 0 stands for an allocation of unknown size made inside the C++
// runtime's own compiled code.
[[noreturn]] inline void allocation_failed(std::size_t size) noexcept {
    // Built on the stack: the heap has just failed.
    char line[64] = "memory allocation failed\n";
    if (size) {
        constexpr char kPrefix[] = "memory allocation of ";
        constexpr char kSuffix[] = " bytes failed\n";
        char* end = std::copy(kPrefix, kPrefix + sizeof kPrefix - 1, line);
        end = std::to_chars(end, end + 20, size).ptr;  // 20 digits hold any 64-bit size
        std::copy(kSuffix, kSuffix + sizeof kSuffix, end);
    }
    std::fputs(line, stderr);
    std::abort();
}

}  // namespace kiln
