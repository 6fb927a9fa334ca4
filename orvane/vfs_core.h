/*
 * Inside the file-system library: the driver handle, file layouts, the data
 * cache, our header, library errors and name prefixes. Nothing here is
 * exported from the shared library; the unit tests link it statically.
 */
#ifndef VFS_CORE_H
#define VFS_CORE_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <string_view>

#include "vfs_api.h"
#include "vfs_internal.h"

namespace vfs
{

/* Driver ids as stored in our header; 0 never appears in a valid header. */
enum class drv : uint8_t { oka = 0, umb = 1, tev = 2, dox = 3, yar = 4 };

/* A record longer than this is damage, not a record to allocate for. */
inline constexpr uint64_t record_max = UINT64_C(16) << 20;
/* The longest IBM block or record descriptor word value without the large-block bit. */
inline constexpr uint64_t ibm_descriptor_max = 32760;

/* Library error numbers, above every errno value. */
enum lib_error : int {
    e_first = 1000,
    e_truncated = 1000, /* truncated record at byte N */
    e_bad_rdw,          /* bad record descriptor word at byte N */
    e_bad_bdw,          /* bad block descriptor word at byte N */
    e_bad_prefix,       /* bad record length prefix at byte N */
    e_too_long,         /* record length L beyond maximum M at byte N */
    e_truncated_block,  /* truncated block at byte N */
    e_key_order,        /* key out of order at byte N */
    e_short_key,        /* record shorter than its key at byte N */
    e_header,           /* corrupt header: what */
    e_short_header,     /* short header */
    e_no_header,        /* no header */
    e_no_lrecl,         /* record length unknown */
    e_being_written,    /* file is being written */
    e_locked,           /* file is locked by a writer */
    e_not_seekable,     /* not a seekable file */
    e_bad_option,       /* unknown option X */
    e_line_end,         /* record contains a line end */
    e_beyond_count,     /* data beyond the counted records at byte N */
    e_codepage,         /* unknown code page NAME */
    e_multibyte,        /* not a single-byte code page NAME */
    e_no_modules,       /* conversion modules not installed for NAME */
    e_bad_target,       /* unusable conversion target NAME */
    e_line_codepage,    /* no code page on line files */
    e_unconvertible,    /* unconvertible character in record at byte N */
    e_converted_raw,    /* converted records with length words have no raw form */
    e_incomplete,       /* file is being written: stopped before the incomplete record at byte N */
    e_broken_chain,     /* broken chain of segments at byte N */
    e_in_blocks,        /* records are in blocks at byte N */
    e_short_margins,    /* file shorter than skip plus trailer at byte N */
    e_trailer_unsized,  /* trailer needs a file of known size */
    e_last = e_trailer_unsized,
};

/* One library failure with what its text needs. */
struct error_detail {
    int code = 0;
    uint64_t offset = VFS_ERROR; /* byte offset, VFS_ERROR: none */
    uint64_t length = 0;         /* e_too_long, e_record_length */
    uint64_t limit = 0;
    std::string what; /* e_header, e_bad_option, the code page errors */
    std::string hint; /* the options that read the file, when one set does */
};

/* Formats a library error; codes outside the library's range get strerror. */
std::string error_text(const error_detail &e);
/* Remembers e as the last failure without a handle and sets errno to its code. */
void set_last_error(const error_detail &e);
const error_detail &last_error();

/* What the first record's walk of a dox variable file settles before it reads. */
enum class first_walk : uint8_t {
    as_given, /* nothing: the layout is known */
    choose,   /* -r v without recfm=: blocks or not, as the first 64 KiB walk */
};

/* How the records of a file are laid out. */
struct layout {
    drv driver = drv::oka;
    vfs_recformat recfm = vfs_rec_unk; /* fixed, variable, spanned (dox VS, VBS) */
    bool blocked = false;              /* dox FB, VB or VBS */
    bool segments = false;             /* dox: words may carry segment flags (VS, VBS, -r v) */
    bool words_le = false;             /* dox: descriptor words stored low byte first */
    bool rdw_data = false;             /* dox: RDW and segment lengths count the data only */
    first_walk check = first_walk::as_given;
    uint8_t varfmt = 0;           /* umb variable prefix, 0..3 */
    uint64_t lrecl = 0;           /* fixed: the length; variable: the maximum; 0 unknown */
    uint64_t blksize = 0;         /* 0: unknown or unlimited */
    bool header = false;          /* the file has (or gets) our header */
    bool big_endian = false;      /* byte order of header fields and yar lengths */
    bool being_written = false;   /* header flag: a writer has not closed the file */
    uint32_t keypos = 0;          /* yar key: offset and length within the data */
    uint32_t keylen = 0;          /* 0: the whole record is the key */
    uint64_t records = VFS_ERROR; /* known count, or VFS_ERROR */
    uint64_t data_offset = 0;     /* our header's end, and skip= */
    uint64_t skip = 0;            /* dox: bytes before the records, after our header */
    uint64_t trailer = 0;         /* dox: bytes after the records */
    unsigned char pad = ' ';      /* fills short fixed records when writing */
};

/* Options of a name prefix "drv,opt=val,...:path"; each has a "given" flag. */
struct prefix_options {
    bool recfm_given = false;
    char recfm = 0; /* 'f' fixed, 'F' fb, 'v' variable, 'V' vb, 's' vs, 'S' vbs */
    bool lrecl_given = false;
    uint64_t lrecl = 0;
    bool blksize_given = false;
    uint64_t blksize = 0;
    bool varfmt_given = false;
    uint8_t varfmt = 0;
    int header = -1; /* -1 not given, 0 noheader, 1 header */
    bool order_given = false;
    bool big_endian = false;
    bool keypos_given = false;
    uint32_t keypos = 0;
    bool keylen_given = false;
    uint32_t keylen = 0;
    bool rdwlen_given = false;
    bool rdw_data = false; /* rdwlen=data */
    bool skip_given = false;
    uint64_t skip = 0;
    bool trailer_given = false;
    uint64_t trailer = 0;
    std::string codepage; /* record data in this code page; empty: bytes as they are */
    std::string to;       /* what it is converted to; empty: UTF-8 */
    std::string subst;    /* stands in for a character the other side lacks */
    std::string first;    /* text of the first option, for drivers that take none */
    bool any() const
    {
        return recfm_given || lrecl_given || blksize_given || varfmt_given || header >= 0 ||
               order_given || keypos_given || keylen_given || rdwlen_given || skip_given ||
               trailer_given || !codepage.empty() || !to.empty() || !subst.empty();
    }
};

/* A parsed name: prefixed is false for plain names (path is then the whole name). */
struct parsed_name {
    bool prefixed = false;
    drv driver = drv::oka;
    prefix_options opts;
    std::string path;
};

/*
 * Splits a name into prefix and path. Returns false only for a name whose
 * prefix is one of the five ids but carries an option we do not know; bad
 * then holds the offending option text.
 */
bool parse_name(std::string_view name, parsed_name &out, std::string &bad);
/*
 * A name given to driver d's own table, parsed as parse_name does; a plain
 * name is d's. False with errno: a bad option (its error recorded), or EBADF
 * for a prefix that names another driver.
 */
bool parse_for_driver(drv d, std::string_view name, parsed_name &out);

/* Our header: fixed size, at offset 0 of the files that have one. */
inline constexpr size_t header_size = 64;
inline constexpr unsigned char header_magic[8] = {0x8f, 'V', 'F', 'S', 0x0d, 0x0a, 0x1a, 0x0a};
inline constexpr uint8_t header_version = 1;

void encode_header(const layout &l, unsigned char out[header_size]);
/* Fills l from a header; false with e (e_header or e_short_header) when it is not valid. */
bool decode_header(const unsigned char *in, size_t n, layout &l, error_detail &e);
/* True when the bytes start with our magic (n >= 8). */
bool has_magic(const unsigned char *in, size_t n);
uint32_t crc32(const unsigned char *p, size_t n);

struct driver;
struct converter;

/* Bytes that grow as needed and are kept between uses (malloc'd; never throws). */
struct grow_buffer {
    unsigned char *data = nullptr;
    size_t size = 0; /* bytes in use */
    size_t room = 0;
    grow_buffer() = default;
    grow_buffer(const grow_buffer &) = delete;
    grow_buffer &operator=(const grow_buffer &) = delete;
    ~grow_buffer() { free(data); }
    /* Room for n bytes, those in use kept; false with errno (EOVERFLOW, ENOMEM). */
    bool reserve(uint64_t n);
};

/* The driver's own handle: the program's part first. */
struct handle {
    vfs_file file;
    const driver *drv_ops = nullptr;
    layout lay;
    /* How far the file reaches: bytes read so far, all of them once ended.
     * A regular file is read up to its size at open (bound) at most; a file
     * the kernel gives no size for (bound VFS_ERROR) is read until pread
     * returns 0. */
    uint64_t reach = 0;
    bool ended = false;
    uint64_t bound = VFS_ERROR;
    /* A header that counts the records: where a raw copy stops (data_end,
     * settled once) and the damage it meets there (end_err, code 0: none). */
    bool counted = false;
    bool end_settled = false;
    uint64_t data_end = VFS_ERROR;
    error_detail end_err;
    bool writing = false; /* made by vfs_create */
    bool at_eof = false;
    bool positioned = false; /* curr_csr holds a record */
    bool dirty_reads = false;
    uint64_t cache_bytes = 0; /* buffer size and count the cache gets at open */
    uint32_t cache_count = 0;
    vfs_buffer *hot = nullptr; /* the cache buffer found last */
    error_detail err;          /* sticky: once damaged, every record operation fails */
    /* Why the data ended before the file did, without a failure (a dirty
     * read that stopped before a cut record); also in file.dcache.cerrno. */
    error_detail early_end;
    std::string err_text;
    uint64_t block_end = 0;         /* dox VB: end of the block holding the current record */
    uint64_t block_cut = VFS_ERROR; /* dox VB: BDW of a block the end of the file cut short */
    grow_buffer joined;             /* dox VS, VBS: the segments of the current record joined */
    vfs_buffer joined_view = {};    /* how a joined record is handed out */
    bool held = false;              /* the current record is whole in dcache.current alone */
    std::string last_key;           /* yar: key of the last record read or written */
    uint64_t max_seen = 0;          /* writing: longest record */
    uint64_t delivered = 0;         /* records returned since the first */
    /* writing */
    unsigned char *wbuf = nullptr;
    size_t wfill = 0;
    size_t wsize = 0;
    uint64_t woffset = 0;      /* file offset of wbuf[0] */
    std::string block;         /* dox VB: records of the block being built */
    converter *conv = nullptr; /* record data converted from or to a code page */
};

inline handle *to_handle(vfs_file *f)
{
    return reinterpret_cast<handle *>(f);
}

/* Result of a driver's record step. */
enum class step { record, end, error };
struct record_place {
    uint64_t roffset = 0, doffset = 0, dlen = 0, rlen = 0;
    bool joined = false; /* the data is in handle::joined, not at doffset */
};

struct driver {
    drv id;
    const struct vfs_api *table;
    /* Completes a layout from options and the program's description; false with e. */
    bool (*settle)(layout &l, const prefix_options &o, bool have_opts, const vfs_file_info &info,
                   bool for_write, error_detail &e);
    /* The record that starts at `at` (data_offset for the first). */
    step (*next)(handle &h, uint64_t at, bool first, record_place &r);
    /* Appends one record to the output. */
    bool (*put)(handle &h, const unsigned char *data, uint64_t len);
    /* Writes what put kept back (a partial block); may be null. */
    bool (*finish)(handle &h) = nullptr;
    /* Checks and adjusts a handle just opened for reading (locks, cache size); may be null. */
    bool (*opened)(handle &h, error_detail &e) = nullptr;
};

/* Fixed records with nothing between them (keyed ones have length words). */
inline bool bare_fixed(const layout &l)
{
    return l.recfm == vfs_rec_fixed && l.driver != drv::yar;
}

extern const driver oka_driver, umb_driver, tev_driver, dox_driver, yar_driver;
const driver &driver_of(drv d);

/* Cache */
inline constexpr uint64_t default_buffsize = 256 * 1024;
inline constexpr uint32_t default_buffers = 4;
bool cache_init(handle &h, uint64_t buffsize, uint32_t count);
void cache_free(handle &h);
/*
 * How many of the n bytes from at on the file holds (fewer only where it
 * ends), reading ahead as far as needed; VFS_ERROR with errno when a read
 * fails. Every driver asks this before it takes bytes from the cache.
 */
uint64_t cache_span(handle &h, uint64_t at, uint64_t n);
/* The buffer holding byte off (which cache_span found), loading it when needed; null with errno. */
vfs_buffer *cache_at(handle &h, uint64_t off);
/* Copies n bytes at off; false with errno on I/O failure. The caller checks the range. */
bool cache_copy(handle &h, uint64_t off, void *dst, uint64_t n);
/* The record's data in one piece: in the cache buffer or the joined segments
 * that hold it, or copied together when it crosses cache buffers. Null with errno. */
const unsigned char *record_bytes(handle &h, const record_place &r);
/* Points v at n bytes shown as the file's bytes from offset on, raw the
 * bytes of the file they stand for; end: nothing follows. */
vfs_buffer *show(vfs_buffer &v, unsigned char *bytes, uint64_t offset, uint64_t n, uint64_t raw,
                 bool end);
extern "C" int vfs_cache_read(vfs_file *f, vfs_cursor *c);
extern const vfs_internals cached_internals;

/*
 * Handle-level operations shared by every driver. A driver's own table is
 * given the name as written, prefix and options included, and parses it
 * again (parse_for_driver); the generic table passes the name it parsed.
 */
vfs_file *open_handle(const driver &d, vfs_file_info *info);
int create_handle(const driver &d, vfs_file_info *info);
vfs_file *open_parsed(const driver &d, vfs_file_info *info, const parsed_name &p);
int create_parsed(const driver &d, vfs_file_info *info, const parsed_name &p);
/* Counted files: settles data_end and end_err; false with errno when a read fails. */
bool settle_end(handle &h);

/*
 * Code pages. codepage_open sets up the conversion the options ask for (none
 * without codepage=): read, record data goes from the code page to the
 * target; written, from the target to the code page, fixed records padded
 * with the code page's space. False with e.
 */
bool codepage_open(handle &h, const prefix_options &o, error_detail &e);
void codepage_close(handle &h);
/* The record r converted, in a buffer of its own; r.dlen becomes the
 * converted length. Null with errno, h.err set for an unconvertible byte. */
vfs_buffer *convert_record(handle &h, record_place &r);
/* Replaces dcache.current, a raw block, by its whole records converted;
 * buffsize of the result is the raw bytes it covers. -1 with errno. */
int convert_block(handle &h);
/* A record about to be written, converted in place of data and len. */
bool convert_for_write(handle &h, const unsigned char *&data, uint64_t &len);

/* Records a damage error on the handle, sets errno, returns VFS_ERROR. */
uint64_t fail(handle &h, error_detail e);
inline error_detail at_byte(int code, uint64_t off)
{
    error_detail e;
    e.code = code;
    e.offset = off;
    return e;
}

/* Byte order helpers for prefixes and header fields. */
inline uint64_t get_be(const unsigned char *p, int n)
{
    uint64_t v = 0;
    for (int i = 0; i < n; i++)
        v = v << 8 | p[i];
    return v;
}
inline uint64_t get_le(const unsigned char *p, int n)
{
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; i--)
        v = v << 8 | p[i];
    return v;
}
inline void put_be(unsigned char *p, int n, uint64_t v)
{
    for (int i = n - 1; i >= 0; i--, v >>= 8)
        p[i] = static_cast<unsigned char>(v);
}
inline void put_le(unsigned char *p, int n, uint64_t v)
{
    for (int i = 0; i < n; i++, v >>= 8)
        p[i] = static_cast<unsigned char>(v);
}
inline bool host_big_endian()
{
    return __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
}

