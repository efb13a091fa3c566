"""What the kernel says about a terminal's processes, read from Linux ``/proc``.

A terminal's program is the leader of its own session: the native terminal
starts it with ``setsid`` before exec, so the program's pid is also the
session id of every process it starts on that terminal, background jobs
included. These helpers find and end them by that id. They never touch a
terminal object, so any thread may call them.

A pid names a process only while it lives; ``Identity`` pairs it with the
start time the kernel recorded, so a later process that got the same number
is never taken for the program.
"""

from __future__ import annotations

import os
import signal
import time
from dataclasses import dataclass
from typing import Final, NamedTuple

# The task's flags in /proc/<pid>/stat: set at the start of exit, before the
# process closes its descriptors (and with them the terminal) and long
# before its parent can collect it.
_PF_EXITING: Final = 0x4
# How often a sweep looks again for processes that are still there.
_SWEEP_PAUSE_S: Final = 0.01


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


def session_members(leader: Identity) -> list[int]:
    """Pids of the live processes in the leader's session, leader included
    while it lives."""
    leader_stat = read_stat(leader.pid)
    if (
        leader_stat is not None
        and leader_stat.start_time != leader.start_time
        and leader_stat.session == leader.pid
    ):
        # The number now leads a new, unrelated session.
        return []
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        stat = read_stat(int(entry))
        if stat is not None and stat.session == leader.pid and stat.state not in ("Z", "X"):
            members.append(int(entry))
    return members


def _signal_all(pids: list[int], signals: tuple[signal.Signals, ...]) -> None:
    for pid in pids:
        for sig in signals:
            try:
                os.kill(pid, sig)
            except OSError:
                pass  # ended meanwhile


def hang_up(leader: Identity) -> None:
    """Sends what a terminal's hangup sends (SIGHUP, then SIGCONT for the
    stopped) to every process of the session except the leader, whose own
    ending is pellux's business."""
    others = [pid for pid in session_members(leader) if pid != leader.pid]
    _signal_all(others, (signal.SIGHUP, signal.SIGCONT))


def kill_session(leader: Identity, within_s: float = 2.0) -> bool:
    """SIGKILLs every process of the session until none is left or
    ``within_s`` passes; True when none is left. Processes that keep forking
    are caught by the repeated sweeps."""
    deadline = time.monotonic() + within_s
    while True:
        members = session_members(leader)
        if not members:
            _reap_orphans(leader)
            return True
        # The leader first: a shell whose foreground job dies before it
        # would print a prompt on its way out.
        members.sort(key=lambda pid: pid != leader.pid)
        _signal_all(members, (signal.SIGKILL,))
        if time.monotonic() >= deadline:
            _reap_orphans(leader)
            return not session_members(leader)
        time.sleep(_SWEEP_PAUSE_S)


def _reap_orphans(leader: Identity) -> None:
    """Collects the session's dead processes that were handed to this
    process: it is their new parent when it runs as PID 1 (a container's
    MCP server, say) or as a subreaper, and nobody else would. The leader
    is pellux's to collect. A zombie keeps its session id and its pid, so
    nothing but the session's own processes is collected."""
    me = os.getpid()
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == leader.pid:
            continue
        stat = read_stat(int(entry))
        if stat is not None and stat.state == "Z" and stat.parent == me and stat.session == leader.pid:
            try:
                os.waitpid(int(entry), os.WNOHANG)
            except ChildProcessError:
                pass
