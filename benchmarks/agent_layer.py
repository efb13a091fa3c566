#!/usr/bin/env python3
"""What the agent layer costs per turn over pellux itself.

One turn is ``6 * 7`` sent to a python3 REPL (basic REPL, ``-q``) and read
back up to its ``>>> `` prompt, with the same read parameters (the marker
rule, settle 200 ms, the same markers) through:

  pellux         Pellux.send_and_read_until_ready, the program started by a
                 wrapper script with the same environment
  native         pellux_agent._terminal.Terminal.send, the native terminal
                 under Terminal, on the same core (and the same environment)
  Terminal       pellux_agent.Terminal.send
  AsyncTerminal  await pellux_agent.AsyncTerminal.send under asyncio

The drivers take turns in blocks, interleaved, so that a noisy machine
affects them alike. Two figures per driver:

  turn      median wall time of a whole turn (program and reader included)
  layer     median time a turn spends outside the native call that writes
            and reads and the native look at what is in front of the
            terminal (for pellux and native, the call's own return path
            is the floor: 0);
            this is the layer's own cost, measured on every turn, free of the
            program's noise; it includes what any code pays after a wait
            (caches and the CPU cooled while the thread slept)
  look      median time of that native look (``facts()``: whether the
            program runs, its foreground process from /proc, the alternate
            screen, hidden input), which every Turn carries
  instant   the same turn in a tight loop over a native terminal that
            answers at once: the layer's own work, warm, with the thread
            hops of AsyncTerminal

It also times how soon ``interrupt()`` and ``close()`` from another thread
end a read that would wait ten minutes (python3 ``time.sleep(600)``), counts
the threads of this process with 16 AsyncTerminals open,
and the memory each Terminal costs this process (resident set growth over
16 terminals running cat) without and with a screen, the screen filled
with a page of text and its whole scrollback.

    python benchmarks/agent_layer.py [--turns 300] [--block 10]

pellux and pellux_agent must be importable (``pip install .``).
"""

from __future__ import annotations

import argparse
import asyncio
import os
import statistics
import sys
import tempfile
import threading
import time
from collections.abc import Callable
from typing import Any

from pellux import Pellux

from pellux_agent import AsyncTerminal, Terminal
from pellux_agent._terminal import Terminal as Native
from pellux_agent.terminal import MAX_OUTPUT_BYTES, QUIET_MS, SETTLE_MS

MARKERS = [">>> ", "... "]
TIMEOUT_MS = 10_000


class Clock:
    """Time spent inside pellux's reads, and in the looks at what is in
    front of the terminal, added up."""

    inside = 0.0
    looks = 0.0


class TimedSession:
    """Forwards to a native terminal and adds the time spent inside its
    sends to a clock."""

    def __init__(self, session: Any, clock: Clock) -> None:
        self._session = session
        self._clock = clock
        # The terminal's other calls bound here, so that reaching them costs
        # what reaching them on the native terminal costs.
        for name in dir(session):
            if not name.startswith("_") and name not in ("send", "facts"):
                value = getattr(session, name)
                if callable(value):
                    setattr(self, name, value)

    def send(self, *args: Any, **kwargs: Any) -> tuple[str, str]:
        started = time.perf_counter()
        try:
            text, why = self._session.send(*args, **kwargs)
            return str(text), str(why)
        finally:
            self._clock.inside += time.perf_counter() - started

    def facts(self) -> Any:
        started = time.perf_counter()
        try:
            return self._session.facts()
        finally:
            self._clock.looks += time.perf_counter() - started

    def __getattr__(self, name: str) -> Any:
        return getattr(self._session, name)


def direct_session(workdir: str) -> Pellux:
    wrapper = os.path.join(workdir, "python-repl")
    with open(wrapper, "w") as f:
        f.write(
            "#!/bin/sh\n"
            "PYTHON_BASIC_REPL=1 PYTHONSTARTUP= TERM=xterm-xfree86 PAGER=cat "
            f"exec '{sys.executable}' -q\n"
        )
    os.chmod(wrapper, 0o700)
    session = Pellux(wrapper, True, MARKERS)
    session.read_until_ready(TIMEOUT_MS)
    return session


def native_session() -> Native:
    env = dict(os.environ, PYTHON_BASIC_REPL="1", PYTHONSTARTUP="", TERM="xterm", PAGER="cat")
    session = Native(
        sys.executable, [sys.executable, "-q"], [f"{k}={v}" for k, v in env.items()], None, 24, 80, MARKERS
    )
    session.read(TIMEOUT_MS, rule="markers")
    return session


