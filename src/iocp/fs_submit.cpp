#include "iocp/fs_submit.h"

#include "frame/args.h"
#include "iocp/open_flags.h"

#include <vector>

namespace kiln::iocp {
namespace {

using platform::CallKind;
using platform::FileCall;

FileCall call_of(CallKind kind, std::uint32_t flags = 0) {
    FileCall call{};
    call.kind = kind;
    call.flags = flags;
    return call;
}

std::uint32_t follow_flag(bool follow_symlinks) { return follow_symlinks ? platform::kFollowLinks : 0; }

// Descriptors are small non-negative ints; -1 names none.
void in_directory(FileCall& call, std::intptr_t dir_fd) {
    if (dir_fd >= 0) {
        call.flags |= platform::kInDirectory;
        call.directory = static_cast<std::int32_t>(dir_fd);
    }
}

void in_directory2(FileCall& call, std::intptr_t dir_fd) {
    if (dir_fd >= 0) {
        call.flags |= platform::kInDirectory2;
        call.directory2 = static_cast<std::int32_t>(dir_fd);
    }
}

Result<PyRef> on_path(Submitter to, FileCall call, NativePath& path, std::intptr_t dir_fd) {
    in_directory(call, dir_fd);
    return submit_call(to, call, &path);
}

// Every path converted before anything starts: a bad one refuses the list.
Result<std::vector<NativePath>> native_paths(PyRef& paths) {
    if (!PyList_Check(paths.get())) {
        return type_mismatch(paths.get(), "list");
    }
    Py_ssize_t count = PyList_Size(paths.get());
    std::vector<NativePath> natives;
    natives.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t index = 0; index < count; ++index) {
        Result<NativePath> path = Path::convert(PyList_GetItem(paths.get(), index));
        if (!path.ok()) {
            return note_parameter(std::move(path.failure()), "paths");
        }
        natives.push_back(std::move(path.value()));
    }
    return natives;
}

Result<PyRef> on_paths(Submitter to, CallKind kind, std::uint32_t flags, PyRef& paths) {
    Result<std::vector<NativePath>> natives = native_paths(paths);
    if (!natives.ok()) {
        return std::move(natives.failure());
    }
    std::vector<NativePath>& list = natives.value();
    std::uint64_t base = to.next_id.fetch_add(list.size(), std::memory_order_relaxed);
    std::vector<OwnedOp> ops;
    ops.reserve(list.size());
    for (std::size_t index = 0; index < list.size(); ++index) {
        ops.push_back(make_call_op(base + index, call_of(kind, flags), &list[index]));
        // Listed before it starts, so that its delivery always finds it listed.
        to.in_flight.link(ops.back().get(), nullptr);
    }
    if (platform::ErrorCode error = start_calls(to.port, ops)) {
        return call_failed("PostQueuedCompletionStatus", error);
    }
    return created(PyLong_FromUnsignedLongLong(base));
}

}  // namespace

Result<PyRef> submit_stat(Submitter to, NativePath& path, bool follow_symlinks, std::intptr_t dir_fd) {
    return on_path(to, call_of(CallKind::Stat, follow_flag(follow_symlinks)), path, dir_fd);
}

Result<PyRef> submit_stat_handle(Submitter to, std::intptr_t handle) {
    FileCall call = call_of(CallKind::StatFile);
    call.file = to_handle(handle);
    return submit_call(to, call);
}

Result<PyRef> submit_rename(Submitter to, NativePath& src, NativePath& dst, bool replace, std::intptr_t src_dir_fd,
                            std::intptr_t dst_dir_fd) {
    FileCall call = call_of(CallKind::Rename, replace ? platform::kReplace : 0);
    in_directory(call, src_dir_fd);
    in_directory2(call, dst_dir_fd);
    return submit_call(to, call, &src, &dst);
}

Result<PyRef> submit_unlink(Submitter to, NativePath& path, std::intptr_t dir_fd) {
    return on_path(to, call_of(CallKind::Unlink), path, dir_fd);
}

