// What the contract tests share: the I/O mode switch, Wine detection, paths
// as the platform takes them, and collecting an operation's packet.
#pragma once

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <string_view>

#ifndef _WIN32
#include "platform/emulation.h"
#endif

namespace contract {

namespace fs = std::filesystem;
using namespace kiln::platform;

// The path as the platform's calls take it.
inline NativePath native(const fs::path& path) {
#ifdef _WIN32
    return path.u16string();
#else
    return path.string();
#endif
}

// A failure the system itself reported: its Windows code on Windows, its
// errno value on POSIX, which the emulation carries through unchanged.
inline ErrorCode system_error([[maybe_unused]] ErrorCode windows, [[maybe_unused]] int posix) {
#ifdef _WIN32
    return windows;
#else
    return errno_error(posix);
#endif
}

// The emulation runs them on each engine; Windows has only its own.
#ifdef _WIN32
inline constexpr int kEngineModes[] = {3};
#else
inline constexpr int kEngineModes[] = {0, 1, 3, 4};
#endif

inline std::string mode_name(int mode) {
    constexpr const char* kNames[] = {"Inline", "Deferred", "Held", "System", "Pool"};
    return kNames[mode];
}

inline constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
inline constexpr std::uint32_t kRead = kGenericRead;
inline constexpr std::uint32_t kWrite = kGenericWrite;
inline constexpr std::uint32_t kReadWrite = kGenericRead | kGenericWrite;

inline void use_io_mode([[maybe_unused]] int mode) {
#ifndef _WIN32
    kiln_emu_set_io_mode(mode);
#endif
}

// The Windows builds of these tests run under Wine, which differs from
// Windows in a few places the tests reach. Those assertions state what
// Windows does and are left out under Wine alone. Decided once, before any
// test runs, because the probe itself changes the thread's last error.
inline bool detect_wine() {
#ifdef _WIN32
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
#else
    return false;
#endif
}

inline const bool kUnderWine = detect_wine();

inline Handle open(const fs::path& path, std::uint32_t access, std::uint32_t disposition) {
    return open_file(native(path).c_str(), access, disposition);
}

inline void put_file(const fs::path& path, std::string_view content) {
    std::ofstream(path, std::ios::binary) << content;
}

inline bool port_is_empty(Handle port) {
    OverlappedEntry entry{};
    std::uint32_t removed = 1;
    return !wait(port, &entry, 1, &removed, 0) && last_error() == kWaitTimeout && removed == 0;
}

// Takes the one packet an operation queued, checking that it names the
// operation with key 0.
inline OverlappedEntry expect_packet(Handle port, const Overlapped* overlapped) {
    OverlappedEntry entry{};
    std::uint32_t removed = 0;
    EXPECT_TRUE(wait(port, &entry, 1, &removed, 10000)) << last_error();
    EXPECT_EQ(removed, 1u);
    EXPECT_EQ(entry.lpOverlapped, overlapped);
    EXPECT_EQ(entry.lpCompletionKey, 0u);
    return entry;
}

// How an overlapped operation ended: 0 or the Windows error, and the bytes moved.
struct Outcome {
    ErrorCode error;
    std::uint32_t bytes;
    bool operator==(const Outcome&) const = default;
};

inline void PrintTo(const Outcome& outcome, std::ostream* out) {
    *out << "{error " << outcome.error << ", bytes " << outcome.bytes << "}";
}

// Issues one operation and collects its result the way the module does,
// whether the system completed it at once, later, or refused it outright.
template <class Start>
inline Outcome settle(Handle port, Overlapped& overlapped, Start start) {
    std::uint32_t count = 12345;
    bool done = start(&count);
    ErrorCode error = done ? 0 : last_error();
    if (!done && error != kErrorIoPending) {
        EXPECT_TRUE(port_is_empty(port)) << "a refused operation queued a packet";
        return {error, 0};
    }
    OverlappedEntry entry = expect_packet(port, &overlapped);
    EXPECT_EQ(entry.dwNumberOfBytesTransferred, overlapped.InternalHigh);
    EXPECT_EQ(count, done ? entry.dwNumberOfBytesTransferred : 0u);
    return {status_to_error(static_cast<NtStatus>(overlapped.Internal)), entry.dwNumberOfBytesTransferred};
}

inline Overlapped at(std::uint64_t offset) {
    Overlapped overlapped{};
    overlapped.Offset = static_cast<std::uint32_t>(offset);
    overlapped.OffsetHigh = static_cast<std::uint32_t>(offset >> 32);
    return overlapped;
}

}  // namespace contract
