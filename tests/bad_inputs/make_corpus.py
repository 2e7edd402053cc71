#!/usr/bin/env python3
"""Writes the bad-input corpus next to this script.

Each case is a set of files named after it:
  NAME.info  information file (as it stands; without one the test writes
             "run.cmd / run.res / prefix")
  NAME.cmd   command file, copied to run.cmd
  NAME.grid  grid file that a stand-in generator copies over its argument
  NAME.sh    body of a stand-in generator script ($1 is the grid file name)
  NAME.kin   generator input handed to knotline directly
  NAME.args  the arguments torla is started with (instead of run.info)
Without NAME.grid and NAME.sh the run uses the real knotline.
The expected messages and exit statuses are in cases.txt.

The files are committed; run this script again after changing a recipe.
"""
import math
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
QUIET = "0 0.5 0.5 150 0 0 0 0 0 0 0 0"
RELEASE = "0 0.5 0.5 150 1 5 20 5 5 2 1 0.5"
QUIET_GRID = [0, 0.5, 0.5, 150, 0, 0, 0, 0, 0, 0, 0, 0]
NAN = float("nan")
INF = float("inf")


def write(name, data):
    mode = "wb" if isinstance(data, (bytes, bytearray)) else "w"
    kwargs = {} if mode == "wb" else {"newline": ""}
    with open(os.path.join(HERE, name), mode, **kwargs) as f:
        f.write(data)


def command(n=8, globals_="Max_Time 0.3\n", coords=None, locals_=None, tail="| END OF FILE\n",
            common=None):
    """A command file of n points, 10 m apart, dropping 5 m per point."""
    out = ["# Corpus command file\n", "Track_Name Corpus track\n", "Run_Name Corpus run\n"]
    if common is not None:
        out += ["| COMMON GLOBAL PARAMETERS\n", common]
    out += ["| POWDER SNOW GLOBAL PARAMETERS\n", globals_, "| COORDINATES\n",
            "Number_of_Points %d\n" % n]
    out += coords if coords is not None else ["%d %g %g 0 0\n" % (i, 10.0 * i, 1000 - 5.0 * i)
                                              for i in range(n)]
    out += ["| POWDER SNOW LOCAL PARAMETERS\n"]
    out += locals_ if locals_ is not None else ["%d %s\n" % (i, QUIET) for i in range(n)]
    out += [tail]
    return "".join(out)


def edit(text, old, new):
    assert old in text, old
    return text.replace(old, new, 1)


def grid_rows(n=8):
    return [[10.0 * i, -5.0 * i, 0.0, 10.0, 0.4, 0.0, 0.0] + list(QUIET_GRID) for i in range(n)]


def grid(rows, count=None, extra=b""):
    data = struct.pack("<h", len(rows) if count is None else count)
    for r in rows:
        data += struct.pack("<19f", *r)
    return data + extra


def grid_with(point, column, value, n=8):
    rows = grid_rows(n)
    rows[point][column] = value
    return grid(rows)


def generator_input(points, elem=10.0, max_dev=2.0, count=None):
    data = struct.pack("<ffh", elem, max_dev, len(points) if count is None else count)
    for p in points:
        row = list(p) + [0.0] * (16 - len(p))
        data += struct.pack("<16f", *row)
    return data


GOOD_POINTS = [(0, 1000), (100, 950), (200, 930)]


