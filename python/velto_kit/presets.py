"""Tuned settings per task: what the full evidence study chose for the agent on each task.

A preset is data, not code: the study's report step writes ``presets_data.json`` beside this
module from its tuning results (the candidate with the best mean final return over the tuning
seeds), with the return those settings reached on the reported seeds and the command that
reproduces it. Until that study has run, the package has no such file and no task has a preset:
``tasks()`` is empty and ``for_task`` says so.

Examples:
    >>> from velto_kit import presets
    >>> presets.has_preset("NoSuchTask-v0")
    False
"""

from __future__ import annotations

import dataclasses
import json
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from velto_kit.experiments.settings import AgentSettings

DATA_FILE = Path(__file__).resolve().parent / "presets_data.json"
"""Where the study writes the presets that ``for_task`` reads."""

# What a preset gives ``features_for`` besides the environment (examples/train.py reads each).
FEATURE_KEYS = frozenset({"tiles", "tilings", "hash_size"})

# What a data file must say of itself: only a complete run of the full study writes presets.
COMPLETE = "complete"


class NoPresetError(LookupError):
    """A task that has no preset; the message lists the tasks that have one."""


@dataclass(frozen=True)
class Preset:
    """The tuned settings of one task and what they reached.

    Attributes:
        env_id: The Gymnasium id of the task.
        row: The study's name for the task at this time limit.
        max_episode_steps: The time limit the settings were tuned with (None: the task's own).
        usual_limit: Whether this is the task's preset at its usual limit (the one ``for_task``
            gives when no limit is asked for).
        gamma: The discount.
        episodes: The horizon the settings were tuned and reported at.
        agent: The agent's learning parameters.
        features: What ``velto_kit.features_for`` takes besides the environment (``tiles``,
            ``tilings``, ``hash_size``).
        mapping: The name of the action mapping (``velto_kit.action_mapping``).
        final_return: The mean return of the last ``window`` episodes over the reported seeds.
        interval: Its 95 % bootstrap interval over those seeds, ``(low, high)``.
        window: The episodes of that final mean.
        seeds: The reported seeds.
        command: The command that reproduces the return.

    Example:
        >>> preset = Preset.from_dict({"env_id": "Acrobot-v1", "row": "Acrobot-v1",
        ...     "max_episode_steps": None, "usual_limit": True,
        ...     "gamma": 0.99, "episodes": 500, "agent": {"alpha": 0.01},
        ...     "features": {"tiles": 4, "tilings": 8, "hash_size": None}, "mapping": "binary",
        ...     "final_return": -90.0, "interval": [-95.0, -85.0], "window": 50,
        ...     "seeds": [0, 1], "command": "python examples/train.py --env Acrobot-v1"})
        >>> preset.agent.alpha, preset.agent.lambda_
        (0.01, 0.5)
    """

    env_id: str
    row: str
    max_episode_steps: int | None
    usual_limit: bool
    gamma: float
    episodes: int
    agent: AgentSettings
    features: dict[str, Any]
    mapping: str
    final_return: float
    interval: tuple[float, float]
    window: int
    seeds: tuple[int, ...]
    command: str

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Preset:
        """The preset an entry of the data file describes.

        Args:
            data: One entry: every attribute by name, ``agent`` as a dict of the settings that
                differ from ``AgentSettings``' defaults (or all of them).

        Returns:
            The preset.

        Raises:
            ValueError: A key missing or unknown, an agent setting ``AgentSettings`` does
                not have, or features other than ``FEATURE_KEYS`` (the message names them).
        """
        names = {field.name for field in dataclasses.fields(cls)}
        missing, unknown = names - set(data), set(data) - names
        if missing or unknown:
            raise ValueError(f"preset entry: missing {sorted(missing)}, unknown {sorted(unknown)}")
        known = {field.name for field in dataclasses.fields(AgentSettings)}
        strange = set(data["agent"]) - known
        if strange:
            raise ValueError(
                f"preset of {data['env_id']}: unknown agent settings {sorted(strange)}"
            )
        if set(data["features"]) != FEATURE_KEYS:
            raise ValueError(
                f"preset of {data['env_id']}: features {sorted(data['features'])}, not"
                f" {sorted(FEATURE_KEYS)}"
            )
        return cls(
            env_id=str(data["env_id"]),
            row=str(data["row"]),
            max_episode_steps=data["max_episode_steps"],
            usual_limit=bool(data["usual_limit"]),
            gamma=float(data["gamma"]),
            episodes=int(data["episodes"]),
            agent=AgentSettings(**data["agent"]),
            features=dict(data["features"]),
            mapping=str(data["mapping"]),
            final_return=float(data["final_return"]),
            interval=(float(data["interval"][0]), float(data["interval"][1])),
            window=int(data["window"]),
            seeds=tuple(int(seed) for seed in data["seeds"]),
            command=str(data["command"]),
        )


