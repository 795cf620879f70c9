"""The task an agent was trained on, rebuilt for ``velto evaluate`` and ``velto inspect``.

A task here is the environment (a registered id, ``module:Task-vN`` or ``module:Class``), its time
limit, the feature map's options and the action mapping: what ``velto train`` records in its
output folder's ``run.json``, what a run checkpoint's description records, or what the command
line gives (with ``velto train``'s defaults).
"""

from __future__ import annotations

import argparse
import json
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import velto_kit

# velto train's record of a run's options in its output folder.
RUN_FILE = "run.json"
# velto train's defaults for what the command line leaves out.
DEFAULTS: dict[str, Any] = {
    "env": "CartPole-v1",
    "max_episode_steps": None,
    "tiles": 6,
    "tilings": 8,
    "hash_size": None,
    "bounds": None,
    "mapping": "default",
}


@dataclass(frozen=True)
class Task:
    """An environment with its time limit, feature options and action mapping."""

    env_id: str
    max_episode_steps: int | None
    tiles: int
    tilings: int
    hash_size: int | None
    bounds: tuple[tuple[float, ...], tuple[float, ...]] | None
    mapping: str

    def make_env(self) -> Any:
        """A new environment of the task (velto_kit.make_env)."""
        return velto_kit.make_env(self.env_id, self.max_episode_steps)

    def make_features(self, env: Any) -> Any:
        """The task's feature map for `env` (velto_kit.features_for)."""
        return velto_kit.features_for(
            env, tiles=self.tiles, tilings=self.tilings, bounds=self.bounds,
            hash_size=self.hash_size,
        )  # fmt: skip

    def make_mapping(self, env: Any) -> velto_kit.ActionMapping:
        """The task's action mapping onto `env`'s ``Discrete`` actions."""
        n = getattr(env.action_space, "n", None)
        if n is None:
            space = env.action_space
            raise ValueError(f"{self.env_id}: needs a Discrete action space, not {space}")
        return velto_kit.action_mapping(self.mapping, int(n))


def command_parser(prog: str | None, doc: str | None) -> argparse.ArgumentParser:
    """A ``velto`` command's parser, its defaults shown in ``--help``.

    The first paragraph of its module's `doc` is its description.
    """
    return argparse.ArgumentParser(
        prog=prog,
        description=doc.split("\n\n")[0] if doc else None,
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
    )


def add_source_options(parser: argparse.ArgumentParser, metavar: str) -> None:
    """Adds what ``velto evaluate`` and ``velto inspect`` read.

    A run or agent, whether its pickles are trusted, and the options that name its task.
    """
    parser.add_argument(
        "source",
        type=Path,
        metavar=metavar,
        help="a velto train output folder, a run checkpoint folder or an agent file",
    )
    parser.add_argument(
        "--trust-run-pickles",
        action="store_true",
        help="unpickle what a run checkpoint holds beside plain data (your own runs only)",
    )
    add_task_options(parser)


def add_task_options(parser: argparse.ArgumentParser) -> None:
    """Adds the options that name a task, each None unless given (see `task_from_arguments`)."""
    group = parser.add_argument_group("task (default: the run's own, else velto train's)")
    group.add_argument("--env", help="environment: Task-vN, module:Task-vN or module:Class")
    group.add_argument("--max-episode-steps", type=int, help="time limit")
    group.add_argument("--tiles", type=int, help="tiles per dimension of one tiling")
    group.add_argument("--tilings", type=int, help="number of shifted tilings")
    group.add_argument("--hash-size", type=int, help="hash the tiles into this many features")
    group.add_argument("--bounds", type=float, nargs="+", metavar="LOW HIGH", help="Box bounds")
    group.add_argument("--mapping", help="units onto actions (default, binary, ...)")


def bounds_from(values: Any) -> tuple[tuple[float, ...], tuple[float, ...]] | None:
    """`--bounds` as given (LOW HIGH pairs, flat) or as recorded ([lows, highs]) as two tuples.

    Examples:
        >>> bounds_from([0, 1, 2, 3]), bounds_from([[0, 2], [1, 3]]), bounds_from(None)
        (((0, 2), (1, 3)), ((0, 2), (1, 3)), None)
    """
    if values is None:
        return None
    if len(values) == 2 and all(isinstance(side, list) for side in values):
        return tuple(values[0]), tuple(values[1])
    if len(values) % 2:
        raise ValueError("--bounds takes one LOW HIGH pair per dimension")
    return tuple(values[0::2]), tuple(values[1::2])


def task_from_arguments(arguments: argparse.Namespace, run_file: Path | None) -> Task:
    """The task the options give, completed from a run's record.

    The task the options give; what they leave out from `run_file` (velto train's record),
    else velto train's defaults.

    Raises:
        ValueError: `run_file` is not a record of a run, or --bounds is not in pairs.
    """
    recorded: dict[str, Any] = {}
    if run_file is not None:
        try:
            recorded = json.loads(run_file.read_text())
        except json.JSONDecodeError as error:
            raise ValueError(f"{run_file} is not a record of a velto train run: {error}") from error
        if not isinstance(recorded, dict):
            raise ValueError(f"{run_file} is not a record of a velto train run")
    return _choose(arguments, recorded)


def task_from_description(description: dict[str, Any], arguments: argparse.Namespace) -> Task:
    """The task a run checkpoint's description records.

    The task a run checkpoint's description records, options given on the command line
    winning; the features rebuilt must be the recorded ones.

    Raises:
        ValueError: The description names no task (a task made without an id: give --env), or
            the features rebuilt from it differ from the recorded ones.
    """
    features = description.get("features") or {}
    tiles = features.get("tiles_per_dimension")
    lows, highs = features.get("lows"), features.get("highs")
    recorded = {
        "env": description.get("env_id"),
        "max_episode_steps": description.get("time_limit"),
        "tiles": tiles[0] if isinstance(tiles, list) and tiles else tiles,
        "tilings": features.get("num_tilings"),
        "hash_size": features.get("hash_size"),
        "bounds": None if lows is None or highs is None else [list(lows), list(highs)],
        "mapping": (description.get("mapping") or {}).get("name"),
    }
    if recorded["env"] is None and getattr(arguments, "env", None) is None:
        raise ValueError("the run checkpoint names no registered task: give it with --env")
    task = _choose(arguments, recorded)
    if features.get("num_features") is not None:
        env = task.make_env()
        built = task.make_features(env).num_features
        env.close()
        if built != features["num_features"]:
            raise ValueError(
                f"the run's features had {features['num_features']} features, these options give"
                f" {built}: give the run's --tiles, --tilings, --hash-size and --bounds"
            )
    return task


def _choose(arguments: argparse.Namespace, recorded: dict[str, Any]) -> Task:
    """The task of the options given, else of `recorded` (where not None), else the defaults."""
    values = {}
    for name, default in DEFAULTS.items():
        given = getattr(arguments, name, None)
        if given is None:
            given = recorded.get(name)
        values[name] = default if given is None else given
    return Task(
        env_id=str(values["env"]),
        max_episode_steps=values["max_episode_steps"],
        tiles=int(values["tiles"]),
        tilings=int(values["tilings"]),
        hash_size=values["hash_size"],
        bounds=bounds_from(values["bounds"]),
        mapping=str(values["mapping"]),
    )
