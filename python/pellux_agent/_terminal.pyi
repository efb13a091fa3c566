# The native terminal under pellux_agent.Terminal (src/agent_binding).
#
# Any thread may call it. read, send, write, resize and the rest run one at
# a time: a call waits for the one running. cancel, send_ctrl_c and close
# never wait behind a running read: they end it at once, and it returns
# what it has taken, with the reason "interrupted" (cancel, send_ctrl_c) or
# "closed" (close).
#
# A read under rule "arrival" ends ("arrived") as soon as new text arrives,
# with everything queued behind it; an escape sequence or a UTF-8 character
# still open at the end stays queued for the next read. `stops_seen` (a
# stop_count() taken before) ends a read at once when a stop came since:
# the steps of a pattern wait miss none.
from collections.abc import Callable
from typing import Literal, final

_Rule = Literal["auto", "markers", "quiet", "input", "arrival"]
_ReadEnd = Literal["marker", "quiet", "input", "timeout", "exited", "cap", "interrupted", "closed", "arrived"]
_Verdict = Literal["waiting", "busy", "exited", "unknown"]

@final
class Terminal:
    def __new__(
        cls,
        program: str,
        argv: list[str],
        env: list[str] | None,
        cwd: str | None,
        rows: int,
        cols: int,
        ready_markers: list[str],
        *,
        program_file: tuple[str, int, int] | None = None,
    ) -> Terminal: ...
    @property
    def pid(self) -> int: ...
    @property
    def app_cursor(self) -> bool: ...
    @property
    def alt_screen(self) -> bool: ...
    @property
    def bracketed_paste(self) -> bool: ...
    @property
    def echo_off(self) -> bool: ...
    def foreground(self) -> tuple[str, int] | None: ...
    def stop_count(self) -> int: ...
    def is_alive(self) -> bool: ...
    def exit_status(self) -> tuple[int | None, int | None] | None: ...
    def read(
        self,
        timeout_ms: int | None = None,
        max_output_bytes: int | None = None,
        settle_ms: int | None = None,
        quiet_ms: int | None = None,
        rule: _Rule = "markers",
        *,
        primed: Literal["output", "marker"] | None = None,
        stops_seen: int | None = None,
    ) -> tuple[str, _ReadEnd]: ...
    def send(
        self,
        input: str,
        timeout_ms: int | None = None,
        max_output_bytes: int | None = None,
        settle_ms: int | None = None,
        quiet_ms: int | None = None,
        rule: _Rule = "markers",
    ) -> tuple[str, _ReadEnd]: ...
    def write(self, data: bytes, timeout_ms: int | None = None) -> None: ...
    def send_ctrl_c(self) -> None: ...
    def cancel(self) -> None: ...
    def probe(self) -> _Verdict: ...
    def resize(self, rows: int, cols: int) -> None: ...
    def read_available(self, max_bytes: int | None = None) -> str: ...
    def get_history(self) -> str: ...
    def reset(self) -> None: ...
    def close(self) -> None: ...
    def set_tap(self, limit: int | None) -> None: ...
    def take_tap(self) -> bytes: ...
    def set_answerer(self, answerer: Callable[[bytes], bytes] | None) -> None: ...
