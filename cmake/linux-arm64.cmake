# SPDX-License-Identifier: MIT
# Linux on 64-bit Arm.
set(LINUX_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
set(CPACK_RPM_PACKAGE_ARCHITECTURE aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
