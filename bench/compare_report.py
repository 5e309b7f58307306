"""The output of bench/compare.py: the result tables (plain and Markdown),
the chart, and the figures saved as JSON."""

from __future__ import annotations

import collections
import json
import os
import sys
from typing import Optional

from compare_peers import BATCH_NOTES, CONFIG_BY_KEY, Config, versions
from compare_runner import BATCH, OPS, PHASES, PROCS, SIZES, STRACE_BATCH, Results, size_label

# ----------------------------------------------------------------------------
# Output.


def fmt_rate(rate: Optional[float]) -> str:
    if rate is None:
        return "-"
    return f"{rate:,.0f}" if rate >= 100 else f"{rate:,.1f}"


def fmt_ratio(r: Optional[float]) -> str:
    if r is None:
        return ""
    return f"{r:.2f}" if r < 10 else f"{r:.1f}"


def table(headers: list[str], rows: list[list[str]], left: int = 3) -> str:
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(headers)]

    def line(cells: list[str]) -> str:
        return "  ".join(c.ljust(w) if i < left else c.rjust(w)
                         for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

    return "\n".join([line(headers), "  ".join("-" * w for w in widths)] + [line(r) for r in rows])


def markdown(headers: list[str], rows: list[list[str]], left: int = 3) -> str:
    align = ["---" if i < left else "---:" for i in range(len(headers))]
    out = ["| " + " | ".join(headers) + " |", "| " + " | ".join(align) + " |"]
    out += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(out)


def group_rows(res: Results, durable: bool, configs: list[Config]) -> tuple[list[str], list[list[str]]]:
    ours = next(c for c in configs if c.ours and c.durable == durable)
    peers = [c for c in configs if not c.ours and c.durable == durable]
    floor_mode = "fsync" if durable else "lock"
    floor_name = "floor write+fsync" if durable else "floor C syscalls"
    headers = ["workload", "body", "procs", f"{ours.label} ({ours.setting})"]
    headers += [p.label for p in peers] + [floor_name]
    rows = []
    for procs in PROCS:
        for op in OPS:
            for size in SIZES:
                mine = res.medians.get((ours.key, op, size, procs))
                row = [op, size_label(size), str(procs),
                       fmt_rate(mine) + res.notes.get((ours.key, op, size, procs), "")]
                for p in peers:
                    theirs = res.medians.get((p.key, op, size, procs))
                    note = res.notes.get((p.key, op, size, procs), "")
                    if theirs is None:
                        failed = (p.key, op, size, procs) in res.errors.get(p.key, {})
                        row.append("failed" if failed else "-")
                        continue
                    ratio = mine / theirs if mine else None
                    row.append(f"{fmt_rate(theirs)} (x{fmt_ratio(ratio)}){note}")
                floor = res.floors.get((floor_mode, procs))
                if op in ("enqueue", "dequeue+ack") and size == 100 and floor:
                    r = res.floor_ratios.get((ours.key, op, procs))
                    row.append(f"{fmt_rate(floor)} ({fmt_ratio(r)})")
                else:
                    row.append("")
                rows.append(row)
    return headers, rows


PEER_COLOURS = ("#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd", "#8c564b", "#7f7f7f")
OP_LABELS = {"enqueue": "enqueue", "dequeue+ack": "deq+ack",
             "enqueue_batch": "enqueue\nbatch", "dequeue_batch+ack_batch": "deq+ack\nbatch"}


def draw_chart(res: Results, configs: list[Config], path: str) -> str:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return "matplotlib not installed: no chart"
    fig, axes = plt.subplots(2, 2, figsize=(16, 10), sharey=True)
    workloads = [(op, size) for op in OPS for size in SIZES]
    values = [v for v in res.medians.values() if v]
    if not values:
        return "no figures: no chart"
    for row, durable in enumerate((True, False)):
        group = [c for c in configs if c.durable == durable]
        peers = iter(PEER_COLOURS)
        colours = {c.key: "#d62728" if c.ours else next(peers) for c in group}
        for col, procs in enumerate(PROCS):
            ax = axes[row][col]
            width = 0.8 / len(group)
            for i, c in enumerate(group):
                xs, ys = [], []
                for j, (op, size) in enumerate(workloads):
                    v = res.medians.get((c.key, op, size, procs))
                    if v:
                        xs.append(j - 0.4 + width * (i + 0.5))
                        ys.append(v)
                label = f"{c.label} ({c.setting})" if c.ours else f"{c.label}: {c.setting}"
                ax.bar(xs, ys, width, label=label, color=colours[c.key],
                       edgecolor="black", linewidth=0.3)
            floor = res.floors.get(("fsync" if durable else "lock", procs))
            if floor:
                # Only over the workloads it bounds: single calls, 100 B.
                for j, (op, size) in enumerate(workloads):
                    if size == 100 and op in ("enqueue", "dequeue+ack"):
                        ax.hlines(floor, j - 0.45, j + 0.45, colors="black", linestyles="dashed",
                                  label=None if j else ("floor: write+fsync of 133 B (C)" if durable
                                                        else "floor: flock+stat+write+unlock (C)"))
            ax.set_yscale("log")
            ax.set_ylim(min(values) / 2, max(values) * 60)
            ax.set_xticks(range(len(workloads)))
            ax.set_xticklabels([f"{OP_LABELS[op]}\n{size_label(size)}" for op, size in workloads],
                               fontsize=8)
            for j in range(1, len(workloads) // 2):
                ax.axvline(2 * j - 0.5, color="grey", linewidth=0.5, alpha=0.5)
            ax.set_title(("durable: on disk when the call returns" if durable
                          else "relaxed: handed to the OS, survives a killed process")
                         + f"; {procs} process{'es' if procs > 1 else ''}", fontsize=10)
            ax.grid(axis="y", which="major", alpha=0.4)
            if col == 0:
                ax.set_ylabel("messages/s (log scale)")
            ax.legend(fontsize=7, loc="upper left", ncol=2)
    fig.suptitle("tollivane and other embedded queues for Python, messages/s (medians; "
                 f"a batch moves {BATCH} messages per call)")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return f"chart written to {path}"


def render(res: Results, configs: list[Config], skipped: dict[str, str], runs: int, quick: bool,
           work_dir: str, chart: Optional[str], total: float) -> tuple[list[str], list[str]]:
    """The printed report and its Markdown tables, as lists of lines; draws
    the chart too when `chart` names a file."""
    out: list[str] = []
    md: list[str] = []
    out.append(f"tollivane and other embedded queues, messages/s, median of {runs} run(s); "
               f"{'quick' if quick else 'full'} budget; {os.cpu_count()} cores; "
               f"Python {sys.version.split()[0]}")
    out.append(versions())
    out.append(f"queues under {os.path.dirname(work_dir)}; batches move {BATCH} messages per call; "
               "tollivane with auto_compact_bytes=0")
    out.append("a peer cell reads: peer messages/s (x tollivane / peer); a floor cell: "
               "floor ops/s (tollivane / floor, paired within each run)")
    for durable in (True, False):
        headers, rows = group_rows(res, durable, configs)
        title = ("DURABLE: on disk when the call returns (fsync/fdatasync per call or batch)" if durable
                 else "RELAXED: handed to the OS when the call returns (survives a killed process, "
                 "not a power loss)")
        out += ["", title, table(headers, rows)]
        md += [f"**{title}**", "", markdown(headers, rows), ""]
    out.append("")
    out.append("1 process, durable enqueue and dequeue+ack: all durable configurations in one process, "
               "in 0.1 s slices taken in turn")
    out.append(f"floors: {res.floor_note}; 133-byte record on an O_APPEND file; with 4 processes, four "
               "copies run at once on one file (fsync floor: no lock between them)")
    floor_names = {"fsync": "write + fsync, O_APPEND",
                   "lock": "flock EX + stat + write + flock UN",
                   "overwrite": "pwrite in place + fdatasync (not a floor: the file never grows)"}
    for (mode, procs), v in sorted(res.floors.items()):
        got = res.floor_runs[(mode, procs)]
        runs_text = (", ".join(fmt_rate(x) for x in got) if len(got) <= 6
                     else f"{len(got)} slices, {fmt_rate(min(got))} to {fmt_rate(max(got))}")
        out.append(f"  {floor_names[mode]:36} {procs} proc: {fmt_rate(v):>10}/s  (runs: {runs_text})")
    for k, rs in sorted(res.ratio_runs.items()):
        out.append(f"  {CONFIG_BY_KEY[k[0]].setting} {k[1]}, {k[2]} proc, / floor: "
                   + ", ".join(f"{r:.2f}" for r in rs))

    if res.strace:
        out.append("")
        out.append(f"strace -f, per operation (batches: per call of {STRACE_BATCH} messages): sync calls "
                   "(fsync, fdatasync, msync with MS_SYNC) / all system calls")
        headers = ["configuration", "setting", "group"] + list(PHASES) + ["sync-class calls seen"]
        rows = []
        for c in configs:
            r = res.strace.get(c.key, {})
            if "error" in r:
                rows.append([c.label, c.setting, "", "error: " + r["error"], "", "", "", ""])
                continue
            detail = collections.Counter()
            cells = []
            for p in PHASES:
                cells.append(f"{r[p]['syncs']:g} / {r[p]['syscalls']:.1f}")
                for name, v in r[p]["sync_detail"].items():
                    detail[name] += 1 if v else 0
            seen = ", ".join(sorted(detail)) or "none"
            rows.append([c.label + (" (ours)" if c.ours else ""), c.setting,
                         "durable" if c.durable else "relaxed"] + cells + [seen])
        out.append(table(headers, rows))
        md += ["**System calls per operation (strace)**: sync calls / all calls", "",
               markdown(headers, rows), ""]
        for c in configs:
            r = res.strace.get(c.key, {})
            if "error" in r:
                continue
            expect = 1 if c.durable else 0
            single = (r["enqueue"]["syncs"], r["dequeue+ack"]["syncs"])
            if (single[0] >= expect and single[1] >= 2 * expect) if c.durable else max(single) == 0:
                continue
            out.append(f"  NOTE: {c.label} ({c.setting}) is in the {'durable' if c.durable else 'relaxed'} "
                       f"group but strace shows {single[0]:g} sync(s) per enqueue, {single[1]:g} per dequeue+ack")

    out.append("")
    out.append("batches:")
    for c in configs:
        out.append(f"  {c.label} ({c.setting}): {BATCH_NOTES.get(c.key, '')}")
    for key, reason in skipped.items():
        out.append(f"SKIPPED {CONFIG_BY_KEY[key].label} ({CONFIG_BY_KEY[key].setting}): {reason}")
    for key, errs in res.errors.items():
        if not any(k[0] == key for k in res.medians):
            first = next(iter(errs.values()))
            out.append(f"SKIPPED {CONFIG_BY_KEY[key].label} ({CONFIG_BY_KEY[key].setting}): "
                       f"failed to run in every measurement; first error: {first}")
            continue
        for (_, op, size, procs), msg in sorted(errs.items()):
            out.append(f"FAILED {CONFIG_BY_KEY[key].label} ({CONFIG_BY_KEY[key].setting}) "
                       f"{op} {size_label(size)} {procs} proc: {msg}")
    if chart:
        out.append(draw_chart(res, configs, chart))
    out.append(f"total time {total:.0f} s")
    return out, md


def save(res: Results, configs: list[Config], path: str) -> None:
    with open(path, "w") as f:
        json.dump({"configs": [c.key for c in configs],
                   "medians": [[list(k), v] for k, v in res.medians.items()],
                   "floors": [[list(k), v] for k, v in res.floors.items()],
                   "samples": [[list(k), v] for k, v in res.samples.items()],
                   "strace": res.strace}, f, indent=1)


def load(path: str) -> tuple[Results, set[str]]:
    """What `save` wrote, enough to draw the chart again: the figures and the
    keys of the configurations measured."""
    with open(path) as f:
        saved = json.load(f)
    res = Results(medians={tuple(k): v for k, v in saved["medians"]},
                  floors={tuple(k): v for k, v in saved["floors"]})
    return res, set(saved["configs"])
