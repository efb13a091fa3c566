"""Terminal output to clean: real captures, grown to a size by repetition.

    ls      `ls -la --color=always /usr/bin`
    git     `git log --color -p` of a repository made here with a few hundred
            commits (the project's own history is too short)
    gdb     a gdb session transcript captured through a pseudo-terminal,
            styling on (TERM=xterm-256color)
    escapes synthetic escape-heavy redraws: cursor moves, a colour per
            word, line erases, title updates, keypad modes

Each file is built once and kept under benchmarks/out/corpora/.
"""

from __future__ import annotations

import os
import random
import subprocess
import sys

from drivers import StdlibDriver


def _grow(piece: bytes, size: int) -> bytes:
    if not piece:
        raise RuntimeError("empty corpus piece")
    reps = size // len(piece) + 1
    return (piece * reps)[:size]


def _ls() -> bytes:
    return subprocess.run(["ls", "-la", "--color=always", "/usr/bin"], check=True,
                          capture_output=True).stdout


def _git(workdir: str) -> bytes:
    repo = os.path.join(workdir, "corpus-repo")
    env = dict(os.environ, GIT_AUTHOR_NAME="Bench", GIT_AUTHOR_EMAIL="bench@example.invalid",
               GIT_COMMITTER_NAME="Bench", GIT_COMMITTER_EMAIL="bench@example.invalid",
               GIT_AUTHOR_DATE="2024-01-01T00:00:00", GIT_COMMITTER_DATE="2024-01-01T00:00:00")
    if not os.path.isdir(os.path.join(repo, ".git")):
        os.makedirs(repo, exist_ok=True)
        subprocess.run(["git", "init", "-q", repo], check=True, env=env)
        rng = random.Random(7)
        words = ("value count buffer index result error state node next prev size "
                 "offset length chunk marker prompt window reader writer").split()
        files = [f"src/mod{i}.c" for i in range(12)]
        os.makedirs(os.path.join(repo, "src"), exist_ok=True)
        bodies = {f: [f"int {rng.choice(words)}_{j} = {j};" for j in range(40)] for f in files}
        # Commits through fast-import: a few hundred `git commit`s take too long.
        stream = []
        mark = 0
        for c in range(300):
            for f in rng.sample(files, 3):
                lines = bodies[f]
                for _ in range(rng.randint(1, 6)):
                    i = rng.randrange(len(lines))
                    lines[i] = (f"static int {rng.choice(words)}_{c}_{i}(int {rng.choice(words)}) "
                                f"{{ return {rng.choice(words)} + {rng.randint(0, 999)}; }}")
                if rng.random() < 0.3:
                    lines.insert(rng.randrange(len(lines)), f"/* {' '.join(rng.sample(words, 6))} */")
            mark += 1
            stream.append(f"commit refs/heads/main\nmark :{mark}\n"
                          f"committer Bench <bench@example.invalid> {1700000000 + c * 3600} +0000\n")
            msg = f"Change {c}: {' '.join(rng.sample(words, 5))}\n"
            stream.append(f"data {len(msg.encode())}\n{msg}")
            if c:
                stream.append(f"from :{mark - 1}\n")
            for f in files:
                body = ("\n".join(bodies[f]) + "\n").encode()
                stream.append(f"M 100644 inline {f}\ndata {len(body)}\n{body.decode()}\n")
        subprocess.run(["git", "-C", repo, "fast-import", "--quiet"], input="".join(stream).encode(),
                       check=True, env=env)
        subprocess.run(["git", "-C", repo, "reset", "-q", "--hard", "main"], check=True, env=env)
    return subprocess.run(["git", "-C", repo, "log", "--color=always", "-p"], check=True,
                          capture_output=True, env=env).stdout


def _gdb(bindir: str) -> bytes:
    target = os.path.join(bindir, "prompt_g")
    wrapper = os.path.join(bindir, "gdb_transcript.sh")
    with open(wrapper, "w") as f:
        f.write(f"#!/bin/sh\nTERM=xterm-256color exec /usr/bin/gdb -q -nx {target}\n")
    os.chmod(wrapper, 0o755)
    feed = os.path.join(bindir, "gdb_inferior_input.txt")
    with open(feed, "w") as f:
        f.write("echo hello\necho again\n")
    d = StdlibDriver(wrapper, "(gdb) ")
    d.spawn()
    raw = []
    commands = ["set height 0", "set width 0", "set style enabled on", "break answer",
                f"run < {feed}", "bt", "info frame", "info registers", "disassemble main",
                "x/64xb $sp", "info functions write", "list answer", "info sharedlibrary",
                "ptype struct stat", "info locals", "finish", "next", "step", "bt full",
                "info breakpoints", "kill"]
    for cmd in commands:
        os.write(d.fd, cmd.encode() + b"\n")
        raw.append(d._read_to_marker(20.0))
    d.close()
    # The inferior's own prompt would end the read that cats this corpus.
    return b"".join(raw).replace(b"PLX> ", b"plx> ")


def _escapes() -> bytes:
    rng = random.Random(12345)
    words = ("the quick brown fox jumps over lazy dog build target warning error: "
             "src/a.c line 42 (gdb) break 0x7ffd1234 return struct value").split()
    out = []
    size = 0
    while size < (1 << 20):
        parts = [f"\x1b[{rng.randint(1, 50)};{rng.randint(1, 200)}H\x1b[K"]
        for _ in range(6):
            parts.append(f"\x1b[1;3{rng.randint(1, 7)}m{rng.choice(words)}\x1b[0m ")
        if rng.random() < 0.25:
            parts.append("\x1b]0;user@host: ~/src\x07")
        if rng.random() < 0.125:
            parts.append("\x1b=\x1b[?1h\x1b(B")
        parts.append("\r\n")
        s = "".join(parts)
        out.append(s)
        size += len(s)
    return "".join(out).encode()


CORPORA = ("ls", "git", "gdb", "escapes")


def build(outdir: str, bindir: str, size: int) -> dict[str, str]:
    """Returns {name: path} of corpus files of `size` bytes each."""
    cdir = os.path.join(outdir, "corpora")
    os.makedirs(cdir, exist_ok=True)
    paths = {}
    for name in CORPORA:
        path = os.path.join(cdir, f"{name}.txt")
        if not (os.path.exists(path) and os.path.getsize(path) == size):
            if name == "ls":
                piece = _ls()
            elif name == "git":
                piece = _git(outdir)
            elif name == "gdb":
                piece = _gdb(bindir)
            else:
                piece = _escapes()
            with open(path, "wb") as f:
                f.write(_grow(piece, size))
        paths[name] = path
    return paths


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    print(build(os.path.join(here, "out"), os.path.join(here, "out", "bin"), int(sys.argv[1])))