/* Layout rules the drivers share. */
error_detail bad_option(const char *key, uint64_t value);
error_detail bad_option(const char *text);
error_detail too_long(uint64_t len, uint64_t max, uint64_t off);
/* The program's record length, or 0 when it gave none. */
uint64_t info_lrecl(const vfs_file_info &info);
/* Fixed records: the record at `at`, or the end, or a truncated one. */
step fixed_next(handle &h, uint64_t at, record_place &r);
/* Writes a fixed record, padded to lrecl. */
bool fixed_put(handle &h, const unsigned char *data, uint64_t len);
/* Header and byte order settings common to every driver that writes one. */
void settle_header(layout &l, const prefix_options &o, bool for_write, const vfs_file_info &info);
/* The text of a recfm= value, as the name gives it. */
const char *recfm_text(char recfm);
/* Refuses what only queued sequential files take: blocked and spanned record
 * formats, blksize=, rdwlen=, skip= and trailer=; false with e. */
bool refuse_queued_options(const prefix_options &o, error_detail &e);

/* Appends bytes to a writing handle's output buffer. */
bool emit(handle &h, const void *p, uint64_t n);
/* Appends n bytes of value byte. */
bool emit_fill(handle &h, unsigned char byte, uint64_t n);

/* The honest "not supported" operations every table shares. */
uint64_t unsupported64(vfs_file *, vfs_iovec *, uint64_t, vfs_rec_info *, const vfs_shlock *,
                       vfs_position, ...);
