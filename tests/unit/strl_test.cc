#include <gtest/gtest.h>

#include <string.h>

#include "strlcat.h"
#include "strlcpy.h"

namespace
{

// dst starts as text (null: unterminated "abcd"); guard bytes around it show a write outside [0,
// size).
TEST(Strl, CopiesAppendsCutsAndCounts)
{
    const struct {
        bool cat;
        const char *dst, *src;
        size_t size;
        const char *want; // null: nothing may change
        size_t result;
    } rows[] = {
        {false, "", "abcdef", 0, nullptr, 6},  {false, "", "abcdef", 1, "", 6},
        {false, "", "abcdef", 6, "abcde", 6},  {false, "", "abcdef", 7, "abcdef", 6},
        {true, "abc", "def", 7, "abcdef", 6},  {true, "abc", "def", 6, "abcde", 6},
        {true, "abc", "def", 4, "abc", 6},     {true, "", "def", 1, "", 3},
        {true, nullptr, "xyz", 4, nullptr, 7}, {true, "ab", "xy", 0, nullptr, 2},
    };
    for (const auto &r : rows) {
        char area[32], before[32];
        memset(area, '#', sizeof area);
        char *dst = area + 8;
        r.dst != nullptr ? (void)strcpy(dst, r.dst) : (void)memcpy(dst, "abcd", 4);
        memcpy(before, area, sizeof area);
        EXPECT_EQ(r.result, r.cat ? strlcat(dst, r.src, r.size) : strlcpy(dst, r.src, r.size));
        const size_t kept = r.want != nullptr ? r.size : 0;
        if (r.want != nullptr) {
            EXPECT_STREQ(r.want, dst);
        }
        EXPECT_EQ(0, memcmp(area, before, 8));
        EXPECT_EQ(0, memcmp(dst + kept, before + 8 + kept, sizeof area - 8 - kept)) << r.src;
    }
}

} // namespace
