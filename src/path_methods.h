// The calls on paths, alike on every class with a port of its own (Iocp,
// LoopPort): one table of methods, made for each class with its name in the
// messages. Included by the module's entry only.
#pragma once

#include "frame/frame.h"
#include "iocp/fs_submit.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kiln::path_methods {

// A string literal as a template argument.
template <std::size_t N>
struct Text {
    char chars[N]{};
    constexpr Text(const char (&text)[N]) { std::copy_n(text, N, chars); }  // NOLINT: implicit by design
};

// "Class.method()", in static storage.
template <Text Class, Text Method>
constexpr auto kQualname = [] {
    std::array<char, sizeof(Class.chars) + sizeof(Method.chars)> joined{};
    auto end = std::copy_n(Class.chars, sizeof(Class.chars) - 1, joined.begin());
    *end++ = '.';
    std::copy_n(Method.chars, sizeof(Method.chars), end);
    return joined;
}();

constexpr const char* kHandleParams[] = {"handle"};
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

// The parameters after the first `Positional` are keyword-only.
template <Text Class, Text Method, const auto& Params, std::size_t Positional = std::size(Params)>
constexpr Signature kSig{kQualname<Class, Method>.data(), Params, Positional};

using NoDirectory = Optional<SignedPtr, -1>;  // a dir_fd left out
using platform::NativePath;

template <auto Frame>
PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Frame));
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// A submission of Cls's, through the code every class with a port shares.
template <class Cls, auto Body, class... Args>
constexpr auto kVia = &iocp::through<typename Cls::Fields, Body, Args...>;

