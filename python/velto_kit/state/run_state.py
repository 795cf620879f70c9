"""A run checkpoint: everything a training run needs to continue exactly where it was.

One checkpoint, after ``next_episode`` episodes, is a few files in the run's checkpoint folder:

- ``agent-NNNNNN.npz`` (one agent) or ``agent-NNNNNN-MMM.npz`` (agent ``MMM`` of a population):
  ordinary agent checkpoints, read by ``velto_kit.load`` as any other;
- ``run-NNNNNN.env-MMM.pkl``, only for an environment whose state is not all plain data: the
  pickled rest of that state, read by nothing but ``load_run``, after its digest matched;
- ``run-NNNNNN.json``, written last: the run's description, counters, returns, each member's
  pending actions, generator and environment state, and the SHA-256 of every file above.

Each file is written whole or not at all (temporary file, fsync, rename) and the manifest comes
last, so a kill at any moment leaves the earlier checkpoints intact and the newest one either
complete or absent. The format is described in ``docs/checkpoint-format.md``.
"""

from __future__ import annotations

import json
import os
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

from velto_kit.state.atomic_files import file_digest, write_atomically
from velto_kit.state.checkpoint import CheckpointError, load, save
from velto_kit.state.env_state import EnvStateError, generator_from_state

FORMAT_NAME = "velto_kit run state"
VERSION = 1
_MANIFEST_PREFIX = "run-"


@dataclass
class MemberState:
    """One agent of a run and what its loop holds beside it.

    Attributes:
        agent: The agent, already in the next episode's first state.
        taken: What the agent's last ``step`` returned (the units taken in the state it is in).
        rng: The generator the mapping draws from.
        env: The environment's captured state (``velto_kit.state.env_state.capture``), None
            where it could not be captured.
        returns: The returns of the run's episodes so far.
        lengths: The lengths of the run's episodes so far.
        steps: The environment steps of the run so far.
    """

    agent: Any
    taken: list[int]
    rng: np.random.Generator
    env: tuple[dict[str, Any], bytes | None] | None
    returns: list[float] = field(default_factory=list)
    lengths: list[int] = field(default_factory=list)
    steps: int = 0


@dataclass
class RunState:
    """A run after ``next_episode`` episodes (numbered from ``start_episode``).

    Attributes:
        description: What makes the run the run it is, as plain data; a resumed run must have
            the same.
        start_episode: The number of the run's first episode.
        next_episode: The number of the episode the run goes on with.
        seconds: The run's wall time so far; 0.0 for a loaded run (it is not stored).
        members: One state per agent: one for a single-agent run, one per population member.
        env: A population's vector environment state (its members' ``env`` are then None).
        loop: A population loop's own state between two vector steps.

    Example:
        >>> run = RunState({"seed": 0}, 0, 0, 0.0, [])
        >>> run.next_episode
        0
    """

    description: dict[str, Any]
    start_episode: int
    next_episode: int
    # The run's wall time so far; not stored (a loaded run has 0.0), so that a run's
    # checkpoints are the same bytes however often it was interrupted.
    seconds: float
    members: list[MemberState]
    # A population's: the vector environment's state (its members' ``env`` are None), and the
    # loop's own state between two vector steps (``velto_kit.experiments.population_runs``).
    env: tuple[dict[str, Any], bytes | None] | None = None
    loop: dict[str, Any] = field(default_factory=dict)

    @property
    def agent(self) -> Any:
        """The agent of a single-agent run.

        Raises:
            ValueError: The run has more agents than one, or none.
        """
        if len(self.members) != 1:
            raise ValueError(f"the run has {len(self.members)} agents; use members[i].agent")
        return self.members[0].agent

    @property
    def returns(self) -> list[float]:
        """The returns so far of a single-agent run.

        Raises:
            ValueError: The run has more agents than one, or none.
        """
        if len(self.members) != 1:
            raise ValueError(f"the run has {len(self.members)} agents; use members[i].returns")
        return self.members[0].returns


def manifest_path(directory: Path, next_episode: int) -> Path:
    """Where the run checkpoint after `next_episode` episodes has its manifest.

    Args:
        directory: The run's checkpoint folder.
        next_episode: The number of the episode the checkpointed run goes on with.

    Returns:
        The path ``directory/run-NNNNNN.json``, the number in six digits.

    Example:
        >>> manifest_path(Path("out"), 200).name
        'run-000200.json'
    """
    return Path(directory) / f"{_MANIFEST_PREFIX}{next_episode:06d}.json"


