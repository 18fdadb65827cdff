# SPDX-License-Identifier: MIT
# Linux on 32-bit Arm with the hardware floating-point ABI.
set(LINUX_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
set(CPACK_RPM_PACKAGE_ARCHITECTURE armv7hl)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
