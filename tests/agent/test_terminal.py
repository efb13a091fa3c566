"""Terminal against real programs: what reaches the program, why each read
ended, presets, use from several threads, and that closing leaves nothing
behind."""

from __future__ import annotations

import gc
import json
import os
import shutil
import subprocess
import sys
import threading
import time

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
from support import children_of_host, wait_until

from pellux_agent import Terminal, Turn
from pellux_agent.presets import SHELL_PROMPT
from pellux_agent.terminal import MAX_OUTPUT_BYTES


@pytest.fixture
def no_leftovers(private_tmp):
    """Fails the test if it leaves a private directory or a child behind."""
    yield
    wait_until(lambda: not launcher_dirs(), timeout=10, what="private directories removed")
    wait_until(
        lambda: all(state == "Z" for state in children_of_host().values()) or not children_of_host(),
        timeout=10,
        what="children ended",
    )


# --- what reaches the program ---------------------------------------------


def test_arguments_environment_and_directory_reach_the_program_exactly(tmp_path, monkeypatch, no_leftovers):
    report = tmp_path / "report.json"
    program = python_program(
        tmp_path / "dump",
        f"""\
        import json, os, sys
        with open({str(report)!r}, "w") as f:
            json.dump({{"argv": sys.argv[1:], "env": dict(os.environ), "cwd": os.getcwd()}}, f)
        """,
    )
    args = ["$(touch pwned)", "it's", 'say "hi"', "a\nb", "", "  spaced  ", "semi;colon|pipe&", "ünïcødé", "*"]
    monkeypatch.setenv("PELLUX_TEST_INHERITED", "yes")
    monkeypatch.setenv("PELLUX_TEST_REMOVED", "no")
    workdir = tmp_path / "work dir"
    workdir.mkdir()
    env = {"PELLUX_TEST_NEW": "$HOME 'quoted'", "PELLUX_TEST_REMOVED": None, "GIT_PAGER": "less"}
    with Terminal(program, args, cwd=str(workdir), env=env) as t:
        turn = t.read(timeout_ms=10_000)
    assert turn.status == "exited"
    got = json.loads(report.read_text())
    assert got["argv"] == args
    assert got["cwd"] == str(workdir)
    assert not (workdir / "pwned").exists() and not (tmp_path / "pwned").exists()
    seen = got["env"]
    assert seen["PELLUX_TEST_INHERITED"] == "yes"
    assert seen["PELLUX_TEST_NEW"] == "$HOME 'quoted'"
    assert "PELLUX_TEST_REMOVED" not in seen
    # Plain defaults, unless the caller overrides them.
    assert (seen["PAGER"], seen["MANPAGER"], seen["GIT_PAGER"], seen["TERM"]) == ("cat", "cat", "less", "xterm-xfree86")


def test_signals_this_process_ignores_start_at_their_defaults(no_leftovers):
    # An ignored SIGPIPE would survive the exec: `yes` would complain of a
    # broken pipe instead of ending quietly.
    with Terminal("sh", ["-c", "yes | head -n 1; grep -E '^Sig(Ign|Blk)' /proc/self/status"]) as t:
        out = t.read(timeout_ms=10_000).output
    assert out.startswith("y\n") and "Broken pipe" not in out
    ignored = int(out.split("SigIgn:")[1].split()[0], 16)
    assert not ignored & (1 << (13 - 1)) and not ignored & (1 << (25 - 1))  # SIGPIPE, SIGXFSZ


