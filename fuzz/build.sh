#!/usr/bin/env bash
# Builds the fuzz targets into build-fuzz/ (or $TORLA_FUZZ_BUILD): the
# program's sources and the targets in fuzz/, compiled with clang's
# libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer.
#   fuzz/build.sh            every target
#   fuzz/build.sh TARGET...  the named ones (command_file, grid_file, knotline, profile, ensemble_file,
#                            observations, result_files)
# The profile target also compiles profile/ against Debian's GDAL (not
# instrumented itself) and links it; the observations and result_files
# targets link the few inspect/ sources they need.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${TORLA_FUZZ_BUILD:-$root/build-fuzz}"
cxx="${CXX_FUZZ:-clang++}"
jobs="${TORLA_FUZZ_JOBS:-2}"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(command_file grid_file knotline profile ensemble_file observations result_files)

flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -I"$root" -isystem /usr/include/gdal -include "$root/fuzz/gcc_builtins.h"
       -Wall -Wextra -Werror -ffp-contract=off
       -fsanitize=address,undefined -fno-sanitize-recover=all)
mkdir -p "$out/obj"

# Every source of the program except the entry points, and the ensemble
# file's reader (toml++ compiled in, so that it is instrumented too).
sources=("$root"/ensemble/ensemble_file.cpp "$root"/ensemble/toml_reader.cpp "$root"/ensemble/folder.cpp
         "$root"/ensemble/sampling.cpp "$root"/inspect/observations.cpp "$root"/inspect/report.cpp
         "$root"/inspect/run_record.cpp "$root"/inspect/summary.cpp)
flags+=(-DTOML_HEADER_ONLY=1)
for f in "$root"/model/*.cpp "$root"/run/*.cpp "$root"/input/*.cpp "$root"/flow/*.cpp "$root"/output/*.cpp "$root"/knotline/*.cpp "$root"/profile/*.cpp "$root"/support/*.cpp; do
    case "$f" in */run/main.cpp|*/knotline/main.cpp|*/profile/main.cpp) continue ;; esac
    sources+=("$f")
done

# An object is rebuilt when its source or any header is newer than it.
newest_header="$(find "$root/model" "$root/run" "$root/input" "$root/flow" "$root/output" "$root/knotline" "$root/profile" "$root/support" "$root/fuzz" "$root/ensemble" "$root/inspect" \
                 -name '*.h' -printf '%T@\n' | sort -n | tail -1)"
stale=()
for f in "${sources[@]}"; do
    rel="${f#"$root"/}"
    obj="$out/obj/${rel//\//_}.o"
    if [ ! -f "$obj" ] || [ "$f" -nt "$obj" ] ||
       [ "$(stat -c %Y "$obj")" -lt "${newest_header%.*}" ]; then
        stale+=("$f")
    fi
done
if [ ${#stale[@]} -gt 0 ]; then
    echo "fuzz/build.sh: compiling ${#stale[@]} source(s) with $cxx"
    printf '%s\n' "${stale[@]}" | ROOT="$root" OUT="$out" CXX_FUZZ="$cxx" \
        xargs -P "$jobs" -I{} bash -c 'f="{}"; rel="${f#"$ROOT"/}"; exec "$CXX_FUZZ" "$@" -fsanitize=fuzzer-no-link -c "$f" -o "$OUT/obj/${rel//\//_}.o"' _ "${flags[@]}"
fi

objects=()
for f in "${sources[@]}"; do rel="${f#"$root"/}"; objects+=("$out/obj/${rel//\//_}.o"); done
for t in "${targets[@]}"; do
    # profile/ and GDAL only where the target drives the profile tool.
    linked=()
    for o in "${objects[@]}"; do
        case "$o" in */profile_*) [ "$t" = profile ] || continue ;; esac
        case "$o" in */inspect_*) [ "$t" = observations ] || [ "$t" = result_files ] || continue ;; esac
        linked+=("$o")
    done
    libs=()
    [ "$t" != profile ] || libs=(-lgdal)
    src="$root/fuzz/${t}_fuzzer.cpp"
    [ -f "$src" ] || { echo "fuzz/build.sh: no target $t" >&2; exit 2; }
    echo "fuzz/build.sh: linking $out/${t}_fuzzer"
    "$cxx" "${flags[@]}" -fsanitize=fuzzer "$src" "${linked[@]}" "${libs[@]}" -o "$out/${t}_fuzzer"
done
