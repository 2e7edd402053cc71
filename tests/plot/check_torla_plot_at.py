"""Checks `torla-plot at' on a small JSON of torla-inspect RESULT at: python3 check_torla_plot_at.py TOOL WORK_DIR"""

import json
import os
import sys

from plot_checks import check, check_png, fresh, need_matplotlib, run, status

need_matplotlib("torla-plot")
tool, work = sys.argv[1], sys.argv[2]
fresh(work)
at = {"problem": "P $x$", "run": "R", "cell": 3, "horizontal_m": 30.0, "heights_m": [2, 5, 10],
      "peak_kPa": [3.0, 2.0, 0.5], "peak_time_s": [2.5, 2.5, None], "peak_source": "passes",
      "dumps": [{"t_s": t, "p_kPa": [t, t / 2, 0.0]} for t in (0.0, 1.0, 2.0, 3.0)]}
with open(os.path.join(work, "at.json"), "w") as f:
    json.dump(at, f)
r = run(tool, "at", os.path.join(work, "at.json"), "-o", work, "--size", "600x400")
check(r.returncode == 0, f"draws ({r.stderr.strip()})")
for kind in ("at-height", "at-time"):
    check_png(os.path.join(work, f"at-{kind}.png"), (600, 400))
# Refusals: (arguments, JSON changes, text on standard error); no figure is left.
cases = [
    (["--heights", "3"], {}, "no height 3 m; it has 2, 5, 10"),
    ([], {"peak_kPa": [1.0]}, "do not match the 3 heights"),
    ([], {"cell": None}, "no `cell'"),
]
for args, change, text in cases:
    d = {k: v for k, v in dict(at, **change).items() if v is not None}
    bad = os.path.join(work, "bad.json")
    with open(bad, "w") as f:
        json.dump(d, f)
    out = os.path.join(work, "bad")
    r = run(tool, "at", bad, "-o", out, *args)
    check(r.returncode == 1 and text in r.stderr and not os.path.exists(out),
          f"refuses {args} {list(change)}: {r.stderr.strip()}")
r = run(tool, "at", os.path.join(work, "missing.json"))
check(r.returncode == 1 and "missing.json" in r.stderr, "names a missing file")
sys.exit(status())
