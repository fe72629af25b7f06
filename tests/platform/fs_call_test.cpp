// Calls on paths: stat, rename, unlink, directories, links, listing, copying.
// They complete through the port like the other calls, on every engine of
// the emulation and under Wine; where
// Windows means something else by a call, the test says what it expects of
// each.
#include "contract_support.h"
#include "platform/platform.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using namespace contract;

// One call's inputs (its paths owned here) and, once run, its outputs.
struct Call {
    FileCall call{};
    Overlapped overlapped{};
    NativePath path;
    NativePath path2;

    ~Call() { heap_free(call.block); }
};

// "prefix" and the number, built by appending: gcc 12 warns falsely of
// overlapping copies in `"literal" + std::to_string(n)` at -O3 on i686.
std::string numbered(const char* prefix, std::size_t number) {
    std::string name = prefix;
    name += std::to_string(number);
    return name;
}

struct Entry {
    std::uint8_t type;
    std::uint8_t target;
    std::uint64_t inode;
    bool operator==(const Entry&) const = default;
};

class PathCalls : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        use_io_mode(GetParam());
        port_ = create_port();
        ASSERT_NE(port_, nullptr);
    }

    void TearDown() override {
        EXPECT_TRUE(port_is_empty(port_));
        EXPECT_TRUE(close(port_));
        use_io_mode(0);
    }

    // Runs the call to its one packet and returns its error.
    ErrorCode run(Call& one, CallKind kind, const fs::path& path, const fs::path& path2 = {}, std::uint32_t flags = 0,
                  std::uint32_t mode = 0) {
        one.path = native(path);
        one.path2 = native(path2);
        one.call.kind = kind;
        one.call.path = one.path.c_str();
        one.call.path2 = path2.empty() ? nullptr : one.path2.c_str();
        one.call.flags = flags;
        one.call.mode = mode;
        one.call.error = 12345;
        EXPECT_TRUE(start_call(port_, &one.call, &one.overlapped)) << last_error();
        OverlappedEntry entry = expect_packet(port_, &one.overlapped);
        EXPECT_EQ(entry.dwNumberOfBytesTransferred, 0u);
        EXPECT_EQ(static_cast<NtStatus>(one.overlapped.Internal), kStatusSuccess);
        EXPECT_NE(one.call.error, 12345u);
        return one.call.error;
    }

    ErrorCode call(CallKind kind, const fs::path& path, const fs::path& path2 = {}, std::uint32_t flags = 0,
                   std::uint32_t mode = 0) {
        Call one;
        return run(one, kind, path, path2, flags, mode);
    }

    FileStatus status(const fs::path& path, bool follow = true, ErrorCode* error = nullptr) {
        Call one;
        ErrorCode got = run(one, CallKind::Stat, path, {}, follow ? kFollowLinks : 0);
        if (error) *error = got;
        FileStatus status{};
        if (got == 0) {
            EXPECT_EQ(one.call.block_size, sizeof status);
            std::memcpy(&status, one.call.block, sizeof status);
        }
        return status;
    }

    NativePath text(CallKind kind, const fs::path& path, ErrorCode* error = nullptr) {
        Call one;
        ErrorCode got = run(one, kind, path);
        if (error) *error = got;
        if (got != 0) return {};
        const auto* chars = static_cast<const PathChar*>(one.call.block);
        return NativePath(chars, one.call.block_size / sizeof(PathChar));
    }

    std::map<NativePath, Entry> listing(const fs::path& path, ErrorCode* error = nullptr) {
        Call one;
        ErrorCode got = run(one, CallKind::ListDir, path);
        if (error) *error = got;
        std::map<NativePath, Entry> entries;
        const char* at = static_cast<const char*>(one.call.block);
        for (std::uint32_t offset = 0; got == 0 && offset < one.call.block_size;) {
            DirEntryHeader header{};
            std::memcpy(&header, at + offset, sizeof header);
            NativePath name(header.name_length, PathChar{});
            std::memcpy(name.data(), at + offset + sizeof header, header.name_length * sizeof(PathChar));
            EXPECT_EQ(entries.count(name), 0u);
            entries[name] = {header.type, header.target, header.inode};
            offset += dir_entry_size(header.name_length);
        }
        return entries;
    }

    // Windows may refuse links to an unprivileged user without developer
    // mode; Wine reports success and makes none.
    bool link_made(const fs::path& target, const fs::path& link, std::uint32_t flags = 0) {
        ErrorCode error = call(CallKind::Symlink, target, link, flags);
        if (error == 1314) return false;  // ERROR_PRIVILEGE_NOT_HELD
        EXPECT_EQ(error, 0u);
        std::error_code ignored;
        bool made = error == 0 && fs::is_symlink(fs::symlink_status(link, ignored));
        EXPECT_TRUE(made || kUnderWine) << link;
        return made;
    }

    ScratchDir dir_;
    Handle port_ = nullptr;
};

