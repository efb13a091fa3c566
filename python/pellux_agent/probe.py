"""Whether a program in a pellux terminal is waiting for input, from Linux /proc.

A prompt string or a quiet period only guesses that a program has finished
answering. The kernel knows: a program that waits for input is asleep in a
read of its terminal (or a poll/select/epoll wait that includes it), and a
program that computes is not. `InputProbe` looks at the terminal's foreground
process group and answers `WAITING` only when all of the following hold:

* every thread of every process of the foreground group is asleep, either in
  a call that waits on the terminal without a timeout, or parked in a futex
  wait without a timeout (an idle worker: whoever would wake it is asleep too),
  and at least one thread waits on the terminal;
* a poll/select/epoll wait includes nothing but the terminal and descriptors
  only the program itself can make ready (its own pipes, eventfds, signalfds,
  disarmed timerfds): a socket, a foreign pipe or a pending timer can wake an
  event loop that looks idle while it is busy (node always keeps a timer);
* no input is pending for the program (a line we sent and it has not taken
  yet, still in the kernel's flip buffer, would wake it in a moment);
* everything the program wrote before it fell asleep has left the kernel and
  pellux's reader thread: the pseudo-terminal's master, polled from this
  process (which pushes the kernel's flip buffer through), has nothing to
  read, and the session's reader thread is idle in its poll. What the reader
  took is then in the session's queue, where the next `read_available()`
  finds it;
* none of the threads above woke up while we looked (their context-switch
  counts did not change), so the picture is one moment, not a collage.

Beside the answer, `InputProbe.reading` says whether some thread of the
foreground group was asleep waiting for the terminal at all, even where the
answer is `BUSY` because something else could wake it or something else in
the group is still running: a prompt printed while nobody reads the terminal
is not a prompt yet.

Where /proc cannot tell (the syscall file is unreadable under ptrace
restrictions or for another user, an architecture we do not decode), the
answer is `UNKNOWN`, said once per process as a `RuntimeWarning` (the first
cause; `InputProbe.reason` holds each probe's), and never
`WAITING`. Linux only, x86-64 and aarch64.

Thread use: one `InputProbe` belongs to the code that reads its terminal; it
keeps caches and is not safe to share between threads. It only reads /proc and
polls descriptors; it never reads from, writes to or signals anything.
"""

from __future__ import annotations

import enum
import errno
import fcntl
import os
import platform
import select
import stat
import struct
import termios
import warnings
from dataclasses import dataclass

__all__ = ["InputProbe", "Verdict"]


class Verdict(enum.Enum):
    """The probe's answer."""

    WAITING = "waiting"  # asleep on the terminal, and all its output is in pellux's queue
    BUSY = "busy"  # computing, sleeping on something else, or output still in flight
    EXITED = "exited"  # the program (the pid the probe was given) is gone
    UNKNOWN = "unknown"  # /proc cannot tell here; see `InputProbe.reason`


# System call numbers of the calls that can wait on a terminal, per
# architecture. aarch64 has no read-less variants (poll, select, epoll_wait).
_SYSCALLS = {
    "x86_64": {
        "read": 0,
        "readv": 19,
        "poll": 7,
        "select": 23,
        "pselect6": 270,
        "ppoll": 271,
        "epoll_wait": 232,
        "epoll_pwait": 281,
        "epoll_pwait2": 441,
        "futex": 202,
    },
    "aarch64": {
        "read": 63,
        "readv": 65,
        "pselect6": 72,
        "ppoll": 73,
        "epoll_pwait": 22,
        "epoll_pwait2": 441,
        "futex": 98,
    },
}

_FUTEX_WAIT = 0
_FUTEX_WAIT_BITSET = 9
_FUTEX_CMD_MASK = 0x7F  # without FUTEX_PRIVATE_FLAG and FUTEX_CLOCK_REALTIME

# asm-generic ioctl numbers (x86-64 and aarch64 share them).
_TIOCGPTN = 0x80045430
_TIOCGPTPEER = 0x5441

_TTY_MAJOR = 5  # /dev/tty (5, 0): "my controlling terminal"
_READER_THREAD = b"pellux_reader"

