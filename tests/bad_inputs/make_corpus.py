#!/usr/bin/env python3
"""Writes the binary files of the bad-input corpus next to this script.

Each case is a set of files named after it (see cases.txt for the expected
messages and statuses): NAME.info, the information file (without one the test
writes "run.cmd / run.res / prefix"); NAME.cmd, the command file; NAME.grid, a
grid file a stand-in generator copies over its argument; NAME.sh, the body of a
stand-in generator ($1 is the grid file name); NAME.kin, a generator input
handed to knotline itself; NAME.args, the arguments torla is started with.
Without NAME.grid and NAME.sh the run uses the real knotline. The text files
are edited as they stand; the files made here hold bytes no editor keeps
(binary data, NUL, packed floats), and the command files beside the grids
are the sound base they are made from. All are committed; run this script
again after changing a recipe.
"""
import math
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
QUIET = "0 0.5 0.5 150 0 0 0 0 0 0 0 0"
QUIET_GRID = [0, 0.5, 0.5, 150, 0, 0, 0, 0, 0, 0, 0, 0]
NAN = float("nan")
INF = float("inf")


def write(name, data):
    mode = "wb" if isinstance(data, (bytes, bytearray)) else "w"
    kwargs = {} if mode == "wb" else {"newline": ""}
    with open(os.path.join(HERE, name), mode, **kwargs) as f:
        f.write(data)


def command():
    """The sound base: 8 points, 10 m apart, dropping 5 m per point."""
    return "".join(["# Corpus command file\nTrack_Name Corpus track\nRun_Name Corpus run\n"
                    "| POWDER SNOW GLOBAL PARAMETERS\nMax_Time 0.3\n| COORDINATES\nNumber_of_Points 8\n"]
                   + ["%d %g %g 0 0\n" % (i, 10.0 * i, 1000 - 5.0 * i) for i in range(8)]
                   + ["| POWDER SNOW LOCAL PARAMETERS\n"] + ["%d %s\n" % (i, QUIET) for i in range(8)]
                   + ["| END OF FILE\n"])


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
    base = command()
    rng = random.Random(20240611)
    write("control-grid.cmd", base)
    write("control-grid.grid", grid(grid_rows()))
    write("info-binary.info", bytes([0x7f, 0x45, 0x4c, 0x46, 0x02, 0x01, 0x01, 0x00, 0x0a,
                                     0xff, 0xfe, 0x00, 0x0a, 0x80]))
    garbage = bytearray()
    for _ in range(40):
        garbage += bytes(rng.randrange(256) for _ in range(rng.randrange(1, 200))).replace(b"\n", b"")
        garbage += b"\n"
    write("cmd-binary.cmd", bytes(garbage))
    write("cmd-row-with-nul.cmd", edit(base, "2 20 990 0 0\n", "2 20\0 990 0 0\n"))

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
    # A sound grid handed over through a symbolic link in the grid file's place.
    stand_in("grid-generator-left-a-link", grid(grid_rows()))
    write("grid-generator-left-a-link.sh", 'rm -f "$1" && cp grid.bin real.grid && ln -s real.grid "$1"\n')

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
