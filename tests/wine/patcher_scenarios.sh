#!/usr/bin/env bash
# End-to-end runs of the real VaskPatch.exe on a Wine desktop, answered box by
# box by vask_clicker, inside tests/wine/wine_session.sh (which sets
# WINEPREFIX, HOME and DISPLAY):   patcher_scenarios.sh SCENARIO
#
# The CTest registration sets VASK_PATCHER (the bare VaskPatch.exe),
# VASK_PATCHKIT, VASK_CLICKER, VASK_LINK_INFO, VASK_WORK (a folder for the
# run), VASK_SHOTS (screenshots) and, for installed and signed, VASK_NATIVE_BUILD
# (a native build whose install holds this VaskPatch.exe as its Windows stub).
# The game is at C:\VaskGame, registered in the 32-bit view of HKLM.
set -u

scenario=${1:?scenario}
work=$VASK_WORK/$scenario
shots=$VASK_SHOTS
mkdir -p "$work" "$shots"
game=$WINEPREFIX/drive_c/VaskGame
key='HKLM\Software\Lorvenest\Vask'
caption='Vask Patch Test'
failures=0
box_count=0

# The boxes the scenarios meet, as CAPTION;TEXT;BUTTONS (a press is added).
welcome="$caption;Installed: 1.01 in C:\\VaskGame\\|Install the patch?;Yes/No"
gamespy="$caption;Install GameSpy Arcade?;Yes/No"
patched="$caption;Vask is patched.;OK"
incomplete="$caption;The patch was not installed completely.;OK"
broken="VASK Patch;Patch file is broken!;OK"
errcopy="Error;Cannot copy DATA.TXT.;Abort/Retry/Ignore"

log() { echo "[$scenario] $*"; }
fail() {
  log "FAIL: $*"
  failures=$((failures + 1))
}