_warned = False


def _warn_once(reason: str) -> None:
    """One warning per process: where one program's /proc is closed, most
    are, and a tool loop should not repeat it every turn."""
    global _warned
    if _warned:
        return
    _warned = True
    warnings.warn(
        f"pellux_agent cannot tell whether a program waits for input ({reason}); "
        "reads fall back to ready markers or quiet periods",
        RuntimeWarning,
        stacklevel=3,
    )


class _Unknown(Exception):
    """/proc cannot answer; the message says why."""


def _read(path: str) -> bytes:
    with open(path, "rb", buffering=0) as f:
        return f.read(4096)


def _stat_fields(path: str) -> list[bytes]:
    """Fields of a /proc stat file after the command name, so index 0 is the
    state (field 3 of proc(5)). The name may hold spaces and parentheses."""
    data = _read(path)
    return data[data.rindex(b")") + 2 :].split()


def _tty_nr_to_dev(tty_nr: int) -> int:
    major = (tty_nr >> 8) & 0xFFF
    minor = (tty_nr & 0xFF) | ((tty_nr >> 12) & 0xFFF00)
    return os.makedev(major, minor)


@dataclass(frozen=True)
class _Thread:
    path: str  # /proc/<pid>/task/<tid>
    switches: bytes  # voluntary and involuntary context switches, as read


