"""Checks tools/torla-plot on a small export: python3 check_torla_plot.py TOOL FIXTURE_DIR WORK_DIR

FIXTURE_DIR holds small.csv, small-peaks.csv and small-front.csv of 8 cells 10 m apart (at easting
600000 + 0.8 x, northing 5200000 - 0.6 x), dumps at t = 0 ... 4 s in which cells 0 to d + 2 of dump d
carry flow (p3 above 0.1 kPa from t = 2 s): the front stands at 20, 30, 40, 50, 60 m, moving 10 m/s.
"""

import importlib.machinery
import os
import sys
import types

from plot_checks import check, check_png, fresh, need_matplotlib, run, status

need_matplotlib("torla-plot")
import matplotlib.image  # noqa: E402
import numpy as np  # noqa: E402

FIGURES = ("profile", "spacetime", "front")


def check_figures(outdir, size, kinds=FIGURES):
    for kind in kinds:
        path = os.path.join(outdir, f"small-{kind}.png")
        check_png(path, size)
        if os.path.isfile(path):
            # Curves and the colour mesh are in colour; axes, text and background grey.
            img = matplotlib.image.imread(path)[:, :, :3]
            check(np.count_nonzero(img.max(axis=2) - img.min(axis=2) > 0.3) > 200, f"{kind}: coloured curves drawn")


def tool_module(tool):
    loader = importlib.machinery.SourceFileLoader("torla_plot", tool)
    plot = types.ModuleType("torla_plot")
    loader.exec_module(plot)
    plot.load_libraries()
    return plot


def edited(src, dst, edit):
    """A copy of a text file with edit applied to its text."""
    with open(src, encoding="utf-8") as f, open(dst, "w", encoding="utf-8", newline="\n") as g:
        g.write(edit(f.read()))
    return dst


def without_module(work, module):
    """An environment in which importing `module' fails."""
    fake = os.path.join(work, f"no-{module}", module)
    os.makedirs(fake, exist_ok=True)
    with open(os.path.join(fake, "__init__.py"), "w") as f:
        f.write(f"raise ImportError(\"No module named '{module}'\")\n")
    return dict(os.environ, PYTHONPATH=os.path.dirname(fake))


def make_dem(path, left, top, cells):
    """A GeoTIFF of an inclined valley of 1 m pixels, north up; False without GDAL."""
    try:
        from osgeo import gdal
    except ImportError:
        return False
    gdal.UseExceptions()
    X, Y = np.meshgrid(np.arange(cells) + 0.5, -np.arange(cells) - 0.5)
    z = 1000.0 + 0.6 * Y - 0.5 * X + 0.02 * (X + Y) ** 2
    ds = gdal.GetDriverByName("GTiff").Create(path, cells, cells, 1, gdal.GDT_Float32)
    ds.SetGeoTransform((left, 1.0, 0.0, top, 0.0, -1.0))
    ds.GetRasterBand(1).WriteArray(z.astype(np.float32))
    ds = None
    return True


