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

# Every Windows program of the project imports system DLLs only, so that it runs on a
# clean Windows (and under Wine) with no libgcc or libstdc++ DLL beside it. Its header
# carries no link time, so that the same sources always link to the same bytes.
if(WIN32)
    target_compile_definitions(exitwatch_options INTERFACE
        WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
    target_link_options(exitwatch_options INTERFACE -static -Wl,--no-insert-timestamp)
endif()

# On Linux the program that ships is one static file that runs on any distribution, and so
# is the tests' helper: both then also run under an emulator that lacks the target's
# libraries. Release builds carry no symbols.
function(exitwatch_link_standalone target)
    if(EXITWATCH_STATIC AND NOT WIN32)
        target_link_options(${target} PRIVATE -static)
    endif()
    target_link_options(${target} PRIVATE $<$<CONFIG:Release>:-s>)
endfunction()
