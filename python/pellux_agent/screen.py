"""``Screen``: what a person would see on the program's terminal.

A terminal emulator fed with the program's raw output: ``\\r`` and cursor
moves are applied, a full-screen program (top, less, vim) shows as its rows,
a progress bar redrawn in place shows its last state. The emulation is
pyte's (a maintained, pure-Python VT100/xterm emulator, the optional extra
``pellux[screen]``), imported only when a screen is made, so a terminal
without one pays nothing for it.

On top of pyte this keeps what an agent reading the screen needs and pyte
leaves out: the lines that scroll off the top, as text and within a bound;
the alternate screen of full-screen programs (so the shell's lines come back
after ``less`` quits); a resize that keeps the cursor's line in view; and a
single saved-cursor slot, as a real terminal has, instead of a stack that a
program could grow without end. Colours and attributes are not kept: the
snapshot is text.
"""

from __future__ import annotations

import copy
import importlib
from collections import deque
from dataclasses import dataclass
from collections.abc import Callable
from typing import Any, Final

# DEC private modes that switch to the alternate screen: 1049 also saves and
# restores the cursor, 1047 clears the alternate screen on leaving, 47 is
# the original form.
_ALTERNATE_MODES: Final = frozenset({47, 1047, 1049})
MAX_ROWS: Final = 1000
MAX_COLS: Final = 1000
MAX_SCROLLBACK: Final = 100_000

_MISSING_PYTE = (
    "a screen needs the pyte terminal emulator: pip install 'pellux[screen]' (or pip install pyte)"
)


@dataclass(frozen=True)
class ScreenSnapshot:
    """The screen at one moment.

    ``rows``: every row of the screen, top to bottom, each without trailing
    blanks; ``cursor_row``/``cursor_col``: where the cursor is, 0-based;
    ``scrollback``: the lines that scrolled off the top, oldest first, at
    most the screen's ``scrollback`` bound.
    """

    rows: list[str]
    cursor_row: int
    cursor_col: int
    scrollback: list[str]

    def text(self) -> str:
        """The rows as one text, blank rows at the bottom left out."""
        rows = list(self.rows)
        while rows and not rows[-1]:
            rows.pop()
        return "\n".join(rows)


def _load_pyte() -> Any:
    try:
        return importlib.import_module("pyte")
    except ImportError as missing:
        raise ImportError(_MISSING_PYTE) from missing


def _line_text(line: Any, columns: int) -> str:
    """One row of pyte's buffer as text. A wide character's second cell
    holds an empty string, so joining the cells gives the text as shown."""
    if not line:
        return ""
    return "".join(line[x].data for x in range(min(columns, max(line) + 1))).rstrip()


_screen_class: type | None = None


