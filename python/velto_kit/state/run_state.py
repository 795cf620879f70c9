"""A run checkpoint: everything a training run needs to continue exactly where it was.

One checkpoint, after ``next_episode`` episodes, is a few files in the run's checkpoint folder:

- ``agent-NNNNNN.npz`` (one agent) or ``agent-NNNNNN-MMM.npz`` (agent ``MMM`` of a population):
  ordinary agent checkpoints, read by ``velto_kit.load`` as any other;
- ``run-NNNNNN.env-MMM.pkl``, only for an environment whose state is not all plain data: the
  pickled rest of that state, read by nothing but ``load_run(..., trust_pickles=True)``, after its
  digest matched (unpickling runs code: only a caller that trusts the folder may ask for it);
- ``run-NNNNNN.json``, written last: the run's description, counters, returns, each member's
  pending actions, generator and environment state, and the SHA-256 of every file above.

Each file is written whole or not at all (temporary file, fsync, rename) and the manifest comes
last, so a kill at any moment leaves the earlier checkpoints intact and the newest one either
complete or absent. Reading checks every field of the manifest for type and range and opens only
regular files inside the folder. The format is described in ``docs/checkpoint-format.md``.
"""

from __future__ import annotations

import errno
import hashlib
import json
import math
import os
import pickle
import stat
import warnings
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, TypeGuard

import numpy as np

from velto_kit import _native
from velto_kit.state import env_state
from velto_kit.state.atomic_files import file_digest, write_atomically
from velto_kit.state.checkpoint import CheckpointError, save
from velto_kit.state.checkpoint_reader import FileSource, read_checkpoint
from velto_kit.state.env_state import EnvStateError, decode
from velto_kit.state.generator_state import (
    GeneratorStateError,
    generator_from_state,
    state_data,
)

# The run folder's lock file (run_folder.py holds a POSIX record lock on it). It is never a
# checkpoint's file: closing any descriptor of it in the holding process would drop the lock.
LOCK_NAME = ".run.lock"

FORMAT_NAME = "velto_kit run state"
VERSION = 1
_MANIFEST_PREFIX = "run-"


# An environment's state in a run: its plain part, and the rest as the pickled bytes ``capture``
# gave (a run in memory) or as the objects a trusted ``load_run`` unpickled (None: nothing else).
EnvState = tuple[dict[str, Any], bytes | dict[str, Any] | None]

TRUST_HINT = (
    "unpickling runs whatever code the file names, so it is done only for a folder you trust:"
    " pass trust_pickles=True to load_run or latest_run (examples/train.py: --trust-run-pickles)"
)


class UntrustedPickleError(ValueError):
    """A run checkpoint that needs a pickle unpickled, read without ``trust_pickles=True``.

    Not a ``CheckpointError``: the checkpoint is intact, and ``latest_run`` raises this rather
    than pass over it for an older one (which would need the same, or silently lose the run's
    progress). The message names the file and how to trust the folder.
    """


@dataclass
class MemberState:
    """One agent of a run and what its loop holds beside it.

    Attributes:
        agent: The agent, already in the next episode's first state.
        taken: What the agent's last ``step`` returned (the units taken in the state it is in).
        rng: The generator the mapping draws from.
        env: The environment's captured state (``velto_kit.state.env_state.capture``), None
            where it could not be captured; a loaded run holds the objects ``load_run``
            unpickled (only with ``trust_pickles=True``) in place of the pickled bytes.
        returns: The returns of the run's episodes so far.
        lengths: The lengths of the run's episodes so far.
        steps: The environment steps of the run so far.
    """

    agent: Any
    taken: list[int]
    rng: np.random.Generator
    env: EnvState | None
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
    env: EnvState | None = None
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
            "rng": state_data(member.rng.bit_generator.state),
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


