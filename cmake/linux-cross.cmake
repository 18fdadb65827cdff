# SPDX-License-Identifier: MIT
# Cross build for Linux with Debian's cross compilers; the toolchain file of each target
# sets LINUX_CROSS_TRIPLET, CMAKE_SYSTEM_PROCESSOR and the Debian architecture of its
# package, then includes this.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${LINUX_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${LINUX_CROSS_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${LINUX_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
