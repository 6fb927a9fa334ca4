// Record data in a code page (the EBCDIC ones above all), converted as it is
// read or written; lengths, descriptor words and our header are never
// touched. A single-byte page is asked of iconv once per byte when the file
// is opened, and records are then converted by table lookups. A page that
// shifts between single and double bytes (shift-out 0x0E, shift-in 0x0F)
// goes through iconv record by record, each record from the single-byte
// state and closed in it.
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

const iconv_t no_iconv = reinterpret_cast<iconv_t>(-1);

struct converter {
    uint32_t seq[256] = {};    // read: the target bytes of each byte of the page
    uint8_t len[256] = {};     // their count; 0: the target lacks the character
    uint16_t narrow[256] = {}; // the one target byte, or 0x100: not exactly one
    int16_t back[256];         // write: the page's byte for a one-byte target character, -1 none
    std::vector<std::pair<std::string, unsigned char>> back_long; // longer target characters
    int subst_byte = -1;                                          // write: the page's subst=
    bool utf8_target = false;
    iconv_t shifting = no_iconv;  // a page with shifts: read, page to target; written, back
    std::string subst_seq;        // such a page: subst= as the output side writes it
    uint64_t run_end = VFS_ERROR; // such a page without records: where the last block ended
    bool run_double = false;      // and whether it ended in double-byte mode
    grow_buffer out;              // the converted record or block
    vfs_buffer view = {};         // how the converted bytes are handed out
    converter() { std::fill(std::begin(back), std::end(back), -1); }
    converter(const converter &) = delete;
    converter &operator=(const converter &) = delete;
    ~converter()
    {
        if (shifting != no_iconv)
            iconv_close(shifting);
    }
};

