"""What surrounds the steps of every training loop, written once for all three.

``run_episodes``, ``run_population`` on Gymnasium and the native loop differ in how they make
steps; around the steps they keep the same books: the checkpoint options checked before a run,
the run folder's lock taken before the log is touched, the log synced before each run checkpoint
and the oldest checkpoints pruned after it, and, for the two population loops, one description,
one log format and one check that a resumed population is the checkpoint's.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

from velto_kit.experiments.actions import ActionMapping
from velto_kit.experiments.episode_log import EpisodeLog
from velto_kit.experiments.training_run import describe_run
from velto_kit.state.run_folder import RunFolderLock, claim_run_folder, prune_run_checkpoints
from velto_kit.state.run_state import RunState, save_run

LOG_COLUMNS = "agent,episode,return,length,steps\n"


def population_log_line(record: Sequence[Any]) -> str:
    r"""One line of a population's log; the return in Python's shortest exact form.

    Args:
        record: The agent's index, the episode's number, its return, its length and the
            agent's steps up to and including it.

    Returns:
        The CSV line, ending in a newline.

    Raises:
        ValueError: `record` does not hold exactly five values.

    Example:
        >>> population_log_line([2, 5, 21.0, 21, 130])
        '2,5,21.0,21,130\n'
    """
    agent, episode, episode_return, length, steps = record
    return f"{agent},{episode},{float(episode_return)!r},{length},{steps}\n"


def population_log(path: Path | str, records: Sequence[Sequence[Any]]) -> EpisodeLog:
    """A population's log, started with the header and the lines of `records`.

    Args:
        path: The log's file.
        records: The episodes a resumed run has done already (none for a fresh run).

    Returns:
        The open log.

    Raises:
        OSError: The log cannot be written.
    """
    return EpisodeLog(path, LOG_COLUMNS + "".join(map(population_log_line, records)))


def member_history(records: Sequence[Sequence[Any]], agent: int) -> tuple[list[float], list[int]]:
    """Agent `agent`'s returns and lengths in a population's records, in episode order.

    Args:
        records: ``[agent, episode, return, length, steps]`` per episode handed out.
        agent: The agent's index.

    Returns:
        Its returns and its lengths.

    Example:
        >>> member_history([[0, 0, 9.0, 9, 9], [1, 0, 4.0, 4, 4], [0, 1, 7.0, 7, 16]], 0)
        ([9.0, 7.0], [9, 7])
    """
    own = [record for record in records if record[0] == agent]
    return [record[2] for record in own], [record[3] for record in own]


def check_checkpoint_options(
    checkpoint_every: int | None, checkpoint_dir: Path | str | None, keep_last: int | None
) -> None:
    """Checks a run's checkpoint options and creates its checkpoint folder.

    Args:
        checkpoint_every: Episodes between run checkpoints, or None for none.
        checkpoint_dir: Their folder, needed with `checkpoint_every`.
        keep_last: Run checkpoints to keep, or None for all.

    Raises:
        ValueError: `checkpoint_every` below 1 or without a `checkpoint_dir`, or `keep_last`
            below 1.
        OSError: The folder cannot be created.
    """
    if checkpoint_every is not None:
        if checkpoint_every < 1:
            raise ValueError(f"checkpoint_every must be at least 1, not {checkpoint_every}")
        if checkpoint_dir is None:
            raise ValueError("checkpoint_every needs a checkpoint_dir")
        Path(checkpoint_dir).mkdir(parents=True, exist_ok=True)
    if keep_last is not None and keep_last < 1:
        raise ValueError(f"keep_last must be at least 1, not {keep_last}")


def claim_checkpoint_folder(
    directory: Path | None, *, fresh: bool, overwrite: bool
) -> RunFolderLock | None:
    """The run folder's lock for a run that writes checkpoints into `directory` (None: none).

    Taken before the log is touched: a second run into the same folder stops here instead of
    rewriting the log the first is appending to.

    Args:
        directory: The checkpoint folder, or None for a run without checkpoints.
        fresh: The run starts afresh (not resumed).
        overwrite: A fresh run may remove the folder's run checkpoints.

    Returns:
        The lock, or None without a folder.

    Raises:
        RunFolderInUse: Another run holds the folder.
        RunFolderHasRun: A fresh run's folder holds run checkpoints and `overwrite` is false.
    """
    if directory is None:
        return None
    return claim_run_folder(directory, fresh=fresh, overwrite=overwrite)


def write_run_checkpoint(
    directory: Path, run: RunState, log: EpisodeLog | None, keep_last: int | None
) -> Path:
    """Writes a run checkpoint, its episodes made durable in the log first.

    A checkpoint's episodes must be in the log it cuts back to on resume, so the log is synced
    before the checkpoint is written; the oldest checkpoints beyond `keep_last` go after it.

    Args:
        directory: The checkpoint folder.
        run: The run's state.
        log: The run's open log, or None.
        keep_last: Run checkpoints to keep, or None for all.

    Returns:
        The checkpoint's manifest.

    Raises:
        OSError: The log cannot be synced or the checkpoint written.
    """
    if log is not None:
        log.sync()
    manifest = save_run(directory, run)
    if keep_last is not None:
        prune_run_checkpoints(manifest, keep_last)
    return manifest


def population_description(
    envs: Any,
    features: Any,
    mapping: ActionMapping,
    *,
    gamma: float,
    seed: int | None,
    starts: Sequence[int],
    settings: Mapping[str, Any] | None,
) -> dict[str, Any]:
    """What makes a population run the run it is (``describe_run`` with its agents' starts).

    Args:
        envs: The vector environment.
        features: The feature map.
        mapping: The action mapping.
        gamma: The discount.
        seed: The run's seed.
        starts: Each agent's first episode.
        settings: The caller's plain data.

    Returns:
        The description, with ``num_envs`` and ``start_episodes``.
    """
    description = describe_run(
        envs, features, mapping, gamma=gamma, seed=seed, start_episode=0, settings=settings
    )
    description["num_envs"] = len(starts)
    description["start_episodes"] = list(starts)
    return description


def check_resumed_agents(resume: RunState, agents: Sequence[Any]) -> None:
    """Checks that a resumed population steps the checkpoint's own agents.

    Args:
        resume: The run checkpoint.
        agents: The population's agents.

    Raises:
        ValueError: Another number of agents, or another agent than the checkpoint's.
    """
    if len(resume.members) != len(agents) or any(
        agent is not member.agent for agent, member in zip(agents, resume.members, strict=False)
    ):
        raise ValueError(
            "a resumed population continues the checkpoint's agents: pass"
            " Population([member.agent for member in resume.members])"
        )