def _env_entry(directory: Path, blob_name: str, env: EnvState) -> dict[str, Any]:
    """An environment's state for the manifest, its pickled part (if any) in a file beside it."""
    plain, pickled = env
    entry: dict[str, Any] = {"plain": plain, "pickled": None}
    if isinstance(pickled, dict):  # a loaded run's objects, written again
        pickled = pickle.dumps(pickled, protocol=pickle.HIGHEST_PROTOCOL)
    if pickled is not None:
        blob = directory / blob_name
        write_atomically(blob, pickled)
        entry["pickled"] = {"file": blob.name, "sha256": file_digest(blob)}
    return entry


def _read_env(directory: Path, entry: Any, label: str, trust_pickles: bool) -> EnvState | None:
    """An environment's entry, checked field by field; its pickle unpickled only when trusted."""
    if entry is None:
        return None
    if not isinstance(entry, dict) or set(entry) != {"plain", "pickled"}:
        raise CheckpointError(f"{label}: damaged environment entry")
    plain = entry["plain"]
    try:
        paths = env_state.check_plain(plain)
    except (EnvStateError, KeyError, TypeError, ValueError, OverflowError) as error:
        raise CheckpointError(f"{label}: damaged environment state ({error})") from error
    if entry["pickled"] is None:
        if paths:
            raise CheckpointError(f"{label}: the environment's pickled part is missing")
        return plain, None
    if not paths:
        raise CheckpointError(f"{label}: names a pickle for an environment stored as plain data")
    with _open_checked(directory, entry["pickled"], label) as stream:
        if not trust_pickles:
            raise UntrustedPickleError(
                f"{label}: the environment's state includes pickled objects"
                f" ({directory / entry['pickled']['file']}); {TRUST_HINT}"
            )
        data = stream.read()
    # Trusted by the caller: the folder's own files, as capture wrote them.
    others = pickle.loads(data)  # noqa: S301
    if not isinstance(others, dict) or sorted(others) != sorted(paths):
        raise CheckpointError(f"{label}: the pickled part does not hold what the state names")
    return plain, others


class _OpenFile:
    """A checkpoint's file opened for reading, its digest checked; a context manager."""

    def __init__(self, stream: Any) -> None:
        self.stream = stream

    def __enter__(self) -> Any:
        return self.stream

    def __exit__(self, *exc: object) -> None:
        self.stream.close()


def _open_regular(path: Path, label: str) -> Any:
    """`path` opened for reading (a binary stream), if it is a regular file.

    A symbolic link is not followed, and a named pipe, device, socket or folder is refused
    before anything is read: it is opened non-blocking (so a pipe with no writer cannot make
    the open wait) and checked with ``fstat`` on the descriptor, not on a name that another
    process could change in between.

    Raises:
        CheckpointError: `path` is a symbolic link or no regular file (`label` names it).
        FileNotFoundError: `path` is missing.
        OSError: It cannot be opened.
    """
    flags = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC
    try:
        descriptor = os.open(path, flags)
    except OSError as error:
        if error.errno == errno.ELOOP:
            raise CheckpointError(
                f"{label} is a symbolic link; a checkpoint's files lie in its folder"
            ) from None
        if error.errno == errno.ENXIO:  # a socket
            raise CheckpointError(f"{label} is not a regular file") from None
        raise
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise CheckpointError(f"{label} is not a regular file")
    except BaseException:
        os.close(descriptor)
        raise
    return os.fdopen(descriptor, "rb")


def _read_manifest(path: Path) -> Any:
    """A manifest's JSON value, read only from a regular file.

    Raises:
        CheckpointError: A symbolic link, no regular file, or no JSON (or JSON nested past
            what the parser can follow).
        OSError: It cannot be read (``FileNotFoundError`` when missing).
    """
    with _open_regular(path, str(path)) as stream:
        data = stream.read()
    try:
        return json.loads(data)
    except (UnicodeDecodeError, json.JSONDecodeError, RecursionError) as error:
        raise CheckpointError(f"{path}: no run checkpoint ({error})") from None


