#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, ASan and UBSan (build-fuzz/) and
# runs each for the given time on a scratch copy of its seed corpus, so the
# corpus in the repository stays small.
#
#   bench/fuzz.sh [SECONDS] [TARGET...]   default 60 s, every target
#   FUZZ_JOBS=2                           targets run side by side
#   FUZZ_KEEP=dir                         keep the grown corpora and logs there
#   FUZZ_ARGS="-fork=1 -ignore_crashes=1" more libFuzzer flags (here: go on past a crash)
#
# A crash, leak, sanitizer report or broken check is saved in
# build-fuzz/findings/<target>/ (printed with its reproduction command) and
# makes the exit status non-zero. A finding's input goes into
# fuzz/corpus/<target>/, so every later run (and the <target>_corpus test)
# checks it.
set -uo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
jobs=${FUZZ_JOBS:-2}
build=${BRIO_FUZZ_BUILD_DIR:-$here/build-fuzz}

command -v clang++ >/dev/null || { echo "fuzz.sh: clang++ missing (scripts/setup installs it)" >&2; exit 1; }

CC=clang CXX=clang++ cmake -S "$here" -B "$build" -DBRIO_FUZZ=ON -DBRIO_SANITIZE=address \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
cmake --build "$build" --target brio_fuzzers -j"${BRIO_BUILD_JOBS:-2}" >/dev/null || {
  cmake --build "$build" --target brio_fuzzers -j1 2>&1 | tail -40
  exit 1
}

if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < <(cd "$here/fuzz" && ls fuzz_*.cpp | sed 's/\.cpp$//')
fi

if [ -n "${FUZZ_KEEP:-}" ]; then
  scratch=$FUZZ_KEEP
  mkdir -p "$scratch"
else
  scratch=$(mktemp -d /tmp/brio-fuzz.XXXXXX)
  trap 'rm -rf "$scratch"' EXIT
fi

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$here/scripts/lsan.supp:print_suppressions=0"

run_one() { # target -> exit status of the fuzzer
  local t=$1 dir=$scratch/$1
  mkdir -p "$dir/corpus" "$dir/tmp"
  cp -n "$here/fuzz/corpus/$t/"* "$dir/corpus/" 2>/dev/null
  # Multipart uploads spool to temporary files: keep them in the scratch dir.
  (cd "$dir" && TMPDIR=$dir/tmp nice "$build/fuzz/$t" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1 -artifact_prefix="$dir/" \
    ${FUZZ_ARGS:-} "$dir/corpus" >"$dir/log" 2>&1)
}

status=0
declare -A pid_of
for t in "${targets[@]}"; do
  [ -x "$build/fuzz/$t" ] || { echo "fuzz.sh: no target $t" >&2; status=1; continue; }
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
  echo "fuzz.sh: $t for ${seconds}s"
  run_one "$t" &
  pid_of[$t]=$!
done

for t in "${!pid_of[@]}"; do
  wait "${pid_of[$t]}"
  rc=$?
  dir=$scratch/$t
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$dir/log" | tail -1)
  crashes=$(ls "$dir"/crash-* "$dir"/leak-* "$dir"/timeout-* "$dir"/oom-* 2>/dev/null)
  if [ $rc -ne 0 ] || [ -n "$crashes" ]; then
    status=1
    echo "FINDING $t (exit $rc): ${crashes:-see log}"
    grep -m1 -A25 -E 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error|check failed' "$dir/log"
    # The scratch directory goes; the inputs are kept beside the build.
    mkdir -p "$build/findings/$t"
    for c in $crashes; do
      cp "$c" "$build/findings/$t/"
      echo "  reproduce: $build/fuzz/$t $build/findings/$t/$(basename "$c")"
    done
  else
    echo "ok $t: ${runs:-?} runs, ${cov:-cov ?}, corpus $(ls "$dir/corpus" | wc -l) files"
  fi
done
exit $status
