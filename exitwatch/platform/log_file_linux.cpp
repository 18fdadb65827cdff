// SPDX-License-Identifier: MIT
#include "log_file.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace exitwatch::platform {
namespace {

// Whatever is swapped in between the look and the open: a link is not followed, a FIFO not
// waited on, a terminal never made the controlling one.
constexpr int open_flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

/// What a look at the log's name found, and the descriptor opened after it.
struct Opened {
    int descriptor = -1;
    bool made_anew = false;
    struct stat looked {};  // what the look found, where the name was there
};

/// The log's descriptor, opened only once a look at the name has shown a regular file.
Opened open_looked_at(const char* name) {
    Opened log;
    if (fstatat(AT_FDCWD, name, &log.looked, AT_SYMLINK_NOFOLLOW) != 0) {
        log.made_anew = errno == ENOENT;
    } else if (S_ISREG(log.looked.st_mode) && log.looked.st_nlink > 1) {
        log.made_anew = unlink(name) == 0;
    } else if (S_ISREG(log.looked.st_mode)) {
        log.descriptor = ::open(name, open_flags);
        return log;
    }
    if (log.made_anew) {
        log.descriptor = ::open(name, open_flags | O_CREAT | O_EXCL, 0666);
    }
    return log;
}

}  // namespace

std::FILE* open_own_log(const char* name) {
    const Opened log = open_looked_at(name);
    if (log.descriptor < 0) {
        return nullptr;
    }
    // What was opened must still be a regular file of one name and, unless it was made
    // anew, the very file looked at: only then is it emptied.
    struct stat opened {};
    const bool own = fstat(log.descriptor, &opened) == 0 && S_ISREG(opened.st_mode) &&
                     opened.st_nlink == 1 &&
                     (log.made_anew ||
                      (opened.st_dev == log.looked.st_dev && opened.st_ino == log.looked.st_ino));
    std::FILE* const stream =
        own && ftruncate(log.descriptor, 0) == 0 ? fdopen(log.descriptor, "w") : nullptr;
    if (stream == nullptr) {
        ::close(log.descriptor);
    }
    return stream;
}

}  // namespace exitwatch::platform
