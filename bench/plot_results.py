"""Plot of a published benchmark table: every case's time over the streaming pass.

    python bench/plot_results.py bench/results/<run>.md [--n 26] [--out <run>.png]

Reads the Markdown table that bench_kernels.py prints (one row per kernel,
case and n; a "÷stream" column per thread count) and draws, for one qubit
count (default: the largest in the table), one bar per case and thread count
on a log scale, with the streaming pass at 1.  The plot goes beside the table
(same name, .png) unless --out says otherwise.  Needs matplotlib.
"""

import argparse
import re
import sys
from pathlib import Path


def read_table(path):
    """{threads: {(kernel, case, n): ratio}} from the table's ÷stream columns."""
    header, rows = None, []
    for line in Path(path).read_text(encoding="utf-8").splitlines():
        if not line.startswith("|"):
            continue
        cells = [cell.strip() for cell in line.strip("|").split("|")]
        if header is None:
            header = cells
        elif not set("".join(cells)) <= set("-: "):
            rows.append(dict(zip(header, cells, strict=True)))
    if header is None:
        raise SystemExit(f"{path}: no table")
    ratios = {}
    for column in header:
        match = re.fullmatch(r"(\d+) thr ÷stream", column)
        if match:
            threads = int(match.group(1))
            ratios[threads] = {(r["kernel"], r["case"], int(r["n"])): float(r[column]) for r in rows if r[column]}
    if not ratios:
        raise SystemExit(f"{path}: no '<T> thr ÷stream' column")
    return ratios


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("table", type=Path)
    parser.add_argument("--n", type=int, default=None, help="qubit count to plot (default: the largest)")
    parser.add_argument("--out", type=Path, default=None)
    args = parser.parse_args(argv)

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ratios = read_table(args.table)
    n = args.n or max(key[2] for per_thread in ratios.values() for key in per_thread)
    cases = sorted({key[:2] for per_thread in ratios.values() for key in per_thread if key[2] == n}, key=_table_order)
    fig, ax = plt.subplots(figsize=(12, 5.5))
    width = 0.8 / len(ratios)
    for i, (threads, per_case) in enumerate(sorted(ratios.items())):
        xs = [x + (i - (len(ratios) - 1) / 2) * width for x in range(len(cases))]
        ax.bar(xs, [per_case.get((*case, n), float("nan")) for case in cases], width, label=f"{threads} thread(s)")
    ax.axhline(1.0, color="black", linestyle="--", linewidth=1.5, label="streaming pass (bandwidth limit)")
    ax.set_yscale("log")
    ax.set_xticks(range(len(cases)))
    ax.set_xticklabels([f"{kernel} {case}" for kernel, case in cases], rotation=90, fontsize=7)
    ax.set_ylabel("time per call ÷ streaming pass")
    ax.set_title(f"velt_core kernels at n = {n}: {args.table.stem}")
    ax.grid(True, axis="y", which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    out = args.out or args.table.with_suffix(".png")
    fig.savefig(out, dpi=100)
    print(f"plot: {out}")
    return 0


ORDER = ["apply_1q", "apply_cnot_fast", "apply_controlled_1q", "apply_swap", "apply_gate_fast", "apply_gate"]


def _table_order(case):
    kernel = case[0]
    return (ORDER.index(kernel) if kernel in ORDER else len(ORDER), kernel, case[1])


if __name__ == "__main__":
    sys.exit(main())
