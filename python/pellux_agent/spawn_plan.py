"""What a terminal's program is started with: its checked parameters, its
environment and its private directory.

The native terminal (``pellux_agent._terminal``) starts the program itself
with the exact argument vector, environment, directory and size, applied in
the child before exec, so nothing is ever quoted for or read by a shell.
What remains here is the preparation: each terminal gets a private
directory (mode 0700, from ``tempfile.mkdtemp``) holding its preset's files
(a shell's start-up file, say), which the environment points at. The
directory is removed when the terminal closes (or is collected, or the
interpreter exits), and right away when the start fails.
"""

from __future__ import annotations

import errno
import os
import re
import shutil
import tempfile
from collections.abc import Mapping, Sequence
from typing import Final

from .presets import BASE_ENV, Preset

# A terminal's size is an unsigned short per side.
MAX_SIDE: Final = 65535


# "...: ENOENT: No such file or directory": the errno's name in the
# native terminal's message of a failed start.
_ERRNO_NAME = re.compile(r": (E[A-Z0-9]+): [^:]*$")


def start_error(native: OSError) -> OSError:
    """The native terminal's start failure as the OSError subclass of its
    errno (FileNotFoundError for ENOENT...), with ``errno`` set and the
    native message, whole, as its text. A failure that carries no errno
    number (a restart's) is recognised by the errno's name that ends its
    message."""
    message = native.strerror or str(native)
    number = native.errno
    if not number:
        named = _ERRNO_NAME.search(message)
        number = getattr(errno, named.group(1), 0) if named else 0
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
    """Checks the program's parameters and returns them in their working
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
    return command, arg_list, cwd, env_map, check_side("rows", rows), check_side("cols", cols)


def check_side(name: str, side: object) -> int:
    """One side of a terminal's size, or TypeError/ValueError naming it."""
    if isinstance(side, bool) or not isinstance(side, int):
        raise TypeError(f"{name} must be an int, not {type(side).__name__}")
    if not 1 <= side <= MAX_SIDE:
        raise ValueError(f"{name} must be between 1 and {MAX_SIDE}, not {side}")
    return side


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


class SpawnPlan:
    """The argument vector, the environment and the private directory of
    one terminal's program; the native terminal starts (and restarts) the
    program from them. Owned by one terminal."""

    def __init__(
        self,
        command: str,
        args: Sequence[str],
        env: Mapping[str, str | None],
        preset: Preset,
    ) -> None:
        self.argv = [command, *args]
        self.directory = tempfile.mkdtemp(prefix="pellux-agent-")
        try:
            for name, content in preset.files.items():
                with open(os.path.join(self.directory, name), "w", encoding="utf-8") as f:
                    f.write(content.replace("{dir}", self.directory))
            environment = program_environment(preset, env, self.directory)
            self.environment = [f"{name}={value}" for name, value in environment.items()]
        except BaseException:
            self.remove()
            raise

    def remove(self) -> None:
        shutil.rmtree(self.directory, ignore_errors=True)
