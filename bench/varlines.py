"""Writes text lines of random lengths 0..4000 (base64 characters), about
BYTES bytes in all, and prints their count: the records of the benchmark's
variable-length case. Usage: varlines.py BYTES FILE"""
import base64
import os
import random
import sys

total, path = int(sys.argv[1]), sys.argv[2]
rng = random.Random(4000)
pool = base64.b64encode(os.urandom(3 << 20))
written = records = 0
with open(path, "wb") as out:
    while written < total:
        chunk = []
        for _ in range(4096):
            n = rng.randint(0, 4000)
            at = rng.randrange(len(pool) - n)
            chunk += (pool[at:at + n], b"\n")
            written += n + 1
            records += 1
            if written >= total:
                break
        out.write(b"".join(chunk))
print(records)