def test_terminal_size_reaches_the_program_and_survives_restart(tmp_path, no_leftovers):
    with Terminal("sh", ["-c", "stty size"], rows=33, cols=101, ready_markers=[]) as t:
        assert t.read(timeout_ms=10_000).output == "33 101\n"
        assert t.restart(timeout_ms=10_000).output == "33 101\n"
    with Terminal("sh", ["-c", "stty size"]) as t:
        assert t.read(timeout_ms=10_000).output == "24 80\n"


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"rows": 0}, ValueError, "rows must be between 1 and 65535"),
        ({"cols": 70_000}, ValueError, "cols must be between 1 and 65535"),
        ({"rows": "24"}, TypeError, "rows must be an int"),
        ({"args": "-q"}, TypeError, "args must be a sequence of str"),
        ({"args": ["ok", 3]}, TypeError, r"args\[1\] must be a str"),
        ({"args": ["a\0b"]}, ValueError, "NUL"),
        ({"env": {"A=B": "x"}}, ValueError, "env name 'A=B' is not valid"),
        ({"env": {"A": 1}}, TypeError, r"env\['A'\] must be a str or None"),
        ({"env": ["A"]}, TypeError, "env must be a mapping"),
        ({"cwd": 3}, TypeError, "cwd must be a str"),
        ({"ready_markers": ">>> "}, TypeError, "ready_markers must be a sequence of str"),
        ({"ready_markers": [b">>> "]}, TypeError, r"ready_markers\[0\] must be a str"),
        ({"ready_markers": [">>> ", ""]}, ValueError, "ready_markers must not contain an empty string"),
        ({"wait_for": "prompt"}, ValueError, "wait_for must be one of"),
    ],
)
def test_bad_parameters_are_refused_before_anything_starts(kwargs, error, message, no_leftovers):
    args = kwargs.pop("args", ())
    with pytest.raises(error, match=message):
        Terminal("cat", args, **kwargs)


def test_a_start_that_fails_says_why_and_leaves_nothing(tmp_path, no_leftovers):
    with pytest.raises(FileNotFoundError) as caught:
        Terminal("no-such-program-x")
    # pellux's own wording, whole, as an agent should see it.
    assert str(caught.value) == (
        "Failed to spawn process with command 'no-such-program-x': ENOENT: No such file or directory"
    )
    assert caught.value.errno == 2
    with pytest.raises(OSError, match=f"Failed to change directory to '{tmp_path}/missing': ENOENT"):
        Terminal("cat", cwd=str(tmp_path / "missing"))
    not_executable = tmp_path / "plain"
    not_executable.write_text("data")
    with pytest.raises(PermissionError, match="EACCES: Permission denied"):
        Terminal(str(not_executable))
    with pytest.raises(TypeError):
        Terminal(3)  # type: ignore[arg-type]


# --- why a read ended -------------------------------------------------------


def test_ready_timeout_and_interrupt_on_python(no_leftovers):
    with Terminal(REPL, ["-q"]) as t:
        assert t.ready_markers == (">>> ", "... ")
        assert t.read(timeout_ms=10_000) == Turn(">>> ", "ready", True)
        assert t.send("6 * 7", timeout_ms=10_000) == Turn("42\n>>> ", "ready", True)
        # A compound statement waits at the continuation prompt.
        assert t.send("for i in range(2):", timeout_ms=10_000).status == "ready"
        assert t.send("  print(i)", timeout_ms=10_000).output == "... "
        assert t.send("", timeout_ms=10_000).output == "0\n1\n>>> "
        busy = t.send("import time; time.sleep(30)", timeout_ms=300)
        assert busy == Turn("", "timeout", True)
        back = t.interrupt(timeout_ms=10_000)
        assert back.status == "ready" and "KeyboardInterrupt" in back.output


def test_quiet_without_markers_and_after_a_marker_that_is_not_last(tmp_path, no_leftovers):
    echo = python_program(
        tmp_path / "echo",
        """\
        import sys
        for line in sys.stdin:
            print("got", line.strip(), flush=True)
        """,
    )
    # The guessing rules; by default the kernel's view ends these reads.
    with Terminal(echo, wait_for="markers") as t:
        assert t.ready_markers == ()
        assert t.send("one", timeout_ms=10_000) == Turn("got one\n", "quiet", True)
    with Terminal(echo, ready_markers=["got "], wait_for="markers") as t:
        assert t.send("two", timeout_ms=10_000) == Turn("got two\n", "quiet", True)
    with Terminal(echo) as t:
        assert t.send("three", timeout_ms=10_000) == Turn("got three\n", "ready", True)


