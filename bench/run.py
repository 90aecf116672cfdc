"""Runs every benchmark in this folder (bench_*.py), one after another, in fresh processes.
Each prints its own figures: throughput and ratios against a baseline measured in the same run.
Pass names to run only some: ``python bench/run.py find_dimension dates``."""
import pathlib
import subprocess
import sys

here = pathlib.Path(__file__).resolve().parent
wanted = set(sys.argv[1:])
scripts = sorted(p for p in here.glob("bench_*.py") if not wanted or p.stem[6:] in wanted)
if not scripts:
    print("no benchmarks" + (f" named {', '.join(sorted(wanted))}" if wanted else ""))
status = 0
for script in scripts:
    print(f"== {script.stem[6:]}", flush=True)
    status |= subprocess.call([sys.executable, str(script)])
sys.exit(status)
