"""The reference reading of a shared-strings part, in plain Python.

Every ``si`` child of the root element (in the SpreadsheetML main
namespace, transitional or Strict) gives one entry: the value that ``si_content`` gives for that
item. The engine's ``read_string_table`` must return the same list, or
decline with ``NativeFallback``.
"""
import xml.etree.ElementTree as ET

from vellum.reference.text import si_value

MAIN_NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
STRICT_NS = "http://purl.oclc.org/ooxml/spreadsheetml/main"
_SI = frozenset(f"{{{ns}}}si" for ns in (MAIN_NS, STRICT_NS))


def read_shared_strings(source):
    """The shared strings of a part given as bytes or a binary file object."""
    if isinstance(source, (bytes, bytearray)):
        root = ET.fromstring(source)
    else:
        root = ET.parse(source).getroot()
    return [si_value(child) for child in root if child.tag in _SI]
