"""A session's life: closing and its termination sequence, disposal, reset
cycles, the reader thread and the bounded output channel, and what a session
leaves behind (descriptors, threads, zombies: nothing)."""

import ctypes
import gc
import json
import os
import re
import shutil
import signal
import sys
import textwrap
import time

import pytest

import pellux
from support import children_of_host, wait_until

Pellux = pellux.Pellux

CAT = shutil.which("cat")
TRUE = shutil.which("true")
U32_MAX = 2**32 - 1
MiB = 1 << 20


# ---------------------------------------------------------------- helpers


def write_program(path, *parts, interpreter=sys.executable):
    """An executable script made of `parts`, each dedented on its own."""
    body = "".join(textwrap.dedent(part) + "\n" for part in parts)
    path.write_text(f"#!{interpreter}\n" + body)
    path.chmod(0o755)
    return str(path)


def report_code(result_path):
    """Python text defining report(obj): writes obj as JSON, atomically."""
    return textwrap.dedent(
        f"""
        import json as _json, os as _os
        def report(obj):
            with open({result_path!r} + ".tmp", "w") as _f:
                _json.dump(obj, _f)
            _os.replace({result_path!r} + ".tmp", {result_path!r})
        """
    )



def wait_for_report(path, timeout=15.0):
    wait_until(lambda: os.path.exists(path), timeout, f"a report at {path}")
    with open(path) as f:
        return json.load(f)


def collect(session, until, timeout=15.0):
    """read_available until `until(text so far)` holds."""
    text = ""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        text += session.read_available(U32_MAX)
        if until(text):
            return text
        time.sleep(0.02)
    pytest.fail(f"expected output not seen within {timeout} s; got {text[-300:]!r}")



def is_our_child(pid):
    return pid in children_of_host()