class InputProbe:
    """Tells whether the program `pid` (the process a pellux session started)
    waits for input on its terminal. `check()` is cheap enough to poll every
    millisecond (a few small /proc reads per thread of the foreground group)."""

    def __init__(self, pid: int) -> None:
        self.pid = pid
        self.reason: str | None = None  # why the last answer was UNKNOWN
        # After each check: whether some thread of the foreground group was
        # asleep waiting for the terminal, even where the answer is BUSY (an
        # event loop with a timer, or a sleeping job beside a shell that
        # reads). A program nobody in which reads has not finished answering,
        # whatever its output looks like.
        self.reading = False
        arch = platform.machine()
        self._nr = _SYSCALLS.get(arch)
        self._wait_calls: dict[int, str] = {}
        if self._nr is not None:
            self._wait_calls = {nr: name for name, nr in self._nr.items()}
        # Process cache: pid -> (session, process group) for processes of the
        # terminal's session; pids of other sessions, which can never join
        # ours, are remembered as None until they disappear from /proc.
        self._procs: dict[int, tuple[int, int] | None] = {}
        self._master_fd: int | None = None  # this process's descriptor of the master

    # -- public -----------------------------------------------------------

    def rescan(self) -> None:
        """Forget what the probe knows about other processes, so that the next
        check reads every process's group afresh. Call it when a read starts:
        pids are reused, and a long pause between reads gives them time."""
        self._procs.clear()
        self._master_fd = None

    def check(self) -> Verdict:
        """One look. `WAITING` means: the program waits for input and every
        byte it wrote before that is in the pellux session's queue."""
        try:
            return self._check()
        except _Unknown as unknown:
            self.reason = str(unknown)
            _warn_once(self.reason)
            return Verdict.UNKNOWN

    # -- the steps --------------------------------------------------------

    def _check(self) -> Verdict:
        self.reading = False
        if self._nr is None:
            raise _Unknown(f"system calls of {platform.machine()} are not decoded")
        try:
            leader = _stat_fields(f"/proc/{self.pid}/stat")
        except FileNotFoundError:
            return Verdict.EXITED
        except OSError as error:
            raise _Unknown(f"/proc/{self.pid}/stat: {error.strerror}") from None
        if leader[0] in (b"Z", b"X"):
            return Verdict.EXITED
        session, tty_nr, tpgid = int(leader[3]), int(leader[4]), int(leader[5])
        if tty_nr == 0 or tpgid <= 0:
            return Verdict.BUSY  # no terminal, or nobody holds its foreground
        terminal = _tty_nr_to_dev(tty_nr)

        members = self._foreground(session, tpgid)
        if not members:
            return Verdict.BUSY
        first = self._look(members, terminal)
        if first is None:
            return Verdict.BUSY
        if self._input_pending(terminal):
            return Verdict.BUSY
        if not self._output_taken(terminal):
            return Verdict.BUSY
        # The same threads, still asleep and not woken meanwhile: nothing was
        # written after the checks above. A woken thread counts its switch
        # only when it sleeps again; until then its state is no longer S.
        for thread in first:
            try:
                if self._switches(thread.path) != thread.switches:
                    return Verdict.BUSY
                if _stat_fields(f"{thread.path}/stat")[0] not in (b"S", b"Z", b"X"):
                    return Verdict.BUSY
            except OSError:
                return Verdict.BUSY  # it ended meanwhile: something happened
        try:
            if int(_stat_fields(f"/proc/{self.pid}/stat")[5]) != tpgid:
                return Verdict.BUSY  # another group took the terminal meanwhile
        except OSError:
            return Verdict.EXITED
        return Verdict.WAITING

    def _foreground(self, session: int, tpgid: int) -> list[int]:
        """Pids of the live processes in the group `tpgid` of `session`."""
        seen = set()
        members = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            pid = int(entry)
            seen.add(pid)
            known = self._procs.get(pid, ())
            if known is None:
                continue  # another session; it cannot move into ours
            try:
                fields = _stat_fields(f"/proc/{pid}/stat")
            except OSError:
                continue  # ended meanwhile
            if int(fields[3]) != session:
                self._procs[pid] = None
                continue
            self._procs[pid] = (session, int(fields[2]))
            if int(fields[2]) == tpgid and fields[0] not in (b"Z", b"X"):
                members.append(pid)
        for gone in self._procs.keys() - seen:
            del self._procs[gone]
        return members

    def _look(self, members: list[int], terminal: int) -> list[_Thread] | None:
        """Every thread of `members` asleep on the terminal or parked, at least
        one on the terminal: the threads with their context-switch counts.
        None when any thread is doing something else. Sets `reading`."""
        threads: list[_Thread] = []
        settled = True
        for pid in members:
            try:
                tids = os.listdir(f"/proc/{pid}/task")
            except OSError:
                return None
            for tid in tids:
                path = f"/proc/{pid}/task/{tid}"
                try:
                    switches = self._switches(path)
                    state = _stat_fields(f"{path}/stat")[0]
                    if state in (b"Z", b"X"):
                        continue  # an exited thread of a live process runs nothing
                    call = _read(f"{path}/syscall").split() if state == b"S" else []
                except FileNotFoundError:
                    return None  # it ended while we looked
                except PermissionError as error:
                    raise _Unknown(f"{path}/syscall: {error.strerror}") from None
                except OSError as error:
                    if error.errno in (errno.EACCES, errno.EPERM):
                        raise _Unknown(f"{path}/syscall: {error.strerror}") from None
                    return None
                kind = self._classify(pid, call, terminal)
                if kind in ("terminal", "loose"):
                    self.reading = True
                if kind not in ("terminal", "parked"):
                    settled = False
                threads.append(_Thread(path, switches))
        return threads if settled and self.reading else None

    @staticmethod
    def _switches(path: str) -> bytes:
        data = _read(f"{path}/status")
        start = data.index(b"voluntary_ctxt_switches")
        return data[start:]

    # -- one thread's system call ----------------------------------------

    def _classify(self, pid: int, call: list[bytes], terminal: int) -> str | None:
        """'terminal' (waits for the terminal and nothing that could wake it
        otherwise), 'loose' (waits for the terminal, but a timer or another
        descriptor may end the wait first), 'parked' (a futex wait without a
        timeout) or None (anything else)."""
        if not call or call[0] == b"running" or call[0].startswith(b"-"):
            return None  # on a CPU, or blocked outside a system call (a page fault)
        name = self._wait_calls.get(int(call[0]))
        if name is None:
            return None
        args = [int(a, 16) for a in call[1:7]]
        if name == "futex":
            command = args[1] & _FUTEX_CMD_MASK
            if command in (_FUTEX_WAIT, _FUTEX_WAIT_BITSET) and args[3] == 0:
                return "parked"
            return None
        if name in ("read", "readv"):
            fd = _as_int(args[0])
            if not self._is_terminal(pid, fd, terminal):
                return None
            return "terminal"
        if name == "poll":
            fds = self._pollfds(pid, args[0], args[1])
            timeout_ms = _as_int(args[2])
            finite = timeout_ms >= 0
        elif name == "ppoll":
            fds = self._pollfds(pid, args[0], args[1])
            finite = args[2] != 0
        elif name in ("select", "pselect6"):
            fds = self._selectfds(pid, _as_int(args[0]), args[1:4])
            finite = args[4] != 0
        elif name in ("epoll_wait", "epoll_pwait"):
            fds = self._epollfds(pid, _as_int(args[0]))
            finite = _as_int(args[3]) >= 0
        else:  # epoll_pwait2: a timespec pointer
            fds = self._epollfds(pid, _as_int(args[0]))
            finite = args[3] != 0
        if fds is None or not any(self._is_terminal(pid, fd, terminal) for fd in fds):
            return None
        if finite:
            return "loose"  # a timer can end the wait: the program may act on its own
        for fd in fds:
            if not self._is_terminal(pid, fd, terminal) and not self._is_inert(pid, fd):
                return "loose"
        return "terminal"

    def _memory(self, pid: int, address: int, size: int) -> bytes | None:
        try:
            fd = os.open(f"/proc/{pid}/mem", os.O_RDONLY | os.O_CLOEXEC)
        except PermissionError as error:
            raise _Unknown(f"/proc/{pid}/mem: {error.strerror}") from None
        except OSError:
            return None
        try:
            data = os.pread(fd, size, address)
        except OSError:
            return None
        finally:
            os.close(fd)
        return data if len(data) == size else None

    def _pollfds(self, pid: int, address: int, count: int) -> list[int] | None:
        if count > 4096:
            return None
        data = self._memory(pid, address, 8 * count)
        if data is None:
            return None
        fds = []
        for fd, events, _ in struct.iter_unpack("ihh", data):
            if fd >= 0 and events & (select.POLLIN | select.POLLPRI):
                fds.append(fd)
            elif fd >= 0:
                return None  # waits to write somewhere: not an input wait
        return fds

    def _selectfds(self, pid: int, nfds: int, sets: list[int]) -> list[int] | None:
        if not 0 < nfds <= 65536:
            return None
        readfds, writefds, exceptfds = sets
        size = (nfds + 63) // 64 * 8
        fds: set[int] = set()
        for kind, address in (("read", readfds), ("write", writefds), ("except", exceptfds)):
            if address == 0:
                continue
            data = self._memory(pid, address, size)
            if data is None:
                return None
            bits = int.from_bytes(data, "little") & ((1 << nfds) - 1)
            if kind == "write":
                # An empty write set passed anyway (Python 3.10's select
                # does) waits on nothing; any descriptor in it is not an
                # input wait.
                if bits:
                    return None
                continue
            fds.update(fd for fd in range(nfds) if bits >> fd & 1)
        return sorted(fds)

    @staticmethod
    def _epollfds(pid: int, epfd: int) -> list[int] | None:
        try:
            info = _read(f"/proc/{pid}/fdinfo/{epfd}")
        except OSError:
            return None
        fds = []
        for line in info.splitlines():
            if line.startswith(b"tfd:"):
                fds.append(int(line.split()[1]))
        return fds

    # -- descriptors of the program ---------------------------------------

    @staticmethod
    def _is_terminal(pid: int, fd: int, terminal: int) -> bool:
        try:
            info = os.stat(f"/proc/{pid}/fd/{fd}")
        except OSError:
            return False
        if not stat.S_ISCHR(info.st_mode):
            return False
        if info.st_rdev == terminal:
            return True
        # /dev/tty is the process's controlling terminal, which is ours: the
        # caller only asks about processes of the terminal's session.
        return info.st_rdev == os.makedev(_TTY_MAJOR, 0)

    @staticmethod
    def _is_inert(pid: int, fd: int) -> bool:
        """A descriptor nothing outside the (sleeping) program makes ready:
        its own pipe (both ends held), an eventfd or signalfd, a disarmed
        timerfd."""
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            return False
        if target in ("anon_inode:[eventfd]", "anon_inode:[signalfd]"):
            return True
        if target == "anon_inode:[timerfd]":
            try:
                info = _read(f"/proc/{pid}/fdinfo/{fd}")
            except OSError:
                return False
            return b"it_value: (0, 0)" in info
        if target.startswith("pipe:"):
            try:
                others = os.listdir(f"/proc/{pid}/fd")
            except OSError:
                return False
            for other in others:
                if other == str(fd):
                    continue
                try:
                    if os.readlink(f"/proc/{pid}/fd/{other}") == target:
                        return True
                except OSError:
                    continue
        return False

    # -- the terminal, from this side --------------------------------------

    def _master(self, terminal: int) -> int | None:
        """This process's descriptor of the terminal's master (pellux holds
        it), found by asking each ptmx descriptor for its terminal number."""
        if self._master_fd is not None and self._master_matches(self._master_fd, terminal):
            return self._master_fd
        self._master_fd = None
        for entry in os.listdir("/proc/self/fd"):
            fd = int(entry)
            try:
                target = os.readlink(f"/proc/self/fd/{entry}")
            except OSError:
                continue
            if target not in ("/dev/ptmx", "/dev/pts/ptmx"):
                continue
            if self._master_matches(fd, terminal):
                self._master_fd = fd
                return fd
        return None

    @staticmethod
    def _pty_number(fd: int) -> int | None:
        buffer = bytearray(4)
        try:
            fcntl.ioctl(fd, _TIOCGPTN, buffer)
        except OSError:
            return None
        return int.from_bytes(buffer, "little")

    def _master_matches(self, fd: int, terminal: int) -> bool:
        number = self._pty_number(fd)
        if number is None:
            return False
        try:
            return os.stat(f"/dev/pts/{number}").st_rdev == terminal
        except OSError:
            return False

    def _input_pending(self, terminal: int) -> bool:
        """Whether the program has input it has not taken. Polling the slave
        pushes what is still in the kernel's flip buffer through first. The
        descriptor is closed at once: holding the slave open would hide the
        program's exit from the reader thread."""
        master = self._master(terminal)
        if master is None:
            raise _Unknown("the terminal's master is not open in this process")
        try:
            slave = fcntl.ioctl(master, _TIOCGPTPEER, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
        except OSError:
            return True  # the terminal is going away: certainly not waiting
        try:
            poller = select.poll()
            poller.register(slave, select.POLLIN)
            if poller.poll(0):
                return True
            attributes = termios.tcgetattr(slave)
        except termios.error:
            return True
        finally:
            os.close(slave)
        if not attributes[3] & termios.ICANON and attributes[6][termios.VTIME] != 0:
            return True  # a read with a timer: the program acts on its own soon
        return False

    def _output_taken(self, terminal: int) -> bool:
        """Whether everything the program wrote is past the kernel and the
        session's reader thread: the master has nothing to read (its poll
        pushes the flip buffer through first) and the reader waits in poll on
        it, holding nothing."""
        master = self._master(terminal)
        if master is None:
            raise _Unknown("the terminal's master is not open in this process")
        poller = select.poll()
        poller.register(master, select.POLLIN)
        if poller.poll(0):
            return False
        return self._reader_idle(terminal)

    def _reader_idle(self, terminal: int) -> bool:
        assert self._nr is not None
        polls = {self._nr.get("poll"), self._nr["ppoll"]}
        for tid in os.listdir("/proc/self/task"):
            path = f"/proc/self/task/{tid}"
            try:
                if _read(f"{path}/comm").strip() != _READER_THREAD:
                    continue
                call = _read(f"{path}/syscall").split()
            except OSError:
                continue
            if not call or call[0] == b"running" or call[0].startswith(b"-"):
                continue
            if int(call[0]) not in polls:
                continue
            watched = self._pollfds(os.getpid(), int(call[1], 16), int(call[2], 16))
            if watched and self._master_matches(watched[0], terminal):
                return True
        return False


def _as_int(value: int) -> int:
    """A system call argument as the C int it was (a negative fd or timeout)."""
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value & 0x80000000 else value
