#include "frame/args.h"

#include "frame/thread_state.h"

#include <array>
#include <atomic>
#include <limits>
#include <mutex>
#include <vector>

namespace kiln {
namespace {

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

std::array<std::atomic<PyObject*>, 4> g_names{};
OnceFlag g_names_once;

std::string utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) {
        PyErr_Clear();
        return {};
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

Failure type_error(std::string message) { return Failure::deferred(PyExc_TypeError, std::move(message)); }

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string quoted_list(const std::vector<const char*>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            list += (i + 1 == names.size()) ? (names.size() > 2 ? ", and " : " and ") : ", ";
        }
        list += '\'';
        list += names[i];
        list += '\'';
    }
    return list;
}

std::string unprintable_keyword(PyObject* keyword) {
    PyErr_WriteUnraisable(keyword);
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(keyword)));
    std::string text = name ? utf8_of(name.get()) : std::string();
    if (!name || text.empty()) {
        PyErr_Clear();
        return "<unprintable object>";
    }
    return "<unprintable " + text + " object>";
}

std::string keyword_repr(PyObject* keyword) {
    PyRef text = PyRef::steal(PyObject_Str(keyword));
    if (!text) {
        return unprintable_keyword(keyword);
    }
    return utf8_of(text.get());
}

Status too_many_positional(const Signature& signature, Py_ssize_t nargs) {
    return type_error(std::string(signature.qualname) + " takes " + std::to_string(signature.positional) +
                      " positional arguments but " + std::to_string(nargs) + (nargs == 1 ? " was" : " were") +
                      " given");
}

Status assign_keyword(const Signature& signature, PyObject* keyword, PyObject* value, PyObject** slots) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (text) {
        std::string_view name(text, static_cast<std::size_t>(size));
        for (std::size_t i = 0; i < signature.params.size(); ++i) {
            if (name != signature.params[i]) {
                continue;
            }
            if (slots[i]) {
                return type_error(std::string(signature.qualname) + " got multiple values for argument '" +
                                  std::string(name) + "'");
            }
            slots[i] = value;
            return std::nullopt;
        }
    } else {
        PyErr_Clear();
    }
    return type_error(std::string(signature.qualname) + " got an unexpected keyword argument '" +
                      keyword_repr(keyword) + "'");
}

Status check_missing(const Signature& signature, Py_ssize_t nargs, PyObject* const* slots) {
    if (static_cast<std::size_t>(nargs) >= signature.positional) {
        return std::nullopt;
    }
    std::vector<const char*> missing;
    for (std::size_t i = static_cast<std::size_t>(nargs); i < signature.positional; ++i) {
        if (!slots[i]) {
            missing.push_back(signature.params[i]);
        }
    }
    if (missing.empty()) {
        return std::nullopt;
    }
    return type_error(std::string(signature.qualname) + " missing " + std::to_string(missing.size()) +
                      " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " +
                      quoted_list(missing));
}

void copy_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject** slots) {
    std::size_t count = std::min(static_cast<std::size_t>(nargs), signature.positional);
    for (std::size_t i = 0; i < count; ++i) {
        slots[i] = args[i];
    }
}

bool has_flag(PyObject* object, unsigned long flag) { return PyType_HasFeature(Py_TYPE(object), flag); }

