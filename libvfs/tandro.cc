/* tandro: concatenate files to standard output through the virtual file system. */
#include <errno.h>
#include <getopt.h>
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
#include "progress.h"
#include "vfs_utils.h"

namespace
{

constexpr char shortopts[] = ":?-dvhmVTo:O:a:r:l:b:";

/* --help and --version; their values are no characters, so that getopt's
 * answer for "--help=x" (the value in optopt) cannot be taken for a letter. */
enum { long_help = 0x100, long_version };
constexpr struct option long_options[] = {{"help", no_argument, nullptr, long_help},
                                          {"version", no_argument, nullptr, long_version},
                                          {nullptr, 0, nullptr, 0}};

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
    int bad_letter; /* a value letter was refused: the full usage, then status 1 */
};

/* Status of a run whose copy failed, whoever printed why. */
constexpr int copy_failed_status = 2;

void Version(FILE *out)
{
    fprintf(out, "Program:\t%s\nVersion:\t%s\nBuilt:  \t%s\n", "tandro", TANDRO_VERSION,
            TANDRO_BUILT);
    fwrite(notice, 1, sizeof(notice) - 1, out);
}

void full_usage(FILE *out)
{
    fprintf(out, usage_text, program_name, program_name);
    Version(out);
}

/* The full help, or after a usage error a pointer to it; the run's status. */
int Usage(const struct run_state *rs)
{
    if (rs->usage_status != 0) {
        fprintf(stderr, short_usage_text, program_name);
        return rs->usage_status;
    }
    full_usage(stderr);
    return rs->bad_letter ? 1 : 0;
}

/* --help and --version: the text on standard output, where a pager reads it. */
int print_to_stdout(void (*print)(FILE *))
{
    print(stdout);
    if (fflush(stdout) == 0)
        return 0;
    fprintf(stderr, "%s: standard output: %s\n", program_name, strerror(errno));
    return 1;
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

/* A size option's value; "-1" is the all-ones value that means "none". */
bool parse_size(const char *what, const char *value, uint64_t *size)
{
    if (strcmp(value, "-1") == 0) {
        *size = VFS_ERROR;
        return true;
    }
    return size_option(program_name, what, value, 0, INT64_MAX, size);
}

/* How a value was taken: a bad letter waits for the usage text at the end
 * of the options, a bad number ends the run before anything is copied. */
enum class value_taken { good, bad_letter, bad_number };

value_taken parse_number_option(int opt, const char *value, struct vfs_file_info *fi)
{
    bool good = opt == 'l' ? parse_size("record length", value, &fi->datlen)
                           : parse_size("block length", value, &fi->blocklen);
    return good ? value_taken::good : value_taken::bad_number;
}

value_taken parse_value_option(int opt, const char *value, struct vfs_file_info *fi)
{
    bool good = true;
    switch (opt) {
    case 'o':
        good = parse_letter(value, organizations, "organization", &fi->phy_org);
        if (good)
            fi->log_org = fi->phy_org;
        break;
    case 'O':
        good = parse_letter(value, organizations, "organization", &fi->log_org);
        break;
    case 'a':
        good = parse_letter(value, access_modes, "access mode", &fi->access);
        break;
    case 'r':
        good = parse_letter(value, record_formats, "record format", &fi->recfm);
        break;
    case 'l':
    case 'b':
        return parse_number_option(opt, value, fi);
    }
    return good ? value_taken::good : value_taken::bad_letter;
}

/* What an option leaves to do: read the next, stop reading options, or
 * nothing more, as the option ended the run with the status in exit_status
 * (-m, -V, --help, --version, a bad number). */
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

/* --help, --version, or another word that starts with "--" (before a "--" word). */
parsed long_option(int opt, const char *arg, struct run_state *rs, int *exit_status)
{
    if (opt == long_help && strcmp(arg, "--help") == 0) {
        *exit_status = print_to_stdout(full_usage);
        return parsed::finished;
    }
    if (opt == long_version && strcmp(arg, "--version") == 0) {
        *exit_status = print_to_stdout(Version);
        return parsed::finished;
    }
    // Abbreviations too: a later option could make them mean something else.
    fprintf(stderr, "%s: unrecognized option '%s'\n", program_name, arg);
    rs->help = 1;
    rs->usage_status = 1;
    return parsed::stop;
}

parsed value_option(int opt, struct run_state *rs, int *exit_status)
{
    switch (parse_value_option(opt, optarg, &rs->file_info)) {
    case value_taken::good:
        break;
    case value_taken::bad_letter:
        rs->help = 1;
        rs->bad_letter = 1;
        break;
    case value_taken::bad_number:
        *exit_status = 1;
        return parsed::finished;
    }
    return parsed::read_on;
}

parsed parse_option(int opt, const char *argv0, struct run_state *rs, int *exit_status)
{
    switch (opt) {
    case 'h':
        rs->help = 1;
        return parsed::read_on;
    case 'm':
        safe_manpage(argv0, nullptr);
        *exit_status = 0;
        return parsed::finished;
    case 'd':
        debug++;
        return parsed::read_on;
    case 'v':
        verbose++;
        return parsed::read_on;
    case 'V':
        Version(stderr);
        *exit_status = 0;
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
        return value_option(opt, rs, exit_status);
    }
    return usage_error(opt, rs);
}

/*
 * The next option, as getopt_long gives it, with *long_word set when it came
 * from a word that starts with "--". getopt answers '?' with optopt 0 both
 * for -? and for an unknown long option; only the latter moves past its word
 * (as the last letter of a cluster does, in a word of one dash).
 */
int next_option(int argc, char **argv, bool *long_word)
{
    int before = optind;
    int opt = getopt_long(argc, argv, shortopts, long_options, nullptr);
    bool refused = opt == '?' && (optopt == 0 || optopt >= long_help);
    *long_word = opt == long_help || opt == long_version ||
                 (refused && optind > before && strncmp(argv[optind - 1], "--", 2) == 0);
    return opt;
}

/* The options into rs: -1 to go on, or the status the run ends with at once. */
int parse_options(int argc, char **argv, struct run_state *rs)
{
    opterr = 0;
    int opt, exit_status = -1;
    bool long_word;
    while ((opt = next_option(argc, argv, &long_word)) != -1) {
        parsed next;
        if (long_word) {
            // The word just taken: getopt has moved past it.
            next = long_option(opt, argv[optind - 1], rs, &exit_status);
        } else {
            if (debug)
                trace_option(opt);
            next = parse_option(opt, argv[0], rs, &exit_status);
        }
        if (next != parsed::read_on)
            return next == parsed::finished ? exit_status : -1;
    }
    return -1;
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

/* The operand the failure lines and the progress line name from now on. */
void begin_operand(const char *operand)
{
    failing_operand(operand);
    progress_begin(operand);
}

/* One operand's copy: 0, CONCAT_STOP, or other non-zero with errno. */
int concat_operand(const char *operand, struct run_state *rs)
{
    begin_operand(operand);
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
    progress_setup(rs->timeit);
    if (optind >= argc) {
        begin_operand("-");
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
    if (int status = parse_options(argc, argv, &rs); status >= 0)
        return status;
    if (help_wanted(argc, argv, &rs))
        return Usage(&rs);
    return run_copies(argc, argv, &rs);
}
