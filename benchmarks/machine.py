"""Where a run happens: the CPU, the lane kernel torvelin runs on it, and the
compiler the module was built with; and a copy of the module built to run
a narrower kernel, for timing the kernels against each other on one CPU.

The module chooses its kernel when it first traces in lanes: the first of
x86-64-v4 (AVX-512) and x86-64-v3 (AVX2) that the CPU supports, else the
baseline kernel (SSE2 on x86-64, 128-bit vectors elsewhere). A copy built
with CMake's TORVELIN_LANE_KERNEL set to a narrower one skips the wider
ones. The same rule is applied here to the CPU's flags.
"""

import os
import platform
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Widest first, as the module tries them.
KERNELS = ("avx512", "avx2", "baseline")

# The CPU features behind __builtin_cpu_supports("x86-64-v3") and "x86-64-v4",
# as /proc/cpuinfo names them (pni is SSE3, abm holds LZCNT, bmi1 is BMI).
X86_64_V2 = {"cx16", "lahf_lm", "popcnt", "pni", "sse4_1", "sse4_2", "ssse3"}
X86_64_V3 = X86_64_V2 | {"avx", "avx2", "bmi1", "bmi2", "f16c", "fma", "abm", "movbe", "xsave"}
X86_64_V4 = X86_64_V3 | {"avx512f", "avx512bw", "avx512cd", "avx512dq", "avx512vl"}
NEEDS = {"avx512": X86_64_V4, "avx2": X86_64_V3}


def _cpuinfo():
    """The first processor's fields in /proc/cpuinfo (empty where there is none)."""
    fields = {}
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                key, sep, value = line.partition(":")
                if not sep:
                    if fields:
                        break  # the end of the first processor's block
                    continue
                fields.setdefault(key.strip(), value.strip())
    except OSError:
        pass
    return fields


def cpu_model(info=None):
    """The model name, with the family and model numbers where they are given
    (some virtual machines name only the vendor and series)."""
    info = _cpuinfo() if info is None else info
    name = info.get("model name") or platform.processor() or platform.machine() or "unknown"
    if "cpu family" in info:
        name += f" (family {info['cpu family']}, model {info.get('model', '?')})"
    return name


def lane_kernel(widest="auto", machine=None, flags=None):
    """The kernel a module whose widest kernel is `widest` runs on a CPU of
    `machine` with `flags` (by default this one's)."""
    machine = platform.machine() if machine is None else machine
    if flags is None:
        flags = set(_cpuinfo().get("flags", "").split())
    if machine.lower() not in ("x86_64", "amd64"):
        return "baseline"
    allowed = KERNELS if widest == "auto" else KERNELS[KERNELS.index(widest):]
    return next((k for k in allowed if k in NEEDS and NEEDS[k] <= flags), "baseline")


def kernel_label(kernel, machine=None):
    machine = platform.machine() if machine is None else machine
    if kernel == "avx512":
        return "AVX-512 (x86-64-v4)"
    if kernel == "avx2":
        return "AVX2 (x86-64-v3)"
    if machine.lower() in ("x86_64", "amd64"):
        return "baseline (SSE2)"
    return "baseline (128-bit vectors)"


def elf_comments(path):
    """The strings of an ELF file's .comment section, where compilers and
    linkers name themselves; empty when the file is no ELF file or has none."""
    try:
        data = Path(path).read_bytes()
    except OSError:
        return []
    if data[:4] != b"\x7fELF" or len(data) < 64 or data[4] not in (1, 2) or data[5] not in (1, 2):
        return []
    wide = data[4] == 2
    end = "<" if data[5] == 1 else ">"
    try:
        if wide:
            shoff, = struct.unpack_from(end + "Q", data, 0x28)
            shentsize, shnum, shstrndx = struct.unpack_from(end + "HHH", data, 0x3A)
            header = end + "IIQQQQIIQQ"
        else:
            shoff, = struct.unpack_from(end + "I", data, 0x20)
            shentsize, shnum, shstrndx = struct.unpack_from(end + "HHH", data, 0x2E)
            header = end + "IIIIIIIIII"
        sections = [struct.unpack_from(header, data, shoff + k * shentsize) for k in range(shnum)]
        names = sections[shstrndx]
        for name, _, _, _, offset, size, *_ in sections:
            start = names[4] + name
            if data[start:data.index(b"\0", start)] == b".comment":
                strings = data[offset:offset + size].split(b"\0")
                return list(dict.fromkeys(s.decode("utf-8", "replace") for s in strings if s))
    except (struct.error, IndexError, ValueError):
        pass
    return []


def module_compiler(path):
    """What built the module at `path`, from its .comment section."""
    return "; ".join(elf_comments(path)) or "unknown (no .comment section)"


def describe(module_path, forced=None):
    """CPU, kernel and compiler of a run with the module at `module_path`,
    built with TORVELIN_LANE_KERNEL=`forced` (None: not restricted)."""
    kernel = lane_kernel(forced or "auto")
    how = (f"built to run {forced} at the widest" if forced
           else "the widest this CPU runs")
    return {"cpu": cpu_model(), "kernel": kernel_label(kernel),
            "kernel_choice": how, "compiler": module_compiler(module_path)}


def build_forced_module(kernel, into):
    """Builds a copy of the module whose dispatch stops at `kernel` into the
    folder `into` (pip, with the usual isolated build); returns the folder
    to put first on the module search path."""
    site = Path(into) / "site"
    command = [
        sys.executable, "-m", "pip", "install", "--quiet", "--no-deps", "--target", str(site),
        f"--config-settings=cmake.define.TORVELIN_LANE_KERNEL={kernel}",
        f"--config-settings=build-dir={Path(into) / 'build'}", str(ROOT),
    ]
    print(f"building a copy of torvelin that runs {kernel} at the widest, into {site}",
          flush=True)
    subprocess.run(command, check=True)
    return site


def run_with_forced_kernel(kernel, argv):
    """Builds the copy, then runs benchmarks/run.py with `argv` in a fresh
    process that imports it (told so, it builds nothing more); returns that
    process's exit status."""
    with tempfile.TemporaryDirectory(prefix="torvelin-kernel-") as tmp:
        try:
            site = build_forced_module(kernel, tmp)
        except subprocess.CalledProcessError as exc:
            print(f"!! building the module for {kernel} failed (exit {exc.returncode})",
                  file=sys.stderr)
            return 1
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(
            [str(site)] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
        command = [sys.executable, str(ROOT / "benchmarks" / "run.py"), *argv,
                   "--built-for-kernel", kernel, "--expect-module-in", str(site)]
        return subprocess.run(command, env=env, check=False).returncode
