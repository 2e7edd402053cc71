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
ls -l "$seeds"/*/
