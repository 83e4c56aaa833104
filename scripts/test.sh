#!/usr/bin/env bash
# Builds and runs every test, in the release configuration and again with
# AddressSanitizer and UndefinedBehaviorSanitizer.
# Usage: scripts/test.sh [release|debug|asan ...]   (default: release asan)
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
((${#presets[@]})) || presets=(release asan)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for preset in "${presets[@]}"; do
  echo "== $preset: build"
  scripts/build.sh "$preset"
  echo "== $preset: tests"
  ctest --preset "$preset" -j "${ZYP_JOBS:-2}"
done
