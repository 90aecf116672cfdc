"""Other spreadsheet readers, timed in the peer environment the bootstrap makes
(scripts/bootstrap-python.sh: a virtual environment on the system's own Python with
python-calamine and fastexcel, which have no wheels for the engine's interpreter), one read at a
time so that a benchmark can interleave them with its own runs: a burst of outside load on this
shared machine then hits both sides alike."""
import json
import os
import pathlib
import subprocess

HERE = pathlib.Path(__file__).resolve().parent
CACHE = pathlib.Path(os.environ.get("TOVREL_PYTHON_CACHE") or pathlib.Path.home() / ".cache" / "tovrel-python")
PEER_PYTHON = CACHE / "peer" / "bin" / "python"


class Peers:
    """The peer readers in one long-lived process (bench/peer_read.py). `available` maps each
    installed reader to its version, `missing` each other one to the reason; `skipped` says why
    none can run at all (or is None)."""

    def __init__(self):
        self.available, self.missing, self.skipped = {}, {}, None
        self._proc = None
        if not PEER_PYTHON.exists():
            self.skipped = (f"no peer environment at {PEER_PYTHON.parent.parent} "
                            "(scripts/bootstrap-python.sh makes it: run `make bootstrap`)")
            return
        self._proc = subprocess.Popen([str(PEER_PYTHON), str(HERE / "peer_read.py")],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self._proc.stdout.readline()
        if not line:
            self.close()
            self.skipped = "the peer process failed to start (see its error above)"
            return
        for name, found in json.loads(line).items():
            if isinstance(found, str):
                self.available[name] = found
            else:
                self.missing[name] = found["missing"]

    @classmethod
    def none(cls):
        """No peers: for runs of the engine alone."""
        empty = cls.__new__(cls)
        empty.available, empty.missing, empty.skipped, empty._proc = {}, {}, "not asked", None
        return empty

    def read(self, reader, path):
        """(seconds, cells) of one whole read of the workbook at `path` by `reader`."""
        self._proc.stdin.write(json.dumps({"reader": reader, "path": str(path)}) + "\n")
        self._proc.stdin.flush()
        line = self._proc.stdout.readline()
        if not line:
            raise RuntimeError(f"{reader} failed on {path} (see its error above)")
        done = json.loads(line)
        return done["seconds"], done["cells"]

    def close(self):
        if self._proc:
            self._proc.stdin.close()
            self._proc.wait()
            self._proc = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def best_interleaved(rounds, engine, peers, path):
    """Best seconds of `engine()` and of each available peer on `path`, taking turns for `rounds`
    rounds after one warm-up turn each: ({"engine": s, reader: s, ...}, {side: cells})."""
    best, cells = {}, {}
    sides = [("engine", engine)] + [(name, lambda n=name: peers.read(n, path)) for name in peers.available]
    for r in range(rounds + 1):
        for side, run in sides:
            seconds, n = run()
            cells[side] = n
            if r:
                best[side] = min(best.get(side, float("inf")), seconds)
    return best, cells


def report_lines(best, cells, peers, goal_note=""):
    """One line per peer: its time and the engine's speed relative to it (its time / engine's)."""
    lines = [f"  engine            {best['engine'] * 1e3:9.2f} ms ({cells['engine']} cells)"]
    for name, version in peers.available.items():
        lines.append(f"  {name} {version:7s} {best[name] * 1e3:9.2f} ms ({cells[name]} cells)  "
                     f"engine {best[name] / best['engine']:5.2f}x as fast{goal_note}")
    for name, reason in peers.missing.items():
        lines.append(f"  {name}: skipped: {reason}")
    return lines
