#!/usr/bin/env bash
# Configures and builds one configuration: release (default), debug or asan.
# Usage: scripts/build.sh [release|debug|asan]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "${ZYP_JOBS:-2}"
