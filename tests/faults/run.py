#!/usr/bin/env python3
"""Puts each deliberate fault of faults.list alone into a copy of the tree,
rebuilds what it changed and runs the tests that should notice it: the
GoogleTest label of the fault's folder and every whole-program table.

usage: run.py [--asan] [--only REGEX] [--check] BUILD_DIR

BUILD_DIR/src is the copy (the tracked files of this work tree), BUILD_DIR/native
or BUILD_DIR/asan the build. --asan builds with the sanitizers and counts a
report of any process as caught. The tree must pass without a fault first.
Prints caught/MISSED per fault, those that no longer apply or build apart,
and the time; the status is 1 when any fault was not caught.
"""
import argparse
import filecmp
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
LABELS = {"libvfs": "unit", "libports": "unit", "orvane": "orvane", "tools": None}
# A log that only notes the engine test's deliberately failed allocation is no report.
QUIET_LOG = re.compile(r"(==[0-9]+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ bytes)?")


def faults(only):
    """The rows of faults.list as (file, text, replacement, what), REGEX-picked."""
    for line in (ROOT / "tests/faults/faults.list").read_text().splitlines():
        if not line.strip() or line.startswith("#") or not re.search(only, line):
            continue
        fields = [f.strip().replace("\\n", "\n") for f in line.split(";;")]
        if len(fields) != 4:
            sys.exit(f"faults.list: not 4 fields: {line}")
        yield fields


def sync(src):
    """Copies the tracked files that differ; a copied file is newer than any object."""
    listed = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True, capture_output=True)
    for name in listed.stdout.decode().split("\0"):
        have, want = ROOT / name, src / name
        if name and have.is_file() and not (want.exists() and filecmp.cmp(have, want, False)):
            want.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(have, want)
            shutil.copymode(have, want)


def run(cmd, log, env=None):
    with open(log, "w") as out:
        return subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, env=env).returncode == 0


class Tree:
    def __init__(self, build, asan):
        self.src, self.dir = build / "src", build / ("asan" if asan else "native")
        self.asan, self.logs = asan, self.dir / "sanitizer-logs"
        sync(self.src)
        flags = ["-DTANDRO_M32=OFF", "-DTANDRO_WERROR=ON", f"-DTANDRO_SANITIZE={'ON' if asan else 'OFF'}"]
        self.dir.mkdir(parents=True, exist_ok=True)
        if not run(["cmake", "-S", self.src, "-B", self.dir] + flags, self.dir / "configure.log"):
            sys.exit(f"cannot configure {self.dir} (configure.log)")

    def build(self):
        return run(["cmake", "--build", self.dir, "-j2"], self.dir / "build.log")

    def failures(self, labels):
        """The tests that failed (and "sanitizer" for a report); empty when all passed."""
        shutil.rmtree(self.logs, ignore_errors=True)
        self.logs.mkdir()
        env = dict(os.environ)
        if self.asan:
            env["ASAN_OPTIONS"] = f"halt_on_error=1:detect_leaks=1:log_path={self.logs}/asan"
            env["UBSAN_OPTIONS"] = f"halt_on_error=1:print_stacktrace=1:log_path={self.logs}/ubsan"
        cmd = ["ctest", "--test-dir", self.dir, "-j2", "--stop-on-failure", "-L", labels]
        log = self.dir / "ctest.log"
        passed = run(cmd, log, env)
        failed = re.findall(r"^\s*\d+ - (\S+) \(", log.read_text(), re.M)
        if not passed and not failed:
            failed = ["ctest"]
        for report in self.logs.iterdir():
            if any(not QUIET_LOG.fullmatch(l) for l in report.read_text(errors="replace").splitlines()):
                return failed + ["sanitizer"]
        return failed


def try_fault(tree, file, text, fix):
    """caught (with the tests), MISSED, "no longer applies" or "does not build"."""
    path = tree.src / file
    original = path.read_text()
    if original.count(text) != 1:
        return "no longer applies", []
    path.write_text(original.replace(text, fix))
    try:
        if not tree.build():
            return "does not build", []
        label = LABELS.get(file.split("/")[0])
        caught_by = tree.failures(f"^(cli{'|' + label if label else ''})$")
        return ("caught" if caught_by else "MISSED"), caught_by
    finally:
        path.write_text(original)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", type=Path)
    parser.add_argument("--asan", action="store_true")
    parser.add_argument("--only", default="", help="faults whose row matches REGEX")
    parser.add_argument("--check", action="store_true", help="only whether each fault applies")
    args = parser.parse_args()
    rows = list(faults(args.only))
    if args.check:
        for file, text, _, what in rows:
            applies = (ROOT / file).read_text().count(text) == 1
            print(f"{'applies' if applies else 'no longer applies':<18} {file}: {what}")
        return 0
    start = time.monotonic()
    tree = Tree(args.build.resolve(), args.asan)
    if not tree.build() or tree.failures("^(cli|unit|orvane)$"):
        sys.exit(f"the tree fails without a fault: {tree.dir}/build.log, ctest.log")
    counts = {}
    for file, text, fix, what in rows:
        began = time.monotonic()
        outcome, by = try_fault(tree, file, text, fix)
        counts[outcome] = counts.get(outcome, 0) + 1
        seen = f"  [{' '.join(by)}]" if by else ""
        print(f"{outcome:<18} {time.monotonic() - began:5.0f}s  {file}: {what}{seen}", flush=True)
    minutes, seconds = divmod(int(time.monotonic() - start), 60)
    summary = ", ".join(f"{n} {k}" for k, n in sorted(counts.items()))
    print(f"{'asan' if args.asan else 'plain'}: {len(rows)} faults: {summary}; {minutes}m{seconds:02d}s")
    return 0 if counts.get("caught", 0) == len(rows) else 1


if __name__ == "__main__":
    sys.exit(main())