# Z:\ path of a Unix path, as Wine maps it.
winpath() {
  local p=$1
  case $p in /*) ;; *) p=$PWD/$p ;; esac
  echo "Z:${p//\//\\}"
}

screenshot() {  # NAME
  command -v import >/dev/null 2>&1 || { log "screenshot $1 not taken: no ImageMagick import"; return; }
  timeout 30 import -display "$DISPLAY" -window root "$shots/$1.png" >>"$work/import.log" 2>&1 \
    </dev/null && log "screenshot $shots/$1.png" || log "screenshot $1 failed (see $work/import.log)"
}

# answer CAPTION;TEXT;BUTTONS;PRESS[;TEXT-HAS]: waits for the box, checks what
# it shows and presses PRESS (none: only reads). shot:NAME takes a screenshot.
answer() {
  case $1 in shot:*) screenshot "${1#shot:}"; return ;; esac
  local want_caption want_text want_buttons press has out=$work/box.$((++box_count))
  IFS=';' read -r want_caption want_text want_buttons press has <<<"$1"
  if ! wine "$VASK_CLICKER" "$want_caption" "$press" ${has:+"$has"} >"$out" 2>&1 </dev/null; then
    fail "box \"$want_caption\" with \"$want_text\" did not show (or did not close)"
    sed 's/^/    /' "$out"
    screenshot "failure-$scenario-$box_count"
    return 1
  fi
  log "box: $(tr '\n' ' ' <"$out")-> $press"
  local field
  for field in "caption=$want_caption" "text=$want_text" "buttons=$want_buttons"; do
    grep -qxF "$field" "$out" || fail "wanted $field, got $(grep "^${field%%=*}=" "$out")"
  done
}

# start EXE NAME: the patcher in the background (its pid in $!), bounded.
start() {
  timeout -k 5 60 wine "$1" >"$work/$2.log" 2>&1 </dev/null &
}

# finish PID EXIT NAME: waits for it and checks its exit code.
finish() {
  wait "$1"
  local rc=$?
  log "$3 exit code $rc"
  [ "$rc" -ne 124 ] || screenshot "failure-$scenario-hung"
  [ "$rc" -eq "$2" ] || fail "$3 exit code $rc, wanted $2"
}

# run EXE EXIT BOX...: starts EXE, answers its boxes in turn, checks its exit.
run() {
  local exe=$1 rc=$2 box; shift 2
  start "$exe" "patcher.$box_count"; local pid=$!
  for box; do answer "$box"; done
  finish "$pid" "$rc" "patcher $(basename "$exe")"
}

reg_set_game() {  # VERSION-DWORD (hex, e.g. 0x10001)
  { wine reg delete "$key" /reg:32 /f
    wine reg add "$key" /v Path /t REG_SZ /d 'C:\VaskGame\' /reg:32 /f &&
      wine reg add "$key" /v GameVersion /t REG_DWORD /d "$1" /reg:32 /f
  } >>"$work/reg.log" 2>&1 </dev/null || fail "cannot register the game"
}

# expect_version VERSION WHEN: the GameVersion, a DWORD in the 32-bit view.
expect_version() {
  local got
  got=$(wine reg query "$key" /v GameVersion /reg:32 2>/dev/null </dev/null | tr -d '\r' |
    awk '$1 == "GameVersion" { print $2, $3 }')
  [ "$got" = "REG_DWORD $1" ] || fail "$2: GameVersion is \"$got\", wanted REG_DWORD $1"
}

# The game as installed: the executable, a mixed-case file the patch replaces
# and a read-only one it must overwrite; registered as 1.01.
make_game() {
  rm -rf "$game"
  mkdir -p "$game/packs"
  printf 'MZ game' >"$game/Vask.exe"
  printf 'old readme\r\n' >"$game/Readme.txt"
  printf 'old data' >"$game/packs/Data2.wdt"
  chmod a-w "$game/packs/Data2.wdt"
  reg_set_game 0x10001
}

# The patch: Patch.ini plus a tree of files, built onto the bare patcher by
# patchkit.exe, or with arguments by the native patchkit installed in
# $prefix, which finds its stub itself, given those arguments.
make_patch() {
  local files=$work/files
  rm -rf "$files"
  mkdir -p "$files/PACKS" "$files/MAPS/SUB" "$files/ZEL"
  printf 'patched data\r\n' >"$files/DATA.TXT"
  printf 'new readme\r\n' >"$files/README.TXT"
  yes 'vask pack data 0123456789' | head -c 300000 >"$files/PACKS/DATA2.WDT"
  printf 'map' >"$files/MAPS/SUB/X.MAP"
  : >"$files/EMPTY.BIN"
  printf 'MZ client' >"$files/ZEL/ZELCLIENT.EXE"
  cat >"$work/Patch.ini" <<'EOF'
[str]
title=Vask Patch Test
welcome=Welcome to the test patch.|Install it?
welcome2=Installed: %d.%02d in %s|Install the patch?
vaskrun=Vask or its patcher is running.
novask=Vask is not installed.
ver=10009
vermin=10001
noneed=Your Vask is newer than this patch.
errvermin=Your Vask is too old for this patch.
lang=
copy=Copying the patch files...
errcopy=Cannot copy %s.
errnotcomplete=The patch was not installed completely.
zel_shortcut=1
zel_name=Vask Online
gamespy=Install GameSpy Arcade?
done=Vask is patched.
EOF
  rm -f "$work/VaskPatchTest.exe"
  if [ $# -gt 0 ]; then
    "$prefix/bin/patchkit" build "$@" --ini "$work/Patch.ini" --files "$files" \
      -o "$work/VaskPatchTest.exe"
  else
    wine "$VASK_PATCHKIT" build --stub "$(winpath "$VASK_PATCHER")" \
      --ini "$(winpath "$work/Patch.ini")" --files "$(winpath "$files")" \
      -o "$(winpath "$work/VaskPatchTest.exe")"
  fi >"$work/patchkit.log" 2>&1 </dev/null
  if [ $? -ne 0 ] || [ ! -s "$work/VaskPatchTest.exe" ]; then
    fail "patchkit build failed:"
    sed 's/^/    /' "$work/patchkit.log"
    exit 1
  fi
}

# Every file byte for byte. Wine matches names without regard to case: the
# patch's README.TXT lands in the existing Readme.txt, and the read-only
# Data2.wdt is replaced. The new version is recorded.
check_patched() {
  local f
  for f in DATA.TXT MAPS/SUB/X.MAP EMPTY.BIN ZEL/ZELCLIENT.EXE README.TXT:Readme.txt \
           PACKS/DATA2.WDT:packs/Data2.wdt; do
    cmp -s "$work/files/${f%%:*}" "$game/${f#*:}" || fail "${f#*:} not copied byte for byte"
  done
  [ -e "$game/README.TXT" ] && fail "README.TXT written beside Readme.txt"
  expect_version 0x10009 "patched"
}

# Welcome, the installer declined, done.
run_accepted() {  # EXE
  run "$1" 0 "$welcome;yes" "$gamespy;no" "$patched;ok"
  check_patched
}

run_complete() {
  make_game; make_patch
  local programs link d
  for d in "$WINEPREFIX"/drive_c/users/*/AppData/Roaming/Microsoft/Windows/Start\ Menu/Programs; do
    case $d in */users/Public/*) ;; *) programs=$d ;; esac
  done
  link="${programs:?no Programs folder in the prefix}/Vask Online.lnk"
  rm -f "$link"
  run "$work/VaskPatchTest.exe" 0 "$welcome;none" shot:messagebox-welcome \
    "$welcome;yes" "$gamespy;no" "$patched;ok"
  check_patched
  wine "$VASK_LINK_INFO" "$(winpath "$link")" >"$work/link.txt" 2>&1 </dev/null ||
    fail "no shortcut $link"
  log "shortcut: $(tr '\n' ' ' <"$work/link.txt")"
  # The paths in any case, the name exactly.
  for f in 'path=C:\VaskGame\zel\zelclient.exe' 'workdir=C:\VaskGame\zel' \
           'icon=C:\VaskGame\zel\zelclient.exe,0'; do
    grep -qixF "$f" "$work/link.txt" || fail "shortcut: wanted $f"
  done
  grep -qxF 'description=Vask Online' "$work/link.txt" || fail "shortcut description"
}

run_declined() {
  make_game; make_patch
  run "$work/VaskPatchTest.exe" 255 "$welcome;no"
  # Started by cmd, the patcher sees its path unquoted on the command line and
  # finds its own file by its module name instead: the welcome still shows.
  timeout -k 5 60 wine cmd /c "$(winpath "$work/VaskPatchTest.exe")" >"$work/cmd.log" 2>&1 </dev/null &
  local pid=$!
  answer "$welcome;no"
  finish "$pid" 255 "patcher started by cmd"
  [ -e "$game/DATA.TXT" ] && fail "files were copied after No"
  expect_version 0x10001 "after No"
}

run_wrong_version() {
  make_game; make_patch
  reg_set_game 0x10000
  run "$work/VaskPatchTest.exe" 255 "${welcome/1.01/1.00};yes" \
    "$caption;Your Vask is too old for this patch.;OK;ok"
  reg_set_game 0x1000a
  run "$work/VaskPatchTest.exe" 255 "${welcome/1.01/1.10};yes" \
    "$caption;Your Vask is newer than this patch.;OK;ok"
  [ -e "$game/DATA.TXT" ] && fail "files were copied for a wrong version"
}

run_mutex_held() {
  make_game; make_patch
  # The first copy holds the mutex, waiting at its last question.
  start "$work/VaskPatchTest.exe" first; local first=$!
  answer "$welcome;yes"; answer "$gamespy;none"
  # The second copy (which sees the version the first one has written) asks
  # its welcome question, and is refused after Yes.
  run "$work/VaskPatchTest.exe" 255 "${welcome/1.01/1.09};yes;Install the patch?" \
    "$caption;Vask or its patcher is running.;OK;ok;running"
  answer "$gamespy;no;GameSpy"; answer "$patched;ok"
  finish "$first" 0 "first patcher"
}

# A directory where the patch wants to put DATA.TXT: the copy fails, with the
# progress bar stopped part-way; Retry asks again, Ignore copies the rest,
# Abort stops. Neither records the new version.
run_copy_failure() {  # ignore|abort
  make_game; make_patch
  mkdir -p "$game/DATA.TXT"
  start "$work/VaskPatchTest.exe" patcher; local pid=$!
  answer "$welcome;yes"
  answer "$errcopy;none"
  local out=$work/box.$((box_count + 1)) pos
  answer "$caption;Copying the patch files...;;none;Copying"
  pos=$(sed -n 's/^progress=\([0-9]*\)\/1000$/\1/p' "$out")
  [ -n "$pos" ] && [ "$pos" -gt 0 ] && [ "$pos" -lt 1000 ] ||
    fail "progress bar: wanted part-way, got \"$(sed -n 's/^progress=//p' "$out")\""
  [ "$1" = ignore ] && screenshot progress-and-errcopy
  answer "$errcopy;retry"; answer "$errcopy;$1"; answer "$incomplete;ok"
  if [ "$1" = ignore ]; then
    finish "$pid" 0 patcher
    cmp -s "$work/files/MAPS/SUB/X.MAP" "$game/MAPS/SUB/X.MAP" || fail "the other files were not copied"
  else
    finish "$pid" 255 patcher
  fi
  expect_version 0x10001 "after $1"
}

# Everything below the game folder: names, modes, sizes and contents.
game_state() {
  (cd "$game" && find . -printf '%p %m %s\n' | sort && find . -type f -print0 |
    sort -z | xargs -0 -r md5sum)
}

# A patch assembled from $work/tree with the general tools, not the builder.
assemble() {  # OUT
  wine "$VASK_PATCHKIT" pack "$(winpath "$work/tree")" "$(winpath "$work/hand.pack")" \
    >>"$work/patchkit.log" 2>&1 </dev/null &&
    wine "$VASK_PATCHKIT" lzss compress "$(winpath "$work/hand.pack")" \
      "$(winpath "$work/hand.lzss")" >>"$work/patchkit.log" 2>&1 </dev/null &&
    cat "$VASK_PATCHER" "$work/hand.lzss" >"$1" || fail "cannot assemble $1"
}

# Damaged downloads: each says "Patch file is broken!" and leaves the game
# folder and the registry as they were. A damaged container or directory is
# told at once; damage inside a member, or to the checksum record, once the
# archive is proven, after the welcome.
run_broken() {
  make_game; make_patch
  local good=$work/VaskPatchTest.exe bad=$work/Broken.exe before damage
  rm -rf "$work/tree"
  wine "$VASK_PATCHKIT" extract "$(winpath "$good")" "$(winpath "$work/tree")" \
    >>"$work/patchkit.log" 2>&1 </dev/null || fail "cannot extract the patch"
  python3 -c 'import sys; b = bytearray(open(sys.argv[1], "rb").read()); b[20] ^= 1
open(sys.argv[1], "wb").write(b)' "$work/tree/PATCH.SUM"
  assemble "$work/BadRecord.exe"
  before=$(game_state)
  for damage in member directory cut record; do
    python3 - "$good" "$bad" "$(stat -c %s "$VASK_PATCHER")" "$damage" "$work/BadRecord.exe" <<'PY'
import struct, sys
src, dst, stub, how, record = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5]
b = bytearray(open(src if how != 'record' else record, 'rb').read())
stub = b.find(b'LZSS', stub)  # the container, after its alignment gap
entry = lambda i: stub + struct.unpack_from('<I', b, stub + 14 + 4 * i)[0]
if how == 'member':      # a compressed block of PACKS\DATA2.WDT copies from before its start
    b[entry(3)] = 0x7F; b[entry(3) + 1] = 0xFF
elif how == 'directory':  # the first block ends past the end of the file
    b[stub + 18:stub + 22] = b'\xff' * 4
elif how == 'cut':
    del b[-20000:]
open(dst, 'wb').write(b)
PY
    log "damage: $damage"
    case $damage in
      member|record) run "$bad" 255 "$welcome;yes" "$broken;ok" ;;
      *) run "$bad" 255 "$broken;ok" ;;
    esac
    [ "$(game_state)" = "$before" ] || fail "$damage: the game folder changed"
    expect_version 0x10001 "$damage"
  done
}

# A patch of another tool, without a checksum record, applies as before.
run_no_checksums() {
  make_game; make_patch
  rm -rf "$work/tree"; mkdir -p "$work/tree"
  cp -r "$work/files" "$work/tree/Files"
  cp "$work/Patch.ini" "$work/tree/Patch.ini"
  head -c 40000 /dev/urandom >"$work/tree/Files/NOISE.BIN"  # the scan's room
  assemble "$work/Plain.exe"
  run_accepted "$work/Plain.exe"
}

# The native toolkit as a maker installs it, with this build's patcher as
# its Windows stub.
install_kit() {
  prefix=$work/prefix
  rm -rf "$prefix"
  if ! cmake --install "${VASK_NATIVE_BUILD:?}" --prefix "$prefix" >"$work/install.log" 2>&1; then
    fail "cmake --install failed"; cat "$work/install.log"; exit 1
  fi
  cmp -s "$prefix/share/vaskpatch/stubs/VaskPatch.exe" "$VASK_PATCHER" ||
    fail "the installed Windows stub is not this build's VaskPatch.exe"
}

# The native toolkit builds the patch without --stub.
run_installed() {
  install_kit; make_game; make_patch --target windows
  run_accepted "$work/VaskPatchTest.exe"
}

# Signing appends a certificate table after the container; the patcher and
# patchkit verify still read the archive, and the signature verifies.
run_signed() {
  install_kit; make_game
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Vask Test Signer" \
    -keyout "$work/test.key" -out "$work/test.crt" >"$work/openssl.log" 2>&1 ||
    fail "no test certificate"
  make_patch --sign "$work/test.crt" "$work/test.key"
  osslsigncode verify -CAfile "$work/test.crt" "$work/VaskPatchTest.exe" \
    >"$work/osslsigncode.log" 2>&1 || fail "osslsigncode verify failed"
  "$prefix/bin/patchkit" verify "$work/VaskPatchTest.exe" >"$work/verify.log" 2>&1 ||
    fail "patchkit verify failed"
  run_accepted "$work/VaskPatchTest.exe"
}

run_bare() {
  run "$VASK_PATCHER" 255 "$broken;none" shot:messagebox-broken "$broken;ok"
}

case $scenario in
  copy_ignore|copy_abort) run_copy_failure "${scenario#copy_}" ;;
  *) declare -F "run_$scenario" >/dev/null || { echo "unknown scenario $scenario" >&2; exit 2; }
     "run_$scenario" ;;
esac

if [ "$failures" -ne 0 ]; then
  log "$failures check(s) failed; logs in $work"
  for f in "$work"/*.log; do
    [ -s "$f" ] && { echo "--- $f"; tail -n 20 "$f"; }
  done
  exit 1
fi
log "passed"
