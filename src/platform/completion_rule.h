// Whether the system queues a completion packet for an overlapped read or
// write on a handle associated with a port, decided right after the call.
//
// The system queues a packet for every operation that went pending or that
// finished at once with a status of success, information or warning
// severity. A warning is not an error here: a message-mode pipe read into a
// short buffer returns FALSE with ERROR_MORE_DATA, yet its packet (carrying
// STATUS_BUFFER_OVERFLOW) is already on the port. Only an operation that
// finished at once with an error-severity status, or that failed before the
// system took it (the record still holds the STATUS_PENDING that the call
// stores on entry), queues nothing. The error code alone cannot tell these
// apart, since statuses of different severities share codes.
#pragma once

#include "platform/platform.h"

namespace kiln::platform {

// The top two bits of an NTSTATUS: 0 success, 1 information, 2 warning, 3 error.
inline constexpr bool is_error_status(NtStatus status) noexcept { return (status >> 30) == 3; }

// Marks a record before the read or write that starts it. The system stores
// the same status on entry; a call refused before it got that far (or a
// failure the emulation injects) leaves the mark, which packet_follows reads
// as "nothing queued".
inline void mark_unstarted(Overlapped& overlapped) noexcept { overlapped.Internal = kStatusPending; }

// `returned` and `code` are the call's result and the last error read right
// after it. The record is read only when the call neither succeeded nor went
// pending: the operation is then over, so the system writes no more into it,
// and a packet it queued cannot have been reaped yet. Both reapers free
// records only while they hold what the submitting call holds: the Iocp
// completion thread the interpreter lock, ProactorIo's take the owner thread.
inline bool packet_follows(bool returned, ErrorCode code, const Overlapped& overlapped) noexcept {
    if (returned || code == kErrorIoPending) {
        return true;
    }
    // Only the low 32 bits are the status; on 64-bit builds the rest is not
    // necessarily written.
    auto left = static_cast<NtStatus>(overlapped.Internal);
    return left != kStatusPending && !is_error_status(left);
}

}  // namespace kiln::platform
