#include "frame/failure.h"

#include "frame/thread_state.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace kiln {
namespace {

constexpr const char* kGenericInternalText = "internal failure in the native module";

constexpr const char* kInternalFailureDoc =
    "Raised when the native code of _kiln fails in a way that is not part of its error design.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it normally\n"
    "propagates all the way up and ends the interpreter instead of being swallowed by\n"
    "`except Exception`.";

std::atomic<PyObject*> g_internal_failure_type{nullptr};
OnceFlag g_internal_failure_once;

// Keeps the diagnostic short: the path from the source root on.
const char* source_place(const char* file) {
    const char* from_src = std::strstr(file, "src/");
    return from_src ? from_src : file;
}

std::string text_of(PyObject* object) {
    PyRef text = PyRef::steal(PyObject_Str(object));
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
    if (!utf8) {
        PyErr_Clear();
        return "<unprintable InternalFailure>";
    }
    return utf8;
}

[[noreturn]] void resume_internal_failure(PyRef instance) {
    std::string text = text_of(instance.get());
    std::fputs("kiln: an InternalFailure raised by this module came back through Python code;\n"
               "kiln: it is resumed as an internal failure here. Its Python stack trace follows.\n",
               stderr);
    PyErr_SetRaisedException(instance.release());
    PyErr_PrintEx(0);
    internal_failure(text);
}

}  // namespace

void internal_failure(const std::string& text, std::source_location where) {
    std::fprintf(stderr, "kiln: internal failure on thread ThreadId(%llu) at %s:%u (%s): %s\n",
                 static_cast<unsigned long long>(current_thread_id()), source_place(where.file_name()),
                 static_cast<unsigned>(where.line()), where.function_name(), text.c_str());
    throw InternalError(text);
}

PyRef created(PyObject* object, std::source_location where) {
    if (!object) {
        if (PyErr_Occurred()) {
            PyErr_WriteUnraisable(nullptr);
        }
        internal_failure("PyObject pointer is null", where);
    }
    return PyRef::steal(object);
}

PyObject* internal_failure_type() {
    if (PyObject* type = g_internal_failure_type.load(std::memory_order_acquire)) {
        return type;
    }
    run_once_unlocked(g_internal_failure_once, [] {
        PyObject* type = PyErr_NewExceptionWithDoc("_kiln_runtime.InternalFailure", kInternalFailureDoc,
                                                   PyExc_BaseException, nullptr);
        if (!type) {
            std::fputs("kiln: fatal: the InternalFailure exception type could not be created\n", stderr);
            std::abort();
        }
        g_internal_failure_type.store(type, std::memory_order_release);
    });
    return g_internal_failure_type.load(std::memory_order_acquire);
}

Failure Failure::internal(const InternalError& error) {
    const std::string& text = error.text();
    return deferred(internal_failure_type(), text.empty() ? kGenericInternalText : text);
}

Failure Failure::fetch() {
    PyRef instance = PyRef::steal(PyErr_GetRaisedException());
    if (!instance) {
        return deferred(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    if (reinterpret_cast<PyObject*>(Py_TYPE(instance.get())) == internal_failure_type()) {
        resume_internal_failure(std::move(instance));
    }
    return ready(std::move(instance));
}

void Failure::raise_deferred(const Deferred& deferred) {
    PyRef argument;
    if (deferred.os_code) {
        argument = PyRef::steal(Py_BuildValue("(isOl)", 0, deferred.message.c_str(), Py_None,
                                              static_cast<long>(static_cast<std::int32_t>(*deferred.os_code))));
    } else {
        argument = PyRef::steal(PyUnicode_FromStringAndSize(deferred.message.data(),
                                                           static_cast<Py_ssize_t>(deferred.message.size())));
    }
    if (!argument) {
        return;  // the host's own failure (out of memory) stands in its place
    }
    PyObject* type = deferred.type;
    if (PyType_Check(type) &&
        PyType_HasFeature(reinterpret_cast<PyTypeObject*>(type), Py_TPFLAGS_BASE_EXC_SUBCLASS)) {
        PyErr_SetObject(type, argument.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

void Failure::raise() && {
    if (PyRef* instance = std::get_if<PyRef>(&content_)) {
        PyErr_SetRaisedException(instance->release());
    } else {
        raise_deferred(std::get<Deferred>(content_));
    }
}

void Failure::report_unraisable() && {
    std::move(*this).raise();
    PyErr_WriteUnraisable(nullptr);
}

PyRef Failure::instance() && {
    std::move(*this).raise();
    return PyRef::steal(PyErr_GetRaisedException());
}

}  // namespace kiln

// Every allocation of the module's own C++ code (containers, strings,
// make_unique) comes here, so that a failure is reported with its size and
// ends the process instead of unwinding a std::bad_alloc into a frame that
// cannot take it. The definitions are the module's alone: hidden on ELF,
// where the host's own allocator stays untouched, and never exported from
// the DLL. A sanitizer build keeps the sanitizer's allocator, whose
// bookkeeping must see every new and delete.
#ifndef __SANITIZE_ADDRESS__
#if defined(__ELF__)
// <new> declares the operators with default visibility and GCC refuses to
// narrow that on a definition; the assembler can still mark the symbols.
static_assert(sizeof(std::size_t) == sizeof(unsigned long), "the mangled names below use unsigned long");
__asm__(".hidden _Znwm\n.hidden _Znam\n.hidden _ZdlPv\n.hidden _ZdaPv\n.hidden _ZdlPvm\n.hidden _ZdaPvm");
#endif

namespace {

void* allocate_or_abort(std::size_t size) noexcept {
    // malloc and free, as the runtime's own operators: blocks pass between
    // this module's inline code and the runtime's compiled code.
    void* block = std::malloc(size ? size : 1);
    if (!block) {
        kiln::allocation_failed(size);
    }
    return block;
}

}  // namespace

void* operator new(std::size_t size) { return allocate_or_abort(size); }
void* operator new[](std::size_t size) { return allocate_or_abort(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
#endif
