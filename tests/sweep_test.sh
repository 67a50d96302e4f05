#!/usr/bin/env bash
# A short sweep in a network namespace of its own, with varnock-check
# stopped for 100 ms a second and a receive buffer of 416 KB (212992 bytes
# asked, doubled by the kernel): at 10 frames of 76840 bytes a second a stall
# holds one frame and nothing is lost; at 200 it holds twenty, the buffer
# overflows and frames are lost to it. The table must show that knee and its
# cause, and the plot must be made. A second sweep into the same folder is
# refused, and SIGTERM ends a sweep with the programs it started, each
# having written its summary. Needs root (skipped otherwise).
#   tests/sweep_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1
build=$2
if [ "$(id -u)" -ne 0 ]; then
  echo "sweep_test: skipped: a network namespace needs root"
  exit 77
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() {
  echo "FAIL: $*" >&2
  [ ! -r "$tmp/sweep.log" ] || cat "$tmp/sweep.log" >&2
  exit 1
}

# shellcheck disable=SC2016 # expanded by the shell in the namespace
unshare -n bash -c '
  set -e
  ip link set lo up
  ip link set lo multicast on
  ip route add 224.0.0.0/4 dev lo
  "$0/scripts/sweep" --bin "$1" --width 320 --height 240 --rates "10 200" --seconds 2 \
    --pace-url "udpm://239.255.76.67:7667?ttl=0" \
    --check-url "udpm://239.255.76.67:7667?ttl=0&recv_buf_size=212992" --stall 100 --out "$2"
' "$source_dir" "$build" "$tmp/out" >"$tmp/sweep.log" 2>&1 || fail "scripts/sweep failed"

summary() { jq -c 'select(.type == "summary")' "$tmp/out/$1.json"; }
field() { summary "$1.check" | jq -r ".$2"; }
[ "$(summary 01-10.pace | jq -r .cycles)" = 20 ] || fail "varnock-pace's summary at 10 Hz: $(summary 01-10.pace)"
[ "$(field 01-10 frames)" = 20 ] || fail "at 10 Hz, $(field 01-10 frames) frames of 20 arrived"
[ "$(field 01-10 lost)" = 0 ] || fail "at 10 Hz, $(field 01-10 lost) frames were lost"
[ "$(field 02-200 corrupt)" = 0 ] || fail "at 200 Hz, corrupt messages"
[ "$(field 02-200 lost)" -gt 0 ] || fail "at 200 Hz, nothing was lost"
[ "$(field 02-200 lost_receive_buffer)" -gt 0 ] || fail "at 200 Hz, no loss put down to the buffer"

table=$tmp/out/sweep.txt
grep -Eq '^\| 10 \| 10\.0 \| 20 \| 20 \| 0 \| 0\.00 \| 0 \| 0 \| 0 \| 0 \|.*\| highest rate without loss \|$' "$table" ||
  fail "the table does not mark 10 as the highest rate without loss:
$(cat "$table")"
grep -q '^highest rate without loss: 10 (achieved 10.0 a second)$' "$table" || fail "no verdict line"
grep -Eq '^loss begins at 200: [0-9]+ of [0-9]+ frames lost \([0-9.]+%\), [1-9][0-9]* to the receive buffer' "$table" ||
  fail "no line on where loss begins:
$(cat "$table")"
[ "$(head -c 8 "$tmp/out/sweep.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] ||
  fail "sweep.png is not a PNG"

# Joining again gives the same table.
"$source_dir/scripts/sweep" --join "$tmp/out" --no-plot >"$tmp/joined.txt" || fail "--join failed"
diff -q "$table" "$tmp/joined.txt" >/dev/null || fail "--join made another table"

# A second sweep into the same folder would mix its runs with the first's.
status=0
"$source_dir/scripts/sweep" --bin "$build" --rates 10 --seconds 1 --no-plot --out "$tmp/out" \
  >"$tmp/again.log" 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "a sweep into a non-empty --out exited $status"
grep -q "^sweep: --out $tmp/out is not empty" "$tmp/again.log" ||
  fail "no message on the non-empty --out: $(cat "$tmp/again.log")"

# SIGTERM while a rate runs: both programs end and write their summaries,
# and the sweep dies of the signal.
# shellcheck disable=SC2016 # expanded by the shell in the namespace
unshare -n bash -c '
  ip link set lo up
  ip link set lo multicast on
  ip route add 224.0.0.0/4 dev lo
  "$0/scripts/sweep" --bin "$1" --width 64 --height 48 --rates 20 --seconds 600 --no-plot \
    --pace-url "udpm://239.255.76.67:7667?ttl=0" --out "$2" >"$2.log" 2>&1 &
  sweep=$!
  for _ in $(seq 200); do
    [ -s "$2/01-20.pace.json" ] && break
    sleep 0.05
  done
  kill -TERM "$sweep"
  wait "$sweep"
' "$source_dir" "$build" "$tmp/stopped" && status=0 || status=$?
[ "$status" -eq 143 ] || fail "a sweep sent SIGTERM exited $status: $(cat "$tmp/stopped.log")"
for program in pace check; do
  [ -n "$(jq -c 'select(.type == "summary")' "$tmp/stopped/01-20.$program.json")" ] ||
    fail "varnock-$program wrote no summary when the sweep was stopped"
done
echo "sweep_test: the knee found between 10 and 200 Hz"
