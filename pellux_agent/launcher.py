"""The launcher that gives a ``pellux`` session arguments, an environment, a
working directory and a terminal size.

``Pellux`` runs one program path, without arguments, with the caller's
environment, on an 80x24 terminal. Each terminal therefore gets a private
directory (mode 0700, from ``tempfile.mkdtemp``) holding:

* ``launch.json``: the exact argument vector, environment, directory and
  size, as JSON, so nothing is ever quoted for or read by a shell;
* ``launch``: the program path handed to ``Pellux``, a two-line sh script
  that execs this interpreter on ``_launch.py`` with that file;
* ``status``: a FIFO through which ``_launch.py`` reports the program's pid
  and, if the exec fails, which step failed and its errno;
* a preset's files (a shell's start-up file, say).

The same script starts the program again on ``Pellux.reset()``. The
directory is removed when the terminal closes (or is collected, or the
interpreter exits), and right away when the start fails.
"""

from __future__ import annotations

import errno as errno_names
import json
import os
import select
import shlex
import shutil
import sys
import tempfile
import time
from collections.abc import Callable, Mapping, Sequence
from typing import Final

from .presets import BASE_ENV, Preset

_LAUNCH_SCRIPT: Final = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_launch.py")
# Longest wait for the program to be exec'd: starting the interpreter that
# runs _launch.py takes some 20 ms, far more on a loaded machine.
START_TIMEOUT_S: Final = 15.0
# A terminal's size is an unsigned short per side.
MAX_SIDE: Final = 65535


def errno_text(number: int) -> str:
    """``ENOENT: No such file or directory``, as pellux writes errors."""
    return f"{errno_names.errorcode.get(number, 'UnknownErrno')}: {os.strerror(number)}"


def start_error(number: int, message: str) -> OSError:
    """The OSError subclass for ``number`` (FileNotFoundError for ENOENT...),
    with ``errno`` set and ``message`` as its whole text."""
    error = type(OSError(number, ""))(message)
    error.errno = number
    return error


def check_arguments(
    command: object,
    args: object,
    cwd: object,
    env: object,
    rows: object,
    cols: object,
) -> tuple[str, list[str], str | None, dict[str, str | None], int, int]:
    """Checks the launch parameters and returns them in their working
    types; raises TypeError or ValueError naming the bad one."""
    if not isinstance(command, str):
        raise TypeError(f"command must be a str, not {type(command).__name__}")
    if command == "":
        raise ValueError("command must not be empty")
    if "\0" in command:
        raise ValueError("command must not contain a NUL character")
    if isinstance(args, (str, bytes)) or not isinstance(args, Sequence):
        raise TypeError("args must be a sequence of str, such as a list (not a single str)")
    arg_list = list(args)
    for i, arg in enumerate(arg_list):
        if not isinstance(arg, str):
            raise TypeError(f"args[{i}] must be a str, not {type(arg).__name__}")
        if "\0" in arg:
            raise ValueError(f"args[{i}] must not contain a NUL character")
    if cwd is not None:
        if not isinstance(cwd, (str, os.PathLike)):
            raise TypeError(f"cwd must be a str or a path, not {type(cwd).__name__}")
        cwd = os.fspath(cwd)
        if not isinstance(cwd, str):
            raise TypeError("cwd must be a str path, not bytes")
        if "\0" in cwd:
            raise ValueError("cwd must not contain a NUL character")
    env_map: dict[str, str | None] = {}
    if env is not None:
        if not isinstance(env, Mapping):
            raise TypeError(f"env must be a mapping of str to str or None, not {type(env).__name__}")
        for name, value in env.items():
            if not isinstance(name, str):
                raise TypeError(f"env names must be str, not {type(name).__name__}")
            if name == "" or "=" in name or "\0" in name:
                raise ValueError(f"env name {name!r} is not valid (empty, or holds '=' or NUL)")
            if value is not None and not isinstance(value, str):
                raise TypeError(f"env[{name!r}] must be a str or None, not {type(value).__name__}")
            if value is not None and "\0" in value:
                raise ValueError(f"env[{name!r}] must not contain a NUL character")
            env_map[name] = value
    sides = []
    for side_name, side in (("rows", rows), ("cols", cols)):
        if isinstance(side, bool) or not isinstance(side, int):
            raise TypeError(f"{side_name} must be an int, not {type(side).__name__}")
        if not 1 <= side <= MAX_SIDE:
            raise ValueError(f"{side_name} must be between 1 and {MAX_SIDE}, not {side}")
        sides.append(side)
    return command, arg_list, cwd, env_map, sides[0], sides[1]


