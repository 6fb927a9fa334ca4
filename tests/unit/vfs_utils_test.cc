// Statistics texts. The program starts in the POSIX locale; the grouping
// case selects a grouping locale for its thread only.
#include <gtest/gtest.h>

#include <limits.h>
#include <locale.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "vfs_utils.h"

namespace
{

// The prefix is chosen on the value, not on its rounding; doubles below 0
// are never scaled.
TEST(Scaled, Texts)
{
    EXPECT_STREQ(vfs_util_u64tosi(0), "0.00");
    EXPECT_STREQ(vfs_util_u64tosi(1023), "1023.00");
    EXPECT_STREQ(vfs_util_u64tosi(1152), "1.12Ki"); // the tie goes to the even digit
    EXPECT_STREQ(vfs_util_u64tosi(1048575), "1024.00Ki");
    EXPECT_STREQ(vfs_util_u64tosi((1ULL << 60) - 1), "1024.00Pi");
    EXPECT_STREQ(vfs_util_u64tosi(UINT64_MAX), "16.00Ei");
    EXPECT_STREQ(vfs_util_dtosi(-1e-17), "0.00");
    EXPECT_STREQ(vfs_util_dtosi(-1e-10), "-0.00");
    EXPECT_STREQ(vfs_util_dtosi(1023.999), "1024.00");
    EXPECT_STREQ(vfs_util_dtosi(-5000.0), "-5000.00");
    EXPECT_STREQ(vfs_util_dtosi(NAN), "nan");
    EXPECT_EQ(strlen(vfs_util_dtosi(-1e300)), 79u); // cut inside its area
    // Each function has its own area.
    char *u = vfs_util_u64tosi(1024);
    EXPECT_STREQ(vfs_util_dtosi(INFINITY), "infEi");
    EXPECT_STREQ(u, "1.00Ki");
}

struct rusage usage(long long usec_user, long long usec_sys)
{
    struct rusage ru = {};
    ru.ru_utime = {time_t(usec_user / 1000000), suseconds_t(usec_user % 1000000)};
    ru.ru_stime = {time_t(usec_sys / 1000000), suseconds_t(usec_sys % 1000000)};
    return ru;
}

clock_t ticks(double seconds)
{
    return clock_t(seconds * double(sysconf(_SC_CLK_TCK)));
}

TEST(Elapsed, Report)
{
    const struct rusage start = usage(1500000, 250000), stop = usage(1510000, 1000000);
    const uint64_t gib = 1ULL << 30, none = 0;
    const clock_t s = 1000, e = s + ticks(2.5);
    EXPECT_STREQ(vfs_util_elapsed(&s, nullptr, &start, &e, nullptr, &stop, &gib),
                 "Elapsed: 2.50s  User: 0.01s  Sys: 0.75s  I/O: 1.00GiB  409.60MiBps");
    EXPECT_STREQ(vfs_util_elapsed(&s, nullptr, &start, &s, nullptr, &stop, &gib),
                 "Elapsed: 0.00s  User: 0.01s  Sys: 0.75s  I/O: 1.00GiB  *Free*");
    EXPECT_STREQ(vfs_util_elapsed(&s, nullptr, &start, &e, nullptr, &stop, &none),
                 "Elapsed: 2.50s  User: 0.01s  Sys: 0.75s  I/O: 0.00B  *Free*");
    // No start usage: the whole CPU time at the end; no count: no I/O part.
    EXPECT_STREQ(vfs_util_elapsed(&s, nullptr, nullptr, &e, nullptr, &stop, nullptr),
                 "Elapsed: 2.50s  User: 1.51s  Sys: 1.00s");
    // The tick counter wrapped between the readings.
    const clock_t late = clock_t(LONG_MAX) - ticks(1.0) + 1,
                  wrapped = clock_t(LONG_MIN) + ticks(1.5);
    EXPECT_STREQ(vfs_util_elapsed(&late, nullptr, &start, &wrapped, nullptr, &stop, nullptr),
                 "Elapsed: 2.50s  User: 0.01s  Sys: 0.75s");
    const char *now =
        vfs_util_elapsed(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(strncmp(now, "Elapsed: ", 9), 0) << now;
}

TEST(Elapsed, GroupedAndCutAt99)
{
    locale_t grouping = newlocale(LC_ALL_MASK, "en_US.UTF-8", nullptr);
    if (grouping == nullptr)
        GTEST_SKIP() << "locale en_US.UTF-8 is not installed (scripts/install-deps.sh makes it)";
    locale_t old = uselocale(grouping);
    const struct rusage zero = usage(0, 0), one = usage(1, 1), long_run = usage(3000000000LL, 0);
    const clock_t s = 0, tick = 1, second = ticks(1.0);
    const uint64_t bytes = 1048575, all = UINT64_MAX;
    EXPECT_STREQ(vfs_util_elapsed(&s, nullptr, &zero, &second, nullptr, &long_run, &bytes),
                 "Elapsed: 1.00s  User: 3,000.00s  Sys: 0.00s  I/O: 1,024.00KiB  1,024.00KiBps");
    // A start usage above the end one wraps to about 1.8e13 seconds of each.
    const std::string text = vfs_util_elapsed(&s, nullptr, &one, &tick, nullptr, &zero, &all);
    uselocale(old);
    freelocale(grouping);
    EXPECT_EQ(text.size(), 99u);
    EXPECT_EQ(text.substr(0, 90), "Elapsed: 0.01s  User: 18,446,744,073,709.55s  Sys: "
                                  "18,446,744,073,709.55s  I/O: 16.00EiB  ");
}

// The clock vfs_util_timestamp reads (time, then gettimeofday), fixed while
// frozen points at an instant.
const struct timeval *frozen;

} // namespace

extern "C" time_t time(time_t *t) noexcept
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    time_t s = frozen != nullptr ? frozen->tv_sec : now.tv_sec;
    if (t != nullptr)
        *t = s;
    return s;
}

