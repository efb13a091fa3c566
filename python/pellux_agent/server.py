"""An MCP server over stdio that lets a model drive terminal programs.

Each session is one `AsyncTerminal`: the program in its own pseudo-terminal,
driven from its own thread, so a long read in one session never holds up
another, and the event loop serving the protocol never blocks.

Shutdown is the part that needs care. A client leaves by closing our stdin;
the SDK's stdio client then waits about two seconds, signals our process
group and, two seconds later, kills it. The programs run in terminal sessions
of their own and get none of those signals, so ending them is our job, and it
has to be done well inside that window even when a session's thread is stuck
in a read with a long timeout: such a thread cannot be asked to close (a
`Pellux` only answers its own thread), so we end the programs of its terminal
session from outside, which ends the read, and then let it close.
"""

from __future__ import annotations

import argparse
import contextlib
import inspect
import itertools
import logging
import math
import os
import shutil
import signal
import sys
import time
from collections.abc import AsyncIterator, Iterable, Sequence
from dataclasses import dataclass, field
from typing import Annotated, Any, Literal

try:
    import anyio
    from mcp.server.mcpserver import MCPServer
    from mcp.server.mcpserver.exceptions import ToolError
    from pydantic import BaseModel, Field
except ImportError as missing:  # pragma: no cover - depends on the installation
    raise ImportError(
        "the pellux MCP server needs the mcp package: pip install 'pellux[mcp]'"
    ) from missing

from . import AsyncTerminal, Turn, process
from .terminal import check_wait_for
from .keys import encode_keys

Status = Literal["ready", "quiet", "timeout", "exited", "limit"]

MAX_ROWS = 1000
MAX_COLS = 1000
MAX_TIMEOUT_MS = 600_000
MAX_HISTORY_CHARS = 16_777_216
MAX_SCROLLBACK_LINES = 1000
MIN_OUTPUT_CHARS = 200

# How long a polite close may take at shutdown before the programs of the
# sessions still open are ended from outside (their thread may be in a read).
_POLITE_CLOSE_S = 0.2
# From the hang-up of a stuck session to SIGKILL of what is left of it.
_KILL_GRACE_S = 0.3
# Everything at shutdown must be over before the client's kill arrives.
_SHUTDOWN_DEADLINE_S = 1.6

STATUS_HELP = (
    "status says why the read ended: "
    "'ready' - the program waits for your next input (it sits reading its terminal, or shows its "
    "prompt); "
    "'quiet' - the output paused (a program without a known prompt; it probably waits for input); "
    "'timeout' - timeout_ms ran out first: the program is still busy (or waits at a prompt that is "
    "not recognised); read_output to wait longer, send_interrupt to stop it; "
    "'exited' - the program ended (alive is false); restart_session to run it again; "
    "'limit' - the answer was too large for one read; read_output for the rest. "
    "alive says whether the program still runs; once it has ended, exit_code is its exit "
    "status, or signal the number of the signal that killed it (9: SIGKILL). "
    "truncated is true when the middle of a long output was left out of this answer; "
    "get_history returns it."
)


# ---------------------------------------------------------------------------
# Results


_EXIT_CODE_HELP = "The program's exit status once it has ended by exiting; otherwise null."
_SIGNAL_HELP = "The signal that ended the program (e.g. 9 for SIGKILL); otherwise null."


class _ExitWhenEnded(BaseModel):
    """An answer that carries exit_code and signal only once the program has
    ended by one of them: a null field is left out rather than sent."""

    def model_dump(self, **options: Any) -> dict[str, Any]:
        data = super().model_dump(**options)
        for name in ("exit_code", "signal"):
            if data.get(name, 0) is None:
                del data[name]
        return data


class StartResult(_ExitWhenEnded):
    """The answer of start_session."""

    session_id: str = Field(description="Pass this to every other tool.")
    output: str = Field(description="What the program printed at start (banner, first prompt).")
    status: Status = Field(description="Why the first read ended.")
    alive: bool = Field(description="Whether the program still runs.")
    truncated: bool = Field(description="True when the middle of the output was left out.")
    exit_code: int | None = Field(default=None, description=_EXIT_CODE_HELP)
    signal: int | None = Field(default=None, description=_SIGNAL_HELP)


class TurnResult(_ExitWhenEnded):
    """The answer of one read."""

    output: str = Field(description="What the program printed, as plain text.")
    status: Status = Field(description="Why the read ended.")
    alive: bool = Field(description="Whether the program still runs.")
    truncated: bool = Field(description="True when the middle of the output was left out.")
    exit_code: int | None = Field(default=None, description=_EXIT_CODE_HELP)
    signal: int | None = Field(default=None, description=_SIGNAL_HELP)


