// Matching call arguments to parameters, and converting them to the values
// the method bodies take.
#pragma once

#include "frame/failure.h"
#include "platform/platform.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kiln {

// One callable's parameters: the first `positional` are required, each given
// by position or by keyword; any after them are optional and keyword-only.
struct Signature {
    const char* qualname;  // "Iocp.submit_read()"
    std::span<const char* const> params;
    std::size_t positional = params.size();
};

// Fills one borrowed slot per parameter, or fails with the TypeError that
// names the callable.
Status match_vector(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots);
Status match_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots);

// Adds the note "while processing '{parameter}'" to a conversion failure.
Failure note_parameter(Failure failure, const char* parameter);

// TypeError "'{T}' object is not an instance of '{expected}'".
Failure type_mismatch(PyObject* object, const char* expected);

// The conversion kinds. Each has a Value and a convert().
struct AnyObject {
    using Value = PyRef;
    static Result<Value> convert(PyObject* object);
};
struct Str {  // a UTF-8 view, borrowed from the argument for the call
    using Value = std::string_view;
    static Result<Value> convert(PyObject* object);
};
// A str as the system takes a path: UTF-16 on Windows (lone surrogates kept),
// the file system encoding with surrogate escapes on POSIX, as os.fsencode
// gives it. Refuses embedded NUL characters.
struct Path {
    using Value = platform::NativePath;
    static Result<Value> convert(PyObject* object);
};
struct Bool {
    using Value = bool;
    static Result<Value> convert(PyObject* object);
};
struct SignedPtr {
    using Value = std::intptr_t;
    static Result<Value> convert(PyObject* object);
};
struct Unsigned64 {
    using Value = std::uint64_t;
    static Result<Value> convert(PyObject* object);
};
struct UnsignedPtr {
    using Value = std::uintptr_t;
    static Result<Value> convert(PyObject* object);
};
// A transfer length: the system's counts are 32 bits wide whatever the
// pointer width, so a longer one is refused rather than cut short.
struct Length32 {
    using Value = std::uint32_t;
    static Result<Value> convert(PyObject* object);
};
struct Signed64 {
    using Value = std::int64_t;
    static Result<Value> convert(PyObject* object);
};
struct Unsigned32 {
    using Value = std::uint32_t;
    static Result<Value> convert(PyObject* object);
};
struct Bytes {  // bytes or a subclass; not other buffers
    using Value = PyRef;
    static Result<Value> convert(PyObject* object);
};

// A keyword-only parameter that may be left out: `Kind`'s conversion, or
// `Default` when the caller gave nothing.
template <class Kind, auto Default>
struct Optional {
    using Value = typename Kind::Value;
    static Result<Value> convert(PyObject* object) {
        if (!object) {
            return Value(Default);
        }
        return Kind::convert(object);
    }
};

// Process-wide interned attribute names.
enum class Name { All, Module, Bool, AddNote };
PyObject* interned(Name name);

}  // namespace kiln
