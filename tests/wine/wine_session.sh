#!/usr/bin/env bash
# Runs one command inside a private, display-backed Wine session:
#
#   wine_session.sh STATE-DIR COMMAND [ARGS...]
#
# STATE-DIR (under the build folder) holds the Wine prefix and the HOME of the
# session, made on first use. Each session starts its own X server (Xvfb, on a
# free display found with -displayfd) and one persistent wineserver, runs the
# command with WINEPREFIX, HOME and DISPLAY set, and at the end stops the
# wineserver and then the X server. Sessions on the same STATE-DIR take turns.
#
# Wine's background processes inherit whatever the first Wine program of a
# session writes to, so nothing of Wine ever writes into a pipe: the command's
# output goes to a file, printed when it is done. Every wait is bounded.
set -u

[ $# -ge 2 ] || { echo "usage: wine_session.sh STATE-DIR COMMAND [ARGS...]" >&2; exit 2; }
state=$(mkdir -p "$1" && cd "$1" && pwd)
shift
failed() { echo "wine_session: FAILED: $*" >&2; exit 1; }

for tool in wine wineserver Xvfb flock timeout; do
  command -v "$tool" >/dev/null 2>&1 ||
    failed "$tool is not installed (scripts/install_deps.sh installs what the Windows tests need)"
done

export WINEPREFIX=$state/prefix
export HOME=$state/home
export WINEDEBUG=${VASK_WINEDEBUG:--all,err+module}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export XDG_RUNTIME_DIR=$state/home/run
unset WINELOADERNOEXEC
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$WINEPREFIX"
chmod 700 "$XDG_RUNTIME_DIR"

# One session at a time per state folder.
exec 9>"$state/lock"
flock -w 900 9 || failed "another session holds $state/lock"

session_log=$state/session.log
: >"$session_log"
xvfb_pid=

stop_wineserver() {
  timeout 30 wineserver -k >>"$session_log" 2>&1 </dev/null
  timeout 30 wineserver -w >>"$session_log" 2>&1 </dev/null
}
stop_session() {
  stop_wineserver
  [ -n "$xvfb_pid" ] || return
  kill "$xvfb_pid" 2>/dev/null
  for _ in $(seq 50); do kill -0 "$xvfb_pid" 2>/dev/null && sleep 0.1; done
  kill -9 "$xvfb_pid" 2>/dev/null
}
trap 'stop_session' EXIT
trap 'exit 143' TERM INT

# The X server, on the first free display.
rm -f "$state/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset \
  3>"$state/display" >"$state/xvfb.log" 2>&1 </dev/null &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$state/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || break
  sleep 0.1
done
[ -s "$state/display" ] || failed "Xvfb did not start; its log:
$(cat "$state/xvfb.log")"
export DISPLAY=:$(tr -d '[:space:]' <"$state/display")

# A leftover server of this prefix (from a session that was killed) would
# still talk to a dead display.
stop_wineserver
wineserver -p >>"$session_log" 2>&1 </dev/null

# The prefix, made once: no window manager under Xvfb, so Wine manages its
# windows itself (or every closing window costs seconds); no crash dialog.
if [ ! -f "$state/prefix-ready" ]; then
  echo "wine_session: making the Wine prefix in $WINEPREFIX" >&2
  timeout 300 wineboot -i >>"$session_log" 2>&1 </dev/null ||
    failed "wineboot did not finish; its log:
$(tail -n 40 "$session_log")"
  timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ \
    /d N /f >>"$session_log" 2>&1 </dev/null &&
  timeout 60 wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog \
    /t REG_DWORD /d 0 /f >>"$session_log" 2>&1 </dev/null ||
    failed "cannot set up the prefix"
  touch "$state/prefix-ready"
fi
# The prefix's services start with the first Wine program of the command and
# inherit its output, which is always a file here.

out=$state/command.log
: >"$out"
timeout -k 10 "${VASK_WINE_SESSION_TIMEOUT:-540}" "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
[ $rc -ne 124 ] || echo "wine_session: FAILED: the command ran out of time" >&2
exit $rc
