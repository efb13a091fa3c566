"""``Screen``: what a person would see on the program's terminal.

A terminal emulator fed with the program's raw output: ``\\r`` and cursor
moves are applied, a full-screen program (top, less, vim) shows as its rows,
a progress bar redrawn in place shows its last state. The emulation is
ghostty's VT core (libghostty-vt, through the ``pyghostty`` wheel: the
optional extra ``pellux[screen]``), imported only when a screen is made, so
a terminal without one pays nothing for it.

The emulator keeps the alternate screen of full-screen programs (the
shell's rows come back after ``less`` quits), reflows the primary screen on
a resize as a terminal window does, and answers the program's queries
(cursor position, device attributes, modes): ``answer`` feeds output and
returns those answers, for the terminal to type back. The lines that scroll
off the top are kept within a byte budget, not a line count: trimming by
lines makes the emulator drop a page at a time on every scroll, several
times slower on scrolling output. Colours and attributes are not kept in
the snapshot: it is text.
"""

from __future__ import annotations

import importlib
import importlib.util
from dataclasses import dataclass
from typing import Any, Final

MAX_ROWS: Final = 1000
MAX_COLS: Final = 1000
MAX_SCROLLBACK: Final = 100_000
# The pinned emulator: its row formatting and options are what this module
# was checked against.
EMULATOR_VERSION: Final = "0.1.3"

# What the scrollback may hold, in bytes: room for the snapshot's view of
# `scrollback` lines at the screen's width (a cell takes 8 bytes, a row a
# little more), plus the emulator's page that is being filled; never less
# than two pages, never more than _MOST_SCROLLBACK_BYTES.
_CELL_BYTES: Final = 16
_LEAST_SCROLLBACK_BYTES: Final = 2 * 1024 * 1024
_MOST_SCROLLBACK_BYTES: Final = 64 * 1024 * 1024

_MISSING = (
    "a screen needs ghostty's terminal emulator, the pyghostty wheel: pip install 'pellux[screen]' "
    f"(or pip install pyghostty=={EMULATOR_VERSION}); it exists for Linux (manylinux_2_28) "
    "x86_64 and aarch64 and macOS arm64"
)


@dataclass(frozen=True)
class ScreenSnapshot:
    """The screen at one moment.

    ``rows``: every row of the screen, top to bottom, each without trailing
    blanks; ``cursor_row``/``cursor_col``: where the cursor is, 0-based;
    ``scrollback``: the lines that scrolled off the top, oldest first, at
    most the screen's ``scrollback`` bound; ``alt_screen``: whether the
    program shows the alternate screen (a full-screen program is in front).
    """

    rows: list[str]
    cursor_row: int
    cursor_col: int
    scrollback: list[str]
    alt_screen: bool = False

    def text(self) -> str:
        """The rows as one text, blank rows at the bottom left out."""
        rows = list(self.rows)
        while rows and not rows[-1]:
            rows.pop()
        return "\n".join(rows)


def available() -> bool:
    """Whether a screen can be made here: the emulator is installed and its
    library loads (the first load takes about half a second)."""
    if importlib.util.find_spec("pyghostty") is None:
        return False
    try:
        _load_emulator()
    except ImportError:
        return False
    return True


def _load_emulator() -> Any:
    """pyghostty, or ImportError saying how to get it (also where the wheel
    exists but its library cannot be loaded on this platform)."""
    try:
        return importlib.import_module("pyghostty")
    except ImportError as missing:
        raise ImportError(_MISSING) from missing
    except OSError as unloadable:
        raise ImportError(f"{_MISSING} ({unloadable})") from unloadable


def check_size(rows: object, cols: object) -> None:
    """A screen's size, or TypeError/ValueError naming the side out of
    bounds; ``Terminal.resize`` asks before it changes anything."""
    for name, value, high in (("rows", rows, MAX_ROWS), ("cols", cols, MAX_COLS)):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{name} must be an int, not {type(value).__name__}")
        if not 1 <= value <= high:
            raise ValueError(f"{name} must be between 1 and {high}, got {value}")


