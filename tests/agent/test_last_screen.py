"""last_screen(): what someone watching sees, without taking anything from
the reads of whoever drives the terminal."""

from __future__ import annotations

import threading
import time

import pytest

from pellux_agent import Terminal

pytest.importorskip("pyghostty")


def test_watching_takes_no_output_and_never_waits() -> None:
    with Terminal("python3", screen=True, rows=10, cols=40) as t:
        t.read()
        t.send("print('seen', 6 * 7)")
        assert any(row.endswith("seen 42") for row in t.last_screen().rows)

        # Output that no read has taken yet is not on the watcher's screen,
        # and the driver's next read still gets all of it.
        t.write("print('pending', 7 * 7)\n")
        time.sleep(1.0)  # the answer arrives and waits, queued, for a read
        assert not any("pending 49" in row for row in t.last_screen().rows)
        assert "pending 49" in t.read().output
        assert any(row.endswith("pending 49") for row in t.last_screen().rows)

        # While a read holds the terminal, a look answers at once (None:
        # look again), and the read is not disturbed.
        turn = []
        reader = threading.Thread(target=lambda: turn.append(t.send("import time; time.sleep(1.5); 'done'")))
        reader.start()
        busy_looks = 0
        while reader.is_alive():
            busy_looks += t.last_screen() is None
            time.sleep(0.01)
        reader.join(30)
        assert busy_looks > 0
        assert turn and "'done'" in turn[0].output and turn[0].status == "ready"

    assert t.last_screen() is None  # closed
    with Terminal("python3") as plain:
        assert plain.last_screen() is None  # no screen
