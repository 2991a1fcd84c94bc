#!/usr/bin/env bash
# Builds the release build with the benchmarks, runs every benchmark program
# (medians of several interleaved repetitions) and the end-to-end benchmark
# of a whole patch, and prints the figures with the ratios the targets are
# stated in. The machine may be shared and noisy: only ratios measured in
# the same run mean much.
#   env: REPS (repetitions, default 5); BUILD_REPS (rounds of the build
#   benchmark, default 3); SIZES (synthetic trees in MiB, default "64 256")
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/install_deps.sh --bench
reps=${REPS:-5}

benches=()
for f in bench/*_bench.cpp; do benches+=("$(basename "$f" .cpp)"); done
cmake -S "$root" -B build/release -G Ninja -DVASK_BENCH=ON >/dev/null
ninja -C build/release vaskpatch patchkit apply_harness "${benches[@]}"

results=build/release/bench-results
rm -rf "$results"
mkdir -p "$results"
for b in "${benches[@]}"; do
  echo
  echo "== $b"
  build/release/bench/"$b" --benchmark_repetitions="$reps" \
    --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$results/$b.json" --benchmark_out_format=json
done

echo
echo "== whole patch: build and apply"
REPS=$reps bash bench/apply_bench.sh build/release build/release/apply-bench \
  | tee "$results/apply.txt"

echo
echo "== building a patch against gzip, pigz and xz"
BUILD_REPS=${BUILD_REPS:-3} bash bench/build_bench.sh build/release build/release/apply-bench \
  | tee "$results/build.txt"

echo
echo "== medians and ratios"
python3 bench/summary.py "$results"
