// vfsmake: makes record files of every layout the library reads, from text
// lines or fixed-size chunks, and lists the records of such files.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "vfs_api.h"
#include "vfs_internal.h"

namespace
{

const uint32_t lookup = 1;

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
    "varfmt=0..3, header, noheader, order=le|be|native, keypos=N, keylen=N.\n"
    "Short fixed records are padded with spaces. See vfsmake(1).\n";

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

// The value of option key in the name's prefix, or def.
size_t prefix_value(std::string_view name, std::string_view key, size_t def)
{
    size_t colon = name.find(':');
    if (colon == std::string_view::npos)
        return def;
    std::string_view head = name.substr(0, colon);
    for (size_t at = head.find(','); at != std::string_view::npos; at = head.find(',', at + 1)) {
        std::string_view opt = head.substr(at + 1);
        opt = opt.substr(0, opt.find(','));
        if (opt.size() > key.size() && opt.substr(0, key.size()) == key && opt[key.size()] == '=')
            return strtoul(std::string(opt.substr(key.size() + 1)).c_str(), nullptr, 10);
    }
    return def;
}

// Keyed files take their records in key order; equal keys keep input order.
void sort_by_key(std::vector<std::string> &recs, const char *name)
{
    size_t pos = prefix_value(name, "keypos", 0);
    size_t len = prefix_value(name, "keylen", 0);
    auto key = [&](const std::string &r) {
        if (len == 0)
            return std::string_view(r);
        return std::string_view(r).substr(std::min(pos, r.size()), len);
    };
    std::stable_sort(recs.begin(), recs.end(),
                     [&](const std::string &a, const std::string &b) { return key(a) < key(b); });
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
        int err = errno;
        fprintf(stderr, "vfsmake: %s: record %zu: %s\n", name, count, lib_text(fh, err));
        return false;
    }
};

int make(const settings &s)
{
    FILE *in = s.input != nullptr ? fopen(s.input, "rb") : stdin;
    if (in == nullptr) {
        fprintf(stderr, "vfsmake: %s: %s\n", s.input, strerror(errno));
        return 1;
    }
    vfs_file_info info{};
    info.datlen = VFS_ERROR;
    info.records = VFS_ERROR;
    info.fname = const_cast<char *>(s.name);
    if (vfs_api.vfs_create(&info) != 0) {
        int err = errno;
        fprintf(stderr, "vfsmake: %s: %s\n", s.name, lib_text(nullptr, err));
        return 1;
    }
    writer w{info.api, info.fh, s.name};
    bool keyed = strncmp(s.name, "yar", 3) == 0 && (s.name[3] == ':' || s.name[3] == ',');
    std::vector<std::string> keep;
    std::string rec;
    bool ok = true;
    while (ok && next_record(in, s.chunk, rec))
        if (keyed)
            keep.push_back(rec);
        else
            ok = w.put(rec);
    if (ok && ferror(in)) {
        fprintf(stderr, "vfsmake: %s: %s\n", s.input != nullptr ? s.input : "-", strerror(errno));
        ok = false;
    }
    if (in != stdin)
        fclose(in);
    if (keyed)
        sort_by_key(keep, s.name);
    for (size_t i = 0; ok && i < keep.size(); i++)
        ok = w.put(keep[i]);
    if (w.api->vfs_close(w.fh, &info) != 0 && ok) {
        fprintf(stderr, "vfsmake: %s: %s\n", s.name, lib_text(nullptr, errno));
        ok = false;
    }
    return ok ? 0 : 1;
}

bool write_all(const void *p, size_t n)
{
    return n == 0 || fwrite(p, 1, n, stdout) == n;
}

int list_records(const struct vfs_api *api, vfs_file *fh, const char *name)
{
    std::vector<char> buf(4096);
    vfs_position pos = vfs_pos_first;
    for (;;) {
        vfs_iovec iov{buf.size(), buf.data()};
        uint64_t n = api->vfs_read(fh, &iov, 1, nullptr, nullptr, pos, UINT64_C(0));
        if (n == VFS_ERROR) {
            int err = errno;
            fflush(stdout);
            fprintf(stderr, "vfsmake: %s: %s\n", name, lib_text(fh, err));
            return 1;
        }
        if (n == 0 && api->vfs_eof(fh) == 1)
            return 0;
        if (n > buf.size()) {
            buf.resize(n);
            pos = vfs_pos_curr;
            continue;
        }
        if (!write_all(buf.data(), n) || !write_all("\n", 1)) {
            fprintf(stderr, "vfsmake: standard output: %s\n", strerror(errno));
            return 1;
        }
        pos = vfs_pos_next;
    }
}

int list(const settings &s)
{
    char *real = nullptr;
    const struct vfs_api *api = vfs_api.vfs_resolve(nullptr, "vfsmake", s.name, &real);
    if (api == nullptr || errno == EBADF) {
        fprintf(stderr, "vfsmake: %s: %s\n", s.name,
                api == nullptr ? (real != nullptr ? real : "no file system")
                               : "the header names another driver");
        free(real);
        return 1;
    }
    std::string path = real != nullptr ? real : s.name;
    free(real);
    if (memcmp(api->vfs_eye, "vfs_oka", 8) == 0) {
        fprintf(stderr, "vfsmake: %s: not a record file\n", s.name);
        return 1;
    }
    vfs_file_info info{};
    info.datlen = VFS_ERROR;
    info.records = VFS_ERROR;
    info.fname = path.data();
    vfs_file *fh = api->vfs_open(&info);
    if (fh == nullptr || api->vfs_fstat(fh, &info) < 0) {
        int err = errno;
        fprintf(stderr, "vfsmake: %s: %s\n", s.name, lib_text(fh, err));
        api->vfs_close(fh, nullptr);
        return 1;
    }
    int rc = list_records(api, fh, s.name);
    api->vfs_close(fh, nullptr);
    if (fflush(stdout) != 0) {
        fprintf(stderr, "vfsmake: standard output: %s\n", strerror(errno));
        rc = 1;
    }
    return rc;
}

} // namespace

int main(int argc, char **argv)
{
    settings s;
    const char *prog = strrchr(argv[0], '/') != nullptr ? strrchr(argv[0], '/') + 1 : argv[0];
    int c;
    while ((c = getopt(argc, argv, "hi:c:x")) != -1) {
        switch (c) {
        case 'h':
            printf(usage, prog);
            return 0;
        case 'i':
            s.input = optarg;
            break;
        case 'c': {
            char *end = nullptr;
            unsigned long n = strtoul(optarg, &end, 10);
            if (n == 0 || *end != '\0') {
                fprintf(stderr, "vfsmake: bad chunk size %s\n", optarg);
                return 2;
            }
            s.chunk = n;
            break;
        }
        case 'x':
            s.list = true;
            break;
        default:
            fprintf(stderr, usage, prog);
            return 2;
        }
    }
    if (optind + 1 != argc) {
        fprintf(stderr, usage, prog);
        return 2;
    }
    s.name = argv[optind];
    return s.list ? list(s) : make(s);
}
