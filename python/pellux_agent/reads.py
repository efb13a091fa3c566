"""How a read decides that the program has finished answering.

Four rules, chosen per terminal with ``wait_for``:

* ``"markers"``: pellux's own read: a ready marker, then the settle period
  (it ends at the first 25 ms pause, at most 200 ms after the marker); a
  terminal without markers reads until the output goes quiet;
* ``"quiet"``: until the output pauses for 80 ms after the first output;
* ``"input"``: until the program waits for input, as the kernel sees it
  (``probe.InputProbe``): the read ends the moment it does, with every byte
  the program wrote before, and no settle pause;
* ``"auto"`` (the default): the probe decides, and markers still count where
  it cannot confirm: a marker at the end of the text ends the read once
  some thread of the program has sat on the terminal for the settle pause
  (25 ms) with no new output, while something else could still wake it (an
  event loop with a timer, such as node's; a sleeping child in the REPL's
  process group). A marker printed while nobody reads the terminal does not
  end the read: the program is still working. Without markers (no preset)
  such a program's read ends after the quiet period (80 ms) on the terminal
  instead.

Where the probe cannot tell at all (/proc/<pid>/syscall unreadable under
ptrace restrictions or for another user, an architecture it does not
decode), ``"auto"`` and ``"input"`` fall back to ``"markers"`` when the
terminal has markers and to ``"quiet"`` otherwise; the probe says so once
with a ``RuntimeWarning``.

The probe reads loop over the terminal's ``read_available`` and a probe check, at
an interval that starts at 0.5 ms after new output and grows to 2 ms: a
turn ends within about 2 ms of the moment the program starts to wait, at
the cost of some CPU time while a long answer is computed (each check reads
a few small /proc files, about 0.1-0.3 ms).
"""

from __future__ import annotations

import time
from collections.abc import Sequence
from typing import Final, Literal, Protocol

from .probe import InputProbe, Verdict

WaitFor = Literal["auto", "markers", "quiet", "input"]
# Why a probed read ended: the native read loop's reasons ("marker",
# "quiet", "timeout", "exited", "cap"), or "input" when the probe saw the
# program wait for input.
Why = str


class Reads(Protocol):
    """The reads of the native terminal that a probed read uses."""

    def read_available(self, max_bytes: int | None = ...) -> str: ...

    def read(
        self, timeout_ms: int, max_output_bytes: int, settle_ms: int, quiet_ms: int
    ) -> tuple[str, str]: ...

WAIT_FOR_RULES: Final[tuple[WaitFor, ...]] = ("auto", "markers", "quiet", "input")

# pellux's settle pause after a marker, and the first and last poll interval.
SETTLE_PAUSE_S: Final = 0.025
_FIRST_INTERVAL_S: Final = 0.0005
_LAST_INTERVAL_S: Final = 0.002
# A read's last drain once the program has ended: its output ends when every
# holder of the terminal has closed it; a job left behind may keep it open.
_EXIT_DRAIN_MS: Final = 50


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


def raw_estimate(text: str) -> int:
    """Raw bytes at least behind a cleaned text (each line feed was a
    terminal's CR LF; removed escape sequences are not counted)."""
    return len(text.encode("utf-8", "surrogatepass")) + text.count("\n")