class ScreenResult(_ExitWhenEnded):
    """The answer of get_screen."""

    rows: list[str] = Field(
        description="Every row of the terminal, top to bottom, as a person sees it now "
        "(trailing blanks removed; an empty string is an empty row)."
    )
    cursor_row: int = Field(description="The cursor's row, 0-based.")
    cursor_col: int = Field(description="The cursor's column, 0-based.")
    scrollback: list[str] = Field(
        description="Lines that scrolled off the top, oldest first (as many as asked for)."
    )
    alive: bool = Field(description="Whether the program still runs.")
    exit_code: int | None = Field(default=None, description=_EXIT_CODE_HELP)
    signal: int | None = Field(default=None, description=_SIGNAL_HELP)


class ResizeResult(BaseModel):
    rows: int
    cols: int


class CloseResult(BaseModel):
    closed: bool


class SessionInfo(BaseModel):
    session_id: str
    command: str
    args: list[str]
    alive: bool
    busy: bool = Field(description="True while a call on this session is running.")
    cwd: str | None
    rows: int
    cols: int
    ready_markers: list[str] = Field(
        description="The prompts that end a read; empty: reads end when the output pauses."
    )
    screen: bool = Field(description="Whether get_screen works on this session.")
    pid: int | None = Field(description="The program's process id.")
    idle_seconds: float = Field(description="Seconds since the last call on this session ended.")


class SessionList(BaseModel):
    sessions: list[SessionInfo]


class HistoryResult(BaseModel):
    history: str


# ---------------------------------------------------------------------------
# Processes of the programs' terminal sessions


def _our_programs() -> set[process.Identity]:
    """Our children that lead a session of their own: the programs.

    pellux starts every program as a session leader in a new terminal, and
    nothing else in this server starts a process, so these are exactly the
    programs of our sessions, also one whose start has not been recorded yet
    (a program keeps its pid across the launcher's exec).
    """
    me, found = os.getpid(), set()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                stat = f.read()
        except OSError:
            continue  # ended meanwhile
        # The name in parentheses may itself hold spaces and parentheses.
        fields = stat[stat.rindex(b")") + 2 :].split()
        if int(fields[1]) == me and int(fields[3]) == int(entry):
            found.add(process.identify(int(entry)))
    return found


def _signal_sessions(leaders: Iterable[process.Identity], *signals: int) -> int:
    """Sends `signals` to every process of the leaders' terminal sessions.

    Background jobs keep the session id of the terminal they started in even
    after their parent is gone, so this reaches them too; a pid now used by
    an unrelated session is recognised by its start time and left alone.
    Returns how many processes were found.
    """
    count = 0
    for leader in leaders:
        for pid in process.session_members(leader):
            count += 1
            for signum in signals:
                with contextlib.suppress(OSError):
                    os.kill(pid, signum)
    return count


# ---------------------------------------------------------------------------
# Output shaping


def shorten(text: str, max_chars: int) -> tuple[str, bool]:
    """Keeps the head and the tail of `text` around one line saying what was left out.

    The result is at most `max_chars` long. The tail usually matters most (the
    prompt, the last lines of an answer), so it gets the larger share.
    """
    if len(text) <= max_chars:
        return text, False
    omitted = len(text)
    note = ""
    # The note's length depends on the count it states; two passes settle it.
    for _ in range(2):
        note = (
            f"\n[... {omitted:,} characters left out here; "
            "get_history has the whole output ...]\n"
        )
        budget = max(0, max_chars - len(note))
        omitted = len(text) - budget
    head = budget * 2 // 5
    tail = budget - head
    return text[:head] + note + (text[-tail:] if tail else ""), True


# ---------------------------------------------------------------------------
# Sessions


@dataclass(frozen=True)
class Limits:
    allow: tuple[str, ...] = ()  # absolute paths; empty: anything may start
    max_sessions: int = 16
    max_output_chars: int = 20_000
    idle_timeout_s: float = 3600.0


@dataclass
class _Session:
    session_id: str
    command: str
    args: list[str]
    cwd: str | None
    rows: int
    cols: int
    terminal: AsyncTerminal
    screen: bool = False
    # Every program this session has run (a restart starts a new one).
    leaders: set[process.Identity] = field(default_factory=set)
    busy: int = 0
    # What the latest answer said; a program seen to exit stays exited until
    # it is restarted, whatever a cached flag elsewhere says.
    alive: bool = True
    last_used: float = field(default_factory=time.monotonic)


class SessionError(ToolError):
    """A tool call that cannot be done; the model reads the message."""


def _message(error: BaseException) -> str:
    """The error's own text, without the "[Errno 13]" an OSError puts first."""
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__


def _describe_failure(session_id: str, action: str, error: BaseException) -> str:
    return f"session {session_id!r}: {action} failed: {_message(error)}"


def _how_it_ended(terminal: AsyncTerminal) -> str:
    code, signum = terminal.exit_code, terminal.exit_signal
    if signum is not None:
        try:
            name = signal.Signals(signum).name
        except ValueError:
            name = f"signal {signum}"
        return f"been killed by {name} ({signum})"
    if code is not None:
        return f"exited with code {code}"
    return "exited"