extern "C" int gettimeofday(struct timeval *tv, void *) noexcept
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    *tv = frozen != nullptr ? *frozen : timeval{now.tv_sec, suseconds_t(now.tv_nsec / 1000)};
    return 0;
}

namespace
{

// "[name.]pid.YYYYmmdd.HHMMSS.usec" in local time and the standard-time
// offset west of UTC. 2026-03-08 06:59:59 UTC is the last second of standard
// time in New York; a second later summer time has begun.
TEST(Timestamp, NamePidLocalTimeAndOffset)
{
    const struct {
        const char *tz, *name;
        struct timeval now;
        const char *stamp;
    } rows[] = {
        {"UTC", nullptr, {1772953199, 42}, "20260308.065959.000042+0000"},
        {"NST3:30", "log", {1772953199, 999999}, "20260308.032959.999999+0330"},
        {"IST-5:30", "log", {1772953199, 0}, "20260308.122959.000000-05-30"},
        {"EST5EDT,M3.2.0,M11.1.0", "log", {1772953199, 42}, "20260308.015959.000042+0500"},
        {"EST5EDT,M3.2.0,M11.1.0", "a.b", {1772953200, 42}, "20260308.030000.000042+0500"},
    };
    for (const auto &r : rows) {
        setenv("TZ", r.tz, 1);
        frozen = &r.now;
        std::string given = r.name ? r.name : "";
        std::string text = vfs_util_timestamp(r.name ? given.data() : nullptr);
        frozen = nullptr;
        std::string pid = std::to_string(getpid()) + ".";
        EXPECT_EQ(text, (r.name ? given + "." : "") + pid + r.stamp) << r.tz;
    }
    unsetenv("TZ");
    tzset();
    std::string big(5000, 'n');
    EXPECT_EQ(std::string(vfs_util_timestamp(big.data())), std::string(PATH_MAX - 2, 'n'));
}

} // namespace
