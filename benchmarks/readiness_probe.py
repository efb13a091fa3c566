"""When does a turn end, against when the program started to wait for input?

Drives real programs through ``pellux_agent.Terminal`` under three rules
(``wait_for="auto"``: the /proc probe; ``"markers"``: ready markers and the
settle pause, or quiet reads for programs without a preset; ``"quiet"``:
quiet reads) and, for every turn, compares the moment the read returned with
the moment the program went back to waiting on its terminal.

That moment is taken by an observer in a separate process (so it does not
share our interpreter lock), which samples the foreground process group of
the program's terminal every 0.2 ms and notes the first sample, after the
input was sent, in which every thread sleeps, one of them on the terminal,
and some thread has been switched out since the send: the program took the
input, worked, and sleeps on its terminal again. Its figure is at most one
sample (about 0.2-0.5 ms) after the real moment.

Per program and rule it prints: turns; turns that ended early (the answer's
last piece missing although the read did not time out; the rest is then read
and not counted); turns that
ended more than 5 ms after the program started to wait, with their median
delay; the median delay after the start of the wait over all turns that were
whole; and the median turn time (send to return).

    python benchmarks/readiness_probe.py [--turns-scale N] [--programs bc,python3,...]

With ``--probe-cost`` it measures the C++ input probe alone instead
(bench_input_probe.cpp, built here with g++): microseconds per check on an
idle REPL and on a sleeping program, allocations on steady checks, and the
share of one core a read loop's thread spends probing a program that sleeps
silently for ``--probe-seconds`` (10 by default; 60 for the closing figure)
on the schedule of ``src/readiness/input_probe.hpp``.

    python benchmarks/readiness_probe.py --probe-cost [--probe-seconds 60]
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from dataclasses import dataclass, field
from pathlib import Path

from pellux_agent import Terminal

LATE_S = 0.005
# Each turn's timeout: a read that waits for a prompt that never comes (gdb's
# debuggee reading its input) costs this much.
TIMEOUT_MS = 5_000
VERBOSE = False

OBSERVER = r'''
import os, platform, sys, time

# The calls a thread waits in for input: read, readv, and the poll family.
WAITS = {
    "x86_64": {0: "read", 19: "readv", 7: "poll", 23: "select", 270: "pselect6", 271: "ppoll",
               232: "epoll_wait", 281: "epoll_pwait", 441: "epoll_pwait2"},
    "aarch64": {63: "read", 65: "readv", 72: "pselect6", 73: "ppoll", 22: "epoll_pwait",
                441: "epoll_pwait2"},
}[platform.machine()]

def fields(path):
    data = open(path, "rb").read()
    return data[data.rindex(b")") + 2 :].split()

def switches(path):
    data = open(f"{path}/status", "rb").read()
    return data[data.index(b"voluntary_ctxt_switches"):]

def holds_terminal(pid, fd, terminal):
    try:
        return os.stat(f"/proc/{pid}/fd/{fd}").st_rdev == terminal
    except OSError:
        return False

def on_terminal(pid, call, terminal):
    # Independent of the probe under test, and simpler: a read of the
    # terminal, or a poll-family wait by a process that holds it open.
    if not call or not call[0].isdigit():
        return False
    name = WAITS.get(int(call[0]))
    if name in ("read", "readv"):
        return holds_terminal(pid, int(call[1], 16) & 0xFFFFFFFF, terminal)
    if name is not None:
        return any(holds_terminal(pid, fd, terminal) for fd in range(3))
    return False

class Members:
    def __init__(self, pid):
        self.pid, self.key, self.until, self.pids = pid, None, 0.0, []

    def get(self, session, tpgid):
        if self.key != tpgid or time.monotonic() > self.until:
            self.pids = []
            for entry in os.listdir("/proc"):
                if entry.isdigit():
                    try:
                        f = fields(f"/proc/{entry}/stat")
                    except OSError:
                        continue
                    if int(f[3]) == session and int(f[2]) == tpgid and f[0] not in (b"Z", b"X"):
                        self.pids.append(int(entry))
            self.key, self.until = tpgid, time.monotonic() + 0.005
        return self.pids

def look(members):
    # (asleep with one thread on the terminal, {thread: switches})
    try:
        leader = fields(f"/proc/{members.pid}/stat")
    except OSError:
        return True, {}
    session, tty_nr, tpgid = int(leader[3]), int(leader[4]), int(leader[5])
    if tpgid <= 0:
        return False, {}
    terminal = os.makedev((tty_nr >> 8) & 0xFFF, (tty_nr & 0xFF) | ((tty_nr >> 12) & 0xFFF00))
    counts, reading = {}, False
    for pid in members.get(session, tpgid):
        try:
            tids = os.listdir(f"/proc/{pid}/task")
        except OSError:
            continue
        for tid in tids:
            path = f"/proc/{pid}/task/{tid}"
            try:
                counts[path] = switches(path)
                state = fields(f"{path}/stat")[0]
                if state in (b"Z", b"X"):
                    continue
                if state != b"S":
                    return False, counts
                call = open(f"{path}/syscall", "rb").read().split()
            except OSError:
                return False, counts
            # Other threads may sleep on anything (a parent in wait4, node's
            # helper threads on their own epoll sets); one must sleep on the
            # terminal.
            reading = reading or on_terminal(pid, call, terminal)
    return reading, counts

for line in sys.stdin:
    members = Members(int(line))
    _, start = look(members)
    print("ok", flush=True)
    found = None
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        now = time.monotonic()
        asleep, counts = look(members)
        if asleep and counts != start:
            found = now
            break
        time.sleep(0.0002)
    print(found if found is not None else "none", flush=True)
'''


class Observer:
    def __init__(self) -> None:
        self.proc = subprocess.Popen(
            [sys.executable, "-c", OBSERVER],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            bufsize=1,
        )

    def arm(self, pid: int) -> None:
        """Notes the program's state now; call right before the send."""
        assert self.proc.stdin and self.proc.stdout
        self.proc.stdin.write(f"{pid}\n")
        self.proc.stdin.flush()
        assert self.proc.stdout.readline().strip() == "ok"

    def waited_at(self) -> float | None:
        assert self.proc.stdout
        answer = self.proc.stdout.readline().strip()
        return None if answer == "none" else float(answer)

    def close(self) -> None:
        assert self.proc.stdin
        self.proc.stdin.close()
        self.proc.wait(timeout=10)


