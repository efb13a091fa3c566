"""``AsyncTerminal``: a ``Terminal`` for asyncio code.

Each call runs the ``Terminal`` method of the same name on a worker thread
of the terminal's own, so the event loop never
waits for a program, calls on one terminal run in the order they were made,
and different terminals run in parallel; many long reads never wait for a
thread of a shared pool. ``interrupt()`` and ``close()`` do not queue behind
a running read: they end it at once (``Terminal`` allows both from any
thread). A call whose task is cancelled ends its native read, and its
worker returns before the cancellation goes on.

The calls use the running asyncio loop, so ``AsyncTerminal`` works under
asyncio and under anyio on its asyncio backend (the default, and what the
MCP SDK runs on).
"""

from __future__ import annotations

import asyncio
import queue
import re
import threading
import weakref
from collections.abc import Callable, Sequence
from types import TracebackType
from typing import TYPE_CHECKING, Any, Final, TypeVar

from .terminal import Terminal, Turn, _Described, _Params

if TYPE_CHECKING:
    from .screen import ScreenSnapshot

T = TypeVar("T")

# While a cancelled call's worker has not returned, its read is ended again
# at this interval: the first end can come before the native read begins.
_CANCEL_AGAIN_S: Final = 0.05


class AsyncTerminal(_Described):
    """``Terminal`` for asyncio: the same parameters and methods, each
    ``async``. ``async with AsyncTerminal(...) as t:`` starts the program
    (or ``await t.start()``, then ``await t.close()``).

    Calls on one terminal run in the order they were made, different
    terminals in parallel, and the event loop is never blocked. A call whose
    awaiting task is cancelled before it runs never runs; one that runs is
    ended (its read returns at once, its result is dropped, the output it
    took stays in the history), and the cancellation goes on once its worker
    has returned. ``interrupt()`` ends a read in progress at once (that
    read's turn is ``"interrupted"``), then reads the answer to the Ctrl-C
    after the calls made before it. ``close()`` ends a read in progress at
    once (its turn is ``"exited"``); calls still waiting then raise
    RuntimeError "... is closed".
    """

    def _begin(self, params: _Params) -> None:
        self._params = params
        self._rows, self._cols = self._params.rows, self._params.cols
        self._closed = False
        self._terminal: Terminal | None = None
        self._worker: _Worker | None = None

    # --- what the terminal is ------------------------------------------

    @property
    def pid(self) -> int | None:
        """The program's process id; None before start and after close."""
        terminal = self._terminal
        return terminal.pid if terminal is not None and not self._closed else None

    @property
    def exit_code(self) -> int | None:
        """The program's exit status once it has ended by itself (never
        waits: while a call runs, as of the last call)."""
        terminal = self._terminal
        return terminal.exit_code if terminal is not None and not self._closed else None

    @property
    def exit_signal(self) -> int | None:
        """The signal that ended the program (never waits, as ``exit_code``)."""
        terminal = self._terminal
        return terminal.exit_signal if terminal is not None and not self._closed else None

    @property
    def alive(self) -> bool:
        """Whether the program runs. Never waits."""
        terminal = self._terminal
        return terminal is not None and not self._closed and terminal.alive

    def __repr__(self) -> str:
        if self._closed:
            state = "closed"
        elif self._terminal is None:
            state = "not started"
        else:
            state = f"pid {self.pid}"
        return f"<AsyncTerminal {self._params.command!r} {state}>"

    # --- lifecycle -------------------------------------------------------

    async def start(self) -> None:
        """Starts the program on the terminal's worker thread. Raises what
        ``Terminal`` raises (OSError with pellux's message when the program
        cannot start)."""
        if self._closed:
            raise RuntimeError(f"{self!r}: cannot start again; make a new AsyncTerminal")
        if self._worker is not None:
            raise RuntimeError(f"{self!r} is already started")
        self._worker = _Worker(f"pellux-agent {self._params.command}")
        try:
            terminal = await self._run(Terminal._started, self._params)
        except BaseException:
            await self.close()
            raise
        self._terminal = terminal
        if self._closed:  # close() came while the program started
            await self._close_terminal(terminal)

    async def close(self) -> None:
        """Ends every process of the terminal's session; a read in progress
        ends at once. Idempotent."""
        if self._closed:
            return
        self._closed = True
        worker, terminal = self._worker, self._terminal
        if worker is not None:
            # Calls still queued run and find the terminal closed; then the
            # thread ends.
            worker.shutdown()
        if terminal is not None:
            await self._close_terminal(terminal)

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
        return await self._run(self._use().send, input, timeout_ms)

    async def send_secret(self, secret: str, timeout_ms: int | None = None) -> Turn:
        """Types a hidden value and a line feed while the terminal does not
        echo, then reads (``Terminal.send_secret``)."""
        if not isinstance(secret, str):
            raise TypeError(f"secret must be a str, not {type(secret).__name__}")
        return await self._run(self._use().send_secret, secret, timeout_ms)

    async def reads_hidden_line(self) -> bool:
        """Whether the program reads a line without echo now
        (``Terminal.reads_hidden_line``)."""
        return await self._run(self._use().reads_hidden_line)

    @property
    def recording_size(self) -> int | None:
        """The bytes written to the recording so far (``Terminal.recording_size``)."""
        terminal = self._terminal
        return None if terminal is None or self._closed else terminal.recording_size

    async def read(self, timeout_ms: int | None = None) -> Turn:
        """Reads the program's answer (``Terminal.read``)."""
        return await self._run(self._use().read, timeout_ms)

    async def expect(
        self, patterns: str | re.Pattern[str] | Sequence[str | re.Pattern[str]], timeout_ms: int | None = None
    ) -> Turn:
        """Waits until one of ``patterns`` shows up in the text
        (``Terminal.expect``); cancelling the call ends the wait at once."""
        return await self._run(self._use().expect, patterns, timeout_ms)

    async def interrupt(self, timeout_ms: int | None = None) -> Turn:
        """Types Ctrl-C, ending a read in progress at once, then reads the
        answer (``Terminal.interrupt``)."""
        terminal = self._use()
        Terminal._timeout(timeout_ms)  # refused before the Ctrl-C goes out
        # Not on the worker: it would wait behind the read it must end.
        await asyncio.get_running_loop().run_in_executor(None, terminal._send_ctrl_c)
        return await self._run(terminal.read, timeout_ms)

    async def restart(self, timeout_ms: int | None = None) -> Turn:
        """Starts the program again and returns its first read
        (``Terminal.restart``)."""
        return await self._run(self._use().restart, timeout_ms)

    async def history(self, max_chars: int | None = None) -> str:
        """The recent output's text (``Terminal.history``)."""
        return await self._run(self._use().history, max_chars)

    async def write(self, data: str | bytes, timeout_ms: int | None = None) -> None:
        """Types ``data`` as it is, nothing added (``Terminal.write``)."""
        await self._run(self._use().write, data, timeout_ms)

    async def send_keys(self, keys: str | Sequence[str], timeout_ms: int | None = None) -> Turn:
        """Types named keys and text, then reads (``Terminal.send_keys``)."""
        return await self._run(self._use().send_keys, keys, timeout_ms)

    async def resize(self, rows: int, cols: int) -> None:
        """Gives the terminal a new size (``Terminal.resize``)."""
        await self._run(self._use().resize, rows, cols)
        self._rows, self._cols = rows, cols

    async def screen(self) -> ScreenSnapshot:
        """The rendered terminal (``Terminal.screen``)."""
        return await self._run(self._use().screen)

    def last_screen(self) -> ScreenSnapshot | None:
        """The screen as the reads so far left it (``Terminal.last_screen``);
        never waits, so it is called on the event loop, not the worker."""
        terminal = self._terminal
        return None if terminal is None or self._closed else terminal.last_screen()

    # --- internals -------------------------------------------------------

    def _use(self) -> Terminal:
        if self._closed:
            raise RuntimeError(f"{self!r} is closed")
        if self._terminal is None:
            raise RuntimeError(f"{self!r}: use 'async with' or await start() first")
        return self._terminal

    async def _run(self, work: Callable[..., T], *args: Any) -> T:
        """``work(*args)`` on the worker thread, in call order."""
        worker = self._worker
        if worker is None:
            raise RuntimeError(f"{self!r}: use 'async with' or await start() first")
        call = worker.submit(asyncio.get_running_loop(), work, args)
        if call is None:  # the worker was shut down by close()
            raise RuntimeError(f"{self!r} is closed")
        try:
            result: T = await call.outcome
            return result
        except asyncio.CancelledError:
            # Not started: it never will. Running: end its read, and wait
            # for the worker to return.
            if not call.withdraw():
                await self._end(call)
            raise

    async def _end(self, call: _Call) -> None:
        """Ends the running ``call`` and waits for its worker to return; a
        repeated cancellation does not cut that wait short."""
        returned = call.returned()
        while not returned.done():
            if self._terminal is not None:
                call.end_read(self._terminal)
            try:
                await asyncio.wait({returned}, timeout=_CANCEL_AGAIN_S)
            except asyncio.CancelledError:
                pass

    @staticmethod
    async def _close_terminal(terminal: Terminal) -> None:
        # On a thread of the loop's pool, not the worker, which may be in a
        # read that this close ends; shielded, so the close always finishes.
        closing = asyncio.get_running_loop().run_in_executor(None, terminal.close)
        await asyncio.shield(closing)


