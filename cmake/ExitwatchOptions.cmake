# SPDX-License-Identifier: MIT
# Compile settings shared by every target of the project, through one interface target.
include(GNUInstallDirs)

option(EXITWATCH_STATIC "Link exitwatch statically, so that it needs no shared library" OFF)

add_library(exitwatch_options INTERFACE)
target_compile_features(exitwatch_options INTERFACE cxx_std_17)
target_compile_options(exitwatch_options INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
    -Wsign-conversion -Wold-style-cast -Wnon-virtual-dtor)
# The program's own code throws nothing and asks for no type information, so that no
# unwinder, exception or demangler support is linked into what ships.
add_library(exitwatch_program_code INTERFACE)
target_compile_options(exitwatch_program_code INTERFACE -fno-exceptions -fno-rtti)

option(EXITWATCH_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(EXITWATCH_SANITIZE)
    set(sanitizers -fsanitize=address,undefined -fno-sanitize-recover=all)
    target_compile_options(exitwatch_options INTERFACE ${sanitizers} -fno-omit-frame-pointer)
    target_link_options(exitwatch_options INTERFACE ${sanitizers})
endif()

# On Linux the program's code is hardened as Debian and Ubuntu build their own packages:
# updaters often run it as root. Each protection is tried on the compiler at hand, since
# not every target has each. glibc's fortified calls need an optimizing build, so debug
# builds of the program's code use -Og, which keeps it debuggable: the suites of the debug
# and sanitizer presets run it fortified. musl, which the programs that ship are built on,
# has no fortified calls and ignores the setting.
if(NOT WIN32)
    include(CheckCXXCompilerFlag)
    set(hardening -fstack-protector-strong)
    foreach(flag -fstack-clash-protection -fcf-protection)
        string(MAKE_C_IDENTIFIER "EXITWATCH_HAS${flag}" supported)
        check_cxx_compiler_flag(${flag} ${supported})
        if(${supported})
            list(APPEND hardening ${flag})
        endif()
    endforeach()
    target_compile_options(exitwatch_program_code INTERFACE ${hardening} $<$<CONFIG:Debug>:-Og>
        -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2)
    target_link_options(exitwatch_program_code INTERFACE
        -Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack)
endif()

# Every Windows program of the project imports system DLLs only, so that it runs on a
# clean Windows (and under Wine) with no libgcc or libstdc++ DLL beside it. Its header
# carries no link time, so that the same sources always link to the same bytes.
# They load at a random address (with a relocation section to make that possible), from
# above 4 GiB on 64-bit Windows, and their data cannot be executed. They carry no stack
# protector: mingw-w64's comes from libssp, which would import ADVAPI32.dll for its canary.
if(WIN32)
    target_compile_definitions(exitwatch_options INTERFACE
        WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
    target_link_options(exitwatch_options INTERFACE -static -Wl,--no-insert-timestamp
        -Wl,--dynamicbase -Wl,--nxcompat $<$<EQUAL:${CMAKE_SIZEOF_VOID_P},8>:-Wl,--high-entropy-va>)
    # The 32-bit program registers no structured exception handler (it is built without
    # exceptions, and the runtime's start-up sets a top-level filter, not SEH frames), so
    # it says so in its header (NO_SEH) for the PE checkers that want either that or a
    # SafeSEH table. 64-bit images describe their frames in tables and need no such mark.
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        target_link_options(exitwatch_program_code INTERFACE -Wl,--no-seh)
    endif()
endif()

# On Linux the program that ships is one static file that runs on any distribution, and so
# is the tests' helper: both then also run under an emulator that lacks the target's
# libraries. Where the C library can start one, it is a static PIE, loaded at a random
# address like any other program; armhf's has no such start file. Release builds carry
# no symbols.
if(EXITWATCH_STATIC AND NOT WIN32)
    include(CheckCXXSourceCompiles)
    set(CMAKE_REQUIRED_FLAGS -fPIE)
    set(CMAKE_REQUIRED_LINK_OPTIONS -static-pie)
    check_cxx_source_compiles("int main() { return 0; }" EXITWATCH_HAS_STATIC_PIE)
    unset(CMAKE_REQUIRED_FLAGS)
    unset(CMAKE_REQUIRED_LINK_OPTIONS)
    if(EXITWATCH_HAS_STATIC_PIE)
        target_compile_options(exitwatch_program_code INTERFACE -fPIE)
    endif()
endif()

if(EXITWATCH_STATIC AND NOT WIN32)
    include(ExitwatchMusl)
endif()

function(exitwatch_link_standalone target)
    if(EXITWATCH_STATIC AND NOT WIN32)
        if(EXITWATCH_HAS_STATIC_PIE)
            set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
            target_link_options(${target} PRIVATE -static-pie)
        else()
            target_link_options(${target} PRIVATE -static)
        endif()
    endif()
    target_link_options(${target} PRIVATE $<$<CONFIG:Release>:-s>)
endfunction()
