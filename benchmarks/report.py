"""The results table, the targets and the chart."""

from __future__ import annotations

from common import Report

def fmt(x) -> str:
    if x is None:
        return "-"
    if isinstance(x, str):
        return x
    if abs(x) >= 1000:
        return f"{x:,.0f}"
    if abs(x) >= 100:
        return f"{x:.1f}"
    if abs(x) >= 10:
        return f"{x:.2f}"
    return f"{x:.3f}"


def print_table(rep: Report) -> str:
    lines = []
    hdr = f"{'workload':<8} {'case':<44} {'impl':<8} {'median':>10} {'min':>10} {'max':>10} {'unit':<8} {'x floor':>8} {'range':>15}"
    lines.append(hdr)
    lines.append("-" * len(hdr))
    last = None
    per_case: dict = {}
    for r in rep.rows:
        per_case[(r["workload"], r["case"])] = per_case.get((r["workload"], r["case"]), 0) + 1
    for r in rep.rows:
        # A blank line between cases that several implementations ran.
        key = (r["workload"], r["case"]) if per_case[(r["workload"], r["case"])] > 1 else (r["workload"],)
        if last and key != last:
            lines.append("")
        last = key
        rng = (f"{r['ratio_min']:.2f}-{r['ratio_max']:.2f}" if "ratio_min" in r else "")
        extra = ""
        if "mb_per_s" in r:
            extra = f"  {r['mb_per_s']:.1f} MB/s"
        if "turns_per_s" in r:
            extra = f"  {r['turns_per_s']:.0f} turns/s"
        ratio = f"{r['ratio']:.3f}" if "ratio" in r else ""
        lines.append(f"{r['workload']:<8} {r['case'][:44]:<44} {r['impl']:<8} {fmt(r['median']):>10} "
                     f"{fmt(r['min']):>10} {fmt(r['max']):>10} {r['unit']:<8} "
                     f"{ratio:>8} {rng:>15}{extra}")
    lines.append("")
    lines.append("targets")
    for t in rep.targets:
        lines.append(f"  [{'met ' if t['met'] else 'MISS'}] {t['target']:<62} {t['shown']:>14}")
    met = sum(t["met"] for t in rep.targets)
    lines.append(f"  {met} of {len(rep.targets)} targets met")
    for n in rep.notes:
        lines.append(f"note: {n}")
    text = "\n".join(lines)
    print(text)
    return text


def draw_chart(rep: Report, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    groups = [("latency", "turn latency"), ("bulk", "bulk drain"), ("spawn", "spawn to first prompt"),
              ("clean", "get_history cleaning")]
    colours = {"pellux": "#1f77b4", "pexpect": "#d62728", "stdlib": "#2ca02c", "floor": "#7f7f7f"}
    fig, axes = plt.subplots(1, len(groups), figsize=(18, 6))
    for ax, (wl, title) in zip(axes, groups):
        rows = [r for r in rep.rows if r["workload"] == wl and "ratio" in r and r["impl"] != "floor"]
        cases = list(dict.fromkeys(r["case"] for r in rows))
        impls = [i for i in ("pellux", "pexpect", "stdlib") if any(r["impl"] == i for r in rows)]
        width = 0.8 / max(1, len(impls))
        for j, impl in enumerate(impls):
            xs, ys, lo, hi = [], [], [], []
            for i, c in enumerate(cases):
                r = next((r for r in rows if r["case"] == c and r["impl"] == impl), None)
                if r is None:
                    continue
                xs.append(i + (j - (len(impls) - 1) / 2) * width)
                ys.append(r["ratio"])
                lo.append(r["ratio"] - r.get("ratio_min", r["ratio"]))
                hi.append(r.get("ratio_max", r["ratio"]) - r["ratio"])
            label = "stdlib (Python regex)" if wl == "clean" and impl == "stdlib" else impl
            ax.bar(xs, ys, width, label=label, color=colours[impl], yerr=[lo, hi], capsize=2)
        ax.axhline(1.0, color="black", linewidth=1)
        ax.set_xticks(range(len(cases)))
        ax.set_xticklabels([c.replace("first prompt, ", "").replace("get_history ", "")
                            for c in cases], rotation=30, ha="right")
        ax.set_yscale("log")
        ax.yaxis.set_major_formatter(matplotlib.ticker.FormatStrFormatter("%g"))
        ax.yaxis.set_minor_formatter(matplotlib.ticker.FormatStrFormatter("%g"))
        ax.set_title(title)
        ax.set_ylabel("time / C floor (lower is better)")
        if impls:
            ax.legend(fontsize=8)
    fig.suptitle("pellux, pexpect and a stdlib driver against a C floor (= 1.0)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)

