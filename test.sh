#!/usr/bin/env bash
# Builds Brio and runs the whole test suite with ctest.
#   BRIO_SANITIZE=address|thread  sanitizer build (own build directory)
#   BRIO_BUILD_DIR=dir            build directory (default: build, or build-<sanitizer>)
#   BRIO_WERROR=ON                compiler warnings are errors (CI sets it)
set -euo pipefail
cd "$(dirname "$0")"
top=$(pwd)

scripts/setup

san=${BRIO_SANITIZE:-}
build=${BRIO_BUILD_DIR:-build${san:+-$san}}
cmake -S . -B "$build" -DBRIO_SANITIZE="$san" -DBRIO_WERROR="${BRIO_WERROR:-OFF}" >/dev/null
cmake --build "$build" -j"$(nproc)"

export LSAN_OPTIONS="suppressions=$top/scripts/lsan.supp:print_suppressions=0"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Qt is not instrumented: its own worker threads (network, D-Bus) hand data
# over through futexes TSan cannot see, so only our code's accesses count.
export TSAN_OPTIONS="suppressions=$top/scripts/tsan.supp:ignore_noninstrumented_modules=1:halt_on_error=0:second_deadlock_stack=1"

ctest_cmd=(ctest --test-dir "$build" --output-on-failure -j2 --timeout 900 "$@")

# Tests run in a private network namespace where the machine allows it, so no
# test can reach past this machine; loopback is brought up inside.
for ns in "unshare -n" "unshare -rn"; do
  if $ns true 2>/dev/null; then
    exec $ns bash -c 'ip link set lo up && exec "$@"' ctest-in-netns "${ctest_cmd[@]}"
  fi
done
echo "test.sh: no private network namespace here; running on the host's loopback" >&2
exec "${ctest_cmd[@]}"
