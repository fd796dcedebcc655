"""The process's memory as Linux reports it, and the peak-memory measurement
of one trace, made in a fresh process:

    python -m benchmarks.memory N SEEDS STEPS      (from the repository root)

builds the rotation field on N x N points (filled in place, no temporaries),
resets the peak resident set, traces SEEDS seeds for STEPS steps and prints
one JSON object: the resident set before the call, the peak during it, the
result's and the field's sizes, and how the peak was measured.

The peak is reset by writing 5 to /proc/self/clear_refs, which sets VmHWM to
the current VmRSS; the reset is first checked to work here (a freed block of
64 MiB must leave the peak, and the reset must bring it back down). Where it
does not, the peak is not reset ("method": "no reset"); the field is filled
in place so that the peak before the call is close to the resident set, and
the difference is reported ("hwm_before").
"""

import json
import sys

PROBE_BYTES = 64 << 20
SLACK_BYTES = 8 << 20  # counters are per-thread batched, pages huge: allow this much


def status_bytes(*fields, path="/proc/self/status"):
    """Fields of /proc/self/status given in kB (VmRSS, VmHWM, ...), in bytes."""
    wanted = {f: None for f in fields}
    with open(path, encoding="ascii") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in wanted:
                number, unit = value.split()
                if unit != "kB":
                    raise ValueError(f"unexpected unit in {path}: {line!r}")
                wanted[key] = int(number) * 1024
    missing = [f for f, v in wanted.items() if v is None]
    if missing:
        raise KeyError(f"{path} has no {', '.join(missing)}")
    return tuple(wanted[f] for f in fields)


def rss():
    return status_bytes("VmRSS")[0]


def reset_peak():
    """Sets VmHWM to the current VmRSS; False where the kernel refuses."""
    try:
        with open("/proc/self/clear_refs", "w", encoding="ascii") as f:
            f.write("5")
    except OSError:
        return False
    return True


def peak_reset_works():
    """Whether reset_peak() works here: a touched and freed 64 MiB block must
    raise VmHWM above VmRSS, and the reset must bring VmHWM back to VmRSS."""
    import numpy as np

    probe = np.ones(PROBE_BYTES // 8)
    del probe
    hwm, now = status_bytes("VmHWM", "VmRSS")
    if hwm - now < PROBE_BYTES - SLACK_BYTES:
        return False  # the freed block never showed in the peak: nothing to trust
    if not reset_peak():
        return False
    hwm, now = status_bytes("VmHWM", "VmRSS")
    return hwm - now <= SLACK_BYTES


def peak_growth(call, reset=True):
    """Runs call() and returns (its result, VmRSS before the call, VmHWM
    after it, VmHWM before it), in bytes. With `reset` the peak is reset
    first, so VmHWM after - VmRSS before is what the call added at its peak."""
    if reset:
        reset_peak()
    hwm_before, rss_before = status_bytes("VmHWM", "VmRSS")
    result = call()
    (hwm_after,) = status_bytes("VmHWM")
    return result, rss_before, hwm_after, hwm_before


def mappings(path="/proc/self/smaps"):
    """(start, end, {field: bytes}) for every mapping of the process."""
    out = []
    with open(path, encoding="ascii", errors="replace") as f:
        for line in f:
            head = line.split(None, 1)[0]
            if "-" in head and not head.endswith(":"):
                start, end = (int(v, 16) for v in head.split("-"))
                out.append((start, end, {}))
            elif head.endswith(":") and out:
                parts = line.split()
                if len(parts) == 3 and parts[2] == "kB":
                    out[-1][2][parts[0][:-1]] = int(parts[1]) * 1024
    return out


def huge_page_bytes(*arrays, path="/proc/self/smaps"):
    """AnonHugePages and Rss, in bytes, of the mappings that hold the arrays'
    data (a mapping shared by several arrays is counted once)."""
    ranges = []
    for a in arrays:
        start = a.__array_interface__["data"][0]
        ranges.append((start, start + a.nbytes))
    huge = resident = 0
    for start, end, fields in mappings(path):
        if any(start < hi and lo < end for lo, hi in ranges):
            huge += fields.get("AnonHugePages", 0)
            resident += fields.get("Rss", 0)
    return huge, resident


def measure_trace(n, n_seeds, steps):
    """The peak-memory figures of one rotation trace on n x n points."""
    import numpy as np

    import torvelin

    from .common import Grid, rotation_field

    # Fault in the module's code and first-call state on a tiny grid, and
    # check the reset before the field makes the resident set large.
    tiny = np.zeros(4)
    torvelin.trace_fieldlines(0.0, 1.0, 0.0, 1.0, 2, 2, tiny, tiny, [(0.5, 0.5)], 0.1, 2)
    works = peak_reset_works()

    # The rotation's components are filled in place from its (ny, 1) and
    # (1, nx) coordinate vectors: building the grid needs no temporaries.
    grid = Grid(-1.0, 1.0, -1.0, 1.0, n, n, rotation_field)
    radii = np.linspace(0.2, 0.8, n_seeds)
    seeds = [(float(r), 0.0) for r in radii]
    h = grid.spacing / float(radii.mean())  # one cell a step at the mean radius
    out, rss_before, hwm_after, hwm_before = peak_growth(
        lambda: grid.trace(seeds, h, steps), reset=works)
    return {
        "n": n, "seeds": n_seeds, "max_steps": steps, "step": h,
        "method": "clear_refs" if works else "no reset",
        "rss_before": rss_before, "hwm_before": hwm_before, "hwm_after": hwm_after,
        "result_bytes": out.nbytes, "field_bytes": grid.field_bytes,
    }


def main(argv):
    n, n_seeds, steps = (int(v) for v in argv)
    print(json.dumps(measure_trace(n, n_seeds, steps)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
