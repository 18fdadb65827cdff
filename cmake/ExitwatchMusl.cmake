# SPDX-License-Identifier: MIT
# The static Linux program on musl, where Debian's musl-dev for the target is installed: the
# same sources against musl's headers and the C++ library's headers alone, linked with
# musl's C library and start files and nothing of the C++ library. glibc's static start-up,
# stdio and locale machinery make up almost all of a glibc static program; without them it
# is a few dozen KiB. The tests, which need the C++ library, stay on the system's C library.
#
# Sets EXITWATCH_ON_MUSL, and where it is true the interface target exitwatch_on_musl.
option(EXITWATCH_MUSL "Build the static Linux program on musl where musl-dev is installed" ON)

# Debian keeps each architecture's musl under its multiarch name with "musl" for "gnu":
# x86_64-linux-musl, i386-linux-musl, aarch64-linux-musl, arm-linux-musleabihf.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-multiarch
    OUTPUT_VARIABLE multiarch OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REPLACE "-gnu" "-musl" musl_triplet "${multiarch}")
set(musl_lib /usr/lib/${musl_triplet})
set(musl_include /usr/include/${musl_triplet})
set(EXITWATCH_ON_MUSL FALSE)
if(NOT EXITWATCH_MUSL)
    return()
endif()
if(NOT EXISTS ${musl_lib}/rcrt1.o OR NOT EXISTS ${musl_include}/stdio.h)
    set(package musl-dev)
    if(CPACK_DEBIAN_PACKAGE_ARCHITECTURE)  # a cross build's
        string(APPEND package ":${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}")
    endif()
    message(STATUS "No musl for ${multiarch} (Debian: apt-get install ${package}): "
        "the static program is built on glibc")
    return()
endif()
set(EXITWATCH_ON_MUSL TRUE)
message(STATUS "The static program is built on musl (${musl_triplet})")

# The compiler's own files, asked of it, so that a cross compiler gives its own.
foreach(file include crtbeginS.o crtendS.o libgcc.a)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${file}
        OUTPUT_VARIABLE compiler_${file} OUTPUT_STRIP_TRAILING_WHITESPACE)
endforeach()

# The C++ library's headers first, since they include the C library's after themselves;
# then musl's; then the compiler's own, as musl's gcc wrapper orders them. The C++ library's
# headers were made for glibc and ask its version, which musl has none of.
add_library(exitwatch_on_musl INTERFACE)
target_compile_options(exitwatch_on_musl INTERFACE -nostdinc)
foreach(directory IN LISTS CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES)
    if(directory MATCHES "/c\\+\\+/")
        target_compile_options(exitwatch_on_musl INTERFACE "SHELL:-isystem ${directory}")
    endif()
endforeach()
target_compile_options(exitwatch_on_musl INTERFACE "SHELL:-isystem ${musl_include}"
    "SHELL:-isystem ${compiler_include}" "-D__GLIBC_PREREQ(major,minor)=0"
    -fPIE -ffunction-sections -fdata-sections)

# A static PIE by the linker's own options, which every target's linker has; Debian's armhf
# compiler ignores -static-pie. The start files go before the program's objects, the
# libraries and end files after them.
target_link_options(exitwatch_on_musl INTERFACE -nostdlib
    -Wl,-static -Wl,-pie -Wl,--no-dynamic-linker -Wl,-z,text -Wl,--gc-sections
    ${musl_lib}/rcrt1.o ${musl_lib}/crti.o ${compiler_crtbeginS.o}
    $<$<CONFIG:Release>:-s>)
target_link_libraries(exitwatch_on_musl INTERFACE
    -Wl,--start-group ${musl_lib}/libc.a ${compiler_libgcc.a} -Wl,--end-group
    ${compiler_crtendS.o} ${musl_lib}/crtn.o)
