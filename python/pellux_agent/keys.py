"""Keys as a terminal sends them: named keys turned into the bytes of an xterm.

The programs run with ``TERM=xterm-xfree86`` (see ``presets.py``), an xterm
whose terminfo entry lists exactly these keys, so the keys are
encoded as an xterm encodes them, and a program that looks its keys up in
terminfo finds exactly these bytes. An xterm sends the cursor keys (and Home
and End) in one of two forms, chosen by the program: ``ESC [ A`` normally,
``ESC O A`` once the program has switched the terminal to application cursor
keys (DECCKM, ``ESC [ ? 1 h``; ``less``, ``vim`` and ``top`` do). A program
in that mode may not recognise the other form (``less`` ignores ``ESC [ F``
for End). The native terminal follows the switch in the program's output
(its ``app_cursor``), and ``Terminal.send_keys`` encodes the keys in that mode.

How keys are written:

* a string is typed as it is, character by character, with no line feed
  added: ``"q"``, ``"y"``, ``":wq"``;
* a list holds key names and text: an item that names a key is that key,
  any other item is typed as it is: ``["/needle", "enter"]``,
  ``["ctrl-c"]``, ``["escape", ":q!", "enter"]``. An item that looks like a
  key combination or a function key (``"ctrl-..."``, ``"alt-..."``,
  ``"shift-..."``, ``"^X"``, ``"f13"``) but names none, or a single word
  close to a key name (``"pgdwn"``, ``"entr"``), is an error, so a misspelt
  key is never typed as text; such a word is sent as a string instead.

Key names, case-insensitive: enter (return), tab, shift-tab (backtab),
escape (esc), backspace, delete (del), insert (ins), up, down, left, right,
home, end, pageup (pgup, page-up), pagedown (pgdn, page-down), space, f1 to
f12, ctrl-a to ctrl-z and ctrl-@ ctrl-[ ctrl-\\ ctrl-] ctrl-^ ctrl-_ ctrl-?
(also written ``ctrl+c``, ``control-c`` or ``^C``), and alt-<key or
character> (escape, then the key: ``alt-b``, ``alt-enter``).
"""

from __future__ import annotations

import difflib
import re
from collections.abc import Sequence
from typing import Final

# Keys whose bytes do not depend on the cursor-key mode.
_FIXED: Final[dict[str, bytes]] = {
    # Enter sends a carriage return; the terminal's line discipline turns it
    # into a line feed for programs that read lines (ICRNL).
    "enter": b"\r",
    "return": b"\r",
    "tab": b"\t",
    "shift-tab": b"\x1b[Z",
    "backtab": b"\x1b[Z",
    "escape": b"\x1b",
    "esc": b"\x1b",
    # An xterm's Backspace sends DEL, which is also the erase character a new
    # terminal starts with (stty erase ^?).
    "backspace": b"\x7f",
    "delete": b"\x1b[3~",
    "del": b"\x1b[3~",
    "insert": b"\x1b[2~",
    "ins": b"\x1b[2~",
    "pageup": b"\x1b[5~",
    "pgup": b"\x1b[5~",
    "page-up": b"\x1b[5~",
    "pagedown": b"\x1b[6~",
    "pgdn": b"\x1b[6~",
    "page-down": b"\x1b[6~",
    "space": b" ",
    # F1-F4 are the VT100's PF1-PF4; the rest are xterm's numbered keys.
    "f1": b"\x1bOP",
    "f2": b"\x1bOQ",
    "f3": b"\x1bOR",
    "f4": b"\x1bOS",
    "f5": b"\x1b[15~",
    "f6": b"\x1b[17~",
    "f7": b"\x1b[18~",
    "f8": b"\x1b[19~",
    "f9": b"\x1b[20~",
    "f10": b"\x1b[21~",
    "f11": b"\x1b[23~",
    "f12": b"\x1b[24~",
}