def _is_file_name(name: Any) -> TypeGuard[str]:
    """Whether `name` is a plain name of a checkpoint's file in its folder.

    No path (no folder, no ``..``), no NUL, and never the run folder's lock file.
    """
    return (
        isinstance(name, str)
        and os.path.basename(name) == name
        and name not in ("", ".", "..", LOCK_NAME)
        and "\0" not in name
    )


def _open_checked(directory: Path, entry: Any, label: str) -> _OpenFile:
    """The file an entry names, opened, with the digest the manifest recorded.

    The name must be a plain file name in `directory` (no ``..``, no folder), and the file a
    regular file there: a symbolic link is not followed, so nothing outside the folder is read.
    """
    name = entry.get("file") if isinstance(entry, dict) else None
    if not _is_file_name(name):
        raise CheckpointError(f"{label}: names no file in its folder: {name!r}")
    digest = entry.get("sha256")
    if not isinstance(digest, str):
        raise CheckpointError(f"{label}: {name} has no digest")
    try:
        stream = _open_regular(directory / name, f"{label}: {name}")
    except FileNotFoundError:
        raise CheckpointError(f"{label}: {name} is missing") from None
    try:
        if hashlib.file_digest(stream, "sha256").hexdigest() != digest:
            raise CheckpointError(f"{label}: {name} is not the file this checkpoint wrote")
        stream.seek(0)
    except BaseException:
        stream.close()
        raise
    return _OpenFile(stream)


def load_run(path: Path | str, *, trust_pickles: bool = False) -> RunState:
    """The run checkpoint whose manifest is `path`, every field and file checked first.

    Like ``numpy.load(allow_pickle=False)``, nothing is unpickled unless the caller trusts the
    folder: an environment stored as plain data (Gymnasium's classic tasks) never needs it; one
    whose state holds other objects has them pickled in a file beside the manifest, and reading
    that file runs whatever code it names, so it is read only with `trust_pickles`. The digests
    in the manifest find damage, not tampering (they sit in the same folder). Everything else is
    checked before it is used: counters are non-negative integers, returns finite numbers,
    pending units distinct units of the agent, generator states in the exact shape NumPy writes
    them, environment attributes plain data under names that can be restored, a population's
    loop state and records (a native run's members too) as its members hold them, and every
    file a regular file in the manifest's folder (no ``..``, no symbolic link followed, no pipe
    waited on).

    Args:
        path: The manifest, ``run-NNNNNN.json``, with the checkpoint's other files beside it.
        trust_pickles: Unpickle the environment state that could not be stored as plain data;
            only for a folder you trust (your own runs).

    Returns:
        The run as it was saved; its ``seconds`` are 0.0.

    Raises:
        CheckpointError: The manifest is no run checkpoint, of another version or damaged (a
            field of the wrong type or out of range), or a file it names is missing, outside
            its folder, a symbolic link, changed since, or no valid agent checkpoint.
        UntrustedPickleError: The checkpoint needs a pickle unpickled and `trust_pickles` is
            false; the message says how to trust the folder.
        OSError: The manifest cannot be read (``FileNotFoundError`` when it is missing).

    Example::

        run = velto_kit.load_run("out/checkpoints/run-000200.json")
    """
    path = Path(path)
    manifest = _read_manifest(path)
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT_NAME:
        raise CheckpointError(f"{path}: no run checkpoint (format is not {FORMAT_NAME!r})")
    if manifest.get("version") != VERSION:
        raise CheckpointError(
            f"{path}: run state version {manifest.get('version')!r}, not {VERSION}"
        )
    try:
        if set(manifest) != _MANIFEST_KEYS:
            raise CheckpointError(f"the manifest holds the keys {sorted(manifest)}")
        start = _count(manifest["start_episode"], "start_episode")
        next_episode = _count(manifest["next_episode"], "next_episode")
        if next_episode < start:
            raise CheckpointError(f"next_episode {next_episode} is below start_episode {start}")
        description, loop = manifest["description"], manifest["loop"]
        if not isinstance(description, dict) or not isinstance(loop, dict):
            raise CheckpointError("the description and loop state must be objects")
        entries = manifest["members"]
        if not isinstance(entries, list) or not entries:
            raise CheckpointError("members must be a list of at least one")
        members = [
            _member(path, index, entry, trust_pickles) for index, entry in enumerate(entries)
        ]
        if not loop:
            if len(members) != 1 or len(members[0].returns) != next_episode - start:
                raise CheckpointError(
                    f"{len(members)} members and {len(members[0].returns)} returns for"
                    f" episodes {start} to {next_episode}"
                )
        else:
            _check_population(loop, members, description, start, next_episode)
        if loop.get("native") is True and manifest["env"] is not None:
            raise CheckpointError("a native run stores no environment state")
        return RunState(
            description=dict(description),
            start_episode=start,
            next_episode=next_episode,
            seconds=0.0,
            members=members,
            env=_read_env(path.parent, manifest["env"], f"{path}: environment", trust_pickles),
            loop=dict(loop),
        )
    except CheckpointError as error:
        if str(error).startswith(str(path)):
            raise
        raise CheckpointError(f"{path}: damaged run checkpoint ({error})") from error
    except (KeyError, TypeError, ValueError, AttributeError, OverflowError) as error:
        if isinstance(error, UntrustedPickleError):
            raise
        raise CheckpointError(f"{path}: damaged run checkpoint ({error!r})") from error
    except RecursionError:
        raise CheckpointError(f"{path}: damaged run checkpoint (nested too deeply)") from None


