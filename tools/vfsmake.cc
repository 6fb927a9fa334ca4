// vfsmake: makes record files of every layout the library reads, from text
// lines or fixed-size chunks, and lists the records of such files.
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "output_file.h"
#include "read_record.h"
#include "safe_stdfds.h"
#include "size_value.h"
#include "vfs_api.h"
#include "vfs_internal.h"

namespace
{

const uint32_t lookup = 1;

// The name the program was run under, as every message starts.
const char *program = "vfsmake";

// A chunk is one record, so it is bounded by the library's longest record.
constexpr uint64_t chunk_max = UINT64_C(16) << 20;

const char usage[] =
    "Usage: %s [option]... name\n"
    "Make a record file from text lines or fixed-size chunks, or list its records.\n"
    "\n"
    "  -i file   read the records from file instead of standard input\n"
    "  -c size   each record is the next size bytes of the input, not a line\n"
    "  -x        list: write the records of name to standard output, one per line\n"
    "  -h        this help\n"
    "\n"
    "name is [driver[,option]...:]path, driver one of umb (record sequential),\n"
    "tev (line sequential), dox (queued sequential), yar (keyed, sorted here by\n"
    "key), oka (byte stream); options recfm=f|fb|v|vb, lrecl=N, blksize=N,\n"
    "varfmt=0..3, header, noheader, order=le|be|native, keypos=N, keylen=N,\n"
    "codepage=NAME (records written in that code page, read from UTF-8 or\n"
    "to=NAME), subst=C (for a character the code page lacks).\n"
    "Sizes may end in k or m. Short fixed records are padded with spaces.\n"
    "\n"
    "dox files as mainframes and transfer tools write them:\n"
    "  recfm=vs|vbs   records cut into segments     dox,recfm=vbs,blksize=32760:o\n"
    "  order=le       words stored low byte first   dox,recfm=v,order=le:o\n"
    "  rdwlen=data    RDWs count the data only      dox,recfm=vb,rdwlen=data:o\n"
    "  skip=N         N zero bytes before records   dox,recfm=v,skip=100:o\n"
    "  trailer=N      N zero bytes after them       dox,recfm=f,lrecl=80,trailer=12:o\n"
    "  codepage=NAME  also double-byte pages, SO/SI dox,recfm=v,codepage=IBM930:o\n"
    "See vfsmake(1).\n";

struct settings {
    const char *input = nullptr;
    size_t chunk = 0;
    bool list = false;
    const char *name = nullptr;
};

const char *lib_text(vfs_file *fh, int err)
{
    uint32_t n = static_cast<uint32_t>(err);
    return vfs_api.vfs_strerror(fh, n, &n, &lookup);
}

int fail(const char *what, const char *text)
{
    fprintf(stderr, "%s: %s: %s\n", program, what, text);
    return 1;
}

// A name split as the library splits it: at the first colon when what comes
// before it starts with a driver id. A plain path has no prefix.
struct split_name {
    std::string prefix; // "driver[,option]...:" or empty
    std::string path;
};

split_name split(std::string_view name)
{
    static constexpr std::string_view ids[] = {"oka", "umb", "tev", "dox", "yar"};
    size_t colon = name.find(':');
    if (colon == std::string_view::npos)
        return {"", std::string(name)};
    std::string_view head = name.substr(0, colon);
    std::string_view id = head.substr(0, head.find(','));
    if (std::find(std::begin(ids), std::end(ids), id) == std::end(ids))
        return {"", std::string(name)};
    return {std::string(name.substr(0, colon + 1)), std::string(name.substr(colon + 1))};
}

// The text of option key in a prefix (the last one given, as the library
// takes it), or empty.
std::string prefix_text(std::string_view prefix, std::string_view key)
{
    std::string_view value;
    std::string_view opts = prefix.substr(0, prefix.size() - 1);
    for (size_t at = opts.find(','); at != std::string_view::npos; at = opts.find(',', at + 1)) {
        std::string_view opt = opts.substr(at + 1);
        opt = opt.substr(0, opt.find(','));
        if (opt.size() > key.size() && opt.substr(0, key.size()) == key && opt[key.size()] == '=')
            value = opt.substr(key.size() + 1);
    }
    return std::string(value);
}

// The value of size option key in a prefix (one the library took), or 0.
uint64_t prefix_value(std::string_view prefix, std::string_view key)
{
    uint64_t value = 0;
    parse_size_value(prefix_text(prefix, key).c_str(), UINT64_MAX, &value);
    return value;
}

// rec in the code page cd converts to, as the library stores it: a
// character the page lacks becomes subst (when given), the whole of a UTF-8
// one; a page with shifts is shifted back in before it and at the end.
std::string to_page(iconv_t cd, const std::string &rec, const std::string &subst)
{
    // No page takes more than four bytes a byte, shifts included.
    std::string out(4 * rec.size() + 4, '\0');
    char *ip = const_cast<char *>(rec.data()), *op = out.data();
    size_t il = rec.size(), ol = out.size();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    while (il > 0 && iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1) && ol > 4) {
        do {
            ip++;
            il--;
        } while (il > 0 && (*ip & 0xc0) == 0x80);
        iconv(cd, nullptr, nullptr, &op, &ol);
        std::string s = subst.empty() ? "" : to_page(cd, subst, "");
        size_t k = std::min(s.size(), ol);
        op = std::copy_n(s.data(), k, op);
        ol -= k;
    }
    iconv(cd, nullptr, nullptr, &op, &ol);
    out.resize(out.size() - ol);
    return out;
}

