"""What the kernel says about a terminal's program, read from Linux ``/proc``:
whether it still runs, asked without waiting for the terminal (a read may
hold it on another thread). Ending processes is the native terminal's
close, the one place that does it. Any thread may call these helpers.

A pid names a process only while it lives; ``Identity`` pairs it with the
start time the kernel recorded, so a later process that got the same number
is never taken for the program.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Final, NamedTuple

# The task's flags in /proc/<pid>/stat: set at the start of exit, before the
# process closes its descriptors (and with them the terminal) and long
# before its parent can collect it.
_PF_EXITING: Final = 0x4


class Stat(NamedTuple):
    state: str
    parent: int
    session: int
    flags: int
    start_time: int


@dataclass(frozen=True)
class Identity:
    """One process: its pid and the start time that makes it unique."""

    pid: int
    start_time: int


def read_stat(pid: int) -> Stat | None:
    """The fields of /proc/<pid>/stat used here; None when there is no such
    process."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            raw = f.read()
    except OSError:
        return None
    # The command name is in parentheses and may itself hold ")" or blanks.
    fields = raw[raw.rindex(b")") + 2 :].split()
    return Stat(
        state=fields[0].decode(),
        parent=int(fields[1]),
        session=int(fields[3]),
        flags=int(fields[6]),
        start_time=int(fields[19]),
    )


def identify(pid: int) -> Identity:
    stat = read_stat(pid)
    return Identity(pid, stat.start_time if stat is not None else -1)


def running(who: Identity) -> bool:
    """Whether the process still runs: it exists, is the same process, is no
    zombie and has not begun to exit."""
    stat = read_stat(who.pid)
    if stat is None or stat.start_time != who.start_time:
        return False
    return stat.state not in ("Z", "X") and not stat.flags & _PF_EXITING
