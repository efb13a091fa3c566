"""Helpers shared by the tests: fixture programs and process inspection."""

import os
import sys
import textwrap
from pathlib import Path


def write_executable(path, text):
    """Writes `text` to `path`, makes it executable and returns the path as str."""
    path = Path(path)
    path.write_text(text)
    path.chmod(0o755)
    return str(path)


def python_child(tmp_path, body, name="child.py"):
    """A Python program that runs `body`; `write(b)` writes every byte of b
    to the terminal, `done()` touches tmp_path/done."""
    prelude = f"""\
        import os, sys, time
        DONE = {str(tmp_path / "done")!r}

        def write(data):
            view = memoryview(data)
            while view:
                view = view[os.write(1, view):]

        def done():
            open(DONE, "w").close()
    """
    code = textwrap.dedent(prelude) + textwrap.dedent(body)
    return write_executable(tmp_path / name, f"#!{sys.executable}\n{code}")


def children_of_host():
    """{pid: state} of this process's children."""
    me, found = os.getpid(), {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue  # ended meanwhile
        fields = stat[stat.rindex(")") + 2 :].split()
        if int(fields[1]) == me:
            found[int(entry)] = fields[0]
    return found


def write_script(path, body, interpreter=sys.executable):
    """An executable script at `path` run by `interpreter`."""
    return write_executable(path, f"#!{interpreter}\n" + textwrap.dedent(body))


def wait_until(predicate, timeout=20.0, what="condition"):
    """Polls `predicate` until it returns something true; fails the test after `timeout` s."""
    import time

    import pytest

    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.01)
    pytest.fail(f"{what} not reached within {timeout} s")
