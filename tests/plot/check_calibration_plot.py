"""Checks tools/torla-calibration-plot on a calibration of the synthetic case (8 members, Alpha only).

    python3 check_calibration_plot.py TOOL BUILD_DIR SOURCE_DIR WORK_DIR
"""

import os
import subprocess
import sys

from plot_checks import check, check_png, fresh, need_matplotlib, run, status

need_matplotlib("torla-calibration-plot")
tool, build, source, work = (os.path.abspath(a) for a in sys.argv[1:5])
fresh(work)
synthetic = os.path.join(source, "examples", "synthetic")
with open(os.path.join(work, "calib.toml"), "w") as f:
    f.write('base = "%s"\nmembers = 8\nseed = 4\n[vary]\nAlpha = { min = 0.015, max = 0.025 }\n'
            % os.path.join(synthetic, "base.cmd").replace("\\", "\\\\").replace('"', '\\"'))
obs = os.path.join(synthetic, "observations.toml")
r = subprocess.run([os.path.join(build, "torla-ensemble"), "calibrate", "calib.toml", "--observed", obs, "-o", "c",
                    "--jobs", "2"], cwd=work, capture_output=True, text=True)
check(r.returncode == 0, f"calibrates (status {r.returncode}, {r.stderr.strip()[-300:]})")
r = run(tool, "c", "--observed", obs, "--inspect", os.path.join(build, "torla-inspect"), cwd=work)
check(r.returncode == 0, f"draws the figures (status {r.returncode}, {r.stderr.strip()[-300:]})")
for name in ("misfit.png", "best.png"):
    check_png(os.path.join(work, "c", "figures", name))
# A folder without a calibration is refused with a message, not a trace.
r = run(tool, "nothing", "--observed", obs, cwd=work)
check(r.returncode != 0 and "Traceback" not in r.stderr, f"refuses a folder without a calibration ({r.stderr.strip()[-200:]})")
sys.exit(status())