_QUEUED, _RUNNING, _WITHDRAWN, _FINISHED = range(4)


class _Call:
    """One call handed to a worker: its outcome is an asyncio future of the
    caller's loop, settled on that loop when the worker returns."""

    __slots__ = ("loop", "work", "args", "outcome", "state", "lock", "settled", "waiter")

    def __init__(self, loop: asyncio.AbstractEventLoop, work: Callable[..., Any], args: tuple[Any, ...]) -> None:
        self.loop = loop
        self.work = work
        self.args = args
        self.outcome: asyncio.Future[Any] = loop.create_future()
        # Where the worker is with it; changed under the lock.
        self.state = _QUEUED
        self.lock = threading.Lock()
        # On the loop: whether the outcome has arrived, and the future of a
        # cancelled caller waiting for it.
        self.settled = False
        self.waiter: asyncio.Future[None] | None = None

    def withdraw(self) -> bool:
        """Takes a queued call back (it will never run); False once it runs."""
        with self.lock:
            if self.state == _QUEUED:
                self.state = _WITHDRAWN
                return True
            return False

    def end_read(self, terminal: Terminal) -> None:
        """Ends the call's read if the call still runs. Under the lock, so
        the worker cannot go on to the next call, whose read this must not
        end, meanwhile."""
        with self.lock:
            if self.state == _RUNNING:
                terminal._cancel()

    def returned(self) -> asyncio.Future[None]:
        """A future of the loop done once the worker has returned (on the loop)."""
        if self.waiter is None:
            self.waiter = self.loop.create_future()
            if self.settled:
                self.waiter.set_result(None)
        return self.waiter

    def settle(self, result: Any, error: BaseException | None) -> None:
        """On the loop: hands the worker's outcome to the caller, unless the
        caller has gone (cancelled), and wakes one waiting for the return."""
        self.settled = True
        if not self.outcome.done():
            if error is None:
                self.outcome.set_result(result)
            else:
                self.outcome.set_exception(error)
        if self.waiter is not None and not self.waiter.done():
            self.waiter.set_result(None)


