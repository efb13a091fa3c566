"""Reads that end when the program waits for input (wait_for), against the
guessing rules, on real programs; and the fallback where /proc cannot tell."""

from __future__ import annotations

import asyncio
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from pellux_agent import AsyncTerminal, Terminal, Turn

sys.path.insert(0, str(Path(__file__).resolve().parent))
from agent_support import REPL, python_program  # noqa: E402

LONG = 15_000  # ms; generous for a shared machine


def needs(program: str) -> None:
    if shutil.which(program) is None:
        pytest.skip(f"{program} is not installed")


def test_slow_answer_without_a_prompt_is_whole_by_default_and_cut_by_quiet_reads():
    # bc prints no prompt: a quiet read ends at the first pause of its slow
    # answer; the kernel's view waits for the answer.
    needs("bc")
    slow = "2^600000 % 7"
    with Terminal("bc", ["-q"]) as t:
        assert t.wait_for == "auto"
        assert t.read(timeout_ms=LONG) == Turn("", "ready", True)
        # bc starts each answer with a line feed (its line editor's).
        assert t.send(slow, timeout_ms=LONG) == Turn("\n1\n", "ready", True)
        assert t.send("6 * 7", timeout_ms=LONG) == Turn("\n42\n", "ready", True)
    with Terminal("bc", ["-q"], wait_for="input") as t:
        assert t.send(slow, timeout_ms=LONG) == Turn("\n1\n", "ready", True)
    with Terminal("bc", ["-q"], wait_for="quiet") as t:
        early = t.send(slow, timeout_ms=LONG)
        assert early.status == "quiet" and "1" not in early.output


def test_a_prompt_printed_while_the_program_works_does_not_end_the_read():
    # The marker shows up in ordinary output; only the real wait ends it.
    line = "print('>>> '); import time; time.sleep(1); print('done')"
    with Terminal(REPL, ["-q"]) as t:
        t.read(timeout_ms=LONG)
        assert t.send(line, timeout_ms=LONG) == Turn(">>> \ndone\n>>> ", "ready", True)
    with Terminal(REPL, ["-q"], wait_for="markers") as t:
        t.read(timeout_ms=LONG)
        early = t.send(line, timeout_ms=LONG)
        assert early.output == ">>> \n" and early.status == "ready"


def test_questions_without_a_marker_end_the_read(tmp_path):
    # input() mid-answer: no marker, no preset, but the program waits.
    asker = python_program(
        tmp_path / "asker",
        """\
        import time
        for line in iter(input, "quit"):
            time.sleep(0.3)
            name = input("name? ")
            print("hello", name)
        """,
    )
    with Terminal(asker) as t:
        assert t.read(timeout_ms=LONG) == Turn("", "ready", True)
        assert t.send("go", timeout_ms=LONG) == Turn("name? ", "ready", True)
        assert t.send("Ada", timeout_ms=LONG) == Turn("hello Ada\n", "ready", True)
        assert t.send("quit", timeout_ms=LONG) == Turn("", "exited", False)


def test_gdb_debuggee_that_computes_then_reads_stdin(tmp_path):
    needs("gdb")
    needs("cc")
    source = tmp_path / "app.c"
    source.write_text(
        textwrap.dedent(
            """\
            #include <stdio.h>
            int main(void) {
                volatile unsigned long x = 0;
                for (unsigned long i = 0; i < 600000000UL; i++) x += i;
                printf("computed %lu\\n", x & 7);
                fflush(stdout);
                char line[100];
                if (fgets(line, sizeof line, stdin)) printf("read %s", line);
                return 0;
            }
            """
        )
    )
    subprocess.run(["cc", "-g", "-O0", "-o", str(tmp_path / "app"), str(source)], check=True)
    with Terminal("gdb", ["-q", "-nx", str(tmp_path / "app")]) as t:
        assert t.read(timeout_ms=LONG).status == "ready"
        t.send("set confirm off", timeout_ms=LONG)
        # The debuggee computes for a while, then waits for a line on the
        # terminal: the turn ends there, without gdb's prompt.
        asked = t.send("run", timeout_ms=60_000)
        assert asked.status == "ready" and asked.output.endswith("computed 0\n"), asked
        done = t.send("hello", timeout_ms=LONG)
        assert done.status == "ready" and "read hello" in done.output
        assert done.output.endswith("(gdb) ")


