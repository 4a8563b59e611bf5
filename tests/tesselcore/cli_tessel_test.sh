#!/bin/bash
# corvane-cli tessel on a synthetic image and a workbook edited by openpyxl.
set -u
CLI=$1
SAMPLE=$2
DIR=$(mktemp -d)
trap 'rm -rf "$DIR"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$SAMPLE" "$DIR" || fail "sample"
export CORVANE_HOME=$DIR

"$CLI" tessel info "$DIR/sample.bin" > "$DIR/info.txt" || fail "info"
grep -q "Block Number:     4" "$DIR/info.txt" || fail "block count"
grep -q "Software Version: V1.2.3 sample" "$DIR/info.txt" || fail "version"
grep -q "^30        10  .*sys" "$DIR/info.txt" || fail "block row"
"$CLI" tessel info "$DIR/odd.bin" 2> "$DIR/err.txt" && fail "odd length accepted"
grep -q "Wrong binary file!" "$DIR/err.txt" || fail "odd length message"

"$CLI" tessel workbook "$DIR/sample.bin" -o "$DIR/preset.xlsx" || fail "workbook"
# A settings file that is not there is named with the failure.
"$CLI" tessel workbook "$DIR/sample.bin" --ini "$DIR/none.ini" -o "$DIR/x.xlsx" 2> "$DIR/err.txt"
[ $? = 1 ] || fail "missing settings file: status"
grep -qF "settings file: $DIR/none.ini (--ini names another)" "$DIR/err.txt" || fail "missing settings file hint"
/usr/bin/python3 - "$DIR/preset.xlsx" <<'PY' || fail "edit"
import sys, openpyxl
wb = openpyxl.load_workbook(sys.argv[1])
ws = wb["Sys_Config"]
for row in ws.iter_rows():
    if row[0].value == "volume": ws.cell(row=row[0].row, column=2).value = 77
    if row[0].value == "label": ws.cell(row=row[0].row, column=2).value = "STB"
wb.save(sys.argv[1])
PY
"$CLI" tessel build "$DIR/sample.bin" "$DIR/preset.xlsx" -o "$DIR/new.bin" || fail "build"
cmp -l "$DIR/sample.bin" "$DIR/new.bin" > "$DIR/diff.txt"
# sys data at 0x22000: volume 40 -> 77, label "BOX" -> "STB"; its CRC in the entry.
grep -q "^139265  50 115$" "$DIR/diff.txt" || fail "volume byte"
grep -q "^139267 102 123$" "$DIR/diff.txt" || fail "label byte"
[ "$(wc -l < "$DIR/diff.txt")" -le 8 ] || fail "more bytes changed than expected: $(cat "$DIR/diff.txt")"

"$CLI" tessel block save "$DIR/new.bin" --name sys --id 0x30 -o "$DIR/sys.bin" || fail "block save"
[ "$(head -c 1 "$DIR/sys.bin" | od -An -tu1 | tr -d ' ')" = 77 ] || fail "saved block"
printf 'ABCDEFGHIJKLMNOPQRSTUVWXYZ' > "$DIR/sys2.bin"
"$CLI" tessel block load "$DIR/new.bin" --name sys --id 0x30 --file "$DIR/sys2.bin" -o "$DIR/new2.bin" || fail "block load"
"$CLI" tessel info "$DIR/new2.bin" | grep -q "^30        1A" || fail "loaded block size"
"$CLI" tessel block save "$DIR/new.bin" --name sys --id 0x31 -o "$DIR/x.bin" 2>/dev/null && fail "missing block saved"

# Range error: non-zero exit, no image written.
/usr/bin/python3 - "$DIR/preset.xlsx" <<'PY' || fail "edit 2"
import sys, openpyxl
wb = openpyxl.load_workbook(sys.argv[1])
ws = wb["Sys_Config"]
for row in ws.iter_rows():
    if row[0].value == "volume": ws.cell(row=row[0].row, column=2).value = 101
wb.save(sys.argv[1])
PY
"$CLI" tessel build "$DIR/sample.bin" "$DIR/preset.xlsx" -o "$DIR/bad.bin" 2> "$DIR/err.txt" && fail "range error accepted"
grep -q "out of range" "$DIR/err.txt" || fail "range message"
[ ! -e "$DIR/bad.bin" ] || fail "image written after a failure"
echo "all passed"
