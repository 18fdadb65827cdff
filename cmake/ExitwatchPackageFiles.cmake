# SPDX-License-Identifier: MIT
# What the Linux packages carry beside the program, made in the build tree: the manual
# page and the Debian changelog compressed with gzip -9n (no name or time in the header, so
# that the bytes never change), and the copyright in Debian's machine-readable format, from
# LICENSE. The changelogs are CHANGELOG.md in Debian's format and in RPM's. The one lintian
# override says why the program is static.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/LICENSE)

configure_file(${PROJECT_SOURCE_DIR}/doc/exitwatch.1.in exitwatch.1 @ONLY)
execute_process(COMMAND gzip -9nkf exitwatch.1
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR} COMMAND_ERROR_IS_FATAL ANY)

file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/debian ${PROJECT_BINARY_DIR}/rpm)
foreach(format debian rpm)
    execute_process(
        COMMAND awk -v package=${PROJECT_NAME} -v "maintainer=${EXITWATCH_MAINTAINER}"
                -v format=${format} -v release=${EXITWATCH_RPM_RELEASE}
                -f ${PROJECT_SOURCE_DIR}/cmake/package-changelog.awk ${PROJECT_SOURCE_DIR}/CHANGELOG.md
        OUTPUT_FILE ${PROJECT_BINARY_DIR}/${format}/changelog COMMAND_ERROR_IS_FATAL ANY)
endforeach()
execute_process(COMMAND gzip -9nkf changelog
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/debian COMMAND_ERROR_IS_FATAL ANY)

# LICENSE is its title, the copyright line and the permission text; the copyright file
# holds the last as a license paragraph: each line indented, an empty one as " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
string(FIND "${license}" "${EXITWATCH_COPYRIGHT}\n" at)
string(LENGTH "${EXITWATCH_COPYRIGHT}" length)
math(EXPR at "${at} + ${length}")
string(SUBSTRING "${license}" ${at} -1 license_text)
string(STRIP "${license_text}" license_text)
string(REGEX REPLACE "^Copyright \\(c\\) " "" copyright_holders "${EXITWATCH_COPYRIGHT}")
string(REPLACE "\n\n" "\n.\n" license_text "${license_text}")
string(REPLACE "\n" "\n " license_text "${license_text}")
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/debian/copyright @ONLY CONTENT [[
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: @PROJECT_NAME@
Upstream-Contact: @EXITWATCH_MAINTAINER@

Files: *
Copyright: @copyright_holders@
License: MIT

License: MIT
 @license_text@
]])

# lintian takes a static PIE for a shared library without its dependencies, and a plain
# static program for a mistake; either way the program is static on purpose.
if(EXITWATCH_ON_MUSL OR EXITWATCH_HAS_STATIC_PIE)
    set(static_program_tag shared-library-lacks-prerequisites)
else()
    set(static_program_tag statically-linked-binary)
endif()
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/debian/lintian-overrides @ONLY CONTENT [[
# exitwatch is static on purpose: one file that runs on any distribution and in any
# container, needs no shared library while a system is being updated, and runs under
# qemu-user without the target's libraries.
@PROJECT_NAME@: @static_program_tag@ [usr/bin/@PROJECT_NAME@]
]])
