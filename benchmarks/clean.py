"""Cleaning: get_history() over 4 MiB of real terminal output, against the C
floor's filter and the stdlib regex, and the C++ sanitizer alone
(bench_sanitize.cpp)."""

from __future__ import annotations

import os
import statistics
import subprocess
import time

from common import BIN, HISTORY_CAP, MARKER, OUT, Report, make_drivers, summary

def w_clean(rep: Report, paths: dict, quick: bool) -> None:
    import corpora
    from drivers import CLEAN_RE, PelluxDriver

    reps = 5 if quick else 15
    files = corpora.build(OUT, BIN, HISTORY_CAP + 256 * 1024)
    floor = make_drivers(paths["prompt"], MARKER, ("floor",))[0]
    try:
        for name, path in files.items():
            data = open(path, "rb").read()
            if MARKER.encode() in data:
                raise RuntimeError(f"corpus {name} holds the prompt marker")
            # What the terminal hands the session: its first prompt, the file
            # with every LF sent as CR LF, the next prompt. The history keeps
            # the last 4 MiB of it.
            raw = (MARKER.encode() + data.replace(b"\n", b"\r\n") + MARKER.encode())[-HISTORY_CAP:]
            raw_path = os.path.join(OUT, "corpora", f"{name}.history")
            with open(raw_path, "wb") as f:
                f.write(raw)
            d = PelluxDriver(paths["prompt"], MARKER)
            d.spawn()
            d.session.send_and_read_until_ready(f"cat {path}", timeout_ms=60000,
                                                max_output_bytes=1 << 30, settle_ms=0)
            ts = []
            text = ""
            for _ in range(reps):
                t0 = time.perf_counter()
                text = d.session.get_history()
                ts.append(time.perf_counter() - t0)
            d.quit()
            # The same bytes through the C floor's filter and the stdlib regex.
            ft, flen = floor.filter(raw_path, reps)
            rts = []
            for _ in range(max(2, reps // 5)):
                t0 = time.perf_counter()
                CLEAN_RE.sub(b"", raw).decode("utf-8", "replace")
                rts.append(time.perf_counter() - t0)
            if abs(len(text.encode()) - flen) > 64:
                raise RuntimeError(f"corpus {name}: get_history gave {len(text.encode())} bytes, "
                                   f"the floor filter {flen}")
            gb = [len(raw) / t / 1e9 for t in ts]
            med = statistics.median(ts)
            rep.row("clean", f"get_history {name}", "pellux", "GB/s", summary(gb),
                    ms=med * 1e3, ratio=med / ft)
            rep.row("clean", f"get_history {name}", "floor", "GB/s", summary([len(raw) / ft / 1e9]),
                    ms=ft * 1e3, ratio=1.0)
            rep.row("clean", f"get_history {name}", "stdlib", "GB/s",
                    summary([len(raw) / t / 1e9 for t in rts]), ms=statistics.median(rts) * 1e3,
                    ratio=statistics.median(rts) / ft)
            goal = 0.6 if name == "escapes" else 1.5
            if name in ("ls", "gdb", "escapes"):
                rep.target(f"get_history {name}: >= {goal} GB/s", statistics.median(gb),
                           f">= {goal}", statistics.median(gb) >= goal, "{:.2f} GB/s")
        print("  clean get_history: done", flush=True)
    finally:
        floor.shutdown()

    exe = paths.get("bench_sanitize")
    if exe and os.path.exists(exe):
        out = subprocess.run([exe, "3" if quick else "10"], check=True, capture_output=True,
                             text=True).stdout
        for line in out.splitlines()[1:]:
            cols = line.rsplit(None, 4)
            if len(cols) != 5:
                continue
            try:
                mib, share, ms, gbs = (float(c) for c in cols[1:])
            except ValueError:
                continue
            label = cols[0].strip()
            rep.row("clean", f"sanitizer {label}", "pellux", "GB/s",
                    {"median": gbs, "min": gbs, "max": gbs, "n": 1}, out_share=share)
            if share >= 90.0:  # text-heavy: most of the input is text that stays
                rep.target(f"sanitizer alone, {label}: >= 2 GB/s", gbs, ">= 2", gbs >= 2.0,
                           "{:.2f} GB/s")
        print("  clean sanitizer: done", flush=True)
    else:
        rep.notes.append("bench_sanitize not built: sanitizer-alone figures missing")

