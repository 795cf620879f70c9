r"""Progress of long command-line work: a bar on a terminal, plain lines in a log.

On a terminal the line is redrawn in place (``\r``) at most ten times a second: episodes done of
the total, the mean return of the last 20 episodes and the time left, estimated from the pace so
far. Where the output is a file or a pipe (a batch job's log, CI) a full line is written instead at
every tenth of the work and at least every minute, so a log shows the run moving without a line
per episode.
"""

from __future__ import annotations

import statistics
import time
from collections import deque
from collections.abc import Callable
from types import TracebackType
from typing import TextIO

# Episodes in the running mean that the progress shows.
RECENT = 20
# A terminal's line is redrawn at most this often (seconds).
REDRAW_SECONDS = 0.1
# A log gets a line at least this often (seconds), and at every tenth of the work.
LOG_SECONDS = 60.0
BAR_WIDTH = 24


def duration(seconds: float) -> str:
    """`seconds` as ``H:MM:SS`` (``M:SS`` under an hour).

    Examples:
        >>> duration(75.4), duration(3725)
        ('1:15', '1:02:05')
    """
    whole = max(0, round(seconds))
    hours, rest = divmod(whole, 3600)
    minutes, seconds_left = divmod(rest, 60)
    if hours:
        return f"{hours}:{minutes:02d}:{seconds_left:02d}"
    return f"{minutes}:{seconds_left:02d}"


class Progress:
    """Counts finished episodes of `total` and shows how far the work is.

    Args:
        total: The episodes the work has, all seeds together.
        description: What the work is, at the start of each line (the task and the seeds).
        stream: Where the progress goes (the command's standard error).
        enabled: False shows nothing (``--no-progress``).
        clock: The clock the time left is measured with (seconds).

    Examples:
        >>> import io
        >>> log = io.StringIO()
        >>> with Progress(2, "CartPole-v1", log, clock=iter([0.0, 1.0, 2.0, 2.0]).__next__) as bar:
        ...     bar.update(10.0)
        ...     bar.update(20.0)
        >>> print(log.getvalue().strip())
        CartPole-v1: 1/2 episodes, last 1 mean 10.0, 0:01 left
        CartPole-v1: 2/2 episodes, last 2 mean 15.0, done in 0:02
    """

    def __init__(
        self,
        total: int,
        description: str,
        stream: TextIO,
        *,
        enabled: bool = True,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        """Starts the clock; nothing is shown before the first episode ends."""
        self.total = total
        self.done = 0
        self.description = description
        self.stream = stream
        self.enabled = enabled
        self.clock = clock
        self.recent: deque[float] = deque(maxlen=RECENT)
        self.terminal = enabled and stream.isatty()
        self.started = clock()
        self.shown_at = -float("inf")
        self.shown_tenth = 0

    def __enter__(self) -> Progress:
        """The progress itself, closed at the end of the ``with`` block."""
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        """Ends the terminal's line, so that what follows starts on a line of its own."""
        if self.terminal and self.done:
            self.stream.write("\n")
            self.stream.flush()

    def update(self, episode_return: float) -> None:
        """Counts one finished episode with its return, and shows the progress when it is due."""
        self.done += 1
        self.recent.append(episode_return)
        if not self.enabled:
            return
        now = self.clock()
        finished = self.done >= self.total
        if self.terminal:
            if finished or now - self.shown_at >= REDRAW_SECONDS:
                self.stream.write("\r" + self.line(now, bar=True) + "\x1b[K")
                self.stream.flush()
                self.shown_at = now
            return
        tenth = self.done * 10 // max(self.total, 1)
        if finished or tenth > self.shown_tenth or now - self.shown_at >= LOG_SECONDS:
            self.stream.write(self.line(now, bar=False) + "\n")
            self.stream.flush()
            self.shown_at, self.shown_tenth = now, tenth

    def line(self, now: float, *, bar: bool) -> str:
        """The progress as one line: done of total, the recent mean return and the time left."""
        elapsed = now - self.started
        if self.done >= self.total:
            timing = f"done in {duration(elapsed)}"
        else:
            timing = f"{duration(elapsed / self.done * (self.total - self.done))} left"
        mean = statistics.fmean(self.recent)
        text = (
            f"{self.description}: {self.done}/{self.total} episodes,"
            f" last {len(self.recent)} mean {mean:.1f}, {timing}"
        )
        if not bar:
            return text
        filled = BAR_WIDTH * self.done // max(self.total, 1)
        return f"[{'#' * filled}{'.' * (BAR_WIDTH - filled)}] {text}"
