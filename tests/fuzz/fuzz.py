"""Fuzz torvelin's two functions, or replay stored inputs.

    python tests/fuzz/fuzz.py --replay [FILE_OR_DIR ...]
        runs every input once (by default the stored corpus) and reports each
        finding; exits 1 if there was one.
    python tests/fuzz/fuzz.py [--engine atheris|hypothesis] [--time SECONDS]
                              [WORK_CORPUS_DIR ...] [-- LIBFUZZER_FLAGS ...]
        fuzzes for SECONDS (default 60).  With atheris (the default when it
        is installed) the first corpus directory receives the new inputs and
        the stored corpus is read too; a finding is written to
        --artifacts (default ./fuzz-findings/) and ends the run with a non-zero
        exit.  Without atheris, Hypothesis draws the byte strings instead.

    python tests/fuzz/fuzz.py --merge OUT_DIR IN_DIR ...
        (atheris) keeps in OUT_DIR a minimal set of the inputs of the IN_DIRs
        that covers what they all cover.

Other options: --interrupt-limit SECONDS (CPU time a pending signal may wait;
0 turns the check off), --large (results up to 1 GiB), --avoid-known (skip
the sizes of defects reported and not yet fixed).
"""

import argparse
import os
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def parse(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--replay", action="store_true")
    parser.add_argument("--engine", choices=["atheris", "hypothesis"])
    parser.add_argument("--time", type=float, default=60.0)
    parser.add_argument("--artifacts", default="fuzz-findings")
    parser.add_argument("--interrupt-limit", type=float, default=2.0)
    parser.add_argument("--large", action="store_true")
    parser.add_argument("--avoid-known", action="store_true")
    parser.add_argument("--merge", action="store_true",
                        help="with atheris: minimise the corpora into the first directory")
    parser.add_argument("paths", nargs="*")
    if "--" in argv:
        cut = argv.index("--")
        args, extra = parser.parse_args(argv[:cut]), argv[cut + 1:]
    else:
        args, extra = parser.parse_args(argv), []
    return args, extra


def inputs(paths):
    for path in paths or [CORPUS]:
        if os.path.isdir(path):
            for name in sorted(os.listdir(path)):
                full = os.path.join(path, name)
                if os.path.isfile(full) and not name.startswith("."):
                    yield full
        else:
            yield path


def replay(harness, paths):
    findings, counts, start = 0, {}, time.perf_counter()
    for path in inputs(paths):
        with open(path, "rb") as f:
            data = f.read()
        try:
            outcome = harness.run_one(data)
        except BaseException as exc:  # noqa: BLE001
            findings += 1
            print(f"FINDING in {path}:", file=sys.stderr)
            traceback.print_exception(exc, file=sys.stderr)
            outcome = "finding"
        counts[outcome] = counts.get(outcome, 0) + 1
    total = sum(counts.values())
    print(f"replayed {total} inputs in {time.perf_counter() - start:.1f} s: "
          + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
    return 1 if findings else 0


def load_instrumented():
    import atheris

    import numpy  # noqa: F401  (imported first: only the harness's own code is instrumented)
    with atheris.instrument_imports(include=["harness", "reference"]):
        import harness
    return atheris, harness


# libFuzzer runs its own command again for a merge (and for -fork): the
# command it is given is this interpreter and script with --libfuzzer-child,
# which hands every argument after it to libFuzzer unchanged.
def child_command():
    return f"{sys.executable} {os.path.abspath(__file__)} --libfuzzer-child"


def fuzz_child(argv):
    atheris, harness = load_instrumented()
    for option in os.environ.get("TORVELIN_FUZZ_OPTIONS", "").split():
        name, _, value = option.partition("=")
        harness.OPTIONS[name] = None if value == "None" else eval(value, {})  # noqa: S307
    atheris.Setup([child_command()] + argv, harness.run_one)
    atheris.Fuzz()


def fuzz_atheris(args, extra):
    atheris, harness = load_instrumented()
    configure(harness, args)
    os.environ["TORVELIN_FUZZ_OPTIONS"] = " ".join(f"{k}={v!r}" for k, v in
                                                  harness.OPTIONS.items())
    os.makedirs(args.artifacts, exist_ok=True)
    corpora = list(args.paths)
    if args.merge:
        atheris.Setup([child_command(), "-merge=1", "-timeout=60", "-rss_limit_mb=8192"] + extra
                      + corpora, harness.run_one)
        atheris.Fuzz()
    if not corpora:
        corpora = [os.path.join(args.artifacts, "corpus")]
        os.makedirs(corpora[0], exist_ok=True)
    if os.path.isdir(CORPUS) and os.path.abspath(CORPUS) not in map(os.path.abspath, corpora):
        corpora.append(CORPUS)
    # -len_control=0: inputs of any length from the start (a short input leaves
    # most choices at their plainest)
    flags = [f"-max_total_time={int(args.time)}", "-timeout=60", "-max_len=2048",
             "-len_control=0", "-rss_limit_mb=8192", "-malloc_limit_mb=8192",
             "-print_final_stats=1",
             f"-artifact_prefix={os.path.join(args.artifacts, '')}"]
    atheris.Setup([child_command()] + flags + extra + corpora, harness.run_one)
    atheris.Fuzz()


def fuzz_hypothesis(args):
    from hypothesis import HealthCheck, Phase, given, settings
    from hypothesis import strategies as st

    import harness
    configure(harness, args)
    deadline = time.monotonic() + args.time
    runs = [0]

    @settings(max_examples=200, deadline=None, database=None, derandomize=False,
              phases=[Phase.generate, Phase.shrink], suppress_health_check=list(HealthCheck))
    @given(st.binary(max_size=2048))
    def one(data):
        runs[0] += 1
        harness.run_one(data)

    while time.monotonic() < deadline:
        try:
            one()
        except BaseException as exc:  # noqa: BLE001
            os.makedirs(args.artifacts, exist_ok=True)
            print("FINDING (Hypothesis shrank it; the input is printed above)", file=sys.stderr)
            traceback.print_exception(exc, file=sys.stderr)
            return 1
    print(f"Hypothesis: {runs[0]} inputs in {args.time:.0f} s, no finding")
    return 0


def configure(harness, args):
    harness.OPTIONS["interrupt_limit"] = args.interrupt_limit or None
    harness.OPTIONS["large"] = args.large
    harness.OPTIONS["avoid_known"] = args.avoid_known


def main(argv):
    if argv[:1] == ["--libfuzzer-child"]:
        sys.path.insert(0, HERE)
        return fuzz_child(argv[1:])
    args, extra = parse(argv)
    if args.replay:
        sys.path.insert(0, HERE)
        import harness
        configure(harness, args)
        return replay(harness, args.paths)
    engine = args.engine
    if engine is None:
        try:
            import atheris  # noqa: F401
            engine = "atheris"
        except ImportError:
            engine = "hypothesis"
    sys.path.insert(0, HERE)
    print(f"fuzzing engine: {engine}", flush=True)
    if engine == "atheris":
        return fuzz_atheris(args, extra)
    return fuzz_hypothesis(args)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
