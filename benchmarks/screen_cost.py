"""What a screen costs: emulator time per MiB of real terminal output, and memory.

Streams, each about 1 MiB (a captured one is repeated to that size):

* ``ls --color``: ``ls -lR --color=always`` of /usr/share/doc, long coloured lines
  scrolling;
* ``top``: ``top -d 0.1`` captured in a pseudo-terminal (TERM=xterm-xfree86, 24x80),
  full-screen redraws by cursor moves with many attribute changes;
* ``progress``: a ``\\r`` progress bar redrawn in place, the worst case for
  per-sequence overhead;
* ``vim-like``: full-screen frames as an editor paints them (cursor position,
  coloured text, erase to end of line on every row, a status line);
* ``utf-8``: scrolling lines of accented and CJK text.

Emulators: pellux's ``Screen`` (pyte without colours, plus scrollback and the
alternate screen), plain pyte (``pyte.Screen`` + ``ByteStream``), and
libvterm through ctypes when ``libvterm.so.0`` is installed (a C library:
the figure a native binding could reach). Each run also checks that the
emulators agree on the final screen.

    python benchmarks/screen_cost.py [--mib 1] [--repeat 3]
"""

from __future__ import annotations

import argparse
import ctypes
import ctypes.util
import fcntl
import os
import pty
import select
import struct
import subprocess
import sys
import termios
import time
import tracemalloc
from collections.abc import Callable

ROWS, COLS = 24, 80


# ---------------------------------------------------------------------------
# Streams


def _capture_pty(argv: list[str], seconds: float) -> bytes:
    pid, fd = pty.fork()
    if pid == 0:  # pragma: no cover - the child
        os.environ["TERM"] = "xterm-xfree86"
        os.execvp(argv[0], argv)
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", ROWS, COLS, 0, 0))
    out = bytearray()
    end = time.monotonic() + seconds
    try:
        while time.monotonic() < end:
            ready, _, _ = select.select([fd], [], [], 0.05)
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
        ["ls", "-lR", "--color=always", "/usr/share/doc"],
        capture_output=True,
        check=False,
    ).stdout.replace(b"\n", b"\r\n")
    top = _capture_pty(["top", "-d", "0.1"], 3.0)

    bar = bytearray()
    step = 0
    while len(bar) < size:
        done = step % 101
        bar += b"\r[%-50s] %3d%% %6d it/s" % (b"#" * (done // 2), done, 1000 + step % 7)
        step += 1

    frames = bytearray()
    frame = 0
    while len(frames) < size:
        frames += b"\x1b[H"
        for row in range(1, ROWS):
            text = f"{frame + row:6d} def handler_{row}(event): return process(event, {row})"
            frames += f"\x1b[{row};1H\x1b[33m{text[:6]}\x1b[m{text[6:COLS]}\x1b[K".encode()
        frames += f"\x1b[{ROWS};1H\x1b[7m-- INSERT -- frame {frame}\x1b[m\x1b[K".encode()
        frames += f"\x1b[{frame % (ROWS - 1) + 1};10H".encode()
        frame += 1

    utf8 = "".join(
        f"{n:5d} résumé naïve façade 漢字かなカナ Ελληνικά Кириллица\r\n" for n in range(2000)
    ).encode()
    return {
        "ls --color": _to_size(ls, size),
        "top": _to_size(top, size),
        "progress": bytes(bar[:size]),
        "vim-like": bytes(frames[:size]),
        "utf-8": _to_size(utf8, size),
    }


# ---------------------------------------------------------------------------
# Emulators: each makes a fresh screen and returns (feed, rows-as-text).

Emulator = Callable[[], tuple[Callable[[bytes], None], Callable[[], list[str]]]]


def pellux_screen() -> tuple[Callable[[bytes], None], Callable[[], list[str]]]:
    from pellux_agent.screen import Screen

    screen = Screen(ROWS, COLS)
    return screen.feed, lambda: screen.snapshot().rows


def plain_pyte() -> tuple[Callable[[bytes], None], Callable[[], list[str]]]:
    import pyte

    screen = pyte.Screen(COLS, ROWS)
    stream = pyte.ByteStream(screen)
    return stream.feed, lambda: [line.rstrip() for line in screen.display]


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
    lib.vterm_free.argtypes = [ctypes.c_void_p]
    return lib


def libvterm() -> tuple[Callable[[bytes], None], Callable[[], list[str]]]:
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
    """Best seconds to feed `data` in `chunk`-byte pieces (as a reader gets them)."""
    best = float("inf")
    rows: list[str] = []
    for _ in range(repeat):
        feed, render = make()
        pieces = [data[i : i + chunk] for i in range(0, len(data), chunk)]
        start = time.perf_counter()
        for piece in pieces:
            feed(piece)
        best = min(best, time.perf_counter() - start)
        rows = render()
    return best, rows


def memory(make: Emulator, data: bytes) -> int:
    """Bytes a screen holds after `data` (its scrollback full), by tracemalloc."""
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    feed, render = make()
    for i in range(0, len(data), 4096):
        feed(data[i : i + 4096])
    render()
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    del feed, render
    return after - before


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--mib", type=float, default=1.0)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--chunk", type=int, default=4096, help="bytes per feed (default 4096)")
    options = parser.parse_args()
    size = int(options.mib * 1024 * 1024)
    data = streams(size)
    emulators: dict[str, Emulator] = {"pellux Screen": pellux_screen, "plain pyte": plain_pyte}
    if _libvterm() is not None:
        emulators["libvterm (ctypes)"] = libvterm
    else:
        print("libvterm not installed (apt-get install libvterm0): its column is left out")

    names = list(emulators)
    print(f"\nseconds per MiB, best of {options.repeat}, {options.chunk}-byte feeds, {ROWS}x{COLS}")
    print(f"{'stream':<12}" + "".join(f"{n:>20}" for n in names) + "   final screens agree")
    for stream, payload in data.items():
        cells = []
        screens = []
        for name in names:
            seconds, rows = measure(emulators[name], payload, options.chunk, options.repeat)
            cells.append(f"{seconds / (len(payload) / 2**20):>19.3f}s")
            screens.append(rows)
        agree = all(s == screens[0] for s in screens[1:])
        print(f"{stream:<12}" + "".join(cells) + f"   {'yes' if agree else 'NO'}")
        if not agree:
            for name, rows in zip(names, screens):
                differing = [i for i, r in enumerate(rows) if r != screens[0][i]]
                if differing:
                    print(f"    {name}: rows {differing[:5]} differ, e.g. {rows[differing[0]]!r}")

    print("\nmemory held by one screen (tracemalloc): new / after top's first frame / after")
    print(f"{options.mib:g} MiB of ls --color (scrollback full: 1,000 lines)")
    frame = data["top"][: data["top"].index(b"top - ", 10)] if b"top - " in data["top"][10:] else b""
    for name in names[:2]:
        sizes = [memory(emulators[name], d) / 1024 for d in (b"", frame, data["ls --color"])]
        print(f"  {name:<20}" + " / ".join(f"{k:.0f} KiB" for k in sizes))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
