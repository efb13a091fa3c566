"""``AsyncTerminal``: a ``Terminal`` for asyncio code.

A ``Terminal`` belongs to the thread that created it. Each
``AsyncTerminal`` therefore owns one dedicated thread, its owner thread, on
which its ``Terminal`` is created, used, closed and dropped; coroutines hand
it jobs in order and await their results. Calls on one terminal run one after the other in the order they
were made; different terminals run in parallel; the event loop never waits
for a program. Nothing that reaches the event loop holds the session:
results are plain values, and an exception's traceback is cut at the owner
thread and its frames are cleared before it crosses over.

The results are delivered through the running asyncio loop, so it works
under asyncio and under anyio on its asyncio backend (the default, and
what the MCP SDK runs on).
"""

from __future__ import annotations

import asyncio
import queue
import threading
import traceback
import weakref
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from types import TracebackType
from typing import TYPE_CHECKING, Any, Final, Generic, TypeVar

from . import process
from .launcher import check_arguments
from .presets import preset_for
from .reads import WaitFor, check_wait_for
from .terminal import Terminal, Turn, _Described, _is_panic

if TYPE_CHECKING:
    from .screen import ScreenSnapshot

T = TypeVar("T")

# How long close() lets a running job (a long read, say) go on before it
# ends the terminal's processes from outside, which ends that read.
_CLOSE_GRACE_S: Final = 0.5
# Longest wait for an abandoned terminal's thread at interpreter exit.
_EXIT_JOIN_S: Final = 5.0


class _Slot:
    """The owner thread's hold on its terminal. Lives on that thread only."""

    terminal: Terminal | None = None

    def get(self) -> Terminal:
        if self.terminal is None:
            raise RuntimeError("terminal is not running")
        return self.terminal


@dataclass(frozen=True)
class _Info:
    """What the event loop side may know of the running terminal."""

    program: process.Identity


class _Job(Generic[T]):
    """One call for the owner thread, and the way its outcome travels back:
    through the loop that awaits it, if that loop still runs."""

    def __init__(
        self,
        work: Callable[[_Slot], T],
        loop: asyncio.AbstractEventLoop | None,
        future: asyncio.Future[T] | None,
    ) -> None:
        self.work = work
        self.loop = loop
        self.future = future

    def deliver(self, result: T | None, error: BaseException | None) -> None:
        if self.loop is None or self.future is None:
            return
        try:
            self.loop.call_soon_threadsafe(_settle, self.future, result, error)
        except RuntimeError:
            pass  # the loop is closed: nobody waits any more


def _settle(future: asyncio.Future[T], result: T | None, error: BaseException | None) -> None:
    if future.cancelled():
        return
    if error is not None:
        future.set_exception(error)
    else:
        future.set_result(result)  # type: ignore[arg-type]


def _detached(error: BaseException) -> BaseException:
    """The exception, safe to hand to another thread: its traceback starts
    below the owner thread's loop, and every frame in it (and in its causes)
    has dropped its local variables, which could hold the terminal."""
    seen: set[int] = set()
    current: BaseException | None = error
    first = True
    while current is not None and id(current) not in seen:
        seen.add(id(current))
        tb = current.__traceback__
        if first and tb is not None:
            tb = tb.tb_next
            current.__traceback__ = tb
        first = False
        if tb is not None:
            traceback.clear_frames(tb)
        current = current.__cause__ or current.__context__
    return error


class _OwnerThread:
    """The dedicated thread of one terminal and its queue of jobs."""

    def __init__(self, name: str) -> None:
        self._jobs: queue.SimpleQueue[_Job[Any] | None] = queue.SimpleQueue()
        self.busy = threading.Event()
        self.thread = threading.Thread(
            target=self._run, args=(self._jobs, self.busy), name=name, daemon=True
        )
        self.thread.start()

    def submit(self, job: _Job[Any]) -> None:
        self._jobs.put(job)

    def stop(self) -> None:
        """Ends the thread after the jobs already queued; the terminal, if
        still open then, is closed on the thread."""
        self._jobs.put(None)

    @staticmethod
    def _run(jobs: queue.SimpleQueue[_Job[Any] | None], busy: threading.Event) -> None:
        # Static, with its queue passed in: the thread must not keep the
        # AsyncTerminal alive, or it could never be collected.
        slot = _Slot()
        while True:
            job = jobs.get()
            if job is None:
                break
            busy.set()
            try:
                result = job.work(slot)
            except BaseException as error:
                job.deliver(None, _detached(_ordinary(error, slot)))
            else:
                job.deliver(result, None)
            finally:
                busy.clear()
            del job
        if slot.terminal is not None:
            try:
                slot.terminal.close()
            except Exception:
                pass  # nobody to tell; its processes are ended by its finalizer
        # The last reference to the session goes here, on its own thread.
        slot.terminal = None


def _ordinary(error: BaseException, slot: _Slot) -> BaseException:
    """PanicException (a BaseException) must not reach the event loop."""
    if _is_panic(error):
        name = repr(slot.terminal) if slot.terminal is not None else "terminal"
        return RuntimeError(f"{name}: pellux failed: {error}")
    return error