TEST_P(PathCalls, StatTellsSizeKindAndTimes) {
    put_file(dir_ / "file", "0123456789");
    fs::create_directory(dir_ / "folder");
    FileStatus file = status(dir_ / "file");
    EXPECT_EQ(file.size, 10);
    EXPECT_EQ(file.mode & 0170000, 0100000u);
    EXPECT_EQ(file.links, 1u);
    EXPECT_NE(file.inode, 0u);
    FileStatus folder = status(dir_ / "folder");
    EXPECT_EQ(folder.mode & 0170000, 0040000u);
    EXPECT_EQ(folder.device, file.device);
    EXPECT_NE(folder.inode, file.inode);
    // The modification time is the file system's, within a minute of ours.
    auto written = fs::last_write_time(dir_ / "file");
    auto since_epoch = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::file_clock::to_sys(written).time_since_epoch())
                           .count();
    EXPECT_NEAR(static_cast<double>(file.modification.seconds), static_cast<double>(since_epoch), 60.0);
    EXPECT_LT(file.modification.nanoseconds, 1000000000u);
}

TEST_P(PathCalls, StatFailuresCarryTheSystemsError) {
    put_file(dir_ / "file", "x");
    ErrorCode error = 0;
    status(dir_ / "missing", true, &error);
    EXPECT_EQ(error, system_error(kErrorFileNotFound, ENOENT));
    status(dir_ / "no" / "such", true, &error);
    EXPECT_EQ(error, system_error(kErrorPathNotFound, ENOENT));
    status(dir_ / "file" / "child", true, &error);
    EXPECT_EQ(error, system_error(kErrorPathNotFound, ENOTDIR));
}

TEST_P(PathCalls, StatOfAnOpenFileGoesByItsHandle) {
    Handle file = open(dir_ / "open.bin", kReadWrite, kCreateAlways);
    ASSERT_NE(file, kInvalidHandle);
    put_file(dir_ / "other", "twelve bytes");
    Call one;
    one.call.kind = CallKind::StatFile;
    one.call.file = file;
    ASSERT_TRUE(start_call(port_, &one.call, &one.overlapped));
    expect_packet(port_, &one.overlapped);
    ASSERT_EQ(one.call.error, 0u);
    FileStatus by_handle{};
    std::memcpy(&by_handle, one.call.block, sizeof by_handle);
    EXPECT_EQ(by_handle.size, 0);
    EXPECT_EQ(by_handle.inode, status(dir_ / "open.bin").inode);
    EXPECT_TRUE(close(file));

    Call closed;
    closed.call.kind = CallKind::StatFile;
    closed.call.file = file;
    ASSERT_TRUE(start_call(port_, &closed.call, &closed.overlapped));
    expect_packet(port_, &closed.overlapped);
    EXPECT_EQ(closed.call.error, kErrorInvalidHandle);
    EXPECT_EQ(closed.call.block, nullptr);
}

TEST_P(PathCalls, DirectoriesAreMadeAndRemoved) {
    EXPECT_EQ(call(CallKind::MakeDir, dir_ / "made", {}, 0, 0755), 0u);
    EXPECT_TRUE(fs::is_directory(dir_ / "made"));
    EXPECT_EQ(call(CallKind::MakeDir, dir_ / "made", {}, 0, 0755), system_error(kErrorAlreadyExists, EEXIST));
    EXPECT_EQ(call(CallKind::MakeDir, dir_ / "no" / "parent", {}, 0, 0755),
              system_error(kErrorPathNotFound, ENOENT));
    put_file(dir_ / "made" / "inside", "x");
    EXPECT_EQ(call(CallKind::RemoveDir, dir_ / "made"), system_error(145, ENOTEMPTY));  // ERROR_DIR_NOT_EMPTY
    EXPECT_EQ(call(CallKind::Unlink, dir_ / "made" / "inside"), 0u);
    EXPECT_EQ(call(CallKind::RemoveDir, dir_ / "made"), 0u);
    EXPECT_FALSE(fs::exists(dir_ / "made"));
    EXPECT_EQ(call(CallKind::Unlink, dir_ / "made"), system_error(kErrorFileNotFound, ENOENT));
}

