// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace exitwatch::testing {

/// Stored line end of the log: text mode turns '\n' into CR LF on Windows.
#ifdef _WIN32
inline const std::string line_end = "\r\n";
#else
inline const std::string line_end = "\n";
#endif

/// A fresh, empty folder of the test's own, removed with everything in it at the end.
class ScratchDir {
  public:
    ScratchDir() {
        std::random_device random;
        path_ = std::filesystem::temp_directory_path() /
                ("exitwatch-test-" + std::to_string(random()) + std::to_string(random()));
        std::filesystem::create_directories(path_);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path_, ignored);
    }

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    [[nodiscard]] std::filesystem::path log_path() const { return path_ / "log_close.txt"; }

    /// The log's bytes as they are on disk; empty when there is no such file.
    [[nodiscard]] std::string read_log() const { return read_file(log_path()); }

    static std::string read_file(const std::filesystem::path& file) {
        if (!std::filesystem::is_regular_file(file)) {
            return {};
        }
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

  private:
    std::filesystem::path path_;
};

/// The log's lines joined with the stored line end.
template <typename... Lines>
std::string log_lines(const Lines&... lines) {
    std::string text;
    ((text += std::string(lines) + line_end), ...);
    return text;
}

}  // namespace exitwatch::testing