def _abandon(owner: _OwnerThread, state: _State) -> None:
    """Closes a terminal whose AsyncTerminal was collected unclosed, or is
    still open at interpreter exit."""
    owner.submit(_Job(_closer(state.watch(owner)), None, None))
    owner.stop()
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        # No loop on this thread (interpreter exit, or collected by sync
        # code): wait for the close, so nothing outlives the interpreter.
        if owner.thread is not threading.current_thread():
            owner.thread.join(_EXIT_JOIN_S)


def _closer(watchdog: threading.Timer | None) -> Callable[[_Slot], None]:
    def close_terminal(slot: _Slot) -> None:
        if watchdog is not None:
            watchdog.cancel()
        if slot.terminal is not None:
            slot.terminal.close()
            slot.terminal = None

    return close_terminal


class _State:
    """Shared between the AsyncTerminal and its finalizer."""

    def __init__(self) -> None:
        self.info: _Info | None = None
        # (exit_code, exit_signal) as of the last call on the owner thread.
        self.exit_status: tuple[int | None, int | None] = (None, None)

    def watch(self, owner: _OwnerThread) -> threading.Timer | None:
        """Starts the watchdog of a close: if the job before it keeps the
        owner thread busy (a long read), it ends the terminal's processes
        from here after a short grace, so that the read ends and the close
        runs. The close job cancels it when it starts."""
        info = self.info
        if info is None:
            return None

        def end() -> None:
            # No hangup first: a shell whose running command died of it
            # would show its prompt, and the read would end looking "ready".
            if owner.busy.is_set():
                process.kill_session(info.program)

        timer = threading.Timer(_CLOSE_GRACE_S, end)
        timer.daemon = True
        try:
            timer.start()
        except RuntimeError:
            # No new threads at interpreter exit (Python 3.12 on): nothing
            # can wait out the grace, so a job still holding the owner
            # thread is ended now.
            end()
            return None
        return timer


