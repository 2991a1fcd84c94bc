#!/usr/bin/env bash
# Many new files in one folder: a patch of FILES files of 2 KiB with
# upper-case names (DATA\NEW00000.DAT...) applied with the Linux patcher to
# a game whose Data folder already holds FILES mixed-case files, set
# against `cp -r` of the same tree. Every new name is missing in every
# spelling, so each one needs the folder's names: this is where looking
# names up without regard to case can turn quadratic. Wall, user and system
# seconds, medians of REPS runs, each on a settled disk.
#
#   bench/new_files_bench.sh BUILD_DIR [WORK_DIR]
#   env: FILES (default 5000), REPS (default 3),
#        PATCHER (the patcher stub to build the patch with; default
#        BUILD_DIR/patcher/vaskpatch)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: new_files_bench.sh BUILD_DIR [WORK_DIR]}" && pwd)
work=${2:-$build/new-files-bench}
files=${FILES:-5000}
reps=${REPS:-3}
kit=$build/tools/patchkit
stub=${PATCHER:-$build/patcher/vaskpatch}
ini=$root/tests/patcher/data/Patch.ini
for f in "$kit" "$stub" /usr/bin/time; do
  [ -x "$f" ] || { echo "missing $f" >&2; exit 1; }
done
rm -rf "$work"
mkdir -p "$work/tree/DATA" "$work/old"
work=$(cd "$work" && pwd)

# Deterministic contents: the numbers 1, 2, ... as text, cut into 2 KiB files.
fill() {  # fill PREFIX SUFFIX
  { seq 1 100000000 || true; } | head -c $((2048 * files)) |
    split -b 2048 -a 5 -d --additional-suffix="$2" - "$1"
}
fill "$work/tree/DATA/NEW" .DAT
fill "$work/old/Tex" .Dat
"$kit" build --stub "$stub" --ini "$ini" --files "$work/tree" \
  -o "$work/patch" > "$work/build.out"
chmod +x "$work/patch"

fresh_game() {
  rm -rf "$work/game" "$work/tmp" "$work/programs"
  mkdir -p "$work/game" "$work/tmp" "$work/programs"
  cp -r "$work/old" "$work/game/Data"
  printf 'VASK: The Salt Road 1.01\n' > "$work/game/Vask.exe"
  cat > "$work/registry.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Lorvenest\\Vask]
"Path"="$work/game/"
"GameVersion"=dword:00010001
"Language"="English"
REG
}

median() { sort -g | awk '{ v[NR] = $1 } END {
  print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
: > "$work/c.times"
: > "$work/a.times"
for ((i = 0; i < reps; i++)); do
  rm -rf "$work/copy"
  sync
  /usr/bin/time -f '%e %U %S' -o "$work/c.t" cp -r "$work/tree" "$work/copy"
  cat "$work/c.t" >> "$work/c.times"
  fresh_game
  sync
  # Yes to the welcome, no to the installer, OK to the rest.
  printf 'y\nn\n\n\n' | VASKPATCH_REGISTRY="$work/registry.reg" \
    VASKPATCH_PROGRAMS="$work/programs" TMPDIR="$work/tmp" \
    /usr/bin/time -f '%e %U %S' -o "$work/a.t" "$work/patch" > "$work/apply.out"
  cat "$work/a.t" >> "$work/a.times"
  # Every new file arrived, in the existing Data folder.
  extra=$(diff -r "$work/tree/DATA" "$work/game/Data" |
    grep -v "^Only in $work/game/Data: Tex" || true)
  if [ "$(ls "$work/game" | tr '\n' ' ')" != "Data Vask.exe " ] ||
    [ "$(ls "$work/game/Data" | wc -l)" != $((2 * files)) ] || [ -n "$extra" ]; then
    echo "the patch did not land as expected" >&2
    exit 1
  fi
done
col() { cut -d' ' -f"$1" "$2" | median; }
printf '%-6s %8s %8s %8s   (%d new files of 2 KiB, %d present, median of %d)\n' \
  '' wall user system "$files" "$files" "$reps"
printf '%-6s %8.2f %8.2f %8.2f\n' 'cp -r' "$(col 1 "$work/c.times")" \
  "$(col 2 "$work/c.times")" "$(col 3 "$work/c.times")"
printf '%-6s %8.2f %8.2f %8.2f\n' apply "$(col 1 "$work/a.times")" \
  "$(col 2 "$work/a.times")" "$(col 3 "$work/a.times")"
rm -rf "$work/copy" "$work/game"
