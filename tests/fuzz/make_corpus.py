"""Captures the fuzzer's seed corpus: raw bytes real programs write to a
terminal (colours, cursor movement, alternate screen, titles, hyperlinks,
bracketed paste, UTF-8), each seed under 64 KiB.

Usage: python3 tests/fuzz/make_corpus.py OUT_DIR

The seeds in tests/fuzz/corpus/ were made with this script; programs that
are not installed are skipped. It drives each program through a plain
pseudo-terminal (80x24, TERM=xterm-256color), typing each input step once
the output has been quiet for a moment.
"""

from __future__ import annotations

import fcntl
import os
import pty
import select
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
from pathlib import Path

MAX_SEED = 60 * 1024


def capture(argv: list[str], steps: list[bytes] = (), cwd: str | None = None, limit: float = 10.0) -> bytes:
    pid, master = pty.fork()
    if pid == 0:
        if cwd:
            os.chdir(cwd)
        os.environ.update(TERM="xterm-256color", LANG="C.UTF-8", COLUMNS="80", LINES="24")
        os.environ.pop("PAGER", None)
        os.execvp(argv[0], argv)
    fcntl.ioctl(master, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    out = bytearray()

    def read_until_quiet(quiet: float, deadline: float) -> bool:
        """False once the program has closed the terminal."""
        last = time.monotonic()
        while time.monotonic() < deadline and time.monotonic() - last < quiet:
            ready, _, _ = select.select([master], [], [], 0.05)
            if not ready:
                continue
            try:
                data = os.read(master, 65536)
            except OSError:
                return False
            if not data:
                return False
            out.extend(data)
            last = time.monotonic()
        return True

    alive = read_until_quiet(0.5, time.monotonic() + limit)
    for step in steps:
        if not alive:
            break
        os.write(master, step)
        alive = read_until_quiet(0.4, time.monotonic() + limit)
    if alive:
        read_until_quiet(1.0, time.monotonic() + limit)
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    os.waitpid(pid, 0)
    os.close(master)
    return bytes(out[:MAX_SEED])


def git_repo(root: str) -> str:
    repo = os.path.join(root, "repo")
    os.mkdir(repo)
    env = dict(os.environ, GIT_AUTHOR_NAME="Dev", GIT_AUTHOR_EMAIL="dev@example.org",
               GIT_COMMITTER_NAME="Dev", GIT_COMMITTER_EMAIL="dev@example.org")
    subprocess.run(["git", "init", "-q", repo], check=True, env=env)
    files = [
        ("notes.txt", "first line\nsecond line\n", "Add notes"),
        ("notes.txt", "first line\nsecond line, changed\nthird: café, naïve, 日本語 ✓\n", "Edit notes"),
        ("tool.py", "def main():\n    print('hello\\tworld')\n", "Add tool"),
        ("notes.txt", "first line\nthird: café, naïve, 日本語 ✓\n", "Drop the second line"),
    ]
    for name, text, message in files:
        Path(repo, name).write_text(text, encoding="utf-8")
        subprocess.run(["git", "-C", repo, "add", name], check=True, env=env)
        subprocess.run(["git", "-C", repo, "commit", "-q", "-m", message], check=True, env=env)
    return repo


def main() -> None:
    out_dir = Path(sys.argv[1])
    out_dir.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        sample = Path(tmp, "sample.txt")
        sample.write_text("".join(f"line {i}: héllo wörld ✓ {'x' * (i % 50)}\n" for i in range(200)), encoding="utf-8")
        seeds = {
            "ls_color": (["sh", "-c", "ls --color=always -la /usr/bin | head -c 20000"], []),
            "ls_hyperlink": (["ls", "--color=always", "--hyperlink=always", "-F", "/usr/lib"], []),
            "git_log_color": (["git", "--no-pager", "log", "--color", "-p", "--stat"], []),
            "gdb_session": (
                ["gdb", "-q", "-nx", "/bin/true"],
                [b"starti\n", b"info registers rip rsp\n", b"x/6i $pc\n", b"bt\n",
                 b"info sharedlibrary\n", b"kill\n", b"y\n", b"quit\n"],
            ),
            "python_repl": (
                [sys.executable, "-q", "-i"],
                [b"1 + 1\n", b"print('h\\xe9llo \\u2713')\n", b"[x * x for x in range(12)]\n",
                 b"1 / 0\n", b"import sys; sys.version_info[:2]\n", b"exit()\n"],
            ),
            "bash_interactive": (
                ["bash", "--norc", "--noprofile", "-i"],
                [b"PS1='\\[\\e]0;title\\a\\e[1;32m\\]\\u@box\\[\\e[0m\\]:\\w\\$ '\n", b"echo caf\xc3\xa9\n",
                 b"printf '\\033[31mred\\033[0m\\tplain\\n'\n", b"ls --color=always /usr\n", b"exit\n"],
            ),
            "vim_edit": (
                ["vim", "-u", "DEFAULTS", "-i", "NONE", "-n", str(sample)],
                [b"G", b"o", "new line — ünïcode ✓".encode(), b"\x1b", b"gg", "/héllo\n".encode(),
                 b":set number\n", b":q!\n"],
            ),
            "less_file": (["less", "-R", str(sample)], [b" ", b" ", b"/w\xc3\xb6rld\n", b"G", b"q"]),
        }
        repo = git_repo(tmp)
        for name, (argv, steps) in seeds.items():
            if subprocess.run(["sh", "-c", f"command -v {argv[0]}"], capture_output=True).returncode != 0:
                print(f"skip {name}: {argv[0]} not installed")
                continue
            data = capture(argv, steps, cwd=repo if name == "git_log_color" else None)
            if data:
                (out_dir / name).write_bytes(data)
                print(f"{name}: {len(data)} bytes")


if __name__ == "__main__":
    main()
