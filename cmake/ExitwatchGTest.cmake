# SPDX-License-Identifier: MIT
# GoogleTest: the system's build where there is one for this target, else built here from
# Debian's sources (as for a cross build to Windows). Where there is neither, GTest::gtest_main
# is not defined.
include(GoogleTest)

if(NOT CMAKE_CROSSCOMPILING)
    find_package(GTest QUIET)
endif()
set(EXITWATCH_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest's sources")
if(NOT TARGET GTest::gtest_main AND EXISTS ${EXITWATCH_GTEST_SOURCE_DIR}/CMakeLists.txt)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
    add_subdirectory(${EXITWATCH_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    # mingw-w64's win32 thread model has no std::mutex, which GoogleTest's Notification
    # needs: a Win32 event stands in for it.
    if(WIN32)
        target_compile_definitions(gtest PUBLIC GTEST_HAS_NOTIFICATION_=1)
        target_compile_options(gtest PUBLIC
            -include ${PROJECT_SOURCE_DIR}/tests/support/gtest_win32_notification.h)
    endif()
    if(NOT TARGET GTest::gtest_main)
        add_library(GTest::gtest_main ALIAS gtest_main)
    endif()
endif()

# Under Wine the tests reach the programs through the drive that maps the Linux root.
if(CMAKE_CROSSCOMPILING AND WIN32)
    set(EXITWATCH_TEST_PATH_PREFIX "Z:")
else()
    set(EXITWATCH_TEST_PATH_PREFIX "")
endif()