def _is_cancellation(error: BaseException) -> bool:
    return isinstance(error, anyio.get_cancelled_exc_class()) or isinstance(
        error, (KeyboardInterrupt, SystemExit, GeneratorExit)
    )


class SessionManager:
    """The open sessions, their limits and their shutdown."""

    def __init__(self, limits: Limits) -> None:
        self.limits = limits
        self._sessions: dict[str, _Session] = {}
        self._closed: dict[str, str] = {}  # session id -> why it is closed
        self._ids = itertools.count(1)
        self._starting = 0
        self._all_leaders: set[process.Identity] = set()
        self._shutting_down = False

    # -- lookup -------------------------------------------------------------

    def _get(self, session_id: str) -> _Session:
        found = self._sessions.get(session_id)
        if found is not None:
            return found
        why = self._closed.get(session_id)
        if why is not None:
            raise SessionError(
                f"session {session_id!r} is closed ({why}); start_session starts a new one"
            )
        raise SessionError(
            f"unknown session id {session_id!r}; list_sessions shows the open sessions"
        )

    @contextlib.asynccontextmanager
    async def _use(self, session_id: str, action: str) -> AsyncIterator[_Session]:
        session = self._get(session_id)
        session.busy += 1
        try:
            yield session
        except SessionError:
            raise
        except BaseException as error:
            # pellux's PanicException derives from BaseException only: it must
            # become an ordinary tool error, never reach the event loop.
            if _is_cancellation(error):
                raise
            if session.session_id not in self._sessions:
                raise SessionError(
                    f"session {session_id!r} was closed while {action} was running"
                ) from None
            if not session.terminal.alive:
                session.alive = False
                raise SessionError(
                    f"session {session_id!r}: {action} failed: the program has "
                    f"{_how_it_ended(session.terminal)}; "
                    "restart_session starts it again, close_session ends the session"
                ) from None
            raise SessionError(_describe_failure(session_id, action, error)) from None
        finally:
            session.busy -= 1
            session.last_used = time.monotonic()

    def _turn(self, session: _Session, turn: Turn) -> TurnResult:
        session.alive = turn.alive
        output, truncated = shorten(turn.output, self.limits.max_output_chars)
        return TurnResult(
            output=output,
            status=turn.status,
            alive=turn.alive,
            truncated=truncated,
            exit_code=turn.exit_code,
            signal=turn.signal,
        )

    # -- checks -------------------------------------------------------------

    @staticmethod
    def check_range(name: str, value: int, low: int, high: int) -> None:
        if not low <= value <= high:
            raise SessionError(f"{name} must be between {low:,} and {high:,}, got {value:,}")

    def _resolve_program(
        self, command: str, env: dict[str, str | None] | None, cwd: str | None
    ) -> str:
        """The absolute path the program would run from, or a tool error.

        The program is looked up as the launcher will: after changing to
        `cwd`, and along the PATH the program gets (the caller's `env` may
        change it), so what the allow list checks is what actually starts.
        """
        if not command:
            raise SessionError("command is empty; give a program name or path, e.g. 'python3'")
        if "\0" in command:
            raise SessionError("command contains a NUL character")
        base = cwd if cwd is not None else os.getcwd()
        if "/" in command:
            path = os.path.normpath(os.path.join(base, command))
        else:
            search = os.environ.get("PATH", os.defpath)
            if env is not None and "PATH" in env:
                search = env["PATH"] or ""
            # An empty or relative entry means a directory under `cwd`.
            entries = [os.path.join(base, entry) for entry in search.split(os.pathsep)]
            found = shutil.which(command, path=os.pathsep.join(entries))
            if found is None:
                raise SessionError(
                    f"cannot start {command!r}: no such program on PATH"
                    + (" (PATH was changed by env)" if env and "PATH" in env else "")
                )
            path = os.path.normpath(found)
        return path

    def _check_allowed(self, command: str, path: str) -> None:
        if not self.limits.allow:
            return
        if path not in self.limits.allow:
            names = ", ".join(os.path.basename(p) for p in self.limits.allow)
            raise SessionError(
                f"program {command!r} is not allowed on this server (resolved to {path}); "
                f"allowed: {names}"
            )

    # -- tools --------------------------------------------------------------

    async def start(
        self,
        command: str,
        args: Sequence[str],
        cwd: str | None,
        env: dict[str, str | None] | None,
        rows: int,
        cols: int,
        ready_markers: Sequence[str] | None,
        timeout_ms: int,
        wait_for: str = "auto",
        screen: bool = False,
    ) -> StartResult:
        self.check_range("rows", rows, 1, MAX_ROWS)
        self.check_range("cols", cols, 1, MAX_COLS)
        self.check_range("timeout_ms", timeout_ms, 0, MAX_TIMEOUT_MS)
        for arg in args:
            if "\0" in arg:
                raise SessionError("an argument contains a NUL character")
        if env:
            for name, value in env.items():
                if not name or "=" in name or "\0" in name:
                    raise SessionError(f"env name {name!r} is not a valid variable name")
                if value is not None and "\0" in value:
                    raise SessionError(f"env value of {name!r} contains a NUL character")
        if ready_markers is not None and any(not m for m in ready_markers):
            raise SessionError("ready_markers must not contain an empty string")
        try:
            rule = check_wait_for(wait_for)
        except (TypeError, ValueError) as error:
            raise SessionError(str(error)) from None
        if cwd is not None and not os.path.isdir(cwd):
            raise SessionError(f"cwd {cwd!r} is not an existing directory")
        path = self._resolve_program(command, env, cwd)
        self._check_allowed(command, path)
        if self._shutting_down:
            raise SessionError("the server is shutting down")
        if len(self._sessions) + self._starting >= self.limits.max_sessions:
            raise SessionError(
                f"too many sessions: {self.limits.max_sessions} are open, the most this server "
                "allows; close_session one you no longer need"
            )

        self._starting += 1
        try:
            try:
                terminal = AsyncTerminal(
                    command,
                    list(args),
                    cwd=cwd,
                    env=env,
                    rows=rows,
                    cols=cols,
                    ready_markers=list(ready_markers) if ready_markers is not None else None,
                    wait_for=rule,
                    screen=screen,
                )
                await terminal.start()
            except BaseException as error:
                if _is_cancellation(error):
                    raise
                raise SessionError(f"cannot start {command!r}: {_message(error)}") from None
            session_id = f"s{next(self._ids)}"
            session = _Session(session_id, command, list(args), cwd, rows, cols, terminal, screen)
            self._remember_program(session)
            self._sessions[session_id] = session
        finally:
            self._starting -= 1
        async with self._use(session_id, "the first read") as session:
            turn = await session.terminal.read(timeout_ms)
        result = self._turn(session, turn)
        return StartResult(session_id=session_id, **result.model_dump())

    def _remember_program(self, session: _Session) -> None:
        """Notes the program's pid, the id of its terminal session, so that
        shutdown can end what is left of it whatever state its thread is in."""
        pid = session.terminal.pid
        if pid is not None:
            program = process.identify(pid)
            session.leaders.add(program)
            self._all_leaders.add(program)

    async def send(self, session_id: str, text: str, timeout_ms: int) -> TurnResult:
        self.check_range("timeout_ms", timeout_ms, 0, MAX_TIMEOUT_MS)
        async with self._use(session_id, "send_input") as session:
            return self._turn(session, await session.terminal.send(text, timeout_ms))

    async def read(self, session_id: str, timeout_ms: int) -> TurnResult:
        self.check_range("timeout_ms", timeout_ms, 0, MAX_TIMEOUT_MS)
        async with self._use(session_id, "read_output") as session:
            # A read with no time at all takes nothing; one millisecond takes
            # what has arrived (and leaves the rest queued for the next read).
            return self._turn(session, await session.terminal.read(max(timeout_ms, 1)))

    async def interrupt(self, session_id: str, timeout_ms: int) -> TurnResult:
        self.check_range("timeout_ms", timeout_ms, 0, MAX_TIMEOUT_MS)
        async with self._use(session_id, "send_interrupt") as session:
            return self._turn(session, await session.terminal.interrupt(timeout_ms))

    async def restart(self, session_id: str, timeout_ms: int) -> TurnResult:
        self.check_range("timeout_ms", timeout_ms, 0, MAX_TIMEOUT_MS)
        async with self._use(session_id, "restart_session") as session:
            try:
                turn = await session.terminal.restart(timeout_ms)
            finally:
                self._remember_program(session)  # the new program has a new pid
            return self._turn(session, turn)

    async def keys(self, session_id: str, keys: str | list[str], timeout_ms: int) -> TurnResult:
        self.check_range("timeout_ms", timeout_ms, 0, MAX_TIMEOUT_MS)
        if not keys:
            raise SessionError("keys is empty; give a key name such as 'enter' or text such as 'q'")
        try:
            encode_keys(keys)  # the terminal encodes them again in the program's mode
        except (ValueError, TypeError) as error:
            raise SessionError(str(error)) from None
        async with self._use(session_id, "send_keys") as session:
            return self._turn(session, await session.terminal.send_keys(keys, timeout_ms))

    async def resize(self, session_id: str, rows: int, cols: int) -> ResizeResult:
        self.check_range("rows", rows, 1, MAX_ROWS)
        self.check_range("cols", cols, 1, MAX_COLS)
        async with self._use(session_id, "resize_session") as session:
            await session.terminal.resize(rows, cols)
            session.rows, session.cols = rows, cols
            return ResizeResult(rows=rows, cols=cols)

    async def screen(self, session_id: str, scrollback: int) -> ScreenResult:
        self.check_range("scrollback", scrollback, 0, MAX_SCROLLBACK_LINES)
        session = self._get(session_id)
        if not session.screen:
            raise SessionError(
                f"session {session_id!r} has no screen; start_session with screen=true "
                "keeps one (for top, less, vim, progress bars)"
            )
        async with self._use(session_id, "get_screen") as session:
            snap = await session.terminal.screen()
            terminal = session.terminal
            alive = bool(terminal.alive) and session.alive
            result = ScreenResult(
                rows=snap.rows,
                cursor_row=snap.cursor_row,
                cursor_col=snap.cursor_col,
                scrollback=snap.scrollback[len(snap.scrollback) - scrollback :] if scrollback else [],
                alive=alive,
                exit_code=None if alive else terminal.exit_code,
                signal=None if alive else terminal.exit_signal,
            )
        return self._fit_screen(result)

    def _fit_screen(self, result: ScreenResult) -> ScreenResult:
        """Keeps a screen within the answer size: the scrollback's oldest
        lines go first, then the rows' ends (a huge terminal's rows)."""
        budget = self.limits.max_output_chars
        rows_chars = sum(len(r) + 1 for r in result.rows)
        kept: list[str] = []
        used = rows_chars
        for line in reversed(result.scrollback):
            if used + len(line) + 1 > budget:
                break
            kept.append(line)
            used += len(line) + 1
        result.scrollback = kept[::-1]
        if rows_chars > budget:
            width = max(1, budget // max(1, len(result.rows)) - 1)
            result.rows = [r[:width] for r in result.rows]
        return result

    async def history(self, session_id: str, max_chars: int | None) -> HistoryResult:
        limit = self.limits.max_output_chars if max_chars is None else max_chars
        self.check_range("max_chars", limit, 1, MAX_HISTORY_CHARS)
        async with self._use(session_id, "get_history") as session:
            return HistoryResult(history=await session.terminal.history(limit))

    def describe(self) -> SessionList:
        now = time.monotonic()
        infos = []
        for s in self._sessions.values():
            try:
                alive = s.alive and bool(s.terminal.alive)
            except BaseException as error:  # PanicException included
                if _is_cancellation(error):
                    raise
                alive = False
            infos.append(
                SessionInfo(
                    session_id=s.session_id,
                    command=s.command,
                    args=s.args,
                    alive=alive,
                    busy=s.busy > 0,
                    cwd=s.cwd,
                    rows=s.rows,
                    cols=s.cols,
                    ready_markers=list(s.terminal.ready_markers),
                    screen=s.screen,
                    pid=s.terminal.pid,
                    idle_seconds=0.0 if s.busy else round(now - s.last_used, 1),
                )
            )
        return SessionList(sessions=infos)

    async def close(self, session_id: str, why: str = "closed by close_session") -> CloseResult:
        session = self._get(session_id)
        self._forget(session, why)
        await self._close_all([session], deadline_s=_SHUTDOWN_DEADLINE_S)
        return CloseResult(closed=True)

    def _forget(self, session: _Session, why: str) -> None:
        self._sessions.pop(session.session_id, None)
        self._closed[session.session_id] = why

    # -- idle sessions and shutdown ----------------------------------------

    async def reap_idle(self) -> None:
        """Closes sessions unused for the idle timeout, forever."""
        limit = self.limits.idle_timeout_s
        if limit <= 0:
            return
        period = min(max(limit / 4, 0.05), 30.0)
        while True:
            await anyio.sleep(period)
            now = time.monotonic()
            idle = [
                s for s in self._sessions.values() if not s.busy and now - s.last_used >= limit
            ]
            for s in idle:
                self._forget(s, f"unused for {limit:g} s")
            if idle:
                await self._close_all(idle, deadline_s=_SHUTDOWN_DEADLINE_S)

    async def shutdown(self) -> None:
        """Closes every session and ends every program, within a bounded time."""
        self._shutting_down = True
        sessions = list(self._sessions.values())
        for s in sessions:
            self._forget(s, "the server shut down")
        with anyio.CancelScope(shield=True):
            await self._close_all(sessions, deadline_s=_SHUTDOWN_DEADLINE_S)
            # Whatever is left of any program we ever started (a background
            # job of a session closed earlier, say) ends now.
            _signal_sessions(self._all_leaders | _our_programs(), signal.SIGKILL)

    async def _close_all(self, sessions: list[_Session], deadline_s: float) -> None:
        """Closes `sessions` in parallel, forcing the ones that do not close in time.

        A terminal's close runs on its own thread after whatever call is in
        progress there; a read stuck for minutes would hold it up. So after a
        short polite wait, the programs of the sessions still open are hung up
        and then killed from here, which ends their reads at once.
        """
        if not sessions:
            return
        pending = {s.session_id: s for s in sessions}

        async def close_one(s: _Session) -> None:
            try:
                await s.terminal.close()
            except BaseException as error:
                # A close that fails leaves the forcing below to do its work.
                if _is_cancellation(error):
                    raise
            else:
                pending.pop(s.session_id, None)

        with anyio.move_on_after(deadline_s):
            async with anyio.create_task_group() as tg:
                for s in sessions:
                    tg.start_soon(close_one, s)
                with anyio.move_on_after(_POLITE_CLOSE_S):
                    while pending:
                        await anyio.sleep(0.01)
                if pending:
                    # What a closing terminal sends, then what nobody survives.
                    stuck = {leader for s in pending.values() for leader in s.leaders}
                    _signal_sessions(stuck, signal.SIGHUP, signal.SIGCONT)
                    await anyio.sleep(_KILL_GRACE_S)
                    _signal_sessions(stuck, signal.SIGKILL)
        # Background jobs outlive a close only by accident; make sure.
        _signal_sessions({leader for s in sessions for leader in s.leaders}, signal.SIGKILL)


# ---------------------------------------------------------------------------
# The MCP server


INSTRUCTIONS = f"""\
Run command-line programs (shells, REPLs such as python3 or node, debuggers such as gdb, \
database shells such as sqlite3) in real terminals and talk to them turn by turn. \
start_session starts one and returns its session_id; send_input types a line and returns \
the answer when the program shows its prompt again; send_keys presses keys (Esc, arrows, \
Ctrl-D, a single 'q' without Enter) for pagers, editors and full-screen programs; \
get_screen shows what a person would see on such a program's terminal (start_session with \
screen=true). {STATUS_HELP}"""


_TIMEOUT_HELP = f"Milliseconds to wait for the answer (0 to {MAX_TIMEOUT_MS:,})."
_SESSION_ID_HELP = "The session_id that start_session returned."


def build_server(limits: Limits) -> tuple[MCPServer[Any], SessionManager]:
    """The MCP server with its tools, and the session manager behind them."""
    manager = SessionManager(limits)
    mcp: MCPServer[Any] = MCPServer(
        "pellux", instructions=INSTRUCTIONS, log_level="WARNING", subscriptions=False
    )

    async def start_session(
        command: Annotated[str, Field(description="Program name (looked up on PATH) or path.")],
        args: Annotated[
            list[str], Field(description="Arguments, passed exactly as given (no shell).")
        ] = [],  # noqa: B006 - pydantic copies defaults
        cwd: Annotated[str | None, Field(description="Working directory.")] = None,
        env: Annotated[
            dict[str, str | None] | None,
            Field(description="Environment variables to set; null removes one."),
        ] = None,
        rows: Annotated[int, Field(description=f"Terminal rows (1 to {MAX_ROWS}).")] = 24,
        cols: Annotated[int, Field(description=f"Terminal columns (1 to {MAX_COLS}).")] = 80,
        ready_markers: Annotated[
            list[str] | None,
            Field(
                description="Prompt strings that mean the program waits for input. Leave null "
                "for known programs (bash, sh, dash, zsh, python3, gdb, sqlite3, node) and "
                "for the rest (their reads end when the output pauses); [] forces that."
            ),
        ] = None,
        timeout_ms: Annotated[int, Field(description=_TIMEOUT_HELP)] = 10_000,
        wait_for: Annotated[
            Literal["auto", "markers", "quiet", "input"],
            Field(
                description="How a read knows the answer is complete. 'auto' (best, leave it): as "
                "soon as the program waits for input, as the kernel sees it, falling back on the "
                "prompts where that cannot be seen; 'markers': the prompt strings; 'quiet': a "
                "pause in the output; 'input': the kernel's view only."
            ),
        ] = "auto",
        screen: Annotated[
            bool,
            Field(
                description="Also keep a rendered screen for get_screen: true for "
                "full-screen programs (top, less, vim, htop) and progress bars redrawn in "
                "place, whose plain output is hard to read."
            ),
        ] = False,
    ) -> StartResult:
        """Start a program in a new terminal and return what it printed up to its first prompt.

        Use one session per program and keep it for many turns: the program keeps its
        state (variables, breakpoints, working directory) between send_input calls.
        Close it with close_session when done."""
        return await manager.start(
            command, args, cwd, env, rows, cols, ready_markers, timeout_ms, wait_for, screen
        )

    async def send_input(
        session_id: Annotated[str, Field(description=_SESSION_ID_HELP)],
        input: Annotated[
            str, Field(description="The text to type; a line feed is added (Enter).")
        ],
        timeout_ms: Annotated[int, Field(description=_TIMEOUT_HELP)] = 10_000,
    ) -> TurnResult:
        """Type one line into the program, as at a keyboard followed by Enter, and return
        its answer. Send one command per call. In a REPL a compound statement (def, for,
        if ...) goes one line per call, each answered by the continuation prompt ('... '),
        and ends with an empty input ''.

        If status is 'timeout' the program is still working: read_output to wait more,
        or send_interrupt to stop it."""
        return await manager.send(session_id, input, timeout_ms)

    async def read_output(
        session_id: Annotated[str, Field(description=_SESSION_ID_HELP)],
        timeout_ms: Annotated[
            int,
            Field(
                description="0 returns what is already there without waiting; more waits "
                f"that long for the prompt (up to {MAX_TIMEOUT_MS:,})."
            ),
        ] = 0,
    ) -> TurnResult:
        """Return output the program printed since the last answer, without typing
        anything. Use it after a 'timeout' or 'limit' status, or to follow a program
        that keeps printing."""
        return await manager.read(session_id, timeout_ms)

    async def send_interrupt(
        session_id: Annotated[str, Field(description=_SESSION_ID_HELP)],
        timeout_ms: Annotated[int, Field(description=_TIMEOUT_HELP)] = 5_000,
    ) -> TurnResult:
        """Press Ctrl-C in the terminal, then return the answer. Use it when a command
        runs too long or hangs (status 'timeout'), or to leave a half-typed
        multi-line statement: the program stops the running command and shows its
        prompt again, keeping its state. In gdb it stops the program being debugged."""
        return await manager.interrupt(session_id, timeout_ms)

    async def restart_session(
        session_id: Annotated[str, Field(description=_SESSION_ID_HELP)],
        timeout_ms: Annotated[int, Field(description=_TIMEOUT_HELP)] = 10_000,
    ) -> TurnResult:
        """End the program and start it again in the same session (same command,
        arguments, directory, environment), returning its first output. All of its state
        is lost. Use it when the program exited (status 'exited', alive false) or when
        send_interrupt did not bring its prompt back."""
        return await manager.restart(session_id, timeout_ms)

    async def send_keys(
        session_id: Annotated[str, Field(description=_SESSION_ID_HELP)],
        keys: Annotated[
            str | list[str],
            Field(
                description="A string is typed as it is, with no Enter added: 'q', 'y', ':wq'. "
                "A list holds key names and text, in order: ['/error', 'enter'], "
                "['escape', ':q!', 'enter'], ['ctrl-c'], ['pagedown']. Key names: enter, tab, "
                "shift-tab, escape, backspace, delete, insert, up, down, left, right, home, "
                "end, pageup, pagedown, space, f1-f12, ctrl-a..ctrl-z (also ctrl-[ ctrl-] "
                "ctrl-\\ ctrl-^ ctrl-_), alt-<key>."
            ),
        ],
        timeout_ms: Annotated[int, Field(description=_TIMEOUT_HELP)] = 10_000,
    ) -> TurnResult:
        """Press keys in the terminal, exactly as given (no Enter unless you include
        'enter'), then return the answer like read_output. Use it where send_input's
        line plus Enter is wrong: to answer a one-key question ('y'), to move or quit in
        a pager or a full-screen program (less: 'pagedown', '/word' then 'enter', 'q';
        top: 'q'), for Esc, Tab completion, arrow keys, or Ctrl-D to end input. For
        commands at a prompt use send_input. The output of a full-screen program is best
        read with get_screen."""
        return await manager.keys(session_id, keys, timeout_ms)

    async def resize_session(
        session_id: Annotated[str, Field(description=_SESSION_ID_HELP)],
        rows: Annotated[int, Field(description=f"Terminal rows (1 to {MAX_ROWS}).")],
        cols: Annotated[int, Field(description=f"Terminal columns (1 to {MAX_COLS}).")],
    ) -> ResizeResult:
        """Change the terminal's size; the program is told (SIGWINCH) and full-screen
        programs redraw. Use it when rows are cut or wrap, or to see more of a
        full-screen program; get_screen then shows the new size."""
        return await manager.resize(session_id, rows, cols)

    async def get_screen(
        session_id: Annotated[str, Field(description=_SESSION_ID_HELP)],
        scrollback: Annotated[
            int,
            Field(
                description="How many of the latest lines that scrolled off the top to "
                f"include as well (0 to {MAX_SCROLLBACK_LINES})."
            ),
        ] = 0,
    ) -> ScreenResult:
        """Return the terminal's screen as a person would see it now: every row as text,
        after cursor moves, redraws and carriage returns are applied (a progress bar
        shows its last state, top its current table, less the page it shows), and the
        cursor position. It waits for nothing and takes what the program printed so far;
        that output then counts as read (read_output will not return it, get_history
        has it). Works on sessions started with screen=true. Use it for full-screen programs and
        after send_keys to them; for line-by-line programs the output of send_input is
        enough."""
        return await manager.screen(session_id, scrollback)

    async def close_session(
        session_id: Annotated[str, Field(description=_SESSION_ID_HELP)],
    ) -> CloseResult:
        """End the program, with everything it started, and forget the session."""
        return await manager.close(session_id)

    async def list_sessions() -> SessionList:
        """List the open sessions: id, program, arguments, whether it still runs, whether
        a call on it is in progress and how long it has been unused. Sessions unused for
        a long time are closed by the server."""
        return manager.describe()

    async def get_history(
        session_id: Annotated[str, Field(description=_SESSION_ID_HELP)],
        max_chars: Annotated[
            int | None,
            Field(
                description="Return at most this many of the latest characters "
                f"(1 to {MAX_HISTORY_CHARS:,}); the default is the server's answer size."
            ),
        ] = None,
    ) -> HistoryResult:
        """Return the session's recent output as plain text, everything the program
        printed since it (re)started, oldest first, up to the last few MiB. Use it to see
        what a truncated answer left out or to look back."""
        return await manager.history(session_id, max_chars)

    # The tools that answer with a read explain every status themselves:
    # not every client shows the server's instructions to the model.
    for answers in (
        start_session, send_input, send_keys, read_output, send_interrupt, restart_session
    ):
        doc = inspect.cleandoc(answers.__doc__ or "")
        mcp.add_tool(answers, description=f"{doc}\n\n{STATUS_HELP}")
    for tool in (get_screen, resize_session, close_session, list_sessions, get_history):
        mcp.add_tool(tool, description=inspect.cleandoc(tool.__doc__ or ""))
    return mcp, manager


async def serve(limits: Limits) -> None:
    """Serves MCP on stdin/stdout until the client leaves or a signal ends us."""
    mcp, manager = build_server(limits)
    try:
        async with anyio.create_task_group() as tg:

            async def on_signals() -> None:
                with anyio.open_signal_receiver(
                    signal.SIGTERM, signal.SIGINT, signal.SIGHUP
                ) as signals:
                    async for _ in signals:
                        # The transport's stdin reader is a thread blocked in a
                        # read that no cancellation reaches, so the server
                        # cannot wind down through the task group: end the
                        # programs, then the process.
                        await manager.shutdown()
                        _exit_now()

            async def run() -> None:
                await mcp.run_stdio_async()
                tg.cancel_scope.cancel()  # the client left (stdin closed)

            tg.start_soon(on_signals)
            tg.start_soon(manager.reap_idle)
            tg.start_soon(run)
    finally:
        await manager.shutdown()


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _output_chars(text: str) -> int:
    value = int(text)
    if value < MIN_OUTPUT_CHARS:
        raise argparse.ArgumentTypeError(f"must be at least {MIN_OUTPUT_CHARS}, got {value}")
    return value


def _seconds(text: str) -> float:
    value = float(text)
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError(f"must be a number of seconds >= 0, got {text}")
    return value


def parse_args(argv: Sequence[str] | None = None) -> Limits:
    parser = argparse.ArgumentParser(
        prog="pellux-mcp",
        description="MCP server (stdio) that runs terminal programs for an agent.",
    )
    parser.add_argument(
        "--allow",
        action="append",
        default=[],
        metavar="PROGRAM",
        help="allow this program (a name looked up on PATH, or a path); repeat for more. "
        "When given, no other program may start.",
    )
    parser.add_argument("--max-sessions", type=_positive_int, default=16, metavar="N")
    parser.add_argument(
        "--max-output-chars",
        type=_output_chars,
        default=20_000,
        metavar="N",
        help="longer answers keep their head and tail (default 20000)",
    )
    parser.add_argument(
        "--idle-timeout",
        type=_seconds,
        default=3600.0,
        metavar="SECONDS",
        help="close sessions unused this long (default 3600; 0: never)",
    )
    options = parser.parse_args(argv)
    allowed: list[str] = []
    for program in options.allow:
        if "/" in program:
            allowed.append(os.path.abspath(program))
            continue
        found = shutil.which(program)
        if found is None:
            parser.error(f"--allow {program}: no such program on PATH")
        allowed.append(os.path.abspath(found))
    return Limits(
        allow=tuple(allowed),
        max_sessions=options.max_sessions,
        max_output_chars=options.max_output_chars,
        idle_timeout_s=options.idle_timeout,
    )


def _exit_now() -> None:
    """Ends the process once every session is closed and every program ended.

    Nothing is left to clean up, and the interpreter's own finalization
    (collecting the SDK's large module graph) takes a good part of a second on
    a busy machine: time that a client waiting to kill us does not give.
    """
    logging.shutdown()
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(0)


def main(argv: Sequence[str] | None = None) -> None:
    """Entry point of `pellux-mcp` and `python -m pellux_agent`."""
    limits = parse_args(argv)
    anyio.run(serve, limits)
    _exit_now()
