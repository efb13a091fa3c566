"""The four ways of driving a terminal program that the benchmarks compare.

Each driver runs one program in its own pseudo-terminal (echo off, 80x24)
and offers the same operations, timed the same way:

    spawn()            -> seconds from the start of spawning to the first prompt
    turns(text, k)     -> ([seconds per turn], clean text of the last turn)
    bulk(text)         -> (seconds, clean text as UTF-8 bytes)
    idle(seconds)      -> CPU seconds the driver's process spent waiting that long
                          for a prompt that never comes
    close()            -> seconds
    quit()             -> ends the child politely (not timed)

A turn writes one line and reads until the prompt marker, then returns the
answer as clean text (escape sequences and control bytes removed). Readers
return as soon as the marker is in: pellux with settle_ms=0.

  PelluxDriver   the module under test.
  PexpectDriver  pexpect tuned as a careful user would: echo off, no delay
                 before sends or after reads, a large maxread, expect_exact,
                 bytes mode; cleaning with the same regex as the stdlib driver.
  StdlibDriver   hand-written: pty.fork, poll, os.read, a bytes regex.
  FloorDriver    benchmarks/floor_driver.c, a subprocess that times itself.
"""

from __future__ import annotations

import errno
import fcntl
import os
import pty
import re
import resource
import select
import signal
import struct
import subprocess
import termios
import time

# Escape sequences (CSI, OSC ended by BEL or ST, DCS/PM/APC ended by ST, any
# other two-byte escape) and the control bytes other than TAB and LF: what a
# hand-rolled driver strips before handing text to an agent.
CLEAN_RE = re.compile(
    rb"\x1b(?:\[[\x00-\x3f\x7f-\xff]*[\x40-\x7e]"
    rb"|\][^\x07\x1b]*(?:\x1b(?!\\)[^\x07\x1b]*)*(?:\x07|\x1b\\)"
    rb"|[P^_].*?\x1b\\"
    rb"|.)"
    rb"|[\x00-\x08\x0b-\x1f]",
    re.DOTALL,
)


def clean_bytes(raw: bytes) -> str:
    return CLEAN_RE.sub(b"", raw).decode("utf-8", "replace")


def _cpu_seconds() -> float:
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


class PelluxDriver:
    name = "pellux"

    def __init__(self, program: str, marker: str, module=None, name: str = "pellux"):
        self.program, self.marker = program, marker
        self.module, self.name = module, name  # another build of pellux, for A/B runs
        self.session = None

    def spawn(self) -> float:
        if self.module is None:
            import pellux

            self.module = pellux
        t0 = time.perf_counter()
        self.session = self.module.Pellux(self.program, True, [self.marker])
        self.session.read_until_ready(timeout_ms=20000, settle_ms=0)
        return time.perf_counter() - t0

    def turns(self, text: str, k: int):
        s = self.session
        out = []
        clean = ""
        pc = time.perf_counter
        for _ in range(k):
            t0 = pc()
            clean = s.send_and_read_until_ready(text, timeout_ms=20000, settle_ms=0)
            out.append(pc() - t0)
        return out, clean

    def bulk(self, text: str):
        t0 = time.perf_counter()
        clean = self.session.send_and_read_until_ready(
            text, timeout_ms=120000, max_output_bytes=1 << 30, settle_ms=0)
        t = time.perf_counter() - t0
        return t, clean.encode("utf-8")

    def idle(self, seconds: float) -> float:
        c0 = _cpu_seconds()
        self.session.read_until_ready(timeout_ms=int(seconds * 1000), settle_ms=0)
        return _cpu_seconds() - c0

    def close(self) -> float:
        t0 = time.perf_counter()
        self.session.close()
        t = time.perf_counter() - t0
        self.session = None
        return t

    def quit(self) -> None:
        if self.session is None:
            return
        try:
            self.session.send_and_read_until_ready("quit", timeout_ms=2000, settle_ms=0)
        except Exception:
            pass
        self.session.close()
        self.session = None


class PexpectDriver:
    name = "pexpect"

    def __init__(self, program: str, marker: str):
        self.program, self.marker = program, marker.encode()
        self.child = None

    def spawn(self) -> float:
        import pexpect

        t0 = time.perf_counter()
        c = pexpect.spawn(self.program, [], echo=False, maxread=1 << 20, encoding=None,
                          dimensions=(24, 80), use_poll=True, timeout=20)
        c.delaybeforesend = None
        c.delayafterread = None
        c.expect_exact(self.marker)
        clean_bytes(c.before + c.after)
        self.child = c
        return time.perf_counter() - t0

    def turns(self, text: str, k: int):
        c = self.child
        line = text.encode() + b"\n"
        m = self.marker
        out = []
        clean = ""
        pc = time.perf_counter
        for _ in range(k):
            t0 = pc()
            c.send(line)
            c.expect_exact(m, timeout=20)
            clean = clean_bytes(c.before + c.after)
            out.append(pc() - t0)
        return out, clean

    def bulk(self, text: str):
        c = self.child
        t0 = time.perf_counter()
        c.send(text.encode() + b"\n")
        c.expect_exact(self.marker, timeout=120)
        clean = clean_bytes(c.before + c.after)
        t = time.perf_counter() - t0
        return t, clean.encode("utf-8")

    def idle(self, seconds: float) -> float:
        import pexpect

        c0 = _cpu_seconds()
        try:
            self.child.expect_exact(self.marker, timeout=seconds)
        except pexpect.TIMEOUT:
            pass
        return _cpu_seconds() - c0

    def close(self) -> float:
        t0 = time.perf_counter()
        self.child.close(force=True)
        t = time.perf_counter() - t0
        self.child = None
        return t

    def quit(self) -> None:
        import pexpect

        if self.child is None:
            return
        try:
            self.child.send(b"quit\n")
            self.child.expect(pexpect.EOF, timeout=2)
        except Exception:
            pass
        self.child.close(force=True)
        self.child = None


