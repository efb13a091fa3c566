"""Which file a session's program is, and whether this server may run it.

A command is resolved once, here, the way execvp would resolve it in the
program's own directory and along the PATH of the program's own
environment: a relative path or PATH entry starts from the session's `cwd`,
the kernel follows every symbolic link and `..` as it opens the file, and a
program environment without PATH gets the native spawn's fallback search
path. The file found is opened (O_PATH), and its real path (what the
descriptor names, every link resolved) and its identity (device and inode)
are read from that descriptor. The allow list checks the real path; the
terminal is then started with `program_file=(real path, device, inode)`,
so it executes that file through a descriptor, with no search of its own,
and refuses to start if the path names another file by then.

With an allow list, the program's environment is part of what is checked:
the variables that make the dynamic loader (or glibc's character-set
converters) load code of their choosing are refused.
"""

from __future__ import annotations

import errno
import os
import shutil
import stat
from collections.abc import Iterable, Mapping
from dataclasses import dataclass

from ..spawn_plan import program_environment
from ..presets import preset_for

# Where the native spawn looks for a program name when the program's
# environment has no PATH at all (src/session/pty_process.cpp).
SPAWN_FALLBACK_PATH = "/bin:/usr/bin"

# errno values after which execvp goes on to the next PATH entry; EACCES too,
# and is reported if nothing else is found.
_TRY_NEXT = frozenset({errno.ENOENT, errno.ENOTDIR, errno.ESTALE, errno.ENODEV, errno.ETIMEDOUT})


def loader_variable(name: str) -> bool:
    """Whether `name` makes glibc load code named by its value: every LD_
    variable of the dynamic loader (LD_PRELOAD, LD_LIBRARY_PATH, LD_AUDIT,
    ...), GCONV_PATH (character-set converters are shared objects) and
    GLIBC_TUNABLES (parsed by the loader before any program code runs)."""
    return name.startswith("LD_") or name in ("GCONV_PATH", "GLIBC_TUNABLES")


@dataclass(frozen=True)
class ProgramFile:
    """One file, found once: its real path and its identity."""

    path: str
    device: int
    inode: int

    def as_argument(self) -> tuple[str, int, int]:
        """What `Terminal(program_file=...)` takes."""
        return (self.path, self.device, self.inode)


class ProgramNotFound(Exception):
    """The command names no program that can run; the message says why."""


def search_path(command: str, env: Mapping[str, str | None] | None) -> str | None:
    """The PATH the program will get (None: it gets none), built by the same
    function that builds its whole environment."""
    return program_environment(preset_for(command), env or {}, "").get("PATH")


def resolve(command: str, cwd: str | None, path: str | None) -> ProgramFile:
    """The file `command` runs from `cwd` along the search path `path`
    (None: the program's environment has no PATH), as execvp would pick it."""
    try:
        directory = os.open(cwd if cwd is not None else ".", os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError as error:
        raise ProgramNotFound(f"cwd {cwd!r}: {error.strerror}") from None
    try:
        if "/" in command:
            candidates = [command]
        else:
            entries = (path if path is not None else SPAWN_FALLBACK_PATH).split(":")
            # An empty entry is the program's working directory.
            candidates = [os.path.join(entry, command) if entry else command for entry in entries]
        denied = False
        for candidate in candidates:
            found = _open_executable(candidate, directory)
            if isinstance(found, ProgramFile):
                return found
            if found == errno.EACCES:
                denied = True
            elif found not in _TRY_NEXT:
                raise ProgramNotFound(f"{candidate}: {_errno_text(found)}")
    finally:
        os.close(directory)
    if denied:
        raise ProgramNotFound(f"{command}: {_errno_text(errno.EACCES)}")
    where = "on PATH" if "/" not in command else "at that path"
    raise ProgramNotFound(f"no such program {where}: {command!r}")


def _errno_text(number: int) -> str:
    return f"{errno.errorcode.get(number, 'errno ' + str(number))}: {os.strerror(number)}"


def _open_executable(candidate: str, directory: int) -> ProgramFile | int:
    """The file at `candidate` if exec would take it, else the errno exec
    would give."""
    try:
        fd = os.open(candidate, os.O_PATH | os.O_CLOEXEC, dir_fd=directory)
    except OSError as error:
        return error.errno or errno.ENOENT
    try:
        info = os.fstat(fd)
        by_descriptor = f"/proc/self/fd/{fd}"
        if not stat.S_ISREG(info.st_mode) or not os.access(by_descriptor, os.X_OK):
            return errno.EACCES
        return ProgramFile(os.readlink(by_descriptor), info.st_dev, info.st_ino)
    except OSError as error:
        return error.errno or errno.ENOENT
    finally:
        os.close(fd)


@dataclass(frozen=True)
class AllowList:
    """What may run: files and directories, by real path. A program is
    allowed when its real path is one of the files' or lies inside one of
    the directories (at any depth). Empty: anything may run."""

    files: tuple[str, ...] = ()
    directories: tuple[str, ...] = ()

    @classmethod
    def of(cls, entries: Iterable[str]) -> AllowList:
        """From the `--allow` values: a name is looked up on this process's
        PATH, a path (anything with a slash) is taken from this process's
        directory; both must exist. ValueError names a bad entry."""
        files: list[str] = []
        directories: list[str] = []
        for entry in entries:
            found = entry if "/" in entry else shutil.which(entry)
            if found is None:
                raise ValueError(f"--allow {entry}: no such program on PATH")
            real = os.path.realpath(found)
            if os.path.isdir(real):
                directories.append(real)
            elif os.path.isfile(real):
                files.append(real)
            else:
                raise ValueError(f"--allow {entry}: no such file or directory")
        return cls(tuple(files), tuple(directories))

    def __bool__(self) -> bool:
        return bool(self.files or self.directories)

    def permits(self, program: ProgramFile) -> bool:
        if program.path in self.files:
            return True
        return any(
            program.path.startswith(d if d.endswith("/") else d + "/") for d in self.directories
        )

    def describe(self) -> str:
        names = [os.path.basename(f) for f in self.files]
        names += [d.rstrip("/") + "/" for d in self.directories]
        return ", ".join(names)
