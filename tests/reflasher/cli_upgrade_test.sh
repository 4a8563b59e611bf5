#!/usr/bin/env bash
# corvane-cli against the virtual STB program: shortened pauses are refused on
# a port that is not a running virtual STB's and taken on one; any reset
# time-out is taken; a dump replaces its file only when complete.
set -u
CLI=$1
STBSIM=$2
WORK=$(mktemp -d "${TMPDIR:-/tmp}/cli_upgrade.XXXXXX")
SIM_PID=""
cleanup() {
  [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

export CORVANE_HOME="$WORK/home"
export XDG_RUNTIME_DIR="$WORK/run"
mkdir -p "$CORVANE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
"$STBSIM" --write-stb-files "$CORVANE_HOME" >/dev/null || fail "stbsim could not write its files"

# Not a virtual STB's port: refused before anything is opened.
out=$("$CLI" dump --port /dev/null --project-type 0 --pause-scale 0.1 "$WORK/x.bin" 2>&1)
rc=$?
[ $rc -eq 2 ] || fail "--pause-scale on /dev/null: exit $rc, wanted 2 ($out)"
echo "$out" | grep -q "virtual STB only" || fail "no message for the refused --pause-scale: $out"
[ ! -e "$WORK/x.bin" ] || fail "a file was written"

TTY="$WORK/stb.tty"
"$STBSIM" --platform 0 --flash-size 512K --auto-reset 200 --link "$TTY" \
  --client-ready 20 --burn-ready 20 </dev/null >"$WORK/stbsim.out" 2>&1 &
SIM_PID=$!
for _ in $(seq 1 100); do
  [ -e "$TTY" ] && ls "$XDG_RUNTIME_DIR"/corvane/stbsim-*.port >/dev/null 2>&1 && break
  sleep 0.1
done
[ -e "$TTY" ] || fail "the virtual STB did not start: $(cat "$WORK/stbsim.out")"

# An older dump stays until a complete one replaces it.
printf 'an older dump' > "$WORK/dump.bin"
"$CLI" dump --port "$TTY" --project-type 0 --size 512K --pause-scale 0.1 --reset-timeout 99999999999 \
  --report "$WORK/dump.json" "$WORK/dump.bin" >"$WORK/dump.out" 2>&1
rc=$?
[ $rc -eq 0 ] || fail "dump on the virtual STB: exit $rc: $(tail -5 "$WORK/dump.out")"
[ "$(stat -c %s "$WORK/dump.bin")" = 524288 ] || fail "the dump is not 512 KiB"
grep -q '"ok": true' "$WORK/dump.json" || fail "report: $(cat "$WORK/dump.json")"
echo PASS
