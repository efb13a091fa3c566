"""``python -m pellux_agent.watch FILE``: a terminal recording in your own
terminal.

Plays an asciicast v2 recording (``Terminal(record=...)``, or
``start_session(record=true)`` on the MCP server) at its own pace, the
pauses capped; then, while the session still runs, follows it live as the
program prints, until the session ends (its ``end`` marker) or Ctrl-C. It
only reads: nothing typed here reaches the program. ``--no-follow`` stops
at the end of what is recorded.

``read_events(path)`` yields a recording's events, for programs of your own.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any, BinaryIO, Final

# How often a followed recording is looked at for new events.
_POLL_S: Final = 0.05
# What the watcher's terminal gets back at the end, whatever the recording
# left on: attributes, a visible cursor, normal cursor keys and no
# bracketed paste.
_RESTORE: Final = b"\x1b[0m\x1b[?25h\x1b[?1l\x1b[?2004l"


@dataclass(frozen=True)
class Header:
    width: int
    height: int
    title: str | None


@dataclass(frozen=True)
class Event:
    """One event: ``time`` in seconds since the recording began; ``kind``
    ``"o"`` (output), ``"i"`` (input), ``"r"`` (resize, ``data`` is
    ``"COLSxROWS"``) or ``"m"`` (a marker: ``"restart"``, ``"end"``,
    ``"hidden input typed"``, or why the recording stopped)."""

    time: float
    kind: str
    data: str


@dataclass
class _Modes:
    """What the played output left on in the watcher's terminal."""

    alternate: bool = False


class RecordingError(ValueError):
    """The file is not an asciicast v2 recording (or is damaged)."""


def _lines(stream: BinaryIO, follow: bool) -> Iterator[bytes]:
    """Whole lines; with ``follow``, waits for more at the end of the file
    (a line being written is taken once it is whole)."""
    pending = b""
    while True:
        chunk = stream.readline()
        if chunk:
            pending += chunk
            if pending.endswith(b"\n"):
                yield pending
                pending = b""
            continue
        if not follow:
            if pending.strip():
                yield pending
            return
        time.sleep(_POLL_S)


def read_events(path: str | os.PathLike[str], follow: bool = False) -> Iterator[Header | Event]:
    """The header, then every event of the recording at ``path``. With
    ``follow`` it waits for the events still to come, until the ``end``
    marker. RecordingError for a file that is not a recording."""
    with open(path, "rb") as stream:
        lines = _lines(stream, follow)
        first = next(lines, None)
        if first is None:
            raise RecordingError(f"{os.fspath(path)}: empty file, not a recording")
        yield _header(first)
        for number, line in enumerate(lines, start=2):
            if not line.strip():
                continue
            event = _event(line, number)
            yield event
            if event.kind == "m" and event.data == "end":
                return


def _header(line: bytes) -> Header:
    try:
        header: Any = json.loads(line)
    except ValueError:
        header = None
    if not isinstance(header, dict) or header.get("version") != 2:
        raise RecordingError("not an asciicast v2 recording (its first line is no v2 header)")
    width, height = header.get("width"), header.get("height")
    if not isinstance(width, int) or not isinstance(height, int) or width < 1 or height < 1:
        raise RecordingError("the recording's header has no valid width and height")
    title = header.get("title")
    return Header(width, height, title if isinstance(title, str) else None)


def _event(line: bytes, number: int) -> Event:
    try:
        value: Any = json.loads(line)
    except ValueError:
        raise RecordingError(f"line {number} is not JSON") from None
    if (
        not isinstance(value, list)
        or len(value) != 3
        or not isinstance(value[0], (int, float))
        or not isinstance(value[1], str)
        or not isinstance(value[2], str)
    ):
        raise RecordingError(f"line {number} is not an event [time, kind, data]")
    return Event(float(value[0]), value[1], value[2])


def play(
    path: str | os.PathLike[str],
    out: BinaryIO,
    *,
    follow: bool = True,
    speed: float = 1.0,
    max_gap: float = 2.0,
    screen: _Modes | None = None,
) -> None:
    """Writes the recording's output to ``out`` at its pace (divided by
    ``speed``, pauses capped at ``max_gap`` seconds; ``speed`` 0: at once).
    ``screen``, when given, follows whether the output left the alternate
    screen on, also when the play is interrupted."""
    last_wall: float | None = None
    last_time = 0.0
    for item in read_events(path, follow):
        if isinstance(item, Header):
            continue
        if item.kind == "m" and item.data.startswith("recording stopped"):
            sys.stderr.write(f"\n[{item.data}]\n")
        if item.kind != "o":
            continue
        if speed > 0 and last_wall is not None:
            # Time already spent waiting for a followed event counts: a live
            # session plays as it happens, not twice as slowly.
            target = last_wall + min(max(item.time - last_time, 0.0), max_gap) / speed
            delay = target - time.monotonic()
            if delay > 0:
                time.sleep(delay)
        last_wall, last_time = time.monotonic(), item.time
        out.write(item.data.encode("utf-8", "surrogateescape"))
        out.flush()
        if screen is not None:
            on, off = item.data.rfind("\x1b[?1049h"), item.data.rfind("\x1b[?1049l")
            if on != off:
                screen.alternate = on > off


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m pellux_agent.watch",
        description="Replay a pellux terminal recording (asciicast v2) in this terminal, and "
        "follow it live while its session runs. Read-only.",
    )
    parser.add_argument("file", help="the .cast file")
    parser.add_argument(
        "--speed", type=float, default=1.0, help="play this many times faster (0: no pauses)"
    )
    parser.add_argument(
        "--max-gap", type=float, default=2.0, metavar="SECONDS", help="cap on any pause (default 2)"
    )
    parser.add_argument(
        "--no-follow", action="store_true", help="stop at the end of what is recorded so far"
    )
    options = parser.parse_args(argv)
    if not options.speed >= 0 or not options.max_gap >= 0:
        parser.error("--speed and --max-gap must be numbers >= 0")
    out = sys.stdout.buffer
    modes = _Modes()
    try:
        play(
            options.file, out, follow=not options.no_follow, speed=options.speed,
            max_gap=options.max_gap, screen=modes,
        )
    except KeyboardInterrupt:
        pass
    except (OSError, RecordingError) as error:
        sys.stderr.write(f"watch: {error}\n")
        return 1
    finally:
        if out.isatty():
            out.write(_RESTORE + (b"\x1b[?1049l" if modes.alternate else b""))
            out.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