@dataclass
class Turn:
    text: str  # what to type (a line; or keys, see below)
    expect: str  # the answer's last piece
    kind: str  # quick, slow, bursty
    keys: list[str] | None = None  # sent with send_keys instead of a line


@dataclass
class Program:
    name: str
    command: str
    args: list[str]
    turns: list[Turn]
    setup: list[str] = field(default_factory=list)
    env: dict[str, str] | None = None


def programs(work: Path, scale: int) -> list[Program]:
    def mix(quick, slow, bursty, n_quick=12, n_slow=4, n_bursty=4) -> list[Turn]:
        kinds = [
            [Turn(*quick(i), "quick") for i in range(n_quick * scale)],
            [Turn(*slow(i), "slow") for i in range(n_slow * scale)],
            [Turn(*bursty(i), "bursty") for i in range(n_bursty * scale)],
        ]
        # Interleaved, so that every kind follows every other.
        turns = []
        while any(kinds):
            for kind in kinds:
                if kind:
                    turns.append(kind.pop(0))
        return turns

    shell_turns = mix(
        lambda i: (f"echo q{i}", f"q{i}"),
        lambda i: (f"sleep 1; echo s{i}", f"s{i}"),
        lambda i: (f"for k in 1 2 3; do echo b{i}-$k; sleep 0.15; done", f"b{i}-3"),
    )
    result = [
        Program(
            "bc",
            "bc",
            ["-q"],
            mix(
                lambda i: (f"{i} * 7", str(i * 7)),
                # ~1 s on this kind of machine; the result of 2^n % 7 for
                # n = 3k+r is 2^r, so the expected text is exact.
                lambda i: (f"2^{700_000 + i} % 7", str(2 ** ((700_000 + i) % 3))),
                lambda i: (
                    f"for (k = 0; k < 3; k++) {{ 2^{300_000 + i} % 7 }}",
                    str(2 ** ((300_000 + i) % 3)) + "\n" + str(2 ** ((300_000 + i) % 3)) + "\n" + str(2 ** ((300_000 + i) % 3)),
                ),
            ),
        ),
        Program(
            "python3",
            "python3",
            ["-q"],
            mix(
                lambda i: (f"{i} * 7", str(i * 7)),
                lambda i: (f"import time; time.sleep(1); 's{i}'", f"'s{i}'"),
                lambda i: (
                    f"for k in range(3): print('b{i}', k, flush=True); time.sleep(0.15)\n",
                    f"b{i} 2",
                ),
            ),
            setup=["import time"],
        ),
        Program("bash", "bash", ["--norc", "--noprofile"], shell_turns),
        Program("dash", "dash", [], shell_turns),
        Program(
            "sqlite3",
            "sqlite3",
            [],
            mix(
                lambda i: (f"SELECT {i} * 7;", str(i * 7)),
                lambda i: (
                    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c "
                    f"WHERE x<{5_000_000 + i}) SELECT count(*) FROM c;",
                    str(5_000_000 + i),
                ),
                lambda i: (f'.system sh -c "echo b{i}-1; sleep 0.15; echo b{i}-2; sleep 0.15; echo b{i}-3"', f"b{i}-3"),
            ),
        ),
    ]
    if shutil.which("cc"):
        debuggee = work / "debuggee.c"
        debuggee.write_text(
            textwrap.dedent(
                """\
                #include <stdio.h>
                #include <stdlib.h>
                #include <string.h>
                #include <unistd.h>
                int main(int argc, char **argv) {
                    volatile unsigned long x = 0;
                    unsigned long n = strtoul(argv[1], 0, 10);
                    for (unsigned long i = 0; i < n; i++) x += i;
                    if (argc > 2 && strcmp(argv[2], "bursts") == 0) {
                        for (int k = 1; k <= 3; k++) { printf("part %d\\n", k); fflush(stdout); usleep(150000); }
                    }
                    printf("computed %lu\\n", n);
                    fflush(stdout);
                    if (argc > 2 && strcmp(argv[2], "ask") == 0) {
                        char line[100];
                        if (fgets(line, sizeof line, stdin)) printf("read %s", line);
                    }
                    return 0;
                }
                """
            )
        )
        subprocess.run(["cc", "-O0", "-o", str(work / "debuggee"), str(debuggee)], check=True)
        gdb_turns: list[Turn] = []
        for i in range(4 * scale):
            # computes about a second; computes, prints in bursts; computes,
            # then waits for a line on the terminal (no gdb prompt); quick.
            gdb_turns.append(Turn("run 1500000000", "exited normally", "slow"))
            gdb_turns.append(Turn("print 6 * 7", "= 42", "quick"))
            gdb_turns.append(Turn("run 1000 bursts", "exited normally", "bursty"))
            gdb_turns.append(Turn("run 1000 ask", "computed 1000", "quick"))
            gdb_turns.append(Turn(f"line {i}", f"read line {i}", "quick"))
            gdb_turns.append(Turn(f"print {i} * 7", f"= {i * 7}", "quick"))
        result.append(
            Program("gdb", "gdb", ["-q", "-nx", str(work / "debuggee")], gdb_turns,
                    setup=["set confirm off", "set pagination off"])
        )
    result.append(
        Program(
            "node",
            "node",
            [],
            mix(
                lambda i: (f"{i} * 7", str(i * 7)),
                lambda i: (f"let s{i} = 0; for (let k = 0; k < 3e8; k++) s{i} += k % 3; 's{i}'", f"'s{i}'"),
                # a timer-based answer
                lambda i: (f"setTimeout(() => console.log('t{i}'), 300); 0", f"t{i}"),
            ),
        )
    )
    numbers = work / "numbers.txt"
    numbers.write_text("".join(f"line {k}\n" for k in range(1, 5000)))
    less_turns = [Turn("", f"line {24 + k}", "quick") for k in range(20 * scale)]
    result.append(Program("less", "less", [str(numbers)], less_turns, env={"LESS": ""}))
    if shutil.which("vim"):
        # A full-screen editor: each key redraws a little (cursor moves and
        # a few cells), with no prompt; typed words must show up.
        vim_turns: list[Turn] = []
        for i in range(6 * scale):
            vim_turns.append(Turn("", "", "quick", keys=["j"]))
            vim_turns.append(Turn("", "", "quick", keys=["0"]))
            vim_turns.append(Turn("", f"word{i}", "quick", keys=["i", f"word{i}", "escape"]))
            vim_turns.append(Turn("", "", "quick", keys=["h"]))
        result.append(
            Program("vim-keys", "vim", ["-u", "NONE", "-N", "-n", str(numbers)], vim_turns)
        )
    if shutil.which("git") and shutil.which("vim"):
        # git waits for its editor: the program in front is vim, git sleeps
        # in wait4 beside it in the same group.
        repo = work / "repo"
        subprocess.run(["git", "init", "-q", str(repo)], check=True)
        git_env = {"GIT_EDITOR": "vim -u NONE -N -n", "GIT_AUTHOR_NAME": "b", "GIT_AUTHOR_EMAIL": "b@x",
                   "GIT_COMMITTER_NAME": "b", "GIT_COMMITTER_EMAIL": "b@x", "HOME": str(work)}
        git_turns: list[Turn] = []
        for i in range(6 * scale):
            git_turns.append(Turn(f"cd {repo} && git commit --allow-empty", "Please enter the commit message", "quick"))
            git_turns.append(Turn("", "Aborting commit", "quick", keys=[":q!", "enter"]))
        result.append(Program("git-commit", "bash", ["--norc", "--noprofile"], git_turns, env=git_env))
    bg = mix(
        lambda i: (f"echo q{i}", f"q{i}"),
        lambda i: (f"sleep 1; echo s{i}", f"s{i}"),
        lambda i: (f"for k in 1 2 3; do echo b{i}-$k; sleep 0.15; done", f"b{i}-3"),
    )
    result.append(
        Program("bg-job", "bash", ["--norc", "--noprofile"], bg,
                setup=["(while :; do sleep 0.3; done) >/dev/null 2>&1 &"])
    )
    return result