class StdlibDriver:
    name = "stdlib"

    def __init__(self, program: str, marker: str):
        self.program, self.marker = program, marker.encode()
        self.pid = self.fd = None

    def spawn(self) -> float:
        t0 = time.perf_counter()
        pid, fd = pty.fork()
        if pid == 0:  # child: only what exec needs
            try:
                attrs = termios.tcgetattr(0)
                attrs[3] &= ~termios.ECHO
                termios.tcsetattr(0, termios.TCSANOW, attrs)
                fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
                os.execv(self.program, [self.program])
            finally:
                os._exit(127)
        self.pid, self.fd = pid, fd
        self.poller = select.poll()
        self.poller.register(fd, select.POLLIN)
        clean_bytes(self._read_to_marker(20.0))
        return time.perf_counter() - t0

    def _read_to_marker(self, timeout: float) -> bytes:
        fd, m, poll = self.fd, self.marker, self.poller.poll
        mlen = len(m)
        buf = bytearray()
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not poll(left * 1000):
                return bytes(buf)
            try:
                chunk = os.read(fd, 65536)
            except OSError as e:
                if e.errno == errno.EIO:
                    return bytes(buf)
                raise
            if not chunk:
                return bytes(buf)
            start = max(0, len(buf) - mlen + 1)
            buf += chunk
            if buf.find(m, start) >= 0:
                return bytes(buf)

    def turns(self, text: str, k: int):
        line = text.encode() + b"\n"
        out = []
        clean = ""
        pc = time.perf_counter
        for _ in range(k):
            t0 = pc()
            os.write(self.fd, line)
            clean = clean_bytes(self._read_to_marker(20.0))
            out.append(pc() - t0)
        return out, clean

    def bulk(self, text: str):
        t0 = time.perf_counter()
        os.write(self.fd, text.encode() + b"\n")
        clean = clean_bytes(self._read_to_marker(120.0))
        t = time.perf_counter() - t0
        return t, clean.encode("utf-8")

    def idle(self, seconds: float) -> float:
        c0 = _cpu_seconds()
        self._read_to_marker(seconds)
        return _cpu_seconds() - c0

    def close(self) -> float:
        t0 = time.perf_counter()
        try:
            os.kill(self.pid, signal.SIGHUP)
        except ProcessLookupError:
            pass
        os.waitpid(self.pid, 0)
        os.close(self.fd)
        t = time.perf_counter() - t0
        self.pid = self.fd = None
        return t

    def quit(self) -> None:
        if self.pid is None:
            return
        try:
            os.write(self.fd, b"quit\n")
        except OSError:
            pass
        self.close()


class FloorDriver:
    """benchmarks/floor_driver.c behind a pipe; every figure is its own."""

    name = "floor"

    def __init__(self, program: str, marker: str, binary: str):
        self.proc = subprocess.Popen([binary, program, marker], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, bufsize=1)

    def _ask(self, line: str) -> list[str]:
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        answer = self.proc.stdout.readline().split()
        if not answer or answer[0] != "ok":
            raise RuntimeError(f"floor_driver: {line!r} -> {answer!r}")
        return answer[1:]

    def spawn(self) -> float:
        return int(self._ask("spawn")[0]) / 1e9

    def turns(self, text: str, k: int):
        a = self._ask(f"turns {k} {text}")
        clean = "" if a[0] == "-" else bytes.fromhex(a[0]).decode("utf-8", "replace")
        return [int(x) / 1e9 for x in a[1:]], clean

    def bulk(self, text: str, dump_path: str | None = None):
        a = self._ask(f"bulk {text}")
        clean = None
        if dump_path:
            self._ask(f"dump {dump_path}")
            with open(dump_path, "rb") as f:
                clean = f.read()
        return int(a[0]) / 1e9, clean

    def idle(self, seconds: float, slice_ms: int = 0) -> float:
        return int(self._ask(f"idle {int(seconds * 1000)} {slice_ms}")[0]) / 1e9

    def filter(self, path: str, reps: int):
        a = self._ask(f"filter {path} {reps}")
        return int(a[0]) / 1e9, int(a[1])

    def close(self) -> float:
        return int(self._ask("close")[0]) / 1e9

    def quit(self) -> None:
        try:
            self._ask("close")
        except Exception:
            pass

    def shutdown(self) -> None:
        try:
            self.proc.stdin.write("quit\n")
            self.proc.stdin.flush()
        except Exception:
            pass
        self.proc.wait(timeout=10)
