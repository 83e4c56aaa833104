#!/usr/bin/env bash
# Takes pictures of the suite's dialogs (PIN, token initialisation, PIN change,
# token insertion, the initialisation question, the about box, the progress
# window) as the qt backend shows them on a virtual X display, in English and
# in French, for a person to look at. Needs a release build and the packages
# of scripts/setup.sh.
# Usage: scripts/screenshots.sh OUTDIR   (the PNG files go to OUTDIR/ENU and OUTDIR/FRA)
set -euo pipefail
cd "$(dirname "$0")/.."
[[ $# -eq 1 ]] || { echo "usage: scripts/screenshots.sh OUTDIR" >&2; exit 2; }
out=$(mkdir -p "$1" && cd "$1" && pwd)
preview=$PWD/build/release/bin/zypuipreview
[[ -x $preview ]] || scripts/build.sh release >/dev/null
command -v xvfb-run >/dev/null || { echo "screenshots: xvfb-run is missing (scripts/setup.sh installs it)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# What the person does in each window; each is saved before the first action.
cat >"$work/actions" <<'ACTIONS'
dialog 129 set 1000 "1234"
dialog 129 click 2
dialog 139 set 1001 "1234"
dialog 139 click 2
dialog 105 click 2
dialog 138 click 2
msgbox 7
dialog 101 click 1
dialog 102 click 2
ACTIONS

# Both languages on one virtual display.
cat >"$work/run" <<'RUN'
set -eu
for language in ENU FRA; do
  rm -rf "${OUT:?}/$language"
  mkdir -p "$OUT/$language"
  ZYP_UI_QT_SNAPSHOTS="$OUT/$language" ZYP_UI_TRANSCRIPT="$OUT/$language/transcript.txt" "$PREVIEW" "$language"
done
RUN
# The display number starts from one of this run's own: other runs may share the machine.
OUT=$out PREVIEW=$preview ZYP_UI=qt QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work" ZYP_UI_QT_DRIVE="$work/actions" \
  timeout 120 xvfb-run -a -n $((200 + $$ % 500)) -s "-screen 0 1280x1024x24" bash "$work/run"
echo "screenshots: $out/ENU and $out/FRA"
ls "$out/ENU" "$out/FRA"
