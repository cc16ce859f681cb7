"""Saving to memory and reading back, for the tests of formats and layout."""
import io
import warnings
import zipfile

import vellum


def saved(book, **kw):
    """The bytes of `book` saved (with `kw`) to memory."""
    out = io.BytesIO()
    book.save(out, **kw)
    return out.getvalue()


def parts(data):
    """{member: bytes}: what two saves of the same workbook share (the
    zip's times may differ)."""
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        return {name: z.read(name) for name in z.namelist()}


def read(data, **kw):
    """A workbook read from bytes (or a path), its warnings left out."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return vellum.read_workbook(io.BytesIO(data) if isinstance(data, bytes) else data, **kw)
