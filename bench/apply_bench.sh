#!/usr/bin/env bash
# The whole patch, end to end: builds patches of the machine corpus (~32 MiB
# laid out as files) and of synthetic 64 MiB and 256 MiB trees, applies each
# with the Linux patcher to a game folder on the same disk (answers piped
# in), and sets that against `cp -r` of the same tree plus the decoding of
# the patch's container alone. Runs are interleaved, each preceded by a
# sync; the figures are medians. Peak resident memory comes from
# /usr/bin/time -v (the kernel's accounting of the process).
#
#   bench/apply_bench.sh BUILD_DIR [WORK_DIR]
#   env: REPS (default 5), BUILD_REPS (default 3), SIZES (default "64 256")
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: apply_bench.sh BUILD_DIR [WORK_DIR]}" && pwd)
work=${2:-$build/apply-bench}
reps=${REPS:-5}
build_reps=${BUILD_REPS:-3}
sizes=${SIZES:-64 256}

harness=$build/bench/apply_harness
kit=$build/tools/patchkit
stub=$build/patcher/vaskpatch
ini=$root/tests/patcher/data/Patch.ini
for f in "$harness" "$kit" "$stub" /usr/bin/time; do
  [ -x "$f" ] || { echo "missing $f" >&2; exit 1; }
done
mkdir -p "$work"
work=$(cd "$work" && pwd)

source "$root/bench/bench_common.sh"

# timed REPORT COMMAND...: wall, user, system seconds and peak KiB of the
# command (the kernel's accounting, to the microsecond) into REPORT.
timed() { local r=$1; shift; "$harness" run "$r" -- "$@"; }
wall() { cut -d' ' -f1 "$1"; }
cpu() { awk '{ printf "%.6f\n", $2 + $3 }' "$1"; }

registry() {
  cat > "$work/registry.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Lorvenest\\Vask]
"Path"="$work/game/"
"GameVersion"=dword:00010001
"Language"="English"
REG
}

fresh_game() {
  rm -rf "$work/game" "$work/tmp" "$work/programs"
  mkdir -p "$work/game" "$work/tmp" "$work/programs"
  printf 'VASK: The Salt Road 1.01\n' > "$work/game/Vask.exe"
  registry
}

# apply PATCH: one timed run of the patcher under /usr/bin/time -v,
# answering yes to the welcome, no to the installer and OK to the rest.
apply() {
  printf 'y\nn\n\n\n' | VASKPATCH_REGISTRY="$work/registry.reg" \
    VASKPATCH_PROGRAMS="$work/programs" TMPDIR="$work/tmp" \
    timed "$work/a.run" /usr/bin/time -v -o "$work/a.tv" "$1" > "$work/apply.out"
}

# Same bytes, same names: everything below the tree arrived in the game.
check_game() {
  local diffs
  diffs=$(diff -r "$1" "$work/game" | grep -v "^Only in $work/game: " || true)
  if [ -n "$diffs" ]; then
    echo "the applied game folder differs from $1:" >&2
    echo "$diffs" | head -5 >&2
    exit 1
  fi
}

names=(corpus)
for s in $sizes; do names+=("synthetic$s"); done

printf '%-13s %8s %7s | %8s %8s %8s %8s %7s | %6s %6s %6s %6s | %9s\n' \
  tree MiB files decode proof 'cp -r' apply ratio 'cpu-d' 'cpu-c' 'cpu-a' ratio 'peak RSS'
