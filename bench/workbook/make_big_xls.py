#!/usr/bin/python3
"""Writes the benchmark workbook: ROWS rows by 20 columns (default 65536),
a channel list's mix of cells: names (many distinct strings), small and large
integers, fractions, polarisation letters."""
import sys

import xlwt

out = sys.argv[1]
rows = int(sys.argv[2]) if len(sys.argv) > 2 else 65536
wb = xlwt.Workbook(encoding="utf-8")
ws = wb.add_sheet("Sheet1")
for r in range(rows):
    ws.write(r, 0, ("*Sat %d" % r) if r % 500 == 0 else "Program %d" % r)
    ws.write(r, 1, r)
    ws.write(r, 2, r * 3 + 1)
    ws.write(r, 3, 10700 + r % 2000)
    ws.write(r, 4, 27500)
    ws.write(r, 5, r * 0.25)
    ws.write(r, 6, (r % 7) * 1.1)
    ws.write(r, 7, 11000 + r % 900)
    ws.write(r, 8, 22000 + r % 300)
    ws.write(r, 9, "V" if r % 2 else "H")
    ws.write(r, 10, 1234567890123 + r)
    ws.write(r, 11, -r)
    ws.write(r, 12, "note %d" % (r % 100))
    ws.write(r, 13, "L" if r % 3 else "R")
    ws.write(r, 14, r % 4)
    ws.write(r, 15, 0x100 + r % 0x1000)
    ws.write(r, 16, 0x200 + r % 0x1000)
    ws.write(r, 17, r / 3.0)
    ws.write(r, 18, "x")
    ws.write(r, 19, r % 2 == 0)
wb.save(out)
