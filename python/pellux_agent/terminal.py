"""``Terminal``: one program in its own terminal, driven turn by turn.

A ``Terminal`` is a thin face over one native terminal
(``pellux_agent._terminal``, built on pellux's session core), which starts
the program with its arguments, environment, directory and size exactly,
and runs every read in its own loop under the terminal's rule
(``wait_for``). Every read returns a ``Turn``: the cleaned text, why the
read ended, and whether the program still runs.

Any thread may use a ``Terminal``. Its calls run one at a time (a call
waits for the one running), except ``interrupt()`` and ``close()``, which
end a running read at once; ``alive``, ``pid``, ``exit_code`` and
``exit_signal`` never wait.
"""

from __future__ import annotations

import os
import re
import threading
import time
import weakref
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from types import TracebackType
from typing import TYPE_CHECKING, Final, Literal, NamedTuple

from . import process
from ._terminal import Terminal as _Native
from .expect import Checked, PatternMatch, PatternSearch, compile_patterns
from .presets import Preset, preset_for
from .spawn_plan import SpawnPlan, check_arguments, check_side, start_error

if TYPE_CHECKING:
    from .screen import Screen, ScreenSnapshot

Status = Literal["ready", "quiet", "timeout", "exited", "limit", "interrupted", "matched"]
WaitFor = Literal["auto", "markers", "quiet", "input"]
WAIT_FOR_RULES: Final[tuple[WaitFor, ...]] = ("auto", "markers", "quiet", "input")

DEFAULT_TIMEOUT_MS: Final = 20_000
# The read parameters of every turn: pellux's own defaults, fixed here so
# that the status can be derived from them.
SETTLE_MS: Final = 200
QUIET_MS: Final = 80
MAX_OUTPUT_BYTES: Final = 2 * 1024 * 1024
# Where a recording stops unless told otherwise (``record_max_bytes``): hours
# of an ordinary session, bounded so that a flood cannot fill the disk.
RECORD_MAX_BYTES: Final = 64 * 1024 * 1024
# How long a program that has begun to exit may take until the native
# terminal can collect it (normally well under a millisecond).
_EXIT_GRACE_S: Final = 1.0
# Raw output kept for a terminal's screen between two feeds; a read takes at
# most MAX_OUTPUT_BYTES, and the screen is fed after every read.
_TAP_BYTES: Final = 2 * MAX_OUTPUT_BYTES
# How much queued output screen() takes at most before it renders: enough
# for many full redraws, bounded so a flood cannot hold it.
_SCREEN_DRAIN_BYTES: Final = 4 * 1024 * 1024

# The status of each reason the native read loop gives; "marker" is "ready"
# only when the marker ends the text (see Terminal._turn).
_STATUS_OF: Final[dict[str, Status]] = {
    "marker": "ready",
    "input": "ready",
    "quiet": "quiet",
    "timeout": "timeout",
    "cap": "limit",
    "exited": "exited",
    "interrupted": "interrupted",
    # close() from another thread ended the read, and the program with it.
    "closed": "exited",
}


