#!/usr/bin/python3
"""Seed corpus for fuzz_xls: small workbooks written by python3-xlwt."""
import os
import sys

import xlwt

out = sys.argv[1]
os.makedirs(out, exist_ok=True)

wb = xlwt.Workbook(encoding="utf-8")
ws = wb.add_sheet("Sheet1")
ws.write(0, 0, "*Astra 19.2E")
ws.write(1, 0, "Das Erste")
ws.write(1, 1, 12.34)
ws.write(1, 2, 11836)
ws.write(1, 3, "V")
ws.write(1, 4, True)
ws.write(2, 0, "Ωmega")
ws.write(2, 1, xlwt.Formula("B2*2"))
wb.add_sheet("Other").write(0, 0, 1.5)
wb.save(os.path.join(out, "seed1.xls"))

wb = xlwt.Workbook()
ws = wb.add_sheet("Sheet1")
for r in range(60):
    ws.write(r, 0, "row %d %s" % (r, "x" * (r * 3)))
    ws.write(r, 1, r * 1000)
wb.save(os.path.join(out, "seed2.xls"))