# Keys sent as CSI <final> normally and SS3 <final> in application mode.
_CURSOR: Final[dict[str, bytes]] = {
    "up": b"A",
    "down": b"B",
    "right": b"C",
    "left": b"D",
    "home": b"H",
    "end": b"F",
}

# Control characters beyond the letters, by the character after "ctrl-".
_CTRL_PUNCTUATION: Final[dict[str, bytes]] = {
    "@": b"\x00",
    "space": b"\x00",
    "[": b"\x1b",
    "\\": b"\x1c",
    "]": b"\x1d",
    "^": b"\x1e",
    "_": b"\x1f",
    "?": b"\x7f",
}

_CTRL = re.compile(r"(?:ctrl|control)[-+](.+)|\^(.)", re.IGNORECASE | re.DOTALL)
_ALT = re.compile(r"(?:alt|meta)[-+](.+)", re.IGNORECASE | re.DOTALL)
# What a key name looks like, known or not: a misspelt one is refused rather
# than typed into the program as text.
_KEY_LIKE = re.compile(
    r"(?:ctrl|control|alt|meta|shift)[-+].*|\^.|f\d+", re.IGNORECASE | re.DOTALL
)


_KEY_NAMES: Final = sorted({*_FIXED, *_CURSOR})
_WORD = re.compile(r"[A-Za-z][A-Za-z0-9_+-]{2,}")


def _misspelt_key(item: str) -> str | None:
    """The key name a one-word item is probably a misspelling of, if any."""
    if not _WORD.fullmatch(item):
        return None
    close = difflib.get_close_matches(item.lower(), _KEY_NAMES, n=1, cutoff=0.8)
    return close[0] if close else None


def _named_key(item: str, app_cursor: bool) -> bytes | None:
    """The bytes of the key `item` names, or None when it names none."""
    name = item.lower()
    fixed = _FIXED.get(name)
    if fixed is not None:
        return fixed
    final = _CURSOR.get(name)
    if final is not None:
        return (b"\x1bO" if app_cursor else b"\x1b[") + final
    ctrl = _CTRL.fullmatch(item)
    if ctrl is not None:
        target = ctrl.group(1) or ctrl.group(2)
        lowered = target.lower()
        if len(target) == 1 and "a" <= lowered <= "z":
            return bytes([ord(lowered) - ord("a") + 1])
        return _CTRL_PUNCTUATION.get(lowered)
    alt = _ALT.fullmatch(item)
    if alt is not None:
        target = alt.group(1)
        inner = _named_key(target, app_cursor)
        if inner is None and len(target) == 1:
            inner = target.encode()
        return None if inner is None else b"\x1b" + inner
    return None


def encode_keys(keys: str | Sequence[str], *, app_cursor: bool = False) -> bytes:
    """The bytes a terminal sends for `keys` (see the module's documentation).

    A string is typed as it is; a list is key names and text. `app_cursor`
    is the program's cursor-key mode (the native terminal's ``app_cursor``). Raises
    ``ValueError`` naming an unknown key and ``TypeError`` for an item that
    is not a string.
    """
    if isinstance(keys, str):
        return keys.encode()
    if isinstance(keys, (bytes, bytearray)):
        raise TypeError("keys must be a string or a list of strings, not bytes")
    out = bytearray()
    for index, item in enumerate(keys):
        if not isinstance(item, str):
            raise TypeError(
                f"keys[{index}] must be a string (a key name or text), "
                f"not {type(item).__name__}"
            )
        key = _named_key(item, app_cursor)
        if key is not None:
            out += key
            continue
        near = _misspelt_key(item)
        if near is not None or _KEY_LIKE.fullmatch(item):
            hint = f"did you mean {near!r}? To type it as text, send a string. " if near else ""
            raise ValueError(
                f"unknown key {item!r}; {hint}known keys: enter, tab, shift-tab, escape, "
                "backspace, delete, insert, up, down, left, right, home, end, pageup, "
                "pagedown, space, f1-f12, ctrl-a..ctrl-z, alt-<key>"
            )
        out += item.encode()
    return bytes(out)
