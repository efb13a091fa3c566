"""Faults: a start refused by the system, a program killed, stopped, gone or
deaf to its terminal, writes nobody will ever read, output without a single
line feed, a marker list of ten thousand entries, and command texts that a
shell would have acted on.

Each case must end in a clear error or the documented result, in bounded
time, with nothing left behind and nothing of the output lost. Cases that
could hang the interpreter itself run in a separate process with a hard
time limit.
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import pellux
from support import children_of_host, wait_until, write_script as write_program

Pellux = pellux.Pellux

CAT = shutil.which("cat")
TRUE = shutil.which("true")
MiB = 1 << 20
SPAWN_FAILED = "Failed to spawn process with command '{}': {}"
ENOENT = "ENOENT: No such file or directory"
EINVAL = "EINVAL: Invalid argument"
# A generous ceiling for things that take milliseconds when all is well.
PROMPTLY_S = 15.0


# ---------------------------------------------------------------- helpers



def read_pid(path):
    wait_until(lambda: path.exists() and path.read_text().endswith("\n"), what=f"a pid in {path}")
    return int(path.read_text())



def process_state(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
    except OSError:
        return None
    return stat[stat.rindex(")") + 2 :].split()[0]


def reader_threads():
    found = set()
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                if f.read().strip() == "pellux_reader":
                    found.add(tid)
        except OSError:
            pass
    return found


def timed(call, *args, **kwargs):
    started = time.monotonic()
    result = call(*args, **kwargs)
    return result, time.monotonic() - started


# Shared by the tests and the programs they start, which make the same bytes
# with the same interpreter instead of reading them from a file.
PATTERN_SOURCE = textwrap.dedent(
    '''
    import random

    def printable_pattern(size, seed, line_feeds):
        """`size` bytes of random printable ASCII without blanks, with line
        feeds (one byte in 64) when asked."""
        alphabet = bytes(range(0x21, 0x7F))
        table = bytes(0x0A if line_feeds and b % 64 == 0 else alphabet[b % len(alphabet)] for b in range(256))
        return random.Random(seed).randbytes(size).translate(table)
    '''
)
_namespace: dict = {}
exec(PATTERN_SOURCE, _namespace)
printable_pattern = _namespace["printable_pattern"]


def first_difference(got, expected):
    """A short account of where two long texts part, or None when equal
    (pytest's own comparison of multi-megabyte texts takes far too long)."""
    if got == expected:
        return None
    at = next((i for i, (a, b) in enumerate(zip(got, expected)) if a != b), min(len(got), len(expected)))
    return (
        f"lengths {len(got)} and {len(expected)}, first difference at {at}: "
        f"{got[max(0, at - 20) : at + 20]!r} instead of {expected[max(0, at - 20) : at + 20]!r}"
    )


@pytest.fixture
def open_sessions():
    sessions = []
    yield sessions
    for s in sessions:
        s.close()


def start(open_sessions, command, interactive=False, markers=None):
    s = Pellux(str(command), interactive, markers)
    open_sessions.append(s)
    return s


def run_isolated(tmp_path, code, *args, timeout=30):
    """Runs `code` in a fresh interpreter that dumps its stacks and exits
    after `timeout` - 5 s; returns (exit status, stdout, stderr)."""
    script = tmp_path / "isolated.py"
    script.write_text(
        f"import faulthandler\nfaulthandler.dump_traceback_later({timeout - 5}, exit=True)\n" + textwrap.dedent(code)
    )
    try:
        proc = subprocess.run(
            [sys.executable, str(script), *map(str, args)], capture_output=True, text=True, timeout=timeout, cwd="/"
        )
    except subprocess.TimeoutExpired as e:
        return None, e.stdout or "", e.stderr or ""
    return proc.returncode, proc.stdout, proc.stderr


# ---------------------------------------------------------------- refused starts


PROCESS_LIMIT_DRIVER = """
import json, os, resource, sys
import pellux

program = sys.argv[1]

def snapshot():
    fds = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            fds[name] = os.readlink(f"/proc/self/fd/{name}")
        except OSError:
            pass
    kids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    stat = f.read()
            except OSError:
                continue
            if int(stat[stat.rindex(")") + 2 :].split()[1]) == os.getpid():
                kids.append(entry)
    return {"fds": fds, "tasks": sorted(os.listdir("/proc/self/task")), "children": kids}

def tasks_of(uid):
    count = 0
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.stat(f"/proc/{entry}").st_uid == uid:
                    count += len(os.listdir(f"/proc/{entry}/task"))
            except OSError:
                pass
    return count

# The kernel does not apply the process limit to root (nor to holders of
# CAP_SYS_RESOURCE or CAP_SYS_ADMIN): run as a user of our own.
if os.geteuid() == 0:
    try:
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)
    except OSError as e:
        print(json.dumps({"skip": f"cannot change to an unprivileged user: {e}"}))
        sys.exit(0)
uid = os.getuid()
soft, hard = resource.getrlimit(resource.RLIMIT_NPROC)

if hard != resource.RLIM_INFINITY and hard <= tasks_of(uid) + 1:
    print(json.dumps({"skip": f"the hard process limit ({hard}) leaves no room to test with"}))
    sys.exit(0)

def limited(extra, call):
    limit = tasks_of(uid) + extra
    resource.setrlimit(resource.RLIMIT_NPROC, (limit, hard))
    try:
        return call()
    finally:
        resource.setrlimit(resource.RLIMIT_NPROC, (soft, hard))

def fork_once():
    try:
        pid = os.fork()
    except OSError as e:
        return e.errno
    if pid == 0:
        os._exit(0)
    os.waitpid(pid, 0)
    return 0

if limited(0, fork_once) == 0:
    print(json.dumps({"skip": "the process limit does not stop fork here"}))
    sys.exit(0)

def attempt():
    try:
        s = pellux.Pellux(program, False)
    except BaseException as e:
        return {"type": type(e).__name__, "is_exception": isinstance(e, Exception), "message": str(e)}
    s.close()
    return {"type": None}

pellux.Pellux(program, False).close()  # warm up lazily made state
report = {}
for name, extra in (("fork", 0), ("thread", 1)):
    before = snapshot()
    outcome = limited(extra, attempt)
    report[name] = {"outcome": outcome, "before": before, "after": snapshot()}
s = pellux.Pellux(program, False)
report["answer_after"] = s.send_and_read_until_ready("still works", timeout_ms=10000, quiet_ms=200)
s.close()
print(json.dumps(report))
"""


class TestRefusedStarts:
    @pytest.fixture(scope="class")
    def process_limit(self, tmp_path_factory):
        status, out, err = run_isolated(tmp_path_factory.mktemp("nproc"), PROCESS_LIMIT_DRIVER, CAT, timeout=60)
        assert status == 0, err[-3000:]
        report = json.loads(out.splitlines()[-1])
        if "skip" in report:
            pytest.skip(report["skip"])
        report["stderr"] = err
        return report

    def test_fork_refused_is_an_ordinary_start_error(self, process_limit):
        fork = process_limit["fork"]
        assert fork["outcome"] == {
            "type": "Exception",
            "is_exception": True,
            "message": SPAWN_FAILED.format(CAT, "EAGAIN: Try again"),
        }
        assert fork["after"] == fork["before"]

    def test_reader_thread_refused_is_an_internal_failure_that_ends_the_child(self, process_limit):
        thread = process_limit["thread"]
        outcome = thread["outcome"]
        assert outcome["type"] == "PanicException"
        assert outcome["is_exception"] is False
        assert outcome["message"] == "failed to spawn reader thread: Resource temporarily unavailable (os error 11)"
        assert outcome["message"] in process_limit["stderr"]
        # The program that had already started is ended and collected.
        assert thread["after"] == thread["before"]

    def test_starts_work_again_once_the_limit_is_lifted(self, process_limit):
        assert process_limit["answer_after"] == "still works\n"


# ---------------------------------------------------------------- a program killed


class TestKilledProgram:
    def test_sigkill_during_a_waiting_read_returns_what_came(self, tmp_path, open_sessions):
        pid_file = tmp_path / "pid"
        program = write_program(
            tmp_path / "victim",
            f"""
            import os, sys
            os.write(1, b"first line\\nsecond without end")
            with open({str(pid_file)!r}, "w") as f:
                f.write(f"{{os.getpid()}}\\n")
            sys.stdin.readline()
            """,
        )
        s = start(open_sessions, program, True, ["never-printed> "])
        pid = read_pid(pid_file)
        killer = threading.Timer(0.5, os.kill, (pid, signal.SIGKILL))
        killer.start()
        try:
            text, elapsed = timed(s.read_until_ready, timeout_ms=60_000)
        finally:
            killer.join(10)
        assert text == "first line\nsecond without end"
        assert elapsed < 30, "the read waited for its timeout instead of ending with the output"
        wait_until(lambda: not s.is_alive(), what="the killed program to be collected")
        assert pid not in children_of_host()
        # Nothing more will come: reads end at once, the history has it all.
        again, elapsed = timed(s.read_until_ready, timeout_ms=60_000)
        assert (again, s.read_available()) == ("", "")
        assert elapsed < 30
        assert s.get_history() == text
        _, elapsed = timed(s.close)
        assert elapsed < PROMPTLY_S

    def test_sigkill_while_output_streams_keeps_every_byte_written(self, tmp_path, open_sessions):
        # The program writes a pattern in 64 KiB pieces and records, after
        # each write, how much the terminal has accepted. It is killed in the
        # middle; every byte it had written must come out, in order.
        pattern = printable_pattern(64 * MiB, seed=7, line_feeds=True)
        progress = tmp_path / "progress"
        pid_file = tmp_path / "pid"
        program = write_program(
            tmp_path / "stream",
            f"""
            import os, struct, time
            with open({str(pid_file)!r}, "w") as f:
                f.write(f"{{os.getpid()}}\\n")
            exec({PATTERN_SOURCE!r})
            data = printable_pattern({len(pattern)}, seed=7, line_feeds=True)
            mark = os.open({str(progress)!r}, os.O_WRONLY | os.O_CREAT, 0o644)
            done = 0
            while done < len(data):
                done += os.write(1, data[done : done + 65536])
                os.pwrite(mark, struct.pack("<Q", done), 0)
                time.sleep(0.002)
            time.sleep(60)
            """,
        )
        s = start(open_sessions, program)
        pid = read_pid(pid_file)

        def written():
            raw = progress.read_bytes() if progress.exists() else b""
            return int.from_bytes(raw, "little") if len(raw) == 8 else 0

        wait_until(lambda: written() >= MiB, what="the first MiB")
        os.kill(pid, signal.SIGKILL)
        accepted = written()
        assert accepted < len(pattern), "the program finished before it was killed"

        received = []
        deadline = time.monotonic() + 120
        while True:
            assert time.monotonic() < deadline, "the output never ended"
            piece = s.read_until_ready(timeout_ms=5_000, max_output_bytes=8 * MiB, quiet_ms=200)
            received.append(piece)
            if not piece and not s.is_alive():
                break
        text = "".join(received).encode()
        assert len(text) >= accepted, f"{accepted - len(text)} bytes written before the kill were lost"
        assert first_difference(text, pattern[: len(text)]) is None


# ---------------------------------------------------------------- a stopped program


class TestStoppedProgram:
    @pytest.mark.parametrize("ending", ["close", "drop"])
    @pytest.mark.parametrize("stubborn", [False, True], ids=["plain", "ignores-hup-int-term"])
    def test_a_stopped_program_is_ended_in_bounded_time(self, tmp_path, ending, stubborn):
        pid_file = tmp_path / "pid"
        program = write_program(
            tmp_path / "sleeper",
            f"""
            import os, signal, time
            if {stubborn}:
                for sig in (signal.SIGHUP, signal.SIGINT, signal.SIGTERM):
                    signal.signal(sig, signal.SIG_IGN)
            with open({str(pid_file)!r}, "w") as f:
                f.write(f"{{os.getpid()}}\\n")
            while True:
                time.sleep(1)
            """,
        )
        readers = reader_threads()
        held = [Pellux(program, False)]
        try:
            pid = read_pid(pid_file)
            os.kill(pid, signal.SIGSTOP)
            wait_until(lambda: process_state(pid) == "T", what="the program to stop")
            assert held[0].read_until_ready(timeout_ms=300) == ""
            started = time.monotonic()
            if ending == "close":
                held[0].close()
                assert held[0].is_alive() is False
            else:
                held.clear()  # the last reference
            elapsed = time.monotonic() - started
        finally:
            for s in held:
                s.close()
        assert elapsed < PROMPTLY_S
        assert pid not in children_of_host()
        wait_until(lambda: reader_threads() <= readers, what="the reader thread to end")


# ---------------------------------------------------------------- a host that collects children itself


class TestHostCollectsChildren:
    def test_host_ignoring_child_exits(self, open_sessions):
        # With SIGCHLD ignored the kernel collects children at once, and
        # waitpid finds none.
        previous = signal.signal(signal.SIGCHLD, signal.SIG_IGN)
        try:
            s = start(open_sessions, CAT)
            assert s.send_and_read_until_ready("hello", timeout_ms=20_000, quiet_ms=200) == "hello\n"
            _, elapsed = timed(s.close)
            assert elapsed < PROMPTLY_S
            assert s.is_alive() is False
            t = start(open_sessions, TRUE)
            wait_until(lambda: not t.is_alive(), what="true to be seen gone")
            with pytest.raises(Exception) as info:
                Pellux("/nonexistent/pellux-program", False)
            assert str(info.value) == SPAWN_FAILED.format("/nonexistent/pellux-program", ENOENT)
        finally:
            signal.signal(signal.SIGCHLD, previous)

    def test_exit_status_taken_by_another_thread(self, tmp_path, open_sessions):
        pid_file = tmp_path / "pid"
        program = write_program(
            tmp_path / "one-line",
            f"""
            import os, sys
            with open({str(pid_file)!r}, "w") as f:
                f.write(f"{{os.getpid()}}\\n")
            sys.stdin.readline()
            """,
        )
        s = start(open_sessions, program)
        pid = read_pid(pid_file)
        taken = []
        thief = threading.Thread(target=lambda: taken.append(os.waitpid(pid, 0)), daemon=True)
        thief.start()
        assert s.send_and_read_until_ready("bye", timeout_ms=20_000) == ""
        thief.join(20)
        assert taken and taken[0][0] == pid
        wait_until(lambda: not s.is_alive(), what="the program to be seen gone")
        _, elapsed = timed(s.close)
        assert elapsed < PROMPTLY_S


# ---------------------------------------------------------------- writes to a program that is gone


GONE_PROGRAM_DRIVER = """
import sys, time
import pellux

program, lines, line_bytes = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
s = pellux.Pellux(program, False)
deadline = time.monotonic() + 10
while s.is_alive():
    assert time.monotonic() < deadline, "the program did not exit"
    time.sleep(0.01)
outcomes = {}
for i in range(lines):
    try:
        result = s.send_and_read_until_ready("x" * (line_bytes - 1), timeout_ms=5000)
        key = "returned " + repr(result)
    except RuntimeError as e:
        text = str(e)
        assert text.startswith(("write failed: ", "flush failed: ")), text
        key = "RuntimeError " + text.split(":")[0]
    outcomes[key] = outcomes.get(key, 0) + 1
s.close()
print(outcomes)
"""


KILLED_WHILE_WRITING_DRIVER = """
import os, subprocess, sys, time
import pellux

program, pid_file = sys.argv[1], sys.argv[2]
s = pellux.Pellux(program, False)
deadline = time.monotonic() + 10
while not (os.path.exists(pid_file) and open(pid_file).read().endswith("\\n")):
    assert time.monotonic() < deadline, "no pid"
    time.sleep(0.01)
pid = int(open(pid_file).read())
# Killed from outside one second from now, while the writes below wait for a
# program that does not read.
subprocess.Popen(["/bin/sh", "-c", f"sleep 1; kill -9 {pid}"])
outcome = "all written"
try:
    for i in range(1024):
        # The write may wait up to the timeout; the program dies long before.
        s.send_and_read_until_ready("y" * 1023, timeout_ms=60_000, max_output_bytes=0)
except RuntimeError as e:
    assert str(e).startswith(("write failed: ", "flush failed: ")), e
    outcome = "RuntimeError"
s.close()
print(outcome)
"""


class TestWritesToAProgramThatIsGone:
    def test_first_turns_after_exit_return_nothing_at_once(self, open_sessions):
        s = start(open_sessions, TRUE, True, ["$ "])
        wait_until(lambda: not s.is_alive(), what="true to exit")
        for _ in range(5):
            assert s.send_ctrl_c() is None
            reply, elapsed = timed(s.send_and_read_until_ready, "anyone there?", timeout_ms=60_000)
            assert reply == ""
            assert elapsed < 30, "a read of an exited program waited for its timeout"
        s.close()
        assert s.send_and_read_until_ready("after close", timeout_ms=60_000) == ""
        assert s.send_ctrl_c() is None

    def test_many_turns_after_exit_never_block(self, tmp_path):
        # 1 MiB of input in 1 KiB lines to a program that has exited.
        status, out, err = run_isolated(tmp_path, GONE_PROGRAM_DRIVER, TRUE, 1024, 1024, timeout=20)
        assert status == 0, f"status {status}; {err[-3000:]}"
        assert out.strip().startswith("{")

    def test_a_write_waiting_on_a_program_that_dies_ends(self, tmp_path):
        pid_file = tmp_path / "pid"
        program = tmp_path / "deaf"
        program.write_text(f"#!/bin/sh\necho $$ > {pid_file}\nexec sleep 600\n")
        program.chmod(0o755)
        status, out, err = run_isolated(tmp_path, KILLED_WHILE_WRITING_DRIVER, program, pid_file, timeout=20)
        assert status == 0, f"status {status}; {err[-3000:]}"
        assert out.strip() in ("all written", "RuntimeError")

    def test_a_write_waiting_for_room_lets_other_threads_run(self, tmp_path, open_sessions):
        # The program reads nothing for two seconds, then everything.
        program = tmp_path / "slow-reader"
        program.write_text("#!/bin/sh\nsleep 2\nexec cat >/dev/null\n")
        program.chmod(0o755)
        s = start(open_sessions, program)
        ticks = []
        stop = threading.Event()

        def tick():
            while not stop.is_set():
                ticks.append(time.monotonic())
                time.sleep(0.05)

        ticker = threading.Thread(target=tick, daemon=True)
        ticker.start()
        time.sleep(0.2)
        started = time.monotonic()
        for _ in range(512):  # 512 KiB: far more than the terminal holds
            # A write waits for room up to its timeout; the read after it
            # takes nothing.
            s.send_and_read_until_ready("z" * 1023, timeout_ms=20_000, max_output_bytes=0)
        ended = time.monotonic()
        stop.set()
        ticker.join(timeout=10)
        assert ended - started > 1.0, "the writes never had to wait"
        during = [t for t in ticks if started + 0.2 < t < ended - 0.2]
        assert len(during) >= 3, f"other threads ran {len(during)} times in {ended - started:.1f} s"


# ---------------------------------------------------------------- a program that closes its terminal


class TestProgramClosesItsTerminal:
    @pytest.mark.parametrize("closes", ["output", "every-descriptor"])
    def test_reads_end_quietly_and_close_still_ends_the_program(self, tmp_path, open_sessions, closes):
        pid_file = tmp_path / "pid"
        fds = (1, 2) if closes == "output" else (0, 1, 2)
        program = write_program(
            tmp_path / "closer",
            f"""
            import os, time
            with open({str(pid_file)!r}, "w") as f:
                f.write(f"{{os.getpid()}}\\n")
            os.write(1, b"said before closing\\n")
            time.sleep(0.3)
            for fd in {fds!r}:
                os.close(fd)
            open({str(tmp_path / "closed")!r}, "w").close()
            time.sleep(600)
            """,
        )
        s = start(open_sessions, program)
        pid = read_pid(pid_file)
        wait_until(lambda: (tmp_path / "closed").exists(), what="the program to close its terminal")
        assert s.read_until_ready(timeout_ms=10_000, quiet_ms=300) == "said before closing\n"
        if closes == "output":
            # The terminal is still open on standard input: the read waits
            # out its timeout.
            text, elapsed = timed(s.read_until_ready, timeout_ms=800)
            assert elapsed >= 0.7
        else:
            # Nobody holds the terminal any more: the output has ended, and
            # reads end at once although the program runs on.
            text, elapsed = timed(s.read_until_ready, timeout_ms=60_000)
            assert elapsed < 30
        assert text == ""
        assert s.read_available() == ""
        assert s.is_alive() is True
        _, elapsed = timed(s.close)
        assert elapsed < PROMPTLY_S
        assert s.is_alive() is False
        assert pid not in children_of_host()


# ---------------------------------------------------------------- output without line feeds


class TestOutputWithoutLineFeeds:
    SIZE = 10 * MiB
    PROMPT = "end\u00a7 "

    @pytest.fixture
    def unbroken(self, tmp_path):
        """A program printing 10 MiB with no line feed, in pieces of random
        size, then a prompt; and the bytes it prints."""
        pattern = printable_pattern(self.SIZE, seed=11, line_feeds=False)
        program = write_program(
            tmp_path / "unbroken",
            f"""
            import os, random, sys
            exec({PATTERN_SOURCE!r})
            data = printable_pattern({self.SIZE}, seed=11, line_feeds=False) + {self.PROMPT.encode()!r}
            rng = random.Random(5)
            view = memoryview(data)
            while view:
                piece = view[: rng.randint(1, 256 * 1024)]
                while piece:
                    n = os.write(1, piece)
                    piece, view = piece[n:], view[n:]
            sys.stdin.readline()
            """,
        )
        return program, pattern + self.PROMPT.encode()

    def test_comes_back_whole_across_capped_marker_reads(self, unbroken, open_sessions):
        program, raw = unbroken
        expected = raw.decode()
        s = start(open_sessions, program, True, [self.PROMPT])
        pieces = []
        for _ in range(40):
            piece = s.read_until_ready(timeout_ms=60_000, max_output_bytes=3 * MiB + 17)
            pieces.append(piece)
            if piece.endswith(self.PROMPT):
                break
        assert len(pieces) >= 4  # a cap of 3 MiB cannot take 10 MiB in fewer
        assert first_difference("".join(pieces), expected) is None
        # The history is the last 4 MiB of it, counted in bytes.
        assert first_difference(s.get_history(), raw[-4 * MiB :].decode()) is None

    def test_comes_back_whole_through_read_available(self, unbroken, open_sessions):
        program, raw = unbroken
        expected = raw.decode()
        s = start(open_sessions, program)
        pieces, total = [], 0
        deadline = time.monotonic() + 120
        while total < len(expected):
            assert time.monotonic() < deadline, f"only {total} of {len(expected)} characters came"
            piece = s.read_available(MiB + 3)
            if piece:
                pieces.append(piece)
                total += len(piece)
            else:
                time.sleep(0.005)
        assert first_difference("".join(pieces), expected) is None
        assert s.read_until_ready(timeout_ms=300) == ""


# ---------------------------------------------------------------- a very long marker list


MARKER_COUNT = 10_000


# Shared by the test and the program it drives.
DECOY_SOURCE = textwrap.dedent(
    '''
    def decoy_body(size):
        """Lines that come close to the markers without containing one: five
        digits without the blank, four digits with it."""
        line = "".join(f"ready-{j:05d}>|ready-{j % 10000:04d}> \\n" for j in range(200))
        return (line * (size // len(line) + 1))[:size]
    '''
)
exec(DECOY_SOURCE, _namespace)
decoy_body = _namespace["decoy_body"]


class TestManyMarkers:
    @pytest.fixture
    def prompter(self, tmp_path):
        return write_program(
            tmp_path / "prompter",
            f"""
            import os, sys
            exec({DECOY_SOURCE!r})

            def out(text):
                view = memoryview(text.encode())
                while view:
                    view = view[os.write(1, view):]

            out("ready-00000> ")
            for line in sys.stdin:
                size, which = map(int, line.split())
                out(decoy_body(size) + f"ready-{{which:05d}}> ")
            """,
        )

    def test_ten_thousand_markers_find_the_right_prompt(self, prompter, open_sessions):
        markers = [f"ready-{i:05d}> " for i in range(MARKER_COUNT)]
        s = start(open_sessions, prompter, True, markers)
        assert s.read_until_ready(timeout_ms=60_000, settle_ms=0) == "ready-00000> "
        for size, which in [(0, 9999), (70_000, 7919), (MiB, 4242)]:
            reply, elapsed = timed(
                s.send_and_read_until_ready, f"{size} {which}", timeout_ms=120_000, max_output_bytes=4 * MiB, settle_ms=0
            )
            assert first_difference(reply, decoy_body(size) + f"ready-{which:05d}> ") is None
            # About 1.5 s here for the 1 MiB answer; only a runaway fails.
            assert elapsed < 60
        # The same list, replaced in reverse order, works the same.
        s.set_ready_markers(markers[::-1])
        assert s.send_and_read_until_ready("1000 1", timeout_ms=60_000, settle_ms=0) == decoy_body(1000) + "ready-00001> "


# ---------------------------------------------------------------- command texts a shell would act on


def metacharacter_commands(tmp):
    """Command texts that would each leave a file in `tmp` (the working
    directory) or remove `tmp/x` if a shell ever read them."""
    return [
        "echo hi; rm -rf x",
        "echo hi; touch pwned-semicolon",
        f"$(touch {tmp}/pwned-substitution)",
        "$(touch pwned-substitution-relative)",
        f"`touch {tmp}/pwned-backticks`",
        "true | touch pwned-pipe",
        f"{TRUE} && touch pwned-and",
        "false || touch pwned-or",
        "touch pwned-background &",
        "true > pwned-redirect",
        "true\ntouch pwned-newline",
        "sh -c 'touch pwned-quoted'",
        "${IFS}touch${IFS}pwned-ifs",
    ]


class TestCommandTextIsNeverInterpreted:
    def test_metacharacters_are_part_of_a_program_name_that_does_not_exist(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        (tmp_path / "x").write_text("keep me\n")
        before = children_of_host()
        for command in metacharacter_commands(tmp_path):
            with pytest.raises(Exception) as info:
                Pellux(command, False).close()
            assert type(info.value) is Exception
            assert str(info.value) == SPAWN_FAILED.format(command, ENOENT)
        time.sleep(0.3)  # a shell started in the background would have acted by now
        assert sorted(os.listdir(tmp_path)) == ["x"]
        assert children_of_host() == before

    @pytest.mark.parametrize("interpreter_line", [True, False], ids=["script", "script-without-interpreter-line"])
    def test_a_program_whose_name_has_metacharacters_runs_as_itself(
        self, tmp_path, monkeypatch, open_sessions, interpreter_line
    ):
        # A file with such a name runs as that file; a script without an
        # interpreter line goes to /bin/sh as a file to read, never as text.
        monkeypatch.chdir(tmp_path)
        names = ["a; touch pwned-1", "$(touch pwned-2)", "b | touch pwned-3 && touch pwned-4", "`touch pwned-5`"]
        for name in names:
            path = tmp_path / name
            path.write_text(("#!/bin/sh\n" if interpreter_line else "") + 'echo "ran as $0"\nread line\n')
            path.chmod(0o755)
            s = start(open_sessions, path)
            assert s.read_until_ready(timeout_ms=20_000, quiet_ms=300) == f"ran as {path}\n"
        assert sorted(os.listdir(tmp_path)) == sorted(names)

    def test_a_nul_ends_nothing_early(self, tmp_path, monkeypatch):
        # The text before the NUL names a program that would leave a file:
        # the start fails as a whole and that program never runs.
        monkeypatch.chdir(tmp_path)
        program = tmp_path / "leaves-a-file"
        program.write_text("#!/bin/sh\ntouch ran\n")
        program.chmod(0o755)
        before = children_of_host()
        for command in (f"{program}\0", f"{program}\0; touch pwned", f"\0{program}"):
            with pytest.raises(Exception) as info:
                Pellux(command, False).close()
            assert str(info.value) == SPAWN_FAILED.format(command, EINVAL)
        time.sleep(0.3)
        assert sorted(os.listdir(tmp_path)) == ["leaves-a-file"]
        assert children_of_host() == before
