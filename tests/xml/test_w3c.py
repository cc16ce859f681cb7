"""The W3C XML conformance suite, every document through find_dimension:
a not-wf document is never accepted; a well-formed one is accepted, or
declined as unsupported, or refused as malformed only for a namespace rule
the reader imposes (listed below with the reason)."""
import collections
import io
import pathlib
import re
import xml.etree.ElementTree as ET

import pytest

from vellum._vellum import NativeFallback, find_dimension

ROOT = pathlib.Path(__file__).resolve().parents[2]
SUITE = ROOT.parent / "shared" / "corpus" / "xmlconf"

# Well-formed XML 1.0 documents that break Namespaces in XML 1.0, which the
# reader enforces (all are marked NAMESPACE="no" in the suite).
NAMESPACE_REFUSALS = {
    "o-p05pass1": "element names with an empty prefix or local part (':', '::._-0')",
    "valid-sa-012:output": "an attribute named ':'",
}


def index_files():
    master = (SUITE / "xmlconf.xml").read_text(encoding="utf-8")
    return [SUITE / p for p in re.findall(r'<!ENTITY\s+\S+\s+SYSTEM\s+"([^"]+)"', master)]


def xml10_expectation(test):
    """The TYPE that holds for an XML 1.0 (fifth edition) reader, or None
    where the suite's expectation is for another version or edition."""
    if test.get("VERSION") == "1.1" or test.get("RECOMMENDATION") in ("XML1.1", "NS1.1"):
        return None
    edition = test.get("EDITION")
    if edition and "5" not in edition.split():
        return None
    return test.get("TYPE")


def index_tests(index):
    """The TEST entries of one index file (some are fragments with several
    top-level elements, so the text is wrapped after dropping its prolog)."""
    text = index.read_text(encoding="utf-8")
    text = re.sub(r"<\?xml[^>]*\?>", "", text, count=1)
    text = re.sub(r"<!DOCTYPE[^\[>]*(\[.*?\])?\s*>", "", text, count=1, flags=re.S)
    return ET.fromstring("<all>" + text + "</all>").iter("TEST")


def cases():
    for index in index_files():
        base = index.parent
        for test in index_tests(index):
            kind = xml10_expectation(test)
            yield test.get("ID"), base / test.get("URI"), kind
            if test.get("OUTPUT") and kind in ("valid", "invalid"):
                yield test.get("ID") + ":output", base / test.get("OUTPUT"), kind


def outcome(data):
    try:
        find_dimension(io.BytesIO(data))
    except NativeFallback as e:
        return str(e)
    return "accepted"


def test_conformance_suite():
    if not SUITE.exists():
        pytest.skip("no conformance suite beside the repository")
    counts = collections.Counter()
    mismatches = []
    refused = {}
    for test_id, path, kind in cases():
        got = outcome(path.read_bytes())
        verdict = got.split(":")[0]
        if kind is None or kind == "error":
            counts["not judged: " + verdict] += 1
            continue
        counts[("not-wf " if kind == "not-wf" else "wf ") + verdict] += 1
        if kind == "not-wf":
            if verdict == "accepted":
                mismatches.append((test_id, "accepted"))
        elif verdict == "malformed":
            refused[test_id] = got
            if test_id not in NAMESPACE_REFUSALS:
                mismatches.append((test_id, got))
    print(dict(counts))
    assert mismatches == []
    assert sorted(refused) == sorted(NAMESPACE_REFUSALS)
