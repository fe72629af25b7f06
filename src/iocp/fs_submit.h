// The submissions of calls on paths (stat, rename, listing, copying...),
// shared like the others by every class that owns a port. A directory
// descriptor of -1 means none: relative paths start from the working
// directory.
#pragma once

#include "iocp/submit.h"

#include <cstdint>

namespace kiln::iocp {

using platform::NativePath;

Result<PyRef> submit_stat(Submitter to, NativePath& path, bool follow_symlinks, std::intptr_t dir_fd);
Result<PyRef> submit_stat_handle(Submitter to, std::intptr_t handle);
Result<PyRef> submit_rename(Submitter to, NativePath& src, NativePath& dst, bool replace, std::intptr_t src_dir_fd,
                            std::intptr_t dst_dir_fd);
Result<PyRef> submit_unlink(Submitter to, NativePath& path, std::intptr_t dir_fd);
Result<PyRef> submit_mkdir(Submitter to, NativePath& path, std::uint32_t mode, std::intptr_t dir_fd);
Result<PyRef> submit_rmdir(Submitter to, NativePath& path, std::intptr_t dir_fd);
Result<PyRef> submit_symlink(Submitter to, NativePath& target, NativePath& link, bool target_is_directory,
                             std::intptr_t dir_fd);
Result<PyRef> submit_link(Submitter to, NativePath& src, NativePath& dst, bool follow_symlinks,
                          std::intptr_t src_dir_fd, std::intptr_t dst_dir_fd);
Result<PyRef> submit_readlink(Submitter to, NativePath& path, std::intptr_t dir_fd);
Result<PyRef> submit_listdir(Submitter to, NativePath& path);
Result<PyRef> submit_copyfile(Submitter to, NativePath& src, NativePath& dst, bool copy_mode, bool copy_times);
Result<PyRef> submit_chmod(Submitter to, NativePath& path, std::uint32_t mode, bool follow_symlinks,
                           std::intptr_t dir_fd);
Result<PyRef> submit_utime(Submitter to, NativePath& path, std::int64_t atime_ns, std::int64_t mtime_ns, bool now,
                           bool follow_symlinks, std::intptr_t dir_fd);
Result<PyRef> submit_access(Submitter to, NativePath& path, std::uint32_t mode, bool follow_symlinks,
                            bool effective_ids, std::intptr_t dir_fd);
Result<PyRef> submit_realpath(Submitter to, NativePath& path);

// One call on each path of a list of str, started together; the ids of the
// calls run on from the one returned, in the list's order.
Result<PyRef> submit_stat_many(Submitter to, PyRef& paths, bool follow_symlinks);
Result<PyRef> submit_unlink_many(Submitter to, PyRef& paths);
Result<PyRef> submit_rmdir_many(Submitter to, PyRef& paths);
Result<PyRef> submit_listdir_many(Submitter to, PyRef& paths);

}  // namespace kiln::iocp