def read_until_input(
    session: Reads,
    probe: InputProbe,
    markers: Sequence[str],
    rule: WaitFor,
    *,
    started: float,
    timeout_ms: int,
    max_output_bytes: int,
    settle_ms: int,
    quiet_ms: int,
    text: str = "",
) -> tuple[str, Why]:
    """One read under the ``"input"`` or ``"auto"`` rule. ``text`` is output
    already taken for this read (at ``started``). Returns the text and why
    the read ended (see ``Why``).

    Owner thread of ``session`` only; keeps the interpreter lock except while
    it sleeps between checks."""
    deadline = started + timeout_ms / 1000
    probe.rescan()
    now = time.monotonic()
    last_output = now if text else None
    # Since when the program has sat on its terminal without confirming and
    # without new output: the guessing rules' pause, counted only while it
    # reads (output still in flight arrives within that pause).
    reading_since: float | None = None
    interval = _FIRST_INTERVAL_S
    while True:
        budget = max_output_bytes - raw_estimate(text)
        if budget <= 0:
            return text, "cap"
        chunk = _drain(session, budget)
        now = time.monotonic()
        if chunk:
            text += chunk
            last_output = now
            interval = _FIRST_INTERVAL_S
            reading_since = None
            if raw_estimate(text) >= max_output_bytes:
                return text, "cap"

        verdict = probe.check()
        if verdict is Verdict.WAITING:
            # Everything written before the wait is queued: take it all.
            return text + _drain(session, max(1, max_output_bytes - raw_estimate(text))), "input"
        if verdict is Verdict.EXITED:
            return text + _final_drain(session, deadline, max_output_bytes, text), "exited"
        if verdict is Verdict.UNKNOWN:
            return _fall_back(
                session, markers, text, last_output, deadline, max_output_bytes, settle_ms, quiet_ms
            )
        if rule == "auto" and probe.reading and text:
            # Someone sits on the terminal, but something else may still
            # wake the program: fall back on the guessing rules.
            if reading_since is None:
                reading_since = now
            elif markers:
                if now - reading_since >= SETTLE_PAUSE_S and ends_with_marker(text, markers):
                    return text + _drain(session, max(1, max_output_bytes - raw_estimate(text))), "marker"
            elif now - reading_since >= quiet_ms / 1000:
                return text + _drain(session, max(1, max_output_bytes - raw_estimate(text))), "quiet"
        else:
            reading_since = None
        if now >= deadline:
            return text, "timeout"
        time.sleep(min(interval, max(0.0, deadline - now)))
        interval = min(_LAST_INTERVAL_S, interval * 1.5)


def _drain(session: Reads, budget: int) -> str:
    """Everything queued now, at most about ``budget`` raw bytes."""
    text = ""
    while budget > 0 and (chunk := session.read_available(min(budget, 1 << 20))):
        text += chunk
        budget -= raw_estimate(chunk)
    return text


def _final_drain(session: Reads, deadline: float, max_output_bytes: int, text: str) -> str:
    """What the program wrote before it ended: reads until its output ends
    or stays silent for a moment (a job it left may hold the terminal)."""
    more = ""
    while (remaining := int((deadline - time.monotonic()) * 1000)) > 0:
        budget = max_output_bytes - raw_estimate(text + more)
        if budget <= 0:
            break
        chunk, _ = session.read(min(remaining, _EXIT_DRAIN_MS), budget, 0, 0)
        if not chunk:
            break
        more += chunk
    return more


def _fall_back(
    session: Reads,
    markers: Sequence[str],
    text: str,
    last_output: float | None,
    deadline: float,
    max_output_bytes: int,
    settle_ms: int,
    quiet_ms: int,
) -> tuple[str, Why]:
    """The rest of a read the probe cannot decide: the marker read, or the
    quiet rule counted from the last output already taken."""
    remaining = max(0, int((deadline - time.monotonic()) * 1000))
    budget = max_output_bytes - raw_estimate(text)
    if markers:
        if ends_with_marker(text, markers):
            # The marker is already here; the settle period collects what
            # trails it, until a pause or settle_ms.
            settle_end = time.monotonic() + min(remaining, settle_ms) / 1000
            while budget > 0 and (left := int((settle_end - time.monotonic()) * 1000)) > 0:
                chunk, why = session.read(min(left, int(SETTLE_PAUSE_S * 1000)), budget, 0, 0)
                if why == "exited":
                    return text + chunk, why
                if not chunk:
                    break
                text += chunk
                budget = max_output_bytes - raw_estimate(text)
            return text, "marker" if budget > 0 else "cap"
        more, why = session.read(remaining, budget, settle_ms, quiet_ms)
        return text + more, why
    while remaining > 0 and budget > 0:
        if last_output is None:
            wait_ms = remaining
        else:
            wait_ms = min(remaining, max(1, quiet_ms - int((time.monotonic() - last_output) * 1000)))
        chunk, why = session.read(wait_ms, budget, 0, 0)
        if why == "exited":
            return text + chunk, why
        if chunk:
            text += chunk
            last_output = time.monotonic()
            budget = max_output_bytes - raw_estimate(text)
        elif last_output is not None and time.monotonic() - last_output >= quiet_ms / 1000:
            return text, "quiet"
        remaining = int((deadline - time.monotonic()) * 1000)
    return text, "cap" if budget <= 0 else "timeout"
