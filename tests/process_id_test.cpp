// SPDX-License-Identifier: MIT
#include "exitwatch/process_id.h"

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

namespace exitwatch {
namespace {

struct ParseCase {
    std::string text;
    std::uint32_t expected;
};

TEST(ParseProcessId, ReadsLikeTheScanWithSaturationAboveTheRange) {
    const ParseCase cases[] = {
        {"812", 812},
        {"1234abc", 1234},
        {"  56", 56},
        {"12 34", 12},
        {"+7", 7},
        {"-1", 4294967295U},
        {"-2", 4294967294U},
        {"-0", 0},
        {"0", 0},
        {"007", 7},
        {"\t\n\v\f\r 9", 9},
        {"abc", 0},
        {"", 0},
        {" ", 0},
        {"+", 0},
        {"-", 0},
        {"+-5", 0},
        {"--5", 0},
        {"- 5", 0},
        {"0x10", 0},
        {"4294967295", 4294967295U},
        {"-4294967295", 1},
        {"4294967296", 4294967295U},
        {"4294967297", 4294967295U},
        {"-4294967296", 4294967295U},
        {"-4294967297", 4294967295U},
        {"18446744073709551617", 4294967295U},
        {"-18446744073709551617", 4294967295U},
        {"99999999999999999999999999", 4294967295U},
        {"2147483648", 2147483648U},
        {std::string("5\0"
                     "7",
                     3),
         5},
    };
    for (const ParseCase& c : cases) {
        EXPECT_EQ(parse_process_id(c.text), c.expected) << '"' << c.text << '"';
    }
}

// Below 2^32 the parser must agree with the C library's own "%u" scan.
TEST(ParseProcessId, AgreesWithTheCLibraryScanBelowTwoToThe32) {
    const char* const inputs[] = {"0",     "1",         " 42x",       "+3",          "-3",
                                  "\t-77", "123456789", "4294967295", "-4294967295", "x1",
                                  "",      "  +  1",    "2147483647", "-2147483648", "1e5"};
    for (const char* input : inputs) {
        unsigned scanned = 0;
        std::sscanf(input, "%u", &scanned);
        EXPECT_EQ(parse_process_id(input), scanned) << '"' << input << '"';
    }
}

}  // namespace
}  // namespace exitwatch
