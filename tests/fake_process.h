// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace exitwatch::testing {

/// Stands in for the system's process calls in the run's tests: says how the next calls
/// answer and records each call made, with the log as it stood at the moments that matter.
struct FakeSystem {
    bool open_succeeds = true;
    std::uint32_t open_error = 0;
    bool ends_in_time = true;

    std::vector<std::string> calls;
    std::string log_at_last_error;
    std::string log_at_terminate;
    std::string log_at_close;
};

/// The one fake system of the test program; tests reset it before each run.
FakeSystem& fake_system();

}  // namespace exitwatch::testing
