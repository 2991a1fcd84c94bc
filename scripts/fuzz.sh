#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a given time.
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]
# SECONDS per target (default 60); TARGET names without the _fuzz suffix
# (default: all). Each run starts from the committed seeds in
# tests/fuzz/corpus/<target>/ and keeps what it finds in
# build/fuzz/corpus/<target>/ for the next run; crashing inputs land in
# build/fuzz/artifacts/<target>/. Environment: VASK_FUZZ_BUILD (build
# folder, default build/fuzz), VASK_FUZZ_JOBS (targets run at once,
# default 1), VASK_FUZZ_SKIP_BUILD=1 (use the fuzzers already built).
# Prints libFuzzer's final statistics per target and fails when a target
# crashed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(lzss_decode lzss_file pack pool ini patch_exe regedit4)
fi
build=${VASK_FUZZ_BUILD:-$root/build/fuzz}
jobs=${VASK_FUZZ_JOBS:-1}

if [ "${VASK_FUZZ_SKIP_BUILD:-0}" != 1 ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DVASK_FUZZ=ON \
    -DVASK_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  ninja -C "$build" -j"$(nproc)" $(printf '%s_fuzz ' "${targets[@]}")
fi

max_len() {  # inputs that hold whole containers and executables are larger
  case $1 in
    patch_exe|pool|lzss_file) echo 65536 ;;
    lzss_decode) echo 40000 ;;
    *) echo 8192 ;;
  esac
}

run_one() {  # run_one TARGET: runs it, writes its log
  local t=$1
  local work=$build/corpus/$t art=$build/artifacts/$t
  mkdir -p "$work" "$art"
  set +e
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/tests/fuzz/${t}_fuzz" "$work" "$root/tests/fuzz/corpus/$t" \
      -dict="$root/tests/fuzz/fuzz.dict" -max_len="$(max_len "$t")" \
      -max_total_time="$seconds" -timeout=25 -print_final_stats=1 \
      -artifact_prefix="$art/" >"$build/$t.log" 2>&1
  echo $? >"$build/$t.status"
  set -e
}

running=0
for t in "${targets[@]}"; do
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

failed=0
printf '%-12s %8s %12s %8s %8s\n' target status executions cov ft
for t in "${targets[@]}"; do
  log=$build/$t.log
  status=$(cat "$build/$t.status")
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1 || true)
  done_line=$(grep -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE|INITED)' "$log" |
              tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$done_line")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$done_line")
  printf '%-12s %8s %12s %8s %8s\n' "$t" "$status" "${execs:-?}" "${cov:-?}" "${ft:-?}"
  if [ "$status" != 0 ]; then
    failed=1
    echo "---- $t failed; the end of its log ($log):"
    tail -40 "$log"
  fi
done
exit $failed
