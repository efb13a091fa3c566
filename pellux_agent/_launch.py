"""Runs inside the new terminal and becomes the program (run by path with
``python -I -S``, so it imports nothing outside the standard library and
reads no site or environment settings of its own).

``pellux`` starts one program path without arguments; this script is that
program. It reads the launch description written by ``launcher.py``, reports
its pid through the status FIFO, sets the terminal's size, changes directory
and replaces itself with the real program: same pid, the exact argument
vector and environment, no shell in between. The FIFO is opened
close-on-exec, so the parent sees end of file once the exec succeeded, or a
line naming the step and the errno when it failed.
"""

import json
import os
import signal
import struct
import sys


def report(status: int, line: bytes) -> None:
    if status >= 0:
        try:
            os.write(status, line)
        except OSError:
            pass


def main() -> int:
    with open(sys.argv[1], encoding="utf-8") as f:
        launch = json.load(f)
    # Non-blocking: with nobody listening (which the terminal never lets
    # happen) the open fails instead of hanging, and the program starts
    # without a report.
    try:
        status = os.open(launch["status"], os.O_WRONLY | os.O_CLOEXEC | os.O_NONBLOCK)
    except OSError:
        status = -1
    report(status, b"pid %d\n" % os.getpid())
    step = "size"
    try:
        import fcntl
        import termios

        winsize = struct.pack("HHHH", launch["rows"], launch["cols"], 0, 0)
        fcntl.ioctl(0, termios.TIOCSWINSZ, winsize)
        step = "cwd"
        if launch["cwd"] is not None:
            os.chdir(launch["cwd"])
        # Python ignores these for itself; an ignored signal stays ignored
        # across exec, and a program in a pipeline must die of SIGPIPE.
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
        step = "exec"
        os.execvpe(launch["program"], launch["argv"], launch["env"])
    except OSError as error:
        report(status, b"error %s %d\n" % (step.encode(), error.errno or 0))
    return 127


if __name__ == "__main__":
    sys.exit(main())