// Cls's calls on paths. Their completion's data is the value of the call
// (see call_data.h); a failure is the system's error, as for an open.
template <class Cls, Text Name>
std::vector<PyMethodDef> calls_on_paths() {
    return {
        {"submit_stat",
         as_cfunction<&method_frame<Cls, kSig<Name, "submit_stat()", kStatParams, 2>,
                                    kVia<Cls, iocp::submit_stat, NativePath, bool, std::intptr_t>, Path, Bool,
                                    NoDirectory>>(),
         kFastcall,
         "submit_stat($self, path, follow_symlinks, *, dir_fd=-1)\n--\n\n"
         "The completion's data is the os.stat_result of path (dir_fd: where a\n"
         "relative path starts, on POSIX; -1 for the working directory)."},
        {"submit_stat_handle",
         as_cfunction<&method_frame<Cls, kSig<Name, "submit_stat_handle()", kHandleParams>,
                                    kVia<Cls, iocp::submit_stat_handle, std::intptr_t>,
                                    SignedPtr>>(),
         kFastcall, "submit_stat_handle($self, handle)\n--\n\n"
         "The completion's data is the os.stat_result of the open file."},
        {"submit_rename",
         as_cfunction<&method_frame<Cls, kSig<Name, "submit_rename()", kRenameParams, 3>,
                                    kVia<Cls, iocp::submit_rename, NativePath, NativePath, bool, std::intptr_t,
                                             std::intptr_t>,
                                    Path, Path, Bool, NoDirectory, NoDirectory>>(),
         kFastcall,
         "submit_rename($self, src, dst, replace, *, src_dir_fd=-1, dst_dir_fd=-1)\n--\n\n"
         "Rename src to dst. Windows refuses an existing dst unless replace."},
        {"submit_unlink",
         as_cfunction<&method_frame<Cls, kSig<Name, "submit_unlink()", kPathParams, 1>,
                                    kVia<Cls, iocp::submit_unlink, NativePath, std::intptr_t>,
                                    Path, NoDirectory>>(),
         kFastcall, "submit_unlink($self, path, *, dir_fd=-1)\n--\n\nRemove a file or a link."},
        {"submit_mkdir",
         as_cfunction<&method_frame<Cls, kSig<Name, "submit_mkdir()", kMkdirParams, 2>,
                                    kVia<Cls, iocp::submit_mkdir, NativePath, std::uint32_t, std::intptr_t>, Path,
                                    Unsigned32, NoDirectory>>(),
         kFastcall, "submit_mkdir($self, path, mode, *, dir_fd=-1)\n--\n\n"},
        {"submit_rmdir",
         as_cfunction<&method_frame<Cls, kSig<Name, "submit_rmdir()", kPathParams, 1>,
                                    kVia<Cls, iocp::submit_rmdir, NativePath, std::intptr_t>,
                                    Path, NoDirectory>>(),
         kFastcall, "submit_rmdir($self, path, *, dir_fd=-1)\n--\n\nRemove an empty directory."},
        {"submit_symlink",
         as_cfunction<&method_frame<Cls, kSig<Name, "submit_symlink()", kSymlinkParams, 3>,
                                    kVia<Cls, iocp::submit_symlink, NativePath, NativePath, bool, std::intptr_t>, Path,
                                    Path, Bool, NoDirectory>>(),
         kFastcall,
         "submit_symlink($self, target, link, target_is_directory, *, dir_fd=-1)\n--\n\n"
         "Make link a symbolic link to target (dir_fd: where a relative link starts)."},
        {"submit_link",
         as_cfunction<&method_frame<Cls, kSig<Name, "submit_link()", kLinkParams, 3>,
                                    kVia<Cls, iocp::submit_link, NativePath, NativePath, bool, std::intptr_t,
                                             std::intptr_t>,
                                    Path, Path, Bool, NoDirectory, NoDirectory>>(),
         kFastcall,
         "submit_link($self, src, dst, follow_symlinks, *, src_dir_fd=-1, dst_dir_fd=-1)\n--\n\n"
         "Make dst a hard link to src."},
        {"submit_readlink",
         as_cfunction<&method_frame<Cls, kSig<Name, "submit_readlink()", kPathParams, 1>,
                                    kVia<Cls, iocp::submit_readlink, NativePath, std::intptr_t>, Path, NoDirectory>>(),
         kFastcall, "submit_readlink($self, path, *, dir_fd=-1)\n--\n\n"
         "The completion's data is the link's target (str)."},
        {"submit_listdir",
         as_cfunction<&method_frame<Cls, kSig<Name, "submit_listdir()", kOnlyPathParams>,
                                    kVia<Cls, iocp::submit_listdir, NativePath>, Path>>(),
         kFastcall,
         "submit_listdir($self, path)\n--\n\n"
         "The completion's data is a list of (name, type, inode, target, target_error):\n"
         "type 1 a file, 2 a directory, 3 a link, 4 anything else; for a link, target\n"
         "is what it leads to (0 nothing, target_error then says why)."},
        {"submit_copyfile",
         as_cfunction<&method_frame<Cls, kSig<Name, "submit_copyfile()", kCopyParams>,
                                    kVia<Cls, iocp::submit_copyfile,
                                         NativePath, NativePath, bool, bool>, Path, Path, Bool,
                                    Bool>>(),
         kFastcall,
         "submit_copyfile($self, src, dst, copy_mode, copy_times)\n--\n\n"
         "Copy src's bytes into dst, made or truncated (in the kernel where it can).\n"
         "On failure the data says which failed: 1 src, 2 dst, 3 the copy."},
        {"submit_chmod",
         as_cfunction<&method_frame<Cls, kSig<Name, "submit_chmod()", kChmodParams, 3>,
                                    kVia<Cls, iocp::submit_chmod, NativePath, std::uint32_t, bool, std::intptr_t>, Path,
                                    Unsigned32, Bool, NoDirectory>>(),
         kFastcall, "submit_chmod($self, path, mode, follow_symlinks, *, dir_fd=-1)\n--\n\n"},
        {"submit_utime",
         as_cfunction<&method_frame<Cls, kSig<Name, "submit_utime()", kUtimeParams, 5>,
                                    kVia<Cls, iocp::submit_utime, NativePath, std::int64_t, std::int64_t, bool, bool,
                                             std::intptr_t>,
                                    Path, Signed64, Signed64, Bool, Bool, NoDirectory>>(),
         kFastcall,
         "submit_utime($self, path, atime_ns, mtime_ns, now, follow_symlinks, *, dir_fd=-1)\n--\n\n"
         "Set the access and modification times (nanoseconds since 1970), or both to\n"
         "now."},
        {"submit_access",
         as_cfunction<&method_frame<Cls, kSig<Name, "submit_access()", kAccessParams, 4>,
                                    kVia<Cls, iocp::submit_access,
                                         NativePath, std::uint32_t, bool, bool, std::intptr_t>,
                                    Path, Unsigned32, Bool, Bool, NoDirectory>>(),
         kFastcall,
         "submit_access($self, path, mode, follow_symlinks, effective_ids, *, dir_fd=-1)\n--\n\n"
         "Completes without an error when path may be used as mode (os.R_OK...) says."},
        {"submit_realpath",
         as_cfunction<&method_frame<Cls, kSig<Name, "submit_realpath()", kOnlyPathParams>,
                                    kVia<Cls, iocp::submit_realpath, NativePath>, Path>>(),
         kFastcall,
         "submit_realpath($self, path)\n--\n\n"
         "The completion's data is the absolute path of an existing file, every link\n"
         "resolved (str)."},
        // The same calls on every path of a list, started together: the workers
        // wake once for all of them. The ids run on from the one returned.
        {"submit_stat_many",
         as_cfunction<&method_frame<Cls, kSig<Name, "submit_stat_many()", kStatManyParams>,
                                    kVia<Cls, iocp::submit_stat_many, PyRef, bool>,
                                    AnyObject, Bool>>(),
         kFastcall,
         "submit_stat_many($self, paths, follow_symlinks)\n--\n\n"
         "submit_stat for each path of a list of str; returns the first id, the others\n"
         "following it in the list's order."},
        {"submit_unlink_many",
         as_cfunction<&method_frame<Cls, kSig<Name, "submit_unlink_many()", kPathsParams>,
                                    kVia<Cls, iocp::submit_unlink_many, PyRef>,
                                    AnyObject>>(),
         kFastcall, "submit_unlink_many($self, paths)\n--\n\nsubmit_unlink for each path; as submit_stat_many."},
        {"submit_rmdir_many",
         as_cfunction<&method_frame<Cls, kSig<Name, "submit_rmdir_many()", kPathsParams>,
                                    kVia<Cls, iocp::submit_rmdir_many, PyRef>,
                                    AnyObject>>(),
         kFastcall, "submit_rmdir_many($self, paths)\n--\n\nsubmit_rmdir for each path; as submit_stat_many."},
        {"submit_listdir_many",
         as_cfunction<&method_frame<Cls, kSig<Name, "submit_listdir_many()", kPathsParams>,
                                    kVia<Cls, iocp::submit_listdir_many, PyRef>,
                                    AnyObject>>(),
         kFastcall, "submit_listdir_many($self, paths)\n--\n\nsubmit_listdir for each path; as submit_stat_many."},
    };
}

// `own` (ending in its sentinel) followed by the calls on paths and a sentinel.
template <class Cls, Text Name, std::size_t N>
std::vector<PyMethodDef> with_calls_on_paths(const PyMethodDef (&own)[N]) {
    std::vector<PyMethodDef> methods(own, own + N - 1);
    for (const PyMethodDef& method : calls_on_paths<Cls, Name>()) methods.push_back(method);
    methods.push_back({nullptr, nullptr, 0, nullptr});
    return methods;
}

}  // namespace kiln::path_methods
