// SPDX-License-Identifier: MIT
#include "process_id.h"

namespace exitwatch {
namespace {

// White space as the "C" locale's isspace() knows it; the program never changes locale.
bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::uint32_t parse_process_id(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && is_space(text[at])) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    std::uint64_t magnitude = 0;
    for (; at < text.size() && is_digit(text[at]); ++at) {
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(text[at] - '0');
        if (magnitude > max_process_id) {
            return max_process_id;
        }
    }
    const auto value = static_cast<std::uint32_t>(magnitude);
    return negative ? 0U - value : value;
}

}  // namespace exitwatch
