"""What a screen costs: emulator CPU time per MiB of terminal output, and memory.

Streams, each cut to the same size (a captured one is repeated to it):

* ``ls --color``: ``ls -lR --color=always`` of /usr/share/doc, long coloured
  lines scrolling;
* ``progress``: a ``\\r`` progress bar redrawn in place, the worst case for
  per-sequence overhead;
* ``top``: ``top -d 0.1`` captured in a pseudo-terminal (TERM=xterm-xfree86,
  24x80), full-screen redraws by cursor moves with many attribute changes;
* ``fullscreen``: frames as a full-screen program paints them on the
  alternate screen, a scroll region scrolling under a fixed title and
  status line, the program leaving and coming back;
* ``cjk+combining``: scrolling lines of CJK text and letters with combining
  accents;
* ``log``: plain log lines scrolling;
* ``vim``: a vim session captured in a pseudo-terminal, paging through a
  file with Ctrl-F and opening and closing its help window.

Emulators: pellux's ``Screen`` (ghostty's VT core through pyghostty), pyte
(``pyte.Screen`` + ``ByteStream``, when installed: the emulator pellux used
before, whose own patches only added work) and libvterm through ctypes (when
``libvterm.so.0`` is installed). Each run checks which final screens agree
with pellux's, and says where they differ.

    python benchmarks/screen_cost.py [--mib 4] [--repeat 3] [--chunk 4096]
"""

from __future__ import annotations

import argparse
import ctypes
import ctypes.util
import fcntl
import importlib.util
import os
import pty
import select
import struct
import subprocess
import sys
import termios
import time
import unicodedata
from collections.abc import Callable

ROWS, COLS = 24, 80
# The cost a screen may have to be on by default in the MCP server.
BUDGET_MS_PER_MIB = 20.0


# ---------------------------------------------------------------------------
# Streams


def _capture_pty(argv: list[str], seconds: float, keys: list[tuple[float, bytes]] = ()) -> bytes:
    """What `argv` prints in a 24x80 pseudo-terminal for `seconds`, typing
    each of `keys` at its time (seconds from the start)."""
    pid, fd = pty.fork()
    if pid == 0:  # pragma: no cover - the child
        os.environ["TERM"] = "xterm-xfree86"
        os.environ["HOME"] = "/tmp"
        try:
            os.execvp(argv[0], argv)
        finally:
            os._exit(127)
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", ROWS, COLS, 0, 0))
    out = bytearray()
    start = time.monotonic()
    pending = sorted(keys)
    try:
        while time.monotonic() - start < seconds:
            while pending and time.monotonic() - start >= pending[0][0]:
                os.write(fd, pending.pop(0)[1])
            ready, _, _ = select.select([fd], [], [], 0.02)
            if ready:
                try:
                    out += os.read(fd, 65536)
                except OSError:
                    break
    finally:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        os.close(fd)
    return bytes(out)


