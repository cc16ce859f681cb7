"""The xlsx package as a save of a read workbook sees it: parts joined by
relationships, the relationships parts read and written again, part names
relative to one another, the content types, and the parts reachable from the
package's root.

A relationship's target is kept as it was written, so that a relationships
part written again differs from the one read only where it was changed.
"""
from __future__ import annotations

import posixpath
import xml.parsers.expat
from collections.abc import Callable, Iterable
from typing import NamedTuple

from vellum.xmlparts import DECL, PKG_REL_NS, escape_attr, parse_part

CT_NS = "http://schemas.openxmlformats.org/package/2006/content-types"
CONTENT_TYPES = "[Content_Types].xml"


class Rel(NamedTuple):
    """One relationship: its id, type, target as written, and whether the
    target is outside the package (a link's URL)."""

    id: str
    type: str
    target: str
    external: bool = False


def rels_part(part: str) -> str:
    """The relationships part of `part` ("" for the package's own)."""
    folder, name = posixpath.split(part)
    return posixpath.join(folder, "_rels", name + ".rels")


def resolve(source: str, target: str) -> str:
    """The part a relationship of `source` names: a target relative to
    the source's folder, or from the package's root when it starts with
    "/"."""
    if target.startswith("/"):
        return target[1:]
    return posixpath.normpath(posixpath.join(posixpath.dirname(source), target))


def relative(source: str, part: str) -> str:
    """The target that names `part` from a relationship of `source`."""
    return posixpath.relpath(part, posixpath.dirname(source) or ".")


def read_rels(data: bytes, name: str = "a relationships part") -> list[Rel]:
    """The relationships of a relationships part, in order (`name` names it
    in messages)."""
    out = []
    for rel in parse_part(data, name):
        if rel.tag.rpartition("}")[2] != "Relationship":
            continue
        out.append(Rel(rel.get("Id", ""), rel.get("Type", ""), rel.get("Target", ""),
                       rel.get("TargetMode") == "External"))
    return out


def rels_xml(rels: Iterable[Rel]) -> bytes:
    """A relationships part holding `rels`, in order."""
    items = "".join(f'<Relationship Id="{escape_attr(r.id)}" Type="{escape_attr(r.type)}" '
                    f'Target="{escape_attr(r.target)}"'
                    + (' TargetMode="External"' if r.external else "") + "/>" for r in rels)
    return (DECL + f'<Relationships xmlns="{PKG_REL_NS}">' + items + "</Relationships>").encode()


def new_ids(taken: Iterable[str]) -> Callable[[], str]:
    """A source of relationship ids ("rId" and a number) none of `taken`."""
    used = set(taken)
    n = 0

    def next_id() -> str:
        nonlocal n
        while f"rId{n + 1}" in used:
            n += 1
        n += 1
        used.add(f"rId{n}")
        return f"rId{n}"
    return next_id


def reachable(rels_of: Callable[[str], list[Rel]], member: Callable[[str], str | None]) -> set[str]:
    """The zip members reachable from the package's root through internal
    relationships; `rels_of(part)` gives a part's relationships and
    `member(part)` the member holding a part (None when there is none)."""
    seen: set[str] = set()
    todo = [""]
    while todo:
        part = todo.pop()
        for rel in rels_of(part):
            if rel.external:
                continue
            found = member(resolve(part, rel.target))
            if found is not None and found not in seen:
                seen.add(found)
                todo.append(found)
    return seen


class ContentTypes:
    """The content types part: types by extension (`defaults`) and by part
    (`overrides`, keyed by the part name without its leading "/", compared
    without regard to case as the package format says)."""

    def __init__(self, defaults: dict[str, str], overrides: dict[str, tuple[str, str]]) -> None:
        self.defaults = defaults
        self._overrides = overrides  # lower-case name -> (name, type)

    @classmethod
    def parse(cls, data: bytes | None) -> ContentTypes:
        defaults: dict[str, str] = {}
        overrides: dict[str, tuple[str, str]] = {}
        if data is not None:
            try:
                root = parse_part(data)
            except xml.parsers.expat.ExpatError:
                root = []
            for item in root:
                kind = item.tag.rpartition("}")[2]
                if kind == "Default" and item.get("Extension") is not None:
                    defaults[item.get("Extension", "").lower()] = item.get("ContentType", "")
                elif kind == "Override" and item.get("PartName"):
                    name = item.get("PartName", "").lstrip("/")
                    overrides[name.lower()] = (name, item.get("ContentType", ""))
        return cls(defaults, overrides)

    def type_of(self, part: str) -> str | None:
        found = self._overrides.get(part.lower())
        if found is not None:
            return found[1]
        return self.defaults.get(posixpath.splitext(part)[1][1:].lower())

    def set(self, part: str, content_type: str) -> None:
        self._overrides[part.lower()] = (part, content_type)

    def drop(self, part: str) -> None:
        self._overrides.pop(part.lower(), None)

    def xml(self) -> bytes:
        defaults = "".join(f'<Default Extension="{escape_attr(ext)}" ContentType="{escape_attr(t)}"/>'
                           for ext, t in self.defaults.items())
        overrides = "".join(f'<Override PartName="/{escape_attr(name)}" ContentType="{escape_attr(t)}"/>'
                            for name, t in self._overrides.values())
        return (DECL + f'<Types xmlns="{CT_NS}">' + defaults + overrides + "</Types>").encode()