int unsupported(vfs_file *, vfs_iovec *, uint64_t, vfs_rec_info *, const vfs_shlock *, vfs_position,
                ...);

} // namespace vfs

/* The operations a driver table names; defined once, shared by all drivers. */
extern "C" {
int vfs_op_exists(const char *name);
int vfs_op_rename(const char *from, const char *to);
int vfs_op_destroy(const char *name);
int vfs_op_fstat(vfs_file *f, vfs_file_info *info);
int vfs_op_sync(vfs_file *f);
int vfs_op_close(vfs_file *f, vfs_file_info *info);
int vfs_op_eof(vfs_file *f);
uint64_t vfs_op_read(vfs_file *f, vfs_iovec *iov, uint64_t n, vfs_rec_info *ri,
                     const vfs_shlock *sl, vfs_position pos, ...);
uint64_t vfs_op_write(vfs_file *f, vfs_iovec *iov, uint64_t n, vfs_rec_info *ri,
                      const vfs_shlock *sl, vfs_position pos, ...);
uint64_t vfs_op_seek(vfs_file *f, vfs_iovec *iov, uint64_t n, vfs_rec_info *ri,
                     const vfs_shlock *sl, vfs_position pos, ...);
int vfs_op_unlockall(vfs_file *f);
const char *vfs_op_strerror(vfs_file *f, uint32_t errnum, uint32_t *out, const uint32_t *lookup);
const struct vfs_api *vfs_op_resolve(const char *, const char *, const char *name, char **realname);
}

#endif
