"""Checks tools/torla-ensemble-plot on the tables of a small ensemble.

    python3 check_ensemble_plot.py TOOL FIXTURE_DIR WORK_DIR

FIXTURE_DIR holds exceedance.csv, runout.csv and fronts.csv as collect
writes them for 3 members of which 2 are used (a dump without a front
included). Exit status 0 when every check passes, 1 when one fails, 77
(skipped) when numpy or matplotlib is missing.
"""

import os
import shutil
import subprocess
import sys

from plot_checks import check, need_matplotlib, status

need_matplotlib("torla-ensemble-plot")
import matplotlib.image  # noqa: E402

tool, fixtures, work = sys.argv[1:4]
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
for name in ("exceedance.csv", "runout.csv", "fronts.csv"):
    shutil.copy(os.path.join(fixtures, name), work)
r = subprocess.run([sys.executable, tool, work, "--size", "600x400"], capture_output=True, text=True)
check(r.returncode == 0, f"draws the figures (status {r.returncode}, {r.stderr.strip()})")
check("p3>0.1kPa: no member decides its run-out: the flow leaves the mapped path" in r.stderr
      and "p3>3kPa" not in r.stderr, f"says which limit no member decides ({r.stderr.strip()})")
for name in ("exceedance", "runout", "fronts"):
    path = os.path.join(work, "figures", name + ".png")
    check(os.path.exists(path), f"{name}.png written")
    if os.path.exists(path):
        img = matplotlib.image.imread(path)
        check(img.shape[:2] == (400, 600), f"{name}.png is 600 x 400 pixels, not {img.shape[:2]}")
        check(img[..., :3].std() > 0.01, f"{name}.png is not blank")

# A table it cannot use: a row with a missing field, and a missing table.
with open(os.path.join(work, "runout.csv"), "a") as f:
    f.write("p3,3\n")
r = subprocess.run([sys.executable, tool, work], capture_output=True, text=True)
check(r.returncode == 1 and "row 6 has 2 of 12 fields" in r.stderr, f"refuses a short row ({r.stderr.strip()})")
os.remove(os.path.join(work, "exceedance.csv"))
r = subprocess.run([sys.executable, tool, work], capture_output=True, text=True)
check(r.returncode == 1 and "exceedance.csv" in r.stderr, f"names a missing table ({r.stderr.strip()})")
sys.exit(status())
