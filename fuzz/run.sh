#!/usr/bin/env bash
# Runs one fuzz target: fuzz/run.sh TARGET SECONDS
#   TARGET   command_file, grid_file, knotline, profile, ensemble_file, observations or result_files
#   SECONDS  how long libFuzzer explores (0: only the regression inputs)
# Builds the target (fuzz/build.sh), replays every input kept under
# fuzz/regressions/TARGET/ (each must pass), then fuzzes from the working
# corpus build-fuzz/corpus/TARGET/, seeded from fuzz/seeds/TARGET/ and the
# matching files of tests/bad_inputs/. A crashing input is written to
# build-fuzz/artifacts/TARGET/; keep it under fuzz/regressions/TARGET/.
# Extra arguments after SECONDS go to libFuzzer.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${TORLA_FUZZ_BUILD:-$root/build-fuzz}"
target="${1:?usage: fuzz/run.sh TARGET SECONDS}"
seconds="${2:?usage: fuzz/run.sh TARGET SECONDS}"
shift 2

case "$target" in
    command_file) ext=cmd; max_len=16384 ;;
    grid_file) ext=grid; max_len=32768 ;;
    knotline) ext=kin; max_len=8192 ;;
    profile) ext=geojson; max_len=8192 ;;
    ensemble_file) ext=toml; max_len=16384 ;;
    observations) ext=obs.toml; max_len=16384 ;;
    result_files) ext=nothing; max_len=32768 ;;
    *) echo "fuzz/run.sh: no target $target (command_file, grid_file, knotline, profile, ensemble_file, observations, result_files)" >&2; exit 2 ;;
esac

bash "$root/fuzz/build.sh" "$target"
bin="$out/${target}_fuzzer"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

# Every kept crash must stay fixed.
regressions="$root/fuzz/regressions/$target"
if compgen -G "$regressions/*" > /dev/null; then
    echo "fuzz/run.sh: replaying $(ls "$regressions" | wc -l) regression input(s) of $target"
    if ! "$bin" -runs=1 "$regressions"/* > "$out/$target-regressions.log" 2>&1; then
        cat "$out/$target-regressions.log"
        echo "fuzz/run.sh: a regression input of $target fails" >&2
        exit 1
    fi
fi
[ "$seconds" -gt 0 ] || exit 0

corpus="$out/corpus/$target"
artifacts="$out/artifacts/$target"
mkdir -p "$corpus" "$artifacts"
cp -n "$root/fuzz/seeds/$target"/* "$corpus"/ 2>/dev/null || true
for f in "$root"/tests/bad_inputs/*."$ext"; do [ -f "$f" ] || continue; cp -n "$f" "$corpus/bad-$(basename "$f")"; done
dict=()
[ ! -f "$root/fuzz/$target.dict" ] || dict=(-dict="$root/fuzz/$target.dict")

echo "fuzz/run.sh: fuzzing $target for $seconds s (corpus $corpus)"
"$bin" "$corpus" "${dict[@]}" -max_total_time="$seconds" -max_len="$max_len" -timeout=20 \
    -rss_limit_mb=2048 -artifact_prefix="$artifacts/" -print_final_stats=1 "$@"
