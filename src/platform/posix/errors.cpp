// Windows error codes and NTSTATUS values: the translation table, the texts,
// and how errno values travel through both.
#include "platform/posix/emu.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

namespace kiln::platform {
namespace emu {
namespace {

constexpr ErrorCode kErrorNoAccess = 998;
constexpr ErrorCode kErrorIoDevice = 1117;

constexpr NtStatus kStatusUnsuccessful = 0xC0000001;
constexpr NtStatus kStatusAccessViolation = 0xC0000005;
constexpr NtStatus kStatusObjectNameNotFound = 0xC0000034;
constexpr NtStatus kStatusObjectNameCollision = 0xC0000035;
constexpr NtStatus kStatusObjectPathNotFound = 0xC000003A;
constexpr NtStatus kStatusSharingViolation = 0xC0000043;
constexpr NtStatus kStatusNameTooLong = 0xC0000106;
constexpr NtStatus kStatusTooManyOpenedFiles = 0xC000011F;
constexpr NtStatus kStatusIoDeviceError = 0xC0000185;

struct StatusMapping {
    NtStatus status;
    ErrorCode error;
};

constexpr std::array kStatusMappings{
    StatusMapping{kStatusSuccess, 0},
    StatusMapping{kStatusPending, kErrorIoPending},
    StatusMapping{kStatusEndOfFile, kErrorHandleEof},
    StatusMapping{kStatusUnsuccessful, kErrorGenFailure},
    StatusMapping{kStatusAccessViolation, kErrorNoAccess},
    StatusMapping{kStatusInvalidHandle, kErrorInvalidHandle},
    StatusMapping{kStatusInvalidParameter, kErrorInvalidParameter},
    StatusMapping{kStatusNoMemory, kErrorNotEnoughMemory},
    StatusMapping{kStatusAccessDenied, kErrorAccessDenied},
    StatusMapping{kStatusObjectNameNotFound, kErrorFileNotFound},
    StatusMapping{kStatusObjectNameCollision, kErrorAlreadyExists},
    StatusMapping{kStatusObjectPathNotFound, kErrorPathNotFound},
    StatusMapping{kStatusSharingViolation, kErrorSharingViolation},
    StatusMapping{kStatusDiskFull, kErrorDiskFull},
    StatusMapping{kStatusNameTooLong, kErrorFilenameExcedRange},
    StatusMapping{kStatusTooManyOpenedFiles, kErrorTooManyOpenFiles},
    StatusMapping{kStatusCancelled, kErrorOperationAborted},
    StatusMapping{kStatusIoDeviceError, kErrorIoDevice},
};

struct ErrorText {
    ErrorCode code;
    const char* text;
};

constexpr std::array kErrorTexts{
    ErrorText{0, "The operation completed successfully."},
    ErrorText{kErrorFileNotFound, "The system cannot find the file specified."},
    ErrorText{kErrorPathNotFound, "The system cannot find the path specified."},
    ErrorText{kErrorTooManyOpenFiles, "The system cannot open the file."},
    ErrorText{kErrorAccessDenied, "Access is denied."},
    ErrorText{kErrorInvalidHandle, "The handle is invalid."},
    ErrorText{kErrorNotEnoughMemory, "Not enough memory resources are available to process this command."},
    ErrorText{kErrorGenFailure, "A device attached to the system is not functioning."},
    ErrorText{kErrorSharingViolation,
              "The process cannot access the file because it is being used by another process."},
    ErrorText{kErrorHandleEof, "Reached the end of the file."},
    ErrorText{kErrorFileExists, "The file exists."},
    ErrorText{kErrorInvalidParameter, "The parameter is incorrect."},
    ErrorText{kErrorDiskFull, "There is not enough space on the disk."},
    ErrorText{kErrorFilenameExcedRange, "The filename or extension is too long."},
    ErrorText{kErrorWaitTimeout, "The wait operation timed out."},
    ErrorText{kErrorMrMidNotFound,
              "The system cannot find message text for message number 0x%1 in the message file for %2."},
    ErrorText{kErrorAbandonedWait0, "ERROR_ABANDONED_WAIT_0"},
    ErrorText{kErrorOperationAborted,
              "The I/O operation has been aborted because of either a thread exit or an application request."},
    ErrorText{kErrorIoPending, "Overlapped I/O operation is in progress."},
    ErrorText{kErrorNoAccess, "Invalid access to memory location."},
    ErrorText{kErrorIoDevice, "The request could not be performed because of an I/O device error."},
    ErrorText{kErrorNotFound, "Element not found."},
};

constexpr bool is_errno_status(NtStatus status) noexcept {
    return ((status & ~kStillHeldFlag) & 0xFFFF0000u) == kErrnoStatus;
}

// strerror_r comes in two shapes, the GNU one returning the text.
[[maybe_unused]] const char* text_of(int result, const char* buffer) { return result == 0 ? buffer : nullptr; }
[[maybe_unused]] const char* text_of(const char* result, const char*) { return result; }

std::string errno_text(int number) {
    char buffer[256] = {};
    const char* text = text_of(::strerror_r(number, buffer, sizeof buffer), buffer);
    return text && *text ? text : "Unknown error " + std::to_string(number);
}

}  // namespace

thread_local ErrorCode t_last_error = 0;

NtStatus status_from_errno(int error) {
    if (error == ECANCELED) return kStatusCancelled;
    return kErrnoStatus | (static_cast<NtStatus>(error) & 0xFFFFu);
}

NtStatus status_from_error(ErrorCode error) {
    if (is_errno_error(error)) return kErrnoStatus | static_cast<NtStatus>(errno_of(error));
    for (const auto& mapping : kStatusMappings) {
        if (mapping.error == error) return mapping.status;
    }
    return kStatusUnsuccessful;
}

}  // namespace emu

using namespace emu;

ErrorCode status_to_error(NtStatus status) {
    if (is_errno_status(status)) return errno_error(static_cast<int>(status & 0xFFFFu));
    for (const auto& mapping : kStatusMappings) {
        if (mapping.status == status) return mapping.error;
    }
    return kErrorMrMidNotFound;
}

ErrorCode last_error() { return t_last_error; }

std::string describe_error(ErrorCode code) {
    if (is_errno_error(code)) return errno_text(errno_of(code));
    for (const auto& entry : kErrorTexts) {
        if (entry.code == code) return entry.text;
    }
    return "Unknown error " + std::to_string(code);
}

}  // namespace kiln::platform