// The truth value of an object of numpy's boolean type, found by probing
// rather than by importing numpy.
Result<bool> foreign_bool(PyObject* object) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    PyRef module = PyRef::steal(PyObject_GetAttr(type, interned(Name::Module)));
    bool from_numpy = module && PyUnicode_Check(module.get()) &&
                      PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
    PyRef type_name = from_numpy ? PyRef::steal(PyType_GetName(Py_TYPE(object))) : PyRef();
    bool named_bool = type_name && (PyUnicode_CompareWithASCIIString(type_name.get(), "bool_") == 0 ||
                                    PyUnicode_CompareWithASCIIString(type_name.get(), "bool") == 0);
    if (!named_bool) {
        PyErr_Clear();  // failures met while probing are not the caller's
        return type_mismatch(object, "bool");
    }
    PyRef method = PyRef::steal(PyObject_GetAttr(type, interned(Name::Bool)));
    if (!method) {
        PyErr_Clear();
        PyRef type_text = PyRef::steal(PyObject_Str(type));
        if (!type_text) {
            return Failure::fetch();
        }
        return type_error("object of type '" + utf8_of(type_text.get()) +
                          "' does not define a '__bool__' conversion");
    }
    auto descr_get = reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(method.get()), Py_tp_descr_get));
    if (descr_get) {
        method = PyRef::steal(descr_get(method.get(), object, type));
        if (!method) {
            return Failure::fetch();
        }
    }
    PyRef truth = PyRef::steal(PyObject_CallNoArgs(method.get()));
    if (!truth) {
        return Failure::fetch();
    }
    if (truth.get() == Py_True || truth.get() == Py_False) {
        return truth.get() == Py_True;
    }
    return type_mismatch(truth.get(), "bool");
}

Result<std::uint64_t> unsigned_of_int(PyObject* integer) {
    unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred()) {
        return Failure::fetch();
    }
    return static_cast<std::uint64_t>(value);
}

}  // namespace

PyObject* interned(Name name) {
    auto index = static_cast<std::size_t>(name);
    if (PyObject* object = g_names[index].load(std::memory_order_acquire)) {
        return object;
    }
    run_once_unlocked(g_names_once, [] {
        static constexpr const char* texts[] = {"__all__", "__module__", "__bool__", "add_note"};
        for (std::size_t i = 0; i < g_names.size(); ++i) {
            PyObject* text = PyUnicode_InternFromString(texts[i]);
            if (!text) {
                std::fputs("kiln: fatal: could not intern an attribute name\n", stderr);
                std::abort();
            }
            g_names[i].store(text, std::memory_order_release);
        }
    });
    return g_names[index].load(std::memory_order_acquire);
}

Status match_vector(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots) {
    nargs = PyVectorcall_NARGS(nargs);
    copy_positional(signature, args, nargs, slots);
    if (static_cast<std::size_t>(nargs) > signature.positional) {
        return too_many_positional(signature, nargs);
    }
    Py_ssize_t keywords = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        if (Status failed = assign_keyword(signature, PyTuple_GetItem(kwnames, i), args[nargs + i], slots)) {
            return failed;
        }
    }
    return check_missing(signature, nargs, slots);
}