def test_ready_needs_the_whole_marker_at_the_end(tmp_path, no_leftovers):
    # "Loading..." is not the prompt "... ", nor "a > b" the prompt "> ".
    program = python_program(
        tmp_path / "almost",
        """\
        import sys, time
        for line in sys.stdin:
            print({"dots": "Loading...", "gt": "<div>", "prompt": "> "}[line.strip()], end="", flush=True)
        """,
    )
    # Markers alone: by default the kernel's view would (rightly) call each
    # of these reads "ready", as the program waits for its next line.
    with Terminal(program, ready_markers=["... ", "> "], wait_for="markers") as t:
        assert t.send("dots", timeout_ms=500) == Turn("Loading...", "timeout", True)
        assert t.send("gt", timeout_ms=500) == Turn("<div>", "timeout", True)
        assert t.send("prompt", timeout_ms=10_000) == Turn("> ", "ready", True)


def test_exited_is_reported_at_once_every_time(tmp_path, no_leftovers):
    # Right after the output ends, the program may not be collectable yet;
    # the turn must still say that it has ended.
    for _ in range(20):
        with Terminal("sh", ["-c", "echo bye"], ready_markers=[]) as t:
            assert t.read(timeout_ms=10_000) == Turn("bye\n", "exited", False)
            assert not t.alive
    with Terminal(REPL, ["-q"]) as t:
        t.read(timeout_ms=10_000)
        assert t.send("exit()", timeout_ms=10_000) == Turn("", "exited", False)
        with pytest.raises(RuntimeError, match="the program has exited; restart"):
            t.send("1")
        with pytest.raises(RuntimeError, match="the program has exited"):
            t.interrupt()
        assert t.restart(timeout_ms=10_000) == Turn(">>> ", "ready", True)
        assert t.send("6 * 7", timeout_ms=10_000).output == "42\n>>> "


@pytest.mark.parametrize(
    "markers",
    [["NEVER-PRINTED> "], ["MARK> "], []],
    ids=["markers", "marker-before-the-cap", "quiet"],
)
def test_limit_when_the_byte_cap_ends_a_read_and_nothing_is_lost(tmp_path, markers, no_leftovers):
    total_lines = 50_000  # 4 MB with CR LF: two capped reads, then the rest
    marked = 25_000  # about 120 KB before the first read's cap
    expected = ["%077d" % i for i in range(total_lines)]
    expected[marked] = "MARK> " + expected[marked][6:]
    flood = python_program(
        tmp_path / "flood",
        f"""\
        import sys, time
        lines = ["%077d" % i for i in range({total_lines})]
        lines[{marked}] = "MARK> " + lines[{marked}][6:]
        sys.stdout.write("\\n".join(lines) + "\\n")
        sys.stdout.flush()
        time.sleep(60)
        """,
    )
    with Terminal(flood, ready_markers=markers) as t:
        first = t.read(timeout_ms=20_000)
        assert first.status == "limit" and first.alive
        text = first.output
        while text.count("\n") < total_lines:
            # The last read of a marker terminal ends on its timeout.
            turn = t.read(timeout_ms=2_000)
            assert turn.status in ("limit", "quiet", "timeout")
            assert turn.output, "output stopped before the end"
            text += turn.output
        assert text.split("\n")[:-1] == expected
    assert len(first.output.encode()) + first.output.count("\n") == MAX_OUTPUT_BYTES


# --- presets ----------------------------------------------------------------


@pytest.mark.parametrize("shell", ["sh", "dash", "bash"])
def test_shell_prompt_is_fixed_whatever_the_start_up_files_say(shell, tmp_path, monkeypatch, no_leftovers):
    if shutil.which(shell) is None:
        pytest.skip(f"{shell} is not installed")
    home = tmp_path / "home"
    home.mkdir()
    hostile = "PS1='evil$ '\nPS2='more> '\n"
    (home / ".bashrc").write_text(hostile)
    (home / ".profile").write_text(hostile)
    (home / "envfile").write_text(hostile)
    # Inherited, as a user's own settings would be.
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("ENV", str(home / "envfile"))
    monkeypatch.setenv("PS1", "inherited$ ")
    with Terminal(shell) as t:
        assert t.read(timeout_ms=10_000).output.endswith(SHELL_PROMPT)
        turn = t.send("echo $((6 * 7))", timeout_ms=10_000)
        assert turn.status == "ready" and turn.output.strip().startswith("42")
        assert t.send("echo 'open", timeout_ms=10_000).status == "ready"  # continuation prompt
        assert "open\nclosed" in t.send("closed'", timeout_ms=10_000).output


