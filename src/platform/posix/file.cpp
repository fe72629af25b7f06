// Files: CreateFileW over open(2), and a file's association with a port.
#include "platform/posix/emu.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace kiln::platform {
namespace emu {

namespace {
std::atomic<std::uint64_t> g_next_file_id{1};
}  // namespace

Descriptor::~Descriptor() { ::close(fd_); }

File::File(int fd, bool readable, bool writable)
    : Object(kKind),
      descriptor_(std::make_shared<Descriptor>(fd)),
      id_(g_next_file_id.fetch_add(1)),
      readable_(readable),
      writable_(writable) {}

bool File::attach(std::shared_ptr<Port> port) {
    std::lock_guard lock(mutex_);
    if (port_) return false;
    port_ = std::move(port);
    return true;
}

std::shared_ptr<Port> File::port() {
    std::lock_guard lock(mutex_);
    return port_;
}

void File::notify(const Packet& packet) {
    if (auto port = this->port()) port->push(packet);
}

namespace {

void append_utf8(std::string& out, char32_t code) {
    auto put = [&out](char32_t value) { out.push_back(static_cast<char>(value)); };
    if (code < 0x80) {
        put(code);
        return;
    }
    int trailing = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
    constexpr char32_t kLeads[] = {0, 0xC0, 0xE0, 0xF0};
    put(kLeads[trailing] | (code >> (6 * trailing)));
    for (int shift = 6 * (trailing - 1); shift >= 0; shift -= 6) put(0x80 | ((code >> shift) & 0x3F));
}

// Stops at the first 0 unit. A lone surrogate is legal in a Windows name; it
// keeps its three-byte form so that distinct names stay distinct.
std::string utf8_from_utf16(const char16_t* path) {
    std::string out;
    for (const char16_t* unit = path; unit && *unit; ++unit) {
        char32_t code = *unit;
        bool high = code >= 0xD800 && code <= 0xDBFF;
        if (high && unit[1] >= 0xDC00 && unit[1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (unit[1] - 0xDC00);
            ++unit;
        }
        append_utf8(out, code);
    }
    return out;
}

struct OpenRequest {
    int flags;
    bool readable;
    bool writable;
};

std::optional<int> creation_flags(std::uint32_t disposition) {
    switch (disposition) {
        case kCreateNew: return O_CREAT | O_EXCL;
        case kCreateAlways: return O_CREAT | O_TRUNC;
        case kOpenExisting: return 0;
        case kOpenAlways: return O_CREAT;
        case kTruncateExisting: return O_TRUNC;
        default: return std::nullopt;
    }
}

std::optional<OpenRequest> open_request(std::uint32_t access, std::uint32_t disposition) {
    auto creation = creation_flags(disposition);
    bool readable = access & kGenericRead;
    bool writable = access & kGenericWrite;
    if (!creation || (access & ~(kGenericRead | kGenericWrite)) || !(readable || writable)) return std::nullopt;
    // Windows documents that TRUNCATE_EXISTING needs GENERIC_WRITE.
    if (disposition == kTruncateExisting && !writable) return std::nullopt;
    // CREATE_ALWAYS truncates whatever the access; ftruncate-by-open needs a
    // writable descriptor, while the handle still refuses writes.
    bool truncates = *creation & O_TRUNC;
    int mode = !writable ? (truncates ? O_RDWR : O_RDONLY) : (readable ? O_RDWR : O_WRONLY);
    return OpenRequest{*creation | mode | O_CLOEXEC, readable, writable};
}

bool is_directory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string parent_of(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

ErrorCode open_error(const std::string& path, int error) {
    if (error == ENOENT && !is_directory(parent_of(path))) return kErrorPathNotFound;
    // The open call reports a name collision as "file exists", unlike the
    // general status translation.
    if (error == EEXIST) return kErrorFileExists;
    // A FIFO opened for writing with nobody reading: like a pipe name with no
    // server behind it.
    if (error == ENXIO) return kErrorFileNotFound;
    return status_to_error(status_from_errno(error));
}

// CreateFileW never blocks, so neither may this: a FIFO with no peer would
// hold the caller in open(2). The flag goes again at once, as reads through
// io_uring must wait for data, not fail with EAGAIN.
int open_descriptor(const std::string& path, int flags) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_NONBLOCK, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        int status = ::fcntl(fd, F_GETFL);
        if (status >= 0) ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    }
    return fd;
}

bool descriptor_is_directory(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace
}  // namespace emu

using namespace emu;

Handle open_file(const char16_t* path, std::uint32_t access, std::uint32_t disposition) {
    if (injected(Operation::CreateFile)) return kInvalidHandle;
    auto request = open_request(access, disposition);
    if (!request) return fail(kErrorInvalidParameter, kInvalidHandle);
    std::string name = utf8_from_utf16(path);
    if (name.empty()) return fail(kErrorPathNotFound, kInvalidHandle);
    int fd = open_descriptor(name, request->flags);
    if (fd < 0) return fail(open_error(name, errno), kInvalidHandle);
    if (descriptor_is_directory(fd)) {
        ::close(fd);
        return fail(kErrorAccessDenied, kInvalidHandle);
    }
    return insert_handle(std::make_shared<File>(fd, request->readable, request->writable));
}

// No existing port: the system makes one for the file and hands it back.
static Handle associate_with_new_port(std::shared_ptr<File> file) {
    auto port = make_port();
    if (!file->attach(port)) return fail<Handle>(kErrorInvalidParameter, nullptr);
    return insert_handle(std::move(port));
}

Handle associate(Handle file, Handle port) {
    if (injected(Operation::Associate)) return nullptr;
    auto file_object = find_object<File>(file);
    if (!file_object) return fail<Handle>(kErrorInvalidHandle, nullptr);
    if (!port) return associate_with_new_port(std::move(file_object));
    auto port_object = find_object<Port>(port);
    if (!port_object) return fail<Handle>(kErrorInvalidHandle, nullptr);
    if (!file_object->attach(std::move(port_object))) return fail<Handle>(kErrorInvalidParameter, nullptr);
    return port;
}

}  // namespace kiln::platform