TEST_P(PathCalls, RenameAndReplace) {
    put_file(dir_ / "a", "first");
    put_file(dir_ / "b", "second");
    // POSIX renames over an existing file either way; Windows only when asked to.
    ErrorCode plain = call(CallKind::Rename, dir_ / "a", dir_ / "b");
#ifdef _WIN32
    EXPECT_EQ(plain, kErrorAlreadyExists);
    EXPECT_EQ(call(CallKind::Rename, dir_ / "a", dir_ / "b", kReplace), 0u);
#else
    EXPECT_EQ(plain, 0u);
#endif
    EXPECT_FALSE(fs::exists(dir_ / "a"));
    EXPECT_EQ(fs::file_size(dir_ / "b"), 5u);
    EXPECT_EQ(call(CallKind::Rename, dir_ / "missing", dir_ / "c", kReplace),
              system_error(kErrorFileNotFound, ENOENT));
}

TEST_P(PathCalls, HardLinksShareTheFile) {
    put_file(dir_ / "original", "shared");
    EXPECT_EQ(call(CallKind::Link, dir_ / "original", dir_ / "second", kFollowLinks), 0u);
    EXPECT_EQ(status(dir_ / "original").links, 2u);
    EXPECT_EQ(status(dir_ / "second").inode, status(dir_ / "original").inode);
    EXPECT_EQ(call(CallKind::Link, dir_ / "original", dir_ / "second"), system_error(kErrorAlreadyExists, EEXIST));
}

TEST_P(PathCalls, SymbolicLinksAreReadFollowedAndNot) {
    put_file(dir_ / "target", "0123");
    if (!link_made("target", dir_ / "link")) GTEST_SKIP() << "no symbolic links here (Wine, or no privilege)";
    ASSERT_TRUE(link_made("nowhere", dir_ / "broken"));
    EXPECT_EQ(text(CallKind::ReadLink, dir_ / "link"), native("target"));
    EXPECT_EQ(status(dir_ / "link", true).size, 4);
    EXPECT_EQ(status(dir_ / "link", false).mode & 0170000, 0120000u);
    ErrorCode error = 0;
    status(dir_ / "broken", true, &error);
    EXPECT_EQ(error, system_error(kErrorFileNotFound, ENOENT));
    EXPECT_EQ(status(dir_ / "broken", false, &error).mode & 0170000, 0120000u);
    EXPECT_EQ(error, 0u);
    text(CallKind::ReadLink, dir_ / "target", &error);
    EXPECT_EQ(error, system_error(4390, EINVAL));  // ERROR_NOT_A_REPARSE_POINT
    // Removing a link leaves its target.
    EXPECT_EQ(call(CallKind::Unlink, dir_ / "link"), 0u);
    EXPECT_TRUE(fs::exists(dir_ / "target"));
}

TEST_P(PathCalls, AListingNamesEveryEntryWithItsKind) {
    put_file(dir_ / "file", "x");
    fs::create_directory(dir_ / "folder");
    bool links = link_made("folder", dir_ / "to-folder", kTargetIsDirectory) && link_made("gone", dir_ / "dangling");
    ErrorCode error = 0;
    auto entries = listing(dir_.path(), &error);
    ASSERT_EQ(error, 0u);
    ASSERT_EQ(entries.size(), links ? 4u : 2u);
    EXPECT_EQ(entries[native("file")].type, kEntryFile);
    EXPECT_EQ(entries[native("folder")].type, kEntryDirectory);
    if (links) {
        EXPECT_EQ(entries[native("to-folder")].type, kEntryLink);
        EXPECT_EQ(entries[native("to-folder")].target, kEntryDirectory);
        EXPECT_EQ(entries[native("dangling")].type, kEntryLink);
        EXPECT_EQ(entries[native("dangling")].target, kEntryNone);
    }
#ifndef _WIN32
    EXPECT_EQ(entries[native("file")].inode, status(dir_ / "file").inode);
#endif
    EXPECT_TRUE(listing(dir_ / "folder", &error).empty());
    EXPECT_EQ(error, 0u);
    listing(dir_ / "missing", &error);
    EXPECT_EQ(error, system_error(kErrorPathNotFound, ENOENT));
    listing(dir_ / "file", &error);
    // Wine reports ERROR_INVALID_NAME here.
    if (!kUnderWine) {
        EXPECT_EQ(error, system_error(267, ENOTDIR));  // ERROR_DIRECTORY
    }
    EXPECT_NE(error, 0u);
}