class Foreground(NamedTuple):
    """The process in front of a terminal: the leader of its foreground
    process group, which gets what is typed (the program itself, or a
    pager, an editor or a job it runs)."""

    name: str  # its command name, as ps shows it
    pid: int


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
    * ``"exited"``: the program has ended (its output ended with it, or
      ``close()`` ended it while the read ran);
    * ``"limit"``: the read took its byte cap (2 MiB of raw output) while more
      was coming; the rest is left for the next read;
    * ``"interrupted"``: ``interrupt()`` (from another thread) or the
      cancellation of an ``AsyncTerminal`` call ended the read before the
      program answered; ``output`` is what came until then, and the program
      may still be working (the interrupt's own read takes what follows);
    * ``"matched"``: (``expect`` only) a pattern matched; ``output`` ends
      where the match ends, and ``match`` says which pattern and how.

    ``alive`` is whether the program ran when the read ended. Once it has
    ended, ``exit_code`` is its exit status, or ``signal`` the number of the
    signal that ended it (both None while it runs).

    What is in front of the terminal as the read ended: ``foreground``, the
    process that gets what is typed (``less`` after ``git log``, ``vim``
    after ``git commit``; None once the program has ended);
    ``alt_screen``, whether a full-screen program holds the alternate screen
    (its rows are best read with ``screen()``); ``echo_off``, whether the
    terminal reads a line without showing it (a password prompt: getpass,
    sudo, ssh), told only when the program waits (``"ready"``). pellux's
    terminals start without echo, so that typed lines are not repeated in
    the output; a program that reads plain lines with no line editor of its
    own (``cat``, ``read`` in a script, ``dash``) shows ``echo_off`` too.
    Programs with a line editor (bash, zsh, python3, gdb, sqlite3) turn it
    on only for hidden input.
    """

    output: str
    status: Status
    alive: bool
    # Left out of comparisons, so a turn compares as it always did: by its
    # text, status and liveness.
    exit_code: int | None = field(default=None, compare=False)
    signal: int | None = field(default=None, compare=False)
    foreground: Foreground | None = field(default=None, compare=False)
    alt_screen: bool = field(default=False, compare=False)
    echo_off: bool = field(default=False, compare=False)
    match: PatternMatch | None = field(default=None, compare=False)


def check_wait_for(value: object) -> WaitFor:
    """``value`` as a rule, or ValueError/TypeError naming what is wrong."""
    if not isinstance(value, str):
        raise TypeError(f"wait_for must be a str, not {type(value).__name__}")
    for rule in WAIT_FOR_RULES:
        if value == rule:
            return rule
    raise ValueError(f"wait_for must be one of {', '.join(map(repr, WAIT_FOR_RULES))}, not {value!r}")


def ends_with_marker(text: str, markers: Sequence[str]) -> bool:
    """Whether a whole marker (its own trailing blank included) ends the
    text, with nothing but whitespace after it; the rule of ``Turn.status``."""
    tail = text.rstrip()
    for marker in markers:
        core = marker.rstrip()
        if tail.endswith(core) and text[len(tail) - len(core) :].startswith(marker):
            return True
    return False


@dataclass(frozen=True)
class _Params:
    """What a terminal is asked to be, checked once: ``Terminal`` and
    ``AsyncTerminal`` take their parameters through ``checked``."""

    command: str
    args: tuple[str, ...]
    cwd: str | None
    env: dict[str, str | None]
    rows: int
    cols: int
    markers: tuple[str, ...]
    wait_for: WaitFor
    screen: bool
    preset: Preset
    program_file: tuple[str, int, int] | None = None
    record: str | None = None
    record_max_bytes: int = RECORD_MAX_BYTES

    @classmethod
    def checked(
        cls,
        command: object,
        args: object,
        cwd: object,
        env: object,
        rows: object,
        cols: object,
        ready_markers: object,
        wait_for: object,
        screen: object,
        program_file: object = None,
        record: object = None,
        record_max_bytes: object = RECORD_MAX_BYTES,
    ) -> _Params:
        if record is not None:
            if not isinstance(record, (str, os.PathLike)):
                raise TypeError(f"record must be a path or None, not {type(record).__name__}")
            record = os.fspath(record)
            if not isinstance(record, str) or not record or "\0" in record:
                raise ValueError(f"record must be a non-empty path without NUL, not {record!r}")
        if isinstance(record_max_bytes, bool) or not isinstance(record_max_bytes, int):
            raise TypeError(f"record_max_bytes must be an int, not {type(record_max_bytes).__name__}")
        if not 1024 <= record_max_bytes < 2**63:
            raise ValueError(f"record_max_bytes must be at least 1024, not {record_max_bytes}")
        if not isinstance(screen, bool):
            raise TypeError(f"screen must be a bool, not {type(screen).__name__}")
        file: tuple[str, int, int] | None = None
        if program_file is not None:
            if not (
                isinstance(program_file, tuple)
                and len(program_file) == 3
                and isinstance(program_file[0], str)
                and all(isinstance(n, int) and not isinstance(n, bool) and n >= 0 for n in program_file[1:])
            ):
                raise TypeError("program_file must be None or a (path, st_dev, st_ino) tuple")
            file = (program_file[0], program_file[1], program_file[2])
        name, arg_list, directory, env_map, rows_, cols_ = check_arguments(
            command, args, cwd, env, rows, cols
        )
        rule = check_wait_for(wait_for)
        preset = preset_for(name)
        if ready_markers is None:
            markers = tuple(preset.markers)
        elif isinstance(ready_markers, str) or not isinstance(ready_markers, Sequence):
            raise TypeError("ready_markers must be a sequence of str or None (not a single str)")
        else:
            markers = tuple(ready_markers)
            for i, marker in enumerate(markers):
                if not isinstance(marker, str):
                    raise TypeError(f"ready_markers[{i}] must be a str, not {type(marker).__name__}")
                if marker == "":
                    # It would end every read at once, "ready" or not.
                    raise ValueError("ready_markers must not contain an empty string")
        return cls(
            name, tuple(arg_list), directory, env_map, rows_, cols_, markers, rule, screen, preset,
            file, record, record_max_bytes,
        )


class _Resources:
    """What a terminal must release, kept apart from the ``Terminal`` so
    that a finalizer can release it after the terminal is collected."""

    def __init__(self, plan: SpawnPlan) -> None:
        self.plan = plan
        self.native: _Native | None = None

    def release(self) -> None:
        """Ends the program and every process of its terminal session (the
        native close, which also ends a read running on another thread) and
        removes the private directory. Idempotent; any thread may call it."""
        native, self.native = self.native, None
        if native is not None:
            native.close()
        self.plan.remove()


class _Described:
    """What a terminal is, the same for ``Terminal`` and ``AsyncTerminal``."""

    _params: _Params
    _rows: int
    _cols: int
    _closed: bool

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
        record: str | os.PathLike[str] | None = None,
        record_max_bytes: int = RECORD_MAX_BYTES,
    ) -> None:
        # Checked here, once, so that a bad argument fails at once.
        self._begin(
            _Params.checked(
                command, args, cwd, env, rows, cols, ready_markers, wait_for, screen, program_file,
                record, record_max_bytes,
            )
        )

    def _begin(self, params: _Params) -> None:
        """Takes the checked parameters: ``Terminal`` starts the program,
        ``AsyncTerminal`` waits for ``start()``."""
        raise NotImplementedError


    @property
    def command(self) -> str:
        return self._params.command

    @property
    def args(self) -> tuple[str, ...]:
        return self._params.args

    @property
    def cwd(self) -> str | None:
        return self._params.cwd

    @property
    def size(self) -> tuple[int, int]:
        """``(rows, cols)``."""
        return (self._rows, self._cols)

    @property
    def ready_markers(self) -> tuple[str, ...]:
        """The prompts that end a read; empty when reads end on quiet."""
        return self._params.markers

    @property
    def wait_for(self) -> WaitFor:
        """How a read knows the answer is complete (see ``Terminal``)."""
        return self._params.wait_for

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
    output goes quiet; an empty marker is refused. ``screen=True`` also
    renders the output on a terminal emulator of ``rows`` by ``cols`` (see
    ``screen()``; needs the ``pellux[screen]`` extra).

    ``wait_for`` chooses how a read knows the answer is complete:
    ``"auto"`` (default) ends it as soon as the kernel shows the program
    waiting for input on its terminal, with no settle pause, and falls back
    on the markers (or quiet output) where that cannot be seen;
    ``"markers"`` (a ready marker and the settle pause; quiet output
    without markers), ``"quiet"`` (the output pauses) and ``"input"`` (the
    kernel's view alone) force one rule. The native read loop applies it.

    The program starts in the constructor (``OSError`` with pellux's message
    when it cannot) and ends with ``close()``, which ends every process of
    its terminal session, background jobs included.

    Threads: any thread may call any method. Calls run one at a time: a call
    made while another runs waits for it (and raises RuntimeError "... is
    closed" if the terminal was closed meanwhile). ``interrupt()`` and
    ``close()`` do not wait: a read running on another thread ends at once
    and returns what it has, as ``"interrupted"`` (``interrupt()``, whose own
    read then takes the answer to the Ctrl-C) or ``"exited"`` (``close()``).

    ``program_file=(path, st_dev, st_ino)`` runs exactly the file a caller
    checked: ``path`` is executed through a descriptor, without any ``PATH``
    search, and the start (and every restart) fails unless it still names
    the file with that device and inode (the MCP server's allow list).

    ``record=path`` writes the session to ``path`` as an asciicast v2 file
    while it runs (a new file, readable by its owner only): the program's
    output as it arrives, what is typed (``send``, ``write``, ``send_keys``,
    Ctrl-C) and resizes, each with its time; a restart adds a ``restart``
    marker. Every event is written at once, so ``python -m
    pellux_agent.watch path`` follows it live. The file stops growing at
    ``record_max_bytes`` (default 64 MiB), with a last marker saying so; the
    session goes on. ``send_secret`` values are never recorded.
    """

    def _begin(self, params: _Params) -> None:
        self._start(params)

    @classmethod
    def _started(cls, params: _Params) -> Terminal:
        """A terminal from parameters already checked."""
        terminal = cls.__new__(cls)
        terminal._start(params)
        return terminal

    def _start(self, params: _Params) -> None:
        self._params = params
        self._rule = params.wait_for
        self._markers = params.markers
        self._rows, self._cols = params.rows, params.cols
        self._closed = False
        self._why_closed = ""
        self._lock = threading.Lock()
        # Text a pattern wait took past its match: the next read starts with it.
        self._pending = ""
        # The last exit status seen, for the readers that never wait.
        self._exit: tuple[int | None, int | None] | None = None
        # The emulator is imported only when a screen is asked for.
        self._screen: Screen | None = _new_screen(params.rows, params.cols) if params.screen else None
        plan = SpawnPlan(params.command, params.args, params.env, params.preset)
        self._resources = _Resources(plan)
        self._finalizer = weakref.finalize(self, self._resources.release)
        try:
            try:
                native = _Native(
                    params.command,
                    plan.argv,
                    plan.environment,
                    params.cwd,
                    params.rows,
                    params.cols,
                    list(params.markers),
                    program_file=params.program_file,
                    record=params.record,
                    record_max_bytes=params.record_max_bytes,
                )
            except OSError as error:
                raise start_error(error) from None
            self._resources.native = native
            self._program = process.identify(native.pid)
            if self._screen is not None:
                native.set_tap(_TAP_BYTES)
                # The program's queries are answered by the screen's emulator
                # (without a screen, by the native terminal's fixed answers).
                native.set_answerer(self._screen.answer)
        except BaseException:
            self._closed = True
            self._finalizer()
            raise

    # --- what the terminal is ------------------------------------------

    @property
    def pid(self) -> int | None:
        """The program's process id (also its terminal session's id), new
        after each ``restart()``; None once closed."""
        return None if self._closed else self._program.pid

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
        """Whether the program still runs (False once closed). Never waits:
        while a call runs, the kernel's process table answers."""
        if self._closed:
            return False
        if not self._lock.acquire(blocking=False):
            return process.running(self._program)
        try:
            native = self._resources.native
            return native is not None and self._program_alive(native)
        finally:
            self._lock.release()

    def __repr__(self) -> str:
        program = getattr(self, "_program", None)
        state = "closed" if self._closed or program is None else f"pid {program.pid}"
        return f"<Terminal {self._params.command!r} {state}>"

    # --- turns -----------------------------------------------------------

    def send(self, input: str, timeout_ms: int | None = None) -> Turn:
        """Types ``input`` and a line feed, then reads the answer like
        ``read``. Raises RuntimeError when the program has exited (see
        ``restart``) or the input cannot be written.

        Input of several lines goes to a program that turned bracketed paste
        on (bash 5.1 and later, zsh, Python 3.13's REPL, at their prompts) as
        one paste, then Enter: the program takes it whole, as a person's
        paste, and runs it once (a function, a heredoc, a compound
        statement), in one turn. Elsewhere the lines are typed one after the
        other, each ended by its line feed."""
        if not isinstance(input, str):
            raise TypeError(f"input must be a str, not {type(input).__name__}")
        timeout = DEFAULT_TIMEOUT_MS if timeout_ms is None else self._timeout(timeout_ms)
        with self._lock:
            native = self._resources.native
            if native is None or self._closed:
                native = self._live()  # raises
            if not native.is_alive():
                raise self._exited_error()
            try:
                text, why = native.send(input, timeout, MAX_OUTPUT_BYTES, SETTLE_MS, QUIET_MS, rule=self._rule)
            except RuntimeError as error:
                raise self._input_error(error, self._program_alive(native)) from error
            held, self._pending = self._pending, ""
            return self._turn(native, held + text, why)

    def send_secret(self, secret: str, timeout_ms: int | None = None) -> Turn:
        """Types ``secret`` and a line feed for a program that reads a hidden
        value (a password prompt: getpass, sudo, ssh), then reads the answer
        like ``read``. The value is typed only while the program reads it as
        a password prompt does: a line, without echo, from ``/dev/tty``
        (getpass, sudo, ssh, su, psql open the terminal by that name), so it
        cannot come back in the output, the history or the screen; a
        recording gets a marker without it. Anything else is refused with
        RuntimeError and nothing is typed: echo on, a line editor that
        echoes by itself (a shell's prompt), or a plain line read (these
        terminals start without echo, so a shell without a line editor
        would take the value as a command; ``read -s`` in a script is
        refused for the same reason)."""
        if not isinstance(secret, str):
            raise TypeError(f"secret must be a str, not {type(secret).__name__}")
        if "\n" in secret or "\r" in secret:
            # A line break would end the hidden line early and type the rest
            # as a command, with echo back on.
            raise ValueError("secret must be one line (no line feed or carriage return)")
        timeout = self._timeout(timeout_ms)
        payload = bytearray(secret.encode("utf-8", "surrogateescape"))
        try:
            with self._lock:
                native = self._live()
                if not native.is_alive():
                    raise self._exited_error()
                try:
                    native.write_secret(payload, timeout)
                except RuntimeError as error:
                    raise self._input_error(error, self._program_alive(native)) from None
                return self._read(native, timeout)
        finally:
            payload[:] = bytes(len(payload))  # this copy of the value does not outlive the call

    def reads_hidden_line(self) -> bool:
        """Whether the program reads a password prompt now (a line, without
        echo, from ``/dev/tty``): what ``send_secret`` needs."""
        with self._lock:
            return self._live().reads_hidden_line

    def read(self, timeout_ms: int | None = None) -> Turn:
        """Reads until the program has answered, by the terminal's rule
        (``wait_for``), for at most ``timeout_ms`` (default 20,000)."""
        timeout = self._timeout(timeout_ms)
        with self._lock:
            return self._read(self._live(), timeout)

    def expect(
        self, patterns: str | re.Pattern[str] | Sequence[str | re.Pattern[str]], timeout_ms: int | None = None
    ) -> Turn:
        """Waits until one of ``patterns`` shows up in the clean text, for at
        most ``timeout_ms`` (default 20,000): a plain ``str`` is found as it
        is written, a compiled ``re.Pattern`` as a regular expression.

        The text is searched as it arrives, never by polling. On a match the
        turn is ``"matched"``: its ``output`` is the text up to the end of
        the match, its ``match`` says which pattern matched (``index``), the
        matched text and its groups; the text after the match stays queued,
        and the next read (or ``expect``) starts with it. Of several
        patterns, the one whose match begins first wins. Without a match
        the turn is ``"timeout"``, ``"exited"`` or ``"interrupted"`` as for
        ``read``, with all the text that came.

        A match may begin at most ``pellux_agent.expect.LOOKBACK`` (8192)
        characters before the newest piece of text (see ``expect.py``), so
        the wait costs time linear in the text, whatever its length.
        ``interrupt()`` and ``close()`` end it at once."""
        checked = compile_patterns(patterns)
        timeout = self._timeout(timeout_ms)
        with self._lock:
            return self._expect(self._live(), checked, timeout)

    def interrupt(self, timeout_ms: int | None = None) -> Turn:
        """Types Ctrl-C (SIGINT for the program in the foreground), then
        reads like ``read``. A read running on another thread ends at once
        (its turn is ``"interrupted"``); the Ctrl-C follows it, and this read
        takes the answer."""
        timeout = self._timeout(timeout_ms)
        self._send_ctrl_c()
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
        with self._lock:
            self._write(self._live(), payload, timeout)

    def send_keys(self, keys: str | Sequence[str], timeout_ms: int | None = None) -> Turn:
        """Types named keys and text (see ``pellux_agent.keys.encode_keys``;
        arrows follow the cursor-key mode the program set), then reads like
        ``read``. ``timeout_ms`` bounds the write and the read each."""
        from .keys import encode_keys

        timeout = self._timeout(timeout_ms)
        with self._lock:
            native = self._live()
            self._write(native, encode_keys(keys, app_cursor=native.app_cursor), timeout)
            return self._read(native, timeout)

    def resize(self, rows: int, cols: int) -> None:
        """Gives the terminal a new size: the program gets SIGWINCH, and
        ``stty size`` in it prints ``rows cols``. A restart keeps the size.
        A size beyond a limit (the terminal's, or the screen's with
        ``screen=True``) is refused before anything changes."""
        check_side("rows", rows)
        check_side("cols", cols)
        if self._screen is not None:
            from .screen import check_size

            check_size(rows, cols)
        with self._lock:
            self._live().resize(rows, cols)
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
        with self._lock:
            native = self._live()
            taken = 0
            while taken < _SCREEN_DRAIN_BYTES:
                text = native.read_available()
                if not text:
                    break
                taken += len(text)
            self._pending = ""
            self._feed_screen(native)
            return self._screen.snapshot()

    def last_screen(self) -> ScreenSnapshot | None:
        """The screen as the reads so far left it, for someone watching:
        takes no output (the program's next read still gets all of it) and
        never waits. None without a screen, when closed, or while a call
        that may change the screen holds the terminal (look again later)."""
        if self._screen is None or self._closed or not self._lock.acquire(blocking=False):
            return None
        try:
            return self._screen.snapshot()
        finally:
            self._lock.release()

    @property
    def recording_size(self) -> int | None:
        """The bytes written to the recording so far (None without one, or
        once closed)."""
        native = self._resources.native
        if self._closed or native is None:
            return None
        try:
            return native.recording_size
        except RuntimeError:
            return None

    def restart(self, timeout_ms: int | None = None) -> Turn:
        """Ends the program and every process of its session, starts it
        again in the same terminal object, and returns its first read.
        Raises the start's OSError (FileNotFoundError when the program's
        file is gone...) when it cannot start again; the terminal is then
        closed, and every later call says why."""
        timeout = self._timeout(timeout_ms)
        with self._lock:
            native = self._live()
            started = time.monotonic()
            try:
                native.reset()
            except OSError as error:
                failure = start_error(error)
                self._close(f"restart() could not start the program: {failure}")
                raise failure from None
            except BaseException as error:
                self._close(f"restart() failed: {error}")
                raise
            self._program = process.identify(native.pid)
            self._exit = None
            self._pending = ""
            if self._screen is not None:
                self._screen = _new_screen(self._rows, self._cols)
                native.set_answerer(self._screen.answer)
            remaining = max(0, timeout - int((time.monotonic() - started) * 1000))
            return self._read(native, remaining)

    def history(self, max_chars: int | None = None) -> str:
        """The cleaned text of the program's recent output that reads have
        taken (the last 4 MiB), or its last ``max_chars`` characters."""
        if max_chars is not None and (isinstance(max_chars, bool) or not isinstance(max_chars, int)):
            raise TypeError(f"max_chars must be an int or None, not {type(max_chars).__name__}")
        if max_chars is not None and max_chars < 0:
            raise ValueError(f"max_chars must not be negative, not {max_chars}")
        with self._lock:
            text = self._live().get_history()
        if max_chars is None:
            return text
        return text[len(text) - max_chars :] if max_chars else ""

    def close(self) -> None:
        """Ends every process of the terminal's session (the program first
        gets the hangup a closing terminal sends), removes the terminal's
        private directory and frees the terminal. A read running on another
        thread ends at once. Idempotent; never hangs (a few milliseconds for a
        program that ends on the hangup, at most about 3 s)."""
        if not self._closed:
            self._close("")

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

    def _live(self) -> _Native:
        native = self._resources.native
        if self._closed or native is None:
            why = f": {self._why_closed}" if self._why_closed else ""
            raise RuntimeError(f"{self!r} is closed{why}")
        return native

    def _close(self, why: str) -> None:
        self._why_closed = why
        self._closed = True
        self._finalizer()

    @staticmethod
    def _timeout(timeout_ms: int | None) -> int:
        if timeout_ms is None:
            return DEFAULT_TIMEOUT_MS
        if isinstance(timeout_ms, bool) or not isinstance(timeout_ms, int):
            raise TypeError(f"timeout_ms must be an int or None, not {type(timeout_ms).__name__}")
        if timeout_ms < 0:
            raise ValueError(f"timeout_ms must not be negative, not {timeout_ms}")
        return timeout_ms

    def _read(self, native: _Native, timeout: int) -> Turn:
        """One read under the terminal's rule; the caller holds the lock.
        Text a pattern wait left comes first, and counts for the rule as
        output this read took."""
        held = self._pending
        primed: Literal["output", "marker"] | None = None
        if held:
            primed = "marker" if ends_with_marker(held, self._params.markers) else "output"
        text, why = native.read(
            timeout, MAX_OUTPUT_BYTES, SETTLE_MS, QUIET_MS, rule=self._rule, primed=primed
        )
        self._pending = ""
        return self._turn(native, held + text, why)

    def _expect(self, native: _Native, checked: tuple[Checked, ...], timeout: int) -> Turn:
        """The wait of ``expect``; the caller holds the lock. Each step is a
        native read that returns as soon as new text arrives; a stop made
        between two steps (interrupt, cancel, close) ends the next one at
        once, as it would have ended the step then running."""
        stops = native.stop_count()
        deadline = time.monotonic() + timeout / 1000
        search = PatternSearch(checked)
        found = search.feed(self._pending)
        self._pending = ""
        why = "arrived"
        first = True
        while found is None:
            left = int((deadline - time.monotonic()) * 1000)
            if left <= 0 and not first:
                why = "timeout"
                break
            first = False
            try:
                piece, why = native.read(max(left, 1), MAX_OUTPUT_BYTES, rule="arrival", stops_seen=stops)
            except RuntimeError:
                if not self._closed:
                    raise
                why = "closed"  # close() came between two steps
                break
            found = search.feed(piece)
            if why not in ("arrived", "cap"):
                break
        if found is None:
            return self._turn(native, search.text(), why)
        output, self._pending = search.split()
        self._feed_screen(native)
        if native.is_alive():
            return self._made(native, output, "matched", True, match=found)
        self._exit = native.exit_status()
        code, sig = self._exit or (None, None)
        return self._made(native, output, "matched", self._program_alive(native), code, sig, match=found)

    def _made(
        self,
        native: _Native,
        text: str,
        status: Status,
        alive: bool,
        code: int | None = None,
        sig: int | None = None,
        match: PatternMatch | None = None,
    ) -> Turn:
        """A turn with what is in front of the terminal now."""
        front: Foreground | None = None
        alt = echo_off = False
        # Once the program has ended nothing is in front, whatever modes it
        # left set.
        if alive and not self._closed:
            try:
                running, seen, alt, echo_off = native.facts()
            except RuntimeError:  # closed meanwhile: nothing is in front
                running = False
            if running:
                front = Foreground(*seen) if seen is not None else None
                # Hidden input is a property of a wait: a busy program's
                # terminal settings say nothing about what it will read.
                echo_off = echo_off and status == "ready"
            else:
                alt = echo_off = False
        return Turn(text, status, alive, code, sig, front, alt, echo_off, match)

    def _write(self, native: _Native, payload: bytes, timeout: int) -> None:
        """The caller holds the lock."""
        if not native.is_alive():
            raise self._exited_error()
        try:
            native.write(payload, timeout)
        except RuntimeError as error:
            raise self._input_error(error, self._program_alive(native)) from error

    def _send_ctrl_c(self) -> None:
        """Ctrl-C without the lock: a read running on another thread ends at
        once, and the Ctrl-C reaches the program after it."""
        native = self._live()
        if not self.alive:
            raise self._exited_error()
        try:
            native.send_ctrl_c()
        except RuntimeError as error:
            raise self._input_error(error, self.alive) from error

    def _cancel(self) -> None:
        """Ends the read running on another thread, if any (it returns as
        ``"interrupted"``). Never waits."""
        native = self._resources.native
        if native is not None:
            native.cancel()

    def _exited_error(self) -> RuntimeError:
        return RuntimeError(f"{self!r}: the program has exited; restart() starts it again")

    def _input_error(self, error: RuntimeError, alive: bool) -> RuntimeError:
        # A failed write usually means the program has just ended: say so.
        return RuntimeError(f"{self!r}: {error}") if alive else self._exited_error()

    def _program_alive(self, native: _Native) -> bool:
        if not native.is_alive():
            return False
        if process.running(self._program):
            return True
        # Right after the program's output ends, the native terminal may not
        # yet be able to collect it: it has begun to exit. Wait for that.
        deadline = time.monotonic() + _EXIT_GRACE_S
        while native.is_alive():
            if time.monotonic() >= deadline:
                return True
            time.sleep(0.001)
        return False

    def _exit_status(self) -> tuple[int | None, int | None] | None:
        if self._closed:
            return None
        if self._lock.acquire(blocking=False):
            try:
                native = self._resources.native
                if native is not None:
                    self._exit = native.exit_status()
            finally:
                self._lock.release()
        return self._exit

    def _feed_screen(self, native: _Native) -> None:
        if self._screen is not None and self._resources.native is native:
            self._screen.feed(native.take_tap())

    def _turn(self, native: _Native, text: str, why: str) -> Turn:
        """The turn of a read that ended for ``why``, the native read loop's
        reason. The status follows it (``_STATUS_OF``): a marker read is
        ``ready`` only when the text ends with a marker (the program waits
        for input), else ``quiet`` (more came after the marker within the
        settle period). A read that ended in any way but ``limit`` while the
        program itself has ended (a background job may keep its output
        open) is ``exited``."""
        if self._screen is not None:
            self._feed_screen(native)
        status: Status | None
        if why == "marker":
            # The common turn, kept short: the program printed its prompt.
            if ends_with_marker(text, self._markers):
                try:
                    alive, seen, alt, echo_off = native.facts()
                except RuntimeError:  # closed meanwhile: the long way says so
                    alive = False
                if alive:
                    front = Foreground(*seen) if seen is not None else None
                    return Turn(text, "ready", True, None, None, front, alt, echo_off)
                status = "ready"
            else:
                status = "quiet"
        else:
            status = _STATUS_OF.get(why)
            if status is None:
                raise RuntimeError(f"{self!r}: the read ended for an unknown reason {why!r}")
        if why == "closed":
            # close() on another thread ended this read and is ending the
            # program: it is over, whatever the process table says this
            # instant. Its status is known once that close has collected it.
            self._exit = native.exit_status()
            code, sig = self._exit or (None, None)
            return self._made(native, text, "exited", False, code, sig)
        if status == "ready" and (why == "input" or native.is_alive()):
            # Under the input rule the program was waiting when the read
            # ended: had it ended instead, its output would have ended the
            # read first.
            return self._made(native, text, status, True)
        alive = self._program_alive(native)
        if alive:
            return self._made(native, text, status, True)
        if status != "limit":
            status = "exited"
        self._exit = native.exit_status()
        code, sig = self._exit or (None, None)
        return self._made(native, text, status, False, code, sig)


def _new_screen(rows: int, cols: int) -> Screen:
    from .screen import Screen

    return Screen(rows, cols)
