#!/usr/bin/env bash
# The main job: builds the release configuration and shows the suite's
# effective configuration on a fresh built-in default profile, so that nothing
# of the user's own settings is read or changed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh release
profile=$(mktemp -d "${TMPDIR:-/tmp}/zyp-demo-XXXXXX")
trap 'rm -rf "$profile"' EXIT
mkdir -m 700 "$profile/runtime"
export ZYP_RUNTIME_DIR="$profile/runtime" ZYP_USER_DIR="$profile/user" ZYP_MACHINE_DIR="$profile/machine"
build/release/bin/zypconfig --init-defaults
build/release/bin/zypconfig
