// SPDX-License-Identifier: MIT
// musl's static start-up relocates the program and leaves it at that: unlike glibc's and
// every dynamic loader, it never makes the pages that the linker asks to be read-only once
// relocated (GNU_RELRO: the GOT, .init_array, .fini_array, .dynamic) read-only. This does,
// before main() looks at anything, so that no write through a stray pointer can redirect
// the calls that go through them.
#include <cstddef>
#include <cstdint>

#include <link.h>
#include <sys/auxv.h>
#include <sys/mman.h>

// The program's own ELF header, where the linker placed it; a static PIE has no PT_PHDR
// to tell its load address by.
extern "C" const ElfW(Ehdr) __ehdr_start;  // NOLINT: the linker's name

namespace {

[[gnu::constructor]] void protect_relocated_data() {
    const auto* headers = reinterpret_cast<const ElfW(Phdr)*>(getauxval(AT_PHDR));
    const auto count = static_cast<std::size_t>(getauxval(AT_PHNUM));
    const auto page = static_cast<std::uintptr_t>(getauxval(AT_PAGESZ));
    const ElfW(Phdr)* relro = nullptr;
    std::uintptr_t load_address = reinterpret_cast<std::uintptr_t>(&__ehdr_start);
    for (std::size_t i = 0; i < count && headers != nullptr; ++i) {
        if (headers[i].p_type == PT_LOAD && headers[i].p_offset == 0) {
            load_address -= headers[i].p_vaddr;
        } else if (headers[i].p_type == PT_GNU_RELRO) {
            relro = &headers[i];
        }
    }
    if (relro == nullptr || page == 0) {
        return;
    }
    // As the loaders do: whole pages from the one the segment starts in, up to the page
    // boundary that the linker ends it on.
    const std::uintptr_t start = (load_address + relro->p_vaddr) & ~(page - 1);
    const std::uintptr_t end = (load_address + relro->p_vaddr + relro->p_memsz) & ~(page - 1);
    if (end > start) {
        mprotect(reinterpret_cast<void*>(start), end - start, PROT_READ);
    }
}

}  // namespace