def test_sqlite3_preset_with_its_continuation_prompt(no_leftovers):
    if shutil.which("sqlite3") is None:
        pytest.skip("sqlite3 is not installed")
    with Terminal("sqlite3") as t:
        assert t.read(timeout_ms=10_000).output.endswith("sqlite> ")
        # readline's echo of the Enter leads each answer.
        turn = t.send("select 6 * 7;", timeout_ms=10_000)
        assert (turn.output.lstrip("\n"), turn.status) == ("42\nsqlite> ", "ready")
        turn = t.send("select", timeout_ms=10_000)
        assert (turn.output.lstrip("\n"), turn.status) == ("   ...> ", "ready")
        assert t.send("1;", timeout_ms=10_000).output.lstrip("\n") == "1\nsqlite> "


def test_node_preset(no_leftovers):
    if shutil.which("node") is None:
        pytest.skip("node is not installed")
    with Terminal("node") as t:
        assert t.read(timeout_ms=20_000).status == "ready"
        assert t.send("6 * 7", timeout_ms=10_000) == Turn("42\n> ", "ready", True)


def test_gdb_preset(no_leftovers):
    if shutil.which("gdb") is None:
        pytest.skip("gdb is not installed")
    with Terminal("gdb", ["-q", "-nx"], env={"DEBUGINFOD_URLS": None}) as t:
        assert t.read(timeout_ms=20_000) == Turn("(gdb) ", "ready", True)
        turn = t.send("print 6 * 7", timeout_ms=10_000)
        assert (turn.output.lstrip("\n"), turn.status) == ("$1 = 42\n(gdb) ", "ready")


def test_pager_is_off_and_less_works_with_the_chosen_term(tmp_path, no_leftovers):
    lines = tmp_path / "lines.txt"
    lines.write_text("".join(f"line {i}\n" for i in range(200)))
    with Terminal("sh") as t:
        t.read(timeout_ms=10_000)
        # A pager would stop after one screen and eat the next command.
        out = t.send(f'$PAGER {lines}; echo after', timeout_ms=10_000).output
        assert "line 199\nafter\n" in out
    with Terminal("less", [str(lines)], ready_markers=[]) as t:
        screen = t.read(timeout_ms=10_000).output
        assert "line 0" in screen and "not fully functional" not in screen


# --- lifetime ---------------------------------------------------------------


@pytest.mark.parametrize("shell", ["dash", "bash"])
def test_close_ends_background_jobs_of_the_session(shell, no_leftovers):
    with Terminal(shell) as t:
        t.read(timeout_ms=10_000)
        t.send("sleep 60 & (trap '' HUP INT TERM; exec sleep 61) &", timeout_ms=10_000)
        pid = t.pid
        assert pid is not None
        assert len(session_processes(pid)) >= 3
    assert session_processes(pid) == []
    assert t.closed and not t.alive and t.pid is None


def test_restart_ends_the_old_session_every_time(no_leftovers):
    with Terminal("dash") as t:
        t.read(timeout_ms=10_000)
        t.send("sleep 60 &", timeout_ms=10_000)
        old = t.pid
        assert old is not None
        for _ in range(3):
            turn = t.restart(timeout_ms=10_000)
            assert turn == Turn(SHELL_PROMPT, "ready", True)
            assert session_processes(old) == []
            assert t.pid != old
            old = t.pid
            assert old is not None
        assert t.send("echo $$", timeout_ms=10_000).output.startswith(str(t.pid))


def test_closing_collecting_and_failing_leave_nothing(no_leftovers):
    t = Terminal("sleep", ["60"])
    pid = t.pid
    directory = t._resources.plan.directory
    assert os.path.isdir(directory) and oct(os.stat(directory).st_mode & 0o777) == "0o700"
    del t
    gc.collect()
    assert not os.path.exists(directory)
    assert pid is not None and not pid_running(pid)