def _count(value: Any, name: str, least: int = 0) -> int:
    """`value`, an integer of at least `least` (no bool, no float)."""
    if type(value) is not int or value < least:
        raise CheckpointError(f"{name} must be an integer of at least {least}, not {value!r}")
    return value


def _number(value: Any, name: str) -> float:
    """`value`, a finite int or float (no bool), as a float."""
    if type(value) not in (int, float) or not math.isfinite(value):
        raise CheckpointError(f"{name} must be a finite number, not {value!r}")
    return float(value)


def _counts(values: Any, name: str, least: int = 0) -> list[int]:
    if not isinstance(values, list):
        raise CheckpointError(f"{name} must be a list")
    return [_count(value, name, least) for value in values]


def _numbers(values: Any, name: str) -> list[float]:
    if not isinstance(values, list):
        raise CheckpointError(f"{name} must be a list")
    return [_number(value, name) for value in values]


_MANIFEST_KEYS = {
    "format", "version", "start_episode", "next_episode", "description", "members", "env", "loop",
}  # fmt: skip
_MEMBER_KEYS = {"agent", "taken", "rng", "returns", "lengths", "steps", "env"}
_LOOP_KEYS = {
    "episode", "idle", "pending", "owed", "returns", "lengths", "records", "joining", "joined",
}  # fmt: skip
_NATIVE_LOOP_KEYS = {"native", "members", "records"}
_NATIVE_MEMBER_KEYS = {"task", "taken", "begun", "next_episode", "steps"}


def _member(path: Path, index: int, entry: Any, trust_pickles: bool) -> MemberState:
    label = f"{path}: member {index}"
    if not isinstance(entry, dict) or set(entry) != _MEMBER_KEYS:
        raise CheckpointError(f"{label}: damaged entry")
    with _open_checked(path.parent, entry["agent"], label) as stream:
        agent = read_checkpoint(stream, FileSource(stream), f"{label}: {entry['agent']['file']}")
    units = _native.num_units(agent)
    taken = _counts(entry["taken"], "taken")
    if any(unit >= units for unit in taken) or taken != sorted(set(taken)):
        raise CheckpointError(
            f"{label}: taken {taken} are not distinct units of an agent of {units}"
        )
    try:
        rng = generator_from_state(entry["rng"])
    except GeneratorStateError as error:
        raise CheckpointError(f"{label}: damaged generator state ({error})") from error
    returns = _numbers(entry["returns"], "returns")
    lengths = _counts(entry["lengths"], "lengths", least=1)
    steps = _count(entry["steps"], "steps")
    if len(returns) != len(lengths) or steps != sum(lengths):
        raise CheckpointError(
            f"{label}: {len(returns)} returns, {len(lengths)} lengths and {steps} steps do not"
            " agree"
        )
    env = _read_env(path.parent, entry["env"], label, trust_pickles)
    return MemberState(agent, taken, rng, env, returns, lengths, steps)


