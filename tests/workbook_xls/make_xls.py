#!/usr/bin/python3
"""Writes .xls fixtures with xlwt and, for each, a dump of what xlrd reads.

usage: make_xls.py KIND OUT.xls [DUMP.txt]
The dump holds one line per cell: sheet, row, col, kind, value (tab separated);
kind is n (number, repr), t (text, hex of UTF-8), b (boolean), e (error), f (formula).
"""
import random
import sys

import xlwt
import xlrd


def mixed(path):
    wb = xlwt.Workbook(encoding="utf-8")
    data = wb.add_sheet("Data")
    data.write(0, 0, "heading")
    data.write(1, 0, 1234)
    data.write(1, 1, 12.9)
    data.write(1, 2, -1.5)
    data.write(1, 3, 12.34)
    data.write(1, 4, 1234567890123)
    data.write(1, 5, -7)
    data.write(1, 6, 0.1)
    data.write(2, 0, "café")
    data.write(2, 1, "Ωmega €")
    data.write(2, 2, True)
    data.write(2, 3, False)
    data.write(2, 4, xlwt.Formula("A2*2"))
    data.write(2, 200, "far right")
    data.write(300, 1, 5)
    s1 = wb.add_sheet("Sheet1")
    s1.write(0, 0, "x")
    wb.add_sheet("Ünïcode")
    wb.save(path)
    return {(0, 2, 4)}


def strings(path):
    # Enough long strings that the shared string table spreads over many
    # CONTINUE records, with strings cut at the record boundaries.
    rnd = random.Random(7)
    wb = xlwt.Workbook(encoding="utf-8")
    ws = wb.add_sheet("Sheet1")
    for r in range(400):
        for c in range(3):
            n = rnd.randint(1, 300)
            if (r + c) % 3 == 0:
                s = "".join(rnd.choice("αβγδεζηθ€ABC") for _ in range(n))
            else:
                s = "".join(rnd.choice("abcdefghijklmnopqrstuvwxyzé") for _ in range(n))
            ws.write(r, c, s)
        ws.write(r, 3, rnd.uniform(-1e6, 1e6))
        ws.write(r, 4, rnd.randint(-(1 << 29), 1 << 29))
    wb.save(path)


def small(path):
    # Small enough that the Workbook stream lives in short sectors.
    wb = xlwt.Workbook()
    ws = wb.add_sheet("Sheet1")
    ws.write(0, 0, "a")
    ws.write(0, 1, 42)
    wb.save(path)


def dump(path, out, formulas):
    book = xlrd.open_workbook(path)
    with open(out, "w", encoding="utf-8") as f:
        for si in range(book.nsheets):
            sh = book.sheet_by_index(si)
            f.write("S\t%d\t%s\t%d\t%d\n" % (si, sh.name.encode("utf-8").hex(), sh.nrows, sh.ncols))
            for r in range(sh.nrows):
                for c in range(sh.ncols):
                    cell = sh.cell(r, c)
                    if (si, r, c) in formulas:
                        f.write("%d\t%d\t%d\tf\t\n" % (si, r, c))
                        continue
                    t = cell.ctype
                    if t == xlrd.XL_CELL_NUMBER:
                        f.write("%d\t%d\t%d\tn\t%r\n" % (si, r, c, cell.value))
                    elif t == xlrd.XL_CELL_TEXT:
                        f.write("%d\t%d\t%d\tt\t%s\n" % (si, r, c, cell.value.encode("utf-8").hex()))
                    elif t == xlrd.XL_CELL_BOOLEAN:
                        f.write("%d\t%d\t%d\tb\t%d\n" % (si, r, c, cell.value))
                    elif t == xlrd.XL_CELL_ERROR:
                        f.write("%d\t%d\t%d\te\t%d\n" % (si, r, c, cell.value))


if __name__ == "__main__":
    kind, out = sys.argv[1], sys.argv[2]
    formulas = {"mixed": mixed, "strings": strings, "small": small}[kind](out) or set()
    if len(sys.argv) > 3:
        dump(out, sys.argv[3], formulas)
