import io, sys, zipfile
sys.path.insert(0, ".")
from tests.api.test_zipread import *
import xlsxwriter, tempfile, os
p = tempfile.mktemp(suffix=".xlsx")
book = xlsxwriter.Workbook(p); s = book.add_worksheet("data")
for r in range(2000): s.write_row(r, 0, [r, r * 0.5, f"text {r % 17}"])
book.close()
d = open(p, "rb").read()
x = patched(stored(d), csize=len(d) * 2, usize=len(d) * 2)
z = zipfile.ZipFile(io.BytesIO(x))
i = z.getinfo("xl/worksheets/sheet1.xml"); print(i.compress_size, i.file_size, i.compress_type, len(x), i.header_offset)
f = zipread.open_member(z, i)
n = 0
try:
    while c := f.read(65536): n += len(c)
except Exception as e: print(n, e)