def program_environment(
    preset: Preset, env: Mapping[str, str | None], directory: str
) -> dict[str, str]:
    """The program's environment: this process's, then the plain defaults,
    then the preset's, then the caller's (where None removes a name)."""
    merged = dict(os.environ)
    merged.update(BASE_ENV)
    merged.update({name: value.replace("{dir}", directory) for name, value in preset.env.items()})
    for name, value in env.items():
        if value is None:
            merged.pop(name, None)
        else:
            merged[name] = value
    return merged


class Launcher:
    """The private directory of one terminal and the handshake with the
    program it starts. Owned by one terminal; not thread-safe."""

    def __init__(
        self,
        command: str,
        args: Sequence[str],
        cwd: str | None,
        env: Mapping[str, str | None],
        rows: int,
        cols: int,
        preset: Preset,
    ) -> None:
        if not sys.executable or not os.access(sys.executable, os.X_OK):
            # Embedded interpreters may not know their executable.
            raise RuntimeError(
                f"cannot start the launcher: sys.executable is {sys.executable!r}, "
                "not a Python interpreter that can be run"
            )
        self.command = command
        self.cwd = cwd
        self.directory = tempfile.mkdtemp(prefix="pellux-agent-")
        try:
            for name, content in preset.files.items():
                with open(os.path.join(self.directory, name), "w", encoding="utf-8") as f:
                    f.write(content.replace("{dir}", self.directory))
            self.status_path = os.path.join(self.directory, "status")
            os.mkfifo(self.status_path, 0o600)
            plan_path = os.path.join(self.directory, "launch.json")
            with open(plan_path, "w", encoding="utf-8") as f:
                json.dump(
                    {
                        "program": command,
                        "argv": [command, *args],
                        "env": program_environment(preset, env, self.directory),
                        "cwd": cwd,
                        "rows": rows,
                        "cols": cols,
                        "status": self.status_path,
                    },
                    f,
                )
            self.script = os.path.join(self.directory, "launch")
            with open(self.script, "w", encoding="utf-8") as f:
                f.write(
                    "#!/bin/sh\n"
                    f"exec {shlex.quote(sys.executable)} -I -S "
                    f"{shlex.quote(_LAUNCH_SCRIPT)} {shlex.quote(plan_path)}\n"
                )
            os.chmod(self.script, 0o700)
        except BaseException:
            self.remove()
            raise

    def listen(self) -> int:
        """Opens the status FIFO for reading, before the program starts:
        the launcher's open for writing then never blocks. Returns the
        descriptor for ``wait_started``, which closes it."""
        return os.open(self.status_path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)

    @staticmethod
    def forget(status_fd: int) -> None:
        """Closes a descriptor from ``listen`` when no start follows."""
        os.close(status_fd)

    def wait_started(self, status_fd: int, launcher_alive: Callable[[], bool]) -> int:
        """Waits until the program has been exec'd and returns its pid;
        raises OSError with pellux's wording when a step failed, or when the
        launcher ended without a word. Always closes ``status_fd``."""
        try:
            report = self._read_report(status_fd, launcher_alive)
        finally:
            os.close(status_fd)
        words = report.split()
        pid = int(words[1]) if len(words) >= 2 and words[0] == "pid" else None
        if pid is not None and len(words) == 2:
            return pid
        if len(words) == 5 and words[2] == "error":
            step, number = words[3], int(words[4])
            what = {
                "exec": f"Failed to spawn process with command '{self.command}'",
                "cwd": f"Failed to change directory to '{self.cwd}'",
                "size": "Failed to set the terminal size",
            }.get(step, f"Failed to start '{self.command}'")
            raise start_error(number, f"{what}: {errno_text(number)}")
        raise start_error(
            errno_names.ECHILD,
            f"Failed to spawn process with command '{self.command}': "
            f"the launcher ended without starting it ({report.strip()!r})",
        )

    @staticmethod
    def _read_report(status_fd: int, launcher_alive: Callable[[], bool]) -> str:
        # End of file comes once the launcher has connected and its
        # close-on-exec descriptor is gone: after the exec, or after it
        # wrote why the exec failed and exited. Before it connects, poll
        # reports nothing (Linux keeps a never-opened FIFO silent).
        poller = select.poll()
        poller.register(status_fd, select.POLLIN)
        deadline = time.monotonic() + START_TIMEOUT_S
        data = b""
        while True:
            events = poller.poll(50)
            if events:
                chunk = os.read(status_fd, 4096)
                if not chunk:
                    return data.decode(errors="replace")
                data += chunk
                continue
            if not data and not launcher_alive():
                return data.decode(errors="replace")
            if time.monotonic() >= deadline:
                return data.decode(errors="replace") + " (timed out)"

    def remove(self) -> None:
        shutil.rmtree(self.directory, ignore_errors=True)
