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
    "the interrupt's own answer follows in its result. "
    "alive says whether the program still runs; once it has ended, exit_code is its exit "
    "status, or signal the number of the signal that killed it (9: SIGKILL). "
    "truncated is true when the middle of a long output was left out of this answer; "
    "get_history returns it."
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


class StartResult(_ExitWhenEnded):
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


class TurnResult(_ExitWhenEnded):
    """The answer of one read."""

    output: str = Field(description="What the program printed, as plain text.")
    status: Status = Field(description="Why the read ended.")
    alive: bool = Field(description="Whether the program still runs.")
    truncated: bool = Field(description="True when the middle of the output was left out.")
    exit_code: int | None = Field(default=None, description=_EXIT_CODE_HELP)
    signal: int | None = Field(default=None, description=_SIGNAL_HELP)


class ScreenResult(_ExitWhenEnded):
    """The answer of get_screen."""

    rows: list[str] = Field(
        description="Every row of the terminal, top to bottom, as a person sees it now "
        "(trailing blanks removed; an empty string is an empty row)."
    )
    cursor_row: int = Field(description="The cursor's row, 0-based.")
    cursor_col: int = Field(description="The cursor's column, 0-based.")
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

