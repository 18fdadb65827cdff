# SPDX-License-Identifier: MIT
# Read by cpack once for each package it makes: beside the program and its manual page, a
# .deb holds Debian's copyright, changelog and lintian override, an RPM the licence, marked
# as such. (tools/package.sh makes the tarball from the program and tarball components.)
if(CPACK_GENERATOR STREQUAL "RPM")
    set(format_files rpm)
else()
    set(format_files debian)
endif()
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CPACK_EXITWATCH_BINARY_DIR};exitwatch;program;/"
    "${CPACK_EXITWATCH_BINARY_DIR};exitwatch;${format_files};/")
