#!/usr/bin/env bash
# Writes the seed inputs of the fuzz targets to fuzz/seeds/<target>/ from
# the bundled command files (examples/ and tests/fixtures/): the command
# file itself, the generator input torla writes from it, and the grid
# knotline makes of that. Uses the programs of a CMake build (default
# build/; fuzz/make_seeds.sh BUILD_DIR for another).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bin="$(cd "${1:-$root/build}" && pwd)"
seeds="$root/fuzz/seeds"
mkdir -p "$seeds/command_file" "$seeds/grid_file" "$seeds/knotline"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# A stand-in generator that keeps a copy of its input and of the real
# knotline's grid, then hands the grid on.
cat > "$work/keep-knotline" <<STUB
#!/bin/sh
cp "\$1" input.kin && "$bin/knotline" "\$1" && cp "\$1" grid.bin
STUB
chmod +x "$work/keep-knotline"

for cmd in "$root"/examples/*.cmd "$root"/tests/fixtures/*.cmd "$root"/tests/bad_inputs/control-knotline.cmd; do
    name="$(basename "$cmd" .cmd)"
    cp "$cmd" "$work/run.cmd"
    printf 'run.cmd\nrun.res\n%s/keep-\n' "$work" > "$work/run.info"
    # The run itself may refuse the grid (a fixture made for a grid of its
    # own); the files it got to are seeds all the same.
    (cd "$work" && "$bin/torla" run.info > /dev/null) || true
    cp "$cmd" "$seeds/command_file/$name.cmd"
    [ ! -f "$work/input.kin" ] || cp "$work/input.kin" "$seeds/knotline/$name.kin"
    [ ! -f "$work/grid.bin" ] || cp "$work/grid.bin" "$seeds/grid_file/$name.grid"
    rm -f "$work"/run.* "$work/input.kin" "$work/grid.bin"
done
# result_files: a short run with its peaks over height; each file behind
# the byte that chooses its reader (0 result, 1 heights, 2 run record). The
# record is made over to the 4 cells and 3 dumps of the result file the
# target lays out itself.
mkdir -p "$seeds/result_files"
sed 's/^Max_Time 20$/Max_Time 6\nHeight_Peaks on\nDump_Interval 2/' \
    "$root/tests/bad_inputs/run-long-steps.cmd" > "$work/run.cmd"
printf 'run.cmd\nrun.res\n%s/\n' "$bin" > "$work/run.info"
(cd "$work" && "$bin/torla" run.info > /dev/null)
{ printf '\000'; cat "$work/run.res"; } > "$seeds/result_files/result"
{ printf '\001'; cat "$work/run.res.heights"; } > "$seeds/result_files/heights"
python3 - "$work/run.res.json" > "$seeds/result_files/record" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))
r["cells"] = 4
r["dumps"] = r["dumps"][:3]
for t, d in enumerate(r["dumps"]):
    d["time_s"] = t
r["arrival_time_s"] = [None, 0.5, 1.0, None]
r["onset"] = {"time_s": 1.5, "cell": 2, "sign": "wave speed 90.0 m/s"}
r["peaks_before_onset"] = {"p2": [0, 1.5, 2.5, None], "p3": [None, 0.5, 0.25, 0]}
sys.stdout.write("\x02" + json.dumps(r, indent=1))
PY
ls -l "$seeds"/*/
