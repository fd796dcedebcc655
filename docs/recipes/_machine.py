"""The machine a recipe runs on, for the speed figures it prints.

torvelin picks one lane kernel when it is imported: AVX-512 on a CPU of
x86-64-v4, AVX2 on x86-64-v3, SSE2 otherwise. The same test is made here
from the CPU flags that Linux reports.
"""

import os
import platform
import re

V4 = {"avx512f", "avx512bw", "avx512cd", "avx512dq", "avx512vl"}
V3 = {"avx2", "fma", "bmi1", "bmi2", "f16c", "movbe", "abm"}


def describe():
    """'CPU model, N cores, KERNEL kernel' as far as /proc/cpuinfo tells."""
    try:
        with open("/proc/cpuinfo") as f:
            info = f.read()
    except OSError:
        return f"{platform.machine()} CPU, {os.cpu_count()} cores"
    model = re.search(r"^model name\s*:\s*(.+)$", info, re.M)
    flags = re.search(r"^flags\s*:\s*(.+)$", info, re.M)
    flags = set(flags.group(1).split()) if flags else set()
    if platform.machine() != "x86_64":
        kernel = "portable"
    elif V4 <= flags:
        kernel = "AVX-512"
    elif V3 <= flags:
        kernel = "AVX2"
    else:
        kernel = "SSE2"
    name = model.group(1).strip() if model else platform.machine()
    return f"{name}, {os.cpu_count()} cores, {kernel} lane kernel"
