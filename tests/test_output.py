"""Clean output through a real terminal: read_available, get_history, the
byte limits and what they leave queued, the history cap, input bytes
(send_ctrl_c), and the bounded channel under a flooding child.

Every child here is a small script written into tmp_path. It prints what it
has to print, touches a "done" file, and then idles until the session closes
it, so a test knows when every byte has reached the terminal."""

import re
import time
from pathlib import Path

import pytest

from support import python_child, write_executable as write_program

HISTORY_CAP = 4_194_304
DEFAULT_READ_LIMIT = 65_536
# Time the reader thread gets to move bytes the child has already written
# from the terminal into the channel.
SETTLE_S = 0.2


# ---- fixtures and helpers -----------------------------------------------------





def printing_child(tmp_path, *pieces, gap=0.1):
    """Writes each piece (bytes) separately, `gap` seconds apart, then
    touches the done file and idles."""
    return python_child(
        tmp_path,
        f"""
        for i, piece in enumerate({list(pieces)!r}):
            if i:
                time.sleep({gap})
            write(piece)
        done()
        time.sleep(120)
        """,
    )


def wait_for_file(path, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not Path(path).exists():
        if time.monotonic() > deadline:
            pytest.fail(f"{path} did not appear within {timeout} s")
        time.sleep(0.01)


def wait_done(tmp_path, name="done"):
    wait_for_file(tmp_path / name)
    time.sleep(SETTLE_S)


def collect(s, until, timeout=20.0, max_bytes=None):
    """Calls read_available until `until(text so far)` holds."""
    text = ""
    deadline = time.monotonic() + timeout
    while not until(text):
        if time.monotonic() > deadline:
            pytest.fail(f"condition not met within {timeout} s; got {text[-300:]!r}")
        piece = s.read_available(max_bytes)
        if piece:
            text += piece
        else:
            time.sleep(0.01)
    return text


def send_line(s, text=""):
    """Types a line into a non-interactive session without reading."""
    assert s.send_and_read_until_ready(text, timeout_ms=0) == ""


def as_terminal_shows(raw):
    """What the child's bytes look like after the terminal's output
    processing: every LF goes out as CR LF."""
    return raw.replace(b"\n", b"\r\n")


def clean_colour_lines(raw):
    """Reference cleaning for output made only of SGR sequences, CR, LF and
    UTF-8 text (what the history tests print)."""
    return re.sub(rb"\x1b\[[0-9;]*m", b"", raw).replace(b"\r", b"").decode("utf-8", "replace")


def vm_rss_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmRSS in /proc/self/status")


# ---- cleaning through the terminal ---------------------------------------------


CLEANING_CASES = [
    pytest.param(b"\x1b[1;31mred\x1b[0m and \x1b[38;5;82mgreen\x1b[m\n", "red and green\n", id="sgr-colours"),
    pytest.param(b"\x1b]0;my title\x07prompt> ", "prompt> ", id="osc-title-bel"),
    pytest.param(b"\x1b]2;other\x1b\\x", "x", id="osc-title-st"),
    pytest.param(
        b"see \x1b]8;;https://example.com/a?b=1\x1b\\the docs\x1b]8;;\x1b\\ now\n",
        "see the docs now\n",
        id="osc8-hyperlink",
    ),
    pytest.param(b"one\r\ntwo\nthree\r", "one\ntwo\nthree", id="crlf-and-lf"),
    pytest.param(b"50%\r60%\r100%\n", "50%60%100%\n", id="progress-carriage-returns"),
    pytest.param(b"ab\x08c\x07\x00d\n", "abcd\n", id="backspace-bell-nul"),
    pytest.param(b"a\tb\x7fc\n", "a\tb\x7fc\n", id="tab-and-del-kept"),
    pytest.param("h\u00e9llo \u2192 w\u00f6rld \u2713 \U0001F600\n".encode(), "h\u00e9llo \u2192 w\u00f6rld \u2713 \U0001F600\n", id="utf8"),
    pytest.param(b"a\xffb\xed\xa0\x80c\xc3\n", "a\ufffdb\ufffd\ufffd\ufffdc\ufffd\n", id="ill-formed-utf8"),
    # ESC ( is a two-byte escape: the B it selects stays visible.
    pytest.param(b"\x1b[2J\x1b[H\x1b[?25lscreen\x1b[?25h\x1b(B\n", "screenB\n", id="screen-control"),
    pytest.param(b"keep\x1bPq sixel data\x07 still in dcs", "keep", id="dcs-not-ended-by-bel"),
]


@pytest.mark.parametrize("raw, expected", CLEANING_CASES)
def test_read_available_and_history_clean_terminal_output(spawn, tmp_path, raw, expected):
    s = spawn(printing_child(tmp_path, raw))
    wait_done(tmp_path)
    assert s.read_available() == expected
    assert s.get_history() == expected
    assert s.read_available() == ""


# Text whose widest character needs 7, 8, 16 and 21 bits, between ASCII runs
# of every length around a 16-byte block, several times over.
WIDTH_CASES = [
    pytest.param("", id="ascii"),
    pytest.param("\u00e9\u00ff", id="latin-1"),
    pytest.param("\u00e9\u2192\u65e5\u0100", id="bmp"),
    pytest.param("\u00e9\u2192\U0001F600\U0010FFFF", id="astral"),
]


@pytest.mark.parametrize("chars", WIDTH_CASES)
def test_text_of_every_width_reads_as_the_same_str(spawn, tmp_path, chars):
    lines = []
    for n in range(34):
        lines.append("a" * n + chars + "b" * (33 - n) + chars * (n % 3))
    expected = "\n".join(lines) + "\nEND> "
    child = printing_child(tmp_path, expected.replace("\n", "\r\n").encode())
    s = spawn(child, True, ["END> "])
    text = s.read_until_ready(timeout_ms=20000, settle_ms=0)
    # Equal strs of different internal widths compare unequal in CPython, so
    # this also checks that each str is stored at its narrowest width.
    assert text == expected and hash(text) == hash(expected)
    assert s.get_history() == expected
    assert max(map(ord, text)) == max(map(ord, expected))


SPLIT_CASES = [
    # (first write, second write, joined, first alone, second alone)
    pytest.param(b"caf\xc3", b"\xa9\n", "caf\u00e9\n", "caf\ufffd", "\ufffd\n", id="utf8-character"),
    pytest.param(b"\xf0\x9f", b"\x98\x80!", "\U0001F600!", "\ufffd", "\ufffd\ufffd!", id="utf8-four-bytes"),
    pytest.param(b"a\x1b[3", b"1mb\n", "ab\n", "a", "1mb\n", id="csi"),
    pytest.param(b"\x1b]0;ti", b"tle\x07$ ", "$ ", "", "tle$ ", id="osc"),
    pytest.param(b"x\x1b", b"[0my", "xy", "x", "[0my", id="lone-escape"),
]


@pytest.mark.parametrize("first, second, joined, first_alone, second_alone", SPLIT_CASES)
def test_pieces_taken_by_one_read_are_cleaned_together(
    spawn, tmp_path, first, second, joined, first_alone, second_alone
):
    s = spawn(printing_child(tmp_path, first, second, gap=0.15))
    wait_done(tmp_path)
    assert s.read_available() == joined
    assert s.get_history() == joined


@pytest.mark.parametrize("first, second, joined, first_alone, second_alone", SPLIT_CASES)
def test_pieces_taken_by_two_reads_are_cleaned_apart_but_joined_in_history(
    spawn, tmp_path, first, second, joined, first_alone, second_alone
):
    child = python_child(
        tmp_path,
        f"""
        write({first!r})
        open(DONE + "1", "w").close()
        sys.stdin.readline()
        write({second!r})
        open(DONE + "2", "w").close()
        time.sleep(120)
        """,
    )
    s = spawn(child)
    wait_done(tmp_path, "done1")
    assert s.read_available() == first_alone
    send_line(s)
    wait_done(tmp_path, "done2")
    assert s.read_available() == second_alone
    # The history keeps the raw bytes, so the split no longer shows.
    assert s.get_history() == joined


def test_history_is_what_reads_took_and_reading_it_changes_nothing(spawn, tmp_path):
    child = python_child(
        tmp_path,
        """
        write(b"first \\x1b[32mpart\\x1b[0m\\n")
        open(DONE + "1", "w").close()
        sys.stdin.readline()
        write(b"second part\\n")
        open(DONE + "2", "w").close()
        time.sleep(120)
        """,
    )
    s = spawn(child)
    assert s.get_history() == ""
    wait_done(tmp_path, "done1")
    # Queued output is not history until a read takes it.
    assert s.get_history() == ""
    first = s.read_available()
    assert first == "first part\n"
    send_line(s)
    wait_done(tmp_path, "done2")
    assert s.get_history() == first
    second = s.read_available()
    assert second == "second part\n"
    assert s.get_history() == first + second
    assert s.get_history() == first + second


# ---- byte limits ----------------------------------------------------------------

# 400 distinct ASCII bytes without line feeds, so raw and clean lengths agree.
NUMBERED = "".join(f"{i:03d}," for i in range(100)).encode()


@pytest.mark.parametrize("pieces", [1, 4], ids=["one-write", "four-writes"])
@pytest.mark.parametrize("limit", [1, 99, 100, 101, 400, 1000])
def test_limit_takes_a_prefix_and_leaves_the_rest_queued(spawn, tmp_path, pieces, limit):
    size = len(NUMBERED) // pieces
    parts = [NUMBERED[i : i + size] for i in range(0, len(NUMBERED), size)]
    s = spawn(printing_child(tmp_path, *parts, gap=0.05))
    wait_done(tmp_path)
    data = NUMBERED.decode()
    taken = s.read_available(limit)
    assert taken == data[:limit]
    assert s.get_history() == taken
    # A zero limit takes nothing and records nothing.
    assert s.read_available(0) == ""
    assert s.read_available(max_bytes=0) == ""
    assert s.get_history() == taken
    assert s.read_available() == data[limit:]
    assert s.get_history() == data
    assert s.read_available() == ""


@pytest.mark.parametrize("limit", [300_001, 2_097_153, 3_000_000])
def test_waiting_reads_past_their_growth_points_take_exactly_the_cap_in_order(spawn, tmp_path, limit):
    # Lines of distinct numbers, far more than one read may take; raw and
    # clean lengths agree once the terminal's CR is gone, so the cap counts
    # the text's bytes plus one CR per line.
    lines = [f"{i:07d}" for i in range(400_000)]
    child = python_child(
        tmp_path,
        f"""
        write("".join(f"{{i:07d}}\\n" for i in range(400_000)).encode())
        done()
        time.sleep(120)
        """,
    )
    s = spawn(child, True, ["NEVER-SHOWN> "])
    wait_done(tmp_path)
    first = s.read_until_ready(timeout_ms=1500, max_output_bytes=limit, settle_ms=0)
    # 9 raw bytes per line ("NNNNNNN\r\n", cleaned to 8); a cut line keeps
    # at most its digits.
    whole, part = divmod(limit, 9)
    expected = "".join(line + "\n" for line in lines[:whole]) + lines[whole][: min(part, 7)]
    assert first == expected
    rest = s.read_until_ready(timeout_ms=3000, max_output_bytes=1 << 30, settle_ms=0)
    assert first + rest == "".join(line + "\n" for line in lines)


@pytest.mark.parametrize("limit", [1, 13])
def test_draining_with_a_small_limit_returns_every_byte_once_in_order(spawn, tmp_path, limit):
    parts = [NUMBERED[i : i + 37] for i in range(0, len(NUMBERED), 37)]
    s = spawn(printing_child(tmp_path, *parts, gap=0.01))
    wait_done(tmp_path)
    pieces = []
    while True:
        piece = s.read_available(limit)
        if not piece:
            break
        assert len(piece) <= limit
        pieces.append(piece)
    assert "".join(pieces) == NUMBERED.decode()
    assert s.get_history() == NUMBERED.decode()


@pytest.mark.parametrize("limit", [1, 3, 8])
def test_limit_inside_a_character_leaves_its_tail_for_the_next_read(spawn, tmp_path, limit):
    raw = "\u00e9" * 10  # 20 bytes of two-byte characters
    data = raw.encode()
    s = spawn(printing_child(tmp_path, data))
    wait_done(tmp_path)
    first = s.read_available(limit)
    second = s.read_available(limit)
    assert first == data[:limit].decode("utf-8", "replace")
    assert second == data[limit : 2 * limit].decode("utf-8", "replace")
    assert s.get_history() == data[: 2 * limit].decode("utf-8", "replace")
    assert s.read_available() == data[2 * limit :].decode("utf-8", "replace")
    assert s.get_history() == raw


def test_default_limit_is_64_kib_and_a_backlog_comes_in_order(spawn, tmp_path):
    total = 200_000
    child = python_child(
        tmp_path,
        f"""
        data = "".join(f"{{i:07d}};" for i in range({total // 8})).encode()
        write(data)
        done()
        time.sleep(120)
        """,
    )
    expected = "".join(f"{i:07d};" for i in range(total // 8))
    s = spawn(child)
    wait_done(tmp_path)
    first = s.read_available()
    # Far more than 64 KiB is queued by now.
    assert first == expected[:DEFAULT_READ_LIMIT]
    pieces = [first]
    got = len(first)
    deadline = time.monotonic() + 20
    while got < len(expected):
        assert time.monotonic() < deadline, f"only {got} of {len(expected)} bytes arrived"
        piece = s.read_available()
        assert len(piece) <= DEFAULT_READ_LIMIT
        if not piece:
            time.sleep(0.01)
        pieces.append(piece)
        got += len(piece)
    assert "".join(pieces) == expected
    assert s.read_available() == ""


# ---- history cap --------------------------------------------------------------


def coloured_lines(count):
    # 20 raw bytes a line once the terminal has added the CR.
    return b"".join(b"\x1b[3%dm%07d\xc3\xa9\x1b[0m\n" % (i % 8, i) for i in range(count))


@pytest.mark.parametrize(
    "offset, read_size",
    [
        pytest.param(0, 1 << 20, id="cut-at-line-start"),
        pytest.param(1, 8 << 20, id="cut-after-escape-byte-one-big-read"),
        pytest.param(13, 1 << 20, id="cut-inside-character"),
        pytest.param(15, 8 << 20, id="cut-inside-reset-sequence-one-big-read"),
    ],
)
def test_history_keeps_the_last_4_mib_of_raw_output(spawn, tmp_path, offset, read_size):
    """`offset` is where in a 20-byte line the kept part starts."""
    lines = 260_000  # about 5.2 MB through the terminal
    end_mark = b"<<fin>>"
    # Bytes after the last line (trailer and end mark) shift the cut.
    tail = (offset + HISTORY_CAP) % 20
    trailer = b"=" * ((tail - len(end_mark)) % 20)
    child = python_child(
        tmp_path,
        f"""
        data = b"".join(b"\\x1b[3%dm%07d\\xc3\\xa9\\x1b[0m\\n" % (i % 8, i) for i in range({lines}))
        write(data + {trailer!r})
        done()
        sys.stdin.readline()
        write({end_mark!r})
        time.sleep(120)
        """,
    )
    raw = as_terminal_shows(coloured_lines(lines)) + trailer + end_mark
    assert (len(raw) - HISTORY_CAP) % 20 == offset
    s = spawn(child)
    wait_done(tmp_path)
    # Take what the child wrote, then ask for an end mark: once it has come
    # back nothing is left in flight.
    assert s.read_available(read_size) != ""
    send_line(s)
    seen = ""
    deadline = time.monotonic() + 30
    while not seen.endswith(end_mark.decode()):
        assert time.monotonic() < deadline, "output did not drain within 30 s"
        piece = s.read_available(read_size)
        if not piece:
            time.sleep(0.01)
        seen = (seen + piece)[-64:]
    assert s.get_history() == clean_colour_lines(raw[-HISTORY_CAP:])


# ---- after the child has gone ----------------------------------------------------


@pytest.mark.parametrize(
    "lines, line_format",
    [(1, "last \x1b[1mwords\x1b[0m %d"), (200_000, "%07d")],
    ids=["one-line", "1.6-MB"],
)
def test_output_of_an_exited_child_stays_readable_then_reads_are_empty(spawn, tmp_path, lines, line_format):
    pattern = line_format.encode() + b"\n"
    child = python_child(tmp_path, f"write(b''.join({pattern!r} % i for i in range({lines})))\n")
    expected = clean_colour_lines(b"".join(pattern % i for i in range(lines)))
    s = spawn(child)
    deadline = time.monotonic() + 20
    while s.is_alive():
        assert time.monotonic() < deadline, "child did not exit"
        time.sleep(0.02)
    text = collect(s, lambda t: len(t) >= len(expected), max_bytes=1 << 22)
    assert text == expected
    for _ in range(3):
        assert s.read_available() == ""
        assert s.read_available(1) == ""
    assert s.get_history() == expected


def test_output_queued_before_close_stays_readable_after_close(spawn, tmp_path):
    s = spawn(printing_child(tmp_path, b"kept \xe2\x9c\x93\n", b"also kept\n", gap=0.05))
    wait_done(tmp_path)
    s.close()
    assert not s.is_alive()
    assert s.read_available(5) == "kept "
    assert s.read_available() == "\u2713\nalso kept\n"
    assert s.read_available() == ""
    assert s.get_history() == "kept \u2713\nalso kept\n"
    assert s.read_until_ready(timeout_ms=10_000) == ""


# ---- input ------------------------------------------------------------------------


@pytest.fixture
def shell(tmp_path, spawn):
    program = write_program(
        tmp_path / "shell",
        "#!/bin/sh\nunset ENV\nPS1='pellux$ '\nexport PS1\nexec /bin/sh -i\n",
    )
    s = spawn(program, True, ["pellux$ "])
    assert s.read_until_ready(timeout_ms=20_000).endswith("pellux$ ")
    return s


def test_ctrl_c_interrupts_the_foreground_program(shell):
    assert "pellux$" not in shell.send_and_read_until_ready("sleep 30", timeout_ms=300)
    assert shell.send_ctrl_c() is None
    # The sleep runs for 30 s: only an interrupt brings the prompt back
    # before this read's deadline.
    assert shell.read_until_ready(timeout_ms=20_000).endswith("pellux$ ")
    assert shell.send_and_read_until_ready("echo alive", timeout_ms=20_000) == "alive\npellux$ "


def test_ctrl_c_reaches_a_signal_handler(spawn, tmp_path):
    child = python_child(
        tmp_path,
        """
        import signal
        signal.signal(signal.SIGINT, lambda *a: (write(b"caught SIGINT\\n"), sys.exit(0)))
        write(b"armed\\n")
        time.sleep(60)
        """,
    )
    s = spawn(child)
    collect(s, lambda t: "armed\n" in t)
    s.send_ctrl_c()
    assert collect(s, lambda t: "\n" in t) == "caught SIGINT\n"


def test_ctrl_c_in_a_cooked_terminal_is_a_signal_not_input(spawn, tmp_path):
    child = python_child(
        tmp_path,
        """
        import signal
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        write(b"ignoring\\n")
        write(repr(sys.stdin.buffer.readline()).encode() + b"\\n")
        time.sleep(60)
        """,
    )
    s = spawn(child)
    collect(s, lambda t: "ignoring\n" in t)
    s.send_ctrl_c()
    send_line(s, "after")
    assert collect(s, lambda t: t.endswith("\n")) == "b'after\\n'\n"


@pytest.mark.parametrize("presses", [1, 3])
def test_ctrl_c_is_exactly_one_etx_byte_in_raw_mode(spawn, tmp_path, presses):
    child = python_child(
        tmp_path,
        """
        import select, tty
        tty.setraw(0)
        write(b"raw-ready\\r\\n")
        data = os.read(0, 64)
        while select.select([0], [], [], 0.5)[0]:
            data += os.read(0, 64)
        write(repr(data).encode() + b"\\r\\n")
        time.sleep(60)
        """,
    )
    s = spawn(child)
    collect(s, lambda t: "raw-ready\n" in t)
    for _ in range(presses):
        assert s.send_ctrl_c() is None
    assert collect(s, lambda t: t.endswith("\n")) == repr(b"\x03" * presses) + "\n"


# ---- a flood bigger than any buffer -------------------------------------------------


def test_flood_is_paused_then_read_whole_in_order_with_bounded_memory(spawn, tmp_path):
    width = 100  # characters a line including the LF; one more byte raw (CR)
    total_lines = (200 << 20) // (width + 1)
    pad = "x" * (width - 11)
    child = python_child(
        tmp_path,
        f"""
        pad = {pad!r}
        total = {total_lines}
        step = 8192
        for start in range(0, total, step):
            write("".join(f"{{i:09d}} {{pad}}\\n" for i in range(start, min(total, start + step))).encode())
        done()
        time.sleep(120)
        """,
    )
    baseline = vm_rss_bytes()
    peak = 0
    limit = 200 << 20

    def sample():
        nonlocal peak
        peak = max(peak, vm_rss_bytes() - baseline)
        return peak

    s = spawn(child)
    # Nobody reads: wait until the host stops growing, i.e. the child is held.
    # Memory freed by earlier tests may be reused, so growth alone is no sign;
    # the child's missing "done" file below is what proves it was held back.
    started = time.monotonic()
    deadline = started + 30
    last, still_since = 0, started
    while time.monotonic() - started < 3 or time.monotonic() - still_since < 1.5:
        assert time.monotonic() < deadline, "memory never stopped growing"
        time.sleep(0.1)
        grown = sample()
        if grown > last + (1 << 20):
            last, still_since = grown, time.monotonic()
    assert sample() < limit
    assert not (tmp_path / "done").exists(), "the child was not held back"

    expected_next = 0
    carry = ""
    reads = 0
    deadline = time.monotonic() + 60
    while expected_next < total_lines:
        assert time.monotonic() < deadline, f"stalled at line {expected_next} of {total_lines}"
        text = s.read_available(max_bytes=4 << 20)
        if not text:
            time.sleep(0.005)
            continue
        reads += 1
        if reads % 8 == 0:
            assert sample() < limit
        lines = (carry + text).split("\n")
        carry = lines.pop()
        for line in lines:
            if line != f"{expected_next:09d} {pad}":
                pytest.fail(f"line {expected_next} came as {line[:40]!r}")
            expected_next += 1
    assert carry == ""
    assert sample() < limit
    assert s.read_available() == ""
    history = s.get_history()
    assert len(history) <= HISTORY_CAP
    assert history.endswith(f"{total_lines - 1:09d} {pad}\n")
