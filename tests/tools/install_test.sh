#!/usr/bin/env bash
# The toolkit as a maker installs it: `cmake --install` into a fresh prefix
# gives patchkit, its stubs and its manual page; the installed patchkit
# builds a patch without --stub; cpack makes a Debian package of the same
# files.
#
#   install_test.sh BUILD-DIR WORK-DIR DEMO-DIR [WINDOWS-STUB]
set -eu
build=$1 work=$2 demo=$3 windows_stub=${4:-}
rm -rf "$work"
mkdir -p "$work"
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >"$work/install.log"
files=(bin/patchkit lib/vaskpatch/vaskpatch share/man/man1/patchkit.1)
[ -f "$windows_stub" ] && files+=(share/vaskpatch/stubs/VaskPatch.exe)
for f in "${files[@]}"; do
  [ -f "$work/prefix/$f" ] || fail "not installed: $f"
done

kit=$work/prefix/bin/patchkit
"$kit" build --target linux --ini "$demo/Patch.ini" --files "$demo/files" \
  -o "$work/patch" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "build"; }
"$kit" verify "$work/patch" >"$work/verify.log" 2>&1 || { cat "$work/verify.log"; fail "verify"; }
if [ ! -f "$windows_stub" ]; then
  # Without the Windows stub the default target is refused, saying where
  # the stub was looked for.
  if "$kit" build --ini "$demo/Patch.ini" --files "$demo/files" -o "$work/p.exe" \
      >"$work/nostub.log" 2>&1; then
    fail "a Windows patch was built without a Windows stub"
  fi
  grep -q "share/vaskpatch/stubs/VaskPatch.exe" "$work/nostub.log" ||
    { cat "$work/nostub.log"; fail "the message does not say where it looked"; }
fi

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/deb/*.deb)
dpkg-deb -c "$deb" >"$work/deb.txt"
for f in "${files[@]}"; do
  grep -q " \./usr/$f\$" "$work/deb.txt" || { cat "$work/deb.txt"; fail "not in $deb: $f"; }
done
echo "installed and packaged: ${files[*]} ($(basename "$deb"))"
