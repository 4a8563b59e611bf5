#!/usr/bin/python3
"""Writes the hostile workbooks of bench_hostile into DIR:
  hostile.xlsx  0.9 MB whose one sheet inflates to 250 MB: row after row, far
                more than a sheet may have
  hostile.xls   2 MB (python3-xlwt) whose 65,536 rows each hold a cell in
                column 0 and one in column 255: it describes the full grid
"""
import sys
import zipfile

import xlwt

out = sys.argv[1]

parts = {
    "[Content_Types].xml": b'<?xml version="1.0"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
    b'<Default Extension="xml" ContentType="application/xml"/></Types>',
    "xl/workbook.xml": b'<?xml version="1.0"?><workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
    b'<sheets><sheet name="Sheet1" sheetId="1"/></sheets></workbook>',
}
with zipfile.ZipFile(out + "/hostile.xlsx", "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
    for name, data in parts.items():
        z.writestr(name, data)
    with z.open("xl/worksheets/sheet1.xml", "w", force_zip64=True) as f:
        f.write(b'<?xml version="1.0"?><worksheet><sheetData>')
        row = b'<row><c t="str"><v>x</v></c><c><v>1</v></c></row>'
        chunk = row * 20000
        written = 0
        while written < 250 * 1000 * 1000:
            f.write(chunk)
            written += len(chunk)
        f.write(b"</sheetData></worksheet>")

wb = xlwt.Workbook()
ws = wb.add_sheet("Sheet1")
for r in range(65536):
    ws.write(r, 0, "x")
    ws.write(r, 255, r)
wb.save(out + "/hostile.xls")
