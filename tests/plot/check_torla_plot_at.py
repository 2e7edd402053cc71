"""Checks `torla-plot at' on a small JSON of torla-inspect RESULT at.

    python3 check_torla_plot_at.py TOOL WORK_DIR

Exit status 0 when every check passes, 1 when one fails, 77 (skipped) when
numpy or matplotlib is missing.
"""

import json
import os
import shutil
import subprocess
import sys

from plot_checks import check, need_matplotlib, status

need_matplotlib("torla-plot")
import matplotlib.image  # noqa: E402

tool, work = sys.argv[1], sys.argv[2]
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
at = {"problem": "P $x$", "run": "R", "cell": 3, "horizontal_m": 30.0, "heights_m": [2, 5, 10],
      "peak_kPa": [3.0, 2.0, 0.5], "peak_time_s": [2.5, 2.5, None], "peak_source": "passes",
      "dumps": [{"t_s": t, "p_kPa": [t, t / 2, 0.0]} for t in (0.0, 1.0, 2.0, 3.0)]}
with open(os.path.join(work, "at.json"), "w") as f:
    json.dump(at, f)


def run(*args):
    return subprocess.run([sys.executable, tool, "at", *args], capture_output=True, text=True)


r = run(os.path.join(work, "at.json"), "-o", work, "--size", "600x400")
check(r.returncode == 0, f"draws ({r.stderr.strip()})")
for kind in ("at-height", "at-time"):
    path = os.path.join(work, f"at-{kind}.png")
    check(os.path.exists(path) and matplotlib.image.imread(path).shape[:2] == (400, 600),
          f"{kind} figure of 600x400 pixels")
# Refusals: (arguments, JSON changes, text on standard error); no figure is left.
cases = [
    (["--heights", "3"], {}, "no height 3 m; it has 2, 5, 10"),
    ([], {"peak_kPa": [1.0]}, "do not match the 3 heights"),
    ([], {"dumps": None}, None),
    ([], {"cell": None}, "no `cell'"),
]
for args, change, text in cases:
    d = dict(at)
    for k, v in change.items():
        if v is None:
            d.pop(k)
        else:
            d[k] = v
    bad = os.path.join(work, "bad.json")
    with open(bad, "w") as f:
        json.dump(d, f)
    out = os.path.join(work, "bad")
    r = run(bad, "-o", out, *args)
    check(r.returncode == 1 and (text is None or text in r.stderr) and not os.path.exists(out),
          f"refuses {args} {list(change)}: {r.stderr.strip()}")
r = run(os.path.join(work, "missing.json"))
check(r.returncode == 1 and "missing.json" in r.stderr, "names a missing file")
sys.exit(status())
