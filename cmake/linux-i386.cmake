# SPDX-License-Identifier: MIT
# Linux on 32-bit x86.
set(LINUX_CROSS_TRIPLET i686-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
