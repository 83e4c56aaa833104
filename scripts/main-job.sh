#!/usr/bin/env bash
# The main job: builds the release configuration, then shows the suite at work
# on a fresh temporary profile, so that nothing of the user's own settings,
# keys or running programs is read or changed. With `zyp` it starts the
# provider server, has a never-used software token initialised and logged in
# through the server's dialogs (answered by a user-interface script), derives a
# key from a pass sentence, lists it, encrypts and decrypts a buffer with it in
# the server, encrypts a small folder tree in place with it, shows a new file
# saved into that folder encrypted by the hook's request server, decrypts the
# tree and compares it with the original, and stops the server. The dialogs'
# transcript is shown at the end, or when a step fails.
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
  "$zyp" hook stop >/dev/null 2>&1 || true
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

# A small folder tree, encrypted in place with the demo key; a copy of the
# original bytes stays outside it for the comparison at the end.
tree="$profile/documents"
mkdir -p "$tree/letters" "$profile/original"
printf 'Dear reader,\nthe marsh is quiet today.\n' >"$tree/letters/first.txt"
head -c 300000 /dev/urandom >"$tree/photo.raw"
seq 1 20000 >"$tree/numbers.csv"
cp -a "$tree/." "$profile/original/"

step "zyp encrypt $tree --key demo   (the folder is marked, every file encrypted in place)"
"$zyp" encrypt "$tree" --key demo --label demo --quiet

step "zyp info   (the folder's mark and one of its files)"
"$zyp" info "$tree" "$tree/letters/first.txt"

step "zyp hook start, then another program saves a new file into the encrypted folder"
"$zyp" hook start
printf 'written after the folder was encrypted\n' >"$tree/letters/later.txt"
for _ in $(seq 1 100); do
  "$zyp" info "$tree/letters/later.txt" | grep -q "state: encrypted" && break
  sleep 0.2
done
"$zyp" info "$tree/letters/later.txt"
"$zyp" info "$tree/letters/later.txt" | grep -q "state: encrypted" ||
  { echo "the hook did not encrypt the new file" >&2; exit 1; }

step "zyp decrypt $tree   (the mark goes, every file is decrypted in place)"
"$zyp" decrypt "$tree" --quiet
"$zyp" hook stop

step "compare the decrypted tree with the original"
diff -r -x desktop.ini -x later.txt "$profile/original" "$tree"
cmp <(printf 'written after the folder was encrypted\n') "$tree/letters/later.txt"
echo "every file is back, byte for byte"

step "zyp server stop"
"$zyp" server stop

echo
show_transcript
