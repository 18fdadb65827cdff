// SPDX-License-Identifier: MIT
// A small process for the end-to-end tests to watch, and the launcher they start the
// watchdog through where it needs a special setting.
//
//   exitwatch_test_helper sleep MS      sleeps MS milliseconds, then exits with 0
//   exitwatch_test_helper MODE ...      a mode of this system (see helper_*.cpp)
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "helper.h"

int main(int argc, char* argv[]) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() == 2 && arguments[0] == "sleep") {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::stoll(arguments[1])));
        return 0;
    }
    return exitwatch::testing::run_system_mode(arguments);
}
