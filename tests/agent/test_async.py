"""AsyncTerminal: a worker thread per terminal, under asyncio and anyio;
cancellation, interrupt and close of a call in progress."""

from __future__ import annotations

import asyncio
import gc
import sys
import threading
import time

import anyio
import pytest
from agent_support import (
    PYTHON,
    REPL,
    launcher_dirs,
    pid_running,
    private_tmp,  # noqa: F401 (a fixture)
    python_program,
    session_processes,
)
from support import wait_until

from pellux_agent import AsyncTerminal, Turn
from pellux_agent.presets import SHELL_PROMPT


def run(coro_fn, *args):
    return asyncio.run(coro_fn(*args))


@pytest.fixture
def unraisable(monkeypatch):
    """Collects what reaches sys.unraisablehook (an error in a finalizer,
    say): nothing should."""
    seen: list[str] = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: seen.append(repr(report.exc_value)))
    return seen


def pellux_threads() -> list[threading.Thread]:
    return [t for t in threading.enumerate() if t.name.startswith("pellux-agent ")]


def test_sessions_in_gather_run_in_parallel(tmp_path):
    # Each program answers only once every program has been sent its line:
    # served one after the other, the first would wait in vain.
    count = 4
    barrier = python_program(
        tmp_path / "barrier",
        f"""\
        import os, sys, time
        name = sys.argv[1]
        line = sys.stdin.readline()
        open(os.path.join({str(tmp_path)!r}, "arrived-" + name), "w").close()
        deadline = time.monotonic() + 20
        while len([f for f in os.listdir({str(tmp_path)!r}) if f.startswith("arrived-")]) < {count}:
            if time.monotonic() > deadline:
                print("alone", flush=True); time.sleep(60)
            time.sleep(0.01)
        print("all here", name, flush=True)
        time.sleep(60)
        """,
    )

    async def main() -> list[Turn]:
        # Quiet reads: the program sleeps after its answer, so the kernel's
        # view would (rightly) wait for more until the timeout.
        terminals = [AsyncTerminal(barrier, [str(i)], wait_for="quiet") for i in range(count)]
        await asyncio.gather(*(t.start() for t in terminals))
        try:
            return await asyncio.gather(*(t.send("go", timeout_ms=30_000) for t in terminals))
        finally:
            await asyncio.gather(*(t.close() for t in terminals))

    turns = run(main)
    assert [t.output for t in turns] == [f"all here {i}\n" for i in range(count)]
    assert all(t.status == "quiet" for t in turns)


def test_calls_on_one_terminal_run_in_order_and_the_loop_keeps_running():
    async def main() -> tuple[list[str], int]:
        ticks = 0

        async def ticker() -> None:
            nonlocal ticks
            while True:
                await asyncio.sleep(0.02)
                ticks += 1

        async with AsyncTerminal(REPL, ["-q"]) as t:
            await t.read(timeout_ms=10_000)
            tick_task = asyncio.create_task(ticker())
            slow = t.send("import time; time.sleep(1); 'slept'", timeout_ms=10_000)
            quick = [t.send(f"{i} * 7", timeout_ms=10_000) for i in range(5)]
            turns = await asyncio.gather(slow, *quick)
            tick_task.cancel()
        return [turn.output for turn in turns], ticks

    outputs, ticks = run(main)
    assert outputs == ["'slept'\n>>> "] + [f"{i * 7}\n>>> " for i in range(5)]
    # The loop ran all along the second-long answer (50 ticks if unloaded).
    assert ticks >= 10


def test_anyio_task_group_with_several_shells():
    results: dict[int, Turn] = {}

    async def one(i: int) -> None:
        async with AsyncTerminal("sh", env={"N": str(i)}) as t:
            await t.read(timeout_ms=10_000)
            results[i] = await t.send("echo n=$N", timeout_ms=10_000)
            assert t.alive and t.pid is not None

    async def main() -> None:
        async with anyio.create_task_group() as group:
            for i in range(4):
                group.start_soon(one, i)

    anyio.run(main)
    assert {i: turn.output for i, turn in results.items()} == {i: f"n={i}\n{SHELL_PROMPT}" for i in range(4)}


def test_close_ends_a_read_in_progress_and_the_whole_session(unraisable):
    async def main() -> tuple[Turn, int, float]:
        t = AsyncTerminal("bash")
        await t.start()
        await t.read(timeout_ms=10_000)
        await t.send("sleep 60 &", timeout_ms=10_000)
        pid = t.pid
        assert pid is not None
        stuck = asyncio.create_task(t.send("sleep 60", timeout_ms=120_000))
        await asyncio.sleep(0.3)
        started = time.monotonic()
        await t.close()
        took = time.monotonic() - started
        return await stuck, pid, took

    turn, pid, took = run(main)
    assert (turn.status, turn.alive) == ("exited", False), turn
    assert took < 10  # not the read's two minutes
    assert session_processes(pid) == []
    wait_until(lambda: not pellux_threads(), timeout=10, what="worker threads ended")
    assert unraisable == []


