r"""Sweeps on Ray Tune: trains one learner per point of a grid over settings x seeds x tasks.

Without --address the sweep runs on a Ray started here by ray.init() (nothing to set up); with
--address it joins a running Ray cluster (`ray start --head` on one machine, `ray start
--address=HEAD:6379` on the others). Tune keeps every trial's records and checkpoints under
--out; --resume continues an interrupted sweep from there without rerunning finished trials. At
the end the program writes a table of the trials (results.csv), one of every episode
(episodes.csv) and a figure of the returns (returns.png) into --out.

    velto sweep --smoke --out /tmp/smoke          # two short CartPole-v1 trials
    velto sweep --envs CartPole-v1 Acrobot-v1 --seeds 0 1 2 \
        --set alpha=0.1,0.01 --set eta_actor=0.005,0.01 --episodes 300 --out sweeps/first
    velto sweep --resume --out sweeps/first       # after an interruption
    velto sweep --seeds 0 1 2 3 4 5 6 7 --seeds-per-trial 8 --out sweeps/pop

--seeds-per-trial N trains each N consecutive seeds of --seeds as one trial: a population of N
agents on a vector environment, its tables still one row per seed.
"""

from __future__ import annotations

import argparse
import ast
import json
import os
import sys
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import gymnasium as gym

from velto_kit.cli.tasks import command_parser
from velto_kit.sweeps.sweep import (
    EXPERIMENT_NAME,
    check_grid,
    episode_rows,
    run_sweep,
    trial_rows,
    unstarted_trials,
    write_csv,
)
from velto_kit.sweeps.sweep_plot import curve_labels, plot_returns
from velto_kit.sweeps.trial_config import TrialConfig

# The smoke grid: two seeds of one short CartPole-v1 run, which fit in a CI stage.
SMOKE: dict[str, list[Any]] = {
    "env_id": ["CartPole-v1"], "seed": [0, 1], "episodes": [20], "checkpoint_every": [10],
}  # fmt: skip
# How the tables and the figure are made unless --window / --smoothing say otherwise; a sweep
# keeps its choice in its folder (TABLE_FILE), so that --resume tabulates it the same way.
TABLE = {"window": 20, "smoothing": 20}
SMOKE_TABLE = {"window": 10, "smoothing": 5}
TABLE_FILE = "table.json"
# A small object store: a trial sends Tune only its metrics and checkpoint folders.
OBJECT_STORE_BYTES = 100 * 1024 * 1024
# Ray's choice of authentication for the clusters it starts ("token" or "disabled").
AUTH_MODE_VARIABLE = "RAY_AUTH_MODE"


def parse_value(text: str) -> Any:
    """A grid value from the command line: a Python literal (number, None, True) or a string."""
    try:
        return ast.literal_eval(text)
    except (ValueError, SyntaxError):
        return text


def parse_setting(text: str) -> tuple[str, list[Any]]:
    """`KEY=V1,V2,...` as the key and its values."""
    key, separator, values = text.partition("=")
    if not separator or not key or not values:
        raise argparse.ArgumentTypeError(f"expected KEY=V1,V2,..., not {text!r}")
    return key, [parse_value(value) for value in values.split(",")]