Status match_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots) {
    Py_ssize_t nargs = PyTuple_Size(args);
    std::vector<PyObject*> positional(static_cast<std::size_t>(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        positional[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
    }
    copy_positional(signature, positional.data(), nargs, slots);
    if (static_cast<std::size_t>(nargs) > signature.positional) {
        return too_many_positional(signature, nargs);
    }
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    while (kwargs && PyDict_Next(kwargs, &position, &keyword, &value)) {
        if (Status failed = assign_keyword(signature, keyword, value, slots)) {
            return failed;
        }
    }
    return check_missing(signature, nargs, slots);
}

Failure type_mismatch(PyObject* object, const char* expected) {
    if (object == Py_None) {
        return type_error(std::string("'None' is not an instance of '") + expected + "'");
    }
    PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    std::string type_text = qualname ? utf8_of(qualname.get()) : std::string();
    if (!qualname) {
        PyErr_Clear();
        type_text = "<failed to extract type name>";
    }
    return type_error("'" + type_text + "' object is not an instance of '" + expected + "'");
}

Failure note_parameter(Failure failure, const char* parameter) {
    PyRef instance = std::move(failure).instance();
    PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
    if (note) {
        PyObject* call[] = {instance.get(), note.get()};
        PyRef added = PyRef::steal(PyObject_VectorcallMethod(
            interned(Name::AddNote), call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!added) {
            PyErr_Clear();
        }
    } else {
        PyErr_Clear();
    }
    return Failure::ready(std::move(instance));
}

Result<PyRef> AnyObject::convert(PyObject* object) { return PyRef::borrow(object); }

Result<std::string_view> Str::convert(PyObject* object) {
    if (!has_flag(object, Py_TPFLAGS_UNICODE_SUBCLASS)) {
        return type_mismatch(object, "str");
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (!utf8) {
        return Failure::fetch();
    }
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

namespace {

// The system's form of a str path, or the host's encoding error.
Result<platform::NativePath> encode_path(PyObject* object) {
#ifdef _WIN32
    Py_ssize_t size = 0;
    wchar_t* wide = PyUnicode_AsWideCharString(object, &size);
    if (!wide) {
        return Failure::fetch();
    }
    platform::NativePath path(reinterpret_cast<const char16_t*>(wide), static_cast<std::size_t>(size));
    PyMem_Free(wide);
    return path;
#else
    PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(object));
    if (!encoded) {
        return Failure::fetch();
    }
    return platform::NativePath(PyBytes_AsString(encoded.get()), static_cast<std::size_t>(PyBytes_Size(encoded.get())));
#endif
}

}  // namespace

Result<platform::NativePath> Path::convert(PyObject* object) {
    if (!has_flag(object, Py_TPFLAGS_UNICODE_SUBCLASS)) {
        return type_mismatch(object, "str");
    }
    Result<platform::NativePath> path = encode_path(object);
    if (!path.ok()) {
        return path;
    }
    // A NUL would cut the name short and open a different file than the
    // caller named.
    if (path.value().find(platform::PathChar{0}) != platform::NativePath::npos) {
        return Failure::deferred(PyExc_ValueError, "embedded null character in path");
    }
    return path;
}

Result<bool> Bool::convert(PyObject* object) {
    if (Py_TYPE(object) == &PyBool_Type) {
        return object == Py_True;
    }
    return foreign_bool(object);
}

Result<std::intptr_t> SignedPtr::convert(PyObject* object) {
    long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) {
        return Failure::fetch();
    }
    if (value < std::numeric_limits<std::intptr_t>::min() || value > std::numeric_limits<std::intptr_t>::max()) {
        return Failure::deferred(PyExc_OverflowError, kOutOfRange);
    }
    return static_cast<std::intptr_t>(value);
}

Result<std::uint64_t> Unsigned64::convert(PyObject* object) {
    if (has_flag(object, Py_TPFLAGS_LONG_SUBCLASS)) {
        return unsigned_of_int(object);
    }
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) {
        return Failure::fetch();
    }
    return unsigned_of_int(index.get());
}

// An unsigned 64-bit conversion narrowed to T, refused when it does not fit.
template <class T>
Result<T> unsigned_within(PyObject* object) {
    Result<std::uint64_t> value = Unsigned64::convert(object);
    if (!value.ok()) {
        return std::move(value.failure());
    }
    if (value.value() > std::numeric_limits<T>::max()) {
        return Failure::deferred(PyExc_OverflowError, kOutOfRange);
    }
    return static_cast<T>(value.value());
}

Result<std::uintptr_t> UnsignedPtr::convert(PyObject* object) { return unsigned_within<std::uintptr_t>(object); }

Result<std::uint32_t> Length32::convert(PyObject* object) { return unsigned_within<std::uint32_t>(object); }

Result<std::int64_t> Signed64::convert(PyObject* object) {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) {
        return Failure::fetch();
    }
    long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) {
        return Failure::fetch();
    }
    return static_cast<std::int64_t>(value);
}

Result<std::uint32_t> Unsigned32::convert(PyObject* object) { return unsigned_within<std::uint32_t>(object); }

Result<PyRef> Bytes::convert(PyObject* object) {
    if (!has_flag(object, Py_TPFLAGS_BYTES_SUBCLASS)) {
        return type_mismatch(object, "bytes");
    }
    return PyRef::borrow(object);
}


}  // namespace kiln