@dataclass
class Figures:
    turns: int = 0
    early: int = 0
    late: list[float] = field(default_factory=list)
    after_wait: list[float] = field(default_factory=list)
    turn_time: list[float] = field(default_factory=list)
    unobserved: int = 0
    timeouts: int = 0  # the answer was not complete within TIMEOUT_MS


def run(program: Program, rule: str, observer: Observer) -> Figures:
    figures = Figures()
    with Terminal(program.command, program.args, wait_for=rule, env=program.env) as t:
        t.read(timeout_ms=15_000)
        for line in program.setup:
            t.send(line, timeout_ms=15_000)
            settle(t, None)
        for turn in program.turns:
            assert t.pid is not None
            observer.arm(t.pid)
            start = time.monotonic()
            if turn.keys is not None:
                answer = t.send_keys(turn.keys, timeout_ms=TIMEOUT_MS)
            else:
                answer = t.send(turn.text, timeout_ms=TIMEOUT_MS)
            end = time.monotonic()
            waited = observer.waited_at()
            figures.turns += 1
            figures.turn_time.append(end - start)
            if turn.expect not in answer.output and answer.status == "timeout":
                figures.timeouts += 1
                settle(t, turn.expect)
                continue
            if turn.expect not in answer.output:
                figures.early += 1
                if VERBOSE:
                    print(f"  early: {rule} {turn.text!r} -> {answer}", file=sys.stderr)
                settle(t, turn.expect)
                continue
            if waited is None:
                figures.unobserved += 1
                continue
            delay = end - waited
            figures.after_wait.append(delay)
            if delay > LATE_S:
                figures.late.append(delay)
    return figures


