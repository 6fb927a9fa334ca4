#include "vfs_utils.h"

#include <float.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include <type_traits>

namespace
{

struct binary_prefix {
    uint64_t threshold;
    const char *text;
};

/* Largest first; the threshold is a power of two, so scaling by it is exact. */
constexpr binary_prefix prefixes[] = {
    {1ULL << 60, "Ei"}, {1ULL << 50, "Pi"}, {1ULL << 40, "Ti"},
    {1ULL << 30, "Gi"}, {1ULL << 20, "Mi"}, {1ULL << 10, "Ki"},
};

char u64_sival[80];
char d_sival[80];
char elapsed_text[100];
char fullname[PATH_MAX];

/* Over-long texts are cut by snprintf at the end of the area. */
char *format_scaled(char (&area)[80], double value, const char *prefix)
{
    snprintf(area, sizeof area, "%'.2f%s", value, prefix);
    return area;
}

uint64_t usec_total(const struct timeval &tv)
{
    return uint64_t(tv.tv_sec) * 1000000ULL + uint64_t(tv.tv_usec);
}

/*
 * Seconds between two tick readings. The difference is taken modulo the
 * width of clock_t so that one wrap of the counter still comes out right.
 */
double elapsed_seconds(const clock_t *sclk, clock_t end)
{
    using uclock = std::make_unsigned_t<clock_t>;
    clock_t ticks = sclk ? clock_t(uclock(end) - uclock(*sclk)) : end;
    long hz = sysconf(_SC_CLK_TCK);
    /* Linux reports times() in units of 100 per second; assume that if asked in vain. */
    if (hz <= 0)
        hz = 100;
    return double(ticks) / double(hz);
}

} // namespace

char *vfs_util_u64tosi(const uint64_t uvalue)
{
    double value = double(uvalue);
    if (uvalue == 0)
        return format_scaled(u64_sival, 0.0, "");
    for (const auto &p : prefixes)
        if (uvalue >= p.threshold)
            return format_scaled(u64_sival, value * (1.0 / double(p.threshold)), p.text);
    return format_scaled(u64_sival, value, "");
}

char *vfs_util_dtosi(const double value)
{
    if (fabs(value) <= DBL_EPSILON)
        return format_scaled(d_sival, 0.0, "");
    for (const auto &p : prefixes)
        if (value >= double(p.threshold))
            return format_scaled(d_sival, value * (1.0 / double(p.threshold)), p.text);
    return format_scaled(d_sival, value, "");
}

char *vfs_util_elapsed(const clock_t *sclk, const struct tms *stms, const struct rusage *sru,
                       const clock_t *eclk, const struct tms *etms, const struct rusage *eru,
                       const uint64_t *bytes)
{
    (void)stms;
    (void)etms;
    struct tms scratch;
    clock_t end = eclk ? *eclk : times(&scratch);
    struct rusage end_ru;
    if (eru)
        end_ru = *eru;
    else if (getrusage(RUSAGE_THREAD, &end_ru) != 0)
        memset(&end_ru, 0, sizeof end_ru);

    double secs = elapsed_seconds(sclk, end);
    uint64_t su = sru ? usec_total(sru->ru_utime) : 0;
    uint64_t ss = sru ? usec_total(sru->ru_stime) : 0;
    double user = double(usec_total(end_ru.ru_utime) - su) / 1000000.0;
    double sys = double(usec_total(end_ru.ru_stime) - ss) / 1000000.0;

    int n = snprintf(elapsed_text, sizeof elapsed_text,
                     "Elapsed: %'.2fs  User: %'.2fs  Sys: %'.2fs", secs, user, sys);
    if (bytes == nullptr || n < 0 || size_t(n) >= sizeof elapsed_text - 1)
        return elapsed_text;

    char byte_text[80];
    snprintf(byte_text, sizeof byte_text, "%s", vfs_util_u64tosi(*bytes));
    char rate_text[80] = "*Free*";
    const char *unit = "";
    if (fabs(secs) > DBL_EPSILON && *bytes != 0) {
        snprintf(rate_text, sizeof rate_text, "%s", vfs_util_dtosi(double(*bytes) / secs));
        unit = "Bps";
    }
    /* A text longer than the area is cut there, as every text of this file is. */
    if (snprintf(elapsed_text + n, sizeof elapsed_text - size_t(n), "  I/O: %sB  %s%s", byte_text,
                 rate_text, unit) < 0)
        elapsed_text[n] = '\0';
    return elapsed_text;
}

char *vfs_util_timestamp(char *name)
{
    tzset();
    int hour = int(timezone / 3600);
    int minute = int((timezone % 3600) / 60);

    time_t now = time(nullptr);
    struct tm local;
    memset(&local, 0, sizeof local);
    localtime_r(&now, &local);
    struct timeval tv = {};
    gettimeofday(&tv, nullptr);
    long long pid = getpid();

    char stamp[80];
    if (strftime(stamp, sizeof stamp, "%Y%m%d.%H%M%S", &local) == 0)
        stamp[0] = '\0';

    const size_t bound = sizeof fullname - 1;
    int usec = int(tv.tv_usec);
    if (name == nullptr || name[0] == '\0') {
        snprintf(fullname, bound, "%lld.%s.%6.6d%+2.2d%2.2d", pid, stamp, usec, hour, minute);
        return fullname;
    }
    /* Longer names are cut by the bound anyway; this keeps the width an int. */
    int len = int(strnlen(name, sizeof fullname));
    snprintf(fullname, bound, "%*.*s.%lld.%s.%6.6d%+2.2d%2.2d", len, len, name, pid, stamp, usec,
             hour, minute);
    return fullname;
}