def agent_file_name(next_episode: int, member: int, members: int) -> str:
    """The agent file of `member` in the checkpoint after `next_episode` episodes.

    Args:
        next_episode: The number of the episode the checkpointed run goes on with.
        member: The agent's index in the run.
        members: The number of agents of the run; with one, the index is left out.

    Returns:
        The file's name (no folder): ``agent-NNNNNN.npz`` or ``agent-NNNNNN-MMM.npz``.

    Example:
        >>> agent_file_name(100, 0, 1), agent_file_name(100, 2, 4)
        ('agent-000100.npz', 'agent-000100-002.npz')
    """
    if members == 1:
        return f"agent-{next_episode:06d}.npz"
    return f"agent-{next_episode:06d}-{member:03d}.npz"


def save_run(directory: Path | str, run: RunState) -> Path:
    """Writes `run` as a checkpoint into `directory` and returns its manifest's path.

    Every file is written atomically, the agents' and environments' first and the manifest
    last, so a kill leaves either the whole checkpoint or no manifest for it.

    Args:
        directory: The run's checkpoint folder, created if missing.
        run: The run between two episodes (``TrainingRun.state``).

    Returns:
        The path of the manifest, ``run-NNNNNN.json``.

    Raises:
        TypeError: A member's agent is not a ``VeltoActorCritic`` (from ``velto_kit.save``),
            or the description or loop state is not plain data JSON can hold.
        OSError: A file cannot be written.

    Example:
        >>> import tempfile
        >>> from velto_kit import make_agent, AgentSettings
        >>> agent = make_agent(4, 1, AgentSettings(), seed=0)
        >>> member = MemberState(agent, [], np.random.default_rng(0), None, [1.0], [1], 1)
        >>> path = save_run(tempfile.mkdtemp(), RunState({}, 0, 1, 0.0, [member]))
        >>> load_run(path).returns
        [1.0]
    """
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    stem = manifest_path(directory, run.next_episode).stem
    members = []
    for index, member in enumerate(run.members):
        agent_file = directory / agent_file_name(run.next_episode, index, len(run.members))
        save(member.agent, agent_file)
        entry: dict[str, Any] = {
            "agent": {"file": agent_file.name, "sha256": file_digest(agent_file)},
            "taken": [int(unit) for unit in member.taken],
            "rng": member.rng.bit_generator.state,
            "returns": [float(value) for value in member.returns],
            "lengths": [int(value) for value in member.lengths],
            "steps": int(member.steps),
            "env": None,
        }
        if member.env is not None:
            entry["env"] = _env_entry(directory, f"{stem}.env-{index:03d}.pkl", member.env)
        members.append(entry)
    shared_env = None
    if run.env is not None:
        shared_env = _env_entry(directory, f"{stem}.env.pkl", run.env)
    manifest = {
        "format": FORMAT_NAME,
        "version": VERSION,
        "start_episode": run.start_episode,
        "next_episode": run.next_episode,
        "description": run.description,
        "members": members,
        "env": shared_env,
        "loop": run.loop,
    }
    path = manifest_path(directory, run.next_episode)
    write_atomically(path, json.dumps(manifest, indent=1).encode())
    return path


def _env_entry(
    directory: Path, blob_name: str, env: tuple[dict[str, Any], bytes | None]
) -> dict[str, Any]:
    """An environment's state for the manifest, its pickled part (if any) in a file beside it."""
    plain, pickled = env
    entry: dict[str, Any] = {"plain": plain, "pickled": None}
    if pickled is not None:
        blob = directory / blob_name
        write_atomically(blob, pickled)
        entry["pickled"] = {"file": blob.name, "sha256": file_digest(blob)}
    return entry


def _read_env(path: Path, entry: Any, label: str) -> tuple[dict[str, Any], bytes | None] | None:
    if entry is None:
        return None
    pickled = None
    if entry["pickled"] is not None:
        pickled = _checked_file(path.parent, entry["pickled"], label).read_bytes()
    return entry["plain"], pickled