def settle(t: Terminal, expect: str | None) -> None:
    """Reads until the answer's last piece arrived and the program waits."""
    seen = ""
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        turn = t.read(timeout_ms=1_000)
        seen += turn.output
        if (expect is None or expect in seen) and turn.status in ("ready", "quiet"):
            return
        if expect is not None and expect in seen and turn.status == "timeout":
            return


def ms(values: list[float]) -> str:
    return f"{statistics.median(values) * 1000:.1f}" if values else "-"


def probe_cost(seconds: float) -> None:
    """Builds benchmarks/bench_input_probe.cpp and runs it."""
    here = Path(__file__).resolve().parent
    root = here.parent
    sources = [here / "bench_input_probe.cpp", root / "src" / "readiness" / "input_probe.cpp"]
    out = here / "out" / "bin"
    out.mkdir(parents=True, exist_ok=True)
    exe = out / "bench_input_probe"
    headers = [root / "src" / "readiness" / "input_probe.hpp", root / "tests" / "cpp" / "pty_program.hpp"]
    if not exe.exists() or any(s.stat().st_mtime > exe.stat().st_mtime for s in [*sources, *headers]):
        subprocess.run(
            ["g++", "-std=c++23", "-O2", "-Wall", "-Wextra", "-pthread", f"-I{root / 'src'}",
             f"-I{root / 'tests' / 'cpp'}", *map(str, sources), "-o", str(exe)],
            check=True,
        )
    subprocess.run([str(exe), "--python", sys.executable, "--seconds", str(seconds)], check=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--turns-scale", type=int, default=1, help="multiply every program's turns")
    parser.add_argument("--programs", default="", help="comma-separated names (default: all)")
    parser.add_argument("--rules", default="auto,markers,quiet")
    parser.add_argument("--verbose", action="store_true", help="show every turn that ended early")
    parser.add_argument("--probe-cost", action="store_true", help="measure the C++ input probe alone")
    parser.add_argument("--probe-seconds", type=float, default=10.0,
                        help="how long the silent program sleeps under --probe-cost (60 for the closing figure)")
    options = parser.parse_args()
    if options.probe_cost:
        probe_cost(options.probe_seconds)
        return
    global VERBOSE
    VERBOSE = options.verbose
    wanted = set(filter(None, options.programs.split(",")))
    rules = options.rules.split(",")
    observer = Observer()
    rows = []
    with tempfile.TemporaryDirectory(prefix="pellux-bench-") as work:
        for program in programs(Path(work), options.turns_scale):
            if wanted and program.name not in wanted:
                continue
            if shutil.which(program.command) is None:
                print(f"{program.name}: not installed, skipped", file=sys.stderr)
                continue
            for rule in rules:
                f = run(program, rule, observer)
                rows.append((program.name, rule, f))
                print(
                    f"{program.name:10} {rule:8} turns {f.turns:3}  early {f.early:3}  "
                    f"late>5ms {len(f.late):3} (median {ms(f.late)} ms)  "
                    f"after-wait median {ms(f.after_wait)} ms  turn median {ms(f.turn_time)} ms"
                    + (f"  unobserved {f.unobserved}" if f.unobserved else "")
                    + (f"  timed out {f.timeouts}" if f.timeouts else ""),
                    file=sys.stderr,
                    flush=True,
                )
    observer.close()
    print()
    print("| program | rule | turns | early | timed out | late > 5 ms (median delay) | median after wait | median turn |")
    print("|---|---|---:|---:|---:|---:|---:|---:|")
    for name, rule, f in rows:
        print(
            f"| {name} | {rule} | {f.turns} | {f.early} | {f.timeouts} | {len(f.late)} ({ms(f.late)} ms) | "
            f"{ms(f.after_wait)} ms | {ms(f.turn_time)} ms |"
        )
    print(f"\n(machine: {os.cpu_count()} CPUs; 'after wait': read's return minus the moment the program "
          "started to wait, seen by a separate observer process every 0.2 ms)")


if __name__ == "__main__":
    main()
