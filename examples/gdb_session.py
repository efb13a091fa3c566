"""An agent-style gdb session, printed as a transcript.

The script writes a small C program, compiles it with ``cc -g`` and debugs it
the way an automated agent would: one command per turn, each answer read back
as clean text up to gdb's next ``(gdb) `` prompt. It sets a breakpoint, runs,
takes a backtrace and the registers, lets the program spin in an endless loop,
interrupts it with Ctrl-C, and finally resets the debugger to a fresh state.

Run it with no arguments::

    python examples/gdb_session.py

It needs ``gdb`` and a C compiler (``cc``) on ``PATH`` and takes a few seconds.
"""

from __future__ import annotations

import shlex
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from pellux import Pellux

PROMPT = "(gdb) "

PROGRAM = r"""
#include <stdio.h>

struct item {
    int id;
    int weight;
    struct item *next;
};

static int score(const struct item *it)
{
    return it->id * it->weight;
}

static long total(const struct item *head)
{
    long sum = 0;
    for (const struct item *it = head; it != NULL; it = it->next)
        sum += score(it);
    return sum;
}

/* Never returns: the debugger has to interrupt it. */
static void wait_for_work(void)
{
    volatile unsigned long spins = 0;
    for (;;)
        spins++;
}

int main(void)
{
    struct item c = {3, 30, NULL};
    struct item b = {2, 20, &c};
    struct item a = {1, 10, &b};
    printf("total = %ld\n", total(&a));
    fflush(stdout);
    wait_for_work();
    return 0;
}
"""

# How long a turn may take before the agent treats gdb as busy. Generous, so a
# loaded machine does not cut answers short; the one turn that is expected to
# keep running uses its own short limit.
TURN_TIMEOUT_MS = 15_000
RUNNING_TIMEOUT_MS = 1_500
INTERRUPT_TIMEOUT_MS = 5_000


def build_program(workdir: Path) -> Path:
    """Writes and compiles the program to debug; returns the binary's path."""
    (workdir / "inventory.c").write_text(PROGRAM)
    # Compiled in place, so gdb names the source file without a long path.
    subprocess.run(["cc", "-g", "-O0", "-o", "inventory", "inventory.c"], cwd=workdir, check=True)
    return workdir / "inventory"


def write_launcher(workdir: Path, binary: Path) -> Path:
    """pellux runs its command as one program path with no arguments, so the
    arguments gdb needs live in a tiny wrapper script."""
    launcher = workdir / "gdb-inventory"
    # With DEBUGINFOD_URLS set, gdb asks whether to download debug info on
    # the first run: a question, not a prompt. No network is wanted here.
    launcher.write_text(
        "#!/bin/sh\n"
        "unset DEBUGINFOD_URLS\n"
        f"exec gdb -q -nx {shlex.quote(str(binary))}\n"
    )
    launcher.chmod(0o755)
    return launcher


def at_prompt(text: str) -> bool:
    """A read never says why it ended: the prompt at the end means gdb is
    waiting for the next command; its absence means the timeout (or the end
    of gdb's output) ended the read."""
    return text.endswith(PROMPT)


class Transcript:
    """Prints each turn (what the agent sent and the clean text that came
    back) and keeps a list of the answers that were not as expected."""

    def __init__(self) -> None:
        self.turn = 0
        self.surprises: list[str] = []

    def show(self, label: str, text: str, seconds: float, expect: str, want_prompt: bool) -> None:
        self.turn += 1
        status = "ready" if at_prompt(text) else f"no prompt after {seconds:.1f} s"
        print(f"\n[{self.turn:2}] {label}    ({seconds:.2f} s, {status})")
        lines = text.split("\n")
        # gdb starts each answer on a new line (the Enter it was sent).
        if len(lines) > 1 and lines[0] == "":
            lines = lines[1:]
        for line in lines:
            print(f"     | {line}")
        if expect not in text:
            self.surprises.append(f"turn {self.turn} ({label}): no {expect!r} in the answer")
        if want_prompt and not at_prompt(text):
            self.surprises.append(f"turn {self.turn} ({label}): {status}")
        if at_prompt(text) and not want_prompt:
            self.surprises.append(f"turn {self.turn} ({label}): gdb was expected to stay busy")


