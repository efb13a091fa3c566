"""``Terminal``: one program in its own terminal, driven turn by turn.

A ``Terminal`` owns one native terminal (``pellux_agent._terminal``, built
on pellux's session core), which starts the program with its arguments,
environment, directory and size exactly. Every read returns a ``Turn``: the
cleaned text, why the read ended (as the read loop saw it), and whether the
program still runs.

A ``Terminal`` belongs to the thread that created it; ``AsyncTerminal``
runs one on a thread of its own.
"""

from __future__ import annotations

import threading
import time
import weakref
from collections.abc import Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from types import TracebackType
from typing import TYPE_CHECKING, Final, Literal

from . import process
from ._terminal import Terminal as _Native
from .launcher import MAX_SIDE, Launcher, check_arguments, start_error
from .presets import preset_for
from .probe import InputProbe
from .reads import WaitFor, check_wait_for, ends_with_marker, read_until_input

if TYPE_CHECKING:
    from .screen import Screen, ScreenSnapshot

Status = Literal["ready", "quiet", "timeout", "exited", "limit"]

DEFAULT_TIMEOUT_MS: Final = 20_000
# The read parameters of every turn: pellux's own defaults, fixed here so
# that the status can be derived from them.
SETTLE_MS: Final = 200
QUIET_MS: Final = 80
MAX_OUTPUT_BYTES: Final = 2 * 1024 * 1024
# How long a program that has begun to exit may take until pellux can
# collect it (normally well under a millisecond).
_EXIT_GRACE_S: Final = 1.0
# Raw output kept for a terminal's screen between two feeds; a read takes at
# most MAX_OUTPUT_BYTES, and the screen is fed after every read.
_TAP_BYTES: Final = 2 * MAX_OUTPUT_BYTES
# How much queued output screen() takes at most before it renders: enough
# for many full redraws, bounded so a flood cannot hold it.
_SCREEN_DRAIN_BYTES: Final = 4 * 1024 * 1024


@dataclass(frozen=True)
class Turn:
    """The answer of one read.

    ``status`` says why the read ended:

    * ``"ready"``: the program waits for input: the kernel shows it asleep
      reading its terminal with all its output taken (``wait_for`` "auto" or
      "input"), or the text ends with one of the terminal's ready markers,
      trailing whitespace aside;
    * ``"quiet"``: the output paused: in a terminal without markers, for the
      quiet period; with markers, after a marker that was not the last thing
      printed (the program may not be waiting);
    * ``"timeout"``: the timeout ran out first (the program may be busy);
    * ``"exited"``: the program has ended (its output ended with it);
    * ``"limit"``: the read took its byte cap (2 MiB of raw output) while more
      was coming; the rest is left for the next read.

    ``alive`` is whether the program ran when the read ended. Once it has
    ended, ``exit_code`` is its exit status, or ``signal`` the number of the
    signal that ended it (both None while it runs).
    """

    output: str
    status: Status
    alive: bool
    # Left out of comparisons, so a turn compares as it always did: by its
    # text, status and liveness.
    exit_code: int | None = field(default=None, compare=False)
    signal: int | None = field(default=None, compare=False)


class _Resources:
    """What a terminal must release, kept apart from the ``Terminal`` so
    that a finalizer can release it after the terminal is collected."""

    def __init__(self, launcher: Launcher, owner: threading.Thread) -> None:
        self.launcher = launcher
        self.owner = owner
        self.pellux: _Native | None = None
        self.program: process.Identity | None = None

    def release(self) -> None:
        """Ends every process of the terminal's session and removes the
        private directory. Idempotent; any thread may call it (the native
        terminal has no owner thread)."""
        program, self.program = self.program, None
        session, self.pellux = self.pellux, None
        if program is not None:
            process.hang_up(program)
            if threading.current_thread() is not self.owner:
                # The owner thread may be inside a read (a daemon thread at
                # interpreter exit, say), holding the native terminal until
                # it ends: ending the session's processes first ends it.
                process.kill_session(program)
        if session is not None:
            session.close()
        if program is not None:
            process.kill_session(program)
        self.launcher.remove()


