"""find_dimension: the raw dimension element of a worksheet and the
namespaces in force around it, found wherever it is before the end of
sheetData; source errors and reader errors reach the caller."""
import io

import pytest

from vellum._vellum import NativeFallback, find_dimension

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
HEAD = f"<worksheet xmlns='{MAIN}' xmlns:r='{REL}'>".encode()
NS = [("", MAIN), ("r", REL)]


class Reads:
    """A file-like object returning `size` bytes per call (at most)."""

    def __init__(self, data, size):
        self.data, self.size, self.at = data, size, 0

    def read(self, n):
        assert n == 65536
        chunk = self.data[self.at:self.at + min(n, self.size)]
        self.at += len(chunk)
        return chunk


def find(data, sizes=(1, 7, 65536)):
    results = set()
    for size in sizes:
        r = find_dimension(Reads(data, size))
        results.add(None if r is None else (r[0], tuple(r[1])))
    assert len(results) == 1
    r = results.pop()
    return r if r is None else (r[0], list(r[1]))


def test_before_sheet_data():
    doc = HEAD + b"<dimension ref='A1:C3'/><sheetData/></worksheet>"
    assert find(doc) == (b"<dimension ref='A1:C3'/>", NS)


def test_after_sheet_data_starts_and_not_after_it_ends():
    doc = HEAD + b"<sheetData><row r='1'/><dimension ref='A1'/></sheetData></worksheet>"
    assert find(doc) == (b"<dimension ref='A1'/>", NS)
    doc = HEAD + b"<sheetData><row r='1'/></sheetData><dimension ref='A1'/></worksheet>"
    assert find(doc) is None
    assert find(HEAD + b"<sheetData/><dimension ref='A1'/></worksheet>") is None
    assert find(HEAD + b"<sheetPr/></worksheet>") is None


def test_namespace_must_be_main():
    assert find(b"<worksheet><dimension ref='A1'/></worksheet>") is None
    assert find(HEAD + b"<x:dimension xmlns:x='other' ref='A1'/><sheetData/></worksheet>") is None
    doc = f"<x:worksheet xmlns:x='{MAIN}'><x:dimension ref='B2'/></x:worksheet>".encode()
    assert find(doc) == (b"<x:dimension ref='B2'/>", [("x", MAIN)])


def test_declarations_of_the_element_stay_in_its_bytes():
    doc = (HEAD + b"<a xmlns:r='inner'><dimension xmlns:q='q' ref='A1'/></a></worksheet>")
    assert find(doc) == (b"<dimension xmlns:q='q' ref='A1'/>", [("", MAIN), ("r", "inner")])


def test_non_empty_element_is_returned_whole():
    body = b"<dimension ref='A1'> t <!-- c --><x:e xmlns:x='u'>&amp;</x:e><![CDATA[]]></dimension>"
    assert find(HEAD + body + b"<sheetData/></worksheet>") == (body, NS)


@pytest.mark.parametrize("inner", [b"<sheetData/>", b"<dimension/>"])
def test_nested_dispatch_element_is_declined(inner):
    doc = HEAD + b"<dimension ref='A1'>" + inner + b"</dimension></worksheet>"
    with pytest.raises(NativeFallback, match="^unsupported: nested element handled by dispatcher$"):
        find_dimension(io.BytesIO(doc))
    other = HEAD + b"<dimension ref='A1'><sheetData xmlns='x'/></dimension></worksheet>"
    assert find(other)[0] == b"<dimension ref='A1'><sheetData xmlns='x'/></dimension>"


@pytest.mark.parametrize("doc, message", [
    (HEAD + b"<a x='1' x='2'/><dimension ref='A1'/>", "malformed: duplicate attribute"),
    (HEAD + b"<dimension ref='A1'>", "malformed: unclosed element"),
    (b"", "malformed: no element found"),
    (b"<!DOCTYPE worksheet>" + HEAD, "unsupported: doctype"),
])
def test_reader_errors(doc, message):
    with pytest.raises(NativeFallback) as e:
        find_dimension(io.BytesIO(doc))
    assert str(e.value) == message


def test_source_errors_pass_through():
    class Raises:
        def read(self, n):
            raise OSError("disk")
    with pytest.raises(OSError, match="disk"):
        find_dimension(Raises())

    class Text:
        def read(self, n):
            return "<a/>"
    with pytest.raises(TypeError, match="^'str' object is not an instance of 'bytes'$"):
        find_dimension(Text())


def test_arguments():
    assert find_dimension(source=io.BytesIO(b"<a/>")) is None
    with pytest.raises(TypeError):
        find_dimension()
    with pytest.raises(TypeError):
        find_dimension(io.BytesIO(b"<a/>"), 1)
    with pytest.raises(TypeError):
        find_dimension(src=io.BytesIO(b"<a/>"))


def test_across_chunk_boundaries_and_long_elements():
    # the dimension element starts 12 bytes before the first 64 KiB read
    # ends, then moves across that boundary byte by byte
    pad = b"<p a='%s'/>" % (b"x" * (65536 - 12 - len(HEAD) - 9))
    assert len(HEAD + pad) == 65536 - 12
    for offset in range(0, 30):
        dim = b"<dimension ref='A1:B%d'/>" % offset
        doc = HEAD + pad + b" " * offset + dim + b"<sheetData/></worksheet>"
        assert find(doc, (65536,)) == (dim, NS)
    long_dim = b"<dimension ref='A1'>" + b"<e/>" * 50000 + b"</dimension>"
    doc = HEAD + pad + long_dim + b"<sheetData/></worksheet>"
    assert find(doc, (7, 65536)) == (long_dim, NS)
