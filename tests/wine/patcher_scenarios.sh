#!/usr/bin/env bash
# End-to-end runs of the real VaskPatch.exe on a Wine desktop, each answered
# box by box by vask_clicker. Runs inside tests/wine/wine_session.sh (which
# sets WINEPREFIX, HOME and DISPLAY):
#
#   patcher_scenarios.sh SCENARIO
#
# with these in the environment (set by the CTest registration):
#   VASK_PATCHER    the bare VaskPatch.exe      VASK_PATCHKIT  patchkit.exe
#   VASK_CLICKER    vask_clicker.exe            VASK_LINK_INFO vask_link_info.exe
#   VASK_WORK       a folder for this run       VASK_SHOTS     where screenshots go
#   VASK_NATIVE_BUILD  (installed, signed) a native build whose install holds
#                   this VaskPatch.exe as its Windows stub
#
# Scenarios: complete, declined, wrong_version, mutex_held, copy_ignore,
# copy_abort, bare, broken, no_checksums; installed (the native toolkit
# installed into a fresh prefix builds the patch without --stub) and signed
# (the same, signed with a self-signed test certificate). The game is
# installed at C:\VaskGame (a folder of the Wine prefix's drive C:),
# registered in the 32-bit view of HKEY_LOCAL_MACHINE.
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

log() { echo "[$scenario] $*"; }
fail() {
  log "FAIL: $*"
  failures=$((failures + 1))
}