def main(tool, fixtures, work):
    dumps, peaks, front = (os.path.join(fixtures, f"small{s}.csv") for s in ("", "-peaks", "-front"))
    fresh(work)
    bad = os.path.join(work, "bad")

    def refused(args, message, env=None):
        r = run(tool, *args, "-o", bad, env=env)
        check(r.returncode == 1 and message in r.stderr and "Traceback" not in r.stderr,
              f"{message}: refused (status {r.returncode}) {r.stderr}")

    out = os.path.join(work, "sized")
    r = run(tool, dumps, peaks, front, "-o", out, "--size", "640x480", "--name", "small")
    check(r.returncode == 0, f"runs on the small export (status {r.returncode}) {r.stderr}")
    check_figures(out, (640, 480), FIGURES + ("plan",))

    # The front, its speed and the run-out are the export's, not worked out again.
    plot = tool_module(tool)
    f = plot.Front(plot.read_export(front))
    check(np.allclose(f.path, [20, 30, 40, 50, 60]), f"front at 20 ... 60 m, got {f.path}")
    check(np.isnan(f.speed[0]) and np.allclose(f.speed[1:], 10.0), f"speeds -, 10 m/s, got {f.speed}")
    check((f.runout, f.runout_cell, f.reaches_end, f.threshold_p3) == (60.0, 6, 4.0, 0.1),
          f"run-out 60 m in cell 6, end reached at 4 s, threshold 0.1 kPa, got "
          f"{f.runout, f.runout_cell, f.reaches_end, f.threshold_p3}")
    moved = edited(front, os.path.join(work, "moved-front.csv"),
                   lambda t: t.replace("\n2,4,40,10\n", "\n2,1,10,-20\n"))
    f = plot.Front(plot.read_export(moved))
    check(f.path[2] == 10 and f.speed[2] == -20, "a front export that says otherwise is drawn as it says")

    # Names and units come from the header rows.
    e = plot.read_export(edited(dumps, os.path.join(work, "relabelled.csv"),
                                lambda t: t.replace("p3[kPa]", "p3[Pa]", 1)))
    check(e.label("p3") == "p3 (Pa)" and e.label("u3") == "u3 (m/s)",
          f"labels from the header, got {e.label('p3')}, {e.label('u3')}")

    # Names drawn literally, every line separator part of the name.
    names = ["Cost $5_000 at 100% \\ \\x", "$\\frac{1}{2}$ \\mathrm{x} ^_^ {}",
             "line\u2028separator \u2029 paragraph", "next\x85line \x0b tab \x0c feed \x1c\x1d\x1e\rreturn"]

    def named(name, k):
        return edited(dumps, os.path.join(work, f"name{k}.csv"),
                      lambda t: "# problem: " + name + t[t.index("\n"):])

    for k, name in enumerate(names):
        check(plot.read_export(named(name, k)).name("problem") == name, f"name {k} read back whole")
        shown = plot.literal(name)
        check(not any(c in shown for c in "\n\r\x0b\x0c\x1c\x1d\x1e\x85\u2028\u2029"),
              f"name {k} shown without line breaks: {shown!r}")

    # Without the front export: no front figure, a note; the default size; --field u3; the names.
    out = os.path.join(work, "no-front")
    r = run(tool, named("".join(names), "s"), peaks, "-o", out, "--field", "u3", "--name", "small")
    check(r.returncode == 0 and "no front export" in r.stderr and "Traceback" not in r.stderr,
          f"runs without the front export, with a note (status {r.returncode}) {r.stderr[-300:]}")
    check_figures(out, (1200, 800), ("profile", "spacetime"))
    check(not os.path.exists(os.path.join(out, "small-front.png")), "no front figure without it")

    # --help needs no matplotlib; without it a message names the package.
    env = without_module(work, "matplotlib")
    r = run(tool, "--help", env=env)
    check(r.returncode == 0 and "usage: torla-plot" in r.stdout, f"--help without matplotlib {r.stderr}")
    refused([dumps, peaks, front], "python3-matplotlib", env)

    # The plan view on a DEM: the path at 600000 + 0.8 x, 5200000 - 0.6 x.
    dem = os.path.join(work, "valley.tif")
    if make_dem(dem, 599900.0, 5200100.0, 200):
        out = os.path.join(work, "plan")
        r = run(tool, dumps, peaks, front, "-o", out, "--dem", dem, "--zones", "0.1,0.2,1")
        check(r.returncode == 0, f"plan view on the DEM (status {r.returncode}) {r.stderr}")
        img = matplotlib.image.imread(os.path.join(out, "small-plan.png"))[:, :, :3]
        grey = img[(img.max(axis=2) - img.min(axis=2)) < 0.02].mean(axis=1)
        check(len(np.unique(np.round(grey, 2))) > 30, "a hillshade under the path")
        check(np.array_equal(plot.zone_classes([0.05, 0.1, 0.15, 0.25, 2.0], [0.1, 0.2, 1.0]),
                             [0, 1, 1, 2, 3]), "zone classes from the thresholds up")
        far = os.path.join(work, "far.tif")
        make_dem(far, 0.0, 1000.0, 50)
        refused([dumps, peaks, front, "--dem", far], "outside the DEM")
    else:
        print("skip  plan view on a DEM: no GDAL (python3-gdal)")

    # Broken input: a message and status 1, no traceback and no figures.
    short = edited(dumps, os.path.join(work, "short.csv"),
                   lambda t: "\n".join(t.splitlines()[:-1]) + "\n")  # the last dump misses a cell
    for args, message in (([short, peaks, front], "whole dumps"),
                          ([dumps, peaks, front, "--field", "p4"], "eps3"),
                          ([dumps, dumps, front], "not the peak table"),
                          ([dumps, peaks, peaks], "no column time"),
                          ([dumps, peaks, "/dev/null"], "not a regular file"),
                          ([dumps, peaks, os.path.join(work, "missing.csv")], "no such file")):
        refused(args, message)
    check(not os.path.exists(bad), "no figures from broken input")
    return status()


if __name__ == "__main__":
    if len(sys.argv) != 4:
        print(__doc__)
        sys.exit(2)
    sys.exit(main(*sys.argv[1:]))