def test_every_way_a_terminal_ends_leaves_nothing(unraisable, private_tmp):
    # Closed, failed, collected unclosed.
    errors: list[BaseException] = []

    async def main() -> int:
        async with AsyncTerminal(REPL, ["-q"]) as t:
            await t.read(timeout_ms=10_000)
            await t.send("exit()", timeout_ms=10_000)
            try:
                await t.send("1")
            except RuntimeError as error:
                errors.append(error)
        with pytest.raises(OSError, match="ENOENT"):
            await AsyncTerminal("no-such-program-x").start()
        abandoned = AsyncTerminal("sleep", ["60"])
        await abandoned.start()
        pid = abandoned.pid
        assert pid is not None
        del abandoned
        gc.collect()
        return pid

    pid = run(main)
    wait_until(lambda: not pid_running(pid), timeout=10, what="abandoned program ended")
    wait_until(lambda: not pellux_threads(), timeout=10, what="worker threads ended")
    wait_until(lambda: not launcher_dirs(), timeout=10, what="private directories removed")
    assert len(errors) == 1 and "the program has exited" in str(errors[0])
    del errors
    gc.collect()
    assert unraisable == []


def test_misuse_is_reported_clearly():
    async def main() -> None:
        t = AsyncTerminal("cat")
        with pytest.raises(RuntimeError, match="use 'async with' or await start"):
            await t.read()
        await t.start()
        with pytest.raises(RuntimeError, match="already started"):
            await t.start()
        with pytest.raises(TypeError, match="input must be a str"):
            await t.send(b"x")  # type: ignore[arg-type]
        await t.close()
        await t.close()
        with pytest.raises(RuntimeError, match="is closed"):
            await t.read()
        assert not t.alive and t.pid is None
        with pytest.raises(ValueError, match="rows must be between"):
            AsyncTerminal("cat", rows=0)

    run(main)


def test_restart_and_interrupt():
    async def main() -> tuple[Turn, Turn, int | None, int | None]:
        async with AsyncTerminal(REPL, ["-q"]) as t:
            await t.read(timeout_ms=10_000)
            first = t.pid
            busy = await t.send("import time; time.sleep(30)", timeout_ms=300)
            assert busy.status == "timeout"
            back = await t.interrupt(timeout_ms=10_000)
            again = await t.restart(timeout_ms=10_000)
            assert await t.history(max_chars=4) == ">>> "
            return back, again, first, t.pid

    back, again, first, second = run(main)
    assert back.status == "ready" and "KeyboardInterrupt" in back.output
    assert again == Turn(">>> ", "ready", True)
    assert first != second


def test_an_open_terminal_at_interpreter_exit_is_closed_on_its_thread(tmp_path, private_tmp):
    import subprocess

    import pellux_agent

    package_parent = str(__import__("pathlib").Path(pellux_agent.__file__).resolve().parent.parent)
    script = tmp_path / "leave_open.py"
    script.write_text(
        "import asyncio, sys\n"
        f"sys.path.insert(0, {package_parent!r})\n"
        "from pellux_agent import AsyncTerminal\n"
        "kept = []\n"
        "async def main():\n"
        "    t = AsyncTerminal('sh', ['-c', 'sleep 61 & exec sleep 60'])\n"
        "    await t.start()\n"
        "    kept.append(t)\n"
        "    print(t.pid, flush=True)\n"
        "asyncio.run(main())\n"
    )
    done = subprocess.run([PYTHON, str(script)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""  # no "unsendable", no traceback
    assert session_processes(int(done.stdout)) == []
    assert not launcher_dirs()


def test_a_cancelled_send_ends_its_read_and_the_terminal_stays_usable():
    async def main() -> tuple[float, Turn, Turn]:
        async with AsyncTerminal(REPL, ["-q"]) as t:
            await t.read(timeout_ms=10_000)
            started = time.monotonic()
            with anyio.move_on_after(0.5) as scope:
                await t.send("import time; time.sleep(600)", timeout_ms=600_000)
            assert scope.cancelled_caught
            took = time.monotonic() - started
            # The program still sleeps: the cancellation ended the read, not
            # the program's work.
            back = await t.interrupt(timeout_ms=20_000)
            return took, back, await t.send("6 * 7", timeout_ms=10_000)

    took, back, turn = anyio.run(main)
    assert took < 20  # not the send's ten minutes
    assert back.status == "ready" and "KeyboardInterrupt" in back.output
    assert turn == Turn("42\n>>> ", "ready", True)


def test_a_call_cancelled_before_it_runs_never_runs():
    async def main() -> str:
        async with AsyncTerminal(REPL, ["-q"]) as t:
            await t.read(timeout_ms=10_000)
            first = asyncio.create_task(t.send("import time; time.sleep(1); 'first'", timeout_ms=10_000))
            queued = asyncio.create_task(t.send("'never typed'", timeout_ms=10_000))
            await asyncio.sleep(0.2)
            queued.cancel()
            with pytest.raises(asyncio.CancelledError):
                await queued
            assert (await first).output == "'first'\n>>> "
            await t.send("6 * 7", timeout_ms=10_000)
            return await t.history()

    history = run(main)
    assert "never typed" not in history and "'first'\n>>> 42\n>>> " in history


def test_interrupt_ends_a_read_in_progress_at_once():
    async def main() -> tuple[Turn, Turn, Turn, float]:
        async with AsyncTerminal(REPL, ["-q"]) as t:
            await t.read(timeout_ms=10_000)
            stuck = asyncio.create_task(t.send("import time; time.sleep(600)", timeout_ms=600_000))
            await asyncio.sleep(0.5)
            started = time.monotonic()
            back = await t.interrupt(timeout_ms=20_000)
            took = time.monotonic() - started
            return await stuck, back, await t.send("6 * 7", timeout_ms=10_000), took

    stuck, back, turn, took = run(main)
    assert (stuck.status, stuck.alive) == ("interrupted", True), stuck
    assert back.status == "ready" and "KeyboardInterrupt" in back.output
    assert turn == Turn("42\n>>> ", "ready", True)
    assert took < 20
