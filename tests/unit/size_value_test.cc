// Sizes on the command line: the same values and refusals on every word size.
#include <gtest/gtest.h>

#include "size_value.h"

namespace
{

constexpr uint64_t int64_max = INT64_MAX;

TEST(SizeValue, Taken)
{
    const struct {
        const char *text;
        uint64_t value;
    } cases[] = {
        {"0", 0},
        {"4k", 4096},
        {"4K", 4096},
        {"3m", 3 << 20},
        {"3M", 3 << 20},
        {"2g", 1ULL << 31},
        {"7b", 7},
        {"7B", 7},
        {"010", 10}, // decimal, whatever the leading zeros
        {"0x10", 16},
        {"0X1b", 27}, // after 0x, b is a digit
        {"0x10k", 16 << 10},
        {"9223372036854775807", int64_max},
        {"8589934591g", 8589934591ULL << 30},
    };
    for (const auto &c : cases) {
        uint64_t value = 1;
        EXPECT_TRUE(parse_size_value(c.text, int64_max, &value)) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
}

TEST(SizeValue, Refused)
{
    const char *cases[] = {
        "", "abc", "k", "3kx", "7q", "4 k", "-2", "+3", " 3", "0x", "1kk", "12e3",
        // out of range, also where a 32-bit long would have clamped
        "9223372036854775808", "99999999999999999999", "8589934592g", "0x8000000000000000"};
    for (const char *text : cases) {
        uint64_t value = 1;
        EXPECT_FALSE(parse_size_value(text, int64_max, &value)) << text;
        EXPECT_EQ(value, 1U) << text;
    }
}

TEST(SizeValue, Limit)
{
    uint64_t value = 0;
    EXPECT_TRUE(parse_size_value("16m", 16 << 20, &value));
    EXPECT_FALSE(parse_size_value("16777217", 16 << 20, &value));
    EXPECT_FALSE(parse_size_value("17", 16, &value));
    EXPECT_FALSE(parse_size_value("9", 5, &value));
}

} // namespace