def _check_population(
    loop: dict[str, Any],
    members: list[MemberState],
    description: dict[str, Any],
    start: int,
    next_episode: int,
) -> None:
    """A population's loop state: one entry per agent, each of its type and range.

    Its records must hold every finished episode of every agent, each agent's in order from
    its first, as its member's returns and lengths hold them; each agent's episode count follows
    from them, and the checkpoint's number is the slowest agent's count.
    """
    count = len(members)
    starts = _counts(description.get("start_episodes"), "description start_episodes")
    if len(starts) != count or min(starts) != start:
        raise CheckpointError(
            f"start_episodes {starts} are not those of {count} agents from episode {start}"
        )
    native = loop.get("native") is True
    required = _NATIVE_LOOP_KEYS if native else _LOOP_KEYS - {"joining", "joined"}
    if not required <= set(loop) <= (_NATIVE_LOOP_KEYS if native else _LOOP_KEYS):
        raise CheckpointError(f"the loop state holds {sorted(loop)}")

    def rows(values: Any, name: str) -> list[Any]:
        if not isinstance(values, list) or len(values) != count:
            raise CheckpointError(f"loop {name} must be a list of {count}")
        return values

    def row(value: Any, name: str) -> int:
        if type(value) is not int or not 0 <= value < count:
            raise CheckpointError(f"loop {name}: {value!r} is no agent of {count}")
        return value

    _check_records(loop["records"], members, starts, row)
    counts = [first + len(member.returns) for first, member in zip(starts, members, strict=True)]
    if next_episode != min(counts):
        raise CheckpointError(
            f"next_episode {next_episode} is not the slowest agent's count of {counts}"
        )
    if native:
        _check_native_members(rows(loop["members"], "members"), members, counts)
        return
    if _counts(rows(loop["episode"], "episode"), "loop episode") != counts:
        raise CheckpointError(f"loop episode {loop['episode']} is not the records' {counts}")
    if not all(type(flag) is bool for flag in rows(loop["idle"], "idle")):
        raise CheckpointError("loop idle must hold booleans")
    _numbers(rows(loop["returns"], "returns"), "loop returns")
    _counts(rows(loop["lengths"], "lengths"), "loop lengths")
    for name, kind in (("pending", bool), ("owed", float)):
        pairs = loop[name]
        if not isinstance(pairs, list):
            raise CheckpointError(f"loop {name} must be a list")
        for pair in pairs:
            if not isinstance(pair, list) or len(pair) != 2:
                raise CheckpointError(f"loop {name} holds {pair!r}")
            row(pair[0], name)
            if kind is bool and type(pair[1]) is not bool:
                raise CheckpointError(f"loop {name} holds {pair!r}")
            if kind is float:
                _number(pair[1], f"loop {name}")
        if len({pair[0] for pair in pairs}) != len(pairs):
            raise CheckpointError(f"loop {name} names an agent twice: {pairs!r}")
    for name in ("joining", "joined"):
        agents = [row(value, name) for value in _list(loop.get(name, []), f"loop {name}")]
        if agents != sorted(set(agents)):
            raise CheckpointError(f"loop {name} {agents} are not distinct agents in order")


def _list(values: Any, name: str) -> list[Any]:
    if not isinstance(values, list):
        raise CheckpointError(f"{name} must be a list")
    return values


