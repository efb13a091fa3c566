"""The program a Pellux session runs: how it is found and started, why a
start fails, and the world it sees inside its pseudo-terminal."""

import ctypes
import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import pellux
from support import wait_until, write_script as write_program

Pellux = pellux.Pellux

CAT = shutil.which("cat")
TRUE = shutil.which("true")
SPAWN_FAILED = "Failed to spawn process with command '{}': {}"
ENOENT = "ENOENT: No such file or directory"
EACCES = "EACCES: Permission denied"
EINVAL = "EINVAL: Invalid argument"


# ---------------------------------------------------------------- helpers



def report_code(result_path):
    """Python text that defines report(obj): writes obj as JSON to
    `result_path`, atomically, so a reader never sees half of it."""
    return textwrap.dedent(
        f"""
        import json as _json, os as _os
        def report(obj):
            _os.makedirs({os.path.dirname(result_path)!r}, exist_ok=True)
            with open({result_path!r} + ".tmp", "w") as _f:
                _json.dump(obj, _f)
            _os.replace({result_path!r} + ".tmp", {result_path!r})
        """
    )


def wait_for_report(path, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(path):
            with open(path) as f:
                return json.load(f)
        time.sleep(0.02)
    pytest.fail(f"no report at {path} within {timeout} s")



def read_until_exit(session, timeout=15.0):
    """Everything the child prints until it has exited and its output is
    drained."""
    out = []
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        alive = session.is_alive()
        text = session.read_available(2**32 - 1)
        out.append(text)
        if not alive and not text:
            # The reader thread may still be moving the last bytes; one more
            # quiet read bounds that.
            out.append(session.read_until_ready(timeout_ms=300, quiet_ms=100))
            return "".join(out)
        if not text:
            time.sleep(0.02)
    pytest.fail(f"the child did not exit within {timeout} s")


def children_of(pid):
    """(pid, state) of every process whose parent is `pid`."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2 :].split()
        if int(fields[1]) == pid:
            found.append((int(entry), fields[0]))
    return found


def zombies():
    return [pid for pid, state in children_of(os.getpid()) if state == "Z"]


def fd_targets():
    targets = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            targets[int(name)] = os.readlink(f"/proc/self/fd/{name}")
        except OSError:
            pass  # the descriptor of the listing itself
    return targets


def status_field(path, field):
    with open(path) as f:
        for line in f:
            if line.startswith(field + ":"):
                return line.split(":", 1)[1].strip()
    raise AssertionError(f"{field} missing from {path}")


def host_c_environ():
    environ = ctypes.POINTER(ctypes.c_char_p).in_dll(ctypes.CDLL(None), "environ")
    items = []
    while environ[len(items)] is not None:
        items.append(environ[len(items)].decode("utf-8", "surrogateescape"))
    return items


def sig_bit(sig):
    return 1 << (int(sig) - 1)


@pytest.fixture
def open_sessions():
    """Sessions to close at the end of the test, whatever happens."""
    sessions = []
    yield sessions
    for s in sessions:
        s.close()


def start(open_sessions, command, interactive=False):
    s = Pellux(command, interactive)
    open_sessions.append(s)
    return s


def spawn_error(command):
    with pytest.raises(Exception) as info:
        s = Pellux(command, False)
        s.close()
    assert type(info.value) is Exception
    assert len(info.value.args) == 1
    return str(info.value)


# ---------------------------------------------------------------- starting


class TestSpawnFailures:
    @pytest.mark.parametrize(
        "make_command, errno_text",
        [
            pytest.param(lambda tmp: "/nonexistent-dir/pellux-missing", ENOENT, id="missing-absolute"),
            pytest.param(lambda tmp: "pellux-no-such-program-on-path", ENOENT, id="missing-bare-name"),
            pytest.param(lambda tmp: "", ENOENT, id="empty"),
            # The whole text is the program name: no shell, no splitting.
            pytest.param(lambda tmp: f"{CAT} /etc/hostname", ENOENT, id="program-and-argument"),
            pytest.param(lambda tmp: f"{TRUE} ", ENOENT, id="trailing-blank"),
            pytest.param(lambda tmp: f"{TRUE}; {TRUE}", ENOENT, id="shell-syntax"),
            pytest.param(lambda tmp: str(tmp), EACCES, id="directory"),
            pytest.param(lambda tmp: f"{TRUE}\0 --version", EINVAL, id="nul-in-command"),
            pytest.param(lambda tmp: "\0", EINVAL, id="only-nul"),
            pytest.param(lambda tmp: "/" + "n" * 300, "ENAMETOOLONG: File name too long", id="name-too-long"),
            pytest.param(lambda tmp: "n" * 300, "ENAMETOOLONG: File name too long", id="bare-name-too-long"),
            pytest.param(lambda tmp: str(tmp / "loop"), "ELOOP: Too many symbolic links encountered", id="symlink-loop"),
            pytest.param(lambda tmp: str(tmp / "orphan-script"), ENOENT, id="missing-interpreter"),
        ],
    )
    def test_message(self, tmp_path, make_command, errno_text):
        (tmp_path / "loop").symlink_to(tmp_path / "loop2")
        (tmp_path / "loop2").symlink_to(tmp_path / "loop")
        write_program(tmp_path / "orphan-script", "", interpreter="/nonexistent/interpreter")
        command = make_command(tmp_path)
        assert spawn_error(command) == SPAWN_FAILED.format(command, errno_text)

    def test_non_executable_file(self, tmp_path):
        # Even root may not execute a file without any execute bit.
        plain = tmp_path / "plain-file"
        plain.write_text("#!/bin/sh\necho never\n")
        plain.chmod(0o644)
        assert spawn_error(str(plain)) == SPAWN_FAILED.format(plain, EACCES)

    def test_non_executable_file_found_along_path(self, tmp_path, monkeypatch):
        (tmp_path / "a").mkdir()
        plain = tmp_path / "a" / "pellux-plain-probe"
        plain.write_text("#!/bin/sh\n")
        plain.chmod(0o644)
        monkeypatch.setenv("PATH", f"{tmp_path / 'a'}:{os.environ['PATH']}")
        assert spawn_error("pellux-plain-probe") == SPAWN_FAILED.format("pellux-plain-probe", EACCES)

    def test_unicode_command_in_message(self):
        command = "/nonexistent/prógram ✓"
        assert spawn_error(command) == SPAWN_FAILED.format(command, ENOENT)

    def test_failed_spawns_leave_no_zombie_descriptor_or_thread(self, tmp_path):
        plain = tmp_path / "plain"
        plain.write_text("data\n")
        commands = ["/nonexistent/x", "pellux-missing-name", str(plain), str(tmp_path), "a\0b"]
        for command in commands:  # warm up lazily created state
            spawn_error(command)
        fds, tasks = fd_targets(), sorted(os.listdir("/proc/self/task"))
        for _ in range(4):
            for command in commands:
                spawn_error(command)
        assert zombies() == []
        assert [pid for pid, _ in children_of(os.getpid())] == []
        assert fd_targets() == fds
        assert sorted(os.listdir("/proc/self/task")) == tasks

    def test_failing_child_does_not_run_the_hosts_exit_handlers(self, tmp_path):
        # A child that fails between fork and exec must end with _exit: a
        # normal exit would run the exit handlers it inherited from the host.
        compiler = shutil.which("cc") or shutil.which("gcc")
        if compiler is None:
            pytest.skip("no C compiler to build the exit-handler library")
        source = tmp_path / "mark.c"
        source.write_text(
            textwrap.dedent(
                """
                #include <fcntl.h>
                #include <stdio.h>
                #include <stdlib.h>
                #include <string.h>
                #include <unistd.h>
                static void mark(void) {
                    const char* path = getenv("PELLUX_EXIT_MARKS");
                    if (path == NULL) return;
                    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
                    if (fd < 0) return;
                    char line[32];
                    int n = snprintf(line, sizeof line, "%d\\n", (int)getpid());
                    ssize_t ignored = write(fd, line, (size_t)n);
                    (void)ignored;
                    close(fd);
                }
                __attribute__((constructor)) static void install(void) { atexit(mark); }
                """
            )
        )
        library = tmp_path / "libmark.so"
        subprocess.run([compiler, "-shared", "-fPIC", "-o", str(library), str(source)], check=True, timeout=120)
        marks = tmp_path / "marks"
        code = textwrap.dedent(
            f"""
            import ctypes, os, pellux
            ctypes.CDLL({str(library)!r})
            for command in ("/nonexistent/x", "/", "pellux-missing-name", "{tmp_path}"):
                try:
                    pellux.Pellux(command, False)
                except Exception:
                    pass
            print(os.getpid())
            """
        )
        result = subprocess.run(
            [sys.executable, "-c", code],
            env={**os.environ, "PELLUX_EXIT_MARKS": str(marks)},
            capture_output=True,
            text=True,
            timeout=60,
            check=True,
        )
        # Only the host itself ran its handler, once, when it exited.
        assert marks.read_text().split() == [result.stdout.strip()]

    def test_spawn_is_not_broken_by_signals_while_waiting_for_exec(self, monkeypatch):
        # A long PATH makes the child's search take a while, so the host's
        # wait for the exec status is interrupted by the timer's signals.
        fake_dirs = [f"/pellux-nowhere/{i}" for i in range(3000)]
        monkeypatch.setenv("PATH", ":".join(fake_dirs + [os.path.dirname(TRUE)]))
        alarms = []
        previous = signal.signal(signal.SIGALRM, lambda *_: alarms.append(1))
        failures = []
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
            for _ in range(20):
                try:
                    s = Pellux("true", False)
                except Exception as e:  # noqa: BLE001 - collected for the assert
                    failures.append(str(e))
                else:
                    s.close()
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0, 0)
            signal.signal(signal.SIGALRM, previous)
        assert failures == []
        assert alarms, "the timer never fired"


    def test_running_out_of_descriptors(self):
        # With the open-file limit just above what is open, construction
        # fails (the child inherits the limit, so it fails too while it
        # prepares the terminal) until there is room for the whole session.
        code = textwrap.dedent(
            """
            import json, os, resource, sys
            import pellux
            soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
            before = sorted(os.listdir("/proc/self/fd"))

            def is_open(fd):
                try:
                    os.fstat(fd)
                    return True
                except OSError:
                    return False

            def limit_leaving(spare):
                # New descriptors take the lowest free numbers, which must
                # lie below the limit: leave exactly `spare` of them.
                free, n = 0, 0
                while free < spare or is_open(n):
                    free += not is_open(n)
                    n += 1
                return n

            outcomes = []
            for spare in range(8):
                resource.setrlimit(resource.RLIMIT_NOFILE, (limit_leaving(spare), hard))
                try:
                    s = pellux.Pellux(sys.argv[1], False)
                except BaseException as e:
                    outcomes.append([type(e).__name__, str(e)])
                else:
                    outcomes.append(["started", ""])
                    s.close()
                    del s
                finally:
                    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
            children = []
            for p in filter(str.isdigit, os.listdir("/proc")):
                try:
                    with open(f"/proc/{p}/stat") as f:
                        if f.read().rsplit(")", 1)[1].split()[1] == str(os.getpid()):
                            children.append(p)
                except OSError:
                    pass  # ended meanwhile
            print(json.dumps({"outcomes": outcomes, "leaked": before != sorted(os.listdir("/proc/self/fd")),
                              "children": children}))
            """
        )
        result = subprocess.run(
            [sys.executable, "-c", code, CAT], capture_output=True, text=True, timeout=60, check=True
        )
        report = json.loads(result.stdout)
        outcomes = report["outcomes"]
        emfile = ["Exception", SPAWN_FAILED.format(CAT, "EMFILE: Too many open files")]
        # No room for the master and the exec-status pipe (3 descriptors), or
        # for the child's own first open (a 4th).
        assert outcomes[:4] == [emfile] * 4
        assert outcomes[-1] == ["started", ""]
        first_start = outcomes.index(["started", ""])
        for kind, message in outcomes[3:first_start]:
            assert kind == "Exception"  # a resource shortage is an ordinary start failure
            assert "Too many open files" in message
        assert outcomes[first_start:] == [["started", ""]] * (len(outcomes) - first_start)
        assert report["leaked"] is False
        assert report["children"] == []

    @pytest.mark.parametrize("closed", [0, 1, 2])
    def test_host_without_a_standard_descriptor(self, tmp_path, closed):
        # The master must not take the free number 0, 1 or 2 and then be
        # closed over the slave in the child: either the start fails with
        # EBADF, or the child still has the terminal as 0, 1 and 2.
        result = tmp_path / "child.json"
        probe = write_program(
            tmp_path / "fd-probe",
            report_code(str(result))
            + textwrap.dedent(
                """
                import os
                fds = {}
                for name in os.listdir("/proc/self/fd"):
                    try:
                        fds[name] = os.readlink("/proc/self/fd/" + name)
                    except OSError:
                        pass
                report(fds)
                """
            ),
        )
        code = textwrap.dedent(
            f"""
            import json, os, sys, time
            import pellux
            os.close({closed})
            try:
                s = pellux.Pellux({probe!r}, False)
            except Exception as e:
                outcome = {{"error": str(e)}}
            else:
                deadline = time.monotonic() + 15
                while not os.path.exists({str(result)!r}) and time.monotonic() < deadline:
                    time.sleep(0.02)
                outcome = {{"child": json.load(open({str(result)!r})) if os.path.exists({str(result)!r}) else None}}
                s.close()
            with open({str(tmp_path / "outcome.json")!r}, "w") as f:
                json.dump(outcome, f)
            """
        )
        subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=60, check=True)
        outcome = json.loads((tmp_path / "outcome.json").read_text())
        if "error" in outcome:
            assert outcome["error"] == SPAWN_FAILED.format(probe, "EBADF: Bad file number")
        else:
            child = outcome["child"]
            assert child is not None, "the child died before it could report"
            assert sorted(child) == ["0", "1", "2"]
            assert len(set(child.values())) == 1 and child["0"].startswith("/dev/pts/")


class TestProgramLookup:
    def probe(self, path, result):
        return write_program(
            path,
            report_code(result)
            + "import sys, os\nreport({'argv': sys.argv, 'cwd': os.getcwd()})\n",
        )

    def test_file_name_with_blank_is_run_as_is(self, tmp_path, open_sessions):
        program = self.probe(tmp_path / "my program --flag", str(tmp_path / "r.json"))
        start(open_sessions, program)
        # The argument vector is the command text alone.
        assert wait_for_report(str(tmp_path / "r.json"))["argv"] == [program]

    def test_bare_name_is_found_along_path(self, tmp_path, monkeypatch, open_sessions):
        (tmp_path / "bin").mkdir()
        program = self.probe(tmp_path / "bin" / "pellux-path-probe", str(tmp_path / "r.json"))
        monkeypatch.setenv("PATH", f"/nonexistent:{tmp_path / 'bin'}:{os.environ['PATH']}")
        s = start(open_sessions, "pellux-path-probe")
        assert wait_for_report(str(tmp_path / "r.json"))["argv"] == [program]
        assert s.get_initial_command() == "pellux-path-probe"

    def test_non_executable_match_is_skipped_for_a_later_one(self, tmp_path, monkeypatch, open_sessions):
        (tmp_path / "a").mkdir()
        (tmp_path / "b").mkdir()
        shadow = tmp_path / "a" / "pellux-probe"
        shadow.write_text("#!/bin/sh\n")
        shadow.chmod(0o644)
        program = self.probe(tmp_path / "b" / "pellux-probe", str(tmp_path / "r.json"))
        monkeypatch.setenv("PATH", f"{tmp_path / 'a'}:{tmp_path / 'b'}")
        start(open_sessions, "pellux-probe")
        assert wait_for_report(str(tmp_path / "r.json"))["argv"] == [program]

    def test_absolute_path_needs_no_path_search(self, tmp_path, monkeypatch, open_sessions):
        program = self.probe(tmp_path / "probe", str(tmp_path / "r.json"))
        monkeypatch.setenv("PATH", str(tmp_path / "empty"))
        start(open_sessions, program)
        assert wait_for_report(str(tmp_path / "r.json"))["argv"] == [program]

    def test_relative_path_with_slash_is_taken_from_working_directory(
        self, tmp_path, monkeypatch, open_sessions
    ):
        (tmp_path / "sub").mkdir()
        self.probe(tmp_path / "sub" / "probe", str(tmp_path / "r.json"))
        monkeypatch.chdir(tmp_path)
        monkeypatch.setenv("PATH", "/nonexistent")
        start(open_sessions, "sub/probe")
        report = wait_for_report(str(tmp_path / "r.json"))
        assert report["argv"] == ["sub/probe"]
        assert report["cwd"] == str(tmp_path)

    def test_without_path_the_system_directories_are_searched(self, monkeypatch, open_sessions):
        monkeypatch.delenv("PATH")
        s = start(open_sessions, "true")
        wait_until(lambda: not s.is_alive(), what="true to exit")

    def test_script_without_interpreter_line_runs_through_sh(self, tmp_path, open_sessions):
        # The exec of a text file without "#!" fails with ENOEXEC; the
        # program search hands such a file to /bin/sh, as execvp does.
        script = tmp_path / "plain-script"
        script.write_text("echo ran-by-sh-$((6 * 7))\n")
        script.chmod(0o755)
        s = start(open_sessions, str(script))
        assert "ran-by-sh-42" in read_until_exit(s)


# ---------------------------------------------------------------- the child's view


@pytest.fixture
def probe_report(tmp_path, open_sessions):
    """Runs a probe that records, from inside the child, what it sees."""
    result = str(tmp_path / "probe.json")
    body = report_code(result) + textwrap.dedent(
        """
        import os, sys, termios
        fds = {}
        for name in os.listdir("/proc/self/fd"):
            try:
                fds[name] = os.readlink("/proc/self/fd/" + name)
            except OSError:
                pass  # the listing's own descriptor, closed again
        with open("/proc/self/stat") as f:
            tty_nr = int(f.read().rsplit(")", 1)[1].split()[4])
        iflag, oflag, cflag, lflag = termios.tcgetattr(0)[:4]
        tty = os.open("/dev/tty", os.O_RDWR)
        os.close(tty)
        report({
            "fds": fds,
            "pid": os.getpid(), "pgid": os.getpgid(0), "sid": os.getsid(0),
            "foreground": os.tcgetpgrp(0),
            "tty_nr": tty_nr,
            "rdev": [os.fstat(fd).st_rdev for fd in (0, 1, 2)],
            "ttyname": [os.ttyname(fd) for fd in (0, 1, 2)],
            "size": list(os.get_terminal_size(0)),
            "iflag": iflag, "oflag": oflag, "lflag": lflag,
            "environ": open("/proc/self/environ", "rb").read().decode("utf-8", "surrogateescape"),
        })
        sys.stdin.readline()  # stay alive until the test is done
        """
    )
    program = write_program(tmp_path / "probe", body)
    start(open_sessions, program)
    return wait_for_report(result)


class TestChildView:
    def test_only_the_terminal_is_open_as_0_1_2(self, probe_report):
        fds = probe_report["fds"]
        assert sorted(fds) == ["0", "1", "2"]
        assert len(set(fds.values())) == 1
        assert fds["0"].startswith("/dev/pts/")

    def test_session_leader_with_the_terminal_as_controlling_terminal(self, probe_report):
        r = probe_report
        assert r["pgid"] == r["sid"] == r["pid"]
        assert r["foreground"] == r["pid"]
        assert r["rdev"][0] == r["rdev"][1] == r["rdev"][2] == r["tty_nr"] != 0
        assert r["ttyname"] == [r["fds"]["0"]] * 3

    def test_window_is_80_by_24(self, probe_report):
        assert probe_report["size"] == [80, 24]

    def test_terminal_modes(self, probe_report):
        import termios

        lflag, oflag = probe_report["lflag"], probe_report["oflag"]
        assert not lflag & termios.ECHO
        # Line input, signal characters and output processing stay on.
        assert lflag & termios.ICANON and lflag & termios.ISIG
        assert oflag & termios.OPOST and oflag & termios.ONLCR

    def test_environment_is_inherited_unchanged(self, tmp_path, monkeypatch, open_sessions):
        monkeypatch.delenv("TERM", raising=False)
        monkeypatch.setenv("PELLUX_TEST_VALUE", "a b=c \u2713")
        result = str(tmp_path / "env.json")
        program = write_program(
            tmp_path / "env-probe",
            report_code(result)
            + "report(open('/proc/self/environ', 'rb').read().decode('utf-8', 'surrogateescape'))\n",
        )
        start(open_sessions, program)
        raw = wait_for_report(result)
        child_env = [item for item in raw.split("\0") if item]
        # The process environment, which C code in the host (readline, for
        # one) may have changed behind os.environ's back.
        assert child_env == host_c_environ()
        assert "PELLUX_TEST_VALUE=a b=c \u2713" in child_env
        assert not any(item.startswith("TERM=") for item in child_env)

    def test_working_directory_is_inherited(self, tmp_path, monkeypatch, open_sessions):
        work = tmp_path / "work dir"
        work.mkdir()
        monkeypatch.chdir(work)
        result = str(tmp_path / "cwd.json")
        program = write_program(tmp_path / "cwd-probe", report_code(result) + "import os\nreport(os.getcwd())\n")
        start(open_sessions, program)
        assert wait_for_report(result) == str(work)

    def test_stty_reports_24_rows_80_columns(self, tmp_path, open_sessions):
        program = write_program(tmp_path / "stty-size", "exec stty size\n", interpreter="/bin/sh")
        s = start(open_sessions, program)
        assert read_until_exit(s).split() == ["24", "80"]

    def test_input_is_not_echoed(self, tmp_path, open_sessions):
        program = write_program(
            tmp_path / "shout",
            """
            import sys
            line = sys.stdin.readline()
            sys.stdout.write("got:" + line.strip().upper() + "\\n")
            """,
        )
        s = start(open_sessions, program)
        s.send_and_read_until_ready("quiet please", timeout_ms=0)
        out = read_until_exit(s)
        assert out.replace("\r", "").strip() == "got:QUIET PLEASE"

    def test_sigpipe_default_and_signal_state_inherited(self, tmp_path, open_sessions):
        # The interpreter ignores SIGPIPE; the child gets the default back,
        # and otherwise inherits the host's ignored set and signal mask.
        host_ignored = int(status_field("/proc/self/status", "SigIgn"), 16)
        host_blocked = int(status_field(f"/proc/self/task/{os.getpid()}/status", "SigBlk"), 16)
        assert host_ignored & sig_bit(signal.SIGPIPE), "precondition: host ignores SIGPIPE"
        program = write_program(tmp_path / "sigstate", "exec cat /proc/self/status\n", interpreter="/bin/sh")
        s = start(open_sessions, program)
        out = read_until_exit(s)
        fields = dict(line.split(":", 1) for line in out.splitlines() if ":" in line)
        assert int(fields["SigIgn"].strip(), 16) == host_ignored & ~sig_bit(signal.SIGPIPE)
        assert int(fields["SigBlk"].strip(), 16) == host_blocked
        assert int(fields["SigCgt"].strip(), 16) == 0

    def test_ctrl_c_interrupts_the_foreground_program(self, open_sessions):
        s = start(open_sessions, CAT)
        assert s.is_alive()
        s.send_ctrl_c()
        wait_until(lambda: not s.is_alive(), what="cat to die of SIGINT")


# ---------------------------------------------------------------- the host's descriptors


LISTER = textwrap.dedent(
    """
    import json, os, sys
    fds = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            fds[name] = os.readlink("/proc/self/fd/" + name)
        except OSError:
            pass
    with open(sys.argv[1], "w") as f:
        json.dump(fds, f)
    """
)


class TestHostDescriptors:
    @pytest.fixture
    def running(self, tmp_path, open_sessions):
        """A session, the host descriptors it added, and its slave's name."""
        before = fd_targets()
        result = str(tmp_path / "tty.json")
        program = write_program(
            tmp_path / "tty-probe",
            report_code(result) + "import os, sys\nreport(os.ttyname(0))\nsys.stdin.readline()\n",
        )
        start(open_sessions, program)
        slave = wait_for_report(result)
        added = {fd: t for fd, t in fd_targets().items() if before.get(fd) != t}
        return added, slave

    def test_every_session_descriptor_is_close_on_exec(self, running):
        added, slave = running
        assert "/dev/ptmx" in added.values()
        # The host never opens the slave side itself.
        assert slave not in fd_targets().values()
        for fd in added:
            with open(f"/proc/self/fdinfo/{fd}") as f:
                flags = int(status_field(f.name, "flags"), 8)
            assert flags & os.O_CLOEXEC, f"descriptor {fd} ({added[fd]}) is inherited by exec"

    @pytest.mark.parametrize("how", ["subprocess", "os.system"])
    def test_programs_the_host_starts_hold_none_of_them(self, tmp_path, running, how):
        added, slave = running
        lister = tmp_path / "lister.py"
        lister.write_text(LISTER)
        result = tmp_path / "fds.json"
        if how == "subprocess":
            subprocess.run([sys.executable, str(lister), str(result)], close_fds=False, timeout=60, check=True)
        else:
            assert os.system(f"'{sys.executable}' '{lister}' '{result}'") == 0
        inherited = json.loads(result.read_text())
        targets = set(inherited.values())
        assert "/dev/ptmx" not in targets
        assert slave not in targets
        assert not any(t.startswith("anon_inode:") for t in targets)
        leaked = {fd for fd in added if inherited.get(str(fd)) == added[fd]}
        assert leaked == set()


# ---------------------------------------------------------------- spawn cost


SPAWN_TIMER = textwrap.dedent(
    """
    import json, resource, sys, time
    import pellux

    def spawn_seconds(rounds):
        total = 0.0
        for _ in range(rounds):
            started = time.perf_counter()
            s = pellux.Pellux(sys.argv[1], False)
            total += time.perf_counter() - started
            s.close()
        return total

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(256, hard), hard))
    spawn_seconds(2)
    low = spawn_seconds(10)
    try:
        nr_open = int(open("/proc/sys/fs/nr_open").read())
        resource.setrlimit(resource.RLIMIT_NOFILE, (nr_open, nr_open))
    except (OSError, ValueError):
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    limit = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
    spawn_seconds(1)
    high = spawn_seconds(10)
    print(json.dumps({"low": low, "high": high, "limit": limit}))
    """
)


def test_spawn_time_does_not_grow_with_the_open_file_limit():
    result = subprocess.run(
        [sys.executable, "-c", SPAWN_TIMER, TRUE], capture_output=True, text=True, timeout=120, check=True
    )
    times = json.loads(result.stdout)
    # Where the hard limit cannot be raised (no CAP_SYS_RESOURCE) the
    # difference is small either way; the bound still holds.
    assert times["high"] < 5 * times["low"] + 0.2, times
