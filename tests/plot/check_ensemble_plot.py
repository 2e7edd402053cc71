"""Checks tools/torla-ensemble-plot on collect's tables of 3 members, 2 used (a dump without a front).

    python3 check_ensemble_plot.py TOOL FIXTURE_DIR WORK_DIR
"""

import os
import shutil
import sys

from plot_checks import check, check_png, fresh, need_matplotlib, run, status

need_matplotlib("torla-ensemble-plot")
tool, fixtures, work = sys.argv[1:4]
fresh(work)
for name in ("exceedance.csv", "runout.csv", "fronts.csv"):
    shutil.copy(os.path.join(fixtures, name), work)
r = run(tool, work, "--size", "600x400")
check(r.returncode == 0, f"draws the figures (status {r.returncode}, {r.stderr.strip()})")
check("p3>0.1kPa: no member decides its run-out: the flow leaves the mapped path" in r.stderr
      and "p3>3kPa" not in r.stderr, f"says which limit no member decides ({r.stderr.strip()})")
for name in ("exceedance", "runout", "fronts"):
    check_png(os.path.join(work, "figures", name + ".png"), (600, 400))

# A table it cannot use: a row with a missing field, and a missing table.
with open(os.path.join(work, "runout.csv"), "a") as f:
    f.write("p3,3\n")
r = run(tool, work)
check(r.returncode == 1 and "row 6 has 2 of 12 fields" in r.stderr, f"refuses a short row ({r.stderr.strip()})")
os.remove(os.path.join(work, "exceedance.csv"))
r = run(tool, work)
check(r.returncode == 1 and "exceedance.csv" in r.stderr, f"names a missing table ({r.stderr.strip()})")
sys.exit(status())
