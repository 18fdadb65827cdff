# SPDX-License-Identifier: MIT
# Checks a built Windows program by inspection, for builds that cannot be run here:
#   cmake -DOBJDUMP=<objdump> -DPROGRAM=<exe> -DFORMAT=<pei-i386|pei-x86-64> -P CheckWindowsProgram.cmake
# It must be a console program of that format, import system DLLs only, carry the manifest
# as resource 1 of type RT_MANIFEST (24), asking to run as its invoker (a program that asks
# for elevation fails to start from every updater that is not elevated, with error 740),
# and the version, and be hardened: ASLR with the relocations it needs, high-entropy ASLR
# on 64-bit Windows, DEP, and on 32-bit Windows NO_SEH, since it registers no structured
# exception handler.
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${OBJDUMP} cannot read ${PROGRAM}")
endif()

function(expect pattern what)
    if(NOT dump MATCHES "${pattern}")
        message(FATAL_ERROR "${PROGRAM}: ${what}")
    endif()
endfunction()

expect("file format ${FORMAT}\n" "is not ${FORMAT}")
expect("Subsystem[\t ]+00000003[\t ]+\\(Windows CUI\\)" "is not a console program")
expect("Entry: ID: 0x000018, Value: 0x[0-9a-f]+\n[^\n]*Name Table[^\n]*\n[0-9a-f]+ +Entry: ID: 0x000001," "carries no manifest")
expect("Entry: ID: 0x000010, Value" "carries no version resource")
file(STRINGS ${PROGRAM} levels REGEX "requestedExecutionLevel")
if(NOT levels MATCHES "^[\t ]*<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>$")
    message(FATAL_ERROR "${PROGRAM}: its manifest asks for ${levels}, not asInvoker without uiAccess")
endif()
expect("\n[\t ]+DYNAMIC_BASE\n" "does not ask for ASLR")
expect("PE File Base Relocations" "has no relocations, which ASLR needs")
expect("\n[\t ]+NX_COMPAT\n" "does not ask for DEP")
if(FORMAT STREQUAL "pei-x86-64")
    expect("\n[\t ]+HIGH_ENTROPY_VA\n" "does not ask for high-entropy ASLR")
else()
    expect("\n[\t ]+NO_SEH\n" "says neither NO_SEH nor carries a SafeSEH table")
endif()

set(system_dlls KERNEL32.dll msvcrt.dll)
string(REGEX MATCHALL "DLL Name: [^\n]+" import_lines "${dump}")
list(TRANSFORM import_lines REPLACE "DLL Name: " "" OUTPUT_VARIABLE imports)
foreach(dll IN LISTS imports)
    if(NOT dll IN_LIST system_dlls)
        message(FATAL_ERROR "${PROGRAM} imports ${dll}, which a clean Windows does not have")
    endif()
endforeach()
message(STATUS "${PROGRAM}: ${FORMAT} console program, imports ${imports}, manifest asInvoker, version, ASLR, DEP and no SEH frames")
