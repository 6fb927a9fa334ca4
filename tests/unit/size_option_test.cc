// Size values of -l and -b: strtol base 0 as the target's long, then one suffix.
#include <gtest/gtest.h>

#include <limits.h>

// The parser lives beside main; bring it in with main renamed.
#define main tandro_main
#include "tandro.cc"
#undef main

namespace
{

constexpr uint64_t long_max = (uint64_t)LONG_MAX;
constexpr bool long32 = sizeof(long) == 4;

TEST(SizeOption, Table)
{
    const struct {
        const char *text;
        uint64_t value;
    } cases[] = {
        {"4k", 4096},
        {"4K", 4}, // only lower-case suffixes scale
        {"0x10", 16},
        {"010", 8},
        {"2g", 1ULL << 31},
        {"3m", 3 << 20},
        {"3kx", 3072},
        {"7q", 7}, // what follows a suffix, or a stray letter, is ignored
        {"", 0},
        {"-1", UINT64_MAX}, // all ones: no record length
        {"-2k", UINT64_MAX << 11},
        {"99999999999999999999", long_max}, // clamped as the target's strtol clamps
        {"0x80000000k", long32 ? long_max << 10 : 0x80000000ULL << 10},
        {"4294967296", long32 ? long_max : 4294967296ULL},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parse_size(c.text), c.value) << "value \"" << c.text << "\"";
}

} // namespace
