// SPDX-License-Identifier: MIT
#pragma once

#include <cstdio>

namespace exitwatch::platform {

/// Opens `name` in the current folder as the log: a text stream (Windows stores each line
/// feed as CR LF), emptied, that other processes may read and write while it is open.
/// The folder may be writable by someone with fewer rights than the watchdog, who may have
/// planted the name there, so the name is looked at before anything opens it:
/// - none: the file is made, exclusively, never through a link;
/// - a regular file with no other name: opened without following a link, and emptied once
///   the open is known to be of the file looked at;
/// - a regular file with a second name elsewhere (a hard link, as `cp -al` and hard-link
///   backups make): this folder's name is removed, never the other, and the file is made
///   anew, so that the other file stays as it is and the log holds this run's lines;
/// - anything else (a symbolic link, on Windows any reparse point; a FIFO, a device, a
///   folder): left as it is, never opened, and nullptr.
/// nullptr too when any of these steps fails.
[[nodiscard]] std::FILE* open_own_log(const char* name);

}  // namespace exitwatch::platform
