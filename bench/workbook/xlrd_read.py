#!/usr/bin/python3
"""Reads a workbook with xlrd RUNS times; prints the best time in ms and the
process's peak resident memory in KiB."""
import resource
import sys
import time

import xlrd

path = sys.argv[1]
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
best = None
cells = 0
for _ in range(runs):
    t = time.perf_counter()
    book = xlrd.open_workbook(path)
    dt = time.perf_counter() - t
    best = dt if best is None else min(best, dt)
    sh = book.sheet_by_index(0)
    cells = sh.nrows * sh.ncols
    del book
print("xlrd best_ms=%.1f peak_kib=%d cells=%d" % (best * 1000, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, cells))