class _Worker:
    """The thread that runs one terminal's calls, one at a time, in the order
    they came. A plain queue and the loop's own thread-safe callback: the
    least a call can cost, two thread wake-ups."""

    def __init__(self, name: str) -> None:
        self._calls: queue.SimpleQueue[_Call | None] = queue.SimpleQueue()
        self._shut = False
        # The thread holds the queue, not the worker: a terminal dropped
        # without close() lets its worker go, and the thread ends with it.
        threading.Thread(target=_serve, args=(self._calls,), name=name, daemon=True).start()
        weakref.finalize(self, self._calls.put, None)

    def submit(self, loop: asyncio.AbstractEventLoop, work: Callable[..., Any], args: tuple[Any, ...]) -> _Call | None:
        """Queues a call; None once shut down."""
        if self._shut:
            return None
        call = _Call(loop, work, args)
        self._calls.put(call)
        return call

    def shutdown(self) -> None:
        """Calls already queued still run (and find the terminal closed);
        then the thread ends. Never waits."""
        if not self._shut:
            self._shut = True
            self._calls.put(None)


def _serve(calls: queue.SimpleQueue[_Call | None]) -> None:
    """Runs the calls of one worker until it is shut down or dropped."""
    while (call := calls.get()) is not None:
        with call.lock:
            if call.state != _QUEUED:
                continue
            call.state = _RUNNING
        result, error = None, None
        try:
            result = call.work(*call.args)
        except BaseException as caught:  # handed to the caller, raised there
            error = caught
        with call.lock:
            call.state = _FINISHED
        try:
            call.loop.call_soon_threadsafe(call.settle, result, error)
        except RuntimeError:
            pass  # the caller's loop is closed: nobody waits for the outcome
        del call, result, error