TEST_P(PathCalls, ALargeListingIsComplete) {
    for (std::size_t index = 0; index < 1500; ++index) put_file(dir_ / numbered("entry-", index), "");
    auto entries = listing(dir_.path());
    EXPECT_EQ(entries.size(), 1500u);
    EXPECT_EQ(entries.count(native("entry-1499")), 1u);
}

TEST_P(PathCalls, CopyMakesOrReplacesTheTarget) {
    std::string contents(3 << 20, '\0');
    for (std::size_t index = 0; index < contents.size(); ++index) contents[index] = static_cast<char>(index * 7);
    put_file(dir_ / "source", contents);
    put_file(dir_ / "target", "something longer than nothing");
    Call one;
    EXPECT_EQ(run(one, CallKind::CopyFile, dir_ / "source", dir_ / "target", kCopyMode | kCopyTimes), 0u);
    EXPECT_EQ(one.call.size, contents.size());
    std::ifstream copied(dir_ / "target", std::ios::binary);
    std::string back((std::istreambuf_iterator<char>(copied)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(back == contents);
    EXPECT_EQ(status(dir_ / "target").modification.seconds, status(dir_ / "source").modification.seconds);
    EXPECT_EQ(status(dir_ / "target").modification.nanoseconds, status(dir_ / "source").modification.nanoseconds);
}

TEST_P(PathCalls, CopyFailuresNameTheSide) {
    put_file(dir_ / "source", "x");
    fs::create_directory(dir_ / "folder");
    struct Case {
        fs::path from;
        fs::path to;
        ErrorCode error;
        std::uint32_t side;
    };
    const Case cases[] = {
        {dir_ / "missing", dir_ / "copy", system_error(kErrorFileNotFound, ENOENT), 1},
        {dir_ / "folder", dir_ / "copy", system_error(kErrorAccessDenied, EISDIR), 1},
        {dir_ / "source", dir_ / "no" / "copy", system_error(kErrorPathNotFound, ENOENT), 2},
        {dir_ / "source", dir_ / "folder", system_error(kErrorAccessDenied, EISDIR), 2},
    };
    for (const Case& c : cases) {
        Call one;
        EXPECT_EQ(run(one, CallKind::CopyFile, c.from, c.to), c.error) << c.from << " " << c.to;
        EXPECT_EQ(one.call.failed_path, c.side) << c.from << " " << c.to;
    }
}

TEST_P(PathCalls, ModeTimesAndAccess) {
    put_file(dir_ / "file", "x");
    EXPECT_EQ(call(CallKind::Access, dir_ / "file", {}, kFollowLinks, kMayRead | kMayWrite), 0u);
    EXPECT_EQ(call(CallKind::SetMode, dir_ / "file", {}, kFollowLinks, 0444), 0u);
#ifdef _WIN32
    EXPECT_EQ(status(dir_ / "file").attributes & FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(call(CallKind::Access, dir_ / "file", {}, kFollowLinks, kMayWrite), kErrorAccessDenied);
#else
    EXPECT_EQ(status(dir_ / "file").mode & 07777, 0444u);
#endif
    EXPECT_EQ(status(dir_ / "file").mode & 0222, 0u);
    EXPECT_EQ(call(CallKind::SetMode, dir_ / "file", {}, kFollowLinks, 0644), 0u);
    EXPECT_NE(status(dir_ / "file").mode & 0200, 0u);
    EXPECT_EQ(call(CallKind::Access, dir_ / "missing", {}, kFollowLinks, 0), system_error(kErrorFileNotFound, ENOENT));

    Call times;
    times.call.times[0] = 1000000000LL * 86400 * 365 + 123456700;  // 1971, in 100 ns steps for Windows
    times.call.times[1] = 1500000000LL * 1000000000 + 100;
    EXPECT_EQ(run(times, CallKind::SetTimes, dir_ / "file", {}, kFollowLinks), 0u);
    FileStatus after = status(dir_ / "file");
    EXPECT_EQ(after.access.seconds, 86400 * 365);
    EXPECT_EQ(after.access.nanoseconds, 123456700u);
    EXPECT_EQ(after.modification.seconds, 1500000000);
    EXPECT_EQ(after.modification.nanoseconds, 100u);
    EXPECT_EQ(call(CallKind::SetTimes, dir_ / "file", {}, kFollowLinks | kTimesNow), 0u);
    EXPECT_GT(status(dir_ / "file").modification.seconds, 1700000000);
}

TEST_P(PathCalls, RealPathResolvesLinksAndDots) {
    fs::create_directories(dir_ / "a" / "b");
    put_file(dir_ / "a" / "b" / "file", "x");
    NativePath expected = text(CallKind::RealPath, dir_ / "a" / "b" / "file");
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(text(CallKind::RealPath, dir_ / "a" / "b" / ".." / "b" / "file"), expected);
    if (link_made(native("a"), dir_ / "to-a", kTargetIsDirectory)) {
        EXPECT_EQ(text(CallKind::RealPath, dir_ / "to-a" / "b" / "file"), expected);
    }
    ErrorCode error = 0;
    text(CallKind::RealPath, dir_ / "missing", &error);
    EXPECT_EQ(error, system_error(kErrorFileNotFound, ENOENT));
}

TEST_P(PathCalls, ManyCallsInFlightEachCompleteOnce) {
    for (std::size_t index = 0; index < 50; ++index) put_file(dir_ / numbered("f", index), std::string(index, 'x'));
    std::vector<Call> calls(100);
    std::vector<NativePath> paths;
    for (std::size_t index = 0; index < calls.size(); ++index) {
        Call& one = calls[index];
        one.path = native(dir_ / numbered("f", index % 50));
        one.call.kind = index % 2 ? CallKind::Stat : CallKind::ListDir;
        if (one.call.kind == CallKind::ListDir) one.path = native(dir_.path());
        one.call.path = one.path.c_str();
        one.call.flags = kFollowLinks;
        ASSERT_TRUE(start_call(port_, &one.call, &one.overlapped)) << last_error();
    }
    std::vector<bool> seen(calls.size(), false);
    for (std::size_t received = 0; received < calls.size();) {
        OverlappedEntry entries[kMaxBatch];
        std::uint32_t removed = 0;
        ASSERT_TRUE(wait(port_, entries, kMaxBatch, &removed, 10000)) << last_error();
        for (std::uint32_t index = 0; index < removed; ++index, ++received) {
            auto named = std::find_if(calls.begin(), calls.end(),
                                      [&](const Call& one) { return &one.overlapped == entries[index].lpOverlapped; });
            ASSERT_NE(named, calls.end());
            EXPECT_FALSE(seen[named - calls.begin()]);
            seen[named - calls.begin()] = true;
        }
    }
    for (std::size_t index = 0; index < calls.size(); ++index) {
        const FileCall& done = calls[index].call;
        ASSERT_EQ(done.error, 0u) << index;
        if (done.kind == CallKind::Stat) {
            FileStatus status{};
            std::memcpy(&status, done.block, sizeof status);
            EXPECT_EQ(status.size, static_cast<std::int64_t>(index % 50));
        } else {
            EXPECT_GT(done.block_size, 50 * sizeof(DirEntryHeader));
        }
    }
}

TEST_P(PathCalls, CallsStartedTogetherEachCompleteOnce) {
    for (std::size_t index = 0; index < 40; ++index) put_file(dir_ / numbered("f", index), std::string(index, 'x'));
    std::vector<Call> calls(40);
    std::vector<FileCall*> started;
    std::vector<Overlapped*> overlapped;
    for (std::size_t index = 0; index < calls.size(); ++index) {
        calls[index].path = native(dir_ / numbered("f", index));
        calls[index].call.kind = CallKind::Stat;
        calls[index].call.path = calls[index].path.c_str();
        started.push_back(&calls[index].call);
        overlapped.push_back(&calls[index].overlapped);
    }
    ASSERT_EQ(start_calls(port_, started.data(), overlapped.data(), 40), 40u);
    std::vector<int> seen(calls.size(), 0);
    for (std::size_t received = 0; received < calls.size();) {
        OverlappedEntry entries[kMaxBatch];
        std::uint32_t removed = 0;
        ASSERT_TRUE(wait(port_, entries, kMaxBatch, &removed, 10000)) << last_error();
        for (std::uint32_t index = 0; index < removed; ++index, ++received) {
            auto named = std::find_if(calls.begin(), calls.end(),
                                      [&](const Call& one) { return &one.overlapped == entries[index].lpOverlapped; });
            ASSERT_NE(named, calls.end());
            ++seen[named - calls.begin()];
        }
    }
    for (std::size_t index = 0; index < calls.size(); ++index) {
        EXPECT_EQ(seen[index], 1) << index;
        ASSERT_EQ(calls[index].call.error, 0u);
        FileStatus status{};
        std::memcpy(&status, calls[index].call.block, sizeof status);
        EXPECT_EQ(status.size, static_cast<std::int64_t>(index));
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, PathCalls, ::testing::ValuesIn(kEngineModes),
                         [](const auto& info) { return mode_name(info.param); });

#ifndef _WIN32
// A relative path starts from the descriptor the caller names, as with the *at calls.
TEST(PathCallsInDirectory, RelativePathsStartFromTheGivenDirectory) {
    for (int mode : kEngineModes) {
        use_io_mode(mode);
        ScratchDir dir;
        fs::create_directory(dir / "base");
        put_file(dir / "base" / "inside", "abc");
        int base = ::open((dir / "base").c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(base, 0);
        Handle port = create_port();
        FileCall call{};
        call.kind = CallKind::Rename;
        NativePath from = "inside";
        NativePath to = "renamed";
        call.path = from.c_str();
        call.path2 = to.c_str();
        call.directory = base;
        call.directory2 = base;
        call.flags = kInDirectory | kInDirectory2;
        Overlapped overlapped{};
        ASSERT_TRUE(start_call(port, &call, &overlapped));
        expect_packet(port, &overlapped);
        EXPECT_EQ(call.error, 0u) << mode_name(mode);
        EXPECT_TRUE(fs::exists(dir / "base" / "renamed")) << mode_name(mode);
        ::close(base);
        EXPECT_TRUE(close(port));
    }
    use_io_mode(0);
}

// A call that cannot start stops the rest: they are left to the caller,
// and only those before it complete.
TEST(PathCallsTogether, TheFirstRefusedStopsTheRest) {
    for (int mode : kEngineModes) {
        use_io_mode(mode);
        ScratchDir dir;
        Handle port = create_port();
        NativePath path = native(dir.path());
        FileCall calls[3]{};
        Overlapped overlapped[3]{};
        for (FileCall& call : calls) {
            call.kind = CallKind::ListDir;
            call.path = path.c_str();
        }
        calls[1].kind = static_cast<CallKind>(99);
        FileCall* started[] = {&calls[0], &calls[1], &calls[2]};
        Overlapped* records[] = {&overlapped[0], &overlapped[1], &overlapped[2]};
        EXPECT_EQ(start_calls(port, started, records, 3), 1u) << mode_name(mode);
        EXPECT_EQ(last_error(), kErrorInvalidParameter);
        expect_packet(port, &overlapped[0]);
        EXPECT_EQ(calls[0].error, 0u);
        heap_free(calls[0].block);
        EXPECT_TRUE(port_is_empty(port));
        EXPECT_TRUE(close(port));
    }
    use_io_mode(0);
}

// A status tells every field stat(2) tells, on every engine.
TEST(PathCallsStatus, TellsWhatStatTells) {
    ScratchDir dir;
    put_file(dir / "file", "0123456789");
    struct stat info {};
    ASSERT_EQ(::stat((dir / "file").c_str(), &info), 0);
    for (int mode : kEngineModes) {
        use_io_mode(mode);
        Handle port = create_port();
        NativePath path = native(dir / "file");
        FileCall call{};
        call.kind = CallKind::Stat;
        call.path = path.c_str();
        call.flags = kFollowLinks;
        Overlapped overlapped{};
        ASSERT_TRUE(start_call(port, &call, &overlapped));
        expect_packet(port, &overlapped);
        ASSERT_EQ(call.error, 0u);
        FileStatus status{};
        std::memcpy(&status, call.block, sizeof status);
        heap_free(call.block);
        EXPECT_TRUE(close(port));
        EXPECT_EQ(status.device, info.st_dev) << mode_name(mode);
        EXPECT_EQ(status.inode, info.st_ino);
        EXPECT_EQ(status.mode, info.st_mode);
        EXPECT_EQ(status.uid, info.st_uid);
        EXPECT_EQ(status.size, info.st_size);
        EXPECT_EQ(status.blocks, static_cast<std::uint64_t>(info.st_blocks));
        EXPECT_EQ(status.block_size, static_cast<std::uint64_t>(info.st_blksize));
        EXPECT_EQ(status.modification.seconds, info.st_mtim.tv_sec);
        EXPECT_EQ(status.modification.nanoseconds, static_cast<std::uint32_t>(info.st_mtim.tv_nsec));
        EXPECT_EQ(status.change.nanoseconds, static_cast<std::uint32_t>(info.st_ctim.tv_nsec));
    }
    use_io_mode(0);
}
#endif

}  // namespace
