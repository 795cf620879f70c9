"""A run's log: one CSV line per finished episode, appended and flushed as the episode ends.

A crash loses at most the episode in progress. A resumed run first rewrites the log from its
checkpoint's records (whole, atomically): lines of episodes after the checkpoint, which the
resumed run plays again, and a half-written last line are dropped, so no episode appears twice.
Only values that an uninterrupted run reproduces are logged (no wall time), so the log of a
resumed run equals, byte for byte, the uninterrupted run's.
"""

from __future__ import annotations

import csv
import io
import os
from collections.abc import Sequence
from pathlib import Path
from typing import IO

from velto_kit.state.atomic_files import write_atomically

COLUMNS = ("episode", "return", "length", "steps")


def log_line(episode: int, episode_return: float, length: int, steps: int) -> str:
    """One line of the log; the return in Python's shortest exact form.

    Example:
        >>> log_line(3, 21.0, 21, 90)
        '3,21.0,21,90\\n'
    """
    return f"{episode},{episode_return!r},{length},{steps}\n"


def log_text(start_episode: int, returns: Sequence[float], lengths: Sequence[int]) -> str:
    """The whole log of a run's first episodes.

    Example:
        >>> log_text(0, [1.0, 2.0], [1, 2]).splitlines()
        ['episode,return,length,steps', '0,1.0,1,1', '1,2.0,2,3']
    """
    lines = [",".join(COLUMNS) + "\n"]
    steps = 0
    for offset, (episode_return, length) in enumerate(zip(returns, lengths, strict=True)):
        steps += length
        lines.append(log_line(start_episode + offset, episode_return, length, steps))
    return "".join(lines)


class EpisodeLog:
    """An open log, to which each finished episode is appended.

    Example:
        >>> import tempfile
        >>> path = Path(tempfile.mkdtemp()) / "episodes.csv"
        >>> with EpisodeLog(path, log_text(0, [], [])) as log:
        ...     log.append(0, 9.0, 9, 9)
        >>> read_returns(path)
        [9.0]
    """

    def __init__(self, path: Path | str, text: str) -> None:
        """Starts the log at `path` with `text` (its header and the lines of the episodes a
        resumed run has done), replacing whatever was there, whole or not at all.
        """
        self.path = Path(path)
        self.path.parent.mkdir(parents=True, exist_ok=True)
        write_atomically(self.path, text.encode("ascii"))
        self._file: IO[str] | None = self.path.open("a", encoding="ascii", newline="")

    def append(self, episode: int, episode_return: float, length: int, steps: int) -> None:
        """Appends one episode and hands it to the system at once."""
        self.append_line(log_line(episode, episode_return, length, steps))

    def append_line(self, line: str) -> None:
        """Appends one finished line and hands it to the system at once."""
        if self._file is None:
            raise ValueError(f"the log {self.path} is closed")
        self._file.write(line)
        self._file.flush()

    def sync(self) -> None:
        """Makes what was appended durable (at checkpoints)."""
        if self._file is not None:
            os.fsync(self._file.fileno())

    def close(self) -> None:
        """Closes the file."""
        if self._file is not None:
            self._file.close()
            self._file = None

    def __enter__(self) -> EpisodeLog:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def read_returns(path: Path | str) -> list[float]:
    """The returns a log holds, in order; a last line without its newline (an append cut short)
    is not counted.

    Example:
        >>> import tempfile
        >>> path = Path(tempfile.mkdtemp()) / "log.csv"
        >>> _ = path.write_text("episode,return,length,steps\\n0,1.5,3,3\\n1,2")
        >>> read_returns(path)
        [1.5]
    """
    text = Path(path).read_text(encoding="ascii")
    complete = text[: text.rfind("\n") + 1]
    rows = list(csv.DictReader(io.StringIO(complete)))
    return [float(row["return"]) for row in rows]
