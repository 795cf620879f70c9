"""The pages whose code the tests run, their Python code blocks, and which of those are run.

The pages are the README and every ``.md`` file under ``docs/`` at any depth, except in the data
folders (``DATA_FOLDERS``), which hold the studies' recorded outputs.

A block is a fence opened by a line of exactly ```python and closed by a line of ```. A block whose
previous non-blank line is ``<!-- not run: REASON -->`` is not run; the reason is required, and a
marker that stands before anything but a Python block is an error, so a marker cannot outlive its
block unnoticed.
"""

import re
import textwrap
from dataclasses import dataclass
from pathlib import Path

# Folders directly under docs/ that hold data, not pages.
DATA_FOLDERS = ("results",)

MARKER = re.compile(r"^<!--\s*not run:(?P<reason>.*?)-->\s*$")
MARKER_START = re.compile(r"^<!--\s*not run\b")


class MarkerError(ValueError):
    """A not-run marker without its reason, or one that precedes no Python block."""


@dataclass(frozen=True)
class Block:
    path: Path
    line: int  # of the opening fence, 1-based
    code: str
    skip_reason: str | None


def blocks(text: str, path: Path) -> list[Block]:
    """Every Python block of `text` in order; raises MarkerError for a bad marker."""
    found: list[Block] = []
    lines = text.split("\n")
    pending: tuple[int, str] | None = None  # a marker waiting for its block: (line, reason)
    index = 0
    while index < len(lines):
        line = lines[index]
        stripped = line.strip()
        if MARKER_START.match(stripped):
            match = MARKER.match(stripped)
            reason = match["reason"].strip() if match else ""
            if not reason:
                raise MarkerError(f"{path}:{index + 1}: a not-run marker needs its reason")
            pending = (index + 1, reason)
        elif stripped.startswith("```"):
            fence_line = index
            # A fence closes only on a line of its own backticks (a longer fence may hold shorter).
            fence = stripped[: len(stripped) - len(stripped.lstrip("`"))]
            end = index + 1
            while end < len(lines) and lines[end].strip() != fence:
                end += 1
            if end == len(lines):
                raise MarkerError(f"{path}:{index + 1}: a code fence is never closed")
            if stripped == "```python":
                code = textwrap.dedent("\n".join(lines[fence_line + 1 : end]))
                reason = pending[1] if pending else None
                found.append(Block(path, fence_line + 1, code, reason))
            elif pending:
                raise MarkerError(
                    f"{path}:{pending[0]}: a not-run marker before a non-Python block"
                )
            pending = None
            index = end
        elif stripped and pending:
            raise MarkerError(f"{path}:{pending[0]}: a not-run marker before no code block")
        index += 1
    if pending:
        raise MarkerError(f"{path}:{pending[0]}: a not-run marker at the end of the file")
    return found


def documents(root: Path) -> list[Path]:
    """The README of `root` and every page under ``root/docs``, subfolders included, sorted."""
    docs = root / "docs"
    data = [docs / name for name in DATA_FOLDERS]
    pages = [
        path
        for path in docs.rglob("*.md")
        if path.is_file() and not any(folder in path.parents for folder in data)
    ]
    return [root / "README.md", *sorted(pages)]
