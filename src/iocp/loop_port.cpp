#include "iocp/loop_port.h"

#include "frame/frame.h"
#include "iocp/completion.h"
#include "iocp/iocp.h"
#include "iocp/open_flags.h"

#include <array>
#include <chrono>
#include <vector>

#ifndef _WIN32
#include <pthread.h>
#endif

namespace kiln::iocp {
namespace {

using platform::ErrorCode;
using platform::OverlappedEntry;
using Entries = std::array<OverlappedEntry, platform::kMaxBatch>;

// Reads above this go to the engine even when cached: copying them would
// hold the loop's thread for longer than a turn should take.
constexpr std::uint32_t kLargestReadAtOnce = 256 * 1024;
// What one group may copy at once, all its reads together; the rest go to
// the engine, for the same reason.
constexpr std::uint64_t kLargestGroupAtOnce = 4 * 1024 * 1024;
// How long a shutdown waits for the system to give back its records.
constexpr auto kDrainLimit = std::chrono::seconds(10);
constexpr std::uint32_t kDrainSliceMs = 100;

std::atomic<unsigned> g_forks{0};

#ifndef _WIN32
void count_fork() noexcept { g_forks.fetch_add(1, std::memory_order_relaxed); }

[[maybe_unused]] const bool g_fork_counter = [] { return pthread_atfork(nullptr, nullptr, &count_fork) == 0; }();
#endif

// Takes what the port holds now, without waiting; false when it held nothing.
bool take(platform::Handle port, Entries& entries, std::uint32_t& removed, std::uint32_t timeout_ms = 0) {
    removed = 0;
    return platform::wait(port, entries.data(), platform::kMaxBatch, &removed, timeout_ms) && removed > 0;
}

// Lets the system finish with every record, releasing each as its packet
// comes; false when some outlived the limit (they stay allocated).
bool drain(LoopFields::State& state) {
    state.in_flight.cancel_all();
    std::uint32_t submitted = 0;
    platform::flush_port(state.port.get(), &submitted);
    auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
    Entries entries{};
    while (!state.in_flight.empty()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::uint32_t removed = 0;
        bool took;
        {
            UnlockedScope unlocked;
            took = take(state.port.get(), entries, removed, kDrainSliceMs);
        }
        for (std::uint32_t index = 0; took && index < removed; ++index) {
            if (entries[index].lpOverlapped) {
                OwnedOp op(reinterpret_cast<Op*>(entries[index].lpOverlapped));
            }
        }
    }
    return true;
}

// The most one read of a group may ask for, as the package's reads.
constexpr unsigned long long kLargestGroupRead = 1ull << 30;

Failure bad_request(PyObject* offset, PyObject* size) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "bad read request: offset %R, size %R", offset, size);
    return Failure::fetch();
}

// One item of a group's requests: a tuple of two ints, (offset, size), with
// neither negative and the size at most kLargestGroupRead. TypeError for
// anything else, so that the caller may turn what it was given into that.
Status read_request(PyObject* item, std::uint64_t& offset, std::uint32_t& len) {
    if (!PyTuple_Check(item) || PyTuple_Size(item) != 2 || !PyLong_CheckExact(PyTuple_GetItem(item, 0)) ||
        !PyLong_CheckExact(PyTuple_GetItem(item, 1))) {
        return Failure::deferred(PyExc_TypeError, "each request must be an (offset, size) tuple of ints");
    }
    PyObject* first = PyTuple_GetItem(item, 0);
    PyObject* second = PyTuple_GetItem(item, 1);
    offset = PyLong_AsUnsignedLongLong(first);
    if (PyErr_Occurred()) {
        return bad_request(first, second);
    }
    unsigned long long size = PyLong_AsUnsignedLongLong(second);
    if (PyErr_Occurred() || size > kLargestGroupRead) {
        return bad_request(first, second);
    }
    len = static_cast<std::uint32_t>(size);
    return std::nullopt;
}

PyRef new_buffer(std::uint32_t len) {
    return created(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(len)));
}

// The bytes that came at once, or nothing when the read must go to the engine.
std::optional<PyRef> read_at_once(bool allowed, std::intptr_t handle, PyRef& buffer, std::uint64_t offset,
                                  std::uint32_t len) {
    if (!allowed || len > kLargestReadAtOnce) {
        return std::nullopt;
    }
    std::uint32_t count = 0;
    char* start = PyBytes_AsString(buffer.get());
    if (!platform::read_at_once(to_handle(handle), start, len, offset, &count)) {
        return std::nullopt;  // waiting, refused, or failed: the engine's read tells which
    }
    if (count == len) {
        return std::move(buffer);
    }
    return created(PyBytes_FromStringAndSize(start, static_cast<Py_ssize_t>(count)));
}

}  // namespace

bool LoopFields::forked() const noexcept { return state_ && state_->forks != g_forks.load(std::memory_order_relaxed); }

bool LoopFields::running() const noexcept { return state_ && !state_->stopped && !forked(); }

Failure LoopFields::shut_down() { return Failure::deferred(PyExc_RuntimeError, "LoopPort has been shut down"); }

void LoopClass::teardown(LoopFields& fields) { static_cast<void>(loop_shutdown(fields)); }