def turn(gdb: Pellux, log: Transcript, command: str, expect: str = "",
         timeout_ms: int = TURN_TIMEOUT_MS, want_prompt: bool = True) -> str:
    """Sends one line to gdb and shows the answer."""
    started = time.monotonic()
    text = gdb.send_and_read_until_ready(command, timeout_ms=timeout_ms)
    log.show(f"> {command}", text, time.monotonic() - started, expect, want_prompt)
    return text


def interrupt(gdb: Pellux, log: Transcript, expect: str) -> str:
    """Ctrl-C, then the answer up to the prompt it brings back."""
    started = time.monotonic()
    gdb.send_ctrl_c()
    text = gdb.read_until_ready(timeout_ms=INTERRUPT_TIMEOUT_MS)
    log.show("^C (send_ctrl_c)", text, time.monotonic() - started, expect, True)
    return text


def reset(gdb: Pellux, log: Transcript, expect: str) -> str:
    """A fresh gdb in the same object. reset() keeps whatever the new gdb
    printed at once in the new history, so its first prompt may already have
    been taken from the queue: wait for the prompt only when it has not."""
    started = time.monotonic()
    gdb.reset()
    text = gdb.get_history()
    if not at_prompt(text):
        text += gdb.read_until_ready(timeout_ms=TURN_TIMEOUT_MS)
    log.show("(reset: a fresh gdb)", text, time.monotonic() - started, expect, True)
    return text


def session(launcher: Path) -> int:
    log = Transcript()
    gdb = Pellux(str(launcher), True, [PROMPT])
    try:
        started = time.monotonic()
        banner = gdb.read_until_ready(timeout_ms=TURN_TIMEOUT_MS)
        log.show("(gdb starts)", banner, time.monotonic() - started, "Reading symbols", True)
        if not at_prompt(banner):
            print("\ngdb did not come up; giving up.", file=sys.stderr)
            return 1

        # gdb pages long output and asks y/n questions; either would keep its
        # prompt from coming back, so a machine user turns both off first.
        turn(gdb, log, "set pagination off")
        turn(gdb, log, "set confirm off")

        turn(gdb, log, "break score", expect="Breakpoint 1 at")
        turn(gdb, log, "run", expect="Breakpoint 1, score")
        turn(gdb, log, "backtrace", expect="in total")
        turn(gdb, log, "print *it", expect="id = 1, weight = 10")
        turn(gdb, log, "info registers", expect="0x")

        # Without breakpoints the program prints its total and then spins
        # forever: the read ends at its timeout with a partial answer, and
        # Ctrl-C brings gdb's prompt back.
        turn(gdb, log, "delete")
        turn(gdb, log, "continue", expect="total = 140", timeout_ms=RUNNING_TIMEOUT_MS,
             want_prompt=False)
        if at_prompt(interrupt(gdb, log, expect="SIGINT")):
            turn(gdb, log, "backtrace", expect="wait_for_work")
            turn(gdb, log, "print spins", expect="= ")

        # Throw the whole debugging state away and start over.
        if at_prompt(reset(gdb, log, expect="Reading symbols")):
            turn(gdb, log, "info breakpoints", expect="No breakpoints")
            turn(gdb, log, "print sizeof(struct item)", expect="$1 = ")
    finally:
        started = time.monotonic()
        gdb.close()
        print(f"\nclosed in {time.monotonic() - started:.2f} s; gdb alive: {gdb.is_alive()}")

    if log.surprises:
        print(f"{log.turn} turns; not as expected:", *log.surprises, sep="\n  ", file=sys.stderr)
        return 1
    print(f"{log.turn} turns, all as expected")
    return 0


def main() -> int:
    missing = [tool for tool in ("gdb", "cc") if shutil.which(tool) is None]
    if missing:
        print(f"this example needs {' and '.join(missing)} on PATH", file=sys.stderr)
        return 1
    with tempfile.TemporaryDirectory(prefix="pellux-gdb-") as tmp:
        workdir = Path(tmp)
        binary = build_program(workdir)
        launcher = write_launcher(workdir, binary)
        print(f"debugging {binary} (built with cc -g) through {launcher.name}")
        started = time.monotonic()
        status = session(launcher)
        print(f"session took {time.monotonic() - started:.1f} s")
        return status


if __name__ == "__main__":
    sys.exit(main())
