"""The session table: every open session, the checks on what starts, the
limits, and the shutdown that ends every program.

Shutdown is the part that needs care. A client leaves by closing our stdin;
the SDK's stdio client then waits about two seconds, signals our process
group and, two seconds later, kills it. The programs run in terminal sessions
of their own and get none of those signals, so ending them is our job, well
inside that window. A terminal's close ends a read in progress at once, from
any thread, and then every process of the program's terminal, so closing
every session in parallel is enough.
"""

from __future__ import annotations

import contextlib
import contextvars
import itertools
import os
import re
import secrets
import signal
import time
from collections.abc import AsyncIterator, Awaitable, Callable, Sequence
from dataclasses import dataclass, field

import anyio
from mcp.server.mcpserver.exceptions import ToolError

from .. import AsyncTerminal, Turn
from ..keys import encode_keys
from ..terminal import check_wait_for
from .hidden import SecretValues
from .programs import AllowList, ProgramFile, ProgramNotFound, loader_variable, resolve, search_path
from .results import (
    MAX_COLS,
    MAX_HISTORY_CHARS,
    MAX_ROWS,
    MAX_SCROLLBACK_LINES,
    MAX_TIMEOUT_MS,
    CloseResult,
    ForegroundInfo,
    HistoryResult,
    ResizeResult,
    ScreenResult,
    SessionInfo,
    SessionList,
    StartResult,
    TurnResult,
    WaitResult,
    shorten,
)


# Everything at shutdown must be over before the client's kill arrives. A
# close ends a read in progress at once and then the terminal's processes,
# so this bounds only a close that something else holds up.
_SHUTDOWN_DEADLINE_S = 1.6


# ---------------------------------------------------------------------------
# Sessions


@dataclass(frozen=True)
class Limits:
    allow: AllowList = AllowList()  # empty: anything may start
    max_sessions: int = 16  # in total, every client's together
    max_output_chars: int = 20_000
    idle_timeout_s: float = 3600.0
    # The most one client may hold open; None: as many as in total.
    max_client_sessions: int | None = None
    # Where start_session(record=true) writes its recordings; None: nowhere.
    record_dir: str | None = None
    record_max_bytes: int = 64 * 1024 * 1024
    # The values send_secret(env=NAME) may type.
    secrets: SecretValues = field(default_factory=SecretValues)


@dataclass(frozen=True)
class ClientId:
    """Who drives a session over HTTP: the token the client presented (its
    label, never the token itself) and the MCP session it speaks in. Over
    stdio there is one client, and no ClientId at all."""

    token: str
    connection: str


# The client of the tool call running now; set around every call by the
# HTTP server (see http.py), None over stdio.
current_client: contextvars.ContextVar[ClientId | None] = contextvars.ContextVar(
    "pellux_current_client", default=None
)


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
    owner: ClientId | None = None
    recording: str | None = None
    busy: int = 0
    # What the latest answer said; a program seen to exit stays exited until
    # it is restarted, whatever a cached flag elsewhere says.
    alive: bool = True
    last_used: float = field(default_factory=time.monotonic)
    started: float = field(default_factory=time.time)
    # The tail of the clean output the answers carried, for people watching
    # (the live view); bounded by _RECENT_CHARS.
    recent: str = ""
    status: str = "starting"  # the latest answer's


# How much of a session's latest output the live view keeps.
_RECENT_CHARS = 16_000
# How many closed sessions still answer "closed (why)" rather than "unknown".
_CLOSED_KEPT = 10_000


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


