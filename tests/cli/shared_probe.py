#!/usr/bin/env python3
# shared_probe.py ACTION ...: what another process sharing tandro's descriptors
# sees, at the moment that matters, without sleeping to get there.
#
#   flags-while-running TANDRO FILE...
#                                runs TANDRO FILE... into a pipe whose write
#                                end we keep: once data came, prints whether
#                                that shared description is non-blocking,
#                                then the bytes read to the end
#   cut-while-queued FILE SIZE   standard input as above: once a page came,
#                                cuts FILE to SIZE bytes, then reads to the end
#   idle-cpu TANDRO FILE...      runs TANDRO FILE... into a pipe made
#                                non-blocking by us, never read until the pipe
#                                stays full; prints "idle" when the copy spent
#                                under 1% CPU over 3 s, then the bytes and status
#   flags-after-kill TANDRO      runs TANDRO - between two pipes, waits for a
#                                byte to come through, kills it (-9, the PID
#                                a caller holds, and its child); prints "same"
#                                when both descriptions have their flags back
import fcntl
import os
import select
import signal
import subprocess
import sys
import termios
import time

DEADLINE = 10  # seconds: qemu starts slowly


def queued(fd):
    return int.from_bytes(fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"), "little")


def wait_for(test, what):
    end = time.monotonic() + DEADLINE
    while not test():
        if time.monotonic() > end:
            sys.exit(f"shared_probe: no {what} within {DEADLINE} s")
        time.sleep(0.01)


def drain(fd):
    total = 0
    while chunk := os.read(fd, 1 << 20):
        total += len(chunk)
    return total


def flags_while_running(tandro, *files):
    r, w = os.pipe()
    copy = subprocess.Popen([tandro, *files], stdout=w)
    wait_for(lambda: queued(r) > 0, "data")
    blocking = fcntl.fcntl(w, fcntl.F_GETFL) & os.O_NONBLOCK == 0
    os.close(w)
    print("blocking" if blocking else "non-blocking", drain(r), copy.wait())


def cut_while_queued(path, size):
    wait_for(lambda: queued(0) >= 4096, "page in the pipe")
    os.truncate(path, int(size))
    drain(0)


def family(pid):
    """The PID and its children, read from /proc."""
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [pid] + [int(c) for c in f.read().split()]
    except OSError:
        return [pid]


def ticks(pids):
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])  # utime, stime
        except OSError:
            pass
    return total


def stays_full(fd):
    before = queued(fd)
    time.sleep(0.3)
    return before > 0 and queued(fd) == before


def idle_cpu(tandro, *files):
    r, w = os.pipe()
    fcntl.fcntl(w, fcntl.F_SETFL, fcntl.fcntl(w, fcntl.F_GETFL) | os.O_NONBLOCK)
    copy = subprocess.Popen([tandro, *files], stdout=w)
    os.close(w)
    wait_for(lambda: stays_full(r), "full pipe")
    pids = family(copy.pid)
    spent = ticks(pids)
    time.sleep(3)
    spent = ticks(pids) - spent
    hz = os.sysconf("SC_CLK_TCK")
    print("idle" if spent * 100 < 3 * hz else f"busy: {spent} ticks in 3 s")
    print(drain(r), copy.wait())


def flags_after_kill(tandro):
    in_r, in_w = os.pipe()
    out_r, out_w = os.pipe()
    before = [fcntl.fcntl(fd, fcntl.F_GETFL) for fd in (in_r, out_w)]
    os.write(in_w, b"x")
    copy = subprocess.Popen([tandro, "-"], stdin=in_r, stdout=out_w)
    if not select.select([out_r], [], [], DEADLINE)[0]:
        sys.exit("shared_probe: nothing came through")
    # The PID held first, so that no one is left to report the child's end.
    for pid in family(copy.pid):
        os.kill(pid, signal.SIGKILL)
    copy.wait()
    after = [fcntl.fcntl(fd, fcntl.F_GETFL) for fd in (in_r, out_w)]
    print("same" if after == before else f"changed: {before} -> {after}")


actions = {
    "flags-while-running": flags_while_running,
    "cut-while-queued": cut_while_queued,
    "idle-cpu": idle_cpu,
    "flags-after-kill": flags_after_kill,
}
actions[sys.argv[1]](*sys.argv[2:])
