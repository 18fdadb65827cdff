# SPDX-License-Identifier: MIT
# Installation and packages: for Linux a .deb, an RPM and a tarball with the static program
# and its manual page, each with what its format asks for (Debian's copyright and
# changelog, RPM's licence and changelog, the licence, README, changelog and CMake package
# in the tarball); a ZIP with the Windows program, the licence and the README. Installing needs
# the program only, which tools/package.sh builds on its own: not the tests and GoogleTest
# beside it.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(EXITWATCH_MAINTAINER "exitwatch developers <exitwatch@example.invalid>")
set(EXITWATCH_RPM_RELEASE 1)  # the RPMs' own revision of a version
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
    include(ExitwatchPackageFiles)
    # Every Linux package holds the program and its manual page, and beside them what its
    # own format asks for: ExitwatchCPackComponents.cmake picks the components for each.
    install(TARGETS exitwatch EXPORT exitwatch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT program)
    # find_package(exitwatch) over the install tree or a tarball: the imported program
    # exitwatch::exitwatch, of any architecture for any project.
    include(CMakePackageConfigHelpers)
    write_basic_package_version_file(exitwatchConfigVersion.cmake
        COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
    install(EXPORT exitwatch NAMESPACE exitwatch:: FILE exitwatchTargets.cmake
        DESTINATION lib/cmake/exitwatch COMPONENT cmake)
    install(FILES ${PROJECT_SOURCE_DIR}/cmake/exitwatchConfig.cmake
        ${PROJECT_BINARY_DIR}/exitwatchConfigVersion.cmake
        DESTINATION lib/cmake/exitwatch COMPONENT cmake)
    install(FILES ${PROJECT_BINARY_DIR}/exitwatch.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT program)
    install(FILES ${PROJECT_BINARY_DIR}/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian)
    install(FILES ${PROJECT_BINARY_DIR}/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME exitwatch
        COMPONENT debian)
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/licenses/${PROJECT_NAME} COMPONENT rpm
        EXCLUDE_FROM_ALL)
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md
        ${PROJECT_SOURCE_DIR}/CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tarball
        EXCLUDE_FROM_ALL)
    set(CPACK_GENERATOR DEB RPM)
    set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/ExitwatchCPackComponents.cmake)
    set(CPACK_EXITWATCH_BINARY_DIR ${PROJECT_BINARY_DIR})
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    # The architecture under Debian's name, which the tarball's name uses too: the cross
    # toolchain files set it (and RPM's name for it), a native build asks dpkg.
    if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
        execute_process(COMMAND dpkg --print-architecture
            OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    # A static program depends on nothing.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
    set(CPACK_RPM_PACKAGE_AUTOREQPROV OFF)
    # The long description; CPack puts the summary before it as the synopsis.
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [[
exitwatch is started with the ID of a process that should be ending. It gives
that process 10 seconds to end by itself, ends it with SIGKILL when it is
still running after them, and returns the moment the process ends. Every
step goes into log_close.txt in the current working directory.]])
    set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
    set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
    set(CPACK_RPM_PACKAGE_RELEASE ${EXITWATCH_RPM_RELEASE})
    set(CPACK_RPM_PACKAGE_LICENSE MIT)
    set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
    set(CPACK_RPM_CHANGELOG_FILE ${PROJECT_BINARY_DIR}/rpm/changelog)
    set(CPACK_RPM_USER_FILELIST "%license /usr/share/licenses/${PROJECT_NAME}/LICENSE")
    # The folders that the system's own packages own.
    set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man /usr/share/man/man1
        /usr/share/licenses)
    set(CPACK_PACKAGE_RELOCATABLE OFF)
    # rpm 4.18 makes the same bytes again when told to: the build time from
    # SOURCE_DATE_EPOCH, one build host, no build-ID links beside the program. Every file
    # gets that time too (rpm would only lower later ones), and nothing else is done to the
    # files once installed: the program stays the very file that the other packages hold,
    # which the host's strip would change and cannot even read for other architectures.
    string(CONCAT CPACK_RPM_SPEC_MORE_DEFINE [[
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1
%define _buildhost exitwatch
%define _build_id_links none
%define __os_install_post test -z $SOURCE_DATE_EPOCH || find %{buildroot} -exec touch -h -d @$SOURCE_DATE_EPOCH {} +
%define packager ]] "${EXITWATCH_MAINTAINER}")
endif()

set(CPACK_PACKAGE_NAME exitwatch)
set(CPACK_PACKAGE_VENDOR exitwatch)
set(CPACK_PACKAGE_CONTACT "${EXITWATCH_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_SOURCE_DIR}/build/packages)
include(CPack)
