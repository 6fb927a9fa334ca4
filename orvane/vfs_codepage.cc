// Record data in a single-byte code page (the EBCDIC ones above all),
// converted as it is read or written. iconv is asked once per byte of the
// page when the file is opened; records are then converted by table lookups,
// and lengths, descriptor words and our header are never touched.
#include <errno.h>
#include <iconv.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/types.h>

#include <algorithm>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "vfs_core.h"

namespace vfs
{

// No target sequence is longer: a byte is converted by storing seq_max
// bytes and moving on by its length, so an output needs seq_max per input byte.
inline constexpr size_t seq_max = 4;

struct converter {
    uint32_t seq[256] = {};    // read: the target bytes of each byte of the page
    uint8_t len[256] = {};     // their count; 0: the target lacks the character
    uint16_t narrow[256] = {}; // the one target byte, or 0x100: not exactly one
    int16_t back[256];         // write: the page's byte for a one-byte target character, -1 none
    std::vector<std::pair<std::string, unsigned char>> back_long; // longer target characters
    int subst_byte = -1;                                          // write: the page's subst=
    bool utf8_target = false;
    unsigned char *out = nullptr; // the converted record or block
    size_t room = 0;
    vfs_buffer view = {}; // how the converted bytes are handed out
    converter() { std::fill(std::begin(back), std::end(back), -1); }
    converter(const converter &) = delete;
    converter &operator=(const converter &) = delete;
    ~converter() { free(out); }
};

namespace
{

const iconv_t no_iconv = reinterpret_cast<iconv_t>(-1);

error_detail named(int code, const std::string &name)
{
    error_detail e;
    e.code = code;
    e.what = name;
    return e;
}

bool converts(const char *to, const char *from)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == no_iconv)
        return false;
    iconv_close(cd);
    return true;
}

// iconv_open fails alike for a name it does not know and for one whose
// module is missing: where not even IBM037, which every set of modules has,
// converts, the modules are what is missing.
error_detail open_failure(const std::string &page, const std::string &target)
{
    if (!converts("UTF-8", "IBM037"))
        return named(e_no_modules, page);
    if (!converts("UTF-8", page.c_str()))
        return named(e_codepage, page);
    return named(e_bad_target, target);
}

// Converts n bytes from a fresh state, shift state flushed: the bytes
// written, or -1 with errno (EILSEQ: the other side lacks the character;
// EINVAL: the bytes start a longer one).
ssize_t convert_one(iconv_t cd, const char *in, size_t n, char *out, size_t room)
{
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char *ip = const_cast<char *>(in), *op = out;
    size_t il = n, ol = room;
    if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1) ||
        iconv(cd, nullptr, nullptr, &op, &ol) == static_cast<size_t>(-1))
        return -1;
    return static_cast<ssize_t>(room - ol);
}

// text (UTF-8, as a name gives it) in code; empty when code lacks it.
std::string from_utf8(const std::string &code, const std::string &text)
{
    iconv_t cd = iconv_open(code.c_str(), "UTF-8");
    if (cd == no_iconv)
        return "";
    char out[16];
    ssize_t n = convert_one(cd, text.data(), text.size(), out, sizeof out);
    iconv_close(cd);
    return n > 0 ? std::string(out, static_cast<size_t>(n)) : "";
}

bool one_character(const std::string &s)
{
    auto lead = static_cast<unsigned char>(s.empty() ? 0 : s[0]);
    size_t n = lead < 0x80 ? 1 : lead >> 5 == 6 ? 2 : lead >> 4 == 14 ? 3 : lead >> 3 == 30 ? 4 : 0;
    return !s.empty() && n == s.size();
}

// The target of every byte of the page. A page of more than one byte a
// character shows itself here: a byte that starts a longer character
// (EINVAL), or one that only shifts state and gives nothing.
bool build_table(converter &cv, const std::string &page, const std::string &target, error_detail &e)
{
    iconv_t cd = iconv_open(target.c_str(), page.c_str());
    if (cd == no_iconv)
        return e = open_failure(page, target), false;
    bool single = true, fits = true;
    for (unsigned b = 0; b < 256 && single && fits; b++) {
        char in = static_cast<char>(b), out[16];
        ssize_t n = convert_one(cd, &in, 1, out, sizeof out);
        single = n > 0 || (n < 0 && errno == EILSEQ);
        fits = n <= static_cast<ssize_t>(seq_max);
        if (n > 0 && fits) {
            memcpy(&cv.seq[b], out, static_cast<size_t>(n));
            cv.len[b] = static_cast<uint8_t>(n);
        }
    }
    iconv_close(cd);
    if (!single)
        return e = named(e_multibyte, page), false;
    if (!fits)
        return e = named(e_bad_target, target), false;
    return true;
}

