// How failures travel from where they arise to the frame that raises them.
//
// Ordinary failures are values (Failure, or a Result that holds one).
// Failures of the module's own code unwind as InternalError, which every
// frame catches and turns into _kiln_runtime.InternalFailure.
#pragma once

#include "frame/pyref.h"
#include "platform/allocation_failure.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <source_location>
#include <string>
#include <utility>
#include <variant>

namespace kiln {

class InternalError : public std::exception {
public:
    explicit InternalError(std::string text) : text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.c_str(); }
    const std::string& text() const noexcept { return text_; }

private:
    std::string text_;
};

// Writes the diagnostic (thread, source place, text) to stderr and throws.
[[noreturn]] void internal_failure(const std::string& text,
                                   std::source_location where = std::source_location::current());

// A host call that must produce an object returned null: report what the host
// left pending as unraisable and fail internally. Otherwise the object.
PyRef created(PyObject* object, std::source_location where = std::source_location::current());

// A carried failure: a ready exception instance, or a type plus what to build
// its argument from, made only when it is raised.
class Failure {
public:
    static Failure ready(PyRef instance) { return Failure(std::move(instance)); }
    // `type` must live for the whole process (a built-in exception type or
    // the InternalFailure type).
    static Failure deferred(PyObject* type, std::string message) {
        return Failure(Deferred{type, std::move(message), std::nullopt});
    }
    // OSError(0, message, None, code).
    static Failure os_error(std::string message, std::uint32_t code) {
        return Failure(Deferred{PyExc_OSError, std::move(message), code});
    }
    static Failure internal(const InternalError& error);
    // Takes the host's current exception after a host call reported failure.
    // An InternalFailure raised earlier by the module resumes as one here.
    static Failure fetch();

    // Sets the failure as the host's current exception.
    void raise() &&;
    // Raises it and hands it to the unraisable hook.
    void report_unraisable() &&;
    // Normalises to an exception instance (raising, then fetching).
    PyRef instance() &&;

private:
    struct Deferred {
        PyObject* type;
        std::string message;
        std::optional<std::uint32_t> os_code;
    };
    explicit Failure(PyRef instance) : content_(std::move(instance)) {}
    explicit Failure(Deferred deferred) : content_(std::move(deferred)) {}
    static void raise_deferred(const Deferred& deferred);

    std::variant<PyRef, Deferred> content_;
};

// The value of a body or a conversion, or the failure that replaced it.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : content_(std::in_place_index<0>, std::move(value)) {}
    Result(Failure failure) : content_(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const noexcept { return content_.index() == 0; }
    T& value() noexcept { return *std::get_if<0>(&content_); }
    Failure& failure() noexcept { return *std::get_if<1>(&content_); }

private:
    std::variant<T, Failure> content_;
};

// "Nothing, or a failure" for steps that produce no value.
using Status = std::optional<Failure>;

// The process-wide InternalFailure type (created on first need; the process
// aborts if it cannot be).
PyObject* internal_failure_type();

}  // namespace kiln