def main():
    for f in os.listdir(HERE):
        if f.split(".")[-1] in ("info", "cmd", "grid", "sh", "kin", "args"):
            os.remove(os.path.join(HERE, f))
    base = command()
    rng = random.Random(20240611)

    # The control: a sound command file and grid must run to the end.
    write("control-grid.cmd", base)
    write("control-grid.grid", grid(grid_rows()))
    write("control-knotline.cmd", base)

    # ---- Arguments and information files.
    write("args-none.args", "")
    write("args-two.args", "a b")
    write("args-missing-info.args", "nothere.info")
    write("args-info-is-device.args", "/dev/zero")
    write("info-empty.info", "")
    write("info-binary.info", bytes([0x7f, 0x45, 0x4c, 0x46, 0x02, 0x01, 0x01, 0x00, 0x0a,
                                     0xff, 0xfe, 0x00, 0x0a, 0x80]))
    write("info-long-line.info", "x" * 5000 + "\nrun.res\n\n")
    write("info-line-256.info", "run.cmd\nrun.res\n" + "p" * 256 + "\n")
    write("info-truncated.info", "run.cmd\nrun.r")
    write("info-crlf-short-result.info", "run.cmd\r\nab\r\n\r\n")
    write("info-result-plg.info", "run.cmd\nrun.plg\n\n")
    write("info-missing-command.info", "nothere.cmd\nrun.res\n\n")
    write("info-command-is-directory.info", ".\nrun.res\n\n")
    write("info-command-is-device.info", "/dev/zero\nrun.res\n\n")
    write("info-no-generator.cmd", base)
    write("info-no-generator.info", "run.cmd\nrun.res\n/nonexistent/dir/\n")

    # ---- Command files: structure.
    write("cmd-empty.cmd", "")
    garbage = bytearray()
    for _ in range(40):
        garbage += bytes(rng.randrange(256) for _ in range(rng.randrange(1, 200))).replace(b"\n", b"")
        garbage += b"\n"
    write("cmd-binary.cmd", bytes(garbage))
    write("cmd-long-line.cmd", "#" + "=" * 4999 + "\n" + base)
    write("cmd-line-256-in-table.cmd",
          edit(base, "3 30 985 0 0\n", "3 30 985 0 0" + " " * 244 + "\n"))
    write("cmd-cr-only.cmd", base.replace("\n", "\r"))
    write("cmd-only-track-name.cmd", "Track_Name Corpus track\n")
    write("cmd-ends-in-common.cmd", base[:base.index("Track_Name")] +
          "Track_Name T\nRun_Name R\n| COMMON GLOBAL PARAMETERS\nGravity 9.81\n")
    write("cmd-no-powder-after-common.cmd", "Track_Name T\nRun_Name R\n| COMMON GLOBAL PARAMETERS\n"
          "Gravity 9.81\n| COORDINATES\nNumber_of_Points 3\n")
    write("cmd-ends-in-powder.cmd", base[:base.index("| COORDINATES")])
    write("cmd-no-coordinates.cmd", base[:base.index("| COORDINATES")] + "| COORDINATE\n")
    write("cmd-no-number-of-points.cmd", base[:base.index("Number_of_Points")])
    write("cmd-ends-in-coordinates.cmd", base[:base.index("5 50 975")])
    write("cmd-no-local-header.cmd", edit(base, "| POWDER SNOW LOCAL PARAMETERS\n",
                                          "| POWDER SNOW LOCAL PARAMETERS \n"))
    write("cmd-locals-end-at-eof.cmd", base[:base.index("6 " + QUIET)])
    write("cmd-coordinates-extra-row.cmd", edit(base, "| POWDER SNOW LOCAL", "8 80 960 0 0\n| POWDER SNOW LOCAL"))

    # ---- Command files: counts.
    for name, value in [("65536", "65536"), ("32768", "32768"), ("erange", "9" * 30),
                        ("negative", "-5"), ("zero", "0"), ("word", "many")]:
        write("cmd-count-%s.cmd" % name, edit(base, "Number_of_Points 8", "Number_of_Points " + value))
    write("cmd-count-32767.cmd", edit(base, "Number_of_Points 8", "Number_of_Points 32767"))

    # ---- Command files: rows.
    write("cmd-index-overflow.cmd", edit(base, "0 0 1000 0 0\n", "65536 0 1000 0 0\n"))
    write("cmd-index-32767.cmd", edit(base, "0 0 1000 0 0\n", "32767 0 1000 0 0\n"))
    write("cmd-index-quotes-only.cmd", edit(base, "2 20 990 0 0\n", '"""\n'))
    write("cmd-row-with-nul.cmd", edit(base, "2 20 990 0 0\n", "2 20\0 990 0 0\n"))
    write("cmd-coordinate-1e999.cmd", edit(base, "1 10 995 0 0\n", "1 10 1e999 0 0\n"))
    write("cmd-coordinate-float-overflow.cmd", edit(base, "4 40 980 0 0\n", "4 40 980 1e39 0\n"))
    write("cmd-local-nan.cmd", edit(base, "2 " + QUIET, "2 0 0.5 0.5 150 nan 0 0 0 0 0 0 0"))
    write("cmd-local-infinity.cmd", edit(base, "7 " + QUIET, "7 0 0.5 0.5 150 0 0 0 0 0 0 0 -infinity"))
    write("cmd-local-short-row.cmd", edit(base, "2 " + QUIET, "2 0 0.5 0.5 150 0 0 0 0 0 0 0"))
    write("cmd-row-index-only.cmd", edit(base, "3 30 985 0 0\n", "3\n"))
    write("cmd-local-rows-renumbered.cmd",
          base.replace("\n%d %s" % (0, QUIET), "\n%d %s" % (1, QUIET), 1))

    # ---- Command files: parameters.
    for name, line in [("gravity-1e999", "Gravity 1e999"), ("max-time-nan", "Max_Time nan"),
                       ("courant-negative", "Courant_Nr -0.5"), ("air-density-zero", "Air_Density 0"),
                       ("max-time-step-zero", "Max_Time_Step 0"),
                       ("threshold-factor-negative", "Threshold_Factor -1e-300"),
                       ("coefficient-float-overflow", "Diss_Prof_Coeff_2 -1e39"),
                       ("concentration-negative", "Conc_Prof_Coeff_2 -1"),
                       ("elem-size-beyond-float", "Elem_Size 1e39")]:
        write("cmd-param-%s.cmd" % name, command(globals_="Max_Time 0.3\n" + line + "\n"))
    write("cmd-param-in-common-nan.cmd", command(common="Particle_Density NaN\n"))
    write("cmd-long-key-long-method.cmd",
          command(globals_="K" * 250 + " 1\nGrid_Method x" + "y" * 99 + "\nGravity 0\n"))
    write("cmd-grid-method-rejected.cmd", command(globals_="Spline_Type quadratic\n"))
    write("cmd-numerics-unknown.cmd", command(globals_="Numerics fancy\n"))
    write("control-bspline.cmd", command(globals_="Max_Time 0.1\nSpline_Type Bspline\n"))
    # Runs that start and then cannot go on: a state that turns non-finite,
    # a dump count that would overflow.
    release = ["%d %s\n" % (i, RELEASE if 2 <= i <= 4 else QUIET) for i in range(8)]
    write("run-non-finite.cmd", command(globals_="Beta_3 1e200\n", locals_=release))
    write("run-dump-count-limit.cmd", command(n=6, globals_="Dump_Interval 0\nMax_Time 1e6\n"))
    # Runs that reach their end with status 0 but are not sound, and say so
    # on standard error: an onset of instability on a fall of 89 degrees,
    # steps far beyond the default cap while the flow moves, cells below the
    # window left holding flow.
    steep = ["%d %g %g 0 0\n" % (i, 10.0 * i, 10000 - 572.9 * i) for i in range(8)]
    write("run-onset-reaches-end.cmd", command(globals_="Max_Time 2.5\n", coords=steep, locals_=release))
    write("run-long-steps.cmd", command(globals_="Max_Time 20\nMax_Time_Step 10\n", locals_=release))
    write("run-frozen-cells.cmd", command(n=20, globals_="Max_Time 5\n", coords=[
        "%d %g %g 0 0\n" % (i, 40.0 * i, 100000 - 2291.0 * i) for i in range(20)],
        locals_=["%d %s\n" % (i, RELEASE if 4 <= i <= 6 else QUIET) for i in range(20)]))
    write("cmd-crlf-max-dev-zero.cmd",
          command(globals_="Max_Time 0.3\nMax_Dev 0\n").replace("\n", "\r\n"))

    # ---- Command files that knotline refuses (the real generator runs).
    coords = ["%d %g %g 0 0\n" % (i, 10.0 * i, 1000 - 5.0 * i) for i in range(8)]
    coords[5] = "5 39 975 0 0\n"
    write("gen-decreasing-x.cmd", command(coords=coords))
    write("gen-elem-size-zero.cmd", command(globals_="Elem_Size 0\n"))
    write("gen-one-point.cmd", command(n=1))
    write("gen-too-many-cells.cmd", command(globals_="Elem_Size 0.001\n"))
    write("gen-too-few-cells.cmd", command(globals_="Elem_Size 1000\n"))

    # ---- Grid files handed over by a stand-in generator.
    def stand_in(name, data, ext=".grid"):  # the generator hands over data (.grid) or runs it (.sh)
        write(name + ".cmd", base)
        write(name + ext, data)
    stand_in("grid-empty", b"")
    stand_in("grid-one-byte", b"\x08")
    for name, count in [("negative", -1), ("zero", 0), ("min", -32768), ("five", 5), ("32767", 32767)]:
        stand_in("grid-count-" + name, grid(grid_rows(), count=count))
    stand_in("grid-truncated-row", grid(grid_rows())[:-38])
    stand_in("grid-binary", bytes(rng.randrange(256) for _ in range(3000)))
    for name, (point, column, value) in {
            "nan-h3": (6, 14, NAN), "inf-cell-length": (2, 3, INF),
            "cell-length-zero": (1, 3, 0.0), "cell-length-negative": (7, 3, -10.0),
            "slope-vertical": (2, 4, -math.pi / 2), "slope-overturned": (3, 4, 3.14159),
            "threshold-negative": (5, 8, -0.5), "threshold-zero": (4, 8, 0.0), "rho1-zero": (0, 10, 0.0),
            "eps3-neg-inf": (4, 18, -INF)}.items():
        stand_in("grid-" + name, grid_with(point, column, value))
    rows = grid_rows()
    rows[3][9] = NAN
    stand_in("grid-trailing-and-nan", grid(rows, extra=b"\0" * 7))
    # Finite values whose path length or dump values leave the float range.
    rows = grid_rows()
    rows[1][0], rows[2][0] = 3e38, -3e38
    stand_in("grid-path-length-beyond-float", grid(rows))
    rows = grid_rows()
    rows[3][11], rows[3][12], rows[3][13] = 1.0, 1e21, 1.0
    stand_in("grid-pressure-beyond-float", grid(rows))
    for name, body in [("did-nothing", "exit 0"), ("wrote-text", "echo 'grid ready' > \"$1\""),
                       ("exit-3", "exit 3"), ("killed", "kill -9 $$"), ("removed-grid", "rm \"$1\"")]:
        stand_in("grid-generator-" + name, body, ".sh")

    # ---- Generator inputs handed to knotline directly.
    good = generator_input(GOOD_POINTS)
    write("kl-empty.kin", b"")
    write("kl-head-9-bytes.kin", good[:9])
    write("kl-short-for-count.kin", good[:-64])
    write("kl-long-for-count.kin", good + b"\0")
    write("kl-count-negative.kin", generator_input(GOOD_POINTS, count=-1))
    write("kl-count-32767.kin", generator_input(GOOD_POINTS, count=32767))
    write("kl-count-zero.kin", generator_input([]))
    write("kl-one-point.kin", generator_input(GOOD_POINTS[:1]))
    write("kl-equal-x.kin", generator_input([(0, 1000), (100, 950), (100, 930)]))
    write("kl-decreasing-x.kin", generator_input([(0, 1000), (-5, 950), (100, 930)]))
    write("kl-elem-size-zero.kin", generator_input(GOOD_POINTS, elem=0.0))
    write("kl-elem-size-nan.kin", generator_input(GOOD_POINTS, elem=NAN))
    write("kl-max-dev-negative.kin", generator_input(GOOD_POINTS, max_dev=-1.0))
    write("kl-max-dev-inf.kin", generator_input(GOOD_POINTS, max_dev=INF))
    write("kl-nan-local.kin", generator_input([(0, 1000), (100, 950, 0, 0, 0, 0, 0, 0, 0, NAN),
                                               (200, 930)]))
    write("kl-inf-y.kin", generator_input([(0, 1000), (100, -INF), (200, 930)]))
    write("kl-binary.kin", bytes(rng.randrange(256) for _ in range(777)))


if __name__ == "__main__":
    main()