def _checked_file(directory: Path, entry: Any, label: str) -> Path:
    """The file an entry names, inside `directory`, with the digest the manifest recorded."""
    name = entry.get("file") if isinstance(entry, dict) else None
    if not isinstance(name, str) or os.path.basename(name) != name or name in ("", ".", ".."):
        raise CheckpointError(f"{label}: names no file in its folder: {name!r}")
    path = directory / name
    if not path.is_file():
        raise CheckpointError(f"{label}: {name} is missing")
    if file_digest(path) != entry.get("sha256"):
        raise CheckpointError(f"{label}: {name} is not the file this checkpoint wrote")
    return path


def load_run(path: Path | str) -> RunState:
    """The run checkpoint whose manifest is `path`, every file checked against its digest first.

    Args:
        path: The manifest, ``run-NNNNNN.json``, with the checkpoint's other files beside it.

    Returns:
        The run as it was saved; its ``seconds`` are 0.0.

    Raises:
        CheckpointError: The manifest is no run checkpoint, of another version or damaged, or
            a file it names is missing, outside its folder, changed since, or no valid agent
            checkpoint, or a counter or value in it is not a number.
        OSError: The manifest cannot be read (``FileNotFoundError`` when it is missing).

    Example::

        run = velto_kit.load_run("out/checkpoints/run-000200.json")
    """
    path = Path(path)
    try:
        manifest = json.loads(path.read_bytes())
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        raise CheckpointError(f"{path}: no run checkpoint ({error})") from error
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT_NAME:
        raise CheckpointError(f"{path}: no run checkpoint (format is not {FORMAT_NAME!r})")
    if manifest.get("version") != VERSION:
        raise CheckpointError(
            f"{path}: run state version {manifest.get('version')!r}, not {VERSION}"
        )
    try:
        members = [_member(path, index, entry) for index, entry in enumerate(manifest["members"])]
        return RunState(
            description=dict(manifest["description"]),
            start_episode=int(manifest["start_episode"]),
            next_episode=int(manifest["next_episode"]),
            seconds=0.0,
            members=members,
            env=_read_env(path, manifest.get("env"), f"{path}: environment"),
            loop=dict(manifest.get("loop") or {}),
        )
    except CheckpointError:
        raise
    except (KeyError, TypeError, ValueError, AttributeError, EnvStateError) as error:
        # ValueError: a counter that is no number; a damaged manifest like any other.
        raise CheckpointError(f"{path}: damaged run checkpoint ({error!r})") from error


def _member(path: Path, index: int, entry: dict[str, Any]) -> MemberState:
    label = f"{path}: member {index}"
    agent = load(_checked_file(path.parent, entry["agent"], label))
    env = _read_env(path, entry["env"], label)
    return MemberState(
        agent=agent,
        taken=[int(unit) for unit in entry["taken"]],
        rng=generator_from_state(entry["rng"]),
        env=env,
        returns=[float(value) for value in entry["returns"]],
        lengths=[int(value) for value in entry["lengths"]],
        steps=int(entry["steps"]),
    )


def run_checkpoints(directory: Path | str) -> list[Path]:
    """The manifests of the run checkpoints in `directory`, oldest first.

    Args:
        directory: The run's checkpoint folder.

    Returns:
        The paths of its ``run-NNNNNN.json`` files in the order of their numbers; an empty list
        when the folder is missing.

    Example:
        >>> run_checkpoints("no-such-folder")
        []
    """
    directory = Path(directory)
    if not directory.is_dir():
        return []
    found = []
    for path in directory.glob(f"{_MANIFEST_PREFIX}*.json"):
        number = path.stem[len(_MANIFEST_PREFIX) :]
        if number.isdigit():
            found.append((int(number), path))
    return [path for _, path in sorted(found)]


def latest_run(directory: Path | str) -> RunState | None:
    """The newest intact run checkpoint in `directory`, or None if there is none.

    A damaged one (a file changed or lost since) is passed over with a warning for the one
    before it.

    Args:
        directory: The run's checkpoint folder.

    Returns:
        The newest checkpoint that loads (see ``load_run``); None when the folder is missing or
        holds no intact one.

    Raises:
        OSError: A manifest cannot be read.

    Example:
        >>> latest_run("no-such-folder") is None
        True
    """
    for path in reversed(run_checkpoints(directory)):
        try:
            return load_run(path)
        except CheckpointError as error:
            warnings.warn(f"passing over a damaged run checkpoint: {error}", stacklevel=2)
    return None
