#!/usr/bin/env bash
# Builds and runs every test: a normal build, an AddressSanitizer + UndefinedBehaviorSanitizer
# build, and a short smoke run of each fuzz target. Ends with CTest's summary line over all of them.
set -uo pipefail
cd "$(dirname "$0")"
./setup.sh --packages || exit 1

JOBS=$(nproc)
WERROR=OFF; [ -n "${CI:-}" ] && WERROR=ON
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1
export QT_QPA_PLATFORM=offscreen

summary=()
total_pass=0; total_fail=0; status=0

run_suite() {  # name builddir cmake-args...
  local name=$1 dir=$2; shift 2
  echo "=== $name: configure and build ($dir)"
  if ! cmake -S . -B "$dir" -G Ninja -DVELLICOR_WERROR=$WERROR "$@" >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"; summary+=("$name: configure FAILED"); status=1; total_fail=$((total_fail+1)); return
  fi
  if ! cmake --build "$dir" -j "$JOBS"; then
    summary+=("$name: build FAILED"); status=1; total_fail=$((total_fail+1)); return
  fi
  echo "=== $name: tests"
  local log="$dir/ctest.log"
  ctest --test-dir "$dir" -j "$JOBS" --output-on-failure --timeout 600 2>&1 | tee "$log"
  local line pass fail
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of' "$log" | tail -1)
  if [ -z "$line" ]; then
    if grep -q 'No tests were found' "$log"; then pass=0; fail=0; else pass=0; fail=1; fi
  else
    local of; of=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    fail=$(sed -E 's/.*tests passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
    pass=$((of - fail))
  fi
  [ "$fail" -gt 0 ] && status=1
  total_pass=$((total_pass + pass)); total_fail=$((total_fail + fail))
  summary+=("$name: $pass passed, $fail failed")
}

mkdir -p build build-asan build-fuzz
run_suite "normal" build -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_suite "sanitizers" build-asan -DCMAKE_BUILD_TYPE=Debug -DVELLICOR_SANITIZE=ON -DVELLICOR_BENCH=OFF
if ls fuzz/*.cpp >/dev/null 2>&1; then
  run_suite "fuzz smoke" build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELLICOR_FUZZ=ON -DVELLICOR_TESTS=OFF \
    -DVELLICOR_BENCH=OFF -DVELLICOR_GUI=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
fi

echo
echo "=== Summary"
for s in "${summary[@]}"; do echo "  $s"; done
# The last line in CTest's own words, over all three runs.
total=$((total_pass + total_fail))
percent=100; [ "$total" -gt 0 ] && percent=$((total_pass * 100 / total))
[ "$total_fail" -gt 0 ] && [ "$percent" -eq 100 ] && percent=99
echo "$percent% tests passed, $total_fail tests failed out of $total"
exit $status