def test_interpreter_exit_leaves_nothing(tmp_path, private_tmp):
    script = tmp_path / "leave_open.py"
    script.write_text(
        "import sys\n"
        f"sys.path.insert(0, {os.path.dirname(os.path.dirname(os.path.abspath(__import__('pellux_agent').__file__)))!r})\n"
        "from pellux_agent import Terminal\n"
        "t = Terminal('sh', ['-c', 'sleep 61 & exec sleep 60'])\n"
        "print(t.pid, t._resources.plan.directory, flush=True)\n"
    )
    done = subprocess.run([PYTHON, str(script)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "unsendable" not in done.stderr and "Traceback" not in done.stderr
    pid, directory = done.stdout.split()
    assert directory.startswith(str(private_tmp))
    assert not launcher_dirs()
    assert session_processes(int(pid)) == []


def test_history_and_its_tail(no_leftovers):
    with Terminal(REPL, ["-q"]) as t:
        t.read(timeout_ms=10_000)
        t.send("'abc' * 3", timeout_ms=10_000)
        assert t.history().endswith("'abcabcabc'\n>>> ")
        assert t.history(max_chars=4) == ">>> "
        assert t.history(max_chars=0) == ""
        with pytest.raises(ValueError, match="max_chars must not be negative"):
            t.history(max_chars=-1)
    with pytest.raises(RuntimeError, match="is closed"):
        t.history()
    with pytest.raises(RuntimeError, match="is closed"):
        t.send("1")
    t.close()  # again: nothing happens


def test_threads_share_a_terminal_one_call_at_a_time(no_leftovers):
    # Each thread's turn is whole: its own answer and the prompt after it.
    with Terminal(REPL, ["-q"]) as t:
        t.read(timeout_ms=10_000)
        answers: dict[int, Turn] = {}

        def use(n: int) -> None:
            answers[n] = t.send(f"{n} * 1000", timeout_ms=20_000)

        workers = [threading.Thread(target=use, args=(n,)) for n in range(1, 9)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join(60)
        assert {n: (turn.output, turn.status) for n, turn in answers.items()} == {
            n: (f"{n * 1000}\n>>> ", "ready") for n in range(1, 9)
        }
        assert t.alive


def _in_thread(call):
    """Runs `call` on a thread of its own; returns (thread, [result or error])."""
    outcome: list[object] = []

    def run() -> None:
        try:
            outcome.append(call())
        except BaseException as error:  # handed to the test
            outcome.append(error)

    thread = threading.Thread(target=run)
    thread.start()
    return thread, outcome


def test_interrupt_from_another_thread_ends_a_long_read_at_once(no_leftovers):
    with Terminal(REPL, ["-q"]) as t:
        t.read(timeout_ms=10_000)
        reader, outcome = _in_thread(lambda: t.send("import time; time.sleep(600)", timeout_ms=600_000))
        time.sleep(0.5)  # the read is under way
        started = time.monotonic()
        back = t.interrupt(timeout_ms=20_000)
        reader.join(30)
        assert not reader.is_alive(), "the long read did not end"
        assert time.monotonic() - started < 20  # not the read's ten minutes
        (stuck,) = outcome
        assert isinstance(stuck, Turn) and (stuck.status, stuck.alive) == ("interrupted", True), stuck
        assert back.status == "ready" and "KeyboardInterrupt" in stuck.output + back.output
        assert t.send("6 * 7", timeout_ms=10_000) == Turn("42\n>>> ", "ready", True)


def test_close_from_another_thread_ends_a_long_read_and_the_program(no_leftovers):
    t = Terminal("bash")
    t.read(timeout_ms=10_000)
    pid = t.pid
    assert pid is not None
    reader, outcome = _in_thread(lambda: t.send("sleep 600", timeout_ms=600_000))
    time.sleep(0.5)
    t.close()
    reader.join(30)
    assert not reader.is_alive(), "the long read did not end"
    (stuck,) = outcome
    assert isinstance(stuck, Turn) and (stuck.status, stuck.alive) == ("exited", False), stuck
    assert session_processes(pid) == []
    # A call that comes after the close says so.
    with pytest.raises(RuntimeError, match="is closed"):
        t.send("echo late")


def test_after_a_write_that_timed_out_an_interrupt_reaches_the_program(no_leftovers):
    # The program sleeps and reads nothing, its terminal in cbreak mode (a
    # line's limit does not drop the input there): the write fills the
    # terminal's input and gives up. The Ctrl-C after it must still reach
    # the program, and no line typed after that may be lost.
    with Terminal(REPL, ["-q"]) as t:
        t.read(timeout_ms=10_000)
        t.send("import time, tty; tty.setcbreak(0)", timeout_ms=10_000)
        assert t.send("time.sleep(600)", timeout_ms=300).status == "timeout"
        with pytest.raises(RuntimeError, match="timed out"):
            t.write("x" * 100_000, timeout_ms=300)
        back = t.interrupt(timeout_ms=20_000)
        assert back.status == "ready" and "KeyboardInterrupt" in back.output, back
        for n in range(3):
            assert t.send(f"{n} * 7", timeout_ms=10_000) == Turn(f"{n * 7}\n>>> ", "ready", True)


def test_a_restart_that_cannot_start_raises_the_start_error(tmp_path, no_leftovers):
    program = python_program(tmp_path / "gone", "print('here')\n")
    t = Terminal(program, ready_markers=[])
    assert t.read(timeout_ms=10_000).output == "here\n"
    os.unlink(program)
    with pytest.raises(FileNotFoundError, match="ENOENT") as caught:
        t.restart(timeout_ms=10_000)
    assert caught.value.errno == 2 and program in str(caught.value)
    # The terminal is closed, and says why.
    assert t.closed and not t.alive and t.pid is None
    with pytest.raises(RuntimeError, match="is closed: restart.. could not start the program: .*ENOENT"):
        t.send("again")
    t.close()


def test_pid_is_the_program_and_its_session(no_leftovers):
    with Terminal("sh", ["-c", "echo $$; exec sleep 60"], ready_markers=[], wait_for="quiet") as t:
        assert t.read(timeout_ms=10_000).output == f"{t.pid}\n"
        assert sys.platform.startswith("linux")
        with open(f"/proc/{t.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        assert int(fields[3]) == t.pid  # its own session


def test_the_agent_layer_imports_only_the_standard_library_and_pellux():
    import pellux_agent

    package_parent = os.path.dirname(os.path.dirname(os.path.abspath(pellux_agent.__file__)))
    code = (
        "import sys\n"
        f"sys.path.insert(0, {package_parent!r})\n"
        "before = set(sys.modules)\n"
        "import pellux_agent, pellux_agent.terminal, pellux_agent.async_terminal\n"
        "new = {m.split('.')[0] for m in set(sys.modules) - before}\n"
        "print(sorted(new - set(sys.stdlib_module_names) - {'pellux', 'pellux_agent'}))\n"
    )
    done = subprocess.run([PYTHON, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"


@pytest.mark.parametrize(
    "command, first_marker",
    [
        ("/usr/bin/python3.12", ">>> "),
        ("python", ">>> "),
        ("gdb-multiarch", "pwndbg> "),
        ("/bin/dash", SHELL_PROMPT),
        ("zsh", SHELL_PROMPT),
        ("sqlite3", "sqlite> "),
        ("nodejs", "> "),
        ("python3-config", None),
        ("my-gdb", None),
    ],
)
def test_presets_are_chosen_by_the_file_name_only(command, first_marker):
    from pellux_agent.presets import preset_for

    markers = preset_for(command).markers
    assert (markers[0] if markers else None) == first_marker


def test_a_subreaper_is_left_no_zombies_of_the_session(tmp_path, private_tmp):
    # Run as a container's PID 1 (or as a subreaper), this process inherits
    # the background jobs that close() kills; nobody else would collect them.
    import pellux_agent

    package_parent = os.path.dirname(os.path.dirname(os.path.abspath(pellux_agent.__file__)))
    script = tmp_path / "subreaper.py"
    script.write_text(
        "import ctypes, os, sys\n"
        f"sys.path.insert(0, {package_parent!r})\n"
        "PR_SET_CHILD_SUBREAPER = 36\n"
        "assert ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0\n"
        "from pellux_agent import Terminal, process\n"
        "with Terminal('dash') as t:\n"
        "    t.read(timeout_ms=10_000)\n"
        "    t.send('sleep 60 & sleep 61 &', timeout_ms=10_000)\n"
        "    sid = t.pid\n"
        "left = []\n"
        "for entry in os.listdir('/proc'):\n"
        "    stat = process.read_stat(int(entry)) if entry.isdigit() else None\n"
        "    if stat is not None and stat.session == sid:\n"
        "        left.append((int(entry), stat.state, stat.parent == os.getpid()))\n"
        "print(left)\n"
    )
    done = subprocess.run([PYTHON, str(script)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"
