#!/usr/bin/env bash
# corvane-cli block / slave-info against the virtual STB program: one block
# replaced and only that block changed in the box's flash file; a block the box
# does not list fails and names the ones it does; slave-info --json; a file
# larger than the block goes out with --no-size-check.
set -u
CLI=$1
STBSIM=$2
WORK=$(mktemp -d "${TMPDIR:-/tmp}/cli_block.XXXXXX")
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

# A flash file of known bytes, and a new dbase block.
head -c 1048576 /dev/urandom > "$WORK/flash.bin"
cp "$WORK/flash.bin" "$WORK/flash.before"
head -c 3000 /dev/urandom > "$WORK/dbase.bin"

TTY="$WORK/stb.tty"
"$STBSIM" --platform 0 --flash "$WORK/flash.bin" --auto-reset 200 --link "$TTY" \
  --client-ready 20 --burn-ready 40 --burn-ms 200 </dev/null >"$WORK/stbsim.out" 2>&1 &
SIM_PID=$!
for _ in $(seq 1 100); do
  [ -e "$TTY" ] && ls "$XDG_RUNTIME_DIR"/corvane/stbsim-*.port >/dev/null 2>&1 && break
  sleep 0.1
done
[ -e "$TTY" ] || fail "the virtual STB did not start: $(cat "$WORK/stbsim.out")"
COMMON=(--port "$TTY" --project-type 0 --pause-scale 0.02 --reset-timeout 60)

"$CLI" slave-info "${COMMON[@]}" --json >"$WORK/list.json" 2>"$WORK/list.err"
rc=$?
[ $rc -eq 0 ] || fail "slave-info: exit $rc: $(tail -5 "$WORK/list.err")"
/usr/bin/python3 - "$WORK/list.json" <<'PY' || fail "slave-info --json: $(cat "$WORK/list.json")"
import json, sys
blocks = json.load(open(sys.argv[1]))
ids = [b["id"] for b in blocks]
assert "0x9C" in ids and "0x98" not in ids, ids
PY
# The dbase block's place, from the box's own list.
read -r OFF SIZE < <(/usr/bin/python3 -c '
import json, sys
b = [b for b in json.load(open(sys.argv[1])) if b["id"] == "0x9C"][0]
print(b["offset"], b["size"])' "$WORK/list.json")

"$CLI" block "${COMMON[@]}" --block dbase --report "$WORK/block.json" "$WORK/dbase.bin" >"$WORK/block.out" 2>&1
rc=$?
[ $rc -eq 0 ] || fail "block dbase: exit $rc: $(tail -5 "$WORK/block.out")"
/usr/bin/python3 - "$WORK/block.json" <<'PY' || fail "report: $(cat "$WORK/block.json")"
import json, sys
r = json.load(open(sys.argv[1]))
assert r["ok"] is True and r["error"] == "" and r["failed_step"] == "", r
assert r["transfer"]["payload_bytes"] == 3000 and "burn" in r["phases"], r
PY
# Only the dbase block changed: the file, then erased bytes to the block's end.
/usr/bin/python3 - "$WORK/flash.before" "$WORK/flash.bin" "$WORK/dbase.bin" "$OFF" "$SIZE" <<'PY' || fail "flash"
import sys
before, after, blk = (open(p, "rb").read() for p in sys.argv[1:4])
off, size = int(sys.argv[4]), int(sys.argv[5])
want = before[:off] + blk + b"\xff" * (size - len(blk)) + before[off + size:]
assert after == want, "the flash differs outside what the block upgrade wrote"
PY

# SSDATA is not on this box: a clear failure naming what it holds.
"$CLI" block "${COMMON[@]}" --block ssdata "$WORK/dbase.bin" >"$WORK/missing.out" 2>&1
rc=$?
[ $rc -eq 1 ] || fail "block ssdata: exit $rc, wanted 1: $(tail -5 "$WORK/missing.out")"
grep -q "FAILED at block lookup: the box does not hold block 0x98; it lists 0x80 bootloader, 0x88 application" \
  "$WORK/missing.out" || fail "no clear message: $(tail -5 "$WORK/missing.out")"
# A file larger than the block's size in the slave info: with --no-size-check
# it is sent anyway (this box then refuses to burn it).
head -c $((SIZE + 1)) /dev/urandom > "$WORK/big.bin"
"$CLI" block "${COMMON[@]}" --no-size-check --block dbase "$WORK/big.bin" >"$WORK/big.out" 2>&1
rc=$?
[ $rc -eq 1 ] || fail "block --no-size-check: exit $rc, wanted 1: $(tail -5 "$WORK/big.out")"
grep -q "FAILED at burn" "$WORK/big.out" || fail "the size check was not off: $(tail -5 "$WORK/big.out")"
echo PASS
