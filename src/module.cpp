// The module's entry, its execution step and the registration of its
// classes.
#include "frame/frame.h"
#include "iocp/fs_submit.h"
#include "iocp/iocp.h"
#include "iocp/loop_port.h"
#include "iocp/proactor_io.h"
#include "path_methods.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace kiln {
namespace {

using iocp::IocpClass;
using iocp::LoopClass;
using iocp::ProactorClass;
using path_methods::as_cfunction;
using path_methods::kFastcall;
using path_methods::kHandleParams;

constexpr const char kModuleDoc[] = "Native async backend for mallow (io_uring on Linux, IOCP on Windows).";

// Parameters of every callable, and the names their messages use.
constexpr const char* kIocpNewParams[] = {"loop_obj", "on_complete"};
constexpr const char* kOpenParams[] = {"path", "write", "create", "truncate", "exclusive"};
constexpr const char* kSubmitOpenParams[] = {"path", "write", "create", "truncate", "exclusive", "append", "read",
                                             "mode"};
constexpr const char* kTruncateParams[] = {"handle", "size"};
constexpr const char* kSyncParams[] = {"handle", "data_only"};
constexpr const char* kCancelParams[] = {"id"};
constexpr const char* kReadParams[] = {"handle", "offset", "len"};
constexpr const char* kWriteParams[] = {"handle", "offset", "data"};
constexpr const char* kProactorNewParams[] = {"iocp"};
constexpr const char* kTakeParams[] = {"addr", "transferred"};
constexpr const char* kDiscardParams[] = {"addr"};
constexpr const char* kReadManyParams[] = {"handle", "requests"};

constexpr Signature kIocpNew{"Iocp.__new__()", kIocpNewParams};
constexpr Signature kIocpSubmitOpen{"Iocp.submit_open()", kSubmitOpenParams, 5};
constexpr Signature kIocpSubmitSize{"Iocp.submit_size()", kHandleParams};
constexpr Signature kIocpSubmitTruncate{"Iocp.submit_truncate()", kTruncateParams};
constexpr Signature kIocpSubmitSync{"Iocp.submit_sync()", kSyncParams};
constexpr Signature kIocpCancel{"Iocp.cancel()", kCancelParams};
constexpr Signature kIocpFileType{"Iocp.file_type()", kHandleParams};
constexpr Signature kIocpSubmitRead{"Iocp.submit_read()", kReadParams};
constexpr Signature kIocpSubmitWrite{"Iocp.submit_write()", kWriteParams};
constexpr Signature kIocpSubmitClose{"Iocp.submit_close()", kHandleParams};
constexpr const char* kLoopNewParams[] = {"cached_reads"};
constexpr Signature kLoopNew{"LoopPort.__new__()", kLoopNewParams, 0};
constexpr Signature kLoopSubmitOpen{"LoopPort.submit_open()", kSubmitOpenParams, 5};
constexpr Signature kLoopSubmitSize{"LoopPort.submit_size()", kHandleParams};
constexpr Signature kLoopSubmitTruncate{"LoopPort.submit_truncate()", kTruncateParams};
constexpr Signature kLoopSubmitSync{"LoopPort.submit_sync()", kSyncParams};
constexpr Signature kLoopCancel{"LoopPort.cancel()", kCancelParams};
constexpr Signature kLoopFileType{"LoopPort.file_type()", kHandleParams};
constexpr Signature kLoopSubmitRead{"LoopPort.submit_read()", kReadParams};
constexpr Signature kLoopRead{"LoopPort.read()", kReadParams};
constexpr Signature kLoopReadMany{"LoopPort.read_many()", kReadManyParams};
constexpr Signature kLoopSubmitWrite{"LoopPort.submit_write()", kWriteParams};
constexpr Signature kLoopSubmitClose{"LoopPort.submit_close()", kHandleParams};
constexpr Signature kLoopFileno{"LoopPort.fileno()", {}};
constexpr Signature kLoopFlush{"LoopPort.flush()", {}};
constexpr Signature kLoopReap{"LoopPort.reap()", {}};
constexpr Signature kProactorNew{"ProactorIo.__new__()", kProactorNewParams};
constexpr Signature kProactorOpen{"ProactorIo.open()", kOpenParams};
constexpr Signature kProactorClose{"ProactorIo.close()", kHandleParams};
constexpr Signature kProactorSubmitRead{"ProactorIo.submit_read()", kReadParams};
constexpr Signature kProactorSubmitWrite{"ProactorIo.submit_write()", kWriteParams};
constexpr Signature kProactorTake{"ProactorIo.take()", kTakeParams};
constexpr Signature kProactorDiscard{"ProactorIo.discard()", kDiscardParams};

// A submission of Iocp's, through the code every class with a port shares.
template <auto Body, class... Args>
constexpr auto kViaIocp = &iocp::through<iocp::IocpFields, Body, Args...>;

// The same submission through a LoopPort.
template <auto Body, class... Args>
constexpr auto kViaLoop = &iocp::through<iocp::LoopFields, Body, Args...>;

using DefaultFalse = Optional<Bool, false>;
using DefaultTrue = Optional<Bool, true>;


PyMethodDef g_iocp_own_methods[] = {
    {"submit_open",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitOpen,
                                kViaIocp<iocp::submit_open, platform::NativePath, bool, bool, bool, bool, bool, bool,
                                         std::int64_t>,
                                Path, Bool, Bool, Bool, Bool, DefaultFalse, DefaultTrue, Optional<Signed64, -1>>>(),
     kFastcall,
     "submit_open($self, path, write, create, truncate, exclusive, *, append=False, read=True, mode=-1)\n--\n\n"
     "Open a file on a worker; the completion's result is the new handle.\n"
     "append: every write lands at the end of the file, whatever its offset.\n"
     "read: ask for read access (False for a file that may only be written).\n"
     "mode: a new file's permission bits on POSIX, less the umask (-1: 0o666)."},
    {"submit_read",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitRead,
                                kViaIocp<iocp::submit_read, std::intptr_t, std::uint64_t, std::uint32_t>,
                                SignedPtr, Unsigned64, Length32>>(),
     kFastcall, "submit_read($self, handle, offset, len)\n--\n\n"},
    {"submit_write",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitWrite,
                                kViaIocp<iocp::submit_write, std::intptr_t, std::uint64_t, PyRef>,
                                SignedPtr, Unsigned64, Bytes>>(),
     kFastcall, "submit_write($self, handle, offset, data)\n--\n\n"},
    {"submit_close", as_cfunction<&method_frame<IocpClass, kIocpSubmitClose, iocp::iocp_submit_close, SignedPtr>>(),
     kFastcall, "submit_close($self, handle)\n--\n\n"},
    {"submit_size", as_cfunction<&method_frame<IocpClass, kIocpSubmitSize,
                                kViaIocp<iocp::submit_size, std::intptr_t>,
                                SignedPtr>>(),
     kFastcall, "submit_size($self, handle)\n--\n\nThe completion's result is the size of the open file."},
    {"submit_truncate",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitTruncate,
                                kViaIocp<iocp::submit_truncate, std::intptr_t, std::uint64_t>,
                                SignedPtr, Unsigned64>>(),
     kFastcall, "submit_truncate($self, handle, size)\n--\n\nSet the end of the open file to size bytes."},
    {"submit_sync",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitSync,
                                kViaIocp<iocp::submit_sync, std::intptr_t, bool>,
                                SignedPtr, Bool>>(),
     kFastcall,
     "submit_sync($self, handle, data_only)\n--\n\n"
     "Flush the open file to stable storage (data_only: its data and only the\n"
     "metadata needed to read it back)."},
    {"cancel", as_cfunction<&method_frame<IocpClass, kIocpCancel, iocp::iocp_cancel, Unsigned64>>(), kFastcall,
     "cancel($self, id)\n--\n\n"
     "Ask the system to stop operation id. True if it was still in flight; it\n"
     "then completes as usual, with winerror 995 if it was stopped in time."},
    {"file_type", as_cfunction<&method_frame<IocpClass, kIocpFileType, iocp::iocp_file_type, SignedPtr>>(),
     kFastcall,
     "file_type($self, handle)\n--\n\n"
     "What the handle is, as GetFileType says: 1 a disk file (reads and writes\n"
     "take offsets), 2 a character device, 3 a pipe or FIFO, 0 unknown."},
    {"shutdown", as_cfunction<&noargs_frame<IocpClass, iocp::iocp_shutdown>>(), METH_NOARGS,
     "shutdown($self)\n--\n\n"},
    {"engine", as_cfunction<&static_frame<iocp::iocp_engine>>(), METH_NOARGS | METH_STATIC,
     "engine()\n--\n\n"
     "The engine that reads and writes started now run on: \"iocp\" on Windows;\n"
     "\"io_uring\" or \"pool\" on Linux (or a test mode's name)."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef g_loop_own_methods[] = {
    {"fileno", as_cfunction<&method_frame<LoopClass, kLoopFileno, iocp::loop_fileno>>(), kFastcall,
     "fileno($self)\n--\n\n"
     "The descriptor to watch for reading (add_reader): it turns readable when\n"
     "completions may be waiting; then call reap()."},
    {"reap", as_cfunction<&method_frame<LoopClass, kLoopReap, iocp::loop_reap>>(), kFastcall,
     "reap($self)\n--\n\n"
     "Every completion waiting now, as a list of (id, winerror, result, data)\n"
     "tuples like Iocp's batches; never waits. Clears the descriptor's signal."},
    {"flush", as_cfunction<&method_frame<LoopClass, kLoopFlush, iocp::loop_flush>>(), kFastcall,
     "flush($self)\n--\n\n"
     "Hand the reads and writes submitted since the last flush to the system,\n"
     "in one system call. Call it once per loop turn after submitting. True\n"
     "when there were any (cached reads may have completed by now: reap)."},
    {"read",
     as_cfunction<&method_frame<LoopClass, kLoopRead,
                                iocp::loop_read,
                                SignedPtr, Unsigned64, Length32>>(),
     kFastcall,
     "read($self, handle, offset, len)\n--\n\n"
     "The bytes at once when the file cache holds them (fewer than len when it\n"
     "holds only the first part), else the id of a submitted read."},
    {"read_many",
     as_cfunction<&method_frame<LoopClass, kLoopReadMany,
                                iocp::loop_read_many, SignedPtr,
                                AnyObject>>(),
     kFastcall,
     "read_many($self, handle, requests)\n--\n\n"
     "Read every (offset, size) of the list requests: the list of bytes at once\n"
     "when the cache holds them all, else the id of one completion whose data is\n"
     "that list (None when a read failed, with the first failure's winerror)."},
    {"submit_open",
     as_cfunction<&method_frame<LoopClass, kLoopSubmitOpen,
                                kViaLoop<iocp::submit_open, platform::NativePath, bool, bool, bool, bool, bool, bool,
                                         std::int64_t>,
                                Path, Bool, Bool, Bool, Bool, DefaultFalse, DefaultTrue, Optional<Signed64, -1>>>(),
     kFastcall,
     "submit_open($self, path, write, create, truncate, exclusive, *, append=False, read=True, mode=-1)\n--\n\n"
     "As Iocp.submit_open."},
    {"submit_read",
     as_cfunction<&method_frame<LoopClass, kLoopSubmitRead,
                                kViaLoop<iocp::submit_read, std::intptr_t, std::uint64_t, std::uint32_t>,
                                SignedPtr, Unsigned64, Length32>>(),
     kFastcall, "submit_read($self, handle, offset, len)\n--\n\n"},
    {"submit_write",
     as_cfunction<&method_frame<LoopClass, kLoopSubmitWrite,
                                kViaLoop<iocp::submit_write, std::intptr_t, std::uint64_t, PyRef>,
                                SignedPtr, Unsigned64, Bytes>>(),
     kFastcall, "submit_write($self, handle, offset, data)\n--\n\n"},
    {"submit_close", as_cfunction<&method_frame<LoopClass, kLoopSubmitClose, iocp::loop_submit_close, SignedPtr>>(),
     kFastcall, "submit_close($self, handle)\n--\n\n"},
    {"submit_size",
     as_cfunction<&method_frame<LoopClass, kLoopSubmitSize, kViaLoop<iocp::submit_size, std::intptr_t>, SignedPtr>>(),
     kFastcall, "submit_size($self, handle)\n--\n\n"},
    {"submit_truncate",
     as_cfunction<&method_frame<LoopClass, kLoopSubmitTruncate,
                                kViaLoop<iocp::submit_truncate, std::intptr_t, std::uint64_t>, SignedPtr,
                                Unsigned64>>(),
     kFastcall, "submit_truncate($self, handle, size)\n--\n\n"},
    {"submit_sync",
     as_cfunction<&method_frame<LoopClass, kLoopSubmitSync, kViaLoop<iocp::submit_sync, std::intptr_t, bool>,
                                SignedPtr, Bool>>(),
     kFastcall, "submit_sync($self, handle, data_only)\n--\n\n"},
    {"cancel", as_cfunction<&method_frame<LoopClass, kLoopCancel, iocp::loop_cancel, Unsigned64>>(), kFastcall,
     "cancel($self, id)\n--\n\nAs Iocp.cancel; a group's id stops every read of the group."},
    {"file_type", as_cfunction<&method_frame<LoopClass, kLoopFileType, iocp::loop_file_type, SignedPtr>>(),
     kFastcall, "file_type($self, handle)\n--\n\nAs Iocp.file_type."},
    {"shutdown", as_cfunction<&noargs_frame<LoopClass, iocp::loop_shutdown>>(), METH_NOARGS,
     "shutdown($self)\n--\n\n"
     "Cancel what is in flight, wait until the system is done with it (its\n"
     "completions are dropped), and close the port."},
    {"engine", as_cfunction<&static_frame<iocp::iocp_engine>>(), METH_NOARGS | METH_STATIC,
     "engine()\n--\n\nAs Iocp.engine."},
    {nullptr, nullptr, 0, nullptr},
};

std::vector<PyMethodDef> g_iocp_methods = path_methods::with_calls_on_paths<IocpClass, "Iocp">(g_iocp_own_methods);
std::vector<PyMethodDef> g_loop_methods = path_methods::with_calls_on_paths<LoopClass, "LoopPort">(g_loop_own_methods);

PyMethodDef g_proactor_methods[] = {
    {"open",
     as_cfunction<&method_frame<ProactorClass, kProactorOpen, iocp::proactor_open, Path, Bool, Bool, Bool, Bool>>(),
     kFastcall,
     "open($self, path, write, create, truncate, exclusive)\n--\n\n"
     "Open a file with overlapped I/O and associate it with the loop's IOCP.\n"
     "Synchronous (CreateFileW is not an overlapped operation)."},
    {"close", as_cfunction<&method_frame<ProactorClass, kProactorClose, iocp::proactor_close, SignedPtr>>(),
     kFastcall, "close($self, handle)\n--\n\n"},
    {"submit_read",
     as_cfunction<&method_frame<ProactorClass, kProactorSubmitRead, iocp::proactor_submit_read, SignedPtr,
                                Unsigned64, Length32>>(),
     kFastcall, "submit_read($self, handle, offset, len)\n--\n\n"},
    {"submit_write",
     as_cfunction<&method_frame<ProactorClass, kProactorSubmitWrite, iocp::proactor_submit_write, SignedPtr,
                                Unsigned64, Bytes>>(),
     kFastcall, "submit_write($self, handle, offset, data)\n--\n\n"},
    {"take",
     as_cfunction<&method_frame<ProactorClass, kProactorTake, iocp::proactor_take, UnsignedPtr, UnsignedPtr>>(),
     kFastcall,
     "take($self, addr, transferred)\n--\n\n"
     "Reap a completed op: return its bytes (read) or transferred count\n"
     "(write), or raise OSError. Frees the op. Runs on the loop thread."},
    {"discard", as_cfunction<&method_frame<ProactorClass, kProactorDiscard, iocp::proactor_discard, UnsignedPtr>>(),
     kFastcall,
     "discard($self, addr)\n--\n\n"
     "Free an op whose future was cancelled and whose completion the loop\n"
     "reaped but did not hand to `take` (the future was already done). Safe\n"
     "because the shim that calls this is only dropped after `_poll` has\n"
     "popped the completion, so the kernel is finished with the buffer."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_iocp_slots[] = {
    {Py_tp_doc, const_cast<char*>("Iocp(loop_obj, on_complete)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&constructor_frame<IocpClass, kIocpNew, iocp::construct_iocp, AnyObject, AnyObject>)},
    {Py_tp_methods, g_iocp_methods.data()},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_frame<IocpClass>)},
    {0, nullptr},
};

PyType_Slot g_loop_slots[] = {
    {Py_tp_doc, const_cast<char*>("LoopPort(*, cached_reads=True)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&constructor_frame<LoopClass, kLoopNew, iocp::construct_loop_port, DefaultTrue>)},
    {Py_tp_methods, g_loop_methods.data()},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_frame<LoopClass>)},
    {0, nullptr},
};

PyType_Slot g_proactor_slots[] = {
    {Py_tp_doc, const_cast<char*>("ProactorIo(iocp)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&constructor_frame<ProactorClass, kProactorNew, iocp::construct_proactor, SignedPtr>)},
    {Py_tp_methods, g_proactor_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_frame<ProactorClass>)},
    {0, nullptr},
};

PyType_Spec g_iocp_spec{"builtins.Iocp", sizeof(Instance<IocpClass>), 0, Py_TPFLAGS_DEFAULT, g_iocp_slots};
PyType_Spec g_loop_spec{"builtins.LoopPort", sizeof(Instance<LoopClass>), 0, Py_TPFLAGS_DEFAULT, g_loop_slots};
PyType_Spec g_proactor_spec{"builtins.ProactorIo", sizeof(Instance<ProactorClass>), 0, Py_TPFLAGS_DEFAULT,
                            g_proactor_slots};

// The two type objects live for the whole process and are shared by every
// execution of the module.
struct TypeStore {
    PyType_Spec* spec;
    OnceFlag once;
    std::atomic<PyObject*> type{nullptr};
};
TypeStore g_iocp_type{&g_iocp_spec, {}, {}};
TypeStore g_proactor_type{&g_proactor_spec, {}, {}};
TypeStore g_loop_type{&g_loop_spec, {}, {}};

Result<PyObject*> type_object(TypeStore& store) {
    if (PyObject* type = store.type.load(std::memory_order_acquire)) {
        return type;
    }
    Status failed = run_once_unlocked(store.once, std::function<Status()>([&]() -> Status {
        PyObject* type = PyType_FromSpec(store.spec);
        if (!type) {
            return Failure::fetch();
        }
        store.type.store(type, std::memory_order_release);
        return std::nullopt;
    }));
    if (failed) {
        return std::move(*failed);
    }
    return store.type.load(std::memory_order_acquire);
}

Status add_to_all(PyObject* module, const char* name) {
    PyRef all = PyRef::steal(PyObject_GetAttr(module, interned(Name::All)));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return Failure::fetch();
        }
        PyErr_Clear();
        all = created(PyList_New(0));
        if (PyObject_SetAttr(module, interned(Name::All), all.get()) < 0) {
            return Failure::fetch();
        }
    } else if (!PyList_Check(all.get())) {
        return type_mismatch(all.get(), "list");
    }
    PyRef text = created(PyUnicode_FromString(name));
    if (PyList_Append(all.get(), text.get()) < 0) {
        PyErr_Clear();
        internal_failure(std::string("could not append __name__ to __all__: ") + name);
    }
    return std::nullopt;
}

Status add_attribute(PyObject* module, const char* name, PyObject* value) {
    if (Status failed = add_to_all(module, name)) {
        return failed;
    }
    if (PyObject_SetAttrString(module, name, value) < 0) {
        return Failure::fetch();
    }
    return std::nullopt;
}

Status add_type(PyObject* module, const char* name, TypeStore& store) {
    Result<PyObject*> type = type_object(store);
    if (!type.ok()) {
        return std::move(type.failure());
    }
    return add_attribute(module, name, type.value());
}

// The type objects are the whole process's, and a completion thread takes
// the interpreter lock through the main interpreter's thread states: an Iocp
// made in a sub-interpreter would run that interpreter's loop and build its
// objects in the main one.
Status refuse_sub_interpreter() {
    std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) {
        return Failure::fetch();
    }
    if (interpreter != 0) {
        return Failure::deferred(PyExc_ImportError, "_kiln does not support sub-interpreters");
    }
    return std::nullopt;
}

Status fill_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        return type_mismatch(module, "module");
    }
    if (Status failed = refuse_sub_interpreter()) {
        return failed;
    }
    if (Status failed = add_type(module, "Iocp", g_iocp_type)) {
        return failed;
    }
    if (Status failed = add_type(module, "ProactorIo", g_proactor_type)) {
        return failed;
    }
    if (Status failed = add_type(module, "LoopPort", g_loop_type)) {
        return failed;
    }
    PyRef doc = created(PyUnicode_FromString(kModuleDoc));
    return add_attribute(module, "__doc__", doc.get());
}

int execute_module(PyObject* module) noexcept {
    EntryScope entry;
    try {
        if (Status failed = fill_module(module)) {
            std::move(*failed).raise();
            return -1;
        }
        return 0;
    } catch (const InternalError& error) {
        raise_internal(error);
        return -1;
    } catch (const std::bad_alloc&) {
        allocation_failed(0);
    }
}

PyModuleDef_Slot g_module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&execute_module)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "_kiln", "", 0, nullptr, g_module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace kiln

PyMODINIT_FUNC PyInit__kiln(void) { return PyModuleDef_Init(&kiln::g_module); }