def _is_panic(error: BaseException) -> bool:
    # pellux's PanicException derives from BaseException only and cannot be
    # imported; it is recognised by its name.
    return type(error).__name__ == "PanicException" and not isinstance(error, Exception)


class _Described:
    """What a terminal is, the same for ``Terminal`` and ``AsyncTerminal``."""

    _command: str
    _args: tuple[str, ...]
    _cwd: str | None
    _rows: int
    _cols: int
    _markers: tuple[str, ...]
    _wait_for: WaitFor
    _closed: bool

    @property
    def command(self) -> str:
        return self._command

    @property
    def args(self) -> tuple[str, ...]:
        return self._args

    @property
    def cwd(self) -> str | None:
        return self._cwd

    @property
    def size(self) -> tuple[int, int]:
        """``(rows, cols)``."""
        return (self._rows, self._cols)

    @property
    def ready_markers(self) -> tuple[str, ...]:
        """The prompts that end a read; empty when reads end on quiet."""
        return self._markers

    @property
    def wait_for(self) -> WaitFor:
        """How a read knows the answer is complete (see ``Terminal``)."""
        return self._wait_for

    @property
    def closed(self) -> bool:
        return self._closed


class Terminal(_Described):
    """A program in its own pseudo-terminal, with arguments, environment,
    working directory and size, driven one turn at a time.

    ``command`` is a program name (searched along ``PATH``, the one of the
    program's environment) or a path; ``args`` reach it verbatim, no shell
    reads them. ``env`` is merged onto this process's environment (a value
    of None removes the name). Every program also gets ``PAGER``,
    ``GIT_PAGER`` and ``MANPAGER`` set to ``cat`` and ``TERM=xterm-xfree86`` unless
    ``env`` says otherwise. ``ready_markers=None`` picks the program's preset
    (gdb, python3, the shells, sqlite3, node; see ``presets.py``), whose
    prompts end a read; other programs, or an empty list, read until the
    output goes quiet. ``screen=True`` also renders the output on a terminal
    emulator of ``rows`` by ``cols`` (see ``screen()``; needs the
    ``pellux[screen]`` extra).

    ``wait_for`` chooses how a read knows the answer is complete (see
    ``reads.py``): ``"auto"`` (default) ends it as soon as the kernel shows
    the program waiting for input on its terminal, with no settle pause, and
    falls back on the markers (or quiet output) where that cannot be seen;
    ``"markers"``, ``"quiet"`` and ``"input"`` force one rule.

    The program starts in the constructor (``OSError`` with pellux's message
    when it cannot) and ends with ``close()``, which ends every process of
    its terminal session, background jobs included. The object belongs to
    the thread that created it.

    ``program_file=(path, st_dev, st_ino)`` runs exactly the file a caller
    checked: ``path`` is executed through a descriptor, without any ``PATH``
    search, and the start (and every restart) fails unless it still names
    the file with that device and inode (the MCP server's allow list).
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
        if not isinstance(screen, bool):
            raise TypeError(f"screen must be a bool, not {type(screen).__name__}")
        command, arg_list, cwd, env_map, rows, cols = check_arguments(
            command, args, cwd, env, rows, cols
        )
        self._wait_for = check_wait_for(wait_for)
        preset = preset_for(command)
        if ready_markers is None:
            markers = list(preset.markers)
        elif isinstance(ready_markers, str) or not isinstance(ready_markers, Sequence):
            raise TypeError("ready_markers must be a sequence of str or None (not a single str)")
        else:
            markers = list(ready_markers)
            for i, marker in enumerate(markers):
                if not isinstance(marker, str):
                    raise TypeError(f"ready_markers[{i}] must be a str, not {type(marker).__name__}")
        self._command = command
        self._args = tuple(arg_list)
        self._cwd = cwd
        self._rows = rows
        self._cols = cols
        self._markers = tuple(markers)
        self._probe: InputProbe | None = None
        # The thread object, not its ident: idents are reused.
        self._owner = threading.current_thread()
        self._closed = False
        # The emulator is imported only when a screen is asked for.
        self._screen: Screen | None = _new_screen(rows, cols) if screen else None
        launcher = Launcher(command, arg_list, cwd, env_map, rows, cols, preset)
        self._resources = _Resources(launcher, self._owner)
        self._finalizer = weakref.finalize(self, self._resources.release)
        try:
            try:
                session = _Native(
                    command,
                    launcher.argv,
                    launcher.environment,
                    cwd,
                    rows,
                    cols,
                    [] if self._wait_for == "quiet" else markers,
                    program_file=program_file,
                )
            except OSError as error:
                # The native message is pellux's wording, whole; the errno
                # picks the subclass (FileNotFoundError...).
                raise start_error(error.errno or 0, error.strerror or str(error)) from None
            self._resources.pellux = session
            self._resources.program = process.identify(session.pid)
            if self._screen is not None:
                session.set_tap(_TAP_BYTES)
        except BaseException:
            self._closed = True
            self._finalizer()
            raise

    # --- what the terminal is ------------------------------------------

    @property
    def pid(self) -> int | None:
        """The program's process id (also its terminal session's id), new
        after each ``restart()``; None once closed."""
        program = self._resources.program
        return program.pid if program is not None and not self._closed else None

    @property
    def exit_code(self) -> int | None:
        """The program's exit status once it has ended by itself (None while
        it runs, when a signal ended it, and once closed)."""
        status = self._exit_status()
        return status[0] if status is not None else None

    @property
    def exit_signal(self) -> int | None:
        """The number of the signal that ended the program (None while it
        runs, when it exited by itself, and once closed)."""
        status = self._exit_status()
        return status[1] if status is not None else None

    @property
    def alive(self) -> bool:
        """Whether the program still runs (False once closed). Never waits."""
        if self._closed:
            return False
        if threading.current_thread() is not self._owner:
            program = self._resources.program
            return program is not None and process.running(program)
        with self._pellux_errors():
            return self._program_alive()

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"pid {self.pid}"
        return f"<Terminal {self._command!r} {state}>"

    # --- turns -----------------------------------------------------------

    def send(self, input: str, timeout_ms: int | None = None) -> Turn:
        """Types ``input`` and a line feed, then reads the answer like
        ``read``. Raises RuntimeError when the program has exited (see
        ``restart``) or the input cannot be written."""
        if not isinstance(input, str):
            raise TypeError(f"input must be a str, not {type(input).__name__}")
        timeout = self._timeout(timeout_ms)
        session = self._session()
        with self._pellux_errors():
            if not session.is_alive():
                raise self._exited_error()
            started = time.monotonic()
            probe = self._input_probe()
            try:
                if probe is not None:
                    # Writes within the turn's time and takes nothing: the
                    # probed read below takes the whole answer.
                    text, why = session.send(input, timeout, 0, 0, 0)
                else:
                    text, why = session.send(input, timeout, MAX_OUTPUT_BYTES, SETTLE_MS, QUIET_MS)
            except RuntimeError as error:
                # The write failed: say so plainly if the program has just
                # ended, which is the usual cause.
                if not self._program_alive():
                    raise self._exited_error() from error
                raise RuntimeError(f"{self!r}: {error}") from error
            if probe is not None:
                return self._probed_turn(session, probe, started, timeout, text)
            return self._turn(session, text, why)

    def read(self, timeout_ms: int | None = None) -> Turn:
        """Reads until a ready marker ends the text (plus a short settle
        period), or without markers until the output goes quiet, for at most
        ``timeout_ms`` (default 20,000)."""
        timeout = self._timeout(timeout_ms)
        session = self._session()
        with self._pellux_errors():
            started = time.monotonic()
            probe = self._input_probe()
            if probe is not None:
                return self._probed_turn(session, probe, started, timeout)
            text, why = session.read(timeout, MAX_OUTPUT_BYTES, SETTLE_MS, QUIET_MS)
            return self._turn(session, text, why)

    def interrupt(self, timeout_ms: int | None = None) -> Turn:
        """Types Ctrl-C (SIGINT for the program in the foreground), then
        reads like ``read``."""
        timeout = self._timeout(timeout_ms)
        session = self._session()
        with self._pellux_errors():
            if not session.is_alive():
                raise self._exited_error()
            try:
                session.send_ctrl_c()
            except RuntimeError as error:
                if not self._program_alive():
                    raise self._exited_error() from error
                raise RuntimeError(f"{self!r}: {error}") from error
        return self.read(timeout)

    def write(self, data: str | bytes, timeout_ms: int | None = None) -> None:
        """Types ``data`` as it is, nothing added (a str is sent as UTF-8):
        a single ``y`` for a yes/no question, ``q`` for a pager, escape
        sequences. Gives up after ``timeout_ms`` (default 20,000) when the
        program does not take its input, with RuntimeError "write failed:
        timed out ..."; then none of ``data``, and no input the program had
        not read yet, is left behind. Reads nothing: see ``read``."""
        if isinstance(data, str):
            payload = data.encode("utf-8", "surrogateescape")
        elif isinstance(data, (bytes, bytearray, memoryview)):
            payload = bytes(data)
        else:
            raise TypeError(f"data must be a str or bytes, not {type(data).__name__}")
        timeout = self._timeout(timeout_ms)
        session = self._session()
        with self._pellux_errors():
            if not session.is_alive():
                raise self._exited_error()
            try:
                session.write(payload, timeout)
            except RuntimeError as error:
                if not self._program_alive():
                    raise self._exited_error() from error
                raise RuntimeError(f"{self!r}: {error}") from error

    def send_keys(self, keys: str | Sequence[str], timeout_ms: int | None = None) -> Turn:
        """Types named keys and text (see ``pellux_agent.keys.encode_keys``;
        arrows follow the cursor-key mode the program set), then reads like
        ``read``. ``timeout_ms`` bounds the write and the read each."""
        from .keys import encode_keys

        session = self._session()
        payload = encode_keys(keys, app_cursor=session.app_cursor)
        self.write(payload, timeout_ms)
        return self.read(timeout_ms)

    def resize(self, rows: int, cols: int) -> None:
        """Gives the terminal a new size: the program gets SIGWINCH, and
        ``stty size`` in it prints ``rows cols``. A restart keeps the size."""
        for side_name, side in (("rows", rows), ("cols", cols)):
            if isinstance(side, bool) or not isinstance(side, int):
                raise TypeError(f"{side_name} must be an int, not {type(side).__name__}")
            if not 1 <= side <= MAX_SIDE:
                raise ValueError(f"{side_name} must be between 1 and {MAX_SIDE}, not {side}")
        session = self._session()
        with self._pellux_errors():
            session.resize(rows, cols)
        self._rows, self._cols = rows, cols
        if self._screen is not None:
            self._screen.resize(rows, cols)

    def screen(self) -> ScreenSnapshot:
        """The terminal as a person would see it now: the rendered rows, the
        cursor and the scrollback. Takes the output queued so far first (it
        then counts as read: ``history`` has it, the next read does not).
        RuntimeError when the terminal was made without ``screen=True``."""
        if self._screen is None:
            raise RuntimeError(f"{self!r} has no screen; create it with screen=True")
        session = self._session()
        with self._pellux_errors():
            taken = 0
            while taken < _SCREEN_DRAIN_BYTES:
                text = session.read_available()
                if not text:
                    break
                taken += len(text)
            self._feed_screen(session)
        return self._screen.snapshot()

    def restart(self, timeout_ms: int | None = None) -> Turn:
        """Ends the program and every process of its session, starts it
        again in the same terminal object, and returns its first read. Raises
        OSError when it cannot start again (the terminal is then closed)."""
        timeout = self._timeout(timeout_ms)
        session = self._session()
        resources = self._resources
        with self._pellux_errors():
            started = time.monotonic()
            old = resources.program
            if old is not None:
                process.hang_up(old)
            try:
                session.reset()
            except BaseException:
                self.close()
                raise
            if old is not None:
                process.kill_session(old)
            resources.program = process.identify(session.pid)
            if self._screen is not None:
                self._screen = _new_screen(self._rows, self._cols)
            # Whatever took the new program's first output into the history
            # (a read_available, say), a prompt found there must end the
            # turn instead of the whole timeout.
            text = session.get_history()
            probe = self._input_probe()
            if probe is not None:
                return self._probed_turn(session, probe, started, timeout, text)
            why = "marker"
            if self._markers:
                if not ends_with_marker(text, self._markers):
                    remaining = max(0, timeout - int((time.monotonic() - started) * 1000))
                    more, why = session.read(remaining, MAX_OUTPUT_BYTES, SETTLE_MS, QUIET_MS)
                    text += more
            elif text:
                # Output already came, so the quiet period runs from now.
                why = "timeout"
                while (remaining := timeout - int((time.monotonic() - started) * 1000)) > 0:
                    more, why = session.read(
                        min(remaining, QUIET_MS), MAX_OUTPUT_BYTES, SETTLE_MS, QUIET_MS
                    )
                    if not more:
                        # Nothing came for a whole quiet period.
                        why = "quiet" if why == "timeout" else why
                        break
                    text += more
            else:
                remaining = max(0, timeout - int((time.monotonic() - started) * 1000))
                text, why = session.read(remaining, MAX_OUTPUT_BYTES, SETTLE_MS, QUIET_MS)
            return self._turn(session, text, why)

    def history(self, max_chars: int | None = None) -> str:
        """The cleaned text of the program's recent output that reads have
        taken (the last 4 MiB), or its last ``max_chars`` characters."""
        if max_chars is not None and (isinstance(max_chars, bool) or not isinstance(max_chars, int)):
            raise TypeError(f"max_chars must be an int or None, not {type(max_chars).__name__}")
        if max_chars is not None and max_chars < 0:
            raise ValueError(f"max_chars must not be negative, not {max_chars}")
        session = self._session()
        with self._pellux_errors():
            text = session.get_history()
        if max_chars is None:
            return text
        return text[len(text) - max_chars :] if max_chars else ""

    def close(self) -> None:
        """Ends every process of the terminal's session (the program first
        gets the hangup a closing terminal sends), removes the launcher and
        frees the session. Idempotent; never hangs (about 0.1 to 1 s)."""
        if self._closed:
            return
        self._check_owner()
        self._closed = True
        self._finalizer()

    def __enter__(self) -> Terminal:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()

    # --- internals -------------------------------------------------------

    def _check_owner(self) -> None:
        if threading.current_thread() is not self._owner:
            raise RuntimeError(
                f"{self!r} belongs to the thread that created it; "
                "use AsyncTerminal to drive a terminal from other threads or tasks"
            )

    def _session(self) -> _Native:
        self._check_owner()
        session = self._resources.pellux
        if self._closed or session is None:
            raise RuntimeError(f"{self!r} is closed")
        return session

    @staticmethod
    def _timeout(timeout_ms: int | None) -> int:
        if timeout_ms is None:
            return DEFAULT_TIMEOUT_MS
        if isinstance(timeout_ms, bool) or not isinstance(timeout_ms, int):
            raise TypeError(f"timeout_ms must be an int or None, not {type(timeout_ms).__name__}")
        if timeout_ms < 0:
            raise ValueError(f"timeout_ms must not be negative, not {timeout_ms}")
        return timeout_ms

    @contextmanager
    def _pellux_errors(self) -> Iterator[None]:
        """Turns pellux's PanicException (a BaseException) into an ordinary
        error that names this terminal."""
        try:
            yield
        except BaseException as error:
            if _is_panic(error):
                raise RuntimeError(f"{self!r}: pellux failed: {error}") from None
            raise

    def _exited_error(self) -> RuntimeError:
        return RuntimeError(f"{self!r}: the program has exited; restart() starts it again")

    def _program_alive(self) -> bool:
        session = self._resources.pellux
        if session is None or not session.is_alive():
            return False
        program = self._resources.program
        if program is None or process.running(program):
            return True
        # Right after the program's output ends, pellux may not yet be able
        # to collect it: it has begun to exit. Wait for that to finish.
        deadline = time.monotonic() + _EXIT_GRACE_S
        while session.is_alive():
            if time.monotonic() >= deadline:
                return True
            time.sleep(0.001)
        return False

    def _input_probe(self) -> InputProbe | None:
        """The probe of the running program, for the rules that use it."""
        if self._wait_for not in ("auto", "input"):
            return None
        program = self._resources.program
        if program is None:
            return None
        if self._probe is None or self._probe.pid != program.pid:
            self._probe = InputProbe(program.pid)  # a new one after restart()
        return self._probe

    def _probed_turn(
        self, session: _Native, probe: InputProbe, started: float, timeout_ms: int, text: str = ""
    ) -> Turn:
        text, why = read_until_input(
            session,
            probe,
            self._markers,
            self._wait_for,
            started=started,
            timeout_ms=timeout_ms,
            max_output_bytes=MAX_OUTPUT_BYTES,
            settle_ms=SETTLE_MS,
            quiet_ms=QUIET_MS,
            text=text,
        )
        return self._turn(session, text, why)

    def _exit_status(self) -> tuple[int | None, int | None] | None:
        session = self._resources.pellux
        if self._closed or session is None:
            return None
        with self._pellux_errors():
            return session.exit_status()

    def _feed_screen(self, session: _Native) -> None:
        if self._screen is not None and self._resources.pellux is session:
            self._screen.feed(session.take_tap())

    def _turn(self, session: _Native, text: str, why: str) -> Turn:
        """The turn of a read that ended for ``why``, which the read loop
        reports: ``marker``, ``quiet``, ``timeout``, ``exited`` (the
        program's output ended) or ``cap``. The status follows it: a marker
        read is ``ready`` when the text ends with a marker (the program waits
        for input), else ``quiet`` (a marker was seen but more came after it
        in the settle period); ``cap`` is ``limit``; ``exited`` stays. A read
        that ended on quiet, a timeout or a marker while the program itself
        has ended (a background job may keep its output open) is ``exited``
        too. The terminal may have been closed meanwhile from another thread
        (at interpreter exit, say): its program has ended then."""
        self._feed_screen(session)
        status: Status
        if why == "input":
            # The probe saw the program waiting for input on its terminal.
            status = "ready"
        elif why == "exited":
            status = "exited"
        elif why == "cap":
            status = "limit"
        elif why == "marker":
            status = "ready" if ends_with_marker(text, self._markers) else "quiet"
        elif why == "quiet":
            status = "quiet"
        else:
            status = "timeout"
        if status == "ready" and session.is_alive():
            return Turn(text, status, True)
        alive = self._program_alive()
        if not alive and status != "limit":
            status = "exited"
        code, sig = (None, None)
        if not alive and self._resources.pellux is session:
            code, sig = session.exit_status() or (None, None)
        return Turn(text, status, alive, code, sig)


def _new_screen(rows: int, cols: int) -> Screen:
    from .screen import Screen

    return Screen(rows, cols)
