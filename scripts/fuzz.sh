#!/usr/bin/env bash
# Builds the libFuzzer programs of the suite's input parsers (the folder
# archive read by ZYPUnZip, the registry file read by ZYPRegImport, the
# request blocks the server's dispatcher reads, the decrypted region of a
# self-extracting archive read by its extractor) with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs each for a bounded
# time on throwaway folders. Skips (exit 0) where clang++ cannot build
# libFuzzer programs.
# Usage: scripts/fuzz.sh [seconds per target]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build/fuzz

probe='extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }'
if ! command -v clang++ >/dev/null ||
   ! echo "$probe" | clang++ -x c++ -fsanitize=fuzzer,address - -o /dev/null 2>/dev/null; then
  echo "fuzz: clang++ with libFuzzer is not available here; skipped"
  exit 0
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
  -DZYP_SANITIZE=ON -DZYP_TESTS=OFF -DZYP_FUZZ=ON >/dev/null
cmake --build "$build" -j "${ZYP_JOBS:-2}" --target fuzz_unzip fuzz_regimport fuzz_dispatcher fuzz_sfx_region

# The programs unpack and import into these folders only.
work=$(mktemp -d "${TMPDIR:-/tmp}/zyp-fuzz-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -m 0700 "$work/runtime"
mkdir -p "$work/user" "$work/machine" "$work/tmp"
export ZYP_RUNTIME_DIR=$work/runtime ZYP_USER_DIR=$work/user ZYP_MACHINE_DIR=$work/machine
export TMPDIR=$work/tmp ZYP_UI=none ZYP_LANG=ENU
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

for target in unzip regimport dispatcher sfx_region; do
  echo "== fuzz_$target for $seconds s"
  mkdir -p "$work/corpus-$target"
  "$build/bin/fuzz_$target" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
    -artifact_prefix="$build/crash-$target-" "$work/corpus-$target"
done
