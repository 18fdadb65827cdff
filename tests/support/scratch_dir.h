// SPDX-License-Identifier: MIT
#pragma once

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

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

/// A name that whoever may write the log's folder can put where the log goes: the watchdog
/// must neither follow it, nor open, write or truncate what it names, nor wait on it.
struct PlantedName {
    std::string kind;
    /// Plants it at `log`, naming `other`, a file of someone else's that must stay as it is
    /// (one that does not exist must not be made). Returns why it could not be planted here;
    /// empty where it was.
    std::string (*plant)(const std::filesystem::path& log, const std::filesystem::path& other);
    /// Whether the log takes the name's place, made anew, instead of going without a log.
    bool log_made_anew = false;

    /// The file of someone else's in `folder` that the planted name names.
    static std::filesystem::path other_in(const ScratchDir& folder) {
        return folder.path() / "someone-elses.txt";
    }

    /// Writes that file and plants the name at the log of `folder`. Returns, and prints, why
    /// it could not be planted here; empty where it was.
    [[nodiscard]] std::string plant_in(const ScratchDir& folder) const {
        std::ofstream(other_in(folder)) << "not the log\n";
        std::string why_not = plant(folder.log_path(), other_in(folder));
        if (!why_not.empty()) {
            std::printf("cannot plant %s here: %s\n", kind.c_str(), why_not.c_str());
        }
        return why_not;
    }
};

/// The system's answer to a call that planted a name: empty where it was planted.
inline std::string planting_error(bool planted) {
#ifdef _WIN32
    return planted ? "" : std::system_category().message(static_cast<int>(GetLastError()));
#else
    return planted ? "" : std::generic_category().message(errno);
#endif
}

// Wine 8's CreateSymbolicLinkW makes nothing and reports success: what it made is looked at.
inline std::string plant_symlink(const std::filesystem::path& log,
                                 const std::filesystem::path& other) {
#ifdef _WIN32
    if (CreateSymbolicLinkW(log.c_str(), other.c_str(), 0) == 0) {
        return planting_error(false);
    }
    const DWORD attributes = GetFileAttributesW(log.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
               ? ""
               : "CreateSymbolicLinkW reported success, but made no link";
#else
    return planting_error(::symlink(other.c_str(), log.c_str()) == 0);
#endif
}

inline std::string plant_hard_link(const std::filesystem::path& log,
                                   const std::filesystem::path& other) {
#ifdef _WIN32
    return planting_error(CreateHardLinkW(log.c_str(), other.c_str(), nullptr) != 0);
#else
    return planting_error(::link(other.c_str(), log.c_str()) == 0);
#endif
}

inline std::vector<PlantedName> planted_names() {
    return {
        {"symlink_to_a_file", plant_symlink},
        {"symlink_to_no_file",
         [](const std::filesystem::path& log, const std::filesystem::path& other) {
             std::filesystem::remove(other);
             return plant_symlink(log, other);
         }},
        {"second_hard_link", plant_hard_link, true},
        {"folder",
         [](const std::filesystem::path& log, const std::filesystem::path& /*other*/) {
             std::error_code error;
             std::filesystem::create_directory(log, error);
             return error ? error.message() : std::string();
         }},
#ifndef _WIN32
        {"fifo_nobody_reads",
         [](const std::filesystem::path& log, const std::filesystem::path& /*other*/) {
             return planting_error(mkfifo(log.c_str(), 0666) == 0);
         }},
        // Only root may make one: /dev/null's, which an open would not harm.
        {"char_device",
         [](const std::filesystem::path& log, const std::filesystem::path& /*other*/) {
             return planting_error(mknod(log.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0);
         }},
#endif
    };
}

/// The log's lines joined with the stored line end.
template <typename... Lines>
std::string log_lines(const Lines&... lines) {
    std::string text;
    ((text += std::string(lines) + line_end), ...);
    return text;
}

}  // namespace exitwatch::testing