def _check_records(
    records: Any, members: list[MemberState], starts: list[int], row: Callable[[Any, str], int]
) -> None:
    """A population's records, ``[agent, episode, return, length, steps]`` each.

    They hold every finished episode, each agent's from its first in order with its steps
    counted on, as its member holds them.
    """
    done = [0] * len(members)
    for record in _list(records, "loop records"):
        if not isinstance(record, list) or len(record) != 5:
            raise CheckpointError(f"loop records hold {record!r}")
        agent = row(record[0], "records")
        member, k = members[agent], done[agent]
        episode = _count(record[1], "records episode")
        value = _number(record[2], "records return")
        length = _count(record[3], "records length", least=1)
        steps = _count(record[4], "records steps")
        if (
            k >= len(member.returns)
            or episode != starts[agent] + k
            or (value, length) != (member.returns[k], member.lengths[k])
            or steps != sum(member.lengths[: k + 1])
        ):
            raise CheckpointError(
                f"loop records: {record!r} is not episode {starts[agent] + k} of agent {agent}"
                " as its member holds it"
            )
        done[agent] += 1
    for agent, member in enumerate(members):
        if done[agent] != len(member.returns):
            raise CheckpointError(
                f"loop records hold {done[agent]} episodes of agent {agent}, its member"
                f" {len(member.returns)}"
            )


def _check_native_members(
    entries: list[Any], members: list[MemberState], counts: list[int]
) -> None:
    """A native run's members, each as of its last hand-over.

    Their form is ``velto_kit.experiments.native_loop``'s ``member_progress``: every field of
    its type and range and as the agent's member and the records hold it.
    """
    for index, (entry, member) in enumerate(zip(entries, members, strict=True)):
        label = f"loop member {index}"
        if not isinstance(entry, dict) or set(entry) != _NATIVE_MEMBER_KEYS:
            keys = sorted(entry) if isinstance(entry, dict) else entry
            raise CheckpointError(f"{label} is no native member: {keys!r}")
        begun, done = entry["begun"], len(member.returns)
        if type(begun) is not bool or begun != (done > 0):
            raise CheckpointError(f"{label} begun is {begun!r} after {done} episodes")
        if _count(entry["next_episode"], f"{label} next_episode") != counts[index]:
            raise CheckpointError(
                f"{label} next_episode {entry['next_episode']} is not {counts[index]}, its"
                f" first episode and the {done} its records hold"
            )
        if _count(entry["steps"], f"{label} steps") != member.steps:
            raise CheckpointError(f"{label} steps {entry['steps']} are not its {member.steps}")
        if _counts(entry["taken"], f"{label} taken") != member.taken:
            raise CheckpointError(f"{label} taken {entry['taken']} is not its {member.taken}")
        if member.env is not None:
            raise CheckpointError(f"member {index} of a native run holds an environment state")
        if type(member.rng.bit_generator).__name__ != "PCG64":
            raise CheckpointError(f"member {index}: a native run draws from PCG64 generators")
        try:
            task = decode(entry["task"])
        except Exception as error:  # noqa: BLE001 - any undecodable state is damage
            raise CheckpointError(f"{label} task state: {error!r}") from error
        _check_task_state(task, begun, label)


def _check_task_state(task: Any, begun: bool, label: str) -> None:
    """A native task's state: ``(values, PCG64 state, elapsed steps)``.

    It was never reset (elapsed steps -1) exactly when its member has not begun (whose task
    state a resumed run does not read). The values' ranges, which depend on the task's options,
    are checked by the native run it is resumed into.
    """
    if not (isinstance(task, tuple) and len(task) == 3):
        raise CheckpointError(f"{label} task state is {task!r}")
    values, generator, elapsed = task
    if not isinstance(values, list) or not all(
        type(value) is float and math.isfinite(value) for value in values
    ):
        raise CheckpointError(f"{label} task values must be finite floats, not {values!r}")
    if type(elapsed) is not int or elapsed < -1 or (elapsed >= 0) != begun:
        raise CheckpointError(f"{label} task has elapsed steps {elapsed!r} and begun {begun}")
    if not isinstance(generator, dict) or generator.get("bit_generator") != "PCG64":
        raise CheckpointError(f"{label} task generator is no PCG64 state: {generator!r}")
    try:
        generator_from_state(generator)
    except GeneratorStateError as error:
        raise CheckpointError(f"{label} task generator: {error}") from error