def test_event_loop_with_a_timer_falls_back_on_the_prompt():
    # node always keeps a timer in its event loop: the kernel cannot confirm
    # that it waits, so its prompt and the settle pause end the read, and
    # a timer's late output lands in a later read.
    needs("node")
    with Terminal("node") as t:
        assert t.read(timeout_ms=LONG).status == "ready"
        assert t.send("6 * 7", timeout_ms=LONG) == Turn("42\n> ", "ready", True)
        timer = t.send("setTimeout(() => console.log('late'), 500); 1", timeout_ms=LONG)
        assert timer == Turn("1\n> ", "ready", True)
        # No prompt follows the late line: read in short turns until it shows.
        late = ""
        for _ in range(15):
            late += t.read(timeout_ms=1_000).output
            if "late" in late:
                break
        assert "late" in late
    with Terminal("node", wait_for="input") as t:
        # Forced to the kernel's view alone, node's reads never end early.
        assert t.read(timeout_ms=500).status == "timeout"


def test_a_sleeping_job_in_the_foreground_group_does_not_hide_the_prompt():
    # A child started without a session of its own stays in the REPL's
    # process group: the REPL reads, the child sleeps; the prompt counts.
    with Terminal(REPL, ["-q"]) as t:
        t.read(timeout_ms=LONG)
        t.send("import subprocess; p = subprocess.Popen(['sleep', '30'])", timeout_ms=LONG)
        assert t.send("6 * 7", timeout_ms=LONG) == Turn("42\n>>> ", "ready", True)
        t.send("p.kill(); p.wait()", timeout_ms=LONG)


def test_bursts_with_pauses_are_read_whole(tmp_path):
    bursts = python_program(
        tmp_path / "bursts",
        """\
        import sys, time
        for line in sys.stdin:
            for i in range(3):
                print("part", i, flush=True)
                time.sleep(0.15)   # longer than the quiet period
            print("end", flush=True)
        """,
    )
    whole = "part 0\npart 1\npart 2\nend\n"
    with Terminal(bursts) as t:
        for _ in range(3):
            assert t.send("go", timeout_ms=LONG) == Turn(whole, "ready", True)
    with Terminal(bursts, wait_for="quiet") as t:
        assert t.send("go", timeout_ms=LONG) == Turn("part 0\n", "quiet", True)


def test_limit_timeout_and_restart_under_the_probe(tmp_path):
    flood = python_program(
        tmp_path / "flood",
        """\
        import sys, time
        for line in sys.stdin:
            if line.startswith("big"):
                sys.stdout.write("y" * 100 + ("z" * 99 + "\\n") * 30000)
                sys.stdout.flush()
            else:
                time.sleep(30)
        """,
    )
    with Terminal(flood) as t:
        first = t.send("big", timeout_ms=LONG)
        assert first.status == "limit"
        rest = t.read(timeout_ms=LONG)
        assert rest.status == "ready"
        assert len(first.output) + len(rest.output) == 100 + 100 * 30000
        assert t.send("sleep", timeout_ms=300) == Turn("", "timeout", True)
        again = t.restart(timeout_ms=LONG)
        assert again == Turn("", "ready", True)
        assert t.send("big", timeout_ms=LONG).status == "limit"


def test_async_terminal_reads_the_same_way():
    needs("bc")

    async def main() -> list[Turn]:
        async with AsyncTerminal("bc", ["-q"], wait_for="auto") as t:
            assert t.wait_for == "auto"
            return [await t.send("2^300000 % 7", timeout_ms=LONG), await t.send("6 * 7", timeout_ms=LONG)]

    assert asyncio.run(main()) == [Turn("\n1\n", "ready", True), Turn("\n42\n", "ready", True)]


def test_bad_wait_for_is_refused():
    with pytest.raises(ValueError, match="wait_for must be one of 'auto', 'markers', 'quiet', 'input'"):
        Terminal(REPL, wait_for="prompt")  # type: ignore[arg-type]
    with pytest.raises(TypeError, match="wait_for must be a str"):
        AsyncTerminal(REPL, wait_for=None)  # type: ignore[arg-type]


