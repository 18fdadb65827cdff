# SPDX-License-Identifier: MIT
# 32-bit Windows: the program that ships.
set(MINGW_W64_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
