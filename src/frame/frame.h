// The call frames through which every entry from the interpreter passes:
// method (fastcall), noargs, constructor and deallocation.
//
// A class plugs in as a traits type:
//   struct Cls {
//       using Fields = ...;                // the object's own state
//       static constexpr const char* kTypePath = "_kiln::iocp::...";
//       static void teardown(Fields&);     // on the owner thread; may throw InternalError
//   };
// Bodies take the fields and the converted arguments and return a Result.
#pragma once

#include "frame/access.h"
#include "frame/args.h"
#include "frame/thread_state.h"

#include <array>
#include <new>
#include <utility>

namespace kiln {

template <class Cls>
struct Instance {
    using Fields = typename Cls::Fields;
    PyObject_HEAD
    alignas(Fields) unsigned char storage[sizeof(Fields)];
    Bookkeeping book;

    Fields& fields() noexcept { return *std::launder(reinterpret_cast<Fields*>(storage)); }
    static Instance& of(PyObject* self) noexcept { return *reinterpret_cast<Instance*>(self); }
};

// Turns an internal failure into InternalFailure; a second one on the way is fatal.
void raise_internal(const InternalError& error) noexcept;
void report_internal_unraisable(const InternalError& error) noexcept;

// Runs one entry: entry count, deferred releases, and the outcome handed to
// the interpreter as a new reference or a raised exception. The frames are
// not noexcept: a thread that the interpreter ends during finalization is
// unwound through them (see GilScope), and that unwind is no exception of
// ours to stop.
template <class Work>
PyObject* run_frame(Work&& work) {
    EntryScope entry;
    try {
        Result<PyRef> result = work();
        if (result.ok()) {
            return result.value().release();
        }
        std::move(result.failure()).raise();
    } catch (const InternalError& error) {
        raise_internal(error);
    } catch (const std::bad_alloc&) {
        allocation_failed(0);
    }
    return nullptr;
}

// Converts the matched arguments in parameter order and calls `body` with the
// values; the first failure ends the conversions and is noted with the
// parameter's name.
template <std::size_t I, class... Kinds>
struct Converter {
    template <class Body, class... Values>
    static Result<PyRef> run(const Signature&, PyObject* const*, Body& body, Values&... values) {
        return body(values...);
    }
};

template <std::size_t I, class Kind, class... Rest>
struct Converter<I, Kind, Rest...> {
    template <class Body, class... Values>
    static Result<PyRef> run(const Signature& signature, PyObject* const* slots, Body& body, Values&... values) {
        Result<typename Kind::Value> converted = Kind::convert(slots[I]);
        if (!converted.ok()) {
            return note_parameter(std::move(converted.failure()), signature.params[I]);
        }
        return Converter<I + 1, Rest...>::run(signature, slots, body, values..., converted.value());
    }
};

template <class Cls, const Signature& Sig, auto Body, class... Kinds>
PyObject* method_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_frame([&]() -> Result<PyRef> {
        std::array<PyObject*, sizeof...(Kinds)> slots{};
        if (Status failed = match_vector(Sig, args, nargs, kwnames, slots.data())) {
            return std::move(*failed);
        }
        auto& instance = Instance<Cls>::of(self);
        check_owner(instance.book, Cls::kTypePath);
        std::optional<AccessGuard> access = AccessGuard::shared(instance.book.access);
        if (!access) {
            return AccessGuard::shared_refused();
        }
        auto call = [&](auto&... values) -> Result<PyRef> { return Body(instance.fields(), values...); };
        return Converter<0, Kinds...>::run(Sig, slots.data(), call);
    });
}

// A static method without arguments: no object, so no owner check.
template <auto Body>
PyObject* static_frame(PyObject*, PyObject*) {
    return run_frame([&]() -> Result<PyRef> { return Body(); });
}

template <class Cls, auto Body>
PyObject* noargs_frame(PyObject* self, PyObject*) {
    return run_frame([&]() -> Result<PyRef> {
        auto& instance = Instance<Cls>::of(self);
        check_owner(instance.book, Cls::kTypePath);
        std::optional<AccessGuard> access = AccessGuard::exclusive(instance.book.access);
        if (!access) {
            return AccessGuard::exclusive_refused();
        }
        if (Status failed = Body(instance.fields())) {
            return std::move(*failed);
        }
        return PyRef::borrow(Py_None);
    });
}

// Allocates the object with object's own tp_new and moves the fields in. If
// that fails, the fields are torn down and the host's exception stands.
template <class Cls>
Result<PyRef> create_instance(PyTypeObject* type, typename Cls::Fields&& fields) {
    auto base_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
    PyRef no_args = PyRef::steal(PyTuple_New(0));
    PyObject* object = no_args ? base_new(type, no_args.get(), nullptr) : nullptr;
    if (!object) {
        Failure failure = Failure::fetch();
        Cls::teardown(fields);
        return failure;
    }
    auto& instance = Instance<Cls>::of(object);
    new (instance.storage) typename Cls::Fields(std::move(fields));
    new (&instance.book) Bookkeeping{};
    instance.book.owner = current_thread_id();
    return PyRef::steal(object);
}

template <class Cls, const Signature& Sig, auto Construct, class... Kinds>
PyObject* constructor_frame(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return run_frame([&]() -> Result<PyRef> {
        std::array<PyObject*, sizeof...(Kinds)> slots{};
        if (Status failed = match_tuple(Sig, args, kwargs, slots.data())) {
            return std::move(*failed);
        }
        auto build = [&](auto&... values) -> Result<PyRef> {
            Result<typename Cls::Fields> fields = Construct(values...);
            if (!fields.ok()) {
                return std::move(fields.failure());
            }
            return create_instance<Cls>(type, std::move(fields.value()));
        };
        return Converter<0, Kinds...>::run(Sig, slots.data(), build);
    });
}

// An object can die while an exception is being raised: the code raising it
// drops the last reference. Its teardown must run with no exception set, and
// its reports must not replace that exception, or the raiser returns NULL
// with nothing set. So the exception is put aside on entry and restored on
// the way out (not on an unwind, which leaves the thread without the lock).
void restore_raised(PyObject* raised) noexcept;

template <class Cls>
void dealloc_frame(PyObject* self) {
    PyObject* raised = PyErr_GetRaisedException();
    EntryScope entry;
    auto& instance = Instance<Cls>::of(self);
    try {
        // The cyclic collector runs on whichever thread allocates when a
        // collection is due, often a completion thread: those are the
        // module's own, and the class tears the object down there in a way
        // that suits them.
        if (instance.book.owner == current_thread_id() || on_module_thread()) {
            using Fields = typename Cls::Fields;
            Cls::teardown(instance.fields());
            instance.fields().~Fields();
        } else {
            // The fields may be in use by the thread that owns them: leave
            // them, and everything they own, alive for the rest of the process.
            // Their destructors do not run, so nothing outside the object may
            // point into it; state others must reach lives in blocks of its own.
            Failure::deferred(PyExc_RuntimeError,
                              std::string(Cls::kTypePath) + " is unsendable, but is being dropped on another thread")
                .report_unraisable();
        }
        PyTypeObject* type = Py_TYPE(self);
        auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_object(self);
        Py_DecRef(reinterpret_cast<PyObject*>(type));  // instances of heap types own a reference to their type
    } catch (const InternalError& error) {
        report_internal_unraisable(error);
    } catch (const std::bad_alloc&) {
        allocation_failed(0);
    }
    restore_raised(raised);
}

}  // namespace kiln
