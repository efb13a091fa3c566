"""The output sanitizer, tested through native code: the C++ test program in
each build that matters, and property tests of the library through ctypes
against a reference written here from the filter's rule table."""

from __future__ import annotations

import ctypes
import re
import subprocess

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

SANITIZER = ("src/sanitize/sanitize.cpp",)

ASAN = ("-O1", "-g", "-fno-omit-frame-pointer", "-fsanitize=address,undefined", "-fno-sanitize-recover=all")


@pytest.mark.parametrize(
    "variant, flags",
    [
        pytest.param("default", (), id="default"),
        # The word-at-a-time code that machines without SSE2 get.
        pytest.param("portable", ("-DPELLUX_SANITIZE_PORTABLE",), id="portable"),
        # Reads past the input and writes past the output are the faults
        # block-wise code is prone to; the test program keeps every input in
        # a heap block of its exact size so these builds catch them.
        pytest.param("asan", ASAN, id="asan"),
        pytest.param("portable-asan", ("-DPELLUX_SANITIZE_PORTABLE", *ASAN), id="portable-asan"),
    ],
)
def test_native_program(native, variant, flags):
    exe = native.executable(f"test_sanitize-{variant}", ["tests/cpp/test_sanitize.cpp", *SANITIZER], flags)
    proc = subprocess.run([str(exe)], capture_output=True, text=True, timeout=900)
    report = proc.stdout[-6000:] + proc.stderr[-6000:]
    assert proc.returncode == 0, report
    lines = proc.stdout.strip().splitlines()
    assert lines and re.fullmatch(r"[1-9]\d* passed, 0 failed", lines[-1]), report


@pytest.fixture(scope="module")
def sanitize(native):
    lib = ctypes.CDLL(str(native.shared_library("sanitize_shim", ["tests/cpp/sanitize_shim.cpp", *SANITIZER])))
    fn = lib.pellux_test_sanitize
    fn.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t]
    fn.restype = ctypes.c_size_t

    def run(data: bytes) -> bytes:
        cap = 3 * len(data)
        out = ctypes.create_string_buffer(cap or 1)
        size = fn(data, len(data), out, cap)
        assert size <= cap
        return out.raw[:size]

    return run


# --- Reference ---------------------------------------------------------------

CSI, OSC, DCS, PM, APC = 0x5B, 0x5D, 0x50, 0x5E, 0x5F
ESC, BEL, BACKSLASH = 0x1B, 0x07, 0x5C


def reference_filter(data: bytes) -> bytes:
    """Stage 1, one rule at a time, in the order of the rule table."""
    out = bytearray()
    i, n = 0, len(data)
    while i < n:
        b = data[i]
        if b == 0x0D:
            i += 1
        elif b == ESC:
            if i + 1 == n:
                break
            kind = data[i + 1]
            if kind == CSI:
                j = i + 2
                while j < n and not 0x40 <= data[j] <= 0x7E:
                    j += 1
                if j >= n:
                    break
                i = j + 1
            elif kind in (OSC, DCS, PM, APC):
                j, after = i + 2, None
                while j < n:
                    if kind == OSC and data[j] == BEL:
                        after = j + 1
                        break
                    if data[j] == ESC and j + 1 < n and data[j + 1] == BACKSLASH:
                        after = j + 2
                        break
                    j += 1
                if after is None:
                    break
                i = after
            else:
                i += 2
        elif b < 0x20 and b not in (0x09, 0x0A):
            i += 1
        else:
            out.append(b)
            i += 1
    return bytes(out)


def reference(data: bytes) -> str:
    return reference_filter(data).decode("utf-8", "replace")


def check(sanitize, data: bytes) -> None:
    out = sanitize(data)
    text = out.decode("utf-8")  # raises on ill-formed output
    bad = [ch for ch in text if ch < " " and ch not in "\t\n"]
    assert not bad, f"control characters {bad!r} in {text!r}"
    assert text == reference(data)


# --- Inputs ------------------------------------------------------------------

def one_byte(values):
    return st.sampled_from([bytes([v]) for v in values])


# Bytes the rules turn on: introducers, terminators, finals, controls, and
# the bytes of multi-byte characters.
rule_byte = st.one_of(
    one_byte([ESC, CSI, OSC, DCS, PM, APC, BACKSLASH, BEL, 0x0D, 0x0A, 0x09, 0x00, 0x08, 0x7F, 0x9B]),
    one_byte(range(0x40, 0x7F)),  # CSI finals
    one_byte([0x30, 0x31, 0x3B, 0x3F, 0x20]),  # parameter and intermediate bytes
    one_byte([0xC3, 0xA9, 0xE2, 0xF0, 0xED, 0xF4, 0xC0, 0xFF]),
    one_byte(range(0x80, 0xC0)),  # continuation bytes
)

# Something shaped like a control sequence, finished or not: an introducer,
# a body of rule bytes, and one of the ways a sequence can end.
sequence = st.builds(
    lambda intro, body, end: intro + body + end,
    st.sampled_from([b"\x1b[", b"\x1b]", b"\x1bP", b"\x1b^", b"\x1b_", b"\x1bX", b"\x1b(", b"\x1b"]),
    st.lists(rule_byte, max_size=24).map(b"".join),
    st.sampled_from([b"\x07", b"\x1b\\", b"m", b"H", b"", b"\x1b", b"\xc3"]),
)

# Runs long enough to cross the 16- and 64-byte blocks the code works in.
text_run = st.one_of(
    st.text(alphabet="abcdefghij klm", min_size=1, max_size=80).map(str.encode),
    st.sampled_from([b"\xc3\xa9", b"\xe2\x82\xac", b"\xf0\x9f\x98\x80"]),
)

escape_heavy = st.lists(st.one_of(sequence, rule_byte, text_run), min_size=2, max_size=40).map(b"".join)


@settings(max_examples=400, deadline=None, database=None)
@given(st.binary(max_size=400))
def test_random_bytes_match_reference(sanitize, data):
    check(sanitize, data)


@settings(max_examples=1000, deadline=None, database=None)
@given(escape_heavy)
def test_escape_heavy_bytes_match_reference(sanitize, data):
    check(sanitize, data)


def test_result_filling_the_worst_case_bound(sanitize):
    # Every byte becomes U+FFFD: three output bytes per input byte, exactly.
    data = b"\x80" * 1000
    assert sanitize(data) == "\ufffd".encode() * 1000


def test_nul_bytes_cross_the_boundary_and_are_dropped(sanitize):
    assert sanitize(b"a\x00b\x00\x00c\x7f") == b"abc\x7f"
