#!/usr/bin/env python3
# mainframe_gen.py FILE LINES [KEY=VALUE...]: a mainframe record file made with
# struct alone, and the lines its records print. Keys (defaults in brackets):
#   recfm=f|v|vb|vs|vbs [v]  order=be|le [be]  rdwlen=total|data [total]
#   lrecl=N      f: the record length [30]
#   blksize=N    vb, vbs: the most bytes a block takes, its word included [100]
#   seg=N        vs, vbs: the most data bytes a segment takes [7]
#   fill=1       vbs: a record's first segment fills what its block has left
#   skip=N, trailer=N: bytes of "Z" before and after the records [0]
#   records=N    text records of 0 to 39 bytes [8]; long=N adds one of N bytes
#   brk=middle|last|first|end: after the records, a middle or last segment
#                without a first, a first while one is open, or a first and
#                the end of the file; LINES holds the records before it.
# A word is IBM's 4 bytes (2-byte length, flags, 0); order=le stores the
# whole word as one little-endian integer, so 84 bytes are 00 00 54 00.
import struct
import sys

path, lines, *args = sys.argv[1:]
opt = dict(a.split("=", 1) for a in args)
recfm, le = opt.get("recfm", "v"), opt.get("order", "be") == "le"
data_only = opt.get("rdwlen", "total") == "data"
blksize, seg = int(opt.get("blksize", 100)), int(opt.get("seg", 7))
recs = [(b"%d:" % i + b"ABCDEFGHIJ" * 4)[: i * 13 % 40] for i in range(int(opt.get("records", 8)))]
if "long" in opt:
    recs.append(bytes(b"0123456789"[i % 10] for i in range(int(opt["long"]))))


def word(length, flags=0, block=False):
    n = length if block or not data_only else length - 4
    return struct.pack("<I" if le else ">I", n << 16 | flags << 8)


def segments(rec, first, rest):
    """(flags, data) of a record's segments: the first of at most first bytes, the others rest."""
    cut = [rec[:first]] + [rec[at:at + rest] for at in range(first, len(rec), rest)]
    if len(cut) == 1:
        return [(0, cut[0])]
    return [(1, cut[0])] + [(3, c) for c in cut[1:-1]] + [(2, cut[-1])]


def pieces(recs):
    """Every record's words and data; blocks are made later."""
    if recfm not in ("vs", "vbs"):
        return [word(len(r) + 4) + r for r in recs]
    return [word(len(d) + 4, f) + d for r in recs for f, d in segments(r, seg, seg)]


def blocked(parts):
    """Pieces gathered in blocks of at most blksize bytes."""
    blocks, cur = [], b""
    for p in parts:
        if cur and 4 + len(cur) + len(p) > blksize:
            blocks.append(cur)
            cur = b""
        cur += p
    return b"".join(word(len(b) + 4, block=True) + b for b in blocks + [cur] if b)


def filled(recs):
    """VBS whose records' first segments fill what their block has left."""
    blocks, cur = [], b""
    for r in recs:
        room = blksize - 8 - len(cur)
        if room <= 0 and r:
            blocks.append(cur)
            cur, room = b"", blksize - 8
        for f, d in segments(r, max(room, 0), blksize - 8):
            if 8 + len(cur) + len(d) > blksize:
                blocks.append(cur)
                cur = b""
            cur += word(len(d) + 4, f) + d
    return b"".join(word(len(b) + 4, block=True) + b for b in blocks + [cur] if b)


def broken(kind):
    """The pieces of a broken chain, each of 3 data bytes."""
    flags = {"middle": [3], "last": [2], "first": [1, 1, 2], "end": [1]}[kind]
    return [word(7, f) + b"XYZ" for f in flags]


if recfm == "f":
    lrecl = int(opt.get("lrecl", 30))
    body = b"".join(r.ljust(lrecl, b" ")[:lrecl] for r in recs)
    recs = [r.ljust(lrecl, b" ")[:lrecl] for r in recs]
elif recfm == "vbs" and opt.get("fill") == "1":
    body = filled(recs)
else:
    parts = pieces(recs) + (broken(opt["brk"]) if "brk" in opt else [])
    body = blocked(parts) if recfm in ("vb", "vbs") else b"".join(parts)
with open(path, "wb") as f:
    f.write(b"Z" * int(opt.get("skip", 0)) + body + b"Z" * int(opt.get("trailer", 0)))
with open(lines, "wb") as f:
    f.write(b"".join(r + b"\n" for r in recs))