// The records as the library stores them: in the code page the name gives,
// where keys compare.
std::vector<std::string> as_stored(const std::vector<std::string> &recs, std::string_view prefix)
{
    std::string page = prefix_text(prefix, "codepage"), to = prefix_text(prefix, "to");
    iconv_t cd = page.empty() ? reinterpret_cast<iconv_t>(-1)
                              : iconv_open(page.c_str(), to.empty() ? "UTF-8" : to.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) // none, or one the library refuses
        return recs;
    std::vector<std::string> stored;
    for (const std::string &r : recs)
        stored.push_back(to_page(cd, r, prefix_text(prefix, "subst")));
    iconv_close(cd);
    return stored;
}

// Keyed files take their records in key order, the key as the library
// compares it; equal keys keep input order.
void sort_by_key(std::vector<std::string> &recs, std::string_view prefix)
{
    uint64_t pos = prefix_value(prefix, "keypos");
    uint64_t len = prefix_value(prefix, "keylen");
    std::vector<std::string> stored = as_stored(recs, prefix);
    auto key = [&](const std::string &r) {
        std::string_view v(r);
        if (len == 0)
            return v.substr(0, VFS_KEYLEN_MAX);
        if (pos >= v.size()) // too short for its key: the library refuses it
            return std::string_view();
        return v.substr(static_cast<size_t>(pos),
                        static_cast<size_t>(std::min<uint64_t>(len, VFS_KEYLEN_MAX)));
    };
    std::vector<size_t> order(recs.size());
    for (size_t i = 0; i < order.size(); i++)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return key(stored[a]) < key(stored[b]); });
    std::vector<std::string> sorted;
    for (size_t i : order)
        sorted.push_back(std::move(recs[i]));
    recs = std::move(sorted);
}

// The next record of the input: a line without its LF, or a chunk (the
// last one may be shorter). False at the end or on a read error.
bool next_record(FILE *in, size_t chunk, std::string &rec)
{
    rec.clear();
    if (chunk != 0) {
        rec.resize(chunk);
        rec.resize(fread(rec.data(), 1, chunk, in));
        return !rec.empty();
    }
    int ch;
    while ((ch = getc_unlocked(in)) != EOF && ch != '\n')
        rec.push_back(static_cast<char>(ch));
    return ch != EOF || !rec.empty();
}

struct writer {
    const struct vfs_api *api;
    vfs_file *fh;
    const char *name;
    size_t count = 0;
    bool put(std::string &rec)
    {
        vfs_iovec iov{rec.size(), rec.data()};
        count++;
        if (api->vfs_write(fh, &iov, 1, nullptr, nullptr, vfs_pos_next, UINT64_C(0)) != VFS_ERROR)
            return true;
        fprintf(stderr, "%s: %s: record %zu: %s\n", program, name, count, lib_text(fh, errno));
        return false;
    }
};

// Writes the records of in into a file made by the library under
// create_name; messages name the file as the user did (shown).
bool write_records(const settings &s, FILE *in, std::string create_name, std::string_view prefix)
{
    vfs_file_info info{};
    info.datlen = VFS_ERROR;
    info.records = VFS_ERROR;
    info.fname = create_name.data();
    if (vfs_api.vfs_create(&info) != 0)
        return fail(s.name, lib_text(nullptr, errno)), false;
    writer w{info.api, info.fh, s.name};
    bool keyed = prefix.substr(0, 3) == "yar";
    std::vector<std::string> keep;
    std::string rec;
    bool ok = true;
    while (ok && next_record(in, s.chunk, rec))
        if (keyed)
            keep.push_back(rec);
        else
            ok = w.put(rec);
    if (ok && ferror(in)) {
        fail(s.input != nullptr ? s.input : "-", strerror(errno));
        ok = false;
    }
    if (keyed)
        sort_by_key(keep, prefix);
    for (size_t i = 0; ok && i < keep.size(); i++)
        ok = w.put(keep[i]);
    if (w.api->vfs_close(w.fh, &info) != 0 && ok) {
        fail(s.name, lib_text(nullptr, errno));
        ok = false;
    }
    return ok;
}

// Reading the file being replaced is an accident: refused.
bool reads_output(FILE *in, const struct stat &out)
{
    struct stat st;
    return fstat(fileno(in), &st) == 0 && st.st_dev == out.st_dev && st.st_ino == out.st_ino;
}