def test_where_proc_cannot_tell_auto_falls_back_on_markers_and_quiet(tmp_path):
    # Without the capability to trace, a non-dumpable program's
    # /proc/<pid>/syscall is closed to us, as under ptrace restrictions or
    # for another user: "auto" reads fall back on the preset's markers, or
    # on quiet output without any, and the probe says so once.
    hidden = python_program(
        tmp_path / "hidden",
        """\
        import ctypes, sys
        ctypes.CDLL(None).prctl(4, 0)  # PR_SET_DUMPABLE
        prompt = sys.argv[1] if len(sys.argv) > 1 else ""
        sys.stdout.write(prompt); sys.stdout.flush()
        for line in sys.stdin:
            sys.stdout.write("got " + line + prompt); sys.stdout.flush()
        """,
    )
    observer = tmp_path / "observer.py"
    observer.write_text(
        textwrap.dedent(
            f"""
            import sys, warnings
            from pellux_agent import Terminal
            warnings.simplefilter("always")
            with warnings.catch_warnings(record=True) as caught:
                def show(turn):
                    print((turn.output, turn.status, turn.alive, turn.exit_code, turn.signal))
                with Terminal({hidden!r}, ["$ "], ready_markers=["$ "]) as t:
                    show(t.read(timeout_ms=10_000))
                    show(t.send("one", timeout_ms=10_000))
                with Terminal({hidden!r}, wait_for="input") as t:
                    show(t.send("two", timeout_ms=10_000))
            print(len([w for w in caught if "cannot tell" in str(w.message)]))
            """
        )
    )
    preexec = None
    if os.geteuid() == 0:
        import ctypes

        def preexec() -> None:
            PR_CAPBSET_DROP, CAP_SYS_PTRACE = 24, 19
            if ctypes.CDLL(None, use_errno=True).prctl(PR_CAPBSET_DROP, CAP_SYS_PTRACE, 0, 0, 0) != 0:
                raise OSError(ctypes.get_errno(), "PR_CAPBSET_DROP")

    result = subprocess.run(
        [sys.executable, str(observer)], capture_output=True, text=True, timeout=120, preexec_fn=preexec
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "('$ ', 'ready', True, None, None)",
        "('got one\\n$ ', 'ready', True, None, None)",
        "('got two\\n', 'quiet', True, None, None)",
        "1",
    ]


def test_mcp_start_session_takes_wait_for():
    needs("bc")
    import anyio
    from mcp_client import connect

    async def main() -> None:
        async with connect() as client:
            tools = {t.name: t for t in (await client.session.list_tools()).tools}
            rule = tools["start_session"].input_schema["properties"]["wait_for"]
            assert set(rule["enum"]) == {"auto", "markers", "quiet", "input"}
            assert rule["default"] == "auto"
            sid, first = await client.start("bc", args=["-q"])  # "auto" by default
            assert first["status"] == "ready" and first["output"] == ""
            turn = await client.send(sid, "2^500000 % 7", timeout_ms=LONG)
            assert (turn["output"], turn["status"]) == ("\n4\n", "ready")
            quiet_id, _ = await client.start("bc", args=["-q"], wait_for="quiet", timeout_ms=300)
            early = await client.send(quiet_id, "2^500000 % 7", timeout_ms=LONG)
            assert early["status"] == "quiet" and "4" not in early["output"]
            message = await client.error("start_session", command="bc", wait_for="prompt")
            assert "wait_for" in message

    anyio.run(main)


def test_git_waiting_on_its_editor_and_its_pager_is_a_finished_turn(tmp_path):
    # git sleeps in wait4 while its editor or pager reads the terminal: the
    # turn ends when they wait, not at the timeout, and the shell's prompt
    # (which vim's screen does not end with) does not hold it up.
    needs("git")
    needs("vim")
    needs("less")
    repo = tmp_path / "repo"
    env = {
        "HOME": str(tmp_path), "GIT_AUTHOR_NAME": "a", "GIT_AUTHOR_EMAIL": "a@example.com",
        "GIT_COMMITTER_NAME": "a", "GIT_COMMITTER_EMAIL": "a@example.com",
        "GIT_EDITOR": "vim -u NONE -N -n", "GIT_PAGER": "less", "PAGER": "less", "LESS": "",
    }
    with Terminal("bash", env=env, cwd=str(tmp_path)) as t:
        t.read(timeout_ms=LONG)
        for n in range(60):
            t.send(f"git -C {repo} commit -q --allow-empty -m c{n}" if n else f"git init -q {repo} && cd {repo}",
                   timeout_ms=LONG)
        turn = t.send("git commit --allow-empty", timeout_ms=30_000)
        assert turn.status in ("ready", "quiet") and "Please enter the commit message" in turn.output, turn
        # vim waits a moment, with a timer, for answers to its terminal
        # queries as it leaves: a quiet turn may come first.
        turn = t.send_keys([":q!", "enter"], timeout_ms=30_000)
        seen = turn.output
        while turn.status == "quiet" and "Aborting commit" not in seen:
            turn = t.read(timeout_ms=30_000)
            seen += turn.output
        assert turn.status in ("ready", "quiet") and "Aborting commit" in seen, (turn, seen)
        turn = t.send("git log", timeout_ms=30_000)
        assert turn.status in ("ready", "quiet") and "commit " in turn.output, turn
        turn = t.send_keys("q", timeout_ms=30_000)
        assert turn.status == "ready" and turn.output.endswith("$ "), turn