def process_state(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
    except OSError:
        return None
    return stat[stat.rindex(")") + 2 :].split()[0]


def fd_targets():
    targets = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            targets[int(name)] = os.readlink(f"/proc/self/fd/{name}")
        except OSError:
            pass  # the descriptor of the listing itself
    return targets


def tasks():
    """{tid: name} of the test process's threads."""
    names = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                names[int(tid)] = f.read().strip()
        except OSError:
            pass  # ended meanwhile
    return names


def reader_tids():
    return {tid for tid, name in tasks().items() if name == "pellux_reader"}


def status_field(path, field):
    with open(path) as f:
        for line in f:
            if line.startswith(field + ":"):
                return line.split(":", 1)[1].strip()
    raise AssertionError(f"{field} missing from {path}")


def vm_rss():
    return int(status_field("/proc/self/status", "VmRSS").split()[0]) * 1024


@pytest.fixture
def give_back_memory():
    """Returns the heap a flood leaves free to the system afterwards, so that
    later tests measuring the host's memory start from a resident size that
    reflects what is in use."""
    yield
    gc.collect()
    ctypes.CDLL(None).malloc_trim(0)


@pytest.fixture
def open_sessions():
    sessions = []
    yield sessions
    for s in sessions:
        s.close()


def start(open_sessions, command, interactive=False):
    s = Pellux(command, interactive)
    open_sessions.append(s)
    return s


# ---------------------------------------------------------------- close


class TestClose:
    def test_close_twice_and_the_closed_state(self, open_sessions):
        s = start(open_sessions, CAT)
        assert s.is_alive() is True
        assert s.close() is None
        started = time.monotonic()
        assert s.close() is None
        assert time.monotonic() - started < 5.0
        assert [s.is_alive() for _ in range(3)] == [False] * 3
        # Every method stays callable; reads find nothing and do not wait
        # out their timeout.
        assert s.read_available() == ""
        started = time.monotonic()
        assert s.read_until_ready(timeout_ms=15000) == ""
        assert time.monotonic() - started < 5.0
        assert s.is_interactive() is False
        assert s.get_initial_command() == CAT

    def test_is_alive_stays_false_after_the_child_exits(self, open_sessions):
        s = start(open_sessions, TRUE)
        wait_until(lambda: not s.is_alive(), what="true to exit")
        assert [s.is_alive() for _ in range(3)] == [False] * 3
        assert s.close() is None
        assert s.is_alive() is False
        assert not any(state == "Z" for state in children_of_host().values())

    def test_output_written_before_close_is_readable_after_close(self, tmp_path, open_sessions):
        done = str(tmp_path / "done.json")
        program = write_program(
            tmp_path / "writer",
            report_code(done),
            """
            import sys, time
            sys.stdout.buffer.write(b"x" * 200000 + b"END")
            sys.stdout.buffer.flush()
            report("written")
            time.sleep(60)
            """,
        )
        s = start(open_sessions, program)
        wait_for_report(done)
        s.close()
        assert s.is_alive() is False
        # read_available takes at most 65,536 bytes per call by default.
        parts = []
        for _ in range(20):
            part = s.read_available()
            if not part:
                break
            assert len(part) <= 65536
            parts.append(part)
        assert "".join(parts) == "x" * 200000 + "END"
        assert len(parts) >= 4
        assert s.read_available() == ""
        assert s.read_available(U32_MAX) == ""


# ---------------------------------------------------------------- termination sequence


SIGNAL_RECORDER = """
import os, signal, sys, time
def record(signum, frame):
    with open(LOG, "a") as f:
        f.write(signal.Signals(signum).name + "\\n")
for name in ("SIGHUP", "SIGCONT", "SIGINT", "SIGTERM"):
    sig = getattr(signal, name)
    signal.signal(sig, record if name in CATCH else signal.SIG_DFL)
report(os.getpid())
while True:
    time.sleep(1)
"""


class TestTerminationSequence:
    # What the child catches (and records), what it records before a signal
    # it does not catch ends it, and how many signals close sends, each
    # followed by a 100 ms pause. SIGCONT's default action keeps it running.
    @pytest.mark.parametrize(
        "catch, recorded, signals_sent",
        [
            ((), [], 1),
            (("SIGHUP",), ["SIGHUP"], 3),
            (("SIGHUP", "SIGCONT", "SIGTERM"), ["SIGHUP", "SIGCONT"], 3),
            (("SIGHUP", "SIGINT"), ["SIGHUP", "SIGINT"], 4),
            (("SIGHUP", "SIGCONT", "SIGINT"), ["SIGHUP", "SIGCONT", "SIGINT"], 4),
            (("SIGHUP", "SIGCONT", "SIGINT", "SIGTERM"), ["SIGHUP", "SIGCONT", "SIGINT", "SIGTERM"], 5),
        ],
        ids=["none", "HUP", "HUP+CONT+TERM", "HUP+INT", "HUP+CONT+INT", "all-catchable"],
    )
    def test_signals_in_order_until_the_child_is_gone(
        self, tmp_path, open_sessions, catch, recorded, signals_sent
    ):
        log = tmp_path / "signals.log"
        ready = str(tmp_path / "ready.json")
        program = write_program(
            tmp_path / "recorder",
            f"LOG = {str(log)!r}\nCATCH = {catch!r}\n",
            report_code(ready),
            SIGNAL_RECORDER,
        )
        s = start(open_sessions, program)
        pid = wait_for_report(ready)
        assert is_our_child(pid)

        started = time.monotonic()
        s.close()
        elapsed = time.monotonic() - started

        got = log.read_text().split() if log.exists() else []
        assert got == recorded
        # The lower bound is the escalation's pauses; the upper one only
        # catches a close that hangs, with room for a loaded machine.
        assert signals_sent * 0.1 - 0.01 < elapsed < 10.0 + signals_sent * 0.1
        # Gone and collected: no zombie left behind.
        assert not is_our_child(pid)
        assert s.is_alive() is False

    def test_signals_go_to_the_child_only(self, tmp_path, open_sessions):
        # Child and group member both ignore SIGHUP and SIGINT; SIGTERM ends
        # the child, and would end the member too were it sent to the group.
        pids = tmp_path / "pids"
        program = write_program(
            tmp_path / "group",
            f"""
            trap '' HUP INT
            sleep 60 &
            echo $! > {pids}.tmp && mv {pids}.tmp {pids}
            exec sleep 60
            """,
            interpreter="/bin/sh",
        )
        s = start(open_sessions, program)
        wait_until(pids.exists, what="the group member's pid")
        member = int(pids.read_text())
        try:
            started = time.monotonic()
            s.close()
            assert 0.39 < time.monotonic() - started < 10.0
            assert s.is_alive() is False
            assert process_state(member) not in (None, "Z")
        finally:
            os.kill(member, signal.SIGKILL)


# ---------------------------------------------------------------- a terminal kept open


# The background sleep ignores SIGHUP from the moment it exists, so the
# hangup of the terminal does not end it; the foreground child dies of it.
HOLDER = """
trap '' HUP
sleep 20 &
echo holder-started
echo $! >> {pids}
trap - HUP
exec sleep 60
"""


class TestTerminalHeldByBackgroundProcess:
    @pytest.mark.parametrize("how", ["close", "dispose", "reset"])
    def test_ending_the_session_does_not_hang(self, tmp_path, how):
        pids = tmp_path / "pids"
        program = write_program(tmp_path / "holder", HOLDER.format(pids=pids), interpreter="/bin/sh")
        holders = []
        s = Pellux(program, False)
        try:
            wait_until(lambda: pids.exists() and pids.read_text().count("\n") == 1, what="a holder")
            started = time.monotonic()
            if how == "close":
                s.close()
            elif how == "dispose":
                del s
            else:
                s.reset()
            elapsed = time.monotonic() - started
            # One pause for SIGHUP, then at most the reader's grace period of
            # 500 ms before it is stopped.
            assert 0.5 < elapsed < 10.0
            holders = [int(p) for p in pids.read_text().split()]
            # The background process is left alone.
            assert process_state(holders[0]) not in (None, "Z")
            if how == "close":
                assert s.is_alive() is False
                assert "holder-started" in s.read_available(U32_MAX)
                assert s.read_available() == ""
            if how == "reset":
                assert s.is_alive() is True
                wait_until(lambda: pids.read_text().count("\n") == 2, what="the second holder")
        finally:
            if how != "dispose":
                s.close()
            holders = [int(p) for p in pids.read_text().split()] if pids.exists() else holders
            for pid in holders:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass


# ---------------------------------------------------------------- disposal and reset


class TestDisposalAndReset:
    def test_dropping_the_object_ends_child_and_reader(self, tmp_path):
        ready = str(tmp_path / "ready.json")
        program = write_program(
            tmp_path / "sleeper", report_code(ready), "import os, time\nreport(os.getpid())\ntime.sleep(60)"
        )
        readers = reader_tids()
        s = Pellux(program, False)
        try:
            pid = wait_for_report(ready)
            assert len(reader_tids() - readers) == 1
        except BaseException:
            s.close()
            raise
        del s
        assert not is_our_child(pid)
        assert reader_tids() <= readers

    @pytest.mark.parametrize("interactive", [False, True])
    def test_reset_starts_a_new_child_for_the_same_command(self, tmp_path, open_sessions, interactive):
        pids = tmp_path / "pids"
        program = write_program(
            tmp_path / "prób ✓ x",
            f"""
            import os, sys
            with open({str(pids)!r}, "a") as f:
                f.write(f"{{os.getpid()}}\\n")
            sys.stdin.readline()
            """,
        )
        s = start(open_sessions, program, interactive)
        wait_until(lambda: pids.exists() and len(pids.read_text().split()) == 1, what="the first child")
        s.reset()
        wait_until(lambda: len(pids.read_text().split()) == 2, what="the second child")
        first, second = map(int, pids.read_text().split())
        assert first != second
        assert not is_our_child(first)
        assert is_our_child(second) and s.is_alive()
        assert s.get_initial_command() == program
        assert s.is_interactive() is interactive

    def test_reset_after_close_and_after_exit(self, open_sessions):
        s = start(open_sessions, CAT)
        s.close()
        s.reset()
        assert s.is_alive() is True
        s2 = start(open_sessions, TRUE)
        wait_until(lambda: not s2.is_alive(), what="true to exit")
        s2.reset()
        wait_until(lambda: not s2.is_alive(), what="the new true to exit")


# ---------------------------------------------------------------- nothing left behind


def snapshot():
    return {
        # Targets, not numbers: a closed session keeps its master, writer and
        # wake descriptors, which a reset renumbers.
        "fds": sorted(fd_targets().values()),
        "tasks": sorted(tasks()),
        "children": children_of_host(),
    }


class TestNothingLeftBehind:
    def test_spawn_close_cycles(self, tmp_path):
        plain = tmp_path / "plain"
        plain.write_text("data\n")
        Pellux(CAT, False).close()
        before = snapshot()
        for i in range(50):
            if i % 10 == 9:
                with pytest.raises(Exception):
                    Pellux(str(plain), False)
                continue
            s = Pellux(CAT if i % 2 else TRUE, i % 3 == 0)
            if i % 4 == 0:
                s.read_available()
            if i % 5 == 3:
                del s  # disposal without close
            else:
                s.close()
                del s
        assert snapshot() == before

    def test_reset_cycles(self):
        s = Pellux(CAT, False)
        s.reset()
        s.close()
        before = snapshot()
        s.reset()
        for i in range(20):
            if i % 3 == 2:
                s.close()
            s.reset()
        s.close()
        assert snapshot() == before
        del s
        assert children_of_host() == {}


# ---------------------------------------------------------------- the reader thread


ASYNC_SIGNALS = [
    signal.SIGHUP,
    signal.SIGINT,
    signal.SIGQUIT,
    signal.SIGUSR1,
    signal.SIGUSR2,
    signal.SIGPIPE,
    signal.SIGALRM,
    signal.SIGTERM,
    signal.SIGCHLD,
    signal.SIGWINCH,
]


class TestReaderThread:
    def test_one_named_reader_per_session_with_signals_blocked(self, open_sessions):
        main_mask = status_field(f"/proc/self/task/{os.getpid()}/status", "SigBlk")
        before = reader_tids()
        s = start(open_sessions, CAT)
        # The thread names itself once it runs.
        (tid,) = wait_until(lambda: reader_tids() - before, what="a thread named pellux_reader")
        blocked = int(status_field(f"/proc/self/task/{tid}/status", "SigBlk"), 16)
        for sig in ASYNC_SIGNALS:
            assert blocked & (1 << (sig - 1)), f"{sig.name} is not blocked in the reader"
        # Spawning left the calling thread's mask as it was.
        assert status_field(f"/proc/self/task/{os.getpid()}/status", "SigBlk") == main_mask
        s.close()
        assert tid not in reader_tids()

    def test_signals_to_the_host_do_not_end_output_capture(self, tmp_path, open_sessions):
        program = write_program(
            tmp_path / "ticker",
            """
            import sys, time
            for i in range(20):
                print(f"tick {i}", flush=True)
                time.sleep(0.05)
            line = sys.stdin.readline()
            print("late:" + line.strip(), flush=True)
            """,
        )
        alarms = []
        previous = signal.signal(signal.SIGALRM, lambda *_: alarms.append(1))
        s = start(open_sessions, program)
        text = ""
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
            deadline = time.monotonic() + 15
            while "tick 19" not in text and time.monotonic() < deadline:
                text += s.read_until_ready(timeout_ms=100, quiet_ms=50)
                text += s.read_available()
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0, 0)
            signal.signal(signal.SIGALRM, previous)
        assert len(alarms) > 3  # handlers ran while output was being captured
        assert "tick 19" in text
        s.send_and_read_until_ready("after-alarms", timeout_ms=0)
        collect(s, lambda t: "late:after-alarms" in t)
        # Everything read went through the history, in order and complete.
        assert re.findall(r"tick \d+", s.get_history()) == [f"tick {i}" for i in range(20)]

    def test_unread_output_is_bounded_and_never_lost(self, tmp_path, give_back_memory, open_sessions):
        # The channel holds 64 MiB; past that the reader stops reading and the
        # child blocks in its writes until reads make room.
        total_mib = 300
        progress = tmp_path / "progress"
        baseline = vm_rss()
        s = start(open_sessions, flood_program(tmp_path, total_mib, progress))
        written = wait_for_stall(progress, total_mib)
        growth = vm_rss() - baseline
        assert growth < 200 * MiB, f"host grew by {growth / MiB:.0f} MiB"
        assert 32 <= written < total_mib

        received = 0
        deadline = time.monotonic() + 90
        while received < total_mib * MiB and time.monotonic() < deadline:
            text = s.read_available(8 * MiB)
            if text:
                assert text.count("x") == len(text)
                received += len(text)
            else:
                time.sleep(0.01)
        assert received == total_mib * MiB
        wait_until(lambda: not s.is_alive(), what="the flood to end")
        assert s.read_until_ready(timeout_ms=2000, quiet_ms=200) == ""

    def test_close_while_the_reader_waits_for_room(self, tmp_path, give_back_memory, open_sessions):
        total_mib = 100
        progress = tmp_path / "progress"
        s = start(open_sessions, flood_program(tmp_path, total_mib, progress))
        written = wait_for_stall(progress, total_mib)
        assert written < total_mib
        started = time.monotonic()
        s.close()
        assert time.monotonic() - started < 10.0
        assert s.is_alive() is False
        # What was queued stays readable, then reads come back empty. The
        # bound held through the close: the queue's 64 MiB count its chunks'
        # storage and bookkeeping, so a little less than that is output.
        text = s.read_available(U32_MAX)
        assert 63 * MiB <= len(text) <= 64 * MiB
        assert text.count("x") == len(text)
        del text
        assert s.read_available(U32_MAX) == ""


def flood_program(tmp_path, total_mib, progress):
    """A child writing `total_mib` MiB of "x", counting MiB in `progress`."""
    return write_program(
        tmp_path / "flood",
        f"""
        import os, sys
        chunk = b"x" * {MiB}
        for i in range({total_mib}):
            sys.stdout.buffer.write(chunk)
            sys.stdout.buffer.flush()
            with open({str(progress)!r} + ".tmp", "w") as f:
                f.write(str(i + 1))
            os.replace({str(progress)!r} + ".tmp", {str(progress)!r})
        """,
    )


def wait_for_stall(progress, total_mib, timeout=60.0):
    """MiB written once the flood stops advancing for a second (or ends)."""

    def written():
        return int(progress.read_text()) if progress.exists() else 0

    last, last_change, deadline = -1, time.monotonic(), time.monotonic() + timeout
    while time.monotonic() < deadline:
        now = written()
        if now != last:
            last, last_change = now, time.monotonic()
        elif time.monotonic() - last_change > 1.0 or now == total_mib:
            return now
        time.sleep(0.05)
    pytest.fail(f"the flood neither stalled nor ended within {timeout} s")
