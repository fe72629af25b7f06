// The Python values of the calls on paths, made from what the worker left in
// the call: an os.stat_result, a path as str, a listing. Built on the
// completion thread, under the interpreter lock it holds for the batch.
#include "iocp/call_data.h"

#include "frame/failure.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace kiln::iocp {
namespace {

using platform::FileCall;
using platform::FileStatus;
using platform::PathChar;
using platform::Timestamp;

// A str from the system's form of a path: os.fsdecode's on POSIX, the
// UTF-16 as it is (lone surrogates kept) on Windows.
PyRef path_text(const PathChar* chars, std::size_t length) {
#ifdef _WIN32
    return created(PyUnicode_FromWideChar(reinterpret_cast<const wchar_t*>(chars), static_cast<Py_ssize_t>(length)));
#else
    return created(PyUnicode_DecodeFSDefaultAndSize(chars, static_cast<Py_ssize_t>(length)));
#endif
}

PyRef text_of(const FileCall& call) {
    return path_text(static_cast<const PathChar*>(call.block), call.block_size / sizeof(PathChar));
}

PyRef signed_int(std::int64_t value) { return created(PyLong_FromLongLong(value)); }
PyRef unsigned_int(std::uint64_t value) { return created(PyLong_FromUnsignedLongLong(value)); }

// As the interpreter's stat: seconds plus nanoseconds as a float, and the
// nanoseconds since 1970 as an int of any size.
PyRef seconds_float(const Timestamp& time) {
    return created(PyFloat_FromDouble(static_cast<double>(time.seconds) + static_cast<double>(time.nanoseconds) * 1e-9));
}

PyRef nanoseconds(const Timestamp& time) {
    std::int64_t scaled = 0;
    std::int64_t total = 0;
    if (!__builtin_mul_overflow(time.seconds, std::int64_t{1000000000}, &scaled) &&
        !__builtin_add_overflow(scaled, static_cast<std::int64_t>(time.nanoseconds), &total)) {
        return signed_int(total);
    }
    PyRef seconds = signed_int(time.seconds);
    PyRef billion = signed_int(1000000000);
    PyRef product = created(PyNumber_Multiply(seconds.get(), billion.get()));
    PyRef rest = unsigned_int(time.nanoseconds);
    return created(PyNumber_Add(product.get(), rest.get()));
}

// A uid or gid of all ones is -1, as the interpreter gives it.
PyRef id_int(std::uint32_t id) { return id == 0xFFFFFFFFu ? signed_int(-1) : unsigned_int(id); }

struct Field {
    const char* name;
    PyRef value;
};

// The fields after the ten of the tuple, in the interpreter's order.
std::vector<Field> named_fields(const FileStatus& status) {
    std::vector<Field> fields;
    fields.push_back({"st_atime", seconds_float(status.access)});
    fields.push_back({"st_mtime", seconds_float(status.modification)});
    fields.push_back({"st_ctime", seconds_float(status.change)});
    fields.push_back({"st_atime_ns", nanoseconds(status.access)});
    fields.push_back({"st_mtime_ns", nanoseconds(status.modification)});
    fields.push_back({"st_ctime_ns", nanoseconds(status.change)});
#ifdef _WIN32
    fields.push_back({"st_birthtime", seconds_float(status.birth)});
    fields.push_back({"st_birthtime_ns", nanoseconds(status.birth)});
    fields.push_back({"st_file_attributes", unsigned_int(status.attributes)});
    fields.push_back({"st_reparse_tag", unsigned_int(status.reparse_tag)});
#else
    fields.push_back({"st_blksize", signed_int(static_cast<std::int64_t>(status.block_size))});
    fields.push_back({"st_blocks", signed_int(static_cast<std::int64_t>(status.blocks))});
    fields.push_back({"st_rdev", unsigned_int(status.rdevice)});
#endif
    return fields;
}

// os.stat_result and how many fields it has, looked up once: the type lives
// as long as the process's interpreter, which is the only one the module
// serves (sub-interpreters are refused).
struct StatType {
    PyObject* type = nullptr;
    long fields = 0;
};

StatType stat_type() {
    static StatType known;
    if (!known.type) {
        PyRef os = created(PyImport_ImportModule("os"));
        PyRef type = created(PyObject_GetAttrString(os.get(), "stat_result"));
        PyRef count = created(PyObject_GetAttrString(type.get(), "n_fields"));
        known.fields = PyLong_AsLong(count.get());
        known.type = type.release();
    }
    return known;
}

// Field by field into a new os.stat_result where the type has exactly these
// fields in this order (POSIX builds of the interpreter); otherwise the ten
// of the tuple and the rest by name, which any layout takes.
PyRef stat_result(const FileStatus& status) {
    std::vector<PyRef> items;
    items.reserve(24);
    items.push_back(unsigned_int(status.mode));
    items.push_back(unsigned_int(status.inode));
    items.push_back(unsigned_int(status.device));
    items.push_back(unsigned_int(status.links));
    items.push_back(id_int(status.uid));
    items.push_back(id_int(status.gid));
    items.push_back(signed_int(status.size));
    items.push_back(signed_int(status.access.seconds));
    items.push_back(signed_int(status.modification.seconds));
    items.push_back(signed_int(status.change.seconds));
    std::vector<Field> fields = named_fields(status);
    StatType type = stat_type();
#ifdef _WIN32
    bool by_position = false;
#else
    bool by_position = type.fields == static_cast<long>(items.size() + fields.size());
#endif
    if (by_position) {
        PyRef result = created(PyStructSequence_New(reinterpret_cast<PyTypeObject*>(type.type)));
        Py_ssize_t index = 0;
        for (PyRef& item : items) {
            PyStructSequence_SetItem(result.get(), index++, item.release());
        }
        for (Field& field : fields) {
            PyStructSequence_SetItem(result.get(), index++, field.value.release());
        }
        return result;
    }
    PyRef named = created(PyDict_New());
    for (Field& field : fields) {
        if (PyDict_SetItemString(named.get(), field.name, field.value.get()) < 0) {
            return created(nullptr);
        }
    }
    PyRef tuple = created(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t index = 0; index < items.size(); ++index) {
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(index), items[index].release());
    }
    PyObject* args[] = {tuple.get(), named.get()};
    return created(PyObject_Vectorcall(type.type, args, 2, nullptr));
}

