# SPDX-License-Identifier: MIT
# Installation and packages: a .deb with the static Linux program, its manual page and what
# Debian asks of every package (copyright, changelog), a ZIP with the Windows program, the
# licence and the README. Installing needs the program only, which tools/package.sh builds
# on its own: not the tests and GoogleTest beside it.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(EXITWATCH_MAINTAINER "exitwatch developers <exitwatch@example.invalid>")
if(WIN32)
    install(TARGETS exitwatch RUNTIME DESTINATION .)
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(CPACK_SYSTEM_NAME windows-x86)
    else()
        set(CPACK_SYSTEM_NAME windows-x64)
    endif()
else()
    include(ExitwatchDebianFiles)
    install(TARGETS exitwatch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${PROJECT_BINARY_DIR}/exitwatch.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${PROJECT_BINARY_DIR}/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
    install(FILES ${PROJECT_BINARY_DIR}/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME exitwatch)
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    # A static program depends on nothing.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
    # The long description; CPack puts the summary before it as the synopsis.
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [[
exitwatch is started with the ID of a process that should be ending. It gives
that process 10 seconds to end by itself, ends it with SIGKILL when it is
still running after them, and returns the moment the process ends. Every
step goes into log_close.txt in the current working directory.]])
endif()

set(CPACK_PACKAGE_NAME exitwatch)
set(CPACK_PACKAGE_VENDOR exitwatch)
set(CPACK_PACKAGE_CONTACT "${EXITWATCH_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_SOURCE_DIR}/build/packages)
include(CPack)
