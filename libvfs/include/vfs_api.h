/*
 * Public interface of the virtual file-system library: the operation table
 * every driver fills, the file description, and the transfer records.
 * C linkage; all counts, lengths and offsets are 64 bits on every target.
 */
#ifndef VFS_API_H
#define VFS_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VFS_VERSION 20210520
#define VFS_VRM 0x20210520u
#define VFS_REVERSED UINT64_C(0x1)
#define VFS_RECINFO UINT64_C(0x2)
#define VFS_ZERO_COPY UINT64_C(0x10)
#define VFS_CONVERTED UINT64_C(0x20) /* records converted from a code page: never copied raw */
#define VFS_OPEN_CREATE (UINT64_C(1) << 61)
#define VFS_OPEN_MQUEUE (UINT64_C(1) << 62)
#define VFS_OPEN_SOCKET (UINT64_C(1) << 63)
#define VFS_KEYLEN_MAX 256
#define VFS_LOCK_MAX 16
#define VFS_ERROR (~UINT64_C(0))
#define VFS_EYE "vfs_api"

enum vfs_organization {
    vfs_org_unk,
    vfs_org_sequential,
    vfs_org_relative,
    vfs_org_indexed,
};

enum vfs_access {
    vfs_acc_unk,
    vfs_acc_sequential,
    vfs_acc_dynamic,
    vfs_acc_random,
};

enum vfs_recformat {
    vfs_rec_unk,
    vfs_rec_variable,
    vfs_rec_spanned,
    vfs_rec_fixed,
    vfs_rec_undefined,
};

enum vfs_position {
    vfs_pos_next,
    vfs_pos_prev,
    vfs_pos_first,
    vfs_pos_last,
    vfs_pos_append,
    vfs_pos_curr,
    vfs_pos_rrn,
    vfs_pos_key,
    vfs_pos_offset,
    vfs_pos_beg,
    vfs_pos_end,
    vfs_pos_buffer,
    vfs_pos_file,
    vfs_pos_error,
};

enum vfs_share { vfs_share_default, vfs_share_none, vfs_share_ro, vfs_share_all };

enum vfs_lockm {
    vfs_lockm_default,
    vfs_lockm_none,
    vfs_lockm_filex,
    vfs_lockm_file,
    vfs_lockm_auto,
    vfs_lockm_record,
    vfs_lockm_meta,
};

enum vfs_lock { vfs_lock_none, vfs_lock_ignore, vfs_lock_advance, vfs_lock_take };

enum vfs_retry { vfs_retry_none, vfs_retry_forever, vfs_retry_count };

enum vfs_pad { vfs_pad_native, vfs_pad_ascii, vfs_pad_ebcdic };

struct vfs_file;
struct vfs_cursor;
struct vfs_api;

struct vfs_shlock {
    enum vfs_share share;
    enum vfs_lockm lockm;
    unsigned autol : 1;
    unsigned multiple : 1;
    enum vfs_lock lock;
    enum vfs_lock lockr;
    enum vfs_retry retry;
    uint64_t retries;
    uint64_t delay;
};

struct vfs_iovec {
    uint64_t length;
    void *ptr;
};

struct vfs_rec_info {
    uint64_t version;
    void *key;
    uint64_t rba;
    uint64_t rrn;
    uint32_t duplicates;
};

struct vfs_file_info {
    uint64_t version;
    uint64_t blocklen;
    uint64_t min_datlen;
    uint64_t datlen; /* record length; 0 or VFS_ERROR: unset */
    uint64_t flags;
    uint64_t max_rrn;
    uint64_t records; /* VFS_ERROR: unknown */
    uint64_t deleted;
    uint64_t moved;
    uint64_t freed;
    uint64_t bytes;
    const char *fhandle;
    const char *fsys;
    char *fname;
    struct vfs_file *fh;
    const struct vfs_api *api;
    struct vfs_shlock *shlock;
    void *keylist;
    int omode;
    enum vfs_organization phy_org;
    enum vfs_organization log_org;
    enum vfs_access access;
    enum vfs_recformat recfm;
    enum vfs_pad pad;
};

struct vfs_internals {
    int (*_cache_read)(struct vfs_file *, struct vfs_cursor *);
    int (*_cache_write)(struct vfs_file *, struct vfs_cursor *);
    int (*_cache_spill)(struct vfs_file *, struct vfs_cursor *);
    int (*_meta_dump)(struct vfs_file *);
};

typedef uint64_t (*vfs_record_op64)(struct vfs_file *, struct vfs_iovec *, uint64_t,
                                    struct vfs_rec_info *, const struct vfs_shlock *,
                                    enum vfs_position, ...);
typedef int (*vfs_record_op)(struct vfs_file *, struct vfs_iovec *, uint64_t, struct vfs_rec_info *,
                             const struct vfs_shlock *, enum vfs_position, ...);

struct vfs_api {
    char vfs_eye[8];
    uint32_t vfs_vrm;
    uint32_t vfs_size;
    const struct vfs_internals *vfs_internals;
    enum vfs_organization organization;
    enum vfs_access access;
    unsigned vfs_non_native : 1;
    unsigned vfs_vhrrn_known : 1;
    unsigned vfs_vprev_safe : 1;
    unsigned vfs_delete_safe : 1;
    unsigned vfs_dio_all : 1;
    unsigned vfs_dio_seq : 1;
    const struct vfs_api *(*vfs_resolve)(const char *, const char *, const char *name,
                                         char **realname);
    int (*vfs_exists)(const char *name);
    int (*vfs_rename)(const char *, const char *);
    int (*vfs_create)(struct vfs_file_info *);
    int (*vfs_destroy)(const char *);
    struct vfs_file *(*vfs_open)(struct vfs_file_info *);
    int (*vfs_fstat)(struct vfs_file *, struct vfs_file_info *);
    int (*vfs_sync)(struct vfs_file *);
    int (*vfs_close)(struct vfs_file *, struct vfs_file_info *);
    int (*vfs_eof)(struct vfs_file *);
    vfs_record_op64 vfs_read;
    vfs_record_op64 vfs_write;
    vfs_record_op64 vfs_rewrite;
    vfs_record_op vfs_delete;
    vfs_record_op64 vfs_seek;
    vfs_record_op vfs_locked;
    vfs_record_op vfs_lock;
    vfs_record_op vfs_unlock;
    int (*vfs_unlockall)(struct vfs_file *);
    const char *(*vfs_strerror)(struct vfs_file *handle, uint32_t errnum, uint32_t *out,
                                const uint32_t *lookup);
};

/* The generic table: only vfs_resolve is meant to be called through it. */
extern const struct vfs_api vfs_api;

#ifdef __cplusplus
}
#endif

#endif