int make_from(const settings &s, FILE *in)
{
    split_name n = split(s.name);
    struct stat st;
    if (stat(n.path.c_str(), &st) == 0 &&
        !S_ISREG(st.st_mode)) // a FIFO or a device is written as it is
        return write_records(s, in, s.name, n.prefix) ? 0 : 1;
    output_file out;
    if (!out.open(n.path))
        return fail(s.name, strerror(errno));
    if (reads_output(in, out.file()))
        return fail(s.name, "the input is the output");
    if (!out.start())
        return fail(s.name, strerror(errno));
    std::string prefix = n.prefix.empty() ? "oka:" : n.prefix;
    if (!write_records(s, in, prefix + out.write_path(), n.prefix))
        return 1;
    if (!out.commit())
        return fail(s.name, strerror(errno));
    return 0;
}

int make(const settings &s)
{
    if (s.input == nullptr)
        return make_from(s, stdin);
    FILE *in = fopen(s.input, "rbe");
    if (in == nullptr)
        return fail(s.input, strerror(errno));
    int rc = make_from(s, in);
    fclose(in);
    return rc;
}

bool write_all(const void *p, size_t n)
{
    return n == 0 || fwrite(p, 1, n, stdout) == n;
}

int list_records(const struct vfs_api *api, vfs_file *fh, const char *name)
{
    std::vector<char> buf(4096);
    for (vfs_position pos = vfs_pos_first;; pos = vfs_pos_next) {
        uint64_t n = read_record(api, fh, pos, buf, chunk_max);
        if (n == VFS_ERROR) {
            const char *text = lib_text(fh, errno);
            fflush(stdout);
            return fail(name, text);
        }
        if (n == 0 && api->vfs_eof(fh) == 1)
            return 0;
        if (!write_all(buf.data(), static_cast<size_t>(n)) || !write_all("\n", 1))
            return fail("standard output", strerror(errno));
    }
}

// Why a name the library takes as a byte stream cannot be listed: the
// system's reason not to read it (missing, a directory, no permission), or
// that it holds no records.
std::string stream_refusal(const char *path)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return strerror(errno);
    struct stat st;
    bool dir = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    close(fd);
    return dir ? strerror(EISDIR) : "not a record file";
}

// A name that resolves to a record file; false, with the message out, for
// any other.
bool listable(const char *name)
{
    char *real = nullptr;
    const struct vfs_api *api = vfs_api.vfs_resolve(nullptr, "vfsmake", name, &real);
    std::string why;
    if (api == nullptr)
        why = real != nullptr ? real : "no file system";
    else if (errno == EBADF)
        why = "the header names another driver";
    else if (memcmp(api->vfs_eye, "vfs_oka", 8) == 0)
        why = stream_refusal(real != nullptr ? real : name);
    free(real);
    if (!why.empty())
        fail(name, why.c_str());
    return why.empty();
}

int list(const settings &s)
{
    if (!listable(s.name))
        return 1;
    // The generic table opens the name as written, with its options.
    std::string name = s.name;
    vfs_file_info info{};
    info.datlen = VFS_ERROR;
    info.records = VFS_ERROR;
    info.fname = name.data();
    vfs_file *fh = vfs_api.vfs_open(&info);
    if (fh == nullptr || info.api->vfs_fstat(fh, &info) < 0) {
        fail(s.name, lib_text(fh, errno));
        vfs_api.vfs_close(fh, nullptr);
        return 1;
    }
    int rc = list_records(info.api, fh, s.name);
    info.api->vfs_close(fh, nullptr);
    if (fflush(stdout) != 0)
        rc = fail("standard output", strerror(errno));
    return rc;
}

// getopt's answer for a letter it refused, in the words its own message has.
int usage_error(int c)
{
    if (c == ':')
        fprintf(stderr, "%s: option requires an argument -- '%c'\n", program, optopt);
    else
        fprintf(stderr, "%s: invalid option -- '%c'\n", program, optopt);
    fprintf(stderr, usage, program);
    return 2;
}

// The options into s: -1 to go on, or the status to exit with (help, or a
// usage error).
int parse_args(int argc, char **argv, settings &s)
{
    uint64_t chunk = 0;
    int c;
    opterr = 0;
    while ((c = getopt(argc, argv, ":hi:c:x")) != -1) {
        switch (c) {
        case 'h':
            printf(usage, program);
            return fflush(stdout) == 0 ? 0 : 1;
        case 'i':
            s.input = optarg;
            break;
        case 'c':
            if (!size_option(program, "chunk size", optarg, 1, chunk_max, &chunk))
                return 2;
            s.chunk = static_cast<size_t>(chunk);
            break;
        case 'x':
            s.list = true;
            break;
        default:
            return usage_error(c);
        }
    }
    if (optind + 1 != argc) {
        fprintf(stderr, usage, program);
        return 2;
    }
    s.name = argv[optind];
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    // Before any open: an output opened on a closed 0-2 would take every
    // message and every stray read or write.
    if (safe_stdfds() != 0)
        return 1;
    if (argv[0] != nullptr && argv[0][0] != '\0')
        program = strrchr(argv[0], '/') != nullptr ? strrchr(argv[0], '/') + 1 : argv[0];
    settings s;
    if (int rc = parse_args(argc, argv, s); rc >= 0)
        return rc;
    try {
        return s.list ? list(s) : make(s);
    } catch (const std::bad_alloc &) {
        return fail(s.name, strerror(ENOMEM));
    }
}
