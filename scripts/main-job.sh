#!/usr/bin/env bash
# The main job: builds the release configuration, then shows the suite at work
# on a fresh temporary profile, so that nothing of the user's own settings,
# keys or running programs is read or changed. With `zyp` it starts the
# provider server, has a never-used software token initialised and logged in
# through the server's dialogs (answered by a user-interface script), derives a
# key from a pass sentence, lists it, encrypts and decrypts a buffer with it in
# the server, and stops the server. The dialogs' transcript is shown at the end,
# or when a step fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh release
zyp=$PWD/build/release/bin/zyp
zypconfig=$PWD/build/release/bin/zypconfig

profile=$(mktemp -d "${TMPDIR:-/tmp}/zyp-demo-XXXXXX")
mkdir -m 700 "$profile/runtime"
export ZYP_RUNTIME_DIR="$profile/runtime" ZYP_USER_DIR="$profile/user" ZYP_MACHINE_DIR="$profile/machine"
export ZYP_UI="script:$profile/answers" ZYP_UI_TRANSCRIPT="$profile/transcript"

show_transcript() {
  echo "== what the server's dialogs showed ($ZYP_UI_TRANSCRIPT):"
  cat "$ZYP_UI_TRANSCRIPT" 2>/dev/null || echo "(nothing was shown)"
}

finish() {
  local status=$?
  "$zyp" server stop >/dev/null 2>&1 || true
  if ((status != 0)); then
    echo "== the main job failed (exit status $status)"
    show_transcript
    echo "== the server's messages:"
    cat "$ZYP_RUNTIME_DIR/zypserver.log" 2>/dev/null || echo "(none)"
  fi
  rm -rf "$profile"
  exit "$status"
}
trap finish EXIT

step() { printf '\n== %s\n' "$*"; }

pin=2468
sentence="a quill in the marsh writes twice"
algorithm="DES 40 bits"

# The token has never been set up: the server asks whether to initialise it
# (Yes), then for the new PIN and its confirmation; it then logs in itself.
cat >"$profile/answers" <<EOF
msgbox 6
dialog 139 set 1001 "$pin"
dialog 139 set 1002 "$pin"
dialog 139 click 1
EOF

step "a fresh default profile in $profile"
"$zypconfig" --init-defaults

step "zyp server start"
"$zyp" server start

step "zyp token login   (the server asks; the script answers)"
"$zyp" token login
"$zyp" token status

step "zyp keys new demo --algorithm \"$algorithm\" --from-sentence   (the sentence twice on stdin)"
key=$(printf '%s\n%s\n' "$sentence" "$sentence" | "$zyp" keys new demo --algorithm "$algorithm" --from-sentence)
echo "new key: $key"

step "zyp keys list"
"$zyp" keys list

step "zyp keys test $key   (encrypt and decrypt a buffer in the server)"
"$zyp" keys test "$key"

step "zyp server stop"
"$zyp" server stop

echo
show_transcript
