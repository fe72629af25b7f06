// Files: CreateFileW over open(2), and a file's association with a port.
#include "platform/posix/emu.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kiln::platform {
namespace emu {

namespace {
std::atomic<std::uint64_t> g_next_file_id{1};
}  // namespace

Descriptor::~Descriptor() { ::close(fd_); }

File::File(int fd, Access access, Shape shape)
    : Object(kKind),
      descriptor_(std::make_shared<Descriptor>(fd)),
      id_(g_next_file_id.fetch_add(1)),
      access_(access),
      shape_(shape) {}

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

struct OpenRequest {
    int flags;
    Access access;
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

// GENERIC_WRITE holds FILE_APPEND_DATA too: with it, writes go where their
// offsets say. Part of the append-only mask alone names nothing we grant.
std::optional<Access> access_of(std::uint32_t access) {
    constexpr std::uint32_t kKnown = kGenericRead | kGenericWrite | kAppendData;
    std::uint32_t append_bits = access & kAppendData;
    if ((access & ~kKnown) || (append_bits && append_bits != kAppendData)) return std::nullopt;
    bool write = access & kGenericWrite;
    Access granted{(access & kGenericRead) != 0, write, append_bits && !write};
    if (!granted.read && !granted.write && !granted.append) return std::nullopt;
    return granted;
}

// Asks the system for no access the caller did not ask for: a file the user
// may write but not read opens for writing.
std::optional<OpenRequest> open_request(std::uint32_t access, std::uint32_t disposition) {
    auto creation = creation_flags(disposition);
    auto granted = access_of(access);
    if (!creation || !granted) return std::nullopt;
    // Windows documents that TRUNCATE_EXISTING needs GENERIC_WRITE.
    if (disposition == kTruncateExisting && !granted->write) return std::nullopt;
    bool writes = granted->write || granted->append;
    // CREATE_ALWAYS truncates whatever the access; truncating by open needs a
    // writable descriptor, while the handle still refuses writes.
    bool truncates = *creation & O_TRUNC;
    int mode = granted->read && writes ? O_RDWR : writes ? O_WRONLY : truncates ? O_RDWR : O_RDONLY;
    int flags = *creation | mode | O_CLOEXEC | (granted->append ? O_APPEND : 0);
    return OpenRequest{flags, *granted};
}

// CreateFileW never blocks, so neither may this: a FIFO with no peer would
// hold the caller in open(2). The flag goes again at once, as reads through
// io_uring must wait for data, not fail with EAGAIN.
int open_descriptor(const char* path, int flags, mode_t permissions) {
    int fd;
    do {
        fd = ::open(path, flags | O_NONBLOCK, permissions);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        int status = ::fcntl(fd, F_GETFL);
        if (status >= 0) ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    }
    return fd;
}

Shape shape_of(const struct stat& info) {
    if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) return Shape::Fifo;
    return S_ISCHR(info.st_mode) ? Shape::Device : Shape::Regular;
}

}  // namespace

Opened open_new_file(const PathChar* path, std::uint32_t access, std::uint32_t disposition,
                     std::uint32_t permissions) {
    if (injected(Operation::CreateFile)) return {nullptr, t_last_error};
    auto request = open_request(access, disposition);
    if (!request || !path) return {nullptr, kErrorInvalidParameter};
    int fd = open_descriptor(path, request->flags, static_cast<mode_t>(permissions));
    if (fd < 0) return {nullptr, errno_error(errno)};
    struct stat info {};
    int error = ::fstat(fd, &info) == 0 ? 0 : errno;
    // What the built-in open raises for a directory, which open(2) lets a
    // reader open.
    if (!error && S_ISDIR(info.st_mode)) error = EISDIR;
    if (error) {
        ::close(fd);
        return {nullptr, errno_error(error)};
    }
    return {std::make_shared<File>(fd, request->access, shape_of(info)), 0};
}

}  // namespace emu

using namespace emu;

Handle open_file(const PathChar* path, std::uint32_t access, std::uint32_t disposition) {
    Opened opened = open_new_file(path, access, disposition);
    if (!opened.file) return fail(opened.error, kInvalidHandle);
    return insert_handle(std::move(opened.file));
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
