"""OpenQASM source text before any parser sees it: comments, the version and
``include`` statements.

Includes are resolved here, not by the parsers, so that the program never
reaches a file the caller did not name: the standard libraries are left to
the parser, every other name must be a relative path inside one of the
caller's folders. The included text replaces the statement on its line, so
the line numbers of the program stay those the user wrote.
"""

from __future__ import annotations

import re
from pathlib import Path, PurePosixPath
from typing import Sequence

STANDARD_INCLUDES = frozenset({"qelib1.inc", "stdgates.inc"})
_MAX_INCLUDE_BYTES = 16 << 20
_MAX_INCLUDE_DEPTH = 16

_COMMENT_START = re.compile(r"//|/\*")
_VERSION = re.compile(r"^\s*OPENQASM\s+(\d+)", re.MULTILINE)
_INCLUDE = re.compile(r'\binclude\s*"([^"\n]*)"\s*;')


def strip_comments(text: str, where: str = "") -> str:
    """The text with every comment blanked out, newlines kept; one pass, so
    that no input takes more than linear time."""
    parts: list[str] = []
    pos = 0
    while True:
        match = _COMMENT_START.search(text, pos)
        if match is None:
            parts.append(text[pos:])
            return "".join(parts)
        parts.append(text[pos:match.start()])
        if match.group(0) == "//":
            end = text.find("\n", match.end())
            pos = len(text) if end < 0 else end
        else:
            end = text.find("*/", match.end())
            if end < 0:
                line = text.count("\n", 0, match.start()) + 1
                raise ValueError(f"line {line}{where}: comment '/*' is never closed")
            parts.append("\n" * text.count("\n", match.start(), end))
            pos = end + 2


def version(stripped: str) -> int:
    """The major version a program declares (3 when it declares none)."""
    match = _VERSION.search(stripped)
    return int(match.group(1)) if match else 3


def inline_includes(stripped: str, folders: Sequence[str]) -> str:
    """Replaces every non-standard ``include`` of comment-free text by the
    file's own comment-free text, on the line of the statement."""
    return _inline(stripped, [Path(f) for f in folders], (), "")


def _inline(text: str, folders: list[Path], stack: tuple[Path, ...], where: str) -> str:
    def replace(match: re.Match[str]) -> str:
        name = match.group(1)
        if name in STANDARD_INCLUDES:
            return match.group(0)
        line = text.count("\n", 0, match.start()) + 1
        path = _resolve(name, folders, f"line {line}{where}")
        if path in stack or len(stack) >= _MAX_INCLUDE_DEPTH:
            raise ValueError(f"line {line}{where}: include '{name}' is nested too deeply or includes itself")
        inner_where = f" of '{name}'" if not where else f"{where} via '{name}'"
        body = strip_comments(_read(path, name, f"line {line}{where}"), inner_where)
        body = _inline(body, folders, stack + (path,), inner_where)
        return " " + body.replace("\r", " ").replace("\n", " ") + " "

    return _INCLUDE.sub(replace, text)


def _resolve(name: str, folders: list[Path], where: str) -> Path:
    relative = PurePosixPath(name)
    if not name or "\\" in name or "\0" in name or relative.is_absolute() or ".." in relative.parts:
        raise ValueError(f"{where}: include '{name}' must be a relative path inside the include path")
    for folder in folders:
        root = folder.resolve()
        candidate = (root / relative).resolve()
        if candidate.is_relative_to(root) and candidate.is_file():
            return candidate
    searched = ", ".join(f"'{f}'" for f in folders) or "no folders (pass include_path)"
    raise ValueError(
        f"{where}: include '{name}' is not a standard library (qelib1.inc, stdgates.inc) "
        f"and was not found in the include path: {searched}"
    )


def _read(path: Path, name: str, where: str) -> str:
    with open(path, "rb") as file:
        data = file.read(_MAX_INCLUDE_BYTES + 1)
    if len(data) > _MAX_INCLUDE_BYTES:
        raise ValueError(f"{where}: include '{name}' is larger than {_MAX_INCLUDE_BYTES} bytes")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        raise ValueError(f"{where}: include '{name}' is not UTF-8 text") from None
