"""Several terminals driven at once from asyncio, as an agent framework would.

An agent often works in more than one program at a time: a shell to look
around, a Python REPL to compute, a debugger. ``AsyncTerminal`` gives each its
own thread, so their answers are awaited side by side while the event loop
stays free. Here a scripted "model" runs three tasks concurrently:

* a shell (its prompt fixed by the preset, whatever the user's start-up files
  do) in a directory of our choice, with an extra environment variable;
* a Python REPL that is asked for something slow: the answer does not come
  within the time limit (``status == "timeout"``), so the task sends Ctrl-C
  and reads the REPL's prompt back;
* a program that exits after its answer (``status == "exited"``), which the
  task restarts.

Run it with no arguments::

    python examples/async_agent.py

It needs only Python and ``sh``, and takes about two seconds.
"""

from __future__ import annotations

import asyncio
import sys
import tempfile
import time

from pellux_agent import AsyncTerminal, Turn


def show(who: str, request: str, turn: Turn) -> None:
    print(f"[{who}] {request!r} -> {turn.status}, alive={turn.alive}")
    for line in turn.output.rstrip("\n").split("\n"):
        print(f"[{who}]   | {line}")


async def shell_task(workdir: str) -> None:
    async with AsyncTerminal("sh", cwd=workdir, env={"PROJECT": "demo"}, rows=40, cols=120) as sh:
        await sh.read(timeout_ms=5_000)
        for line in ("echo project=$PROJECT in $(pwd)", "stty size", "ls /nonexistent; echo status=$?"):
            show("sh", line, await sh.send(line, timeout_ms=5_000))


async def python_task() -> None:
    async with AsyncTerminal(sys.executable, ["-q"]) as py:
        await py.read(timeout_ms=5_000)
        show("py", "6 * 7", await py.send("6 * 7", timeout_ms=5_000))
        slow = "import time; time.sleep(30)"
        turn = await py.send(slow, timeout_ms=500)
        show("py", slow, turn)
        if turn.status == "timeout":
            show("py", "<Ctrl-C>", await py.interrupt(timeout_ms=5_000))


async def one_shot_task() -> None:
    # Arguments reach the program verbatim: no shell reads "$(date)".
    async with AsyncTerminal("printf", ["%s|%s\n", "$(date)", "it's"]) as once:
        show("printf", "(start)", await once.read(timeout_ms=5_000))
        show("printf", "(restart)", await once.restart(timeout_ms=5_000))


async def main() -> int:
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="async-agent-") as workdir:
        await asyncio.gather(shell_task(workdir), python_task(), one_shot_task())
    print(f"three terminals in {time.monotonic() - started:.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