platform::ErrorCode target_error_of(const platform::DirEntryHeader& header) {
    if (header.target_error == 0) {
        return 0;
    }
#ifdef _WIN32
    return header.target_error;
#else
    return platform::errno_error(header.target_error);
#endif
}

// [(name, type, inode, target, target_error), ...]
PyRef listing(const FileCall& call) {
    PyRef entries = created(PyList_New(0));
    const char* block = static_cast<const char*>(call.block);
    for (std::uint32_t offset = 0; offset + sizeof(platform::DirEntryHeader) <= call.block_size;) {
        platform::DirEntryHeader header{};
        std::memcpy(&header, block + offset, sizeof header);
        // The name after the header is not aligned for PathChar on every build.
        std::basic_string<PathChar> name(header.name_length, PathChar{});
        std::memcpy(name.data(), block + offset + sizeof header, header.name_length * sizeof(PathChar));
        PyRef item = created(PyTuple_New(5));
        PyObject* values[] = {path_text(name.data(), name.size()).release(), unsigned_int(header.type).release(),
                              unsigned_int(header.inode).release(), unsigned_int(header.target).release(),
                              unsigned_int(target_error_of(header)).release()};
        for (Py_ssize_t index = 0; index < 5; ++index) {
            PyTuple_SetItem(item.get(), index, values[index]);
        }
        if (PyList_Append(entries.get(), item.get()) < 0) {
            return created(nullptr);
        }
        offset += platform::dir_entry_size(header.name_length);
    }
    return entries;
}

FileStatus status_of(const FileCall& call) {
    FileStatus status{};
    std::memcpy(&status, call.block, sizeof status);
    return status;
}

}  // namespace

PyRef call_data(FileCall& call, platform::ErrorCode outcome) {
    using platform::CallKind;
    if (outcome != 0) {
        // Which of a copy's paths failed: the first, the second, or neither.
        return call.kind == CallKind::CopyFile ? unsigned_int(call.failed_path) : PyRef::borrow(Py_None);
    }
    bool has_block = call.block != nullptr;
    switch (call.kind) {
        case CallKind::Stat:
        case CallKind::StatFile:
            return has_block && call.block_size == sizeof(FileStatus) ? stat_result(status_of(call))
                                                                      : PyRef::borrow(Py_None);
        case CallKind::ReadLink:
        case CallKind::RealPath: return has_block ? text_of(call) : PyRef::borrow(Py_None);
        case CallKind::ListDir: return listing(call);
        default: return PyRef::borrow(Py_None);
    }
}

}  // namespace kiln::iocp
