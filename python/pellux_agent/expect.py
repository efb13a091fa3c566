"""Pattern waits: the patterns ``Terminal.expect`` takes, and the search
that runs over the clean text as it arrives.

The text comes in pieces, each read as soon as it arrives. Searching the
whole text again for every piece would cost the square of its length (a
flood of 100 MiB before the match, in pieces of a few KiB). Instead each
new piece is searched together with the last ``LOOKBACK`` characters that
came before it, and nothing further back: a match is found as long as it
begins no more than ``LOOKBACK`` characters before the piece in which it
ends; in particular every match up to ``LOOKBACK`` characters long is
found. Each piece then costs its own length plus ``LOOKBACK``, and the
whole wait is linear in the text.

A pattern is matched against the text so far: a pattern that ends in an
open repetition (``port \\d+``) matches as soon as the text allows, possibly
on a number whose last digits have not arrived yet. End such patterns with
what follows them (``port (\\d+)\\s``).
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Final

# How far before a new piece of text a match may begin.
LOOKBACK: Final = 8192

# A checked pattern: the text it was given as, and the expression searched.
Checked = tuple[str, "re.Pattern[str]"]


@dataclass(frozen=True)
class PatternMatch:
    """Which pattern matched, and how.

    ``index`` is the pattern's position in the list given to ``expect``,
    ``pattern`` its text (a regular expression's source, or the plain text
    given), ``text`` what it matched, ``groups`` its groups (None for a
    group that took no part) and ``named`` its named groups. ``start`` is
    where the match begins in the turn's ``output``, which ends where the
    match ends."""

    index: int
    pattern: str
    text: str
    groups: tuple[str | None, ...] = ()
    named: dict[str, str | None] = field(default_factory=dict)
    start: int = 0


def compile_patterns(patterns: object) -> tuple[Checked, ...]:
    """The patterns of a wait, checked once: a plain ``str`` is matched as
    it is written, a compiled ``re.Pattern`` as the regular expression it
    is; a single one may stand for a list of one. TypeError or ValueError
    names what is wrong."""
    if isinstance(patterns, (str, re.Pattern)):
        patterns = [patterns]
    if isinstance(patterns, (bytes, bytearray)) or not isinstance(patterns, Sequence):
        raise TypeError(
            "patterns must be a str, a compiled re.Pattern, or a list of them, "
            f"not {type(patterns).__name__}"
        )
    if not patterns:
        raise ValueError("patterns must not be empty")
    compiled = []
    for i, pattern in enumerate(patterns):
        if isinstance(pattern, str):
            if not pattern:
                raise ValueError(f"patterns[{i}] is empty: it would match at once")
            compiled.append((pattern, re.compile(re.escape(pattern))))
        elif isinstance(pattern, re.Pattern):
            if not isinstance(pattern.pattern, str):
                raise TypeError(f"patterns[{i}] is a bytes pattern; the text is str")
            if pattern.fullmatch(""):
                raise ValueError(
                    f"patterns[{i}] ({pattern.pattern!r}) matches the empty text: it would match at once"
                )
            compiled.append((pattern.pattern, pattern))
        else:
            raise TypeError(
                f"patterns[{i}] must be a str or a compiled re.Pattern, not {type(pattern).__name__}"
            )
    return tuple(compiled)


class PatternSearch:
    """The text of one wait, piece by piece, and the first match in it.

    ``feed`` adds a piece and returns the match it completes, if any: of the
    patterns that match, the one whose match begins first (the earlier in
    the list on a tie). Once a match is found, ``split`` gives the text up
    to its end and the rest."""

    def __init__(self, patterns: Sequence[Checked]) -> None:
        self._patterns = patterns
        self._pieces: list[str] = []
        self._size = 0
        # The last LOOKBACK characters before the next piece.
        self._tail = ""
        self._end = 0  # where the match found ends in the whole text

    def feed(self, piece: str) -> PatternMatch | None:
        if not piece:
            return None
        window = self._tail + piece
        base = self._size - len(self._tail)
        self._pieces.append(piece)
        self._size += len(piece)
        best: tuple[int, re.Match[str]] | None = None
        for index, (_, pattern) in enumerate(self._patterns):
            found = pattern.search(window)
            if found is not None and (best is None or found.start() < best[1].start()):
                best = (index, found)
        if best is None:
            self._tail = window[-LOOKBACK:]
            return None
        index, found = best
        self._end = base + found.end()
        return PatternMatch(
            index=index,
            pattern=self._patterns[index][0],
            text=found.group(0),
            groups=found.groups(),
            named=found.groupdict(),
            start=base + found.start(),
        )

    def text(self) -> str:
        """Everything fed so far."""
        return "".join(self._pieces)

    def split(self) -> tuple[str, str]:
        """The text up to the end of the match found, and the rest."""
        whole = self.text()
        return whole[: self._end], whole[self._end :]