namespace
{

constexpr unsigned char shift_out = 0x0e, shift_in = 0x0f;

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
    if (n > SIZE_MAX / seq_max - 1) {
        errno = EOVERFLOW;
        return false;
    }
    return cv.out.reserve(n * seq_max + seq_max);
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

// Whether in[n] is read in double-byte mode: as the last shift byte of
// in[0..n) says, or without one as dbl, the mode at in[0]. A double-byte
// character never holds a shift byte, so the last one tells.
bool double_after(const unsigned char *in, size_t n, bool dbl)
{
    for (size_t i = n; i-- > 0;)
        if (in[i] == shift_out || in[i] == shift_in)
            return in[i] == shift_out;
    return dbl;
}

// Puts cd in the state a run starts in: single-byte, or double-byte as
// after a shift-out.
void restart(iconv_t cd, bool dbl)
{
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char so = static_cast<char>(shift_out), out[seq_max];
    char *ip = &so, *op = out;
    size_t il = 1, ol = sizeof out;
    if (dbl)
        iconv(cd, &ip, &il, &op, &ol);
}

// Past the character at in[i] that cannot be converted, with the shift
// bytes before it (iconv may stop in front of them); dbl the mode at i,
// then after it.
size_t skip_character(const unsigned char *in, size_t n, size_t i, bool &dbl)
{
    for (; i < n && (in[i] == shift_out || in[i] == shift_in); i++)
        dbl = in[i] == shift_out;
    return std::min(n, i + (dbl ? 2 : 1));
}

// One call of iconv on in[*i..n) into cv.out from *written on, both moved
// on by what it did: -1 with errno as iconv gives it, else 0.
int convert_some(converter &cv, const unsigned char *in, size_t n, size_t *i, size_t *written)
{
    char *ip = const_cast<char *>(reinterpret_cast<const char *>(in + *i));
    char *op = reinterpret_cast<char *>(cv.out.data + *written);
    size_t il = n - *i, ol = cv.out.room - *written;
    size_t rc = iconv(cv.shifting, &ip, &il, &op, &ol);
    *i = n - il;
    *written = cv.out.room - ol;
    return rc == static_cast<size_t>(-1) ? -1 : 0;
}

// A run of n bytes of a page with shifts, from mode dbl, appended to
// cv.out at *written, which moves on: the bytes taken. It stops short of n
// at a character the target lacks (without subst=) and, when more follows,
// at a character the run's end cuts; a run that ends in double-byte mode
// ends there, as if shifted in. SIZE_MAX with errno when memory is short.
size_t shifted_forward(converter &cv, const unsigned char *in, size_t n, bool dbl, bool more,
                       size_t *written)
{
    size_t i = 0;
    restart(cv.shifting, dbl);
    while (i < n) {
        if (!reserve(cv, *written / seq_max + (n - i) + cv.subst_seq.size()))
            return SIZE_MAX;
        size_t from = i;
        if (convert_some(cv, in, n, &i, written) == 0)
            continue;
        if (errno == E2BIG && !cv.out.reserve(2 * cv.out.room))
            return SIZE_MAX;
        if (errno == E2BIG)
            continue;
        if ((errno == EINVAL && more) || cv.subst_seq.empty() ||
            (errno != EILSEQ && errno != EINVAL))
            break;
        bool at = double_after(in, i, double_after(in, from, dbl));
        i = skip_character(in, n, i, at);
        memcpy(cv.out.data + *written, cv.subst_seq.data(), cv.subst_seq.size());
        *written += cv.subst_seq.size();
        restart(cv.shifting, at);
    }
    return i;
}

// A record's n bytes converted to cv.out: the bytes taken (fewer at a
// character the target lacks), SIZE_MAX on failure.
size_t convert_bytes(converter &cv, const unsigned char *in, size_t n, size_t *written)
{
    *written = 0;
    if (cv.shifting != no_iconv)
        return shifted_forward(cv, in, n, false, false, written);
    if (!reserve(cv, n))
        return SIZE_MAX;
    return forward(cv, in, n, cv.out.data, written);
}

// A raw block of a page with shifts: its whole fixed records converted one
// by one from the single-byte state, or (without a record length) one run
// from the state the block before it ended in. The bytes taken, SIZE_MAX
// on failure.
size_t shifted_block(handle &h, const vfs_buffer &raw, size_t n, size_t *written)
{
    converter &cv = *h.conv;
    *written = 0;
    if (h.lay.lrecl == 0) {
        bool dbl = raw.offset == cv.run_end && cv.run_double;
        size_t taken = shifted_forward(cv, raw.buffer, n, dbl, !raw.beof, written);
        cv.run_end = raw.offset + taken;
        cv.run_double = double_after(raw.buffer, taken, dbl);
        return taken;
    }
    auto lrecl = static_cast<size_t>(h.lay.lrecl);
    size_t taken = 0;
    for (; taken + lrecl <= n; taken += lrecl) {
        size_t before = *written;
        size_t k = shifted_forward(cv, raw.buffer + taken, lrecl, false, false, written);
        if (k == SIZE_MAX)
            return SIZE_MAX;
        if (k < lrecl) { // none of a record that cannot be converted whole
            *written = before;
            break;
        }
    }
    return taken;
}

// The raw block's whole records (a run without a record length: its bytes)
// converted up to the first one that cannot be: the bytes taken, SIZE_MAX
// on failure.
size_t block_forward(handle &h, const vfs_buffer &raw, size_t n, size_t *written)
{
    converter &cv = *h.conv;
    if (cv.shifting != no_iconv)
        return shifted_block(h, raw, n, written);
    if (!reserve(cv, n))
        return SIZE_MAX;
    size_t done = forward(cv, raw.buffer, n, cv.out.data, written);
    if (done == n)
        return n;
    size_t whole = static_cast<size_t>(record_start(h.lay, raw.offset + done) - raw.offset);
    forward(cv, raw.buffer, whole, cv.out.data, written);
    return whole;
}

// Appends to cv.out what ends a run in a page with shifts: a shift-in
// where the run is in double-byte mode, and then the state is reset.
void shift_back_in(converter &cv, size_t *written)
{
    char *op = reinterpret_cast<char *>(cv.out.data + *written);
    size_t ol = cv.out.room - *written;
    iconv(cv.shifting, nullptr, nullptr, &op, &ol);
    *written = cv.out.room - ol;
}

// A record to write in a page with shifts, through iconv from the
// single-byte state and shifted in at its end; a character the page lacks
// becomes subst=, a run closed in itself. False with errno, h.err set for
// a character the page lacks without subst=.
bool shifted_back(handle &h, const unsigned char *data, size_t n, size_t *written)
{
    converter &cv = *h.conv;
    size_t i = 0;
    *written = 0;
    iconv(cv.shifting, nullptr, nullptr, nullptr, nullptr);
    for (;;) {
        // Room for what is left and a shift-in; iconv says E2BIG short of it.
        if (!reserve(cv, *written / seq_max + (n - i) + cv.subst_seq.size() + 1))
            return false;
        if (i < n && convert_some(cv, data, n, &i, written) == 0)
            continue;
        if (i < n && errno == E2BIG && !cv.out.reserve(2 * cv.out.room))
            return false;
        if (i < n && errno == E2BIG)
            continue;
        shift_back_in(cv, written);
        if (i == n)
            return true;
        if (cv.subst_seq.empty())
            return fail(h, at_byte(e_unconvertible, VFS_ERROR)), false;
        memcpy(cv.out.data + *written, cv.subst_seq.data(), cv.subst_seq.size());
        *written += cv.subst_seq.size();
        for (i++; cv.utf8_target && i < n && (data[i] & 0xc0) == 0x80;)
            i++;
    }
}

// Whether the page shifts between single and double bytes: shift-out and
// shift-in convert to nothing.
bool shifting_page(const std::string &page)
{
    iconv_t cd = iconv_open("UTF-8", page.c_str());
    if (cd == no_iconv)
        return false;
    char out[16];
    ssize_t n = convert_one(cd, "\x0e\x0f", 2, out, sizeof out);
    iconv_close(cd);
    return n == 0;
}

// A page with shifts: iconv, opened once, converts each record; subst= is
// one character as the output side writes it.
bool open_shifting(handle &h, const prefix_options &o, const std::string &target, error_detail &e)
{
    converter &cv = *h.conv;
    const std::string &page = o.codepage;
    const std::string &to = h.writing ? page : target, &from = h.writing ? target : page;
    cv.shifting = iconv_open(to.c_str(), from.c_str());
    if (cv.shifting == no_iconv)
        return e = open_failure(page, target), false;
    if (o.subst.empty())
        return true;
    cv.subst_seq = from_utf8(to, o.subst);
    if (!one_character(o.subst) || cv.subst_seq.empty())
        return e = bad_option(("subst=" + o.subst).c_str()), false;
    return true;
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
    std::string space = from_utf8(o.codepage, " ");
    if (h.writing && space.size() == 1)
        h.lay.pad = static_cast<unsigned char>(space[0]);
    if (shifting_page(o.codepage))
        return open_shifting(h, o, target, e);
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
    const unsigned char *in = record_bytes(h, r);
    if (in == nullptr)
        return nullptr;
    // A record is in memory whole, so its length fits size_t.
    auto n = static_cast<size_t>(r.dlen);
    size_t written = 0, taken = convert_bytes(cv, in, n, &written);
    if (taken == SIZE_MAX)
        return nullptr;
    if (taken < n)
        return fail(h, at_byte(e_unconvertible, r.roffset)), nullptr;
    r.dlen = written;
    return show(cv.view, cv.out.data, r.doffset, written, written, false);
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
    size_t written = 0;
    // n is at most a buffer, whose size fits size_t.
    size_t taken = block_forward(h, raw, static_cast<size_t>(n), &written);
    if (taken == SIZE_MAX || (taken == 0 && n > 0)) {
        c.current = nullptr;
        if (taken == 0)
            fail(h, at_byte(e_unconvertible, raw.offset));
        return -1;
    }
    c.current =
        show(cv.view, cv.out.data, raw.offset, written, taken, raw.beof && taken == raw.total);
    return 0;
}

bool convert_for_write(handle &h, const unsigned char *&data, uint64_t &len)
{
    converter &cv = *h.conv;
    size_t written = 0;
    if (cv.shifting != no_iconv) {
        // A record given whole to vfs_write fits size_t.
        if (!shifted_back(h, data, static_cast<size_t>(len), &written))
            return false;
        data = cv.out.data;
        len = written;
        return true;
    }
    if (!reserve(cv, len))
        return false;
    unsigned char *o = cv.out.data;
    for (uint64_t i = 0; i < len;) {
        size_t used = 0;
        int b = back_of(cv, data + i, len - i, &used);
        if (b < 0 && cv.subst_byte < 0)
            return fail(h, at_byte(e_unconvertible, VFS_ERROR)), false;
        *o++ = static_cast<unsigned char>(b < 0 ? cv.subst_byte : b);
        i += used;
    }
    data = cv.out.data;
    len = static_cast<uint64_t>(o - cv.out.data);
    return true;
}

} // namespace vfs
