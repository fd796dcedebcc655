"""What a run measured: the result rows, the extra figures, the peers that
were skipped or failed, the bit-identity checks; printing, JSON and the
scaling plot."""

import json
import math
import sys
import traceback

from .common import same_points
from .peers import label


class Report:
    def __init__(self):
        self.results = []  # one row per (workload, tool) measurement
        self.extra = {}  # workload figures that are not rows
        self.skipped = {}  # tool -> reason it was not run
        self.failed = {}  # "workload/tool" -> error of a peer that could be imported but failed
        self.identical = {}  # check -> {tool: whether its points equal torvelin's bit for bit}

    # -- rows ---------------------------------------------------------------

    def record(self, workload, tool, seconds, steps, unit="step", accuracy=None, note="",
               ratio=None, **more):
        ns = seconds / steps * 1e9 if steps else math.nan
        entry = {
            "workload": workload, "tool": tool, "seconds": seconds, "steps": int(steps),
            "unit": unit, "ns_per_step": ns, "ratio": ratio, "accuracy": accuracy, "note": note,
        }
        entry.update(more)
        self.results.append(entry)
        return entry

    def rows(self, workload):
        return [r for r in self.results if r["workload"] == workload]

    def finish_ratios(self, workload):
        """ratio = ns/step of each tool / ns/step of torvelin, within a workload."""
        rows = self.rows(workload)
        base = next((r for r in rows if r["tool"] == "torvelin"), None)
        for r in rows:
            if base is not None and base["ns_per_step"] > 0:
                r["ratio"] = r["ns_per_step"] / base["ns_per_step"]

    def print_table(self, workload, with_accuracy):
        rows = self.rows(workload)
        head = f"  {'tool':<30} {'ns/step':>11} {'vs torvelin':>12}"
        if with_accuracy:
            head += f" {'max |r_end-r_seed|':>19}"
        head += f" {'steps':>11}  note"
        print(head)
        for r in rows:
            ratio = f"{r['ratio']:.2f}" if r["ratio"] is not None else "-"
            line = f"  {label(r['tool']):<30} {r['ns_per_step']:>11.1f} {ratio:>12}"
            if with_accuracy:
                acc = f"{r['accuracy']:.2e}" if r["accuracy"] is not None else "-"
                line += f" {acc:>19}"
            line += f" {r['steps']:>11}  {r['note']}"
            print(line.rstrip())
        for tool in ("numba", "numpy", "scipy", "streamplot", "streamtracer"):
            if tool in self.skipped and not any(r["tool"] == tool for r in rows):
                print(f"  {label(tool):<30} skipped: {self.skipped[tool]}")

    # -- peers --------------------------------------------------------------

    def run_peer(self, tool, workload, fn):
        """Runs one peer measurement; a failure is recorded and reported, not raised."""
        try:
            return fn()
        except Exception as exc:
            self.failed[f"{workload}/{tool}"] = f"{type(exc).__name__}: {exc}"
            print(f"  !! {label(tool)} failed on {workload}:", file=sys.stderr)
            traceback.print_exc()
            return None

    def check_identical(self, check, tool, out, ref):
        """Notes whether a same-formula peer's points equal torvelin's, bit for bit."""
        same = same_points(out, ref)
        self.identical.setdefault(check, {})[tool] = same
        return same

    def print_identical(self, check):
        identical = self.identical.get(check, {})
        if identical:
            names = ", ".join(f"{k} {'yes' if v else 'NO'}" for k, v in identical.items())
            print(f"  bit-identical to torvelin: {'yes' if all(identical.values()) else 'no'} "
                  f"({names})")
        return identical

    def mismatches(self):
        return [f"{check}: {tool}" for check, tools in self.identical.items()
                for tool, same in tools.items() if not same]

    def exit_status(self):
        """1 when a peer that could be imported failed, or a same-formula
        peer's points differ from torvelin's; else 0."""
        return 1 if self.failed or self.mismatches() else 0

    # -- output -------------------------------------------------------------

    def write_json(self, path, **header):
        report = dict(header)
        report.update({
            "results": self.results, "skipped": self.skipped, "failed": self.failed,
            "extra": self.extra, "bit_identical": self.identical,
        })
        with open(path, "w", encoding="utf-8") as f:
            json.dump(finite_or_none(report), f, indent=2, allow_nan=False)
            f.write("\n")


def finite_or_none(obj):
    """NaN and infinities become null, so that the file is strict JSON."""
    if isinstance(obj, float):
        return obj if math.isfinite(obj) else None
    if isinstance(obj, dict):
        return {k: finite_or_none(v) for k, v in obj.items()}
    if isinstance(obj, (list, tuple)):
        return [finite_or_none(v) for v in obj]
    return obj


SCALING_STYLE = {  # tool -> colour; field -> line style and marker
    "torvelin": "tab:blue", "numba": "tab:orange", "numba_prange": "tab:green",
    "rotation": ("-", "o"), "line_currents": ("--", "s"),
}


def plot_scaling(plt, rows, path, title):
    """Log-log plot of ns/step against points per side, one line per
    (tool, field) among the scaling rows."""
    fig, ax = plt.subplots(figsize=(7.0, 4.8))
    try:
        sizes = sorted({r["n"] for r in rows})
        series = {}
        for r in rows:
            series.setdefault((r["tool"], r["field"]), []).append((r["n"], r["ns_per_step"]))
        for (tool, field), points in series.items():
            points.sort()
            style, marker = SCALING_STYLE.get(field, ("-", "o"))
            ax.plot([p[0] for p in points], [p[1] for p in points], linestyle=style,
                    marker=marker, color=SCALING_STYLE.get(tool),
                    label=f"{label(tool)}, {field.replace('_', ' ')}")
        ax.set_xscale("log", base=2)
        ax.set_yscale("log")
        ax.set_xticks(sizes)
        ax.set_xticklabels([f"{n}²" for n in sizes])
        ax.xaxis.set_minor_locator(plt.NullLocator())
        ax.set_xlabel("grid points")
        ax.set_ylabel("ns per RK4 step")
        ax.set_title(title, fontsize=10)
        ax.grid(True, which="major", alpha=0.3)
        ax.legend(fontsize=8)
        fig.tight_layout()
        fig.savefig(path, dpi=120, bbox_inches="tight")
    finally:
        plt.close(fig)
