#!/usr/bin/env python3
"""Figures for hostile programs: what the output queue really holds, whether
its bound holds through close, how long a write to a program that reads
nothing takes, and whether the process survives running out of memory.

    python benchmarks/hostile.py [--mib N]

Every measurement runs in a fresh interpreter (the one running this script,
so run it with the Python whose pellux you want to measure), so a hang or an
abort of one build is reported as such instead of ending the run.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

ONE_BYTE_WRITER = r"""
#include <unistd.h>
#include <stdlib.h>
int main(int argc, char** argv) {
    (void)argc;
    long n = atol(argv[1]);
    for (long i = 0; i < n; ++i) {
        char c = (char)('0' + i % 10);
        if (write(1, &c, 1) != 1) return 1;
    }
    return 0;
}
"""

PRELUDE = """
import json, os, resource, signal, sys, time
import pellux
MiB = 1 << 20

def status(field):
    with open("/proc/self/status") as f:
        return int(next(l for l in f if l.startswith(field)).split()[1]) * 1024
"""

ONE_BYTE = """
before = status("VmRSS")
s = pellux.Pellux(PROGRAM, False)
started = time.monotonic()
while s.is_alive():
    time.sleep(0.05)
time.sleep(0.5)
growth = status("VmRSS") - before
text = s.read_available(2**32 - 1)
s.close()
print(json.dumps({"queued": len(text), "growth": growth, "seconds": time.monotonic() - started}))
"""

CLOSE_FLOOD = """
s = pellux.Pellux(PROGRAM, False)
pid = int(s.read_until_ready(timeout_ms=10000, quiet_ms=300, max_output_bytes=64).split()[0])
# The queue fills up and the flood pauses: wait for the host to stop growing.
last, since, deadline = status("VmRSS"), time.monotonic(), time.monotonic() + 60
while time.monotonic() - since < 1.5 and time.monotonic() < deadline:
    time.sleep(0.1)
    now = status("VmRSS")
    if now > last + MiB:
        last, since = now, time.monotonic()
before = status("VmRSS")
started = time.monotonic()
s.close()
took = time.monotonic() - started
growth = status("VmRSS") - before
queued = 0
while True:
    piece = s.read_available(64 * MiB)
    if not piece:
        break
    queued += len(piece)
os.kill(pid, signal.SIGKILL)
print(json.dumps({"queued_after_close": queued, "growth_during_close": growth, "close_s": took}))
"""

BOUNDED_WRITE = """
s = pellux.Pellux(PROGRAM, True, ["pellux$ "])
s.read_until_ready(timeout_ms=10000)
s.send_and_read_until_ready("sleep 1000", timeout_ms=300)
typed = "\\n".join("echo stale " + "x" * 1000 for _ in range(64))
started = time.monotonic()
try:
    s.send_and_read_until_ready(typed, timeout_ms=2000)
    error = None
except RuntimeError as e:
    error = str(e)
write_s = time.monotonic() - started
started = time.monotonic()
s.send_ctrl_c()
ctrl_c_s = time.monotonic() - started
s.close()
print(json.dumps({"write_s": write_s, "error": error, "ctrl_c_s": ctrl_c_s}))
"""

OUT_OF_MEMORY = """
s = pellux.Pellux(PROGRAM, False)
_, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (status("VmSize") + 16 * MiB, hard))
time.sleep(3)
resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
got = 0
deadline = time.monotonic() + 60
while got < 48 * MiB and time.monotonic() < deadline:
    piece = s.read_available(4 * MiB)
    got += len(piece)
    if not piece:
        time.sleep(0.01)
s.close()
print(json.dumps({"received": got, "expected": 48 * MiB}))
"""


def run(code: str, program: str, timeout: float) -> dict:
    script = PRELUDE + f"PROGRAM = {program!r}\n" + textwrap.dedent(code)
    try:
        proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"outcome": f"hang (killed after {timeout:.0f} s)"}
    if proc.returncode != 0:
        last = (proc.stderr.strip().splitlines() or ["?"])[-1]
        return {"outcome": f"exit {proc.returncode}: {last}"}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mib", type=int, default=8, help="MiB written one byte at a time (default 8)")
    args = parser.parse_args()
    import pellux

    print(f"pellux from {pellux.__file__}")
    with tempfile.TemporaryDirectory(prefix="pellux-hostile-") as tmp:
        d = Path(tmp)

        def script(name: str, body: str) -> str:
            path = d / name
            path.write_text("#!/bin/sh\n" + body + "\n")
            path.chmod(0o755)
            return str(path)

        (d / "one_byte.c").write_text(ONE_BYTE_WRITER)
        subprocess.run(["cc", "-O2", "-o", str(d / "one_byte"), str(d / "one_byte.c")], check=True)
        total = args.mib << 20
        r = run(ONE_BYTE, script("one-byte", f"exec {d / 'one_byte'} {total}"), 600)
        if "growth" in r:
            print(f"one-byte writes: {r['queued'] / 2**20:.1f} MiB queued, host grew "
                  f"{r['growth'] / 2**20:.1f} MiB ({r['growth'] / max(r['queued'], 1):.2f} bytes per byte)")
        else:
            print(f"one-byte writes: {r['outcome']}")

        flood = script("bg-flood", "(trap '' HUP INT TERM; exec yes flood) &\necho $!\nexec sleep 1000")
        r = run(CLOSE_FLOOD, flood, 120)
        if "queued_after_close" in r:
            print(f"close under a background flood: {r['queued_after_close'] / 2**20:.1f} MiB queued after close, "
                  f"host grew {r['growth_during_close'] / 2**20:.1f} MiB during close, close took {r['close_s']:.2f} s")
        else:
            print(f"close under a background flood: {r['outcome']}")

        shell = script("shell", "PS1='pellux$ ' exec bash --norc --noprofile")
        r = run(BOUNDED_WRITE, shell, 40)
        if "write_s" in r:
            print(f"64 KB to bash running sleep (timeout_ms=2000): write returned after {r['write_s']:.2f} s "
                  f"({r['error']!r}); send_ctrl_c took {r['ctrl_c_s'] * 1000:.1f} ms")
        else:
            print(f"64 KB to bash running sleep (timeout_ms=2000): {r['outcome']}")

        r = run(OUT_OF_MEMORY, script("flood48", f"yes abcdefg | head -c {48 << 20}"), 120)
        if "received" in r:
            print(f"flood under RLIMIT_AS (+16 MiB): survived, {r['received'] / 2**20:.1f} of "
                  f"{r['expected'] / 2**20:.0f} MiB received")
        else:
            print(f"flood under RLIMIT_AS (+16 MiB): {r['outcome']}")


if __name__ == "__main__":
    main()