class SessionManager:
    """The open sessions, their limits and their shutdown."""

    def __init__(self, limits: Limits) -> None:
        self.limits = limits
        self._sessions: dict[str, _Session] = {}
        # session id -> (its owner, why it is closed)
        self._closed: dict[str, tuple[ClientId | None, str]] = {}
        self._ids = itertools.count(1)
        self._starting = 0
        self._starting_by: dict[ClientId | None, int] = {}
        self._shutting_down = False

    def _held_by(self, client: ClientId | None) -> int:
        """The sessions `client` has open or is starting."""
        return self._starting_by.get(client, 0) + sum(
            1 for s in self._sessions.values() if s.owner == client
        )

    # -- lookup -------------------------------------------------------------

    def _get(self, session_id: str) -> _Session:
        # Another client's session is unknown to this one, open or closed:
        # the answer must not even tell that it exists.
        client = current_client.get()
        found = self._sessions.get(session_id)
        if found is not None and found.owner == client:
            return found
        owner, why = self._closed.get(session_id, (None, None))
        if why is not None and owner == client:
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
        except Exception as error:
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
        session.status = turn.status
        if turn.output:
            session.recent = (session.recent + turn.output)[-_RECENT_CHARS:]
        output, truncated = shorten(turn.output, self.limits.max_output_chars)
        front = turn.foreground
        return TurnResult(
            output=output,
            status=turn.status,
            alive=turn.alive,
            truncated=truncated,
            exit_code=turn.exit_code,
            signal=turn.signal,
            foreground=ForegroundInfo(name=front.name, pid=front.pid) if front is not None else None,
            alt_screen=turn.alt_screen,
            echo_off=turn.echo_off,
        )

    # -- checks -------------------------------------------------------------

    @staticmethod
    def check_range(name: str, value: int, low: int, high: int) -> None:
        if not low <= value <= high:
            raise SessionError(f"{name} must be between {low:,} and {high:,}, got {value:,}")

    def _program_file(
        self, command: str, env: dict[str, str | None] | None, cwd: str | None
    ) -> ProgramFile:
        """The file the program runs from, found once, or a tool error; with
        an allow list, also the check that it may run (see programs.py)."""
        if not command:
            raise SessionError("command is empty; give a program name or path, e.g. 'python3'")
        if "\0" in command:
            raise SessionError("command contains a NUL character")
        if self.limits.allow and env:
            for name, value in env.items():
                if value is not None and loader_variable(name):
                    raise SessionError(
                        f"env may not set {name} on this server: it would make the dynamic "
                        "loader run code of its own inside an allowed program"
                    )
        path = search_path(command, env)
        try:
            program = resolve(command, cwd, path)
        except ProgramNotFound as error:
            changed = " (PATH was changed by env)" if env and "PATH" in env else ""
            raise SessionError(f"cannot start {command!r}: {error}{changed}") from None
        if self.limits.allow and not self.limits.allow.permits(program):
            raise SessionError(
                f"program {command!r} is not allowed on this server (resolved to "
                f"{program.path}); allowed: {self.limits.allow.describe()}"
            )
        return program

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
        record: bool = False,
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
        program = self._program_file(command, env, cwd)
        recording = self._recording_path() if record else None
        if self._shutting_down:
            raise SessionError("the server is shutting down")
        client = current_client.get()
        if len(self._sessions) + self._starting >= self.limits.max_sessions:
            raise SessionError(
                f"too many sessions: {self.limits.max_sessions} are open, the most this server "
                "allows; close_session one you no longer need"
            )
        per_client = self.limits.max_client_sessions
        if per_client is not None and self._held_by(client) >= per_client:
            raise SessionError(
                f"too many sessions: you have {per_client} open, the most this server allows "
                "one client; close_session one you no longer need"
            )

        self._starting += 1
        self._starting_by[client] = self._starting_by.get(client, 0) + 1
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
                    # Checked: exactly that file runs, now and at every restart.
                    program_file=program.as_argument() if self.limits.allow else None,
                    record=recording,
                    record_max_bytes=self.limits.record_max_bytes,
                )
                await terminal.start()
            except Exception as error:
                raise SessionError(f"cannot start {command!r}: {_message(error)}") from None
            session_id = f"s{next(self._ids)}"
            session = _Session(
                session_id, command, list(args), cwd, rows, cols, terminal, screen, owner=client, recording=recording
            )
            self._sessions[session_id] = session
        finally:
            self._starting -= 1
            self._starting_by[client] -= 1
            if not self._starting_by[client]:
                del self._starting_by[client]
        async with self._use(session_id, "the first read") as session:
            turn = await session.terminal.read(timeout_ms)
        result = self._turn(session, turn)
        return StartResult(session_id=session_id, recording=recording, **result.model_dump())

    def _recording_path(self) -> str:
        """A new file in the recording directory, or a tool error when the
        server records nothing."""
        if self.limits.record_dir is None:
            raise SessionError(
                "this server keeps no recordings; its operator starts it with --record-dir DIR "
                "to allow record=true"
            )
        stamp = time.strftime("%Y%m%d-%H%M%S")
        return os.path.join(self.limits.record_dir, f"{stamp}-{secrets.token_hex(4)}.cast")

    async def send(self, session_id: str, text: str, timeout_ms: int) -> TurnResult:
        self.check_range("timeout_ms", timeout_ms, 0, MAX_TIMEOUT_MS)
        async with self._use(session_id, "send_input") as session:
            return self._turn(session, await session.terminal.send(text, timeout_ms))

    async def check_hidden_line(self, session_id: str) -> None:
        """A tool error unless the session's program reads a hidden line now
        (asked before anyone is asked for the value)."""
        async with self._use(session_id, "send_secret") as session:
            if not await session.terminal.reads_hidden_line():
                raise SessionError(
                    f"session {session_id!r}: send_secret refused: the program is not reading a "
                    "hidden line now (its terminal echoes input, or a line editor reads key by "
                    "key), so the value could show in its output; nothing was asked or typed. "
                    "Send the command that asks for the password first (its prompt turns echo off)"
                )

    def offered_secret(self, name: str) -> str:
        """The value the deployment offers as `name`, or a tool error that
        lists the names (never a value)."""
        value = self.limits.secrets.get(name)
        if value is None:
            offered = ", ".join(self.limits.secrets.names()) or "none (the operator offers them with --secret-env NAME)"
            raise SessionError(f"no secret named {name!r} on this server; offered: {offered}")
        return value

    async def send_secret(self, session_id: str, value: str, timeout_ms: int) -> TurnResult:
        """Types `value` and Enter while the program reads a hidden line, then
        reads its answer. The value is in no message: a failure of the
        terminal says what failed, never what was typed."""
        self.check_range("timeout_ms", timeout_ms, 0, MAX_TIMEOUT_MS)
        async with self._use(session_id, "send_secret") as session:
            try:
                turn = await session.terminal.send_secret(value, timeout_ms)
            except ValueError as error:
                raise SessionError(f"session {session_id!r}: send_secret refused: {error}") from None
            return self._turn(session, turn)

    async def read(self, session_id: str, timeout_ms: int) -> TurnResult:
        self.check_range("timeout_ms", timeout_ms, 0, MAX_TIMEOUT_MS)
        async with self._use(session_id, "read_output") as session:
            # A read with no time at all takes nothing; one millisecond takes
            # what has arrived (and leaves the rest queued for the next read).
            return self._turn(session, await session.terminal.read(max(timeout_ms, 1)))

    async def wait_for(self, session_id: str, pattern: str, timeout_ms: int) -> WaitResult:
        self.check_range("timeout_ms", timeout_ms, 0, MAX_TIMEOUT_MS)
        if not pattern:
            raise SessionError("pattern is empty; give a regular expression such as 'listening on port (\\d+)'")
        try:
            compiled = re.compile(pattern)
        except re.error as error:
            raise SessionError(f"pattern is not a valid regular expression: {error}") from None
        if compiled.fullmatch(""):
            raise SessionError(f"pattern {pattern!r} matches the empty text: it would match at once")
        async with self._use(session_id, "wait_for_output") as session:
            turn = await session.terminal.expect(compiled, timeout_ms)
        result = self._turn(session, turn)
        found = turn.match
        return WaitResult(
            **result.model_dump(),
            match=found.text if found is not None else None,
            groups=list(found.groups) if found is not None else [],
        )

    async def interrupt(self, session_id: str, timeout_ms: int) -> TurnResult:
        self.check_range("timeout_ms", timeout_ms, 0, MAX_TIMEOUT_MS)
        async with self._use(session_id, "send_interrupt") as session:
            return self._turn(session, await session.terminal.interrupt(timeout_ms))

    async def restart(self, session_id: str, timeout_ms: int) -> TurnResult:
        self.check_range("timeout_ms", timeout_ms, 0, MAX_TIMEOUT_MS)
        async with self._use(session_id, "restart_session") as session:
            try:
                turn = await session.terminal.restart(timeout_ms)
            except OSError as error:
                # The program could not start again and the terminal is
                # closed: the session is over, and says why from now on.
                why = f"restart_session could not start the program: {_message(error)}"
                self._forget(session, why)
                await self._close_all([session], deadline_s=_SHUTDOWN_DEADLINE_S)
                raise SessionError(f"session {session_id!r}: {why}") from None
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
                f"session {session_id!r} has no screen: it was started with screen=false, or "
                "this server has no terminal emulator (pip install 'pellux[screen]'); "
                "start_session with screen=true keeps one (for top, less, vim, progress bars)"
            )
        async with self._use(session_id, "get_screen") as session:
            snap = await session.terminal.screen()
            terminal = session.terminal
            alive = bool(terminal.alive) and session.alive
            result = ScreenResult(
                rows=snap.rows,
                cursor_row=snap.cursor_row,
                cursor_col=snap.cursor_col,
                alt_screen=snap.alt_screen,
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
        client = current_client.get()
        for s in self._sessions.values():
            if s.owner != client:
                continue
            try:
                alive = s.alive and bool(s.terminal.alive)
            except Exception:
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
        self._closed[session.session_id] = (session.owner, why)
        if len(self._closed) > _CLOSED_KEPT:
            # A server that runs for weeks under many clients: the oldest
            # closed ids become unknown ones.
            del self._closed[next(iter(self._closed))]

    def sessions_of(self, token: str) -> list[_Session]:
        """The open sessions of every client that presented `token`: what a
        person holding that token may watch."""
        return [s for s in self._sessions.values() if s.owner is not None and s.owner.token == token]

    async def client_left(self, client: ClientId) -> None:
        """Closes every session of a client whose connection ended (it said
        goodbye, went idle too long, or the server drops it)."""
        gone = [s for s in self._sessions.values() if s.owner == client]
        for s in gone:
            self._forget(s, "its client's connection ended")
        with anyio.CancelScope(shield=True):
            await self._close_all(gone, deadline_s=_SHUTDOWN_DEADLINE_S)

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

    async def _close_all(self, sessions: list[_Session], deadline_s: float) -> None:
        """Closes `sessions` in parallel, within `deadline_s`.

        Each close ends a read in progress at once and then every process of
        the program's terminal (the native terminal's one way of ending
        them), so none needs forcing from here.
        """
        if not sessions:
            return

        async def close_one(s: _Session) -> None:
            # A close that fails has nothing left to end: the others go on.
            with contextlib.suppress(Exception):
                await s.terminal.close()

        with anyio.move_on_after(deadline_s):
            async with anyio.create_task_group() as tg:
                for s in sessions:
                    tg.start_soon(close_one, s)


async def serve_until_signalled(
    manager: SessionManager, serve: Callable[[], Awaitable[None]], stop: Callable[[], None]
) -> None:
    """Runs ``serve`` beside the idle reaper until it returns. SIGTERM, SIGINT
    or SIGHUP close every terminal first (a read in progress ends at once,
    so its request answers), then ``stop()`` ends the serving. The terminals
    are closed on every way out."""
    try:
        async with anyio.create_task_group() as tg:

            async def on_signals() -> None:
                with anyio.open_signal_receiver(signal.SIGTERM, signal.SIGINT, signal.SIGHUP) as signals:
                    async for _ in signals:
                        await manager.shutdown()
                        stop()

            async def run() -> None:
                await serve()
                tg.cancel_scope.cancel()

            tg.start_soon(on_signals)
            tg.start_soon(manager.reap_idle)
            tg.start_soon(run)
    finally:
        await manager.shutdown()
