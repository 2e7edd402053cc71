"""Checks tools/torla-plot on a small export.

    python3 check_torla_plot.py TOOL FIXTURE_DIR WORK_DIR

FIXTURE_DIR holds small.csv and small-peaks.csv, exported by torla-inspect
from a result file of 8 cells 10 m apart and dumps at t = 0, 1, 2, 3, 4 s in
which cells 0 to d + 2 of dump d carry flow (saltation depth 0.2 m and more,
suspension pressure above 0.1 kPa from t = 2 s on) and the rest none: the
front stands at 20, 30, 40, 50, 60 m and moves at 10 m/s.

Exit status 0 when every check passes, 1 when one fails, 77 (reported by
CTest as skipped) when numpy or matplotlib is missing.
"""

import importlib.machinery
import os
import shutil
import struct
import subprocess
import sys
import types

SKIP = 77

try:
    import matplotlib  # noqa: F401
    import numpy as np
except ImportError as e:
    print(f"SKIP: torla-plot needs numpy and matplotlib ({e})")
    sys.exit(SKIP)

import matplotlib.image  # noqa: E402

FIGURES = ("profile", "spacetime", "front")
failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what)
    if not ok:
        failures.append(what)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if len(head) < 24 or head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


def run(tool, args):
    return subprocess.run([sys.executable, tool] + args, capture_output=True, text=True)


def check_figures(outdir, name, size):
    for kind in FIGURES:
        path = os.path.join(outdir, f"{name}-{kind}.png")
        if not os.path.isfile(path):
            check(False, f"{kind}: {path} written")
            continue
        check(os.path.getsize(path) > 1000, f"{kind}: more than a blank file")
        check(png_size(path) == size, f"{kind}: PNG of {size[0]} x {size[1]} pixels, "
              f"got {png_size(path)}")
        img = matplotlib.image.imread(path)[:, :, :3]
        # Curves and the colour mesh are drawn in colour; axes, text and the
        # background are grey.
        chroma = img.max(axis=2) - img.min(axis=2)
        check(np.count_nonzero(chroma > 0.3) > 200, f"{kind}: coloured curves drawn")


def main(tool, fixtures, work):
    dumps = os.path.join(fixtures, "small.csv")
    peaks = os.path.join(fixtures, "small-peaks.csv")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)

    out = os.path.join(work, "sized")
    r = run(tool, [dumps, peaks, "-o", out, "--size", "640x480", "--name", "small"])
    check(r.returncode == 0, f"runs on the small export (status {r.returncode}) {r.stderr}")
    check_figures(out, "small", (640, 480))

    out = os.path.join(work, "default")
    r = run(tool, [dumps, peaks, "-o", out, "--field", "h3"])
    check(r.returncode == 0, f"runs with the default size (status {r.returncode}) {r.stderr}")
    check_figures(out, "small", (1200, 800))

    # The front of the plots follows the definition of torla-inspect.
    loader = importlib.machinery.SourceFileLoader("torla_plot", tool)
    plot = types.ModuleType("torla_plot")
    loader.exec_module(plot)
    _, columns = plot.read_export(dumps, [plot.TIME, plot.CELL])
    grid = plot.dumps_as_grid(columns, dumps)
    front = plot.front_positions(grid, 0.1, 0.1)
    check(np.allclose(front, [20, 30, 40, 50, 60]), f"front at 20 ... 60 m, got {front}")
    t0, t1, speed = plot.front_speeds(grid[plot.TIME][:, 0], front)
    check(np.allclose(speed, 10.0) and len(speed) == 4, f"front speed 10 m/s, got {speed}")
    # With a depth threshold above every saltation depth only the pressure
    # decides: 0.12 kPa from t = 2 s on; at 100 kPa nothing is left.
    front = plot.front_positions(grid, 0.1, 10.0)
    check(np.isnan(front[:2]).all() and np.allclose(front[2:], [40, 50, 60]),
          f"front by pressure alone at -, -, 40, 50, 60 m, got {front}")
    front = plot.front_positions(grid, 100.0, 10.0)
    check(np.all(np.isnan(front)), "no front where nothing exceeds the thresholds")

    # Broken input: a message and status 1, no traceback and no figures.
    bad = os.path.join(work, "bad.csv")
    with open(dumps) as f:
        lines = f.read().splitlines()
    with open(bad, "w") as f:
        f.write("\n".join(lines[:-1]) + "\n")  # the last dump misses a cell
    r = run(tool, [bad, peaks, "-o", os.path.join(work, "bad")])
    check(r.returncode == 1 and "Traceback" not in r.stderr and "whole dumps" in r.stderr,
          f"an incomplete dump is refused with a message (status {r.returncode}) {r.stderr}")
    check(not os.path.exists(os.path.join(work, "bad")), "no figures from broken input")
    r = run(tool, [dumps, dumps, "-o", os.path.join(work, "bad")])
    check(r.returncode == 1 and "not the peak table" in r.stderr,
          f"a dump export in place of the peaks is refused (status {r.returncode}) {r.stderr}")

    print(f"torla-plot: {len(failures)} checks failed" if failures else
          "torla-plot: every check passed")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        print(__doc__)
        sys.exit(2)
    sys.exit(main(*sys.argv[1:]))