def _to_size(sample: bytes, size: int) -> bytes:
    if not sample:
        raise RuntimeError("empty sample")
    return (sample * (size // len(sample) + 1))[:size]


def streams(size: int) -> dict[str, bytes]:
    ls = subprocess.run(
        ["ls", "-lR", "--color=always", "/usr/share/doc"], capture_output=True, check=False
    ).stdout.replace(b"\n", b"\r\n")

    bar = bytearray()
    step = 0
    while len(bar) < size:
        done = step % 101
        bar += b"\r[%-50s] %3d%% %6d it/s" % (b"#" * (done // 2), done, 1000 + step % 7)
        step += 1

    top = _capture_pty(["top", "-d", "0.1"], 3.0)

    frames = bytearray(b"\x1b[?1049h")
    frame = 0
    while len(frames) < size:
        frames += f"\x1b[H\x1b[7m title {frame:<70}\x1b[m\x1b[2;{ROWS - 1}r\x1b[{ROWS - 1};1H".encode()
        for row in range(12):
            frames += f"\r\n\x1b[33m{frame:6d}\x1b[m line {row} of frame {frame}: {'x' * (row * 3)}\x1b[K".encode()
        frames += f"\x1b[r\x1b[{ROWS};1H\x1b[7m-- INSERT -- {frame}\x1b[m\x1b[K".encode()
        if frame % 50 == 49:
            frames += b"\x1b[?1049l$ fg\r\n\x1b[?1049h"
        frame += 1

    text = "".join(
        f"{n:5d} 漢字かなカナ 한국어 中文 e\u0301a\u0300o\u0302 n\u0303 Ελληνικά Кириллица\r\n"
        for n in range(3000)
    ).encode()
    log = "".join(
        f"2026-12-08 12:{n // 60 % 60:02d}:{n % 60:02d}.{n % 1000:03d} INFO  worker-{n % 8} "
        f"handled request {n} in {n % 97} ms\r\n"
        for n in range(20000)
    ).encode()
    vim = b""
    if subprocess.run(["sh", "-c", "command -v vim"], capture_output=True).returncode == 0:
        keys = [(0.5 + 0.05 * i, b"\x06") for i in range(40)]
        keys += [(2.6, b":help\r"), (3.0, b"\x06\x06"), (3.3, b":q\r"), (3.6, b":split\r"), (3.9, b":q\r")]
        vim = _capture_pty(["vim", "-u", "NONE", "-N", "-i", "NONE", "/etc/services"], 4.3, keys)
    out = {
        "ls --color": _to_size(ls, size),
        "progress": bytes(bar[:size]),
        "top": _to_size(top, size),
        "fullscreen": bytes(frames[:size]),
        "cjk+combining": _to_size(text, size),
        "log": _to_size(log, size),
    }
    if vim:
        out["vim"] = _to_size(vim, size)
    return out


# ---------------------------------------------------------------------------
# Emulators: each makes a fresh screen and returns (feed, rows-as-text).

Feed = Callable[[bytes], None]
Render = Callable[[], list[str]]
Emulator = Callable[[], tuple[Feed, Render]]


def pellux_screen() -> tuple[Feed, Render]:
    from pellux_agent.screen import Screen

    screen = Screen(ROWS, COLS)
    return screen.feed, lambda: screen.snapshot().rows


def pyte_screen() -> tuple[Feed, Render]:
    import pyte

    screen = pyte.Screen(COLS, ROWS)
    stream = pyte.ByteStream(screen)

    def feed(data: bytes) -> None:
        # pyte raises on sequences its handlers do not take (vim sends
        # some) and drops the rest of the piece, as pellux's patched pyte
        # screen did.
        try:
            stream.feed(data)
        except Exception:
            pass

    return feed, lambda: [line.rstrip() for line in screen.display]


class _Rect(ctypes.Structure):
    _fields_ = [(name, ctypes.c_int) for name in ("start_row", "end_row", "start_col", "end_col")]


def _libvterm() -> ctypes.CDLL | None:
    name = ctypes.util.find_library("vterm")
    if name is None:
        return None
    lib = ctypes.CDLL(name)
    lib.vterm_new.restype = ctypes.c_void_p
    lib.vterm_new.argtypes = [ctypes.c_int, ctypes.c_int]
    lib.vterm_set_utf8.argtypes = [ctypes.c_void_p, ctypes.c_int]
    lib.vterm_obtain_screen.restype = ctypes.c_void_p
    lib.vterm_obtain_screen.argtypes = [ctypes.c_void_p]
    lib.vterm_screen_reset.argtypes = [ctypes.c_void_p, ctypes.c_int]
    lib.vterm_input_write.restype = ctypes.c_size_t
    lib.vterm_input_write.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]
    lib.vterm_screen_get_text.restype = ctypes.c_size_t
    lib.vterm_screen_get_text.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t, _Rect]
    return lib


def libvterm() -> tuple[Feed, Render]:
    lib = _libvterm()
    assert lib is not None
    vt = lib.vterm_new(ROWS, COLS)
    lib.vterm_set_utf8(vt, 1)
    screen = lib.vterm_obtain_screen(vt)
    lib.vterm_screen_reset(screen, 1)

    def feed(data: bytes) -> None:
        lib.vterm_input_write(vt, data, len(data))

    def rows() -> list[str]:
        out = []
        buf = ctypes.create_string_buffer(COLS * 4 + 4)
        for row in range(ROWS):
            n = lib.vterm_screen_get_text(screen, buf, len(buf), _Rect(row, row + 1, 0, COLS))
            out.append(buf.raw[:n].decode("utf-8", "replace").rstrip())
        return out

    return feed, rows


# ---------------------------------------------------------------------------


def measure(make: Emulator, data: bytes, chunk: int, repeat: int) -> tuple[float, list[str]]:
    """Least CPU seconds to feed `data` in `chunk`-byte pieces (as a reader
    gets them) to a fresh screen, and its final rows."""
    best = float("inf")
    rows: list[str] = []
    pieces = [data[i : i + chunk] for i in range(0, len(data), chunk)]
    for _ in range(repeat):
        feed, render = make()
        start = time.process_time()
        for piece in pieces:
            feed(piece)
        best = min(best, time.process_time() - start)
        rows = render()
    return best, rows


def _resident() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_per_screen(data: bytes, count: int = 16) -> tuple[float, float]:
    """Resident KiB one pellux screen adds, new and with its scrollback full
    (after `data`), as the average over `count` screens (the emulator's
    memory is native: the resident size sees it, tracemalloc does not)."""
    from pellux_agent.screen import Screen

    Screen(ROWS, COLS).feed(data[:65536])  # libraries loaded, caches warm
    before = _resident()
    screens = [Screen(ROWS, COLS) for _ in range(count)]
    new = (_resident() - before) / count / 1024
    for screen in screens:
        for i in range(0, len(data), 65536):
            screen.feed(data[i : i + 65536])
    full = (_resident() - before) / count / 1024
    return new, full


def through_terminal(data: bytes, repeat: int) -> tuple[float, float]:
    """CPU ms per MiB of this whole process (the native reader included)
    while ``cat`` prints `data` through a Terminal, without and with a
    screen, best of `repeat`: the difference is what a screen adds on the
    real path (tap, hand-over, emulator)."""
    import tempfile

    from pellux_agent import Terminal

    with tempfile.NamedTemporaryFile(suffix=".out") as file:
        file.write(data)
        file.flush()
        best = []
        for screen in (False, True):
            least = float("inf")
            for _ in range(repeat):
                with Terminal("cat", [file.name], ready_markers=[], screen=screen) as t:
                    start = time.process_time()
                    while t.read(timeout_ms=30_000).status != "exited":
                        pass
                    if screen:
                        t.screen()
                    least = min(least, time.process_time() - start)
            best.append(1000 * least / (len(data) / 2**20))
    return best[0], best[1]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--mib", type=float, default=4.0, help="size of each stream (default 4)")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--chunk", type=int, default=4096, help="bytes per feed (default 4096)")
    parser.add_argument("--pyte-mib", type=float, default=1.0,
                        help="stream size for pyte, which is slow (default 1)")
    options = parser.parse_args()
    size = int(options.mib * 1024 * 1024)
    data = streams(size)
    # First, while nothing has been freed that new screens could reuse.
    new, full = memory_per_screen(data["ls --color"])
    emulators: dict[str, Emulator] = {"pellux (ghostty)": pellux_screen}
    if importlib.util.find_spec("pyte") is not None:
        emulators["pyte"] = pyte_screen
    else:
        print("pyte not installed (pip install pyte): its column is left out")
    if _libvterm() is not None:
        emulators["libvterm"] = libvterm
    else:
        print("libvterm not installed (apt-get install libvterm0): its column is left out")

    names = list(emulators)
    print(f"\nMiB/s of CPU time (ms of CPU per MiB), best of {options.repeat}, "
          f"{options.chunk}-byte feeds, {ROWS}x{COLS}")
    print(f"{'stream':<15}" + "".join(f"{n:>22}" for n in names) + "   final screen agrees with pellux's")
    worst_ms = 0.0
    for stream, payload in data.items():
        cells, screens = [], []
        for name in names:
            sample = payload
            if name == "pyte":
                sample = payload[: int(options.pyte_mib * 1024 * 1024)]
            seconds, _ = measure(emulators[name], sample, options.chunk, options.repeat)
            mib = len(sample) / 2**20
            ms = 1000 * seconds / mib
            if name == names[0]:
                worst_ms = max(worst_ms, ms)
            cells.append(f"{mib / max(seconds, 1e-9):>10.1f} ({ms:>7.1f} ms)")
            # Agreement is checked on the whole stream, once.
            _, rows = measure(emulators[name], payload, options.chunk, 1)
            screens.append(rows)
        # Text compared in one normal form: an accent may be kept combined
        # with its letter or apart, which shows the same.
        screens = [[unicodedata.normalize("NFC", r) for r in rows] for rows in screens]
        agree = [name for name, rows in zip(names[1:], screens[1:]) if rows == screens[0]]
        print(f"{stream:<15}" + "".join(cells) + f"   {', '.join(agree) or '-'}")
        for name, rows in zip(names[1:], screens[1:]):
            differing = [i for i, r in enumerate(rows) if i >= len(screens[0]) or r != screens[0][i]]
            if differing:
                i = differing[0]
                print(f"    {name}: {len(differing)} rows differ, first row {i}: {rows[i]!r} "
                      f"where pellux has {screens[0][i]!r}")
    verdict = "within" if worst_ms <= BUDGET_MS_PER_MIB else "OVER"
    print(f"\npellux's worst stream: {worst_ms:.1f} ms of CPU per MiB ({verdict} the "
          f"{BUDGET_MS_PER_MIB:.0f} ms budget for a screen on by default)")

    print("\nthe whole path, cat printing each stream through a Terminal (ms of this process's "
          "CPU per MiB, reader thread included)")
    print(f"{'stream':<15}{'no screen':>12}{'screen':>12}{'added':>12}")
    for stream in ("ls --color", "cjk+combining", "vim"):
        if stream in data:
            plain, screened = through_terminal(data[stream], options.repeat)
            print(f"{stream:<15}{plain:>12.1f}{screened:>12.1f}{screened - plain:>12.1f}")

    print(f"\nmemory of one pellux screen ({ROWS}x{COLS}, resident): {new:.0f} KiB new, "
          f"{full:.0f} KiB with its scrollback full")
    found = importlib.util.find_spec("pyghostty")
    if found is not None and found.submodule_search_locations:
        lib_dir = os.path.join(found.submodule_search_locations[0], "_lib")
        size_bytes = sum(os.path.getsize(os.path.join(lib_dir, f)) for f in os.listdir(lib_dir))
        print(f"the emulator's library as installed: {size_bytes / 2**20:.1f} MiB")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