def build_parser(prog: str | None = "velto sweep") -> argparse.ArgumentParser:
    """The command line's options; the documentation's reference is generated from it.

    Args:
        prog: The program's name in its usage and messages.

    Returns:
        A new parser.
    """
    parser = command_parser(prog, __doc__)
    parser.add_argument("--out", type=Path, default=Path("sweep_results"), help="output folder")
    parser.add_argument("--name", default=EXPERIMENT_NAME, help="the sweep's folder in --out")
    parser.add_argument("--address", help="Ray cluster to join (HEAD:6379); default: a local Ray")
    parser.add_argument("--resume", action="store_true", help="continue the sweep in --out")
    parser.add_argument("--smoke", action="store_true", help="two short CartPole-v1 trials")
    parser.add_argument("--envs", nargs="+", default=["CartPole-v1"], help="Gymnasium ids")
    parser.add_argument("--seeds", type=int, nargs="+", default=[0, 1, 2], help="seeds")
    parser.add_argument(
        "--seeds-per-trial",
        type=int,
        default=1,
        help="train each this many consecutive --seeds as one population (velto learner)",
    )
    parser.add_argument("--learners", nargs="+", default=["velto"], help="velto, sarsa, random")
    parser.add_argument("--episodes", type=int, default=300, help="episodes per trial")
    parser.add_argument(
        "--set",
        dest="settings",
        type=parse_setting,
        action="append",
        default=[],
        metavar="KEY=V1,V2",
        help="a grid axis over any trial setting (repeatable), e.g. alpha=0.1,0.01",
    )
    parser.add_argument(
        "--window", type=int, help=f"episodes in the final mean (default {TABLE['window']})"
    )
    parser.add_argument(
        "--smoothing", type=int, help=f"figure's moving average (default {TABLE['smoothing']})"
    )
    parser.add_argument("--max-failures", type=int, default=2, help="retries of a failed trial")
    parser.add_argument("--cpus-per-trial", type=float, default=1.0, help="CPUs Tune reserves")
    parser.add_argument("--num-cpus", type=int, help="CPUs of the local Ray (default: all)")
    parser.add_argument("--max-concurrent-trials", type=int, help="default: as CPUs allow")
    parser.add_argument("--quiet", action="store_true", help="no Tune status tables")
    return parser


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    """The checked options of `argv` (a usage error, exit status 2, for bad ones)."""
    parser = build_parser()
    arguments = parser.parse_args(argv)
    for name in ("episodes", "window", "smoothing"):
        if getattr(arguments, name) is not None and getattr(arguments, name) < 1:
            parser.error(f"--{name} must be at least 1")
    if arguments.max_failures < 0:
        parser.error("--max-failures must be at least 0")
    try:
        arguments.first_seeds = first_seeds(arguments.seeds, arguments.seeds_per_trial)
    except ValueError as error:
        parser.error(str(error))
    return arguments


def first_seeds(seeds: Sequence[int], per_trial: int) -> list[int]:
    """The first seed of each trial when every `per_trial` consecutive seeds form one trial."""
    if per_trial < 1:
        raise ValueError(f"--seeds-per-trial must be at least 1, not {per_trial}")
    if len(seeds) % per_trial:
        raise ValueError(f"{len(seeds)} seeds do not split into trials of {per_trial}")
    groups = [list(seeds[i : i + per_trial]) for i in range(0, len(seeds), per_trial)]
    for group in groups:
        if group != list(range(group[0], group[0] + per_trial)):
            raise ValueError(f"seeds {group} of one trial must be consecutive")
    return [group[0] for group in groups]


def grid_from(arguments: argparse.Namespace) -> dict[str, list[Any]]:
    """The sweep's grid: tasks x learners x seeds x the --set axes."""
    if arguments.smoke:
        return {key: list(values) for key, values in SMOKE.items()}
    grid: dict[str, list[Any]] = {
        "env_id": list(arguments.envs),
        "learner": list(arguments.learners),
        "seed": list(arguments.first_seeds),
        "episodes": [arguments.episodes],
    }
    if arguments.seeds_per_trial > 1:
        grid["seeds_per_trial"] = [arguments.seeds_per_trial]
    for key, values in arguments.settings:
        grid[key] = values
    return grid


def check_tasks(grid: dict[str, list[Any]]) -> None:
    """Fails before Ray starts when a task cannot be made (a misspelt id, a missing package)."""
    from velto_kit.sweeps.tune import make_env

    for env_id in grid.get("env_id", [TrialConfig.env_id]):
        make_env(TrialConfig(env_id=env_id)).close()


def table_options(arguments: argparse.Namespace, folder: Path) -> dict[str, int]:
    """The window and smoothing of the sweep's tables.

    As given, else as the sweep in `folder` was first tabulated, else the defaults; written back to
    `folder`.
    """
    path = folder / TABLE_FILE
    if path.exists():
        options = json.loads(path.read_text())
    else:
        options = dict(SMOKE_TABLE if arguments.smoke else TABLE)
    for name in options:
        if getattr(arguments, name) is not None:
            options[name] = getattr(arguments, name)
    folder.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(options))
    return options


