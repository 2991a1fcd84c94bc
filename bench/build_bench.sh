#!/usr/bin/env bash
# Building a patch against the general-purpose compressors: the machine
# corpus (~32 MiB as files) and the synthetic trees are built with
# `patchkit build -j1`, `-j2` (and `-j$(nproc)` where there are more cores),
# `-j2 --no-verify` (what the read-back proof costs), and the same tree as
# one tar is compressed with `gzip -6`, `pigz -6 -p 2` and `xz -6 -T2`.
# Runs are interleaved, each preceded by a sync; the figures are medians,
# and every ratio is the median over the rounds of the ratio within a
# round, so that drift in the machine's load cancels out. Peak resident
# memory comes from the kernel's accounting of each process.
#
#   bench/build_bench.sh BUILD_DIR [WORK_DIR]
#   env: BUILD_REPS (rounds, default 3), SIZES (default "64 256")
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: build_bench.sh BUILD_DIR [WORK_DIR]}" && pwd)
work=${2:-$build/apply-bench}
reps=${BUILD_REPS:-3}
sizes=${SIZES:-64 256}
cores=$(nproc)

harness=$build/bench/apply_harness
kit=$build/tools/patchkit
stub=$build/patcher/vaskpatch
ini=$root/tests/patcher/data/Patch.ini
for f in "$harness" "$kit" "$stub"; do
  [ -x "$f" ] || { echo "missing $f" >&2; exit 1; }
done
for t in gzip pigz xz tar; do
  command -v "$t" >/dev/null || { echo "missing $t" >&2; exit 1; }
done
mkdir -p "$work/trees"
work=$(cd "$work" && pwd)

source "$root/bench/bench_common.sh"

# The contenders, by label; each reads the tree or its tar and writes $out.
labels=(j1 j2)
[ "$cores" -gt 2 ] && labels+=("j$cores")
labels+=(j2nv gzip pigz xz)
run() {  # run LABEL TREE TAR OUT
  local label=$1 dir=$2 tar=$3 out=$4
  case $label in
    j2nv) "$kit" build -j 2 --no-verify --stub "$stub" --ini "$ini" --files "$dir" -o "$out" ;;
    j*) "$kit" build -j "${label#j}" --stub "$stub" --ini "$ini" --files "$dir" -o "$out" ;;
    gzip) gzip -6 -c "$tar" > "$out" ;;
    pigz) pigz -6 -p 2 -c "$tar" > "$out" ;;
    xz) xz -6 -T2 -c "$tar" > "$out" ;;
  esac
}
export -f run
export kit stub ini

names=(corpus)
for s in $sizes; do names+=("synthetic$s"); done
printf '%-13s %5s' tree MiB
for l in "${labels[@]}"; do printf ' %8s' "$l"; done
printf ' | %6s %6s %6s %6s %6s | %s\n' 'j2/j1' 'gz/j2' 'pz/j2' 'proof' 'out%' 'peak RSS j1/j2 (MiB)'
for name in "${names[@]}"; do
  dir=$(tree "$name")
  tar=$work/$name.tar
  [ -f "$tar" ] || (cd "$dir" && tar -cf "$tar" .)
  mib=$(du -sm --apparent-size "$dir" | cut -f1)
  for l in "${labels[@]}"; do : > "$work/$l.times"; : > "$work/$l.rss"; done
  for ((i = 0; i < reps; i++)); do
    for l in "${labels[@]}"; do
      out=$work/$name.$l.out
      rm -f "$out"
      sync
      "$harness" run "$work/r.run" -- bash -c 'run "$@"' _ "$l" "$dir" "$tar" "$out" \
        > /dev/null
      cut -d' ' -f1 "$work/r.run" >> "$work/$l.times"
      cut -d' ' -f4 "$work/r.run" >> "$work/$l.rss"
    done
  done
  # The builds agree byte for byte whatever the threads.
  for l in "${labels[@]}"; do
    case $l in j*) cmp -s "$work/$name.j1.out" "$work/$name.$l.out" ||
      { echo "$name: build $l differs from -j1" >&2; exit 1; } ;; esac
  done
  ratio() {  # ratio A B: median over rounds of A / B
    paste "$work/$1.times" "$work/$2.times" | awk '{ printf "%.6f\n", $1 / $2 }' | median
  }
  printf '%-13s %5s' "$name" "$mib"
  for l in "${labels[@]}"; do printf ' %8.3f' "$(median < "$work/$l.times")"; done
  proof=$(paste "$work/j2.times" "$work/j2nv.times" |
    awk '{ printf "%.6f\n", ($1 - $2) / $1 }' | median)
  size=$(awk -v a="$(stat -c %s "$work/$name.j1.out")" -v b="$(stat -c %s "$tar")" \
    'BEGIN { printf "%.1f", 100 * a / b }')
  printf ' | %6.2f %6.2f %6.2f %5.0f%% %6s | %.1f / %.1f\n' "$(ratio j1 j2)" \
    "$(ratio gzip j2)" "$(ratio pigz j2)" "$(awk -v p="$proof" 'BEGIN { print 100 * p }')" \
    "$size" "$(sort -n "$work/j1.rss" | tail -1 | awk '{ print $1 / 1024 }')" \
    "$(sort -n "$work/j2.rss" | tail -1 | awk '{ print $1 / 1024 }')"
  printf '%-13s        sizes: patch %s, gzip %s, pigz %s, xz %s bytes\n' '' \
    "$(stat -c %s "$work/$name.j1.out")" "$(stat -c %s "$work/$name.gzip.out")" \
    "$(stat -c %s "$work/$name.pigz.out")" "$(stat -c %s "$work/$name.xz.out")"
  rm -f "$work/$name".*.out
done
echo
echo "Wall seconds, medians of $reps interleaved rounds. j1, j2: patchkit build -j1, -j2"
echo "with the read-back proof; j2nv: -j2 --no-verify; gzip -6, pigz -6 -p 2, xz -6 -T2 of"
echo "the tree as one tar. j2/j1: speed-up of -j2 (target >= 1.8); gz/j2: gzip's time over"
echo "-j2's (target > 1); pz/j2: pigz's over -j2's (target >= 0.5); proof: share of -j2's"
echo "time spent proving; out%: the patch against the tar; peak RSS: largest of the rounds"
echo "(target flat from 64 to 256 MiB, below 64 MiB + 4 MiB per worker)."
