"""A time-bounded fuzzing campaign over every reading entry point; `make fuzz` runs it under the
sanitizer build. Prints the counts of inputs, readings and outcomes; a failing input is saved
and the run exits non-zero.

    python tests/fuzz/run.py [--seconds N] [--seed N] [--out DIR] [--target NAME ...]
"""
import argparse
import pathlib
import sys
import time

import harness


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--seed", type=int, default=None, help="default: from the clock, printed")
    ap.add_argument("--out", default="fuzz-failures", help="where failing inputs are written")
    ap.add_argument("--target", action="append", choices=list(harness.TARGETS))
    args = ap.parse_args()
    seed = args.seed if args.seed is not None else int(time.time())

    paths, note = harness.workbooks()
    if note:
        print(note)
    seeds = harness.load_seeds(paths)
    print(f"seed {seed}; {len(seeds['sheet'])} worksheet and {len(seeds['sst'])} shared-strings parts "
          f"from {len(paths)} workbooks; {args.seconds:g} s", flush=True)

    out = pathlib.Path(args.out)

    def save(target, case, problem):
        out.mkdir(parents=True, exist_ok=True)
        stem = f"{target.name.replace('/', '-')}-{case.rng_seed}"
        (out / f"{stem}.xml").write_bytes(case.data)
        (out / f"{stem}.txt").write_text(f"{target.name} on a mutation of {case.seed.name}\n"
                                         f"settings {case.settings}, columns {case.min_col}..{case.max_col}\n"
                                         f"{problem}\n")
        print(f"FAILURE {target.name}: {problem[:300]} (saved as {out / stem}.*)", flush=True)

    start = time.monotonic()
    stats = harness.campaign(seeds, rng_seed=seed, seconds=args.seconds, targets=args.target,
                             keep_going=True, on_failure=save)
    print(f"{time.monotonic() - start:.0f} s")
    print(stats.report())
    return 1 if stats.failures else 0


if __name__ == "__main__":
    sys.exit(main())
