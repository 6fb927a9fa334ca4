// Trial walks over the first 64 KiB of a variable queued sequential file, on
// a handle of their own, so that no layout is guessed from a word or two:
// they choose between blocks and plain records for -r v, refuse a file
// named unblocked whose records are in blocks, and name the options that
// read a file whose first record failed. The file itself is only ever read
// as the options say.
#include <errno.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "vfs_dox.h"

namespace vfs
{

namespace
{

constexpr uint64_t window = 64 * 1024;

// What a trial walk found.
struct trial {
    bool clean = false;          // it met the end, or the window's, without damage
    uint64_t records = 0;        // the records it walked
    uint64_t stop = 0;           // where it stopped: the damage, or the end
    bool joined = false;         // a record of several segments was among them
    record_place first;          // the first record
    uint64_t second = VFS_ERROR; // where the second record starts
    error_detail err;            // the damage it stopped at
};

// The file's first 64 KiB (from the data offset), walked in trial layouts
// on a handle and a cache of their own; the real handle is left as it was.
class probe
{
  public:
    explicit probe(const handle &real)
    {
        h_.file.fd = real.file.fd;
        h_.lay = real.lay;
        start_ = real.lay.data_offset;
        end_ = real.ended ? real.reach : real.bound;
        h_.bound = std::min(end_, start_ + window);
        h_.reach = start_;
        ready_ = cache_init(h_, window, 1);
    }
    ~probe() { cache_free(h_); }
    probe(const probe &) = delete;
    probe &operator=(const probe &) = delete;

    // A walk from `from` on (the data offset by default) in layout l.
    trial walk(const layout &l, uint64_t from = VFS_ERROR)
    {
        trial t;
        t.stop = from = from == VFS_ERROR ? start_ : from;
        if (!ready_)
            return t;
        h_.lay = l;
        h_.lay.check = first_walk::as_given;
        h_.err = error_detail();
        record_place r;
        for (uint64_t at = from;; at = r.roffset + r.rlen) {
            step s = dox_walk(h_, at, t.records == 0, r);
            if (s != step::record)
                return ended(t, s, at);
            if (t.records == 0)
                t.first = r;
            if (t.records == 1)
                t.second = r.roffset;
            t.joined = t.joined || r.joined;
            t.records++;
        }
    }

    // The descriptor word at off, which a walk has passed.
    bool word_at(uint64_t off, unsigned char w[4]) { return cache_copy(h_, off, w, rdw_size); }

  private:
    // A walk that stopped at `at`: cleanly at the end, or where the window
    // cut a record or block the file goes on with.
    trial &ended(trial &t, step s, uint64_t at)
    {
        int code = h_.err.code;
        bool cut = h_.reach >= start_ + window && end_ > start_ + window;
        t.clean = s == step::end || (cut && (code == e_truncated || code == e_truncated_block));
        t.stop = s == step::end || h_.err.offset == VFS_ERROR ? at : h_.err.offset;
        t.err = h_.err;
        return t;
    }

    handle h_;
    uint64_t start_ = 0, end_ = 0;
    bool ready_ = false;
};

layout trial_layout(const layout &base, bool blocked, bool segments)
{
    layout l = base;
    l.blocked = blocked;
    l.segments = segments;
    return l;
}

// Whether an unblocked walk that went cleanly read blocks as records: the
// first record's data starts with a word that fits in it, or the records
// from the second on walk cleanly as blocks.
bool looks_blocked(probe &p, const layout &base, const trial &u)
{
    layout blocks = trial_layout(base, true, true);
    unsigned char w[4];
    unsigned flags = 0;
    const record_place &f = u.first;
    if (!f.joined && f.dlen >= rdw_size && p.word_at(f.doffset, w)) {
        uint64_t len = piece_length(blocks, w, flags);
        if (len != 0 && len <= f.dlen)
            return true;
    }
    if (u.records < 2)
        return false;
    trial t = p.walk(blocks, u.second);
    return t.clean && t.records > 0;
}

std::string set_text(const layout &l)
{
    std::string s = l.blocked ? "recfm=vb" : "recfm=v";
    if (l.segments)
        s += 's';
    s += l.words_le ? ",order=le" : ",order=be";
    s += l.rdw_data ? ",rdwlen=data" : ",rdwlen=total";
    return s;
}

bool same_set(const layout &a, const layout &b)
{
    return a.blocked == b.blocked && a.segments == b.segments && a.words_le == b.words_le &&
           a.rdw_data == b.rdw_data;
}

} // namespace

void choose_layout(handle &h)
{
    probe p(h);
    trial b = p.walk(trial_layout(h.lay, true, true));
    trial u = p.walk(trial_layout(h.lay, false, true));
    bool blocked;
    if (b.clean && b.records > 0)
        blocked = true;
    else if (u.clean)
        blocked = looks_blocked(p, h.lay, u);
    else // damage either way: the walk that went further, blocks on a tie past a record
        blocked = b.stop > u.stop || (b.stop == u.stop && b.records > 0);
    h.lay.blocked = blocked;
    h.lay.recfm = (blocked ? b : u).joined ? vfs_rec_spanned : vfs_rec_variable;
}

std::string reading_options(handle &h)
{
    probe p(h);
    std::vector<std::string> blocked, unblocked;
    for (int set = 0; set < 16; set++) {
        layout l = trial_layout(h.lay, (set & 1) != 0, (set & 2) != 0);
        l.words_le = (set & 4) != 0;
        l.rdw_data = (set & 8) != 0;
        // The set the file was read in failed already; one with segments
        // that met none reads as the same set without them.
        if (same_set(l, h.lay))
            continue;
        trial t = p.walk(l);
        if (!t.clean || t.records == 0 || (l.segments && !t.joined))
            continue;
        if (!l.blocked && looks_blocked(p, l, t))
            continue;
        (l.blocked ? blocked : unblocked).push_back(set_text(l));
    }
    // Blocks also walk as plain records, each block one record.
    const auto &found = blocked.empty() ? unblocked : blocked;
    return found.size() == 1 ? found[0] : "";
}

bool records_in_blocks(handle &h, error_detail &e)
{
    probe p(h);
    trial b = p.walk(trial_layout(h.lay, true, true));
    std::string sets = reading_options(h);
    if (!(b.clean && b.records > 0) && sets.rfind("recfm=vb", 0) != 0)
        return false;
    e = at_byte(e_in_blocks, h.lay.data_offset);
    e.hint = sets;
    return true;
}

bool misread(handle &h, error_detail &e)
{
    trial t = probe(h).walk(h.lay);
    if (t.clean || t.err.code == 0)
        return false;
    e = t.err;
    e.hint = reading_options(h);
    return !e.hint.empty();
}

} // namespace vfs
