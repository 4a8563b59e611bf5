#!/bin/bash
# corvane-cli tessel old on a synthetic old-layout image.
set -u
CLI=$1
SAMPLE=$2
DIR=$(mktemp -d)
trap 'rm -rf "$DIR"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
export CORVANE_HOME=$DIR XDG_RUNTIME_DIR=$DIR

"$SAMPLE" "$DIR" || fail "sample"

"$CLI" tessel old "$DIR/old.bin" "$DIR/V1.2.3" > "$DIR/list.txt" || fail "list"
cat "$DIR/list.txt"
grep -q "settings .*id 0x30" "$DIR/list.txt" || fail "item row"
grep -q "volume .*= 40$" "$DIR/list.txt" || fail "volume value"
grep -q "mode .*= 5  \[0, 5, 10\]" "$DIR/list.txt" || fail "mode choices"
grep -q 'label .*= "BOX"' "$DIR/list.txt" || fail "label value"

"$CLI" tessel old "$DIR/old.bin" "$DIR/V1.2.3" --set settings.volume=77 2> "$DIR/err.txt" && fail "no output accepted"
grep -q "Please select output file!" "$DIR/err.txt" || fail "no output message"
"$CLI" tessel old "$DIR/old.bin" "$DIR/V1.2.3" --set settings.mode=7 -o "$DIR/x.bin" 2> "$DIR/err.txt" && fail "bad choice"
grep -q "out of range" "$DIR/err.txt" || fail "range message"
[ -e "$DIR/x.bin" ] && fail "file written after a failure"

"$CLI" tessel old "$DIR/old.bin" "$DIR/V1.2.3" --set settings.volume=77 --set settings.label=STB \
    --file logo="$DIR/logo.bin" --abs-key "$DIR/key.pub" -o "$DIR/new.bin" > "$DIR/out.txt" || fail "generate"
grep -q "Create new bin successfully!" "$DIR/out.txt" || fail "success message"
"$CLI" tessel old "$DIR/new.bin" "$DIR/V1.2.3" > "$DIR/list2.txt" || fail "list new"
grep -q "volume .*= 77$" "$DIR/list2.txt" || fail "volume written"
grep -q 'label .*= "STB"' "$DIR/list2.txt" || fail "label written"
"$CLI" tessel info "$DIR/new.bin" > "$DIR/info.txt" || fail "info"
grep -q "^10        96 " "$DIR/info.txt" || fail "logo size 150: $(cat "$DIR/info.txt")"
grep -q "settings  .*10B6$" "$DIR/info.txt" || fail "settings moved by 50"
grep -q "kernel .*10000$" "$DIR/info.txt" || fail "kernel stays aligned"

"$CLI" tessel old "$DIR/old.bin" "$DIR/V1.2.3" --abs-key "$DIR/key199.pub" -o "$DIR/k.bin" 2> "$DIR/err.txt" && fail "key 199"
grep -q "Wrong abs private key file!" "$DIR/err.txt" || fail "key message"
"$CLI" tessel old "$DIR/old.bin" "$DIR/missing" 2> "$DIR/err.txt" && fail "missing script"
grep -q "Please put the correct script file" "$DIR/err.txt" || fail "script message"
# Export: the configuration area, written whole or not at all.
"$CLI" tessel export "$DIR/old.bin" -o "$DIR/cfg.bin" > "$DIR/out.txt" || fail "export"
grep -q "Create a file successfully!" "$DIR/out.txt" || fail "export message"
cfg_off=$(od -An -tu4 -j28 -N4 "$DIR/old.bin" | tr -d ' ')
cfg_len=$(od -An -tu4 -j32 -N4 "$DIR/old.bin" | tr -d ' ')
cmp "$DIR/cfg.bin" <(tail -c +$((cfg_off + 1)) "$DIR/old.bin" | head -c "$cfg_len") || fail "exported bytes"
"$CLI" tessel export "$DIR/old.bin" -o "$DIR/nodir/cfg.bin" 2> "$DIR/err.txt"
[ $? -eq 1 ] || fail "export into a missing folder: status"
grep -q "Create a file failed!" "$DIR/err.txt" || fail "export failure message"
ls "$DIR"/*.part 2>/dev/null && fail "a partial file was left"
"$CLI" tessel info /dev/zero 2> "$DIR/err.txt"
[ $? -eq 4 ] || fail "a device as image: status"
echo OK
