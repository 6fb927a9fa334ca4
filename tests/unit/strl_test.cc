#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "strlcat.h"
#include "strlcpy.h"

namespace
{

// Guard bytes around the destination show any write outside [0, size).
struct Guarded {
    char area[32];
    char *dst = area + 8;
    Guarded() { memset(area, '#', sizeof area); }
    bool untouched_from(size_t from) const
    {
        for (size_t i = 8 + from; i < sizeof area; i++)
            if (area[i] != '#')
                return false;
        for (size_t i = 0; i < 8; i++)
            if (area[i] != '#')
                return false;
        return true;
    }
};

struct CopyCase {
    const char *src;
    size_t size;
    const char *want; // null: nothing may be written
    size_t result;
};

TEST(Strlcpy, CopiesCutsAndCounts)
{
    const CopyCase cases[] = {
        {"abcdef", 0, nullptr, 6},  {"abcdef", 1, "", 6},
        {"abcdef", 4, "abc", 6},    {"abcdef", 6, "abcde", 6},
        {"abcdef", 7, "abcdef", 6}, {"abcdef", 20, "abcdef", 6},
        {"", 0, nullptr, 0},        {"", 1, "", 0},
        {"x", 2, "x", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.src) + " size " + std::to_string(c.size));
        Guarded g;
        EXPECT_EQ(strlcpy(g.dst, c.src, c.size), c.result);
        if (c.want == nullptr) {
            EXPECT_TRUE(g.untouched_from(0));
            continue;
        }
        EXPECT_STREQ(g.dst, c.want);
        EXPECT_TRUE(g.untouched_from(c.size));
    }
}

struct CatCase {
    const char *dst;
    const char *src;
    size_t size;
    const char *want;
    size_t result;
};

TEST(Strlcat, AppendsCutsAndCounts)
{
    const CatCase cases[] = {
        {"abc", "def", 5, "abcd", 6},  {"abc", "def", 7, "abcdef", 6},
        {"abc", "def", 6, "abcde", 6}, {"abc", "def", 4, "abc", 6},
        {"", "def", 1, "", 3},         {"", "def", 3, "de", 3},
        {"abc", "", 4, "abc", 3},      {"ab", "cd", 32 - 8, "abcd", 4},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.dst) + "+" + c.src + " size " + std::to_string(c.size));
        Guarded g;
        strcpy(g.dst, c.dst);
        EXPECT_EQ(strlcat(g.dst, c.src, c.size), c.result);
        EXPECT_STREQ(g.dst, c.want);
        EXPECT_TRUE(g.untouched_from(c.size));
    }
}

TEST(Strlcat, UnterminatedDestinationIsLeftAlone)
{
    Guarded g;
    memcpy(g.dst, "abcd", 4); // no NUL among the first 4 bytes
    EXPECT_EQ(strlcat(g.dst, "xyz", 4), 4u + 3u);
    EXPECT_EQ(memcmp(g.dst, "abcd", 4), 0);
    EXPECT_TRUE(g.untouched_from(4));

    Guarded z;
    EXPECT_EQ(strlcat(z.dst, "xyz", 0), 3u);
    EXPECT_TRUE(z.untouched_from(0));
}

} // namespace
