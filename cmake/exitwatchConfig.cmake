# SPDX-License-Identifier: MIT
# find_package(exitwatch): the program as the imported executable exitwatch::exitwatch, to
# start or to copy beside a program with $<TARGET_FILE:exitwatch::exitwatch>.
include(${CMAKE_CURRENT_LIST_DIR}/exitwatchTargets.cmake)
