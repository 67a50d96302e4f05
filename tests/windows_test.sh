#!/usr/bin/env bash
# varnock.exe and varnock-pace.exe under wine, publishing through the real LCM
# (the one linked into them), checked by the Linux varnock-check: a log
# (file://), multicast in a network namespace of its own, the run ended by a
# key from a pipe and by Ctrl+C, and their command lines.
#   tests/windows_test.sh EXE_DIR VARNOCK_CHECK
# As root, the whole test runs in a new network namespace (wine's server
# included, so that it has the namespace's network); otherwise the multicast
# test is skipped. Exits 0 when every check passed, 1 otherwise.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: tests/windows_test.sh EXE_DIR VARNOCK_CHECK" >&2
  exit 2
fi
exe_dir=$(realpath "$1")
checker=$(realpath "$2")
here=$(dirname "$(realpath "$0")")
version=$(sed -n 's/^project(varnock VERSION \([0-9.]*\).*/\1/p' "$here/../CMakeLists.txt")

if [ "$(id -u)" -eq 0 ] && [ -z "${VARNOCK_WINE_NETNS:-}" ]; then
  exec env VARNOCK_WINE_NETNS=1 unshare -n "$0" "$@"
fi
multicast=0
if [ -n "${VARNOCK_WINE_NETNS:-}" ]; then
  ip link set lo up
  ip link set lo multicast on
  ip route add 224.0.0.0/4 dev lo
  multicast=1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/varnock-wine-XXXXXX")
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
wineboot -i >/dev/null 2>&1 # a fresh prefix: about 10 s, once

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

# ExitProcess(0xC000013A), as a console program Ctrl+C ends: wine hands
# Linux the low byte of the Windows exit code.
readonly ctrl_c_status=$((0xC000013A & 0xFF))

# Waits (up to $3 s) until file $1 has $2 lines or more.
wait_lines() {
  local deadline=$((SECONDS + $3))
  while [ "$(tr -cd '\n' <"$1" 2>/dev/null | wc -c)" -lt "$2" ]; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.2
  done
}

# Waits (up to $2 s) for process $1, a child of this shell, and sets
# exit_status to its exit status, or to "running" (and kills it).
wait_exit() {
  local deadline=$((SECONDS + $2))
  while kill -0 "$1" 2>/dev/null; do
    if [ $SECONDS -ge $deadline ]; then
      exit_status=running
      kill -KILL "$1" 2>/dev/null || true
      wait "$1" 2>/dev/null || true
      return
    fi
    sleep 0.2
  done
  exit_status=0
  wait "$1" || exit_status=$?
}

# Checks a varnock run recorded in LCM log $1 against its standard output $2
# and varnock-check's JSON account $3 of the log: every message whole, one
# run whose periods go from 60 up with no gap, a status record for every
# frame (the last cycle was completed), and the rate lines exactly those the
# logged cycles give. Prints what is wrong, nothing when all is right.
check_run() {
  python3 - "$@" <<'EOF'
import json, struct, sys
log, out, account = sys.argv[1:4]
problems = []
lines = [json.loads(l) for l in open(account) if l.strip()]
summary = [l for l in lines if l.get("type") == "summary"]
if len(summary) != 1:
    sys.exit("varnock-check wrote no summary")
s = summary[0]
# The cycles: each RECSTAT's timestamp, in the order logged.
seconds, channels = [], []
with open(log, "rb") as f:
    data = f.read()
at = 0
while at < len(data):
    sync, _, _, clen, dlen = struct.unpack_from(">IqqII", data, at)
    if sync != 0xEDA1DA01:
        sys.exit("the log is damaged at byte %d" % at)
    channel = data[at + 28:at + 28 + clen].decode()
    payload = data[at + 28 + clen:at + 28 + clen + dlen]
    channels.append(channel)
    if channel == "RECSTAT":
        seconds.append(struct.unpack_from(">q", payload, 8)[0])
    at += 28 + clen + dlen
cycles = len(seconds)
if channels != ["RECSTAT", "TFIMAGE"] * cycles:
    problems.append("the log is not whole cycles of RECSTAT then TFIMAGE")
for key, want in [("corrupt", 0), ("lost", 0), ("duplicates", 0), ("runs", 1),
                  ("status_records", cycles), ("frames", cycles),
                  ("run_periods", [[60, 60 + cycles - 1]])]:
    if s.get(key) != want:
        problems.append("varnock-check: %s is %s, not %s" % (key, s.get(key), want))
# As varnock prints them: a line at the first cycle of each new second,
# counting the cycles since the last one. A run that starts on the edge of
# a second may report 0 cycles in its first line.
expected, start = [], 0
for i in range(1, cycles):
    if seconds[i] != seconds[i - 1]:
        expected.append("%d frame rate: %d" % (seconds[i], i - start))
        start = i
text = open(out, newline="").read()
if not text.startswith("varnock\r\n"):
    problems.append("no banner, or not a Windows line: %r" % text[:20])
got = text.split("\r\n")[1:]
if got and got[-1] == "":
    got.pop()
if "\n" in text.replace("\r\n", ""):
    problems.append("a line ends without \\r\\n")
if got != expected and got != ["%d frame rate: 0" % seconds[0]] + expected:
    problems.append("rate lines %s differ from the logged cycles' %s" % (got, expected))
if cycles < 2 or len(expected) < 1:
    problems.append("only %d cycles logged" % cycles)
print("\n".join(problems))
EOF
}

