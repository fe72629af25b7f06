#include "frame/frame.h"

#include <cstdio>
#include <cstdlib>

namespace kiln {
namespace {

std::string thread_name(std::uint64_t id) { return "ThreadId(" + std::to_string(id) + ")"; }

[[noreturn]] void abort_converting() noexcept {
    std::fputs("kiln: fatal: a second internal failure happened while an internal failure was being raised\n",
               stderr);
    std::abort();
}

}  // namespace

void check_owner(const Bookkeeping& book, const char* type_path) {
    std::uint64_t caller = current_thread_id();
    if (caller == book.owner) {
        return;
    }
    internal_failure(std::string("assertion `left == right` failed: ") + type_path +
                     " is unsendable, but sent to another thread\n  left: " + thread_name(caller) +
                     "\n right: " + thread_name(book.owner));
}

void raise_internal(const InternalError& error) noexcept {
    try {
        Failure::internal(error).raise();
    } catch (...) {
        abort_converting();
    }
}

void report_internal_unraisable(const InternalError& error) noexcept {
    try {
        Failure::internal(error).report_unraisable();
    } catch (...) {
        abort_converting();
    }
}

void restore_raised(PyObject* raised) noexcept {
    if (PyErr_Occurred()) {
        PyErr_WriteUnraisable(nullptr);  // nothing may leave a deallocation
    }
    PyErr_SetRaisedException(raised);
}

}  // namespace kiln