Result<LoopFields> construct_loop_port(bool at_once) {
    auto state = std::make_unique<LoopFields::State>();
    state->at_once = at_once;
    state->port = platform::OwnedHandle(platform::create_loop_port());
    if (!state->port) {
        return call_failed("CreateIoCompletionPort", platform::last_error());
    }
    state->forks = g_forks.load(std::memory_order_relaxed);
    return LoopFields(std::move(state));
}

Result<PyRef> loop_fileno(LoopFields& self) {
    if (!self.running()) {
        return LoopFields::shut_down();
    }
    return created(PyLong_FromSsize_t(platform::port_signal(self.port())));
}

Result<PyRef> loop_flush(LoopFields& self) {
    std::uint32_t submitted = 0;
    if (self.running()) {
        // A refusal fails what was queued through its packets.
        static_cast<void>(platform::flush_port(self.port(), &submitted));
    }
    return PyRef::borrow(submitted > 0 ? Py_True : Py_False);
}

Result<PyRef> loop_reap(LoopFields& self) {
    PyRef batch = created(PyList_New(0));
    if (!self.running()) {
        return batch;
    }
    platform::Handle port = self.port();
    platform::clear_signal(port);
    Entries entries{};
    std::uint32_t removed = 0;
    do {
        if (!take(port, entries, removed)) {
            break;
        }
        for (std::uint32_t index = 0; index < removed; ++index) {
            if (entries[index].lpOverlapped) {
                OwnedOp op(reinterpret_cast<Op*>(entries[index].lpOverlapped));
                deliver_completion(batch.get(), *op, entries[index].dwNumberOfBytesTransferred);
            }
        }
    } while (removed == platform::kMaxBatch);
    return batch;
}

// Closing the object's own port through submit_close would strand its records.
Result<PyRef> loop_submit_close(LoopFields& self, std::intptr_t handle) {
    if (!self.running()) {
        return LoopFields::shut_down();
    }
    if (to_handle(handle) == self.port()) {
        return submit_refused_close(self.submitter(), platform::kErrorInvalidHandle);
    }
    return submit_close(self.submitter(), handle);
}

Result<PyRef> loop_cancel(LoopFields& self, std::uint64_t id) {
    if (!self.running()) {
        return PyRef::borrow(Py_False);
    }
    return cancel_operation(self.state().in_flight, id);
}

Result<PyRef> loop_file_type(LoopFields&, std::intptr_t handle) { return query_file_type(handle); }

// In a forked child the records and the port's ring are the parent's: the
// object lets go of its port, closing nothing.
Status loop_shutdown(LoopFields& self) {
    LoopFields::State& state = self.state();
    if (state.stopped || !state.port) {
        return std::nullopt;
    }
    state.stopped = true;
    if (self.forked() || interpreter_finalizing()) {
        static_cast<void>(state.port.release());
        return std::nullopt;
    }
    if (!drain(state)) {
        // The system may still write into what is left: keep it all.
        static_cast<void>(state.port.release());
        return std::nullopt;
    }
    state.port.reset();
    return std::nullopt;
}

Result<PyRef> loop_read(LoopFields& self, std::intptr_t handle, std::uint64_t offset, std::uint32_t len) {
    if (!self.running()) {
        return LoopFields::shut_down();
    }
    PyRef buffer = new_buffer(len);
    if (std::optional<PyRef> data = read_at_once(self.state().at_once, handle, buffer, offset, len)) {
        return std::move(*data);
    }
    return submit_read_into(self.submitter(), handle, offset, std::move(buffer), len);
}

Result<PyRef> loop_read_many(LoopFields& self, std::intptr_t handle, PyRef& requests) {
    if (!self.running()) {
        return LoopFields::shut_down();
    }
    bool at_once = self.state().at_once;
    std::uint64_t copied = 0;
    if (!PyList_Check(requests.get())) {
        return type_mismatch(requests.get(), "list");
    }
    Py_ssize_t count = PyList_Size(requests.get());
    PyRef results = created(PyList_New(count));
    std::vector<GroupRead> waiting;
    for (Py_ssize_t index = 0; index < count; ++index) {
        std::uint64_t offset = 0;
        std::uint32_t len = 0;
        PyObject* item = PyList_GetItem(requests.get(), index);
        if (!item) {
            return Failure::fetch();
        }
        if (Status failed = read_request(item, offset, len)) {
            return std::move(*failed);
        }
        PyRef buffer = new_buffer(len);
        auto place = static_cast<std::uint32_t>(index);
        std::optional<PyRef> data = read_at_once(at_once && copied < kLargestGroupAtOnce, handle, buffer, offset, len);
        if (!data) {
            PyList_SetItem(results.get(), index, PyRef::borrow(Py_None).release());
            waiting.push_back({place, offset, std::move(buffer), len});
            continue;
        }
        auto got = static_cast<std::uint32_t>(PyBytes_Size(data->get()));
        copied += got;
        PyList_SetItem(results.get(), index, data->release());
        if (got > 0 && got < len) {
            // The cache held the first part: the engine reads the rest, which
            // its completion joins to it (nothing, at the end of the file).
            waiting.push_back({place, offset + got, new_buffer(len - got), len - got});
        }
    }
    if (waiting.empty()) {
        return results;
    }
    return submit_group(self.submitter(), handle, std::move(results), waiting);
}

}  // namespace kiln::iocp
