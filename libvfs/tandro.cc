/* tandro: concatenate files to standard output through the virtual file system. */
#include <errno.h>
#include <libgen.h>
#include <limits.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/times.h>
#include <unistd.h>

#include "build_info.h"
#include "libports.h"
#include "copiers.h"
#include "library_error.h"
#include "vfs_utils.h"

namespace
{

constexpr char shortopts[] = ":?-dvhmVTo:O:a:r:l:b:";

constexpr char usage_text[] =
    "Description: %s\n\nVirtual File System (VFS) file concatenation.\nWith no filename, or when "
    "filename is '-', read standard input.\n\nUsage: %s [option]... [--] [filename]...\noption:\n"
    "\t-h|-\\?   This help information\n\t-man     Display the man page\n\n\t-d       "
    "Debugging\n\t-v       Verbosity\n\t-V       Version\n\n\t-T       Time execution\n\n\t-r:   "
    "   Record format f|v\n\t-l:      Record length\n\tfilename...  File name(s)\n\n";

constexpr char short_usage_text[] = "See `%s -h | -man` for brief | verbose details.\n";

// Fixed identification lines, found in the binary by what(1)-style tools.
constexpr char notice[] =
    "@(#) tandro - concatenate files to standard output through a virtual file system\n"
    "@(#) Copyright (c) the tandro developers. All rights reserved.\n"
    "@(#) Reads byte-stream, record-sequential, line-sequential and queued files.\n"
    "@(#) Moves data with splice, copy_file_range and sendfile where the kernel can.\n"
    "@(#) This program is distributed in the hope that it will be useful, but\n"
    "@(#) WITHOUT ANY WARRANTY; without even the implied warranty of MERCHANTABILITY\n"
    "@(#) or FITNESS FOR A PARTICULAR PURPOSE. Report problems to the developers.\n"
    "@(#) Use, copy and change freely; keep this note.\n";
static_assert(sizeof(notice) - 1 == 581, "the notice block is 581 bytes");

// Run-wide state: owned by main for the whole run.
struct run_state {
    char filename[1024];
    struct vfs_shlock shlock;
    struct vfs_file_info file_info;
    int help;
    int timeit;
    int usage_status;
};

/* Status of a run whose copy failed, whoever printed why. */
constexpr int copy_failed_status = 2;

void Version()
{
    fprintf(stderr, "Program:\t%s\nVersion:\t%s\nBuilt:  \t%s\n", "tandro", TANDRO_VERSION,
            TANDRO_BUILT);
    fwrite(notice, 1, sizeof(notice) - 1, stderr);
}

/* The full help for status 0, else a pointer to it; the run's status. */
int Usage(int status)
{
    if (status == 0) {
        fprintf(stderr, usage_text, program_name, program_name);
        Version();
    } else {
        fprintf(stderr, short_usage_text, program_name);
    }
    return status;
}

void init_state(struct run_state *rs)
{
    memset(rs, 0, sizeof(*rs));
    struct vfs_file_info *fi = &rs->file_info;
    fi->version = 0;
    fi->blocklen = 0;
    fi->min_datlen = VFS_ERROR;
    fi->datlen = VFS_ERROR;
    fi->flags = 0;
    fi->fhandle = "vfs_cli";
    fi->fname = rs->filename;
    fi->shlock = &rs->shlock;
    fi->phy_org = vfs_org_sequential;
    fi->log_org = vfs_org_sequential;
    fi->access = vfs_acc_sequential;
    fi->recfm = vfs_rec_unk;
}

void trace_option(int opt)
{
    const char *arg = optarg ? optarg : " ";
    fprintf(stderr, "getopt: opt=%c optopt=%c/%d optarg=%c/%s optind=%d opterr=%d\n", opt, optopt,
            optopt, arg[0], arg, optind, opterr);
}

/* A value letter and the setting it stands for. */
template <typename Setting> struct letter_setting {
    char letter;
    Setting setting;
};

constexpr letter_setting<vfs_organization> organizations[] = {
    {'r', vfs_org_relative}, {'s', vfs_org_sequential}, {'i', vfs_org_indexed}};
constexpr letter_setting<vfs_access> access_modes[] = {
    {'r', vfs_acc_random}, {'s', vfs_acc_sequential}, {'d', vfs_acc_dynamic}};
constexpr letter_setting<vfs_recformat> record_formats[] = {{'f', vfs_rec_fixed},
                                                            {'v', vfs_rec_variable}};

/*
 * Only the first letter of value counts. A letter outside the table is
 * reported as an invalid what, and false returned: help is then wanted,
 * while the usage status is left alone.
 */
template <typename Setting, size_t N>
bool parse_letter(const char *value, const letter_setting<Setting> (&table)[N], const char *what,
                  Setting *setting)
{
    for (const auto &row : table) {
        if (row.letter == value[0]) {
            *setting = row.setting;
            return true;
        }
    }
    fprintf(stderr, "Invalid %s (%s)\n", what, value);
    return false;
}

/*
 * Size values are read as the target's signed long (32 bits on the shipped
 * build, so big numbers clamp as strtol clamps them), then scaled by one
 * lower-case suffix letter. A negative value stays as it is: -1 means "none".
 */
uint64_t parse_size(const char *value)
{
    char *end = nullptr;
    long number = strtol(value, &end, 0);
    uint64_t size = (uint64_t)(int64_t)number;
    switch (*end) {
    case 'k':
        return size << 10;
    case 'm':
        return size << 20;
    case 'g':
        return size << 30;
    }
    return size;
}

/* Acts on a value option; false for a bad letter (help is then wanted). */
bool parse_value_option(int opt, const char *value, struct vfs_file_info *fi)
{
    switch (opt) {
    case 'o':
        if (!parse_letter(value, organizations, "organization", &fi->phy_org))
            return false;
        fi->log_org = fi->phy_org;
        return true;
    case 'O':
        return parse_letter(value, organizations, "organization", &fi->log_org);
    case 'a':
        return parse_letter(value, access_modes, "access mode", &fi->access);
    case 'r':
        return parse_letter(value, record_formats, "record format", &fi->recfm);
    case 'l':
        fi->datlen = parse_size(value);
        return true;
    case 'b':
        fi->blocklen = parse_size(value);
        return true;
    }
    return true;
}

/* What an option leaves to do: read the next, stop reading options, or
 * nothing, as the option was the whole run (status 0). */
enum class parsed { read_on, stop, finished };

/* getopt's '?' (an unknown letter, or -? itself) and ':' (a missing value). */
parsed usage_error(int opt, struct run_state *rs)
{
    rs->help = 1;
    if (opt == '?' && (optopt == 0 || optopt == '?'))
        return parsed::read_on;
    if (opt == '?')
        fprintf(stderr, "Unknown option (-%c).\n", optopt);
    else if (opt == ':')
        fprintf(stderr, "Missing value for option (-%c).\n", optopt);
    rs->usage_status = 1;
    return parsed::stop;
}

parsed parse_option(int opt, const char *argv0, struct run_state *rs)
{
    switch (opt) {
    case 'h':
        rs->help = 1;
        return parsed::read_on;
    case 'm':
        safe_manpage(argv0, nullptr);
        return parsed::finished;
    case 'd':
        debug++;
        return parsed::read_on;
    case 'v':
        verbose++;
        return parsed::read_on;
    case 'V':
        Version();
        return parsed::finished;
    case 'T':
        rs->timeit = 1;
        return parsed::read_on;
    case '-':
        return parsed::stop;
    case 'o':
    case 'O':
    case 'a':
    case 'r':
    case 'l':
    case 'b':
        if (!parse_value_option(opt, optarg, &rs->file_info))
            rs->help = 1;
        return parsed::read_on;
    }
    return usage_error(opt, rs);
}

/* --help and --version as the first argument are -h and -V; later, as ./--help or
 * after --, such a name is a file. */
void take_long_spelling(int argc, char **argv)
{
    static char help[] = "-h", version[] = "-V";
    if (argc > 1 && strcmp(argv[1], "--help") == 0)
        argv[1] = help;
    else if (argc > 1 && strcmp(argv[1], "--version") == 0)
        argv[1] = version;
}

/* True when an option was the whole run (-m, -V). */
bool parse_options(int argc, char **argv, struct run_state *rs)
{
    take_long_spelling(argc, argv);
    opterr = 0;
    int opt;
    while ((opt = getopt(argc, argv, shortopts)) != -1) {
        if (debug)
            trace_option(opt);
        parsed next = parse_option(opt, argv[0], rs);
        if (next != parsed::read_on)
            return next == parsed::finished;
    }
    return false;
}

/* "?", "/?" and "\?" as the first operand ask for help, as on other systems. */
bool help_wanted(int argc, char **argv, const struct run_state *rs)
{
    if (rs->help)
        return true;
    if (optind >= argc)
        return false;
    const char *arg = argv[optind];
    return arg[0] == '?' || strncmp(arg, "/?", 2) == 0 || strncmp(arg, "\\?", 2) == 0;
}

/* The run's status after one copy's answer (0, CONCAT_STOP, or other with
 * errno); a failure that printed no closing line gets it here. */
int copy_status(int rc)
{
    if (rc == 0)
        return 0;
    if (rc != CONCAT_STOP)
        report_concatenate_failed(errno);
    return copy_failed_status;
}

/* One operand's copy: 0, CONCAT_STOP, or other non-zero with errno. */
int concat_operand(const char *operand, struct run_state *rs)
{
    // A cut name could name another file: refuse it instead.
    if (strlcpy(rs->filename, operand, sizeof(rs->filename)) >= sizeof(rs->filename)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (strcmp(rs->filename, "-") != 0)
        return concat_file(rs->filename, &rs->file_info);
    if (verbose)
        fprintf(stderr, "Concatenating %s-%s\n", "stdio", "stdin");
    return concat_stdio(nullptr);
}

/* The first operand that fails ends the run. */
int concat_operands(int argc, char **argv, struct run_state *rs)
{
    for (int i = optind; i < argc; i++) {
        int status = copy_status(concat_operand(argv[i], rs));
        if (status != 0)
            return status;
    }
    return 0;
}

struct timing {
    clock_t starte, stope;
    struct tms startt, stopt;
    struct rusage startu, stopu;
};

void start_timing(struct timing *t)
{
    t->starte = times(&t->startt);
    getrusage(RUSAGE_SELF, &t->startu);
}

void report_timing(struct timing *t)
{
    char elapsed[100];
    t->stope = times(&t->stopt);
    getrusage(RUSAGE_SELF, &t->stopu);
    const char *text = vfs_util_elapsed(&t->starte, nullptr, &t->startu, &t->stope, nullptr,
                                        &t->stopu, &file_size);
    strlcpy(elapsed, text ? text : "", sizeof(elapsed));
    fprintf(stderr, "%s\n", elapsed);
    fprintf(stderr, "CPU Copies: 0 - %'lld  3/4 - %'lld  4/5 - %'lld\n", (long long)zero_copies,
            (long long)tripl_copies, (long long)pent_copies);
}

/* Copies standard input when there is no operand, then each operand, timed for -T. */
int copy_input(int argc, char **argv, struct run_state *rs)
{
    if (optind >= argc) {
        int status = copy_status(concat_stdio(nullptr));
        if (status != 0)
            return status;
    }

    // Files are always read sequentially, whatever -o, -O and -a asked for.
    rs->file_info.phy_org = vfs_org_sequential;
    rs->file_info.log_org = vfs_org_sequential;
    rs->file_info.access = vfs_acc_sequential;

    struct timing t;
    if (rs->timeit)
        start_timing(&t);
    int status = concat_operands(argc, argv, rs);
    if (status == 0 && rs->timeit)
        report_timing(&t);
    return status;
}

/* The copy with standard output tuned for it. */
int run_copies(int argc, char **argv, struct run_state *rs)
{
    // Standard output is tuned before the copy of standard input too: a pipe
    // left at its default 64 KiB takes several times more calls to fill.
    void *stdout_buffer = fast_stream(stdout);
    int status = copy_input(argc, argv, rs);
    if (stdout_buffer != nullptr) {
        fclose(stdout);
        free(stdout_buffer);
    }
    return status;
}

/* POSIX basename may modify its argument, so it works on a copy that lives for the run. */
void set_program_name(const char *argv0)
{
    static char name[PATH_MAX];
    strlcpy(name, argv0 ? argv0 : "tandro", sizeof(name));
    program_name = basename(name);
}

} // namespace

int main(int argc, char **argv)
{
    // Before any open: a closed standard descriptor would otherwise receive
    // a file we open and mix our data or messages into it.
    safe_stdfds();
    set_program_name(argv[0]);

    PREP_RELOCATE();
    self_relocate(argc, const_cast<const char **>(argv));
    // Only here: the supervising process reads the locale only to print a message.
    setlocale(LC_ALL, "");

    static struct run_state rs;
    init_state(&rs);
    if (parse_options(argc, argv, &rs))
        return 0;
    if (help_wanted(argc, argv, &rs))
        return Usage(rs.usage_status);
    return run_copies(argc, argv, &rs);
}