# --- Command lines: answered without opening the bus.
args_log=$work/args.log
while IFS='|' read -r program args status stream text; do
  what="$program $args"
  : >out
  : >err
  got=0
  # shellcheck disable=SC2086 # the arguments, as the table splits them
  LCM_DEFAULT_URL="file://$args_log?mode=w" wine "$exe_dir/$program" $args </dev/null \
    >out 2>err || got=$?
  [ "$got" -eq "$status" ] || fail "$what: exit status $got, not $status"
  grep -qF -- "$text" "$stream" || fail "$what: no '$text' in $stream: $(cat "$stream")"
  if [ "$status" -eq 2 ] && [ -s out ]; then fail "$what: wrote to standard output"; fi
  if [ -e "$args_log" ]; then fail "$what: opened the bus"; fi
  pass "$what"
done <<EOF
varnock.exe|--help|0|out|LCM_DEFAULT_URL
varnock.exe|-h|0|out|Exit status
varnock.exe|--version|0|out|varnock $version
varnock.exe|--rate|2|err|unknown argument '--rate'
varnock.exe|--help --version|0|out|Usage: varnock
varnock-pace.exe|--version|0|out|varnock-pace $version
varnock-pace.exe|--help|0|out|--rate
varnock-pace.exe|--rate=fast|2|err|--rate needs cycles a second
EOF

# --- A file:// run, ended by a key from a pipe: exit status 0.
log=$work/run.log
fifo=$work/keys
mkfifo "$fifo"
exec {keys}<>"$fifo" # the writer stays open: the key is all there is
LCM_DEFAULT_URL="file://$log?mode=w" wine "$exe_dir/varnock.exe" <"$fifo" >out 2>err &
pid=$!
if ! wait_lines out 4 60; then
  fail "key from a pipe: fewer than 3 rate lines in 60 s: $(cat out err)"
fi
printf k >&"$keys"
wait_exit $pid 30
status=$exit_status
exec {keys}>&-
[ "$status" = 0 ] || fail "key from a pipe: exit status $status, not 0"
"$checker" --url "file://$log" --json >account 2>/dev/null || true
problems=$(check_run "$log" out account)
[ -z "$problems" ] || fail "key from a pipe: $problems"
[ "$status" != 0 ] || [ -n "$problems" ] || pass "file:// run ended by a key from a pipe: exit 0, $(grep -c frame out) rate lines, every message whole"
rm -f "$log"

# --- Ctrl+C (SIGINT, which wine makes a CTRL_C_EVENT), with no key to end
# the run: it ends after a whole cycle with 0xC000013A. cmd shows the whole
# code; the process that gets the signal is varnock.exe itself.
wine_pid() { # of the program $1 run by this test's wine
  local p
  for p in $(pgrep -f "$1\$"); do
    if tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
      echo "$p"
      return
    fi
  done
}
LCM_DEFAULT_URL="file://$log?mode=w" wine cmd /c \
  "Z:${exe_dir//\//\\}\\varnock.exe <NUL & echo status=%errorlevel%" </dev/null >out 2>err &
cmd=$!
if wait_lines out 3 60; then
  kill -INT "$(wine_pid varnock.exe)"
else
  fail "Ctrl+C: fewer than 2 rate lines in 60 s: $(cat out err)"
