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
    r"""One line of the log; the return in Python's shortest exact form.

    Args:
        episode: The episode's number, counted from 0 over the whole run.
        episode_return: The episode's undiscounted return.
        length: The episode's number of steps.
        steps: The run's steps up to and including this episode.

    Returns:
        The CSV line, ending in a newline.

    Example:
        >>> log_line(3, 21.0, 21, 90)
        '3,21.0,21,90\n'
    """
    return f"{episode},{episode_return!r},{length},{steps}\n"


def log_text(start_episode: int, returns: Sequence[float], lengths: Sequence[int]) -> str:
    """The whole log of a run's first episodes.

    Args:
        start_episode: The number of the first episode in `returns`.
        returns: The episodes' returns, in order.
        lengths: The episodes' lengths, one for each return; ``steps`` counts them up from 0.

    Returns:
        The header line and one line per episode.

    Raises:
        ValueError: `returns` and `lengths` differ in length.

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

    Each line is flushed to the operating system as it is appended, so a crash of the process
    loses at most the episode in progress; ``sync`` makes the lines durable against a crash of
    the machine. Use it as a context manager, or call ``close``.

    Attributes:
        path: Where the log is written.

    Example:
        >>> import tempfile
        >>> path = Path(tempfile.mkdtemp()) / "episodes.csv"
        >>> with EpisodeLog(path, log_text(0, [], [])) as log:
        ...     log.append(0, 9.0, 9, 9)
        >>> read_returns(path)
        [9.0]
    """

    def __init__(self, path: Path | str, text: str) -> None:
        """Starts the log at `path` with `text`, replacing whatever was there.

        The first content is written whole or not at all, and the file is then opened for
        appending.

        Args:
            path: The log's file; missing parent folders are created.
            text: Its first content: the header and the lines of the episodes a resumed run has
                done already (``log_text``).

        Raises:
            UnicodeEncodeError: `text` is not ASCII.
            OSError: The folder or the file cannot be created or written.
        """
        self.path = Path(path)
        self.path.parent.mkdir(parents=True, exist_ok=True)
        write_atomically(self.path, text.encode("ascii"))
        self._file: IO[str] | None = self.path.open("a", encoding="ascii", newline="")

    def append(self, episode: int, episode_return: float, length: int, steps: int) -> None:
        """Appends one episode and hands it to the system at once.

        Args:
            episode: The episode's number, counted from 0 over the whole run.
            episode_return: The episode's undiscounted return.
            length: The episode's number of steps.
            steps: The run's steps up to and including this episode.

        Raises:
            ValueError: The log is closed.
        """
        self.append_line(log_line(episode, episode_return, length, steps))

    def append_line(self, line: str) -> None:
        """Appends one finished line and hands it to the system at once.

        Args:
            line: A whole line of the log, ending in a newline (``log_line``).

        Raises:
            ValueError: The log is closed.
        """
        if self._file is None:
            raise ValueError(f"the log {self.path} is closed")
        self._file.write(line)
        self._file.flush()

    def sync(self) -> None:
        """Makes what was appended durable (at checkpoints); does nothing once closed.

        Raises:
            OSError: The system cannot flush the file to disk.
        """
        if self._file is not None:
            os.fsync(self._file.fileno())

    def close(self) -> None:
        """Closes the file; closing again does nothing."""
        if self._file is not None:
            self._file.close()
            self._file = None

    def __enter__(self) -> EpisodeLog:
        """Returns the log itself."""
        return self

    def __exit__(self, *exc: object) -> None:
        """Closes the log, whether or not the block raised."""
        self.close()


def read_returns(path: Path | str) -> list[float]:
    r"""The returns a log holds, in order.

    A last line without its newline (an append cut short) is not counted.

    Args:
        path: The log's file.

    Returns:
        The return of each complete line, in the order of the file.

    Raises:
        OSError: The file cannot be read (``FileNotFoundError`` when it is missing).
        UnicodeDecodeError: The file is not ASCII.
        KeyError: The file has no ``return`` column.
        ValueError: A return is not a number.

    Example:
        >>> import tempfile
        >>> path = Path(tempfile.mkdtemp()) / "log.csv"
        >>> _ = path.write_text("episode,return,length,steps\n0,1.5,3,3\n1,2")
        >>> read_returns(path)
        [1.5]
    """
    text = Path(path).read_text(encoding="ascii")
    complete = text[: text.rfind("\n") + 1]
    rows = list(csv.DictReader(io.StringIO(complete)))
    return [float(row["return"]) for row in rows]
