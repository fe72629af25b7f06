// The module's entry, its execution step and the registration of its two
// classes.
#include "frame/frame.h"
#include "iocp/fs_submit.h"
#include "iocp/iocp.h"
#include "iocp/proactor_io.h"

#include <atomic>
#include <cstdint>
#include <mutex>

namespace kiln {
namespace {

using iocp::IocpClass;
using iocp::ProactorClass;

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
constexpr const char* kHandleParams[] = {"handle"};
constexpr const char* kProactorNewParams[] = {"iocp"};
constexpr const char* kStatParams[] = {"path", "follow_symlinks", "dir_fd"};
constexpr const char* kRenameParams[] = {"src", "dst", "replace", "src_dir_fd", "dst_dir_fd"};
constexpr const char* kPathParams[] = {"path", "dir_fd"};
constexpr const char* kMkdirParams[] = {"path", "mode", "dir_fd"};
constexpr const char* kSymlinkParams[] = {"target", "link", "target_is_directory", "dir_fd"};
constexpr const char* kLinkParams[] = {"src", "dst", "follow_symlinks", "src_dir_fd", "dst_dir_fd"};
constexpr const char* kOnlyPathParams[] = {"path"};
constexpr const char* kCopyParams[] = {"src", "dst", "copy_mode", "copy_times"};
constexpr const char* kChmodParams[] = {"path", "mode", "follow_symlinks", "dir_fd"};
constexpr const char* kUtimeParams[] = {"path", "atime_ns", "mtime_ns", "now", "follow_symlinks", "dir_fd"};
constexpr const char* kAccessParams[] = {"path", "mode", "follow_symlinks", "effective_ids", "dir_fd"};
constexpr const char* kStatManyParams[] = {"paths", "follow_symlinks"};
constexpr const char* kPathsParams[] = {"paths"};
constexpr const char* kTakeParams[] = {"addr", "transferred"};
constexpr const char* kDiscardParams[] = {"addr"};

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
constexpr Signature kIocpSubmitStat{"Iocp.submit_stat()", kStatParams, 2};
constexpr Signature kIocpSubmitStatHandle{"Iocp.submit_stat_handle()", kHandleParams};
constexpr Signature kIocpSubmitRename{"Iocp.submit_rename()", kRenameParams, 3};
constexpr Signature kIocpSubmitUnlink{"Iocp.submit_unlink()", kPathParams, 1};
constexpr Signature kIocpSubmitMkdir{"Iocp.submit_mkdir()", kMkdirParams, 2};
constexpr Signature kIocpSubmitRmdir{"Iocp.submit_rmdir()", kPathParams, 1};
constexpr Signature kIocpSubmitSymlink{"Iocp.submit_symlink()", kSymlinkParams, 3};
constexpr Signature kIocpSubmitLink{"Iocp.submit_link()", kLinkParams, 3};
constexpr Signature kIocpSubmitReadlink{"Iocp.submit_readlink()", kPathParams, 1};
constexpr Signature kIocpSubmitListdir{"Iocp.submit_listdir()", kOnlyPathParams};
constexpr Signature kIocpSubmitCopyfile{"Iocp.submit_copyfile()", kCopyParams};
constexpr Signature kIocpSubmitChmod{"Iocp.submit_chmod()", kChmodParams, 3};
constexpr Signature kIocpSubmitUtime{"Iocp.submit_utime()", kUtimeParams, 5};
constexpr Signature kIocpSubmitAccess{"Iocp.submit_access()", kAccessParams, 4};
constexpr Signature kIocpSubmitRealpath{"Iocp.submit_realpath()", kOnlyPathParams};
constexpr Signature kIocpSubmitStatMany{"Iocp.submit_stat_many()", kStatManyParams};
constexpr Signature kIocpSubmitUnlinkMany{"Iocp.submit_unlink_many()", kPathsParams};
constexpr Signature kIocpSubmitRmdirMany{"Iocp.submit_rmdir_many()", kPathsParams};
constexpr Signature kIocpSubmitListdirMany{"Iocp.submit_listdir_many()", kPathsParams};
constexpr Signature kProactorNew{"ProactorIo.__new__()", kProactorNewParams};
constexpr Signature kProactorOpen{"ProactorIo.open()", kOpenParams};
constexpr Signature kProactorClose{"ProactorIo.close()", kHandleParams};
constexpr Signature kProactorSubmitRead{"ProactorIo.submit_read()", kReadParams};
constexpr Signature kProactorSubmitWrite{"ProactorIo.submit_write()", kWriteParams};
constexpr Signature kProactorTake{"ProactorIo.take()", kTakeParams};
constexpr Signature kProactorDiscard{"ProactorIo.discard()", kDiscardParams};

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// A submission of Iocp's, through the code every class with a port shares.
template <auto Body, class... Args>
constexpr auto kViaIocp = &iocp::through<iocp::IocpFields, Body, Args...>;

using DefaultFalse = Optional<Bool, false>;
using DefaultTrue = Optional<Bool, true>;
using NoDirectory = Optional<SignedPtr, -1>;  // a dir_fd left out
using platform::NativePath;

template <auto Frame>
PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Frame));
}