fi
wait_exit $cmd 30
[ "$exit_status" != running ] || fail "Ctrl+C: cmd did not end"
grep -qF "status=$((0xC000013A - (1 << 32)))" out ||
  fail "Ctrl+C: not 0xC000013A ($((0xC000013A - (1 << 32)))): $(tail -1 out)"
sed -i '/^status=/d' out
"$checker" --url "file://$log" --json >account 2>/dev/null || true
problems=$(check_run "$log" out account)
[ -z "$problems" ] || fail "Ctrl+C: $problems"
[ -n "$problems" ] || pass "Ctrl+C: ended after a whole cycle, exit code 0xC000013A"
rm -f "$log"

# The same seen from Linux, for varnock-pace, which holds it the same way.
wine "$exe_dir/varnock-pace.exe" --url "file://$log?mode=w" --rate 100 --json </dev/null \
  >out 2>err &
pid=$!
if wait_lines out 3 60; then kill -INT $pid; else fail "varnock-pace: no second's line"; fi
wait_exit $pid 30
status=$exit_status
[ "$status" = "$ctrl_c_status" ] || fail "varnock-pace, Ctrl+C: exit status $status, not $ctrl_c_status"
"$checker" --url "file://$log" --json >account 2>/dev/null || true
result=$(python3 - out account <<'EOF'
import json, sys
pace = [json.loads(l) for l in open(sys.argv[1]) if l.strip()]
check = [json.loads(l) for l in open(sys.argv[2]) if l.strip()]
cycles = [l["cycles"] for l in pace if l["type"] == "summary"]
s = [l for l in check if l["type"] == "summary"][0]
want = {"corrupt": 0, "lost": 0, "runs": 1, "status_records": cycles[0], "frames": cycles[0],
        "run_periods": [[60, 59 + cycles[0]]]}
print("; ".join("%s is %s, not %s" % (k, s.get(k), v) for k, v in want.items() if s.get(k) != v))
EOF
)
[ -z "$result" ] || fail "varnock-pace: $result"
[ -n "$result" ] || [ "$status" != "$ctrl_c_status" ] || pass "varnock-pace: paced run, every cycle logged whole, Ctrl+C after a whole cycle"
rm -f "$log"

# --- Multicast: varnock.exe on the default udpm bus, received by the Linux
# varnock-check in the same namespace.
if [ $multicast -eq 1 ]; then
  url='udpm://239.255.76.67:7667?ttl=0'
  "$checker" --url "$url&recv_buf_size=4194304" --seconds 6 --json >account 2>check_err &
  check=$!
  wait_lines account 1 30 || fail "multicast: varnock-check did not start: $(cat check_err)"
  exec {keys}<>"$fifo"
  LCM_DEFAULT_URL=$url wine "$exe_dir/varnock.exe" <"$fifo" >out 2>err &
  pid=$!
  wait_exit $check 60
  [ "$exit_status" = 0 ] || fail "multicast: varnock-check's exit status $exit_status: $(cat check_err)"
  printf k >&"$keys"
  wait_exit $pid 30
  status=$exit_status
  exec {keys}>&-
  [ "$status" = 0 ] || fail "multicast: varnock.exe's exit status $status, not 0: $(cat err)"
  result=$(python3 - account <<'EOF'
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1]) if l.strip()]
start = [l for l in lines if l["type"] == "start"][0]
s = [l for l in lines if l["type"] == "summary"][0]
problems = []
if s["frames"] < 50 or s["status_records"] < 50:
    problems.append("only %d frames and %d status records" % (s["frames"], s["status_records"]))
want = {"corrupt": 0, "runs": 1, "lost_other": 0}
# With a buffer that holds a frame, the kernel drops nothing here either.
if (start["receive_buffer_bytes"] or 0) >= 3276880:
    want["lost"] = 0
problems += ["%s is %s, not %s" % (k, s.get(k), v) for k, v in want.items() if s.get(k) != v]
if s["run_periods"][:1] != [[60, 60 + s["frames"] + s["lost"] - 1]]:
    problems.append("periods %s do not start at 60" % s["run_periods"])
print("; ".join(problems) or "ok %d frames" % s["frames"])
EOF
  )
  case $result in
    ok*) pass "multicast in a namespace: ${result#ok } received whole by varnock-check" ;;
    *) fail "multicast: $result" ;;
  esac
else
  echo "skipped: multicast (needs root for a network namespace)"
fi

if [ $failures -ne 0 ]; then
  echo "windows_test: $failures failed" >&2
  exit 1
fi
echo "windows_test: all passed"
