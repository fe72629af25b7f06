// The `data` of a call's completion tuple.
#pragma once

#include "frame/pyref.h"
#include "platform/platform.h"

namespace kiln::iocp {

// os.stat_result for Stat and StatFile, a str for ReadLink and RealPath, a
// list of (name, type, inode, target, target_error) for ListDir, and for a
// failed CopyFile the path that failed (1, 2, or 3 for the copy itself);
// None otherwise.
PyRef call_data(platform::FileCall& call, platform::ErrorCode outcome);

}  // namespace kiln::iocp