PyMethodDef g_iocp_methods[] = {
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
    // Calls on paths. Their completion's data is the value of the call (see
    // call_data.h); a failure is the system's error, as for an open.
    {"submit_stat",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitStat,
                                kViaIocp<iocp::submit_stat, NativePath, bool, std::intptr_t>, Path, Bool,
                                NoDirectory>>(),
     kFastcall,
     "submit_stat($self, path, follow_symlinks, *, dir_fd=-1)\n--\n\n"
     "The completion's data is the os.stat_result of path (dir_fd: where a\n"
     "relative path starts, on POSIX; -1 for the working directory)."},
    {"submit_stat_handle",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitStatHandle, kViaIocp<iocp::submit_stat_handle, std::intptr_t>,
                                SignedPtr>>(),
     kFastcall, "submit_stat_handle($self, handle)\n--\n\nThe completion's data is the os.stat_result of the open file."},
    {"submit_rename",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitRename,
                                kViaIocp<iocp::submit_rename, NativePath, NativePath, bool, std::intptr_t,
                                         std::intptr_t>,
                                Path, Path, Bool, NoDirectory, NoDirectory>>(),
     kFastcall,
     "submit_rename($self, src, dst, replace, *, src_dir_fd=-1, dst_dir_fd=-1)\n--\n\n"
     "Rename src to dst. Windows refuses an existing dst unless replace."},
    {"submit_unlink",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitUnlink, kViaIocp<iocp::submit_unlink, NativePath, std::intptr_t>,
                                Path, NoDirectory>>(),
     kFastcall, "submit_unlink($self, path, *, dir_fd=-1)\n--\n\nRemove a file or a link."},
    {"submit_mkdir",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitMkdir,
                                kViaIocp<iocp::submit_mkdir, NativePath, std::uint32_t, std::intptr_t>, Path,
                                Unsigned32, NoDirectory>>(),
     kFastcall, "submit_mkdir($self, path, mode, *, dir_fd=-1)\n--\n\n"},
    {"submit_rmdir",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitRmdir, kViaIocp<iocp::submit_rmdir, NativePath, std::intptr_t>,
                                Path, NoDirectory>>(),
     kFastcall, "submit_rmdir($self, path, *, dir_fd=-1)\n--\n\nRemove an empty directory."},
    {"submit_symlink",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitSymlink,
                                kViaIocp<iocp::submit_symlink, NativePath, NativePath, bool, std::intptr_t>, Path,
                                Path, Bool, NoDirectory>>(),
     kFastcall,
     "submit_symlink($self, target, link, target_is_directory, *, dir_fd=-1)\n--\n\n"
     "Make link a symbolic link to target (dir_fd: where a relative link starts)."},
    {"submit_link",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitLink,
                                kViaIocp<iocp::submit_link, NativePath, NativePath, bool, std::intptr_t,
                                         std::intptr_t>,
                                Path, Path, Bool, NoDirectory, NoDirectory>>(),
     kFastcall,
     "submit_link($self, src, dst, follow_symlinks, *, src_dir_fd=-1, dst_dir_fd=-1)\n--\n\n"
     "Make dst a hard link to src."},
    {"submit_readlink",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitReadlink,
                                kViaIocp<iocp::submit_readlink, NativePath, std::intptr_t>, Path, NoDirectory>>(),
     kFastcall, "submit_readlink($self, path, *, dir_fd=-1)\n--\n\nThe completion's data is the link's target (str)."},
    {"submit_listdir",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitListdir, kViaIocp<iocp::submit_listdir, NativePath>, Path>>(),
     kFastcall,
     "submit_listdir($self, path)\n--\n\n"
     "The completion's data is a list of (name, type, inode, target, target_error):\n"
     "type 1 a file, 2 a directory, 3 a link, 4 anything else; for a link, target\n"
     "is what it leads to (0 nothing, target_error then says why)."},
    {"submit_copyfile",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitCopyfile,
                                kViaIocp<iocp::submit_copyfile, NativePath, NativePath, bool, bool>, Path, Path, Bool,
                                Bool>>(),
     kFastcall,
     "submit_copyfile($self, src, dst, copy_mode, copy_times)\n--\n\n"
     "Copy src's bytes into dst, made or truncated (in the kernel where it can).\n"
     "On failure the data says which failed: 1 src, 2 dst, 3 the copy."},
    {"submit_chmod",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitChmod,
                                kViaIocp<iocp::submit_chmod, NativePath, std::uint32_t, bool, std::intptr_t>, Path,
                                Unsigned32, Bool, NoDirectory>>(),
     kFastcall, "submit_chmod($self, path, mode, follow_symlinks, *, dir_fd=-1)\n--\n\n"},
    {"submit_utime",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitUtime,
                                kViaIocp<iocp::submit_utime, NativePath, std::int64_t, std::int64_t, bool, bool,
                                         std::intptr_t>,
                                Path, Signed64, Signed64, Bool, Bool, NoDirectory>>(),
     kFastcall,
     "submit_utime($self, path, atime_ns, mtime_ns, now, follow_symlinks, *, dir_fd=-1)\n--\n\n"
     "Set the access and modification times (nanoseconds since 1970), or both to\n"
     "now."},
    {"submit_access",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitAccess,
                                kViaIocp<iocp::submit_access, NativePath, std::uint32_t, bool, bool, std::intptr_t>,
                                Path, Unsigned32, Bool, Bool, NoDirectory>>(),
     kFastcall,
     "submit_access($self, path, mode, follow_symlinks, effective_ids, *, dir_fd=-1)\n--\n\n"
     "Completes without an error when path may be used as mode (os.R_OK...) says."},
    {"submit_realpath",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitRealpath, kViaIocp<iocp::submit_realpath, NativePath>, Path>>(),
     kFastcall,
     "submit_realpath($self, path)\n--\n\n"
     "The completion's data is the absolute path of an existing file, every link\n"
     "resolved (str)."},
    // The same calls on every path of a list, started together: the workers
    // wake once for all of them. The ids run on from the one returned.
    {"submit_stat_many",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitStatMany, kViaIocp<iocp::submit_stat_many, PyRef, bool>,
                                AnyObject, Bool>>(),
     kFastcall,
     "submit_stat_many($self, paths, follow_symlinks)\n--\n\n"
     "submit_stat for each path of a list of str; returns the first id, the others\n"
     "following it in the list's order."},
    {"submit_unlink_many",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitUnlinkMany, kViaIocp<iocp::submit_unlink_many, PyRef>,
                                AnyObject>>(),
     kFastcall, "submit_unlink_many($self, paths)\n--\n\nsubmit_unlink for each path; as submit_stat_many."},
    {"submit_rmdir_many",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitRmdirMany, kViaIocp<iocp::submit_rmdir_many, PyRef>,
                                AnyObject>>(),
     kFastcall, "submit_rmdir_many($self, paths)\n--\n\nsubmit_rmdir for each path; as submit_stat_many."},
    {"submit_listdir_many",
     as_cfunction<&method_frame<IocpClass, kIocpSubmitListdirMany, kViaIocp<iocp::submit_listdir_many, PyRef>,
                                AnyObject>>(),
     kFastcall, "submit_listdir_many($self, paths)\n--\n\nsubmit_listdir for each path; as submit_stat_many."},
    {nullptr, nullptr, 0, nullptr},
};

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
    {Py_tp_methods, g_iocp_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_frame<IocpClass>)},
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