def check(text: str) -> None:
    if text != "42\n>>> ":
        raise SystemExit(f"unexpected answer {text!r}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--turns", type=int, default=300, help="turns per driver (default 300)")
    parser.add_argument("--block", type=int, default=10, help="turns per block (default 10)")
    options = parser.parse_args()

    turn_times: dict[str, list[float]] = {"pellux": [], "native": [], "Terminal": [], "AsyncTerminal": []}
    layer_times: dict[str, list[float]] = {name: [] for name in turn_times}
    look_times: dict[str, list[float]] = {name: [] for name in turn_times}

    with tempfile.TemporaryDirectory(prefix="agent-layer-") as workdir:
        direct = direct_session(workdir)
        native = native_session()
        terminal = Terminal(sys.executable, ["-q"], wait_for="markers")
        terminal.read(TIMEOUT_MS)
        timed = Clock()
        terminal._resources.native = TimedSession(terminal._resources.native, timed)  # type: ignore[assignment]

        loop = asyncio.new_event_loop()
        aterm = AsyncTerminal(sys.executable, ["-q"], wait_for="markers")
        loop.run_until_complete(aterm.start())
        loop.run_until_complete(aterm.read(TIMEOUT_MS))
        async_timed = Clock()
        resources = aterm._terminal._resources  # type: ignore[union-attr]
        resources.native = TimedSession(resources.native, async_timed)  # type: ignore[assignment]

        def pellux_turn() -> tuple[float, float, float]:
            started = time.perf_counter()
            check(direct.send_and_read_until_ready("6 * 7", TIMEOUT_MS, MAX_OUTPUT_BYTES, SETTLE_MS, QUIET_MS))
            return time.perf_counter() - started, 0.0, 0.0

        def native_turn() -> tuple[float, float, float]:
            started = time.perf_counter()
            text, why = native.send("6 * 7", TIMEOUT_MS, MAX_OUTPUT_BYTES, SETTLE_MS, QUIET_MS, rule="markers")
            check(text)
            return time.perf_counter() - started, 0.0, 0.0

        def terminal_turn() -> tuple[float, float, float]:
            inside, looks = timed.inside, timed.looks
            started = time.perf_counter()
            check(terminal.send("6 * 7", TIMEOUT_MS).output)
            took = time.perf_counter() - started
            look = timed.looks - looks
            return took, took - (timed.inside - inside) - look, look

        def async_turn() -> tuple[float, float, float]:
            proxy = async_timed
            inside, looks = proxy.inside, proxy.looks
            started = time.perf_counter()
            check(loop.run_until_complete(aterm.send("6 * 7", TIMEOUT_MS)).output)
            took = time.perf_counter() - started
            look = proxy.looks - looks
            return took, took - (proxy.inside - inside) - look, look

        drivers: dict[str, Callable[[], tuple[float, float, float]]] = {
            "pellux": pellux_turn,
            "native": native_turn,
            "Terminal": terminal_turn,
            "AsyncTerminal": async_turn,
        }
        for _ in range(max(1, options.turns // options.block)):
            for name, turn in drivers.items():
                for _ in range(options.block):
                    took, layer, look = turn()
                    turn_times[name].append(took)
                    layer_times[name].append(layer)
                    look_times[name].append(look)

        instant = {
            "Terminal": instant_turns(terminal, lambda: terminal.send("6 * 7", TIMEOUT_MS)),
            "AsyncTerminal": instant_turns(
                aterm._terminal,  # type: ignore[arg-type]
                lambda: loop.run_until_complete(aterm.send("6 * 7", TIMEOUT_MS)),
            ),
        }
        loop.run_until_complete(aterm.close())
        terminal.close()
        native.close()
        direct.close()

        threads_before = threading.active_count()
        os_threads_before = os_thread_count()
        async def sixteen() -> tuple[int, int]:
            many = [AsyncTerminal(sys.executable, ["-q"]) for _ in range(16)]
            await asyncio.gather(*(t.start() for t in many))
            counts = threading.active_count(), os_thread_count()
            await asyncio.gather(*(t.close() for t in many))
            return counts

        threads_open, os_threads_open = loop.run_until_complete(sixteen())
        loop.close()
        ended = {how: end_a_long_read(how) for how in ("interrupt", "close")}
        plain_kib = memory_per_terminal(screen=False)
        screen_kib = memory_per_terminal(screen=True)

    print(f"python3 `6 * 7` turn, settle {SETTLE_MS} ms, {len(turn_times['pellux'])} turns per driver, "
          f"load {os.getloadavg()[0]:.2f}")
    print(f"{'driver':<14} {'turn median':>12} {'turn p90':>10} {'vs pellux':>10} {'layer median':>13} "
          f"{'layer p90':>10} {'look':>10} {'instant':>10}")
    base = statistics.median(turn_times["pellux"])
    for name in drivers:
        turns = sorted(turn_times[name])
        layers = sorted(layer_times[name])
        print(
            f"{name:<14} {ms(statistics.median(turns)):>12} {ms(turns[len(turns) * 9 // 10]):>10} "
            f"{ms(statistics.median(turns) - base, sign=True):>10} "
            f"{ms(statistics.median(layers)):>13} {ms(layers[len(layers) * 9 // 10]):>10} "
            f"{ms(statistics.median(look_times[name])):>10} "
            f"{ms(instant[name]) if name in instant else '':>10}"
        )
    print(f"threads with 16 AsyncTerminals open: {threads_open} Python threads "
          f"({threads_before} before), {os_threads_open} OS threads ({os_threads_before} before; "
          "each terminal: its worker thread and the native reader)")
    for how, (read_ended, returned) in ended.items():
        print(f"{how}() from another thread during a 10-minute read: the read returned after "
              f"{ms(read_ended)}, {how}() after {ms(returned)}")
    print(f"memory per Terminal (this process, 16 running cat): {plain_kib:.0f} KiB without a screen, "
          f"{screen_kib:.0f} KiB with a screen (24x80, a page of text and its 1000-line scrollback)")
    return 0


class InstantNative:
    """A native terminal whose sends answer at once; the rest is forwarded."""

    def __init__(self, native: Any) -> None:
        self._native = native

    def send(self, *args: Any, **kwargs: Any) -> tuple[str, str]:
        return "42\n>>> ", "marker"

    def __getattr__(self, name: str) -> Any:
        return getattr(self._native, name)


def instant_turns(terminal: Terminal, turn: Callable[[], Any], count: int = 2000) -> float:
    """Median seconds per turn over a native terminal that answers at once."""
    resources = terminal._resources
    real = resources.native
    resources.native = InstantNative(real)  # type: ignore[assignment]
    try:
        times = []
        for _ in range(count):
            started = time.perf_counter()
            check(turn().output)
            times.append(time.perf_counter() - started)
    finally:
        resources.native = real
    return statistics.median(times)


def end_a_long_read(how: str) -> tuple[float, float]:
    """Seconds from ``interrupt()`` or ``close()`` on this thread until a
    read running on another thread returned, and until the call returned."""
    terminal = Terminal(sys.executable, ["-q"])
    terminal.read(TIMEOUT_MS)
    returned_at: list[float] = []

    def long_read() -> None:
        terminal.send("import time; time.sleep(600)", 600_000)
        returned_at.append(time.perf_counter())

    reader = threading.Thread(target=long_read)
    reader.start()
    time.sleep(0.5)  # the read is under way
    started = time.perf_counter()
    if how == "interrupt":
        terminal.interrupt(TIMEOUT_MS)
    else:
        terminal.close()
    done = time.perf_counter()
    reader.join(60)
    terminal.close()
    if not returned_at:
        raise SystemExit(f"{how}() did not end the read")
    return returned_at[0] - started, done - started


def memory_per_terminal(screen: bool, count: int = 16) -> float:
    """Resident set growth of this process per open Terminal, in KiB. With a
    screen, each screen is given a page of text and a full scrollback, its
    largest steady size."""
    import gc

    fill = "".join(f"line {n:5d} " + "x" * 60 + "\r\n" for n in range(1100)).encode()
    # One terminal first, so that one-time costs (imports, the emulator's
    # tables) are not counted per terminal.
    with Terminal("cat", screen=screen) as warm:
        if screen:
            warm._screen.feed(fill)  # type: ignore[union-attr]
    gc.collect()
    before = rss_kib()
    terminals = [Terminal("cat", screen=screen) for _ in range(count)]
    for t in terminals:
        t.read(0)
        if screen:
            t._screen.feed(fill)  # type: ignore[union-attr]
            t.screen()
    gc.collect()
    grown = rss_kib() - before
    for t in terminals:
        t.close()
    return grown / count


def rss_kib() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def ms(seconds: float, sign: bool = False) -> str:
    return f"{seconds * 1000:+.3f} ms" if sign else f"{seconds * 1000:.3f} ms"


def os_thread_count() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    return -1


if __name__ == "__main__":
    sys.exit(main())