results=()
for name in "${names[@]}"; do
  dir=$(tree "$name")
  mib=$(du -sm --apparent-size "$dir" | cut -f1)
  files=$(find "$dir" -type f | wc -l)
  patch=$work/$name.patch

  # Building the patch; repeated for the corpus only (the big trees take
  # long and their build time says nothing new).
  n=1; [ "$name" = corpus ] && n=$build_reps
  : > "$work/build.times"
  for ((i = 0; i < n; i++)); do
    rm -f "$patch"
    sync
    timed "$work/b.run" "$kit" build --stub "$stub" --ini "$ini" --files "$dir" \
      -o "$patch" > "$work/build.out"
    wall "$work/b.run" >> "$work/build.times"
  done
  chmod +x "$patch"
  build_time=$(median < "$work/build.times")
  patch_mib=$(awk -v b="$(stat -c %s "$patch")" 'BEGIN { printf "%.1f", b / 1048576 }')

  # Decode, cp -r and apply in turn, each on a settled disk.
  for f in d.times p.times c.times a.times d.cpu c.cpu a.cpu a.rss; do : > "$work/$f"; done
  for ((i = 0; i < reps; i++)); do
    sync
    timed "$work/d.run" "$harness" decode "$patch" > "$work/d.out"
    cut -d' ' -f1 "$work/d.out" >> "$work/d.times"
    cpu "$work/d.run" >> "$work/d.cpu"
    "$harness" prove "$patch" | cut -d' ' -f1 >> "$work/p.times"

    rm -rf "$work/copy"
    sync
    timed "$work/c.run" cp -r "$dir" "$work/copy"
    wall "$work/c.run" >> "$work/c.times"
    cpu "$work/c.run" >> "$work/c.cpu"

    fresh_game
    sync
    apply "$patch"
    wall "$work/a.run" >> "$work/a.times"
    cpu "$work/a.run" >> "$work/a.cpu"
    awk -F': ' '$1 ~ /Maximum resident set size/ { print $2 }' "$work/a.tv" >> "$work/a.rss"
    [ "$i" = 0 ] && check_game "$dir"
  done
  rm -rf "$work/copy" "$work/game"

  d=$(median < "$work/d.times"); c=$(median < "$work/c.times"); a=$(median < "$work/a.times")
  p=$(median < "$work/p.times")
  dc=$(median < "$work/d.cpu"); cc=$(median < "$work/c.cpu"); ac=$(median < "$work/a.cpu")
  rss=$(sort -n "$work/a.rss" | tail -1)
  # Each run's apply against the decode and copy right before it, then the
  # median of those: drift in the machine's load cancels out.
  ratio=$(paste "$work/d.times" "$work/c.times" "$work/a.times" |
    awk '{ printf "%.6f\n", $3 / ($1 + $2) }' | median)
  cratio=$(paste "$work/d.cpu" "$work/c.cpu" "$work/a.cpu" |
    awk '{ printf "%.6f\n", ($1 + $2 > 0) ? $3 / ($1 + $2) : 0 }' | median)
  ratio=$(printf '%.2f' "$ratio"); cratio=$(printf '%.2f' "$cratio")
  printf '%-13s %8s %7s | %8.3f %8.3f %8.3f %8.3f %7s | %6.3f %6.3f %6.3f %6s | %6.1f MiB\n' \
    "$name" "$mib" "$files" "$d" "$p" "$c" "$a" "$ratio" "$dc" "$cc" "$ac" "$cratio" \
    "$(awk -v k="$rss" 'BEGIN { print k / 1024 }')"
  results+=("$name: patchkit build $(printf '%.2f' "$build_time") s (median of $n), patch $patch_mib MiB")
done
echo
echo "decode: the patch's container read through alone (in-process time); proof: the"
echo "patcher's proof of the archive alone (part of apply); cp -r: the unpacked tree"
echo "copied; apply: the whole patcher run, proof included. Seconds, medians of $reps"
echo "interleaved runs; ratio: median over the runs of apply / (decode + cp -r),"
echo "target <= 1.3. cpu-*: user + system seconds of the same runs, and their ratio."
echo "peak RSS: largest 'Maximum resident set size' of the apply runs (/usr/bin/time -v),"
echo "target < 32 MiB and flat from 64 to 256 MiB."
printf '%s\n' "${results[@]}"
