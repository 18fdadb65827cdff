// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <vector>

namespace exitwatch::testing {

/// The modes of the helper that only one system has; 2 for a mode it does not know.
int run_system_mode(const std::vector<std::string>& arguments);

}  // namespace exitwatch::testing