Result<PyRef> submit_mkdir(Submitter to, NativePath& path, std::uint32_t mode, std::intptr_t dir_fd) {
    FileCall call = call_of(CallKind::MakeDir);
    call.mode = mode;
    return on_path(to, call, path, dir_fd);
}

Result<PyRef> submit_rmdir(Submitter to, NativePath& path, std::intptr_t dir_fd) {
    return on_path(to, call_of(CallKind::RemoveDir), path, dir_fd);
}

// The directory descriptor is the link's; the target is text, kept as given.
Result<PyRef> submit_symlink(Submitter to, NativePath& target, NativePath& link, bool target_is_directory,
                             std::intptr_t dir_fd) {
    FileCall call = call_of(CallKind::Symlink, target_is_directory ? platform::kTargetIsDirectory : 0);
    in_directory2(call, dir_fd);
    return submit_call(to, call, &target, &link);
}

Result<PyRef> submit_link(Submitter to, NativePath& src, NativePath& dst, bool follow_symlinks,
                          std::intptr_t src_dir_fd, std::intptr_t dst_dir_fd) {
    FileCall call = call_of(CallKind::Link, follow_flag(follow_symlinks));
    in_directory(call, src_dir_fd);
    in_directory2(call, dst_dir_fd);
    return submit_call(to, call, &src, &dst);
}

Result<PyRef> submit_readlink(Submitter to, NativePath& path, std::intptr_t dir_fd) {
    return on_path(to, call_of(CallKind::ReadLink), path, dir_fd);
}

Result<PyRef> submit_listdir(Submitter to, NativePath& path) {
    return submit_call(to, call_of(CallKind::ListDir), &path);
}

Result<PyRef> submit_copyfile(Submitter to, NativePath& src, NativePath& dst, bool copy_mode, bool copy_times) {
    std::uint32_t flags = (copy_mode ? platform::kCopyMode : 0) | (copy_times ? platform::kCopyTimes : 0);
    return submit_call(to, call_of(CallKind::CopyFile, flags), &src, &dst);
}

Result<PyRef> submit_chmod(Submitter to, NativePath& path, std::uint32_t mode, bool follow_symlinks,
                           std::intptr_t dir_fd) {
    FileCall call = call_of(CallKind::SetMode, follow_flag(follow_symlinks));
    call.mode = mode;
    return on_path(to, call, path, dir_fd);
}

Result<PyRef> submit_utime(Submitter to, NativePath& path, std::int64_t atime_ns, std::int64_t mtime_ns, bool now,
                           bool follow_symlinks, std::intptr_t dir_fd) {
    FileCall call = call_of(CallKind::SetTimes, follow_flag(follow_symlinks) | (now ? platform::kTimesNow : 0));
    call.times[0] = atime_ns;
    call.times[1] = mtime_ns;
    return on_path(to, call, path, dir_fd);
}

Result<PyRef> submit_access(Submitter to, NativePath& path, std::uint32_t mode, bool follow_symlinks,
                            bool effective_ids, std::intptr_t dir_fd) {
    FileCall call =
        call_of(CallKind::Access, follow_flag(follow_symlinks) | (effective_ids ? platform::kEffectiveIds : 0));
    call.mode = mode;
    return on_path(to, call, path, dir_fd);
}

Result<PyRef> submit_realpath(Submitter to, NativePath& path) {
    return submit_call(to, call_of(CallKind::RealPath), &path);
}

Result<PyRef> submit_stat_many(Submitter to, PyRef& paths, bool follow_symlinks) {
    return on_paths(to, CallKind::Stat, follow_flag(follow_symlinks), paths);
}

Result<PyRef> submit_unlink_many(Submitter to, PyRef& paths) { return on_paths(to, CallKind::Unlink, 0, paths); }

Result<PyRef> submit_rmdir_many(Submitter to, PyRef& paths) { return on_paths(to, CallKind::RemoveDir, 0, paths); }

Result<PyRef> submit_listdir_many(Submitter to, PyRef& paths) { return on_paths(to, CallKind::ListDir, 0, paths); }

}  // namespace kiln::iocp
