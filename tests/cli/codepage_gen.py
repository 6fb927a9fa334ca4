#!/usr/bin/env python3
# codepage_gen.py CODEC FILE LINES [HEX...]: an EBCDIC VB file made with Python's
# codecs and struct alone, and the UTF-8 lines its records must print. Records
# of growing length (an empty one first) hold every byte but the HEX ones, then
# a long one and one of the bytes that become ASCII; blocks hold three records each.
import struct
import sys

codec, path, lines, *skip = sys.argv[1:]
data = bytes(b for b in range(256) if b not in {int(x, 16) for x in skip})
recs, at = [], 0
while at < len(data):
    recs.append(data[at:at + 7 * len(recs)])
    at += len(recs[-1])
recs.append(data[::-1] * 12)
recs.append(bytes(b for b in data if bytes([b]).decode(codec) < "\x80"))
with open(path, "wb") as f:
    for i in range(0, len(recs), 3):
        body = b"".join(struct.pack(">HH", len(r) + 4, 0) + r for r in recs[i:i + 3])
        f.write(struct.pack(">HH", len(body) + 4, 0) + body)
with open(lines, "wb") as f:
    f.write(b"".join(r.decode(codec).encode() + b"\n" for r in recs))