def scrollback_bytes(lines: int, cols: int) -> int:
    """The byte budget that keeps at least `lines` lines of `cols` cells."""
    want = lines * cols * _CELL_BYTES + _LEAST_SCROLLBACK_BYTES
    return min(_MOST_SCROLLBACK_BYTES, want)


class Screen:
    """A terminal emulator fed with a program's raw output.

    ``feed`` takes the bytes in the pieces they arrive in (a character or an
    escape sequence may be cut between two); ``answer`` does the same and
    returns what the terminal answers to the queries among them;
    ``snapshot`` renders the screen. Not thread-safe: one thread feeds and
    reads it, or the caller locks. Raises ``ImportError`` when the emulator
    is not installed.
    """

    def __init__(self, rows: int, cols: int, scrollback: int = 1000) -> None:
        check_size(rows, cols)
        if isinstance(scrollback, bool) or not isinstance(scrollback, int):
            raise TypeError(f"scrollback must be an int, not {type(scrollback).__name__}")
        if not 0 <= scrollback <= MAX_SCROLLBACK:
            raise ValueError(
                f"scrollback must be between 0 and {MAX_SCROLLBACK:,}, got {scrollback}"
            )
        ghostty = _load_emulator()
        self._ffi = ghostty.ffi
        self._lib = ghostty.lib
        self._view = scrollback
        self._terminal = ghostty.Terminal(cols=cols, rows=rows, scrollback=0)
        self._handle = self._terminal._t[0]
        self._set_scrollback_budget(cols)
        self._answers: list[bytes] = []
        self._terminal.on_reply(self._answers.append)
        self._rows, self._cols = rows, cols
        self._int = self._ffi.new("int*")
        self._size = self._ffi.new("size_t*")
        self._u16 = self._ffi.new("uint16_t*")

    def _set_scrollback_budget(self, cols: int) -> None:
        lib, ffi = self._lib, self._ffi
        # No line cap: the byte budget alone bounds it (see the module).
        for option, value in (
            (lib.GHOSTTY_TERMINAL_OPT_SCROLLBACK_MAX_LINES, ffi.NULL),
            (
                lib.GHOSTTY_TERMINAL_OPT_SCROLLBACK_MAX_BYTES,
                ffi.new("size_t*", scrollback_bytes(self._view, cols) if self._view else 0),
            ),
        ):
            if lib.ghostty_terminal_set(self._handle, option, value):
                raise RuntimeError("the emulator refused its scrollback budget")

    @property
    def rows(self) -> int:
        return self._rows

    @property
    def cols(self) -> int:
        return self._cols

    def feed(self, data: bytes) -> None:
        """Applies the next piece of the program's output. Answers to
        queries in it are dropped: ``answer`` is the way to get them."""
        if data:
            self._lib.ghostty_terminal_vt_write(self._handle, bytes(data), len(data))
            self._answers.clear()

    def answer(self, data: bytes) -> bytes:
        """Applies the next piece of output like ``feed`` and returns what a
        terminal writes back to the program for the queries in it (a cursor
        position report, device attributes...), in order; empty when none."""
        self._answers.clear()
        if data:
            self._lib.ghostty_terminal_vt_write(self._handle, bytes(data), len(data))
        answers = b"".join(self._answers)
        self._answers.clear()
        return answers

    def resize(self, rows: int, cols: int) -> None:
        """Gives the screen a new size, as a terminal window resized: the
        primary screen reflows, and rows that no longer fit above the
        cursor go to the scrollback. The program redraws when told of it."""
        check_size(rows, cols)
        if (rows, cols) == (self._rows, self._cols):
            return
        if self._lib.ghostty_terminal_resize(self._handle, cols, rows, 8, 16):
            raise RuntimeError(f"the emulator could not resize to {rows}x{cols}")
        self._rows, self._cols = rows, cols
        self._set_scrollback_budget(cols)

    def _get(self, key: int, out: Any) -> Any:
        if self._lib.ghostty_terminal_get(self._handle, key, out):
            raise RuntimeError("the emulator could not report its state")
        return out[0]

    def _lines(self, tag: int, first: int, count: int) -> list[str]:
        """`count` rows from row `first` of a coordinate system (active or
        history) as text, each without trailing blanks."""
        if count <= 0:
            return []
        ffi, lib = self._ffi, self._lib
        grid_ref = _grid_ref_function(ffi)
        selection = ffi.new("GhosttySelection*")
        selection.size = ffi.sizeof("GhosttySelection")
        for end, (x, y) in (
            (selection.start, (0, first)),
            (selection.end, (self._cols - 1, first + count - 1)),
        ):
            point = ffi.new("GhosttyPointS*")
            point.tag = tag
            point.value.x, point.value.y = x, y
            end.size = ffi.sizeof("GhosttyGridRef")
            if grid_ref(self._handle, point[0], ffi.addressof(end)):
                raise RuntimeError("the emulator could not find a row")
        options = ffi.new("GhosttyTerminalSelectionFormatOptions*")
        options.size = ffi.sizeof("GhosttyTerminalSelectionFormatOptions")
        options.emit = lib.GHOSTTY_FORMATTER_FORMAT_PLAIN
        options.unwrap = False
        options.trim = True
        options.selection = selection
        written = self._size
        # The size first (the call fails for want of room and says how
        # much), then the text.
        lib.ghostty_terminal_selection_format_buf(self._handle, options[0], ffi.NULL, 0, written)
        buffer = ffi.new("uint8_t[]", max(written[0], 1))
        if lib.ghostty_terminal_selection_format_buf(
            self._handle, options[0], buffer, len(buffer), written
        ):
            raise RuntimeError("the emulator could not format its rows")
        text = ffi.buffer(buffer, written[0])[:].decode("utf-8", "replace")
        lines = text.split("\n") if text else []
        # Blank rows at the end are trimmed away by the formatter.
        lines += [""] * (count - len(lines))
        return [line.rstrip() for line in lines[:count]]

    def snapshot(self) -> ScreenSnapshot:
        lib = self._lib
        history = int(self._get(lib.GHOSTTY_TERMINAL_DATA_SCROLLBACK_ROWS, self._size))
        kept = min(history, self._view)
        rows = self._lines(lib.GHOSTTY_POINT_TAG_ACTIVE, 0, self._rows)
        scrollback = self._lines(lib.GHOSTTY_POINT_TAG_HISTORY, history - kept, kept)
        return ScreenSnapshot(
            rows=rows,
            cursor_row=int(self._get(lib.GHOSTTY_TERMINAL_DATA_CURSOR_Y, self._u16)),
            cursor_col=int(self._get(lib.GHOSTTY_TERMINAL_DATA_CURSOR_X, self._u16)),
            scrollback=scrollback,
            alt_screen=int(self._get(lib.GHOSTTY_TERMINAL_DATA_ACTIVE_SCREEN, self._int))
            == lib.GHOSTTY_TERMINAL_SCREEN_ALTERNATE,
        )


_grid_ref: Any = None


def _grid_ref_function(ffi: Any) -> Any:
    """ghostty_terminal_grid_ref, which takes its point (a tagged union) by
    value: called through the same-layout struct pyghostty declares."""
    global _grid_ref
    if _grid_ref is None:
        from pyghostty._ffi import union_fn  # type: ignore[import-untyped]

        _grid_ref = union_fn(
            "ghostty_terminal_grid_ref", "GhosttyResult(*)(GhosttyTerminal, GhosttyPointS, GhosttyGridRef*)"
        )
    return _grid_ref
