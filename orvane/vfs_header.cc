// Our self-describing header.
//
// 64 bytes at offset 0. The magic starts with 0x8f, which no UTF-8 or ASCII
// text and no common binary format starts with; CR LF and ^Z after it show a
// file damaged by a text-mode transfer. Multi-byte fields are stored in the
// byte order named at offset 9, the order of the machine that wrote the file.
//
//   0  8  magic            24  8  record length (fixed) or maximum, 0 unknown
//   8  1  version (1)      32  8  block size, 0 none
//   9  1  'B' or 'L'       40  8  record count, all ones unknown
//  10  1  driver id        48  8  data offset (64 or more)
//  11  1  record format    56  4  reserved, 0
//  12  1  layout bits (below)       60  4  CRC-32 of bytes 0..59
//  13  1  flags: 1 being written
//  14  2  key length (0: whole record)
//  16  4  key position
//  20  4  reserved, 0
//
// Layout bits: 0-1 umb varfmt, 2 blocked, 3 dox descriptor words stored low
// byte first, 4 dox RDW lengths count the data only; the others are 0.
#include <string.h>

#include "vfs_core.h"

namespace vfs
{

namespace
{

constexpr uint8_t flag_being_written = 1;
constexpr uint8_t bit_blocked = 4, bit_words_le = 8, bit_rdw_data = 16, layout_bits = 31;

struct field_io {
    bool big;
    uint64_t get(const unsigned char *p, int n) const { return big ? get_be(p, n) : get_le(p, n); }
    void put(unsigned char *p, int n, uint64_t v) const { big ? put_be(p, n, v) : put_le(p, n, v); }
};

bool recfm_valid(drv d, uint8_t fm)
{
    switch (d) {
    case drv::tev:
        return fm == vfs_rec_variable;
    case drv::dox:
        return fm == vfs_rec_fixed || fm == vfs_rec_variable || fm == vfs_rec_spanned;
    case drv::umb:
    case drv::yar:
        return fm == vfs_rec_fixed || fm == vfs_rec_variable;
    default:
        return false;
    }
}

bool corrupt(error_detail &e, const char *what)
{
    e = error_detail();
    e.code = e_header;
    e.what = what;
    return false;
}

} // namespace

uint32_t crc32(const unsigned char *p, size_t n)
{
    uint32_t c = 0xffffffffu;
    for (size_t i = 0; i < n; i++) {
        c ^= p[i];
        for (int k = 0; k < 8; k++)
            c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1)));
    }
    return ~c;
}

bool has_magic(const unsigned char *in, size_t n)
{
    return n >= sizeof header_magic && memcmp(in, header_magic, sizeof header_magic) == 0;
}

void encode_header(const layout &l, unsigned char out[header_size])
{
    field_io io{l.big_endian};
    memset(out, 0, header_size);
    memcpy(out, header_magic, sizeof header_magic);
    out[8] = header_version;
    out[9] = l.big_endian ? 'B' : 'L';
    out[10] = static_cast<uint8_t>(l.driver);
    out[11] = static_cast<uint8_t>(l.recfm);
    out[12] =
        static_cast<uint8_t>((l.varfmt & 3) | (l.blocked ? bit_blocked : 0) |
                             (l.words_le ? bit_words_le : 0) | (l.rdw_data ? bit_rdw_data : 0));
    out[13] = l.being_written ? flag_being_written : 0;
    io.put(out + 14, 2, l.keylen);
    io.put(out + 16, 4, l.keypos);
    io.put(out + 24, 8, l.lrecl);
    io.put(out + 32, 8, l.blksize);
    io.put(out + 40, 8, l.records);
    io.put(out + 48, 8, l.data_offset);
    io.put(out + 60, 4, crc32(out, 60));
}

namespace
{

// The fields of a header whose identification and check sum are right.
layout header_fields(const unsigned char *in, const field_io &io)
{
    layout h;
    h.driver = static_cast<drv>(in[10]);
    h.recfm = static_cast<vfs_recformat>(in[11]);
    h.varfmt = in[12] & 3;
    h.blocked = (in[12] & bit_blocked) != 0;
    h.words_le = (in[12] & bit_words_le) != 0;
    h.rdw_data = (in[12] & bit_rdw_data) != 0;
    h.segments = h.recfm == vfs_rec_spanned;
    h.being_written = (in[13] & flag_being_written) != 0;
    h.keylen = static_cast<uint32_t>(io.get(in + 14, 2));
    h.keypos = static_cast<uint32_t>(io.get(in + 16, 4));
    h.lrecl = io.get(in + 24, 8);
    h.blksize = io.get(in + 32, 8);
    h.records = io.get(in + 40, 8);
    h.data_offset = io.get(in + 48, 8);
    h.big_endian = io.big;
    h.header = true;
    return h;
}

} // namespace

bool decode_header(const unsigned char *in, size_t n, layout &l, error_detail &e)
{
    if (n < header_size) {
        e = error_detail();
        e.code = e_short_header;
        return false;
    }
    if (in[9] != 'B' && in[9] != 'L')
        return corrupt(e, "byte order");
    field_io io{in[9] == 'B'};
    if (io.get(in + 60, 4) != crc32(in, 60))
        return corrupt(e, "checksum");
    if (in[8] != header_version)
        return corrupt(e, "version");
    uint8_t d = in[10];
    if (d < static_cast<uint8_t>(drv::umb) || d > static_cast<uint8_t>(drv::yar))
        return corrupt(e, "driver");
    if (!recfm_valid(static_cast<drv>(d), in[11]))
        return corrupt(e, "record format");
    if ((in[12] & ~layout_bits) != 0)
        return corrupt(e, "layout");
    layout h = header_fields(in, io);
    if (h.data_offset < header_size)
        return corrupt(e, "data offset");
    if (h.lrecl > record_max || (h.recfm == vfs_rec_fixed && h.lrecl == 0))
        return corrupt(e, "record length");
    if (h.keylen > VFS_KEYLEN_MAX)
        return corrupt(e, "key length");
    l = h;
    return true;
}

} // namespace vfs