def start_ray(arguments: argparse.Namespace) -> bool:
    """Joins the cluster at --address, or starts a local Ray; True when this process started it."""
    if not arguments.address:
        # The trials' workers find a task module of one's own (--envs my_module:MyEnv) in the
        # folder the sweep is started in, as this process does: they inherit PYTHONPATH.
        paths = [os.getcwd(), *filter(None, os.environ.get("PYTHONPATH", "").split(os.pathsep))]
        os.environ["PYTHONPATH"] = os.pathsep.join(dict.fromkeys(paths))
        # A Ray started here keeps Ray's token authentication, chosen explicitly: left unset, Ray
        # turns it on anyway and warns that it did. A mode the user has set is kept. It must be
        # in the environment before Ray is imported, which reads it once.
        os.environ.setdefault(AUTH_MODE_VARIABLE, "token")
    import ray

    if ray.is_initialized():
        return False
    if arguments.address:
        ray.init(address=arguments.address)
    else:
        # "local" starts a Ray of our own even where a `ray start` cluster runs on this
        # machine (plain ray.init() would join that one); --address auto joins it.
        ray.init(
            address="local",
            num_cpus=arguments.num_cpus,
            include_dashboard=False,
            object_store_memory=OBJECT_STORE_BYTES,
        )
    return True


def summary(trials: list[dict[str, Any]], window: int) -> str:
    """The trials as a Markdown table: task, learner, seed, the settings that differ, results."""
    labels = curve_labels(trials)
    lines = [
        f"| trial | task | learner | seed | settings | last {window} | episodes | steps"
        " | seconds | status |",
        "|---|---|---|---:|---|---:|---:|---:|---:|---|",
    ]
    for trial in trials:
        lines.append(
            f"| {trial['trial']} | {trial['env_id']} | {trial['learner']} | {trial['seed']}"
            f" | {labels[trial['trial']]} | {trial['final_mean_return']:.1f}"
            f" | {trial['episodes_done']} | {trial['steps']} | {trial['seconds']:.1f}"
            f" | {trial['status']} |"
        )
    return "\n".join(lines)


def sweep(arguments: argparse.Namespace, grid: dict[str, list[Any]] | None, out: Path) -> Any:
    """Runs (or with --resume continues) the sweep on the Ray this process is connected to."""
    return run_sweep(
        grid,
        storage=out,
        name=arguments.name,
        resume=arguments.resume,
        max_failures=arguments.max_failures,
        cpus_per_trial=arguments.cpus_per_trial,
        max_concurrent_trials=arguments.max_concurrent_trials,
        verbose=0 if arguments.quiet else 1,
    )


# What to install when Ray Tune is missing.
SWEEP_EXTRA = 'pip install "velto_actor_critic[sweep]"'


def main(argv: Sequence[str] | None = None) -> int:
    """Runs ``velto sweep``.

    Args:
        argv: The options (None: the process's own).

    Returns:
        The exit status: 0 when every trial is done, 1 when some are not (the message says how
        to continue them).
    """
    arguments = parse_arguments(argv)
    if not arguments.address:
        # Ray reads its authentication mode once, when it is imported (see start_ray).
        os.environ.setdefault(AUTH_MODE_VARIABLE, "token")
    try:
        import ray.tune  # noqa: F401  (only whether it is there)
    except ImportError:
        sys.exit(f"error: velto sweep runs on Ray Tune, which is not installed: {SWEEP_EXTRA}")
    out = arguments.out.resolve()
    grid = None
    if not arguments.resume:
        grid = grid_from(arguments)
        try:
            check_grid(grid)
            check_tasks(grid)
        except (ValueError, gym.error.Error) as error:
            sys.exit(f"error: {error}")
        if (out / arguments.name).exists():
            sys.exit(f"error: {out / arguments.name} holds a sweep: add --resume, or another --out")
    start = time.perf_counter()
    started_here = start_ray(arguments)
    try:
        results = sweep(arguments, grid, out)
    except ValueError as error:
        sys.exit(f"error: {error}")
    finally:
        if started_here:
            import ray

            ray.shutdown()
    options = table_options(arguments, out)
    window = options["window"]
    not_started = unstarted_trials(results)
    trials = trial_rows(results, window)
    write_csv(trials, out / "results.csv")
    episodes = episode_rows(results)
    write_csv(episodes, out / "episodes.csv")
    plot_returns(trials, episodes, out / "returns.png", options["smoothing"])
    print(summary(trials, window))
    print(f"tables written to {out / 'results.csv'} and {out / 'episodes.csv'}")
    print(f"figure written to {out / 'returns.png'}")
    print(f"total wall time {time.perf_counter() - start:.1f} s")
    unfinished = [trial for trial in trials if trial["status"] != "done"]
    if not_started:
        print(f"{len(not_started)} trial(s) not started: {', '.join(not_started)}")
    if unfinished or not_started:
        print(
            f"{len(unfinished) + len(not_started)} trial(s) not done:"
            f" continue with --resume --out {out}"
        )
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