def load_presets(path: Path | str | None = None, *, require_complete: bool = True) -> list[Preset]:
    """Every preset in a data file the study wrote; none where there is no file.

    Args:
        path: The data file (None: the package's own, ``DATA_FILE``).
        require_complete: Refuse a file that a complete run of the full study did not write
            (a smoke or pilot run's file, whose numbers are no result).

    Returns:
        The presets, in the file's order.

    Raises:
        ValueError: The file is not a presets file, holds an entry that is not a preset, or
            (with `require_complete`) was not written by a complete run.
        OSError: The file exists but cannot be read.

    Example:
        >>> load_presets("no/such/file.json")
        []
    """
    path = Path(DATA_FILE if path is None else path)
    if not path.exists():
        return []
    data = json.loads(path.read_text())
    if not isinstance(data, dict) or "presets" not in data:
        raise ValueError(f"{path} is not a presets file")
    if require_complete and data.get("status") != COMPLETE:
        raise ValueError(
            f"{path} says its run was {data.get('status')!r}, not {COMPLETE!r}: its settings are"
            " no study result"
        )
    return [Preset.from_dict(entry) for entry in data["presets"]]


def tasks(path: Path | str | None = None) -> list[str]:
    """The tasks that have a preset, each once, sorted.

    Args:
        path: The data file (None: the package's own, ``DATA_FILE``).

    Returns:
        Their Gymnasium ids.

    Example:
        >>> isinstance(tasks(), list)
        True
    """
    return sorted({preset.env_id for preset in load_presets(path)})


def has_preset(
    env_id: str, max_episode_steps: int | None = None, path: Path | str | None = None
) -> bool:
    """Whether `env_id` (at that time limit) has a preset.

    Args:
        env_id: A Gymnasium id.
        max_episode_steps: The time limit; None asks for the task's preset at its usual limit.
        path: The data file (None: the package's own, ``DATA_FILE``).

    Returns:
        True where ``for_task`` gives one.

    Example:
        >>> has_preset("NoSuchTask-v0")
        False
    """
    try:
        for_task(env_id, max_episode_steps, path)
    except NoPresetError:
        return False
    return True


def for_task(
    env_id: str, max_episode_steps: int | None = None, path: Path | str | None = None
) -> Preset:
    """The preset of `env_id`.

    A task can have presets at several time limits (MountainCar-v0 at its own 200 steps and at
    1000); `max_episode_steps` None gives the one the study ran at the task's usual limit.

    Args:
        env_id: A Gymnasium id, e.g. ``"Acrobot-v1"``.
        max_episode_steps: The time limit of the preset wanted, or None.
        path: The data file (None: the package's own, ``DATA_FILE``).

    Returns:
        The preset.

    Raises:
        NoPresetError: The task has none at that limit; the message lists those that have one.

    Example:
        >>> try:
        ...     for_task("NoSuchTask-v0")
        ... except NoPresetError as error:
        ...     print("no preset")
        no preset
    """
    presets = load_presets(path)
    for preset in presets:
        if preset.env_id != env_id:
            continue
        if max_episode_steps is None and preset.usual_limit:
            return preset
        if max_episode_steps is not None and preset.max_episode_steps == max_episode_steps:
            return preset
    have = ", ".join(
        preset.env_id + ("" if preset.usual_limit else f" ({preset.max_episode_steps} steps)")
        for preset in presets
    )
    limit = "" if max_episode_steps is None else f" with max_episode_steps={max_episode_steps}"
    have = have or "none (the full study has not run)"
    raise NoPresetError(f"no preset for {env_id}{limit}; tasks with one: {have}")