// Reading: a character the target lacks becomes subst=, when given.
bool prepare_reading(converter &cv, const prefix_options &o, const std::string &target,
                     error_detail &e)
{
    if (o.subst.empty())
        return true;
    std::string s = from_utf8(target, o.subst);
    if (!one_character(o.subst) || s.empty() || s.size() > seq_max)
        return e = bad_option(("subst=" + o.subst).c_str()), false;
    uint32_t seq = 0;
    memcpy(&seq, s.data(), s.size());
    for (unsigned b = 0; b < 256; b++)
        if (cv.len[b] == 0) {
            cv.seq[b] = seq;
            cv.len[b] = static_cast<uint8_t>(s.size());
        }
    return true;
}

// Writing: the table turned round, the page's space to pad fixed records
// and its subst= byte.
bool prepare_writing(handle &h, const prefix_options &o, error_detail &e)
{
    converter &cv = *h.conv;
    for (unsigned b = 0; b < 256; b++) {
        const auto *seq = reinterpret_cast<const unsigned char *>(&cv.seq[b]);
        if (cv.len[b] == 1 && cv.back[seq[0]] < 0)
            cv.back[seq[0]] = static_cast<int16_t>(b);
        else if (cv.len[b] > 1)
            cv.back_long.emplace_back(std::string(reinterpret_cast<const char *>(seq), cv.len[b]),
                                      static_cast<unsigned char>(b));
    }
    std::string space = from_utf8(o.codepage, " ");
    if (space.size() == 1)
        h.lay.pad = static_cast<unsigned char>(space[0]);
    if (o.subst.empty())
        return true;
    std::string s = from_utf8(o.codepage, o.subst);
    if (!one_character(o.subst) || s.size() != 1)
        return e = bad_option(("subst=" + o.subst).c_str()), false;
    cv.subst_byte = static_cast<unsigned char>(s[0]);
    return true;
}

bool reserve(converter &cv, uint64_t n)
{
    if (n > SIZE_MAX / seq_max) {
        errno = EOVERFLOW;
        return false;
    }
    size_t want = std::max<size_t>(static_cast<size_t>(n) * seq_max, seq_max);
    if (want <= cv.room)
        return true;
    free(cv.out);
    cv.room = 0;
    cv.out = static_cast<unsigned char *>(malloc(want));
    if (cv.out == nullptr) {
        errno = ENOMEM;
        return false;
    }
    cv.room = want;
    return true;
}

// Text mostly maps a byte to one byte: a loop of one lookup a byte and no
// branch converts it, and only a span with some other byte is converted
// again by the general loop.
void make_narrow(converter &cv)
{
    for (unsigned b = 0; b < 256; b++) {
        const auto *seq = reinterpret_cast<const unsigned char *>(&cv.seq[b]);
        cv.narrow[b] = static_cast<uint16_t>(cv.len[b] == 1 ? seq[0] : 0x100);
    }
}

// Converts n bytes to out: how many were converted before the first one the
// target lacks (n: all of them); *written gets the bytes written.
size_t forward(const converter &cv, const unsigned char *in, size_t n, unsigned char *out,
               size_t *written)
{
    unsigned wide = 0;
#pragma GCC unroll 8
    for (size_t i = 0; i < n; i++) {
        uint16_t t = cv.narrow[in[i]];
        out[i] = static_cast<unsigned char>(t);
        wide |= t;
    }
    *written = n;
    if (wide < 0x100)
        return n;
    unsigned char *o = out;
    size_t i = 0;
    for (; i < n; i++) {
        unsigned l = cv.len[in[i]];
        if (l == 0)
            break;
        memcpy(o, &cv.seq[in[i]], seq_max);
        o += l;
    }
    *written = static_cast<size_t>(o - out);
    return i;
}

vfs_buffer *show(converter &cv, uint64_t offset, uint64_t raw, size_t converted, bool end)
{
    vfs_buffer &v = cv.view;
    v.buffer = cv.out;
    v.offset = offset;
    v.bend = offset + converted;
    v.total = converted;
    v.buffsize = raw;
    v.beof = end;
    return &v;
}

// Where the fixed record holding byte off starts (off itself without a length).
uint64_t record_start(const layout &l, uint64_t off)
{
    if (l.lrecl == 0 || off < l.data_offset)
        return off;
    return l.data_offset + (off - l.data_offset) / l.lrecl * l.lrecl;
}

