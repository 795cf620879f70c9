"""A study's finished trials, one JSON line each, read back so that a stopped study goes on."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any


def read_trials(path: Path) -> list[dict[str, Any]]:
    """The trials in `path`, in order; none when it is missing.

    Only the last line can be cut short (a run stopped while writing it): it is dropped, and the
    file rewritten without it so that the next trial starts a clean line. Damage anywhere else
    is not ours to guess past.

    Raises:
        ValueError: A line before the last is not JSON.

    Example:
        >>> import tempfile
        >>> path = Path(tempfile.mkdtemp()) / "trials.jsonl"
        >>> _ = path.write_text('{"a": 1}\\n{"a": ')
        >>> read_trials(path), path.read_text()
        ([{'a': 1}], '{"a": 1}\\n')
    """
    if not path.exists():
        return []
    lines = path.read_text().splitlines()
    rows = []
    for number, line in enumerate(lines, 1):
        try:
            rows.append(json.loads(line))
        except json.JSONDecodeError:
            if number < len(lines):
                raise ValueError(f"{path}: line {number} is not a trial") from None
            path.write_text("".join(f"{good}\n" for good in lines[:-1]))
    return rows
