"""What the tools answer: the result models, the help text on statuses and
the limits every argument is checked against, and the shortening of long
output."""

from __future__ import annotations

from typing import Any

from pydantic import BaseModel, Field

from ..terminal import Status

MAX_ROWS = 1000
MAX_COLS = 1000
MAX_TIMEOUT_MS = 600_000
MAX_HISTORY_CHARS = 16_777_216
MAX_SCROLLBACK_LINES = 1000
MIN_OUTPUT_CHARS = 200

STATUS_HELP = (
    "status says why the read ended: "
    "'ready' - the program waits for your next input (it sits reading its terminal, or shows its "
    "prompt); "
    "'quiet' - the output paused (a program without a known prompt; it probably waits for input); "
    "'timeout' - timeout_ms ran out first: the program is still busy (or waits at a prompt that is "
    "not recognised); read_output to wait longer, send_interrupt to stop it; "
    "'exited' - the program ended (alive is false); restart_session to run it again; "
    "'limit' - the answer was too large for one read; read_output for the rest; "
    "'interrupted' - send_interrupt (or the session's close) ended this read while it waited; "
    "the interrupt's own answer follows in its result; "
    "'matched' - (wait_for_output only) the pattern appeared: output ends where it ends, match "
    "and groups say what matched, and what came after it is the start of the next answer. "
    "alive says whether the program still runs; once it has ended, exit_code is its exit "
    "status, or signal the number of the signal that killed it (9: SIGKILL). "
    "truncated is true when the middle of a long output was left out of this answer; "
    "get_history returns it. "
    "What is in front of the terminal as the answer ended: foreground is the process that "
    "gets what you type ({name, pid}); when it is not the program you started, a command "
    "opened something in front (a pager: less, more, man; an editor: vim, nano), which waits "
    "for keys, not for commands. alt_screen true: a full-screen program holds the screen "
    "(read it with get_screen). Then leave it with send_keys: 'q' for a pager (less, man, "
    "git log's pager), ['escape', ':q!', 'enter'] to leave vim without saving (':wq' and "
    "'enter' to save, e.g. a commit message), 'ctrl-x' for nano; commands typed with "
    "send_input would go into that program, not the shell. Prefer commands that do not "
    "open one (git --no-pager log, git commit -m). echo_off true: the program reads a line "
    "without showing it, usually a password or a passphrase: type it only if you were given "
    "it for this purpose (programs that read plain lines in this terminal, such as cat, also "
    "show it)."
)




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


class ForegroundInfo(BaseModel):
    """The process in front of the terminal."""

    name: str = Field(description="Its command name (bash, less, vim ...).")
    pid: int = Field(description="Its process id.")


_FOREGROUND_HELP = (
    "The process that gets what is typed: the program, or a pager or editor it opened; "
    "null once the program has ended."
)
_ALT_SCREEN_HELP = "True while a full-screen program holds the screen (a pager, an editor)."
_ECHO_OFF_HELP = "True while the terminal reads a line without showing it (a password prompt)."


class _InFront(BaseModel):
    """What is in front of the terminal, in every answer of a read."""

    foreground: ForegroundInfo | None = Field(default=None, description=_FOREGROUND_HELP)
    alt_screen: bool = Field(default=False, description=_ALT_SCREEN_HELP)
    echo_off: bool = Field(default=False, description=_ECHO_OFF_HELP)


class StartResult(_InFront, _ExitWhenEnded):
    """The answer of start_session."""

    session_id: str = Field(description="Pass this to every other tool.")
    recording: str | None = Field(
        default=None, description="With record=true: the file the session is recorded to."
    )
    output: str = Field(description="What the program printed at start (banner, first prompt).")
    status: Status = Field(description="Why the first read ended.")
    alive: bool = Field(description="Whether the program still runs.")
    truncated: bool = Field(description="True when the middle of the output was left out.")
    exit_code: int | None = Field(default=None, description=_EXIT_CODE_HELP)
    signal: int | None = Field(default=None, description=_SIGNAL_HELP)

    def model_dump(self, **options: Any) -> dict[str, Any]:
        data = super().model_dump(**options)
        if data.get("recording", 0) is None:
            del data["recording"]  # only recorded sessions say where
        return data


class TurnResult(_InFront, _ExitWhenEnded):
    """The answer of one read."""

    output: str = Field(description="What the program printed, as plain text.")
    status: Status = Field(description="Why the read ended.")
    alive: bool = Field(description="Whether the program still runs.")
    truncated: bool = Field(description="True when the middle of the output was left out.")
    exit_code: int | None = Field(default=None, description=_EXIT_CODE_HELP)
    signal: int | None = Field(default=None, description=_SIGNAL_HELP)


class WaitResult(TurnResult):
    """The answer of wait_for_output."""

    match: str | None = Field(
        default=None, description="The text the pattern matched (status 'matched'); else null."
    )
    groups: list[str | None] = Field(
        default_factory=list,
        description="The pattern's groups, in order (null for a group that matched nothing).",
    )


class ScreenResult(_ExitWhenEnded):
    """The answer of get_screen."""

    rows: list[str] = Field(
        description="Every row of the terminal, top to bottom, as a person sees it now "
        "(trailing blanks removed; an empty string is an empty row)."
    )
    cursor_row: int = Field(description="The cursor's row, 0-based.")
    cursor_col: int = Field(description="The cursor's column, 0-based.")
    alt_screen: bool = Field(
        default=False,
        description="True while the program shows the alternate screen: a full-screen "
        "program (an editor, a pager, top) is in front; its rows replace the shell's until "
        "it quits.",
    )
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

