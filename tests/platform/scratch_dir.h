// A fresh, empty directory for one test, removed with everything in it.
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

class ScratchDir {
public:
    ScratchDir() {
        std::random_device random;
        do {
            path_ = std::filesystem::temp_directory_path() / ("kiln-platform-" + std::to_string(random()));
        } while (!std::filesystem::create_directory(path_));
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    const std::filesystem::path& path() const noexcept { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};
