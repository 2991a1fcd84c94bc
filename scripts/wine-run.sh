#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's private prefix, for CTest
# and the scripts. Wine's background processes inherit whatever the program
# writes to, so the output goes to a file first and is printed afterwards: a
# pipe held open by them would hang the reader.
set -u
export WINEPREFIX=${VASK_WINEPREFIX:-${TMPDIR:-/tmp}/vask-wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml=;winemenubuilder.exe=d"}
if ! command -v wine >/dev/null 2>&1; then
  echo "wine-run: Wine is not installed (scripts/install_deps.sh installs it)" >&2
  exit 127
fi
mkdir -p "$WINEPREFIX"
# Keep one server alive for the whole run, detached from our output.
wineserver -p >/dev/null 2>&1 </dev/null || true
out=$(mktemp)
wine "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
rm -f "$out"
exit $rc
