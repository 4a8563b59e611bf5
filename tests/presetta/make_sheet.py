#!/usr/bin/python3
"""Writes a channel-list workbook for the presetta tests.

usage: make_sheet.py OUT.xls|OUT.xlsx SHEETNAME ROWS.txt
ROWS.txt holds a python literal: a list of rows, each a list of cells
(None for no cell, int, float, str, bool, or ("=", "A1*2") for a formula).
"""
import ast
import sys

out, sheet_name, rows_file = sys.argv[1], sys.argv[2], sys.argv[3]
with open(rows_file, encoding="utf-8") as f:
    rows = ast.literal_eval(f.read())

if out.endswith(".xlsx"):
    import openpyxl
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = sheet_name
    for r, row in enumerate(rows):
        for c, v in enumerate(row):
            if v is None:
                continue
            if isinstance(v, tuple):
                v = "=" + v[1]
            ws.cell(row=r + 1, column=c + 1, value=v)
    wb.save(out)
else:
    import xlwt
    wb = xlwt.Workbook(encoding="utf-8")
    ws = wb.add_sheet(sheet_name)
    for r, row in enumerate(rows):
        for c, v in enumerate(row):
            if v is None:
                continue
            if isinstance(v, tuple):
                v = xlwt.Formula(v[1])
            ws.write(r, c, v)
    wb.save(out)
