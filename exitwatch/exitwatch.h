// SPDX-License-Identifier: MIT
#pragma once

namespace exitwatch {

/// The watchdog's whole run. `argv[1]` is the ID of the process to watch; the rest is
/// ignored. Reports only through the close log and returns 0 on every path.
int run(int argc, char* argv[]);

}  // namespace exitwatch