def _emulator_class() -> type:
    """pyte's ``Screen`` with the additions described above, made once."""
    global _screen_class
    if _screen_class is not None:
        return _screen_class
    pyte = _load_pyte()

    class _Emulator(pyte.Screen):  # type: ignore[misc, name-defined]
        # pyte's state, as this class uses it.
        lines: int
        columns: int
        cursor: Any
        buffer: Any
        margins: Any
        savepoints: list[Any]
        dirty: set[int]
        tabstops: set[int]

        def __init__(self, columns: int, lines: int, scrollback: int) -> None:
            self.scrollback: deque[str] = deque(maxlen=scrollback)
            self.alternate: tuple[Any, Any, Any] | None = None
            super().__init__(columns, lines)

        def reset(self) -> None:
            # A full reset (ESC c) also leaves the alternate screen.
            self.alternate = None
            super().reset()

        # -- colours are not kept: the snapshot is text -------------------

        def select_graphic_rendition(self, *attrs: int, **kwargs: Any) -> None:
            pass

        # -- lines scrolled off the top go to the scrollback --------------

        def index(self) -> None:
            top, bottom = self.margins or (0, self.lines - 1)
            # Only a scroll of the whole screen moves a line out of view; a
            # region scrolls lines that the program still shows or redraws.
            if (
                self.cursor.y == bottom == self.lines - 1
                and top == 0
                and self.alternate is None
            ):
                self.scrollback.append(_line_text(self.buffer.get(0), self.columns))
            super().index()

        # -- the alternate screen -----------------------------------------

        def set_mode(self, *modes: int, **kwargs: Any) -> None:
            if kwargs.get("private"):
                switch = [m for m in modes if m in _ALTERNATE_MODES]
                if switch:
                    modes = tuple(m for m in modes if m not in _ALTERNATE_MODES)
                    self._enter_alternate(save_cursor=1049 in switch)
            super().set_mode(*modes, **kwargs)

        def reset_mode(self, *modes: int, **kwargs: Any) -> None:
            if kwargs.get("private"):
                switch = [m for m in modes if m in _ALTERNATE_MODES]
                if switch:
                    modes = tuple(m for m in modes if m not in _ALTERNATE_MODES)
                    self._leave_alternate()
            super().reset_mode(*modes, **kwargs)

        def _enter_alternate(self, save_cursor: bool) -> None:
            if self.alternate is not None:
                return
            cursor = copy.copy(self.cursor) if save_cursor else None
            self.alternate = (dict(self.buffer), cursor, self.lines)
            self.buffer.clear()
            self.dirty.update(range(self.lines))

        def _leave_alternate(self) -> None:
            if self.alternate is None:
                return
            saved, cursor, _ = self.alternate
            self.alternate = None
            self.buffer.clear()
            for y, line in saved.items():
                if y < self.lines:
                    for x in [x for x in line if x >= self.columns]:
                        del line[x]
                    self.buffer[y] = line
            if cursor is not None:
                self.cursor = cursor
                self.ensure_hbounds()
                self.ensure_vbounds()
            self.dirty.update(range(self.lines))

        # -- one saved-cursor slot, as a terminal has ----------------------

        def save_cursor(self) -> None:
            self.savepoints.clear()
            super().save_cursor()

        def restore_cursor(self) -> None:
            if not self.savepoints:
                super().restore_cursor()
                return
            kept = self.savepoints[-1]
            super().restore_cursor()
            # Restoring twice restores the same place; the restored cursor
            # must not share the saved one.
            self.savepoints[:] = [kept._replace(cursor=copy.copy(kept.cursor))]

        # -- resize: keep the cursor's row in view -------------------------

        def resize(self, lines: int | None = None, columns: int | None = None) -> None:
            lines = lines or self.lines
            columns = columns or self.columns
            if lines == self.lines and columns == self.columns:
                return
            if lines < self.lines:
                # Rows below the cursor go first (they are what a program
                # has not written yet); only then rows at the top, which
                # scroll into the scrollback as if the screen had scrolled.
                drop = max(0, self.cursor.y + 1 - lines)
                old = [self.buffer.get(y) for y in range(self.lines)]
                if self.alternate is None:
                    for line in old[:drop]:
                        self.scrollback.append(_line_text(line, self.columns))
                self.buffer.clear()
                for y, line in enumerate(old[drop : drop + lines]):
                    if line is not None:
                        self.buffer[y] = line
                self.cursor.y -= drop
                for savepoint in self.savepoints:
                    savepoint.cursor.y = max(0, min(savepoint.cursor.y - drop, lines - 1))
            if columns < self.columns:
                for line in self.buffer.values():
                    for x in [x for x in line if x >= columns]:
                        del line[x]
            self.lines, self.columns = lines, columns
            self.tabstops = {x for x in self.tabstops if x < columns} | set(
                range(8 * ((self.columns + 7) // 8), columns, 8)
            )
            self.margins = None
            self.dirty.update(range(lines))
            self.ensure_hbounds()
            self.ensure_vbounds()

    _screen_class = _Emulator
    return _Emulator


def _tolerant(handler: Callable[..., Any]) -> Callable[..., Any]:
    """`handler`, made to ignore a sequence it cannot carry out.

    pyte's parser passes whatever a program sent: ``ESC [ ? X`` calls a
    handler with a keyword it does not take, ``ESC [ 1 ; 2 ; 3 H`` with too
    many numbers. Each raises, and pyte drops the rest of the output it was
    given. A terminal ignores such a sequence and goes on; so does this.
    """

    def call(*args: Any, **kwargs: Any) -> Any:
        try:
            return handler(*args, **kwargs)
        except Exception:
            return None

    return call


def check_size(rows: object, cols: object) -> None:
    """A screen's size, or TypeError/ValueError naming the side out of
    bounds; ``Terminal.resize`` asks before it changes anything."""
    for name, value, high in (("rows", rows, MAX_ROWS), ("cols", cols, MAX_COLS)):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{name} must be an int, not {type(value).__name__}")
        if not 1 <= value <= high:
            raise ValueError(f"{name} must be between 1 and {high}, got {value}")


class Screen:
    """A terminal emulator fed with a program's raw output.

    ``feed`` takes the bytes in the pieces they arrive in (a character or an
    escape sequence may be cut between two); ``snapshot`` renders the screen.
    Not thread-safe: one thread feeds and reads it, or the caller locks.
    Raises ``ImportError`` when pyte is not installed.
    """

    def __init__(self, rows: int, cols: int, scrollback: int = 1000) -> None:
        check_size(rows, cols)
        if isinstance(scrollback, bool) or not isinstance(scrollback, int):
            raise TypeError(f"scrollback must be an int, not {type(scrollback).__name__}")
        if not 0 <= scrollback <= MAX_SCROLLBACK:
            raise ValueError(
                f"scrollback must be between 0 and {MAX_SCROLLBACK:,}, got {scrollback}"
            )
        pyte = _load_pyte()
        self._emulator = _emulator_class()(cols, rows, scrollback)
        # The parser looks its handlers up when it starts; these shadow them.
        stream_class = pyte.ByteStream
        for table in (stream_class.basic, stream_class.escape, stream_class.sharp, stream_class.csi):
            for name in set(table.values()):
                setattr(self._emulator, name, _tolerant(getattr(self._emulator, name)))
        self._stream = stream_class(self._emulator)

    @property
    def rows(self) -> int:
        return int(self._emulator.lines)

    @property
    def cols(self) -> int:
        return int(self._emulator.columns)

    def feed(self, data: bytes) -> None:
        """Applies the next piece of the program's output."""
        if not data:
            return
        try:
            self._stream.feed(bytes(data))
        except Exception:
            # Left after the handlers' own guard: pyte has reset its parser
            # and dropped the rest of this piece; the screen stays usable.
            pass

    def resize(self, rows: int, cols: int) -> None:
        """Gives the screen a new size; the program redraws when told of it."""
        check_size(rows, cols)
        self._emulator.resize(rows, cols)

    def snapshot(self) -> ScreenSnapshot:
        emulator = self._emulator
        rows = [_line_text(emulator.buffer.get(y), emulator.columns) for y in range(emulator.lines)]
        # pyte leaves the cursor one past the last column after the last
        # character of a full row; a terminal shows it on that character.
        col = min(emulator.cursor.x, emulator.columns - 1)
        return ScreenSnapshot(
            rows=rows,
            cursor_row=int(emulator.cursor.y),
            cursor_col=int(col),
            scrollback=list(emulator.scrollback),
        )
