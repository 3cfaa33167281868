#!/usr/bin/env bash
# Installs the build tools this project needs when they are missing, then
# builds and runs the test suite in the default, AddressSanitizer+UBSan and
# ThreadSanitizer builds (the monitor window's tests, on Qt's offscreen
# platform, in the first two), and gives every fuzz target a short smoke run.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-packages.sh cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev \
  libbenchmark-dev qt6-base-dev fonts-dejavu-core

for preset in default asan tsan; do
  echo "== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset tests"
  ctest --preset "$preset"
done

echo "== fuzz smoke run"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
fuzz_seconds=${FUZZ_SECONDS:-20}
for target in build/fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=${target##*/fuzz_}
  work=$(mktemp -d)
  [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$work/"
  echo "-- $name (${fuzz_seconds}s)"
  # stdin closed: a definition may name any file, /dev/stdin included
  if ! "$target" -max_total_time="$fuzz_seconds" -timeout=10 -print_final_stats=1 "$work" </dev/null >"$work.log" 2>&1; then
    tail -n 40 "$work.log"
    echo "fuzz target $name failed" >&2
    exit 1
  fi
  grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units)' "$work.log" || tail -n 2 "$work.log"
  rm -rf "$work" "$work.log"
done
echo "== all builds and tests passed"
