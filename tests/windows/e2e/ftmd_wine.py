#!/usr/bin/env python3
"""Stands in for ftmd in the end-to-end tests under Wine.

Runs the real ftmd with the options given plus its TCP form on a free loopback port, then the
relay (under Wine) that offers ftmd's device to the test kernel driver. ftmd's output is passed
on, but only once the bridge can open the device (tests wait for ftmd's serving line), and
the line "relay ready" follows it; when the relay does not start, its lines and a line that
says so are all, and this process ends with status 1. SIGUSR1, SIGINT and
SIGTERM are passed to ftmd; ftmd and the relay die with this process; when ftmd ends, the relay
is ended and this process exits with ftmd's status.
"""
import ctypes
import os
import re
import signal
import subprocess
import sys
import threading
import time

PR_SET_PDEATHSIG = 1
libc = ctypes.CDLL(None, use_errno=True)


def die_with_parent():
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def read_until(stream, pattern, timeout, held=None):
    """Copies lines to stdout (or to the list held) until one matches; returns the match or None."""
    deadline = time.monotonic() + timeout
    found = [None]

    def pump():
        for raw in stream:
            line = raw.decode(errors="replace").replace("\r", "")
            if held is None:
                sys.stdout.write(line)
                sys.stdout.flush()
            else:
                held.append(line)
            m = re.search(pattern, line)
            if m:
                found[0] = m
                return

    t = threading.Thread(target=pump, daemon=True)
    t.start()
    t.join(max(0.0, deadline - time.monotonic()))
    return found[0]


def copy_rest(stream):
    def pump():
        for raw in stream:
            sys.stdout.write(raw.decode(errors="replace").replace("\r", ""))
            sys.stdout.flush()
    threading.Thread(target=pump, daemon=True).start()


class Tee:
    """Standard output, and a copy of it with the time of each write in a log of the lane."""

    def __init__(self, out, path):
        self.out, self.log, self.start, self.part = out, open(path, "w"), time.monotonic(), ""

    def write(self, text):
        self.out.write(text)
        *lines, self.part = (self.part + text).split("\n")
        self.log.write("".join("%7.3f %s\n" % (time.monotonic() - self.start, line) for line in lines))

    def flush(self):
        self.out.flush()
        self.log.flush()


def main():
    args = sys.argv[1:]
    # With TARNEXIO_WINE_LOGDIR set (as the lane sets it), each run's output is also kept
    # there with its times, for reading after a failure.
    if os.environ.get("TARNEXIO_WINE_LOGDIR"):
        sys.stdout = Tee(sys.stdout, os.path.join(os.environ["TARNEXIO_WINE_LOGDIR"],
                                                  "ftmd-%.9f-%d.log" % (time.time(), os.getpid())))
        print("ftmd_wine: " + " ".join(args), flush=True)
    kind = args[args.index("--type") + 1] if "--type" in args[:-1] else "1"
    name = "btftmdriver" if kind == "2" else "ZELDROVE"
    ftmd = subprocess.Popen([os.environ["TARNEXIO_FTMD_REAL"], *args, "--tcp", "0"],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, preexec_fn=die_with_parent)
    for sig in (signal.SIGUSR1, signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda s, _f: ftmd.send_signal(s))
    held = []
    m = read_until(ftmd.stdout, r"TCP form on 127\.0\.0\.1:(\d+)", 10, held)
    if not m:
        sys.stdout.write("".join(held))
        print("ftmd_wine: ftmd did not offer its TCP form", flush=True)
        ftmd.kill()
        return 1
    relay = subprocess.Popen(["/usr/lib/wine/wine64", os.environ["TARNEXIO_WINE_RELAY"], m.group(1), name],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, preexec_fn=die_with_parent)
    if not read_until(relay.stdout, r"^relay ready", 30):
        # Without the relay the device cannot be opened: ftmd's serving line would be a lie.
        print("ftmd_wine: the relay did not start (exit %s); ftmd stopped" % relay.poll(), flush=True)
        relay.kill()
        ftmd.kill()
        ftmd.wait()
        return 1
    sys.stdout.write("".join(held))
    sys.stdout.flush()
    copy_rest(ftmd.stdout)
    copy_rest(relay.stdout)
    while True:
        try:
            code = ftmd.wait()
            break
        except InterruptedError:
            continue
    # The relay ends itself once ftmd's connection closes (ExitProcess). Killed while it
    # does, Wine's server has been seen to fail an assertion in its socket code and end,
    # taking the driver host with it; so it is given time to go, and killed only after.
    try:
        relay.wait(10)
    except subprocess.TimeoutExpired:
        relay.kill()
        relay.wait()
    return code if code >= 0 else 128 - code


if __name__ == "__main__":
    sys.exit(main())
