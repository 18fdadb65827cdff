# SPDX-License-Identifier: MIT
# 64-bit Windows: the same code, for the tests under Wine.
set(MINGW_W64_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
