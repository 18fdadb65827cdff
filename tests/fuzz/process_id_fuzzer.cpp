// SPDX-License-Identifier: MIT
// libFuzzer target: the process ID parser against the C library's "%u" scan, which it must
// match wherever the magnitude is below 2^32, and against the saturation rule above it.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>

#include "exitwatch/process_id.h"

namespace {

/// Whether the number that "%u" would read from `text` has a magnitude of 2^32 or more,
/// worked out from the digits alone.
bool magnitude_exceeds_32_bits(const std::string& text) {
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])) != 0) {
        ++at;
    }
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        ++at;
    }
    while (at < text.size() && text[at] == '0') {
        ++at;
    }
    std::string digits;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) != 0) {
        digits += text[at++];
    }
    return digits.size() > 10 || (digits.size() == 10 && digits > "4294967295");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An argument ends at its first NUL byte.
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string argument = input.substr(0, input.find('\0'));
    const std::uint32_t parsed = exitwatch::parse_process_id(argument);
    if (magnitude_exceeds_32_bits(argument)) {
        if (parsed != exitwatch::max_process_id) {
            __builtin_trap();
        }
        return 0;
    }
    unsigned scanned = 0;
    std::sscanf(argument.c_str(), "%u", &scanned);  // NOLINT(cert-err34-c): compared below
    if (parsed != scanned) {
        __builtin_trap();
    }
    return 0;
}