def checkpoint_files(manifest: Path | str) -> list[Path]:
    """The files beside `manifest` that its checkpoint names (agents, environment pickles).

    Args:
        manifest: A run checkpoint's manifest.

    Returns:
        The paths, in the manifest's folder, of the files it names by plain names; empty for a
        manifest that cannot be read or is no run checkpoint.

    Example:
        >>> checkpoint_files("no-such-folder/run-000001.json")
        []
    """
    manifest = Path(manifest)
    try:
        data = _read_manifest(manifest)
    except (OSError, CheckpointError):
        return []
    if not isinstance(data, dict) or data.get("format") != FORMAT_NAME:
        return []
    entries: list[Any] = []
    members = data.get("members")
    for entry in members if isinstance(members, list) else []:
        if isinstance(entry, dict):
            entries.append(entry.get("agent"))
            env = entry.get("env")
            entries.append(env.get("pickled") if isinstance(env, dict) else None)
    env = data.get("env")
    entries.append(env.get("pickled") if isinstance(env, dict) else None)
    names = [entry.get("file") for entry in entries if isinstance(entry, dict)]
    return [manifest.parent / name for name in names if _is_file_name(name)]


def run_checkpoints(directory: Path | str) -> list[Path]:
    """The manifests of the run checkpoints in `directory`, oldest first.

    Args:
        directory: The run's checkpoint folder.

    Returns:
        The paths of its ``run-NNNNNN.json`` files (exactly the names ``manifest_path`` gives,
        no other ``run-*.json``) in the order of their numbers; an empty list when the folder is
        missing.

    Example:
        >>> run_checkpoints("no-such-folder")
        []
    """
    directory = Path(directory)
    if not directory.is_dir():
        return []
    found = []
    for path in directory.glob(f"{_MANIFEST_PREFIX}*.json"):
        # Only the names manifest_path gives: six or more ASCII digits, no other leading zeros.
        number = path.stem[len(_MANIFEST_PREFIX) :]
        if number.isascii() and number.isdigit() and manifest_path(directory, int(number)) == path:
            found.append((int(number), path))
    return [path for _, path in sorted(found)]


def latest_run(directory: Path | str, *, trust_pickles: bool = False) -> RunState | None:
    """The newest intact run checkpoint in `directory`, or None if there is none.

    A damaged one (a file changed or lost since, a field out of range) is passed over with a
    warning for the one before it. Nothing is unpickled unless `trust_pickles` (see
    ``load_run``): a checkpoint that needs it is not damaged, so it is not passed over but
    refused with ``UntrustedPickleError``.

    Args:
        directory: The run's checkpoint folder.
        trust_pickles: Unpickle environment state that could not be stored as plain data; only
            for a folder you trust (your own runs).

    Returns:
        The newest checkpoint that loads (see ``load_run``); None when the folder is missing or
        holds no intact one.

    Raises:
        UntrustedPickleError: The newest intact checkpoint needs a pickle unpickled and
            `trust_pickles` is false.
        OSError: A manifest cannot be read.

    Example:
        >>> latest_run("no-such-folder") is None
        True
    """
    for path in reversed(run_checkpoints(directory)):
        try:
            return load_run(path, trust_pickles=trust_pickles)
        except CheckpointError as error:
            warnings.warn(f"passing over a damaged run checkpoint: {error}", stacklevel=2)
    return None
