// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string_view>

namespace exitwatch {

/// The largest process ID there can be; also what any number of 2^32 or more parses to.
inline constexpr std::uint32_t max_process_id = 0xFFFFFFFFU;

/// Reads a process ID the way the C scan "%u" does: leading white space, one optional
/// sign, decimal digits up to the first other character; a minus sign negates modulo 2^32;
/// no digit gives 0. Unlike the scan, a magnitude of 2^32 or more gives max_process_id
/// instead of wrapping onto a smaller ID that may name a real process.
[[nodiscard]] std::uint32_t parse_process_id(std::string_view text);

}  // namespace exitwatch