class AsyncTerminal(_Described):
    """``Terminal`` for asyncio: the same parameters and methods, each
    ``async``. ``async with AsyncTerminal(...) as t:`` starts the program
    (or ``await t.start()``, then ``await t.close()``).

    Each terminal runs on its own thread: calls on one terminal run in the
    order they were made, different terminals in parallel, and the event
    loop is never blocked. A call whose awaiting task is cancelled still
    runs to its end on that thread (its result is dropped), and the calls
    after it wait for it; ``close()`` does not wait for a long read, it ends
    the program under it.
    """

    def __init__(
        self,
        command: str,
        args: Sequence[str] = (),
        *,
        cwd: str | None = None,
        env: Mapping[str, str | None] | None = None,
        rows: int = 24,
        cols: int = 80,
        ready_markers: Sequence[str] | None = None,
        wait_for: WaitFor = "auto",
        screen: bool = False,
        program_file: tuple[str, int, int] | None = None,
    ) -> None:
        # Checked here, so that a bad argument fails at once, not at start().
        check_arguments(command, args, cwd, env, rows, cols)
        self._wait_for = check_wait_for(wait_for)
        if isinstance(ready_markers, str):
            raise TypeError("ready_markers must be a sequence of str or None (not a single str)")
        if not isinstance(screen, bool):
            raise TypeError(f"screen must be a bool, not {type(screen).__name__}")
        self._command = command
        self._args = tuple(args)
        self._params: dict[str, Any] = {
            "cwd": cwd,
            "env": None if env is None else dict(env),
            "rows": rows,
            "cols": cols,
            "ready_markers": None if ready_markers is None else list(ready_markers),
            "wait_for": self._wait_for,
            "screen": screen,
            "program_file": program_file,
        }
        self._rows = rows
        self._cols = cols
        self._cwd = cwd
        self._markers = (
            preset_for(command).markers if ready_markers is None else tuple(ready_markers)
        )
        self._owner: _OwnerThread | None = None
        self._state = _State()
        self._closed = False
        self._finalizer: weakref.finalize[Any, Any] | None = None

    # --- what the terminal is ------------------------------------------

    @property
    def pid(self) -> int | None:
        """The program's process id; None before start and after close."""
        info = self._state.info
        return info.program.pid if info is not None and not self._closed else None

    @property
    def exit_code(self) -> int | None:
        """The program's exit status once it has ended by itself, as of the
        last call (never waits for the owner thread)."""
        return None if self._closed else self._state.exit_status[0]

    @property
    def exit_signal(self) -> int | None:
        """The signal that ended the program, as of the last call."""
        return None if self._closed else self._state.exit_status[1]

    @property
    def alive(self) -> bool:
        """Whether the program runs: from the kernel's process table, so it
        never waits for the owner thread."""
        info = self._state.info
        return info is not None and not self._closed and process.running(info.program)

    def __repr__(self) -> str:
        if self._closed:
            state = "closed"
        elif self._state.info is None:
            state = "not started"
        else:
            state = f"pid {self.pid}"
        return f"<AsyncTerminal {self._command!r} {state}>"

    # --- lifecycle -------------------------------------------------------

    async def start(self) -> None:
        """Starts the program on the terminal's own thread. Raises what
        ``Terminal`` raises (OSError with pellux's message when the program
        cannot start)."""
        if self._closed:
            raise RuntimeError(f"{self!r}: cannot start again; make a new AsyncTerminal")
        if self._owner is not None:
            raise RuntimeError(f"{self!r} is already started")
        name = f"pellux-agent {self._command}"
        owner = _OwnerThread(name)
        self._owner = owner
        command, args, params = self._command, self._args, dict(self._params)

        def open_terminal(slot: _Slot) -> _Info:
            terminal = Terminal(command, args, **params)
            slot.terminal = terminal
            assert terminal.pid is not None
            return _Info(process.identify(terminal.pid))

        try:
            self._state.info = await self._call(open_terminal)
        except BaseException:
            await self.close()
            raise
        # Made after the Terminal's own finalizer, so that at interpreter exit
        # this one runs first and the terminal is closed on its thread.
        self._finalizer = weakref.finalize(self, _abandon, owner, self._state)

    async def close(self) -> None:
        """Ends every process of the terminal's session and the terminal's
        thread. Idempotent; a read in progress is ended, not waited for."""
        if self._closed:
            return
        self._closed = True
        owner = self._owner
        if owner is None:
            return
        if self._finalizer is not None:
            self._finalizer.detach()
        loop = asyncio.get_running_loop()
        job: _Job[None] = _Job(_closer(self._state.watch(owner)), loop, loop.create_future())
        owner.submit(job)
        owner.stop()
        assert job.future is not None
        await asyncio.shield(job.future)

    async def __aenter__(self) -> AsyncTerminal:
        await self.start()
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        await self.close()

    # --- turns -----------------------------------------------------------

    async def send(self, input: str, timeout_ms: int | None = None) -> Turn:
        """Types ``input`` and a line feed, then reads (``Terminal.send``)."""
        if not isinstance(input, str):
            raise TypeError(f"input must be a str, not {type(input).__name__}")
        return await self._call(lambda slot: slot.get().send(input, timeout_ms))

    async def read(self, timeout_ms: int | None = None) -> Turn:
        """Reads the program's answer (``Terminal.read``)."""
        return await self._call(lambda slot: slot.get().read(timeout_ms))

    async def interrupt(self, timeout_ms: int | None = None) -> Turn:
        """Types Ctrl-C, then reads (``Terminal.interrupt``)."""
        return await self._call(lambda slot: slot.get().interrupt(timeout_ms))

    async def restart(self, timeout_ms: int | None = None) -> Turn:
        """Starts the program again and returns its first read
        (``Terminal.restart``)."""
        state = self._state

        def restart(slot: _Slot) -> Turn:
            terminal = slot.get()
            try:
                return terminal.restart(timeout_ms)
            finally:
                if terminal.pid is not None and state.info is not None:
                    state.info = _Info(process.identify(terminal.pid))

        return await self._call(restart)

    async def history(self, max_chars: int | None = None) -> str:
        """The recent output's text (``Terminal.history``)."""
        return await self._call(lambda slot: slot.get().history(max_chars))

    async def write(self, data: str | bytes, timeout_ms: int | None = None) -> None:
        """Types ``data`` as it is, nothing added (``Terminal.write``)."""
        await self._call(lambda slot: slot.get().write(data, timeout_ms))

    async def send_keys(self, keys: str | Sequence[str], timeout_ms: int | None = None) -> Turn:
        """Types named keys and text, then reads (``Terminal.send_keys``)."""
        return await self._call(lambda slot: slot.get().send_keys(keys, timeout_ms))

    async def resize(self, rows: int, cols: int) -> None:
        """Gives the terminal a new size (``Terminal.resize``)."""
        await self._call(lambda slot: slot.get().resize(rows, cols))
        self._rows, self._cols = rows, cols

    async def screen(self) -> ScreenSnapshot:
        """The rendered terminal (``Terminal.screen``)."""
        return await self._call(lambda slot: slot.get().screen())

    # --- internals -------------------------------------------------------

    async def _call(self, work: Callable[[_Slot], T]) -> T:
        owner = self._owner
        if owner is None:
            raise RuntimeError(f"{self!r}: use 'async with' or await start() first")
        if self._closed:
            raise RuntimeError(f"{self!r} is closed")
        loop = asyncio.get_running_loop()
        state = self._state

        def run(slot: _Slot) -> T:
            try:
                return work(slot)
            finally:
                terminal = slot.terminal
                if terminal is not None and not terminal.closed:
                    state.exit_status = (terminal.exit_code, terminal.exit_signal)

        job: _Job[T] = _Job(run, loop, loop.create_future())
        owner.submit(job)
        assert job.future is not None
        return await job.future
