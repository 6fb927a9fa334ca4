#include <gtest/gtest.h>

#include <limits.h>
#include <locale.h>
#include <math.h>
#include <regex.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "vfs_utils.h"

namespace
{

// Selects a locale for the current thread for the lifetime of the object.
class ThreadLocale
{
  public:
    explicit ThreadLocale(const char *name)
        : loc_(newlocale(LC_ALL_MASK, name, nullptr)), old_(loc_ ? uselocale(loc_) : nullptr)
    {
    }
    ~ThreadLocale()
    {
        if (loc_) {
            uselocale(old_);
            freelocale(loc_);
        }
    }
    bool ok() const { return loc_ != nullptr; }

  private:
    locale_t loc_;
    locale_t old_;
};

#define USE_GROUPING_LOCALE(var)                                                                   \
    ThreadLocale var("en_US.UTF-8");                                                               \
    if (!var.ok())                                                                                 \
    GTEST_SKIP() << "locale en_US.UTF-8 is not installed (scripts/install-deps.sh generates it)"

TEST(U64tosi, PosixLocaleTable)
{
    ThreadLocale posix("C");
    const struct {
        uint64_t value;
        const char *want;
    } cases[] = {
        {0, "0.00"},
        {1, "1.00"},
        {1023, "1023.00"},
        {1024, "1.00Ki"},
        {1536, "1.50Ki"},
        {1152, "1.12Ki"}, // 1.125: the tie goes to the even digit
        {1048575, "1024.00Ki"},
        {1048576, "1.00Mi"},
        {1ULL << 30, "1.00Gi"},
        {(1ULL << 40) * 3 / 2, "1.50Ti"},
        {1ULL << 50, "1.00Pi"},
        {1ULL << 60, "1.00Ei"},
        {(1ULL << 60) - 1, "1024.00Pi"}, // rounds up in the double, prefix chosen on the integer
        {UINT64_MAX, "16.00Ei"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(vfs_util_u64tosi(c.value), c.want) << c.value;
}

TEST(Dtosi, PosixLocaleTable)
{
    ThreadLocale posix("C");
    const struct {
        double value;
        const char *want;
    } cases[] = {
        {0.0, "0.00"},       {1e-17, "0.00"},       {-1e-17, "0.00"},
        {1e-10, "0.00"},     {-1e-10, "-0.00"},     {1023.999, "1024.00"},
        {1024.0, "1.00Ki"},  {-5000.0, "-5000.00"}, {429496729.6, "409.60Mi"},
        {INFINITY, "infEi"}, {NAN, "nan"},          {-1e30, "-1000000000000000019884624838656.00"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(vfs_util_dtosi(c.value), c.want) << c.value;
}

TEST(Dtosi, OverLongTextIsCutInsideTheArea)
{
    ThreadLocale posix("C");
    const char *text = vfs_util_dtosi(1e100);
    EXPECT_EQ(strlen(text), 79u);
    EXPECT_EQ(std::string(text, 3), "867");
    EXPECT_EQ(strlen(vfs_util_dtosi(-1e300)), 79u);
}

TEST(Scaled, AreasAreDistinctAndReused)
{
    ThreadLocale posix("C");
    char *u = vfs_util_u64tosi(1024);
    char *d = vfs_util_dtosi(2048.0);
    EXPECT_NE(u, d);
    EXPECT_STREQ(u, "1.00Ki");
    EXPECT_STREQ(d, "2.00Ki");
    EXPECT_EQ(vfs_util_u64tosi(3072), u);
    EXPECT_STREQ(u, "3.00Ki");
}

struct rusage usage(long long usec_user, long long usec_sys)
{
    struct rusage ru = {};
    ru.ru_utime.tv_sec = usec_user / 1000000;
    ru.ru_utime.tv_usec = usec_user % 1000000;
    ru.ru_stime.tv_sec = usec_sys / 1000000;
    ru.ru_stime.tv_usec = usec_sys % 1000000;
    return ru;
}

clock_t ticks_for(double seconds)
{
    return clock_t(seconds * double(sysconf(_SC_CLK_TCK)));
}

TEST(Elapsed, ReportFigures)
{
    ThreadLocale posix("C");
    const struct rusage start = usage(1500000, 250000);
    const struct rusage stop = usage(1510000, 1000000);
    const uint64_t gib = 1ULL << 30, twelve_k = 12288, none = 0;
    const clock_t s = 1000, e = s + ticks_for(2.5);

    EXPECT_STREQ(vfs_util_elapsed(&s, nullptr, &start, &e, nullptr, &stop, &gib),
                 "Elapsed: 2.50s  User: 0.01s  Sys: 0.75s  I/O: 1.00GiB  409.60MiBps");
    EXPECT_STREQ(vfs_util_elapsed(&s, nullptr, &start, &s, nullptr, &stop, &twelve_k),
                 "Elapsed: 0.00s  User: 0.01s  Sys: 0.75s  I/O: 12.00KiB  *Free*");
    EXPECT_STREQ(vfs_util_elapsed(&s, nullptr, &start, &e, nullptr, &stop, &none),
                 "Elapsed: 2.50s  User: 0.01s  Sys: 0.75s  I/O: 0.00B  *Free*");
    EXPECT_STREQ(vfs_util_elapsed(&s, nullptr, &start, &e, nullptr, &stop, nullptr),
                 "Elapsed: 2.50s  User: 0.01s  Sys: 0.75s");
    // Without a start usage the whole CPU time at the end is reported.
    EXPECT_STREQ(vfs_util_elapsed(&s, nullptr, nullptr, &e, nullptr, &stop, nullptr),
                 "Elapsed: 2.50s  User: 1.51s  Sys: 1.00s");
    const uint64_t small = 512;
    EXPECT_STREQ(vfs_util_elapsed(&s, nullptr, &start, &e, nullptr, &stop, &small),
                 "Elapsed: 2.50s  User: 0.01s  Sys: 0.75s  I/O: 512.00B  204.80Bps");
}

TEST(Elapsed, LongCpuTimeAndGrouping)
{
    const struct rusage start = usage(0, 0);
    const struct rusage stop = usage(3000LL * 1000000LL, 0);
    const clock_t s = 0, e = ticks_for(1.0);
    {
        ThreadLocale posix("C");
        EXPECT_STREQ(vfs_util_elapsed(&s, nullptr, &start, &e, nullptr, &stop, nullptr),
                     "Elapsed: 1.00s  User: 3000.00s  Sys: 0.00s");
    }
    USE_GROUPING_LOCALE(grouping);
    const uint64_t bytes = 1048575;
    EXPECT_STREQ(vfs_util_elapsed(&s, nullptr, &start, &e, nullptr, &stop, &bytes),
                 "Elapsed: 1.00s  User: 3,000.00s  Sys: 0.00s  I/O: 1,024.00KiB  1,024.00KiBps");
}

TEST(Elapsed, ClockWrapBetweenReadings)
{
    ThreadLocale posix("C");
    const clock_t s = clock_t(LONG_MAX) - ticks_for(1.0) + 1;
    const clock_t e = clock_t(LONG_MIN) + ticks_for(1.5); // 2.5 s after s, modulo the width
    const struct rusage ru = usage(0, 0);
    const uint64_t gib = 1ULL << 30;
    EXPECT_STREQ(vfs_util_elapsed(&s, nullptr, &ru, &e, nullptr, &ru, &gib),
                 "Elapsed: 2.50s  User: 0.00s  Sys: 0.00s  I/O: 1.00GiB  409.60MiBps");
}

TEST(Elapsed, OverLongReportIsCutAt99)
{
    // A start usage above the end one wraps to about 1.8e13 seconds of each.
    const struct rusage start = usage(1, 1);
    const struct rusage stop = usage(0, 0);
    const clock_t s = 0, e = 1;
    const uint64_t bytes = UINT64_MAX;
    USE_GROUPING_LOCALE(grouping);
    const char *text = vfs_util_elapsed(&s, nullptr, &start, &e, nullptr, &stop, &bytes);
    const std::string head = "Elapsed: 0.01s  User: 18,446,744,073,709.55s  Sys: "
                             "18,446,744,073,709.55s  I/O: 16.00EiB  ";
    EXPECT_EQ(strlen(text), 99u);
    EXPECT_EQ(std::string(text).substr(0, head.size()), head);
}

TEST(Elapsed, MissingEndReadingsAreTakenNow)
{
    ThreadLocale posix("C");
    const char *text =
        vfs_util_elapsed(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    regex_t re;
    ASSERT_EQ(regcomp(&re,
                      "^Elapsed: -?[0-9]+\\.[0-9]{2}s  User: [0-9]+\\.[0-9]{2}s  Sys: "
                      "[0-9]+\\.[0-9]{2}s$",
                      REG_EXTENDED | REG_NOSUB),
              0);
    EXPECT_EQ(regexec(&re, text, 0, nullptr, 0), 0) << text;
    regfree(&re);
}

// Sets TZ per case and puts the previous setting back afterwards.
class TimestampTest : public testing::Test
{
  protected:
    void TearDown() override
    {
        old_tz_ ? setenv("TZ", old_tz_->c_str(), 1) : unsetenv("TZ");
        tzset();
    }
    static void set_zone(const char *zone)
    {
        setenv("TZ", zone, 1);
        tzset();
    }
    static std::string local_stamp(time_t t)
    {
        struct tm tm;
        localtime_r(&t, &tm);
        char buf[80];
        strftime(buf, sizeof buf, "%Y%m%d.%H%M%S", &tm);
        return buf;
    }

  private:
    std::optional<std::string> old_tz_ =
        getenv("TZ") ? std::optional<std::string>(getenv("TZ")) : std::nullopt;
};

// "[name.]pid.YYYYmmdd.HHMMSS.usec" and the zone's offset west of UTC.
TEST_F(TimestampTest, NamePidStampAndOffset)
{
    const struct {
        const char *tz, *name, *prefix, *offset;
    } zones[] = {
        {"UTC", "out", "out.", "+0000"},
        {"UTC", nullptr, "", "+0000"},
        {"UTC", "", "", "+0000"},
        {"EST5", "log", "log.", "+0500"},
        {"CET-1", "log", "log.", "-0100"},
        {"NST3:30", "log", "log.", "+0330"},
        {"IST-5:30", "log", "log.", "-05-30"},
        {"EST5EDT,M3.2.0,M11.1.0", "log", "log.", "+0500"},
        {"AEST-10AEDT,M10.1.0,M4.1.0/3", "log", "log.", "-1000"},
    };
    const std::string pid = std::to_string(getpid());
    for (const auto &z : zones) {
        set_zone(z.tz);
        std::string name = z.name ? z.name : "";
        time_t before = time(nullptr);
        std::string text = vfs_util_timestamp(z.name ? name.data() : nullptr);
        time_t after = time(nullptr);
        SCOPED_TRACE(std::string(z.tz) + ": " + text);
        std::string prefix = z.prefix + pid + ".";
        ASSERT_EQ(text.compare(0, prefix.size(), prefix), 0);
        std::string rest = text.substr(prefix.size());
        ASSERT_EQ(rest.size(), 15 + 1 + 6 + strlen(z.offset));
        std::string stamp = rest.substr(0, 15);
        EXPECT_TRUE(stamp == local_stamp(before) || stamp == local_stamp(after)) << stamp;
        EXPECT_EQ(rest[15], '.');
        EXPECT_EQ(rest.substr(16, 6).find_first_not_of("0123456789"), std::string::npos);
        EXPECT_EQ(rest.substr(22), z.offset);
    }
}

TEST_F(TimestampTest, OverLongNameStaysInsideTheArea)
{
    set_zone("UTC");
    std::string big(5000, 'n');
    const char *text = vfs_util_timestamp(big.data());
    EXPECT_EQ(strlen(text), size_t(PATH_MAX - 2));
    EXPECT_EQ(std::string(text).find_first_not_of('n'), std::string::npos);
}

} // namespace
