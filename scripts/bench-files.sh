#!/usr/bin/env bash
# In-place encryption and decryption of one large file with `zyp encrypt` and
# `zyp decrypt` (DES 40 bits, default settings) against the shell pipeline
# that gives the same result with the same guarantees, in the same run:
#   openssl enc -des-cbc FILE > TEMP; dd if=TEMP of=FILE conv=notrunc,fsync;
#   (decryption: truncate FILE to the plain length); shred -n 3 -u TEMP
# Both rewrite the file in place (same inode), force it to the disk and erase
# the temporary copy with three passes; zyp also digests the image for its
# check value, journals the rewrite so that a crash cannot lose the file, and
# keeps its encryption in the provider server. Prints the median of each, the
# ratios (target: at most 1.0) and where zyp's time goes.
#
# The rounds run twice: on an otherwise quiet machine and with a busy
# neighbour process on one core (a desktop is never idle).
#
#   scripts/bench-files.sh [MiB] [ROUNDS]      (default 256 MiB, 3 rounds; build
#   the release configuration first; files go below $TMPDIR or /tmp)
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-256}
rounds=${2:-3}
zyp=$PWD/build/release/bin/zyp
zypconfig=$PWD/build/release/bin/zypconfig
[[ -x $zyp ]] || { echo "build the release configuration first: scripts/build.sh release" >&2; exit 2; }

profile=$(mktemp -d "${TMPDIR:-/tmp}/zyp-bench-XXXXXX")
mkdir -m 700 "$profile/runtime"
export ZYP_RUNTIME_DIR="$profile/runtime" ZYP_USER_DIR="$profile/user" ZYP_MACHINE_DIR="$profile/machine"
export ZYP_UI="script:$profile/answers"
neighbour=
finish() {
  [[ -n $neighbour ]] && kill "$neighbour" 2>/dev/null
  "$zyp" server stop >/dev/null 2>&1 || true
  rm -rf "$profile"
}
trap finish EXIT

printf 'msgbox 6\ndialog 139 set 1001 "2468"\ndialog 139 set 1002 "2468"\ndialog 139 click 1\n' >"$profile/answers"
"$zypconfig" --init-defaults >/dev/null
"$zyp" server start >/dev/null
"$zyp" token login >/dev/null
printf 'bench sentence\nbench sentence\n' | "$zyp" keys new bench --algorithm "DES 40 bits" --from-sentence >/dev/null

des_key=$(head -c 8 /dev/urandom | od -An -tx1 | tr -d ' \n')
des_iv=0000000000000000
openssl_des=(openssl enc -des-cbc -provider legacy -provider default -K "$des_key" -iv "$des_iv")
file="$profile/data"
head -c "$((mib << 20))" /dev/urandom >"$file"
plain_size=$(stat -c %s "$file")
sync

calc() { awk "BEGIN { print $1 }"; }
seconds() { local start=$EPOCHREALTIME; "$@" >/dev/null; calc "$EPOCHREALTIME - $start"; }

pipeline_encrypt() {
  "${openssl_des[@]}" -in "$file" -out "$profile/temp"
  dd if="$profile/temp" of="$file" bs=1M conv=notrunc,fsync status=none
  shred -n 3 -u "$profile/temp"
}
pipeline_decrypt() {
  "${openssl_des[@]}" -d -in "$file" -out "$profile/temp"
  dd if="$profile/temp" of="$file" bs=1M conv=notrunc,fsync status=none
  truncate -s "$plain_size" "$file"
  shred -n 3 -u "$profile/temp"
}
zyp_encrypt() { ZYP_FILE_TIMINGS=1 "$zyp" encrypt "$file" --key bench --quiet 2>>"$profile/timings"; }
zyp_decrypt() { ZYP_FILE_TIMINGS=1 "$zyp" decrypt "$file" --quiet 2>>"$profile/timings"; }

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

run_rounds() {
  local label=$1 ze=() zd=() pe=() pd=()
  : >"$profile/timings"
  for ((round = 0; round < rounds; ++round)); do
    ze+=("$(seconds zyp_encrypt)")
    zd+=("$(seconds zyp_decrypt)")
    pe+=("$(seconds pipeline_encrypt)")
    pd+=("$(seconds pipeline_decrypt)")
  done
  local zem zdm pem pdm
  zem=$(printf '%s\n' "${ze[@]}" | median)
  zdm=$(printf '%s\n' "${zd[@]}" | median)
  pem=$(printf '%s\n' "${pe[@]}" | median)
  pdm=$(printf '%s\n' "${pd[@]}" | median)
  printf '\n%s (%s MiB, median of %s rounds, load average %s)\n' "$label" "$mib" "$rounds" \
    "$(cut -d' ' -f1-3 /proc/loadavg)"
  printf '  zyp encrypt %6.2f s   pipeline %6.2f s   ratio %.2f (target <= 1.0)\n' "$zem" "$pem" \
    "$(calc "$zem / $pem")"
  printf '  zyp decrypt %6.2f s   pipeline %6.2f s   ratio %.2f (target <= 1.0)\n' "$zdm" "$pdm" \
    "$(calc "$zdm / $pdm")"
  echo "  where zyp's time goes (each run):"
  sed 's/^/    /' "$profile/timings"
}

run_rounds "quiet machine"
sh -c 'while :; do :; done' &
neighbour=$!
run_rounds "with a busy neighbour on one core"
