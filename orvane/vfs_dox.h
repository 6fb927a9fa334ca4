/*
 * Queued sequential (dox) files: what the record walk and the trial walks
 * over a file's first bytes share.
 */
#ifndef VFS_DOX_H
#define VFS_DOX_H

#include <stdint.h>

#include <string>

#include "vfs_core.h"

namespace vfs
{

inline constexpr uint64_t rdw_size = 4;

/* Segment flags in the third byte of a segment's word. */
enum segment_flags : unsigned { seg_whole = 0, seg_first = 1, seg_last = 2, seg_middle = 3 };

/*
 * The record at `at` as the layout says (first: the walk starts there),
 * without the checks the first record of a file gets. A record of several
 * segments is joined in h.joined.
 */
step dox_walk(handle &h, uint64_t at, bool first, record_place &r);
/* The bytes an RDW or segment word covers, itself included (0 when it is
 * malformed), and its segment flags. */
uint64_t piece_length(const layout &l, const unsigned char *b, unsigned &flags);

/* -r v without recfm=: blocks or not, and whether segments were seen, as
 * walks of the first 64 KiB tell. */
void choose_layout(handle &h);
/* A file read without blocks whose first 64 KiB walk cleanly as blocks, in
 * its own word form or (as the one set that reads them) another: e is the
 * refusal, with that set's options. */
bool records_in_blocks(handle &h, error_detail &e);
/* The one set of recfm=, order= and rdwlen= under which the first 64 KiB
 * walk cleanly, as option text; empty when none or several do. */
std::string reading_options(handle &h);
/* The damage the first 64 KiB meet in the file's own layout, when exactly
 * one other set reads them cleanly (its options in e.hint): the file is of
 * that set, and no record of it may be printed. False otherwise. */
bool misread(handle &h, error_detail &e);

} // namespace vfs

#endif