# Z:\ path of a Unix path, as Wine maps it.
winpath() {
  local p=$1
  case $p in /*) ;; *) p=$PWD/$p ;; esac
  p=${p//\//\\}
  echo "Z:$p"
}

screenshot() {  # NAME
  command -v import >/dev/null 2>&1 || { log "screenshot $1 not taken: no ImageMagick import"; return; }
  timeout 30 import -display "$DISPLAY" -window root "$shots/$1.png" >>"$work/import.log" 2>&1 \
    </dev/null && log "screenshot $shots/$1.png" || log "screenshot $1 failed (see $work/import.log)"
}

# expect_box CAPTION TEXT BUTTONS PRESS [TEXT-HAS [MOVE-TO]]: waits for the
# box, checks what it shows and presses PRESS (none: only reads).
expect_box() {
  local out=$work/box.$((++box_count))
  local args=(--caption "$1" --press "$4" --timeout-ms 30000)
  [ -n "${5:-}" ] && args+=(--text-has "$5")
  [ -n "${6:-}" ] && args+=(--move-to "$6")
  if ! wine "$VASK_CLICKER" "${args[@]}" >"$out" 2>&1 </dev/null; then
    fail "box \"$1\" with \"$2\" did not show (or did not close)"
    sed 's/^/    /' "$out"
    screenshot "failure-$scenario-$box_count"
    return 1
  fi
  log "box: $(tr '\n' ' ' <"$out")-> $4"
  grep -qxF "caption=$1" "$out" || fail "caption: wanted \"$1\""
  grep -qxF "text=$2" "$out" || fail "text: wanted \"$2\", got \"$(sed -n 's/^text=//p' "$out")\""
  grep -qxF "buttons=$3" "$out" || fail "buttons: wanted \"$3\", got \"$(sed -n 's/^buttons=//p' "$out")\""
}

# The progress dialog's text (control 1000), read while it is up.
expect_progress() {  # TEXT
  local out=$work/progress.$((++box_count))
  if wine "$VASK_CLICKER" --caption "$caption" --text-id 1000 --text-has "$1" \
      --press none --timeout-ms 10000 >"$out" 2>&1 </dev/null; then
    log "progress dialog: $(tr '\n' ' ' <"$out")"
    # Stopped at a question about a file, the bar stands part-way.
    if [ "${2:-}" = part-way ]; then
      local pos; pos=$(sed -n 's/^progress=\([0-9]*\)\/1000$/\1/p' "$out")
      [ -n "$pos" ] && [ "$pos" -gt 0 ] && [ "$pos" -lt 1000 ] ||
        fail "progress bar: wanted part-way, got \"$(sed -n 's/^progress=//p' "$out")\""
    fi
  else
    fail "progress dialog with \"$1\" not seen"
    sed 's/^/    /' "$out"
  fi
}

start_patcher() {  # EXE LOGNAME: in the background; its pid in $!
  wine "$1" >"$work/$2.log" 2>&1 </dev/null &
}

# wait_exit PID EXPECTED NAME: bounded wait for a patcher's exit code.
wait_exit() {
  local pid=$1 want=$2 name=$3
  for _ in $(seq 600); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    fail "$name still running after 60 s"; screenshot "failure-$scenario-hung"; kill "$pid" 2>/dev/null; return 1
  fi
  wait "$pid"
  local rc=$?
  log "$name exit code $rc"
  [ "$rc" -eq "$want" ] || fail "$name exit code $rc, wanted $want"
}

reg_set_game() {  # VERSION-DWORD (hex, e.g. 0x10001)
  wine reg delete "$key" /reg:32 /f >>"$work/reg.log" 2>&1 </dev/null
  wine reg add "$key" /v Path /t REG_SZ /d 'C:\VaskGame\' /reg:32 /f \
    >>"$work/reg.log" 2>&1 </dev/null || fail "cannot write Path"
  wine reg add "$key" /v GameVersion /t REG_DWORD /d "$1" /reg:32 /f \
    >>"$work/reg.log" 2>&1 </dev/null || fail "cannot write GameVersion"
}

reg_game_version() {  # prints the GameVersion as reg shows it (0x...)
  wine reg query "$key" /v GameVersion /reg:32 2>/dev/null </dev/null | tr -d '\r' |
    awk '$1 == "GameVersion" { print $3 }'
}

# The game as installed: the executable, a mixed-case file the patch replaces
# and a read-only one it must overwrite.
make_game() {
  rm -rf "$game"
  mkdir -p "$game/packs"
  printf 'MZ game' >"$game/Vask.exe"
  printf 'old readme\r\n' >"$game/Readme.txt"
  printf 'old data' >"$game/packs/Data2.wdt"
  chmod a-w "$game/packs/Data2.wdt"
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
  local built
  if [ $# -gt 0 ]; then
    "$prefix/bin/patchkit" build "$@" --ini "$work/Patch.ini" --files "$files" \
      -o "$work/VaskPatchTest.exe" >"$work/patchkit.log" 2>&1 </dev/null
  else
    wine "$VASK_PATCHKIT" build --stub "$(winpath "$VASK_PATCHER")" \
      --ini "$(winpath "$work/Patch.ini")" --files "$(winpath "$files")" \
      -o "$(winpath "$work/VaskPatchTest.exe")" >"$work/patchkit.log" 2>&1 </dev/null
  fi
  built=$?
  if [ $built -ne 0 ] || [ ! -s "$work/VaskPatchTest.exe" ]; then
    fail "patchkit build failed:"
    sed 's/^/    /' "$work/patchkit.log"
    exit 1
  fi
}

programs_folder() {
  local d
  for d in "$WINEPREFIX"/drive_c/users/*/AppData/Roaming/Microsoft/Windows/Start\ Menu/Programs; do
    case $d in */users/Public/*) ;; *) echo "$d"; return ;; esac
  done
}

welcome2_text='Installed: 1.01 in C:\VaskGame\|Install the patch?'

check_copied() {
  local f
  for f in DATA.TXT MAPS/SUB/X.MAP EMPTY.BIN ZEL/ZELCLIENT.EXE; do
    cmp -s "$work/files/$f" "$game/$f" || fail "$f not copied byte for byte"
  done
  # Wine matches names without regard to case: the patch's README.TXT lands
  # in the existing Readme.txt, and the read-only Data2.wdt is replaced.
  cmp -s "$work/files/README.TXT" "$game/Readme.txt" || fail "Readme.txt not replaced"
  [ -e "$game/README.TXT" ] && fail "README.TXT written beside Readme.txt"
  cmp -s "$work/files/PACKS/DATA2.WDT" "$game/packs/Data2.wdt" ||
    fail "read-only packs/Data2.wdt not replaced"
}

run_complete() {
  make_game; make_patch; reg_set_game 0x10001
  local programs; programs=$(programs_folder)
  [ -n "$programs" ] || fail "no Programs folder in the prefix"
  rm -f "$programs/Vask Online.lnk"
  start_patcher "$work/VaskPatchTest.exe" patcher; local pid=$!
  expect_box "$caption" "$welcome2_text" "Yes/No" none
  screenshot messagebox-welcome
  expect_box "$caption" "$welcome2_text" "Yes/No" yes
  expect_box "$caption" "Install GameSpy Arcade?" "Yes/No" no
  expect_box "$caption" "Vask is patched." "OK" ok
  wait_exit "$pid" 0 patcher
  check_copied
  local version; version=$(reg_game_version)
  [ "$version" = "0x10009" ] || fail "GameVersion is \"$version\", wanted 0x10009"
  local link="$programs/Vask Online.lnk"
  if [ -f "$link" ]; then
    wine "$VASK_LINK_INFO" "$(winpath "$link")" >"$work/link.txt" 2>&1 </dev/null ||
      fail "the shortcut does not load"
    log "shortcut: $(tr '\n' ' ' <"$work/link.txt")"
    grep -qixF 'path=C:\VaskGame\zel\zelclient.exe' "$work/link.txt" || fail "shortcut target"
    grep -qixF 'workdir=C:\VaskGame\zel' "$work/link.txt" || fail "shortcut working folder"
    grep -qxF 'description=Vask Online' "$work/link.txt" || fail "shortcut description"
    grep -qixF 'icon=C:\VaskGame\zel\zelclient.exe,0' "$work/link.txt" || fail "shortcut icon"
  else
    fail "no shortcut $link"
  fi
}

run_declined() {
  make_game; make_patch; reg_set_game 0x10001
  start_patcher "$work/VaskPatchTest.exe" patcher; local pid=$!
  expect_box "$caption" "$welcome2_text" "Yes/No" no
  wait_exit "$pid" 255 patcher
  [ -e "$game/DATA.TXT" ] && fail "files were copied after No"
  [ "$(reg_game_version)" = "0x10001" ] || fail "GameVersion changed after No"
  # Started by cmd, the patcher sees its path unquoted on the command line and
  # finds its own file by its module name instead: the welcome still shows.
  wine cmd /c "$(winpath "$work/VaskPatchTest.exe")" >"$work/cmd.log" 2>&1 </dev/null &
  pid=$!
  expect_box "$caption" "$welcome2_text" "Yes/No" no
  wait_exit "$pid" 255 "patcher started by cmd"
}

run_wrong_version() {
  make_game; make_patch
  reg_set_game 0x10000
  start_patcher "$work/VaskPatchTest.exe" too_old; local pid=$!
  expect_box "$caption" 'Installed: 1.00 in C:\VaskGame\|Install the patch?' "Yes/No" yes
  expect_box "$caption" "Your Vask is too old for this patch." "OK" ok
  wait_exit "$pid" 255 "patcher (1.00)"
  reg_set_game 0x1000a
  start_patcher "$work/VaskPatchTest.exe" too_new; pid=$!
  expect_box "$caption" 'Installed: 1.10 in C:\VaskGame\|Install the patch?' "Yes/No" yes
  expect_box "$caption" "Your Vask is newer than this patch." "OK" ok
  wait_exit "$pid" 255 "patcher (1.10)"
  [ -e "$game/DATA.TXT" ] && fail "files were copied for a wrong version"
}

run_mutex_held() {
  make_game; make_patch; reg_set_game 0x10001
  # The first copy holds the mutex, waiting at its last question.
  start_patcher "$work/VaskPatchTest.exe" first; local first=$!
  expect_box "$caption" "$welcome2_text" "Yes/No" yes
  expect_box "$caption" "Install GameSpy Arcade?" "Yes/No" none
  # The second copy (which sees the version the first one has written) asks
  # its welcome question, and is refused after Yes.
  start_patcher "$work/VaskPatchTest.exe" second; local second=$!
  expect_box "$caption" 'Installed: 1.09 in C:\VaskGame\|Install the patch?' "Yes/No" \
    yes "Install the patch?"
  expect_box "$caption" "Vask or its patcher is running." "OK" ok "running"
  wait_exit "$second" 255 "second patcher"
  expect_box "$caption" "Install GameSpy Arcade?" "Yes/No" no "GameSpy"
  expect_box "$caption" "Vask is patched." "OK" ok
  wait_exit "$first" 0 "first patcher"
}

# A directory where the patch wants to put DATA.TXT: the copy fails.
run_copy_failure() {  # ignore|abort
  make_game; make_patch; reg_set_game 0x10001
  mkdir -p "$game/DATA.TXT"
  start_patcher "$work/VaskPatchTest.exe" patcher; local pid=$!
  expect_box "$caption" "$welcome2_text" "Yes/No" yes
  expect_box "Error" "Cannot copy DATA.TXT." "Abort/Retry/Ignore" none "" 20,20
  expect_progress "Copying the patch files..." part-way
  [ "$1" = ignore ] && screenshot progress-and-errcopy
  expect_box "Error" "Cannot copy DATA.TXT." "Abort/Retry/Ignore" retry
  if [ "$1" = ignore ]; then
    expect_box "Error" "Cannot copy DATA.TXT." "Abort/Retry/Ignore" ignore
    expect_box "$caption" "The patch was not installed completely." "OK" ok
    wait_exit "$pid" 0 patcher
    [ "$(reg_game_version)" = "0x10001" ] || fail "GameVersion written after Ignore"
    cmp -s "$work/files/MAPS/SUB/X.MAP" "$game/MAPS/SUB/X.MAP" ||
      fail "the other files were not copied"
  else
    expect_box "Error" "Cannot copy DATA.TXT." "Abort/Retry/Ignore" abort
    expect_box "$caption" "The patch was not installed completely." "OK" ok
    wait_exit "$pid" 255 patcher
    [ "$(reg_game_version)" = "0x10001" ] || fail "GameVersion written after Abort"
  fi
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
  make_game; make_patch; reg_set_game 0x10001
  local good=$work/VaskPatchTest.exe bad=$work/Broken.exe
  rm -rf "$work/tree"
  wine "$VASK_PATCHKIT" extract "$(winpath "$good")" "$(winpath "$work/tree")" \
    >>"$work/patchkit.log" 2>&1 </dev/null || fail "cannot extract the patch"
  python3 - "$work/tree/PATCH.SUM" <<'PY'
import sys
p = sys.argv[1]; b = bytearray(open(p, 'rb').read()); b[20] ^= 1; open(p, 'wb').write(b)
PY
  assemble "$work/BadRecord.exe"
  local before; before=$(game_state)
  local stub; stub=$(stat -c %s "$VASK_PATCHER")
  local damage when
  for damage in member directory cut record; do
    python3 - "$good" "$bad" "$stub" "$damage" "$work/BadRecord.exe" <<'PY'
import struct, sys
src, dst, stub, how, record = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5]
b = bytearray(open(src, 'rb').read())
stub = b.find(b'LZSS', stub)  # the container, after its alignment gap
entry = lambda i: stub + struct.unpack_from('<I', b, stub + 14 + 4 * i)[0]
if how == 'member':      # a compressed block of PACKS\DATA2.WDT copies from before its start
    b[entry(3)] = 0x7F; b[entry(3) + 1] = 0xFF
elif how == 'directory':  # the first block ends past the end of the file
    b[stub + 18:stub + 22] = b'\xff' * 4
elif how == 'cut':
    del b[-20000:]
else:
    b = bytearray(open(record, 'rb').read())
open(dst, 'wb').write(b)
PY
    log "damage: $damage"
    start_patcher "$bad" "broken-$damage"; local pid=$!
    case $damage in member|record)
      expect_box "$caption" "$welcome2_text" "Yes/No" yes ;;
    esac
    expect_box "VASK Patch" "Patch file is broken!" "OK" ok
    wait_exit "$pid" 255 "patcher ($damage)"
    [ "$(game_state)" = "$before" ] || fail "$damage: the game folder changed"
    [ "$(reg_game_version)" = "0x10001" ] || fail "$damage: GameVersion changed"
  done
}

# A patch of another tool, without a checksum record, applies as before.
run_no_checksums() {
  make_game; make_patch; reg_set_game 0x10001
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
  if ! cmake --install "${VASK_NATIVE_BUILD:?}" --prefix "$prefix" \
      >"$work/install.log" 2>&1; then
    fail "cmake --install failed"; cat "$work/install.log"; exit 1
  fi
  cmp -s "$prefix/share/vaskpatch/stubs/VaskPatch.exe" "$VASK_PATCHER" ||
    fail "the installed Windows stub is not this build's VaskPatch.exe"
}

# Welcome, the installer declined, done: the files are in the game folder
# and the new version is recorded.
run_accepted() {  # EXE
  start_patcher "$1" patcher; local pid=$!
  expect_box "$caption" "$welcome2_text" "Yes/No" yes
  expect_box "$caption" "Install GameSpy Arcade?" "Yes/No" no
  expect_box "$caption" "Vask is patched." "OK" ok
  wait_exit "$pid" 0 patcher
  check_copied
  [ "$(reg_game_version)" = "0x10009" ] || fail "GameVersion not written"
}

run_installed() {
  install_kit; make_game; make_patch --target windows; reg_set_game 0x10001
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
  reg_set_game 0x10001
  run_accepted "$work/VaskPatchTest.exe"
}

run_bare() {
  start_patcher "$VASK_PATCHER" patcher; local pid=$!
  expect_box "VASK Patch" "Patch file is broken!" "OK" none
  screenshot messagebox-broken
  expect_box "VASK Patch" "Patch file is broken!" "OK" ok
  wait_exit "$pid" 255 patcher
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
