#include "progress.h"

#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "errno_keeper.h"
#include "fast_stream.h"
#include "vfs_utils.h"

namespace
{

constexpr int64_t chunk_most = INT64_C(64) << 20;
constexpr int64_t chunk_least = INT64_C(1) << 20;
constexpr int64_t redraw_ns = 250'000'000; // four times a second at most

struct progress_state {
    bool wanted;  /* -T, standard error a terminal that standard output is not */
    bool shown;   /* the line is on the terminal now */
    size_t drawn; /* its length there */
    const char *name;
    uint64_t moved;
    uint64_t total; /* 0: not known */
    int64_t began;  /* the operand's start, ns */
    int64_t drew;   /* the last redraw (or the run's start), ns */
} line;

int64_t now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1'000'000'000 + ts.tv_nsec;
}

/* Only a run in the terminal's foreground may draw on it: one moved to the
 * background (Ctrl-Z, bg) would write over the shell's prompt. */
bool in_foreground()
{
    pid_t group = tcgetpgrp(2);
    return group != -1 && group == getpgrp();
}

bool same_terminal(int a, int b)
{
    struct stat sa, sb;
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && S_ISCHR(sa.st_mode) && S_ISCHR(sb.st_mode) &&
           sa.st_rdev == sb.st_rdev;
}

/* One write, never waited for: a line that cannot be drawn now is not. */
bool put(const char *text, size_t len)
{
    errno_keeper keep;
    return write(2, text, len) == (ssize_t)len;
}

size_t columns()
{
    struct winsize ws;
    if (ioctl(2, TIOCGWINSZ, &ws) != 0 || ws.ws_col < 20)
        return 80;
    return ws.ws_col;
}

/* "NAME  BYTES  RATE  PERCENT", the name cut from the left to fit the width. */
size_t compose(char *text, size_t size, int64_t now)
{
    char figures[128];
    double seconds = (double)(now - line.began) / 1e9;
    int n = snprintf(figures, sizeof figures, "  %sB", vfs_util_u64tosi(line.moved));
    if (seconds > 0)
        n += snprintf(figures + n, sizeof figures - (size_t)n, "  %sBps",
                      vfs_util_dtosi((double)line.moved / seconds));
    if (line.total > 0)
        snprintf(figures + n, sizeof figures - (size_t)n, "  %d%%",
                 (int)std::min<uint64_t>(100, line.moved * 100 / line.total));
    size_t room = std::min(size, columns()) - 1; // the last column would wrap
    size_t keep = std::min(strlen(line.name), room > strlen(figures) ? room - strlen(figures) : 0);
    snprintf(text, size, "%s%s", line.name + strlen(line.name) - keep, figures);
    return std::min(strlen(text), room);
}

void draw(int64_t now)
{
    line.drew = now;
    if (!in_foreground())
        return;
    char text[256], out[2 * sizeof text + 2];
    size_t len = compose(text, sizeof text, now);
    // Blanks over what a longer line before left.
    size_t pad = line.shown && line.drawn > len ? line.drawn - len : 0;
    int n = snprintf(out, sizeof out, "\r%.*s%*s", (int)len, text, (int)pad, "");
    if (put(out, (size_t)n)) {
        line.shown = true;
        line.drawn = len + pad;
    }
}

} // namespace

void progress_setup(int timeit)
{
    line.wanted = timeit && isatty(2) == 1 && !same_terminal(1, 2);
    if (!line.wanted)
        return;
    before_messages(progress_erase);
    line.drew = now_ns();
}

void progress_begin(const char *name)
{
    line.name = name;
    line.moved = 0;
    line.total = 0;
    line.began = now_ns();
}

void progress_total(uint64_t bytes)
{
    line.total = bytes;
}

void progress_input(int fd)
{
    struct stat st;
    if (line.wanted && fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        line.total = (uint64_t)st.st_size;
}

void progress_moved(uint64_t bytes)
{
    if (!line.wanted)
        return;
    line.moved += bytes;
    int64_t now = now_ns();
    if (now - line.drew >= redraw_ns)
        draw(now);
}

int64_t progress_chunk(int64_t limit)
{
    if (!line.wanted || !in_foreground())
        return limit;
    // A call that takes a second or more holds the line still: a slow copy
    // takes what three quarters of a second move at its rate so far.
    int64_t spent = now_ns() - line.began;
    int64_t chunk = chunk_most;
    if (spent > redraw_ns && line.moved > 0)
        chunk = std::clamp((int64_t)((double)line.moved * 1e9 / (double)spent * 0.75), chunk_least,
                           chunk_most);
    return std::min(limit, chunk);
}

void progress_erase(void)
{
    if (!line.shown)
        return;
    line.shown = false;
    if (!in_foreground())
        return;
    char out[2 * 256 + 2];
    int n = snprintf(out, sizeof out, "\r%*s\r", (int)line.drawn, "");
    put(out, (size_t)n);
}
