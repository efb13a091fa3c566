"""What each known program needs to be driven by an agent, in one table.

A preset is chosen by the program's file name when a terminal is started
without ``ready_markers``. It gives the prompts that mean "waiting for input"
and the environment that makes the program print them plainly. Adding a
program is adding one entry to ``PRESETS``.

``{dir}`` in an environment value or a file's content stands for the
terminal's private directory, where the preset's ``files`` are written before
the program starts (a shell's start-up file, say).
"""

from __future__ import annotations

import fnmatch
import os
from collections.abc import Mapping
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import Final

# The environment every program gets unless the caller's ``env`` says
# otherwise. A pager waiting for a key swallows the lines sent after it, so
# paging programs print straight through. TERM: with none set, less and
# others warn that the terminal is "not fully functional" and wait for a key;
# "dumb" gets the same warning. An xterm, because keys are sent as an xterm
# sends them (keys.py) and programs look their keys up in terminfo: under
# vt100, whose entry has no Home, End or page keys, less ignores all four.
# xterm-xfree86 has exactly xterm's keys, but ends attributes with ESC [ m SI
# (as vt100 does) where "xterm" sends ESC ( B ESC [ m, whose "B" the cleaner
# keeps by design: top's text under TERM=xterm is strewn with B's. It is in
# the minimal terminfo sets (Debian's ncurses-base, for one).
BASE_ENV: Final[Mapping[str, str]] = MappingProxyType(
    {
        "PAGER": "cat",
        "GIT_PAGER": "cat",
        "MANPAGER": "cat",
        "SYSTEMD_PAGER": "cat",
        "TERM": "xterm-xfree86",
    }
)

# Shell prompts no start-up file sets and no ordinary output contains.
SHELL_PROMPT: Final = "[pellux]$ "
SHELL_CONTINUATION: Final = "[pellux]> "

_SHELL_RC = f"PS1='{SHELL_PROMPT}'\nPS2='{SHELL_CONTINUATION}'\n"


@dataclass(frozen=True)
class Preset:
    """How to drive one kind of program.

    ``names`` are file-name patterns (``fnmatch``, matched against the
    program's base name); ``markers`` end a read when the text ends with one
    of them; ``env`` is laid over the inherited environment (the caller's
    ``env`` still wins); ``files`` are written into the terminal's private
    directory first.
    """

    names: tuple[str, ...]
    markers: tuple[str, ...]
    env: Mapping[str, str] = field(default_factory=dict)
    files: Mapping[str, str] = field(default_factory=dict)


PRESETS: Final[tuple[Preset, ...]] = (
    Preset(
        names=("gdb", "gdb-*", "pwndbg"),
        # gdb's yes/no questions wait for input just like its prompt.
        markers=("pwndbg> ", "(gdb) ", "(y or n) ", "(y or [n]) ", "([y] or n) "),
    ),
    Preset(
        names=("python", "python3", "python3.*"),
        # "... " asks for the rest of a compound statement. Python 3.13's
        # REPL redraws the whole line on every key; the basic one does not.
        markers=(">>> ", "... "),
        env={"PYTHON_BASIC_REPL": "1", "PYTHONSTARTUP": ""},
    ),
    Preset(
        # dash and sh read the file named by ENV when interactive, after
        # everything else; bash runs PROMPT_COMMAND before every prompt,
        # after its rc files have set PS1; zsh reads its rc files from
        # ZDOTDIR. Each way the prompt is ours whatever the user's files do.
        names=("sh", "dash", "ash", "bash", "zsh"),
        markers=(SHELL_PROMPT, SHELL_CONTINUATION),
        env={
            "PS1": SHELL_PROMPT,
            "PS2": SHELL_CONTINUATION,
            "ENV": "{dir}/shrc",
            "PROMPT_COMMAND": f"PS1='{SHELL_PROMPT}'; PS2='{SHELL_CONTINUATION}'",
            "ZDOTDIR": "{dir}",
        },
        files={"shrc": _SHELL_RC, ".zshrc": _SHELL_RC + "unsetopt PROMPT_SP\n"},
    ),
    Preset(
        names=("sqlite3",),
        markers=("sqlite> ", "   ...> "),
    ),
    Preset(
        # Without readline node prints its prompt after the answer only,
        # never inside an echo of the input.
        names=("node", "nodejs"),
        markers=("> ", "... "),
        env={"NODE_NO_READLINE": "1"},
    ),
)

# Anything else reads until its output goes quiet.
NO_PRESET: Final = Preset(names=(), markers=())


def preset_for(command: str) -> Preset:
    """The preset for a program given as a name or a path."""
    name = os.path.basename(command)
    for preset in PRESETS:
        if any(fnmatch.fnmatchcase(name, pattern) for pattern in preset.names):
            return preset
    return NO_PRESET
