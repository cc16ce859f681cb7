"""Saving to memory and reading back, for the tests of formats and layout.
The workbooks `read` opens are closed after each test (`closed_after`, an
autouse fixture where a module imports it): left to the garbage collector,
their archives would close at any later moment, in another test's code."""
import io
import warnings
import zipfile

import pytest

import vellum

_OPENED = []


@pytest.fixture(autouse=True)
def closed_after():
    yield
    while _OPENED:
        _OPENED.pop().close()


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
        book = vellum.read_workbook(io.BytesIO(data) if isinstance(data, bytes) else data, **kw)
    _OPENED.append(book)
    return book
