#!/usr/bin/env bash
# Every command of corvane-cli ends a failure with the status its --help
# documents: 2 usage, 4 bad input file, 5 port, 6 no box within the reset
# time-out; and every --help ends with the one table.
set -u
CLI=$1
STBSIM=$2
WORK=$(mktemp -d "${TMPDIR:-/tmp}/cli_exit.XXXXXX")
SIM_PID=""
cleanup() {
  [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
FAILS=0
export CORVANE_HOME="$WORK/home" XDG_RUNTIME_DIR="$WORK/run"
mkdir -p "$CORVANE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
"$STBSIM" --write-stb-files "$CORVANE_HOME" >/dev/null || { echo "FAIL: stbsim could not write its files"; exit 1; }

# expect STATUS ARGS...: runs corvane-cli ARGS with nothing on standard input.
expect() {
  local want=$1; shift
  "$CLI" "$@" </dev/null >"$WORK/out" 2>&1
  local rc=$?
  if [ "$rc" != "$want" ]; then
    echo "FAIL: corvane-cli $* ended with $rc, documented $want:"
    sed 's/^/    /' "$WORK/out" | head -5
    FAILS=$((FAILS + 1))
  fi
}

NOFILE="$WORK/missing.bin"
NOPORT="$WORK/no-such-port"
head -c 4096 /dev/urandom >"$WORK/img.bin"
printf 'x' >"$WORK/tiny.bin"

# 2: options the command cannot take.
for c in upgrade dump block slave-info bootrom download calibrate stampa fir remote ota tessel preset ports; do
  expect 2 $c --no-such-option
done
expect 2 upgrade --port "$NOPORT" --project-type 9 "$WORK/img.bin"

# 4: an input file that is missing or not what it should be.
expect 4 upgrade --port "$NOPORT" --project-type 0 "$NOFILE"
expect 4 download --port "$NOPORT" "$NOFILE"
expect 4 block --port "$NOPORT" --project-type 0 --block key "$NOFILE"
expect 4 fir show --platform base "$NOFILE"
expect 4 fir show --platform base "$WORK/tiny.bin"
expect 4 ota inspect "$NOFILE"
expect 4 tessel info "$NOFILE"
expect 4 tessel info "$WORK/tiny.bin"

# 5: a port that cannot be opened.
expect 5 upgrade --port "$NOPORT" --project-type 0 "$WORK/img.bin"
expect 5 dump --port "$NOPORT" --project-type 0 "$WORK/dump.bin"
if [ "$(grep -o "cannot open $NOPORT" "$WORK/out" | wc -l)" != 1 ]; then
  echo "FAIL: the missing port is not named once: $(cat "$WORK/out")"
  FAILS=$((FAILS + 1))
fi
expect 5 bootrom --port "$NOPORT" read 0
expect 5 block --port "$NOPORT" --project-type 0 --block key "$WORK/img.bin"
expect 5 slave-info --port "$NOPORT" --project-type 0
expect 5 download --port "$NOPORT" "$WORK/img.bin"

# 6: a box that is there but never resets.
TTY="$WORK/stb.tty"
"$STBSIM" --platform 0 --link "$TTY" </dev/null >"$WORK/sim.out" 2>&1 &
SIM_PID=$!
for _ in $(seq 300); do [ -e "$TTY" ] && break; sleep 0.1; done
[ -e "$TTY" ] || { echo "FAIL: the virtual STB did not start"; exit 1; }
expect 6 upgrade --port "$TTY" --project-type 0 --reset-timeout 1 "$WORK/img.bin"
expect 6 dump --port "$TTY" --project-type 0 --reset-timeout 1 "$WORK/dump.bin"
expect 6 bootrom --port "$TTY" --wait 1 read 0
[ ! -e "$WORK/dump.bin" ] || { echo "FAIL: a failed dump left a file"; FAILS=$((FAILS + 1)); }

# The table ends every command's --help, once.
for c in upgrade dump block slave-info bootrom download calibrate stampa fir remote ota "ota dvbs" tessel preset ports; do
  n=$("$CLI" $c --help 2>&1 | grep -c "^Exit status: 0 success, 1 failed, 2 usage error, 3 interrupted, 4 bad input file, 5 port error, 6 no box")
  [ "$n" = 1 ] || { echo "FAIL: corvane-cli $c --help shows the exit-status table $n times"; FAILS=$((FAILS + 1)); }
done

[ "$FAILS" = 0 ] || exit 1
echo PASS
