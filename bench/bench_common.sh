# Shell helpers shared by the end-to-end benchmarks (sourced; they use
# $harness, the apply_harness program, and $work, the work folder).

median() { sort -g | awk '{ v[NR] = $1 } END {
  if (NR == 0) { print "nan"; exit }
  print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# The trees, made once and kept between runs under $work/trees.
tree() {  # tree NAME -> path; NAME: corpus or synthetic<MiB>
  local name=$1 dir=$work/trees/$1
  if [ ! -f "$dir.done" ]; then
    rm -rf "$dir"
    mkdir -p "$dir"
    if [ "$name" = corpus ]; then
      "$harness" corpus-tree "$dir" >/dev/null
    else
      "$harness" synthetic-tree "$dir" "${name#synthetic}" >/dev/null
    fi
    touch "$dir.done"
  fi
  echo "$dir"
}
