#!/usr/bin/env bash
# The demo: builds the Linux patcher and patchkit, lays out a sample game
# installation under build/demo, builds a sample patch and runs it in this
# terminal for you to answer.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/install_deps.sh --native

cmake -S "$root" -B build/release -G Ninja >/dev/null
ninja -C build/release vaskpatch patchkit

demo=$root/build/demo
rm -rf "$demo"
mkdir -p "$demo/game/packs" "$demo/programs/Games/Vask" "$demo/lang/LOCAL" "$demo/tmp"
kit=$root/build/release/tools/patchkit

# The installed game: version 1.01, English.
printf 'VASK: The Salt Road 1.01\n' > "$demo/game/Vask.exe"
printf '[system]\nlanguage = English\n' > "$demo/lang/LOCAL/strings3.ini"
printf '[objects]\npeon = Peasant\n' > "$demo/lang/LOCAL/strings.ini"
"$kit" pool "$demo/lang" "$demo/game/packs/local.wdt" >/dev/null
cat > "$demo/registry.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Lorvenest\\Vask]
"Path"="$demo/game/"
"GameVersion"=dword:00010001
"Language"="English"
REG

# The patch.
"$kit" build --stub build/release/patcher/vaskpatch --ini scripts/demo/Patch.ini \
  --files scripts/demo/files -o "$demo/VaskPatch109"
echo
echo "The patch: $demo/VaskPatch109 ($(stat -c %s "$demo/VaskPatch109") bytes). Its files:"
"$kit" list "$demo/VaskPatch109"
echo
echo "Running it against the sample installation in $demo/game."
echo "Answer its questions (y/n, or Enter for OK)."
echo

set +e
VASKPATCH_REGISTRY="$demo/registry.reg" VASKPATCH_PROGRAMS="$demo/programs" \
  TMPDIR="$demo/tmp" "$demo/VaskPatch109"
code=$?
set -e
echo
echo "The patcher exited with code $code."
echo "Game folder now:"; (cd "$demo/game" && find . -type f | sort)
echo "Registry now:"; cat "$demo/registry.reg"
echo "Shortcuts:"; find "$demo/programs" -name '*.desktop'