// The page's byte for the target character at p, and the bytes that
// character takes; -1 when the page lacks it.
int back_of(const converter &cv, const unsigned char *p, uint64_t n, size_t *used)
{
    *used = 1;
    if (cv.back[*p] >= 0)
        return cv.back[*p];
    for (const auto &[seq, b] : cv.back_long)
        if (seq.size() <= n && memcmp(seq.data(), p, seq.size()) == 0) {
            *used = seq.size();
            return b;
        }
    while (cv.utf8_target && *used < n && (p[*used] & 0xc0) == 0x80)
        ++*used;
    return -1;
}

} // namespace

bool codepage_open(handle &h, const prefix_options &o, error_detail &e)
{
    if (o.codepage.empty() && !(o.to.empty() && o.subst.empty()))
        return e = bad_option((o.to.empty() ? "subst=" + o.subst : "to=" + o.to).c_str()), false;
    if (o.codepage.empty())
        return true;
    if (h.lay.driver == drv::tev)
        return e = at_byte(e_line_codepage, VFS_ERROR), false;
    h.conv = new (std::nothrow) converter();
    if (h.conv == nullptr)
        return e.code = ENOMEM, false;
    std::string target = o.to.empty() ? "UTF-8" : o.to;
    h.conv->utf8_target =
        strcasecmp(target.c_str(), "UTF-8") == 0 || strcasecmp(target.c_str(), "UTF8") == 0;
    // A target must take a character a byte at a time (UTF-16 would not).
    if (from_utf8(target, "A").size() != 1 && converts("UTF-8", "IBM037"))
        return e = named(e_bad_target, target), false;
    if (!build_table(*h.conv, o.codepage, target, e))
        return false;
    if (h.writing)
        return prepare_writing(h, o, e);
    if (!prepare_reading(*h.conv, o, target, e))
        return false;
    make_narrow(*h.conv);
    return true;
}

void codepage_close(handle &h)
{
    delete h.conv;
    h.conv = nullptr;
}

vfs_buffer *convert_record(handle &h, record_place &r)
{
    converter &cv = *h.conv;
    if (!reserve(cv, r.dlen))
        return nullptr;
    size_t done = 0;
    for (uint64_t off = r.doffset, left = r.dlen; left > 0;) {
        vfs_buffer *b = cache_at(h, off);
        if (b == nullptr)
            return nullptr;
        // At most one buffer, whose size fits size_t.
        auto k = static_cast<size_t>(std::min(left, b->bend - off));
        size_t written = 0;
        if (forward(cv, b->buffer + (off - b->offset), k, cv.out + done, &written) < k)
            return fail(h, at_byte(e_unconvertible, r.roffset)), nullptr;
        done += written;
        off += k;
        left -= k;
    }
    r.dlen = done;
    return show(cv, r.doffset, done, done, false);
}

int convert_block(handle &h)
{
    vfs_cache &c = h.file.dcache;
    if (!bare_fixed(h.lay)) {
        c.current = nullptr;
        fail(h, at_byte(e_converted_raw, VFS_ERROR));
        return -1;
    }
    converter &cv = *h.conv;
    const vfs_buffer &raw = *c.current;
    // Whole records only, so that a failure leaves none cut in half; the
    // next block starts where this one stops.
    uint64_t n = raw.total;
    uint64_t cut = record_start(h.lay, raw.offset + n);
    if (!raw.beof && cut > raw.offset)
        n = cut - raw.offset;
    if (!reserve(cv, n))
        return -1;
    size_t written = 0;
    // n is at most a buffer, whose size fits size_t.
    size_t done = forward(cv, raw.buffer, static_cast<size_t>(n), cv.out, &written);
    if (done < n) {
        uint64_t bad = record_start(h.lay, raw.offset + done);
        if (bad <= raw.offset) {
            c.current = nullptr;
            fail(h, at_byte(e_unconvertible, bad));
            return -1;
        }
        n = bad - raw.offset;
        forward(cv, raw.buffer, static_cast<size_t>(n), cv.out, &written);
    }
    c.current = show(cv, raw.offset, n, written, raw.beof && n == raw.total);
    return 0;
}

bool convert_for_write(handle &h, const unsigned char *&data, uint64_t &len)
{
    converter &cv = *h.conv;
    if (!reserve(cv, len))
        return false;
    unsigned char *o = cv.out;
    for (uint64_t i = 0; i < len;) {
        size_t used = 0;
        int b = back_of(cv, data + i, len - i, &used);
        if (b < 0 && cv.subst_byte < 0)
            return fail(h, at_byte(e_unconvertible, VFS_ERROR)), false;
        *o++ = static_cast<unsigned char>(b < 0 ? cv.subst_byte : b);
        i += used;
    }
    data = cv.out;
    len = static_cast<uint64_t>(o - cv.out);
    return true;
}

} // namespace vfs
