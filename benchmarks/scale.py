"""Scale: 256 sessions open in one process (16 threads x 16 sessions): turn
latency and resident memory per session."""

from __future__ import annotations

import os
import queue
import statistics
import threading
import time

from common import MARKER, Report, summary

def _rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")



class _Owner(threading.Thread):
    """A thread that owns some pellux sessions and runs commands on them."""

    def __init__(self, prompt: str, count: int):
        super().__init__(daemon=True)
        self.prompt, self.count = prompt, count
        self.cmds: queue.Queue = queue.Queue()
        self.results: queue.Queue = queue.Queue()
        self.sessions = []

    def run(self):
        import pellux

        while True:
            cmd, arg = self.cmds.get()
            try:
                if cmd == "spawn":
                    for _ in range(self.count):
                        s = pellux.Pellux(self.prompt, True, [MARKER])
                        s.read_until_ready(timeout_ms=20000, settle_ms=0)
                        self.sessions.append(s)
                    self.results.put(None)
                elif cmd == "turns":  # `arg` turns on each session, one after another
                    times = []
                    pc = time.perf_counter
                    for _ in range(arg):
                        for s in self.sessions:
                            t0 = pc()
                            text = s.send_and_read_until_ready("echo hello", timeout_ms=20000,
                                                               settle_ms=0)
                            times.append(pc() - t0)
                            if not text.startswith("hello"):
                                raise RuntimeError(f"unexpected answer {text!r}")
                    self.results.put(times)
                elif cmd == "quit":
                    for s in self.sessions:
                        s.send_and_read_until_ready("quit", timeout_ms=5000, settle_ms=0)
                        s.close()
                    self.sessions.clear()
                    self.results.put(None)
                    return
            except BaseException as e:  # reported to the main thread
                self.results.put(e)
                return

    def call(self, cmd, arg=None):
        self.cmds.put((cmd, arg))
        r = self.results.get()
        if isinstance(r, BaseException):
            raise r
        return r


def w_scale(rep: Report, paths: dict, quick: bool) -> None:
    from drivers import PelluxDriver

    nthreads, per = 16, 16
    rounds = 2 if quick else 5
    single_k = 64 if quick else 256

    def single_session() -> list[float]:
        d = PelluxDriver(paths["prompt"], MARKER)
        d.spawn()
        d.turns("echo hello", 20)
        times = []
        for _ in range(rounds):
            times += d.turns("echo hello", single_k // rounds)[0]
        d.quit()
        return times

    before = single_session()
    owners = [_Owner(paths["prompt"], per) for _ in range(nthreads)]
    for o in owners:
        o.start()
    time.sleep(0.05)
    rss0 = _rss()
    for o in owners:  # one at a time: each session is made by its owner
        o.call("spawn")
    rss_idle = _rss()
    for o in owners:
        o.call("turns", 1)  # warm-up, one turn each
    multi = []
    for _ in range(rounds):
        for o in owners:  # one thread at a time: one turn in flight
            multi += o.call("turns", 1)
    rss_used = _rss()
    # All threads at once (throughput, not a target).
    t0 = time.perf_counter()
    for o in owners:
        o.cmds.put(("turns", 2))
    conc = []
    for o in owners:
        r = o.results.get()
        if isinstance(r, BaseException):
            raise r
        conc += r
    wall = time.perf_counter() - t0
    for o in owners:
        o.call("quit")
    after = single_session()
    single = before + after
    n = nthreads * per
    # The same pattern through the hand-written stdlib driver, one thread:
    # what turning over many sessions costs any driver (cold caches, more
    # processes to schedule), for comparison.
    from drivers import StdlibDriver

    ref_single = StdlibDriver(paths["prompt"], MARKER)
    ref_single.spawn()
    ref_one = []
    for _ in range(rounds):
        ref_one += ref_single.turns("echo hello", single_k // rounds)[0]
    ref_single.quit()
    ref = [StdlibDriver(paths["prompt"], MARKER) for _ in range(n)]
    for d in ref:
        d.spawn()
    ref_many = []
    for _ in range(rounds + 1):
        times = [d.turns("echo hello", 1)[0][0] for d in ref]
        ref_many += times if _ else []
    for d in ref:
        d.quit()
    rep.row("scale", "single session", "pellux", "us/turn", summary([x * 1e6 for x in single]))
    rep.row("scale", "single session", "stdlib", "us/turn", summary([x * 1e6 for x in ref_one]))
    rep.row("scale", f"{n} sessions open, one turn at a time", "pellux", "us/turn",
            summary([x * 1e6 for x in multi]),
            ratio=statistics.median(multi) / statistics.median(single))
    rep.row("scale", f"{n} sessions open, one turn at a time", "stdlib", "us/turn",
            summary([x * 1e6 for x in ref_many]),
            ratio=statistics.median(ref_many) / statistics.median(ref_one))
    rep.row("scale", f"{n} sessions, {nthreads} threads turning at once", "pellux", "us/turn",
            summary([x * 1e6 for x in conc]), turns_per_s=len(conc) / wall)
    per_idle = (rss_idle - rss0) / n / 1024
    per_used = (rss_used - rss0) / n / 1024
    rep.row("scale", "RSS per idle session (after spawn)", "pellux", "KiB",
            {"median": per_idle, "min": per_idle, "max": per_idle, "n": 1})
    rep.row("scale", "RSS per idle session (after a few turns)", "pellux", "KiB",
            {"median": per_used, "min": per_used, "max": per_used, "n": 1})
    rep.notes.append("scale: the 'x floor' column holds the ratio to the same driver's single "
                     "session; clean: to the C floor's filter over the same bytes")
    r = statistics.median(multi) / statistics.median(single)
    rep.target(f"scale: turn latency with {n} open / single <= 1.5", r, "<= 1.50", r <= 1.5)
    worst = max(per_idle, per_used)
    rep.target(f"scale: RSS per idle session <= 256 KiB", worst, "<= 256", worst <= 256,
               "{:.1f} KiB")
    print("  scale: done", flush=True)

