"""``velto train``: trains one VeltoActorCritic per seed online on a Gymnasium task.

Any environment with a Box or Discrete observation space and a Discrete action space: Box
observations are tile-coded, Discrete ones one-hot coded, and the agent's units map onto the
actions (velto_kit.action_mapping). Every environment step is one agent step
(velto_kit.run_episodes). At the end the program prints, per seed, the mean return of the first
and of the last episodes next to a uniformly random policy on the same environment, and draws
the learning curve over all seeds with their spread shaded.

    velto train                      # CartPole-v1 with the defaults
    velto train --episodes 300 --seeds 0 1 --lambda 0.9
    velto train --env FrozenLake-v1 --episodes 2000 --gamma 0.95
    velto train --checkpoint-every 100 --output-dir run   # killed? then:
    velto train --checkpoint-every 100 --output-dir run --resume
    velto train --population          # all seeds as one population, one process
    velto train --env Acrobot-v1 --preset   # the settings tuned for the task
    velto train --backend gymnasium   # Gymnasium's own task, in Python

With --preset, the task's preset (velto_kit.presets: the settings the full evidence study tuned
for it) gives the agent settings, features, mapping, discount and time limit in place of the
defaults below; options given on the command line still win. Without it nothing changes, so the
documented commands (the README's CartPole table among them) give their numbers whatever
presets the installed velto_kit has.

Each seed's episodes are appended to OUTPUT_DIR/episodes/seed-S.csv as they end; returns.csv and
the figures are derived from these logs. A run resumed with --resume (the first run's options
again) continues each seed from its latest checkpoint and ends exactly as an uninterrupted run.
Checkpoints are read as data: nothing in them is unpickled unless --trust-run-pickles says the
folder is yours (only a custom environment's state needs it). One run writes OUTPUT_DIR at a time,
and a fresh run into a folder holding an earlier run's checkpoints stops unless --overwrite.

Where the task has an exact native version (velto_kit._native.exact_native_task_ids(): CartPole,
MountainCar, CliffWalking, FrozenLake, Taxi) the episodes run natively by default (--backend
native): each seed is a native run of one agent, the whole loop (task, features, mapping, agent)
in C++, with the returns, log and checkpointed agents of the Gymnasium run bit for bit.
--backend gymnasium runs Gymnasium's task in Python (velto_kit.run_episodes); other tasks
(Acrobot-v1, whose native version is not exact, or your own) run on Gymnasium with a note.

With --population the seeds train as one velto_kit.Population on a vector environment
(velto_kit.run_population), agent i on sub-environment i, instead of one loop per seed: a native
run by default (consecutive seeds only), whose returns are the single runs'. On Gymnasium
(--backend gymnasium), each agent gets the calls run_episodes would give it on its
sub-environment, so where the sub-environments are the single environments (Gymnasium's
synchronous vector environment, for tasks without a vectorised implementation, e.g.
FrozenLake-v1) the returns are the same as without --population for consecutive seeds.
CartPole-v1's vectorised implementation draws all its sub-environments' starts from one
generator, so its episodes, and so the returns, differ from the single runs' (equally good: the
same agents and settings on other starting states).
"""

import argparse
import csv
import dataclasses
import io
import json
import math
import multiprocessing
import os
import queue
import statistics
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import gymnasium as gym
import numpy as np

import velto_kit
from velto_kit import AgentSettings
from velto_kit._native import exact_native_task_ids
from velto_kit.cli.inspection_figure import write_inspection_figure
from velto_kit.cli.progress import Progress
from velto_kit.cli.tasks import command_parser
from velto_kit.experiments.episode_log import EpisodeLog, log_text
from velto_kit.experiments.native_loop import native_task_ids
from velto_kit.experiments.tracking import TensorBoardLogger, WandbLogger, chain
from velto_kit.state.atomic_files import write_atomically
from velto_kit.state.run_folder import (
    RunFolderError,
    RunFolderHasRun,
    RunFolderLock,
    remove_run_checkpoints,
)

# Where a run writes unless --output-dir says otherwise, from the folder it is started in.
OUTPUT_DIR = Path("velto-output")
# Time limit for tasks that have none of their own.
UNLIMITED_TASK_STEPS = 1000
BACKENDS = ("native", "gymnasium", "envpool")
# The run's options as JSON in OUTPUT_DIR, for velto evaluate and velto inspect.
RUN_FILE = "run.json"


@dataclass(frozen=True)
class Interval:
    """The values a learning parameter may take: from `low` to `high`, each end included or not.

    The agent takes any float; these are the values that mean what the option says (a discount,
    a probability, a step size), so that NaN, a discount above 1 or a negative step size stop the
    run before any training instead of giving a table of numbers that mean nothing.
    """

    low: float
    high: float
    low_included: bool = True
    high_included: bool = True

    def __contains__(self, value: float) -> bool:
        """Whether `value` lies in the interval (never for NaN)."""
        above = value >= self.low if self.low_included else value > self.low
        below = value <= self.high if self.high_included else value < self.high
        return above and below  # both false for NaN

    def __str__(self) -> str:
        """The interval as written in mathematics, e.g. ``(0, 1]``."""
        left = "[" if self.low_included else "("
        right = "]" if self.high_included else ")"
        return f"{left}{self.low:g}, {self.high:g}{right}"


UNIT = Interval(0.0, 1.0)
POSITIVE = Interval(0.0, math.inf, low_included=False, high_included=False)
# The ranges of the discount and of every AgentSettings field, by option destination.
RANGES: dict[str, Interval] = {
    "gamma": UNIT,
    "lambda_": UNIT,
    "alpha": POSITIVE,
    "epsilon": UNIT,
    "meta_step_size": Interval(0.0, math.inf, high_included=False),
    "eta": POSITIVE,
    "eta_actor": POSITIVE,
    "decay": Interval(0.0, 1.0, low_included=False),
    "action_prob_at_init": UNIT,
}


@dataclass(frozen=True)
class Tracking:
    """Where a run's episodes and learned step sizes are tracked: TensorBoard, W&B, neither."""

    tensorboard: Path | None = None
    wandb: bool = False
    wandb_project: str = "velto"
    wandb_group: str | None = None
    wandb_name: str | None = None
    every: int = 100


class RunTracker:
    """The trackers --tensorboard and --wandb ask for, for one seed's run or a population's.

    Made in the process that trains (a worker's own), so that each writes its own files: the
    event files of TENSORBOARD/NAME, the W&B run NAME in the group.
    """

    def __init__(self, settings: "Settings", name: str, prefixes: Sequence[str] | None) -> None:
        """Opens the trackers asked for (none: `callback` is None)."""
        tracking = settings.tracking
        self.loggers: list[Any] = []
        if tracking.tensorboard is not None:
            self.loggers.append(
                TensorBoardLogger(
                    tracking.tensorboard / name, every=tracking.every, prefixes=prefixes
                )
            )
        if tracking.wandb:
            config = {"env": settings.env_id, "gamma": settings.gamma, "run": name}
            self.loggers.append(
                WandbLogger(
                    tracking.wandb_project,
                    group=tracking.wandb_group or settings.env_id,
                    name=f"{tracking.wandb_name or settings.env_id} {name}",
                    config={**config, **dataclasses.asdict(settings.agent)},
                    every=tracking.every,
                    prefixes=prefixes,
                )
            )
        self.callback = chain(*self.loggers)

    def close(self) -> None:
        """Flushes and closes every tracker."""
        for logger in self.loggers:
            logger.close()


@dataclass(frozen=True)
class Settings:
    """Everything a run is trained with, from the command line."""

    env_id: str
    max_episode_steps: int | None
    episodes: int
    gamma: float
    tiles: int
    tilings: int
    hash_size: int | None
    bounds: tuple[tuple[float, ...], tuple[float, ...]] | None
    mapping: str
    agent: AgentSettings
    window: int
    random_episodes: int
    evaluation_episodes: int
    checkpoint_every: int | None
    output_dir: Path
    resume: bool = False
    trust_run_pickles: bool = False
    overwrite: bool = False
    keep_last: int | None = None
    backend: str = "gymnasium"
    tracking: Tracking = Tracking()


@dataclass
class SeedResult:
    """One seed's training returns, baselines, steps and seconds."""

    seed: int
    returns: list[float]
    random_returns: list[float]
    evaluation_returns: list[float]
    steps: int
    seconds: float


# Called once per finished episode with (seed, episode return).
EpisodeReport = Callable[[int, float], None]


def make_env(settings: Settings) -> gym.Env[Any, Any]:
    """A new environment of the run's task, with its time limit."""
    return velto_kit.make_env(settings.env_id, settings.max_episode_steps)


def time_limit(env_id: str, max_episode_steps: int | None) -> int | None:
    """The time limit to train with.

    The one asked for, else the environment's own, else UNLIMITED_TASK_STEPS, since an episode that
    never ends (CliffWalking-v1 walked at random, or a policy stuck against a wall) would never
    finish the run.
    """
    if max_episode_steps is not None:
        return max_episode_steps
    if velto_kit.env_spec(env_id).max_episode_steps is not None:
        return None
    return UNLIMITED_TASK_STEPS


def make_features(
    env: gym.Env[Any, Any], settings: Settings
) -> velto_kit.experiments.features.Features:
    """The run's feature map for `env`."""
    return velto_kit.features_for(
        env,
        tiles=settings.tiles,
        tilings=settings.tilings,
        bounds=settings.bounds,
        hash_size=settings.hash_size,
    )


def make_mapping(env: gym.Env[Any, Any], settings: Settings) -> velto_kit.ActionMapping:
    """The run's action mapping onto `env`'s Discrete actions."""
    space = env.action_space
    if not isinstance(space, gym.spaces.Discrete):
        raise ValueError(f"{settings.env_id}: needs a Discrete action space, not {space}")
    return velto_kit.action_mapping(settings.mapping, int(space.n))


def check_environment(settings: Settings) -> None:
    """Checks that the task can be trained on, before any training.

    Fails with ValueError or Gymnasium's error before any training when the environment cannot
    be made, coded into features or driven by the agent's units.
    """
    env = make_env(settings)
    make_mapping(env, settings)
    make_features(env, settings)
    env.close()


def seed_checkpoints(settings: Settings, seed: int) -> Path:
    """The seed's run checkpoint folder."""
    return settings.output_dir / "checkpoints" / f"seed-{seed}"


def population_checkpoints(settings: Settings) -> Path:
    """The population's run checkpoint folder."""
    return settings.output_dir / "checkpoints" / "population"


def seed_log(settings: Settings, seed: int) -> Path:
    """The seed's log: one line per finished episode, appended as it ends."""
    return settings.output_dir / "episodes" / f"seed-{seed}.csv"


def run_settings(settings: Settings) -> dict[str, Any]:
    """What a run's checkpoint records of the command's own settings.

    What a run's checkpoint records of the example's settings beside what velto_kit records
    itself (task, time limit, features, mapping, gamma, seed): a resumed run must match them.
    """
    return {"agent": dataclasses.asdict(settings.agent)}


def seed_resume(settings: Settings, seed: int) -> velto_kit.RunState | None:
    """The run checkpoint the seed continues from (see checkpoint_to_resume)."""
    return checkpoint_to_resume(settings, seed_checkpoints(settings, seed))


def checkpoint_to_resume(settings: Settings, directory: Path) -> velto_kit.RunState | None:
    """The run checkpoint in `directory` to continue from.

    The latest one with --resume (None if there is none yet), else None (claim_output_dir has made
    sure a fresh run's folders hold no earlier run).
    """
    if settings.resume:
        remove_temporaries(directory, within=True)
        return velto_kit.latest_run(directory, trust_pickles=settings.trust_run_pickles)
    return None


def claim_output_dir(settings: Settings, folders: Sequence[Path]) -> RunFolderLock:
    """Locks OUTPUT_DIR for this run and clears or refuses an earlier run's checkpoints.

    Locks OUTPUT_DIR for this run (a second run into it stops at once, naming the process
    that holds it). A fresh run whose checkpoint `folders` hold an earlier run's checkpoints
    stops before any training unless --overwrite, which removes them first, so that a later
    --resume cannot continue the earlier run with this run's logs.
    """
    lock = RunFolderLock(settings.output_dir)
    try:
        held = [folder for folder in folders if velto_kit.run_checkpoints(folder)]
        if held and not settings.resume:
            if not settings.overwrite:
                names = ", ".join(str(folder) for folder in held)
                raise RunFolderHasRun(
                    f"{names} hold(s) an earlier run's checkpoints: continue it with --resume, or"
                    " start afresh with --overwrite, which removes them"
                )
            for folder in held:
                remove_run_checkpoints(folder)
    except BaseException:
        lock.release()
        raise
    return lock


def remove_temporaries(folder: Path, *, within: bool = False) -> None:
    """Removes the temporary files that writes cut short by a kill left.

    Removes the temporary files (``.NAME.*.tmp``) that writes cut short by a kill left in
    `folder` (and its subfolders, `within`), so that a resumed run's folders hold what an
    uninterrupted run's do.
    """
    if folder.is_dir():
        for temporary in folder.rglob(".*.tmp") if within else folder.glob(".*.tmp"):
            temporary.unlink(missing_ok=True)


def population_returns(log: Path, count: int) -> list[list[float]]:
    """Each agent's returns in a population's log, in episode order."""
    returns: list[list[float]] = [[] for _ in range(count)]
    with log.open(newline="") as file:
        for row in csv.DictReader(file):
            returns[int(row["agent"])].append(float(row["return"]))
    return returns


def native_options(settings: Settings) -> dict[str, Any]:
    """The task's keyword arguments of a native run: the time limit, where one is set."""
    if settings.max_episode_steps is None:
        return {}
    return {"max_episode_steps": settings.max_episode_steps}


def run_backend(run: velto_kit.RunState) -> str:
    """The --backend a run checkpoint was written with (a native run marks its loop state)."""
    return "native" if run.loop.get("native") is True else "gymnasium"


def check_backend(run: velto_kit.RunState | None, settings: Settings, folder: Path) -> None:
    """Stops a resume on the other backend.

    A run goes on where it began (the checkpoint's loop state is that backend's), and starting it
    afresh instead would lose its episodes.
    """
    if run is None:
        return
    written = run_backend(run)
    asked = "native" if settings.backend == "native" else "gymnasium"
    if written != asked:
        raise ValueError(
            f"{folder} holds a run of --backend {written}: resume it with --backend {written}"
            f" (this run asked for --backend {settings.backend})"
        )


def run_seed(settings: Settings, seed: int, report: EpisodeReport) -> SeedResult:
    """Trains one seed's agent, then runs the baselines.

    Trains one agent for `settings.episodes` episodes (fresh, or continued from its latest run
    checkpoint with --resume), then runs the baselines.
    """
    if settings.backend == "native":
        return run_seed_natively(settings, seed, report)
    env, features, mapping, resume, agent = seed_start(settings, seed)
    steps, seconds = 0, 0.0
    if resume is not None:
        steps, seconds = resume.members[0].steps, resume.seconds
        for episode_return in resume.returns:
            report(seed, episode_return)
    log = seed_log(settings, seed)
    tracker = RunTracker(settings, f"seed-{seed}", None)
    for result in velto_kit.run_episodes(
        env,
        agent,
        features,
        mapping,
        episodes=settings.episodes,
        gamma=settings.gamma,
        seed=seed,
        checkpoint_every=settings.checkpoint_every,
        checkpoint_dir=seed_checkpoints(settings, seed),
        log=log,
        resume=resume,
        settings=run_settings(settings),
        overwrite=settings.overwrite,
        keep_last=settings.keep_last,
        callback=tracker.callback,
    ):
        steps, seconds = result.steps, result.seconds
        report(seed, result.return_)
    tracker.close()
    return finish_seed(settings, seed, (env, features, mapping, agent), steps, seconds)


def seed_start(
    settings: Settings, seed: int
) -> tuple[Any, velto_kit.experiments.features.Features, velto_kit.ActionMapping, Any, Any]:
    """A seed's task, features, mapping, run checkpoint to resume (or None) and agent."""
    env = make_env(settings)
    features = make_features(env, settings)
    mapping = make_mapping(env, settings)
    resume = seed_resume(settings, seed)
    check_backend(resume, settings, seed_checkpoints(settings, seed))
    if resume is None:
        agent = velto_kit.make_agent(features.num_features, mapping.num_units, settings.agent, seed)
    else:
        agent = resume.agent
    return env, features, mapping, resume, agent


def finish_seed(
    settings: Settings,
    seed: int,
    parts: tuple[Any, velto_kit.experiments.features.Features, velto_kit.ActionMapping, Any],
    steps: int,
    seconds: float,
) -> SeedResult:
    """A trained seed's result: its agent saved, its returns read from its log, the baselines."""
    env, features, mapping, agent = parts
    save_final_agent(settings, seed, agent)
    returns = velto_kit.read_returns(seed_log(settings, seed))
    evaluation_returns, random_returns = baselines(settings, agent, features, mapping, seed)
    env.close()
    return SeedResult(seed, returns, random_returns, evaluation_returns, steps, seconds)


def final_agent_path(output_dir: Path, seed: int) -> Path:
    """Where a run keeps the seed's agent as training left it (``velto evaluate`` reads it)."""
    return output_dir / "agents" / f"seed-{seed}.npz"


def save_final_agent(settings: Settings, seed: int, agent: Any) -> None:
    """Saves the seed's trained agent (velto_kit.save) for ``velto evaluate`` and ``inspect``."""
    path = final_agent_path(settings.output_dir, seed)
    path.parent.mkdir(parents=True, exist_ok=True)
    velto_kit.save(agent, path)


def write_run_file(settings: Settings, seeds: Sequence[int]) -> None:
    """Writes RUN_FILE.

    The task, features, mapping, discount and agent settings of the run, so that ``velto evaluate``
    and ``velto inspect`` can rebuild what its agents were trained on.
    """
    record = {
        "env": settings.env_id,
        "max_episode_steps": settings.max_episode_steps,
        "tiles": settings.tiles,
        "tilings": settings.tilings,
        "hash_size": settings.hash_size,
        "bounds": None if settings.bounds is None else [list(side) for side in settings.bounds],
        "mapping": settings.mapping,
        "gamma": settings.gamma,
        "agent": dataclasses.asdict(settings.agent),
        "seeds": list(seeds),
        "episodes": settings.episodes,
        "backend": settings.backend,
    }
    text = json.dumps(record, indent=2) + "\n"
    write_atomically(settings.output_dir / RUN_FILE, text.encode())


def prune_member_copies(folder: Path, keep_last: int) -> None:
    """Keeps the last `keep_last` of the native run's own copies of a seed's agent.

    Keeps the last `keep_last` of the native run's own copies of a seed's agent (one per
    checkpoint episode, in `folder`), as --keep-last keeps that many run checkpoints: the
    copies are never read on resume, which goes by the run checkpoints.
    """
    copies = sorted(folder.glob("agent-*.npz"), key=lambda path: int(path.stem.split("-")[1]))
    for old in copies[:-keep_last]:
        old.unlink()


def run_seed_natively(settings: Settings, seed: int, report: EpisodeReport) -> SeedResult:
    """run_seed with the whole loop in C++.

    A native run of one agent, its task reset with `seed` and its mapping drawing from
    default_rng(seed) as run_episodes' would, so the returns, the log and the checkpoints' agents
    are run_seed's on Gymnasium (for an exact native task). The log is written here in run_episodes'
    form, each line before the run checkpoint that follows its episode.
    """
    env, features, mapping, resume, agent = seed_start(settings, seed)
    directory = seed_checkpoints(settings, seed)
    steps, seconds = 0, 0.0
    if resume is None:
        text = log_text(0, [], [])
    else:
        member = resume.members[0]
        steps, seconds = member.steps, resume.seconds
        text = log_text(resume.start_episode, member.returns, member.lengths)
        for episode_return in member.returns:
            report(seed, episode_return)
    log = seed_log(settings, seed)
    envs = velto_kit.make_vector_env(
        settings.env_id, 1, seed=seed, backend="native", **native_options(settings)
    )
    tracker = RunTracker(settings, f"seed-{seed}", [""])
    results = velto_kit.run_population(
        envs,
        velto_kit.Population([agent]),
        features,
        mapping,
        episodes=settings.episodes,
        gamma=settings.gamma,
        seed=seed,
        checkpoint_every=settings.checkpoint_every,
        checkpoint_dir=directory,
        resume=resume,
        settings=run_settings(settings),
        overwrite=settings.overwrite,
        keep_last=settings.keep_last,
        callback=tracker.callback,
    )
    with EpisodeLog(log, text) as episode_log:
        for result in results:
            episode_log.append(result.episode, result.return_, result.length, result.steps)
            if result.checkpoint is not None:
                # The run checkpoint of this episode is written when the next result is asked
                # for: its episodes must be durable in the log first, as run_episodes keeps them.
                episode_log.sync()
                if settings.keep_last is not None:
                    prune_member_copies(result.checkpoint.parent, settings.keep_last)
            steps, seconds = result.steps, result.seconds
            report(seed, result.return_)
    tracker.close()
    envs.close()
    return finish_seed(settings, seed, (env, features, mapping, agent), steps, seconds)


def baselines(
    settings: Settings,
    agent: Any,
    features: velto_kit.experiments.features.Features,
    mapping: velto_kit.ActionMapping,
    seed: int,
) -> tuple[list[float], list[float]]:
    """The trained agent's evaluation returns (none unless asked for) and a random policy's."""
    evaluation_returns = []
    if settings.evaluation_episodes > 0:
        # A seed of its own, so the evaluation does not replay the training's first episodes.
        evaluation = velto_kit.evaluate(
            make_env(settings),
            agent,
            features,
            mapping,
            episodes=settings.evaluation_episodes,
            seed=seed + 1_000_000,
        )
        evaluation_returns = [result.return_ for result in evaluation]
    random_returns = velto_kit.random_returns(
        make_env(settings), episodes=settings.random_episodes, seed=seed
    )
    return evaluation_returns, random_returns


# Worker side of the process pool: episodes are reported through a queue to the progress bar.
_worker_queue: Any = None


@dataclass(frozen=True)
class PopulationOptions:
    """How a --population run steps its agents."""

    threads: int


def run_population_seeds(
    settings: Settings, seeds: Sequence[int], options: PopulationOptions, report: EpisodeReport
) -> list[SeedResult]:
    """Trains one agent per seed as one population on a vector environment.

    Trains one fresh agent per seed as one population on a vector environment of
    len(seeds) sub-environments, then runs each seed's baselines as run_seed does.
    """
    env = make_env(settings)
    features = make_features(env, settings)
    mapping = make_mapping(env, settings)
    directory = population_checkpoints(settings)
    resume = checkpoint_to_resume(settings, directory)
    check_backend(resume, settings, directory)
    if resume is None:
        agents = [
            velto_kit.make_agent(features.num_features, mapping.num_units, settings.agent, seed)
            for seed in seeds
        ]
    else:
        agents = [member.agent for member in resume.members]
        for seed, member in zip(seeds, resume.members, strict=True):
            for episode_return in member.returns:
                report(seed, episode_return)
    envs = velto_kit.make_vector_env(
        settings.env_id, len(seeds), seed=seeds[0], backend=settings.backend,
        **native_options(settings),
    )  # fmt: skip
    # Consecutive seeds are run_population's own seeding (seed + i), so that each agent meets the
    # episodes of its single run where the sub-environments are single environments; other seeds
    # get their own generators, their sub-environments seeds[0] + i.
    consecutive = list(seeds) == list(range(seeds[0], seeds[0] + len(seeds)))
    rngs = None if consecutive else [np.random.default_rng(seed) for seed in seeds]
    steps = [0] * len(seeds) if resume is None else [m.steps for m in resume.members]
    seconds = 0.0 if resume is None else resume.seconds
    log = settings.output_dir / "episodes" / "population.csv"
    tracker = RunTracker(settings, "population", [f"seed_{seed}/" for seed in seeds])
    for result in velto_kit.run_population(
        envs,
        velto_kit.Population(agents, threads=options.threads),
        features,
        mapping,
        episodes=settings.episodes,
        gamma=settings.gamma,
        seed=seeds[0] if consecutive else None,
        rngs=rngs,
        checkpoint_every=settings.checkpoint_every,
        checkpoint_dir=directory,
        log=log,
        resume=resume,
        settings=run_settings(settings),
        overwrite=settings.overwrite,
        keep_last=settings.keep_last,
        callback=tracker.callback,
    ):
        steps[result.agent], seconds = result.steps, result.seconds
        report(seeds[result.agent], result.return_)
    tracker.close()
    envs.close()
    for seed, agent in zip(seeds, agents, strict=True):
        save_final_agent(settings, seed, agent)
    returns = population_returns(log, len(seeds))
    results = []
    for i, seed in enumerate(seeds):
        evaluation, random = baselines(settings, agents[i], features, mapping, seed)
        results.append(SeedResult(seed, returns[i], random, evaluation, steps[i], seconds))
    return results


_parent_pid: int | None = None


def _init_worker(report_queue: Any) -> None:
    global _worker_queue, _parent_pid
    _worker_queue = report_queue
    _parent_pid = os.getppid()


def _report_to_queue(seed: int, episode_return: float) -> None:
    # A worker whose main process was killed stops at its next episode end, rather than train on
    # into the output folder that a resumed run is writing.
    if os.getppid() != _parent_pid:
        os._exit(1)
    _worker_queue.put((seed, episode_return))


def _run_seed_in_worker(arguments: tuple[Settings, int]) -> SeedResult:
    settings, seed = arguments
    return run_seed(settings, seed, _report_to_queue)


def run_all(
    settings: Settings,
    seeds: Sequence[int],
    workers: int,
    show_progress: bool,
    population: PopulationOptions | None = None,
) -> list[SeedResult]:
    """Runs every seed, `workers` at a time, with one progress bar over all episodes.

    One worker (or one seed) runs in this process, with no worker processes at all; so does a
    `population` of all seeds.
    """
    bar = Progress(
        settings.episodes * len(seeds),
        f"{settings.env_id} x{len(seeds)} seeds",
        sys.stderr,
        enabled=show_progress,
    )

    def report(_seed: int, episode_return: float) -> None:
        bar.update(episode_return)

    with bar:
        if population is not None:
            return run_population_seeds(settings, seeds, population, report)
        if min(workers, len(seeds)) <= 1:
            return [run_seed(settings, seed, report) for seed in seeds]
        context = multiprocessing.get_context("spawn")
        report_queue = context.Queue()
        with context.Pool(
            min(workers, len(seeds)), initializer=_init_worker, initargs=(report_queue,)
        ) as pool:
            pending = pool.map_async(_run_seed_in_worker, [(settings, seed) for seed in seeds])
            # A worker's reports can still be in transit when its result is in, so count them;
            # stop early only when a worker failed, whose error pending.get() then raises.
            received = 0
            while received < bar.total:
                try:
                    report(*report_queue.get(timeout=0.2))
                    received += 1
                except queue.Empty:
                    if pending.ready() and not pending.successful():
                        break
            return pending.get()


def summary_table(results: Sequence[SeedResult], window: int) -> str:
    """The summary table of the seeds' results.

    Mean return of the first and last `window` episodes per seed, against a random policy
    (and the evaluation, when there is one), as a Markdown table and the spread over seeds.
    """
    evaluated = bool(results[0].evaluation_returns)
    columns = ["seed", f"first {window}", f"last {window}", "random", "last - random"]
    columns += ["evaluation"] if evaluated else []
    lines = ["| " + " | ".join(columns + ["steps", "seconds"]) + " |"]
    lines.append("|" + "---:|" * (len(columns) + 2))
    figures_per_seed = []
    for result in results:
        first = statistics.fmean(result.returns[:window])
        last = statistics.fmean(result.returns[-window:])
        random = statistics.fmean(result.random_returns)
        figures = [first, last, random, last - random]
        figures += [statistics.fmean(result.evaluation_returns)] if evaluated else []
        figures_per_seed.append(figures)
    # Returns such as a success rate (FrozenLake: 0 or 1 per episode) need more than one decimal.
    largest = max(abs(figure) for figures in figures_per_seed for figure in figures)
    decimals = 1 if largest >= 10 else 3
    for result, figures in zip(results, figures_per_seed, strict=True):
        cells = [str(result.seed)] + [f"{figure:.{decimals}f}" for figure in figures]
        cells += [str(result.steps), f"{result.seconds:.1f}"]
        lines.append("| " + " | ".join(cells) + " |")

    def spread(values: list[float]) -> str:
        deviation = statistics.stdev(values) if len(values) > 1 else 0.0
        return f"{statistics.fmean(values):.{decimals}f} ± {deviation:.{decimals}f}"

    spreads = [spread(list(column)) for column in zip(*figures_per_seed, strict=True)]
    total_steps = sum(result.steps for result in results)
    lines.append(f"| mean ± sd | {' | '.join(spreads)} | {total_steps} | |")
    margins = [figures[3] for figures in figures_per_seed]
    lines.append("")
    lines.append(
        f"random: {len(results[0].random_returns)} episodes of a uniformly random policy per seed;"
        f" last - random ranges from {min(margins):.{decimals}f} to"
        f" {max(margins):.{decimals}f} over {len(results)} seeds"
    )
    if evaluated:
        lines.append(
            f"evaluation: {len(results[0].evaluation_returns)} episodes per seed following the"
            " trained policy without learning"
        )
    return "\n".join(lines)


def write_returns(results: Sequence[SeedResult], path: Path) -> None:
    """Writes every training episode's return to `path` (CSV).

    Every training episode's return, one row per seed and episode, written whole or not at
    all (the returns come from the seeds' logs).
    """
    path.parent.mkdir(parents=True, exist_ok=True)
    text = io.StringIO(newline="")
    writer = csv.writer(text)
    writer.writerow(["seed", "episode", "return"])
    for result in results:
        for episode, episode_return in enumerate(result.returns):
            writer.writerow([result.seed, episode, episode_return])
    write_atomically(path, text.getvalue().encode())


def moving_average(values: Sequence[float], width: int) -> np.ndarray:
    """Trailing mean over up to `width` episodes, so the curve starts at the first episode."""
    cumulative = np.concatenate([[0.0], np.cumsum(values)])
    ends = np.arange(1, len(values) + 1)
    starts = np.maximum(ends - width, 0)
    return (cumulative[ends] - cumulative[starts]) / (ends - starts)


def plot_learning_curve(
    results: Sequence[SeedResult], settings: Settings, path: Path, smoothing: int
) -> None:
    """Draws the seeds' learning curves (moving averages) to `path` (PNG)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    curves = np.array([moving_average(result.returns, smoothing) for result in results])
    episodes = np.arange(1, curves.shape[1] + 1)
    random_mean = statistics.fmean(r for result in results for r in result.random_returns)
    figure, axes = plt.subplots(figsize=(6.4, 3.6), dpi=100)
    axes.fill_between(
        episodes, curves.min(axis=0), curves.max(axis=0), alpha=0.3, label="min-max over seeds"
    )
    axes.plot(episodes, curves.mean(axis=0), label=f"mean of {len(results)} seeds")
    axes.axhline(random_mean, color="grey", linestyle="--", label="uniformly random policy")
    axes.set_xlabel("episode")
    axes.set_ylabel(f"return ({smoothing}-episode moving average)")
    axes.set_title(f"VeltoActorCritic on {settings.env_id}")
    axes.legend(loc="best", fontsize="small")
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path)
    plt.close(figure)


def preset_defaults(argv: Sequence[str] | None) -> tuple[dict[str, Any], Any]:
    """The defaults the task's preset gives the command line, and the preset.

    None without --preset. The preset at --max-episode-steps where the task has one there, else the
    one at its usual limit (the limit given still wins).

    Raises:
    velto_kit.presets.NoPresetError: --preset for a task that has none.
    """
    # Abbreviations as the full parser takes them (--pre for --preset).
    early = argparse.ArgumentParser(add_help=False)
    early.add_argument("--env", default="CartPole-v1")
    early.add_argument("--max-episode-steps", type=int)
    early.add_argument("--preset", action="store_true")
    known, _ = early.parse_known_args(sys.argv[1:] if argv is None else list(argv))
    if not known.preset:
        return {}, None
    presets = velto_kit.presets
    if known.max_episode_steps is not None and presets.has_preset(
        known.env, known.max_episode_steps
    ):
        preset = presets.for_task(known.env, known.max_episode_steps)
    else:
        preset = presets.for_task(known.env)
    defaults: dict[str, Any] = {
        "gamma": preset.gamma,
        "max_episode_steps": preset.max_episode_steps,
        "mapping": preset.mapping,
        **{key: preset.features[key] for key in ("tiles", "tilings", "hash_size")},
        **dataclasses.asdict(preset.agent),
    }
    return defaults, preset


def build_parser(prog: str | None = "velto train") -> argparse.ArgumentParser:
    """The command line's options; the documentation's reference is generated from it.

    Args:
        prog: The program's name in its usage and messages.

    Returns:
        A new parser.
    """
    defaults = AgentSettings()
    parser = command_parser(prog, __doc__)
    parser.add_argument("--env", default="CartPole-v1", help="Gymnasium environment id")
    parser.add_argument(
        "--max-episode-steps",
        type=int,
        help=f"time limit; None keeps the environment's own, or {UNLIMITED_TASK_STEPS} if it has"
        " none",
    )
    parser.add_argument("--episodes", type=int, default=1000, help="episodes per seed")
    parser.add_argument(
        "--seeds", type=int, nargs="+", default=list(range(8)), help="one agent per seed"
    )
    parser.add_argument(
        "--workers",
        type=int,
        default=min(2, os.cpu_count() or 1),
        help="seeds run at once in worker processes; 1 (or a single seed) runs in this process",
    )
    parser.add_argument(
        "--population",
        action="store_true",
        help="train all seeds as one population on a vector environment, in this process",
    )
    parser.add_argument(
        "--population-threads",
        type=int,
        default=1,
        help="native threads that step the population's agents (--population); more help only"
        " where cores are idle",
    )
    parser.add_argument(
        "--backend",
        "--vector-backend",
        dest="backend",
        choices=BACKENDS,
        help="where the episodes run, on every path (one process, --workers, --population):"
        " native, the kit's C++ tasks with the whole loop in C++ (the same returns as Gymnasium's"
        " for velto_kit._native.exact_native_task_ids(); --population: consecutive seeds only);"
        " gymnasium; envpool, --population only (pip install envpool). Default: native where the"
        " task is exact natively and the options allow it, else gymnasium (a note says why); a"
        " --resume without it goes on with the backend the checkpoints were written by."
        " --vector-backend is its older name",
    )
    parser.add_argument("--gamma", type=float, default=0.99, help="discount of a non-terminal step")
    parser.add_argument("--tiles", type=int, default=6, help="tiles per dimension of one tiling")
    parser.add_argument("--tilings", type=int, default=8, help="number of shifted tilings")
    parser.add_argument(
        "--hash-size", type=int, help="hash the tiles into this many features (large Box spaces)"
    )
    parser.add_argument(
        "--bounds",
        type=float,
        nargs="+",
        metavar="LOW HIGH",
        help="box of a Box observation, one LOW HIGH pair per dimension (needed where the space"
        " is unbounded and velto_kit.OBSERVATION_BOUNDS has no entry)",
    )
    parser.add_argument(
        "--mapping",
        default="default",
        choices=["default", *velto_kit.MAPPINGS],
        help="units onto actions; default: binary (ceil(log2 n) units for n actions)",
    )
    agent = parser.add_argument_group("agent")
    agent.add_argument("--lambda", dest="lambda_", type=float, default=defaults.lambda_)
    agent.add_argument("--alpha", type=float, default=defaults.alpha, help="initial step size")
    agent.add_argument("--epsilon", type=float, default=defaults.epsilon, help="trace pruning")
    agent.add_argument(
        "--meta-step-size", type=float, default=defaults.meta_step_size, help="step-size learning"
    )
    agent.add_argument("--eta", type=float, default=defaults.eta, help="critic's budget")
    agent.add_argument("--eta-actor", type=float, default=defaults.eta_actor, help="actor budget")
    agent.add_argument("--decay", type=float, default=defaults.decay, help="over-budget factor")
    agent.add_argument(
        "--action-prob-at-init", type=float, default=defaults.action_prob_at_init, help="bias"
    )
    parser.add_argument(
        "--window",
        type=int,
        default=20,
        help="episodes in the first/last means (at most --episodes: a shorter run uses them all)",
    )
    parser.add_argument(
        "--random-episodes", type=int, default=100, help="episodes of the random policy per seed"
    )
    parser.add_argument(
        "--evaluate",
        type=int,
        default=0,
        metavar="EPISODES",
        help="after training, episodes following the learned policy without learning",
    )
    parser.add_argument(
        "--checkpoint-every",
        type=int,
        metavar="EPISODES",
        help="save each agent (velto_kit.save) every EPISODES episodes to"
        " OUTPUT_DIR/checkpoints/seed-S/agent-NNNNNN.npz",
    )
    parser.add_argument(
        "--resume",
        action="store_true",
        help="continue each seed from its latest run checkpoint in OUTPUT_DIR/checkpoints/seed-S"
        " (give the first run's options again); a seed without one starts afresh. Every field"
        " and file of a checkpoint is checked; nothing in it is unpickled without"
        " --trust-run-pickles",
    )
    parser.add_argument(
        "--keep-last",
        type=int,
        metavar="N",
        help="keep only the last N run checkpoints of each seed (or of the population); older"
        " ones are removed as each new one is written. Default: keep all",
    )
    parser.add_argument(
        "--overwrite",
        action="store_true",
        help="without --resume: remove the run checkpoints an earlier run left in OUTPUT_DIR's"
        " checkpoint folders of these seeds and start afresh; without it such a run stops",
    )
    parser.add_argument(
        "--trust-run-pickles",
        action="store_true",
        help="with --resume: trust OUTPUT_DIR's checkpoints enough to unpickle the environment"
        " state they hold beside plain data (only a custom environment needs it; unpickling runs"
        " whatever code the file names, so give it only for your own runs' folders)",
    )
    parser.add_argument("--smoothing", type=int, default=20, help="moving average of the plot")
    parser.add_argument(
        "--output-dir",
        type=Path,
        default=OUTPUT_DIR,
        help="folder for the learning curve and the returns (CSV)",
    )
    parser.add_argument(
        "--plot", type=Path, help="PNG of the learning curve; default OUTPUT_DIR/learning_curve.png"
    )
    parser.add_argument(
        "--inspect-plot",
        type=Path,
        help="PNG of the agent's learned step sizes and value (first seed, trained once more);"
        " default OUTPUT_DIR/step_sizes.png",
    )
    parser.add_argument("--no-inspect-plot", action="store_true", help="skip that figure")
    parser.add_argument(
        "--no-progress",
        action="store_true",
        help="hide the progress (a bar on a terminal, a line at each tenth of the run otherwise)",
    )
    tracking = parser.add_argument_group("tracking")
    tracking.add_argument(
        "--tensorboard",
        type=Path,
        metavar="DIR",
        help="write TensorBoard event files to DIR/seed-S (DIR/population): per episode the"
        " return, length and agent steps per second; every --track-every episodes and at each"
        " checkpoint the critic's and units' step sizes and weights (pip install"
        ' "velto_actor_critic[tensorboard]")',
    )
    tracking.add_argument(
        "--wandb",
        action="store_true",
        help="log the same to Weights & Biases, one run per seed (WANDB_MODE=offline keeps it on"
        ' disk; pip install "velto_actor_critic[wandb]")',
    )
    tracking.add_argument("--wandb-project", default="velto", help="W&B project")
    tracking.add_argument("--wandb-group", help="W&B group; default: the task")
    tracking.add_argument("--wandb-name", help="W&B run name before the seed; default: the task")
    tracking.add_argument(
        "--track-every",
        type=int,
        default=100,
        metavar="EPISODES",
        help="histograms of step sizes and weights every EPISODES episodes of a seed",
    )
    parser.add_argument(
        "--preset",
        action="store_true",
        help="take the settings the full evidence study tuned for the task (velto_kit.presets)"
        " in place of these defaults; options given here still win",
    )
    return parser


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    """The checked options of `argv` (a usage error, exit status 2, for bad ones)."""
    parser = build_parser()
    try:
        defaults, preset = preset_defaults(argv)
    except (velto_kit.presets.NoPresetError, ValueError) as error:
        # No preset for the task, or a presets file that is damaged or no study's result.
        parser.error(f"--preset: {error}")
    # Defaults only: whatever the command line gives is parsed over them.
    parser.set_defaults(**defaults)
    arguments = parser.parse_args(argv)
    arguments.tuned = preset
    for name, interval in RANGES.items():
        value = getattr(arguments, name)
        if value not in interval:
            option = "--" + name.rstrip("_").replace("_", "-")
            source = " (the task's preset)" if defaults.get(name) == value else ""
            parser.error(f"{option} must lie in {interval}, not {value}{source}")
    counts: tuple[str, ...] = ("episodes", "window", "smoothing", "random_episodes", "tiles")
    counts += ("tilings",)
    counts += ("workers", "population_threads", "track_every")
    for name in counts:
        if getattr(arguments, name) < 1:
            parser.error(f"--{name.replace('_', '-')} must be at least 1")
    if arguments.evaluate < 0:
        parser.error("--evaluate must be at least 0")
    if arguments.checkpoint_every is not None and arguments.checkpoint_every < 1:
        parser.error("--checkpoint-every must be at least 1")
    if arguments.keep_last is not None and arguments.keep_last < 1:
        parser.error("--keep-last must be at least 1")
    if arguments.max_episode_steps is not None and arguments.max_episode_steps < 1:
        parser.error("--max-episode-steps must be at least 1")
    if arguments.bounds is not None and len(arguments.bounds) % 2:
        parser.error("--bounds takes one LOW HIGH pair per dimension")
    if arguments.backend == "envpool" and not arguments.population:
        parser.error("--backend envpool is a vector environment: it needs --population")
    if arguments.backend == "native" and arguments.population and not consecutive(arguments.seeds):
        parser.error("--population --backend native runs consecutive seeds (agent i has seed + i)")
    if arguments.backend == "native" and arguments.env not in native_task_ids():
        parser.error(
            f"--backend native: {arguments.env} has no native task"
            f" (velto_kit._native.native_task_ids() lists {', '.join(native_task_ids())});"
            " use --backend gymnasium"
        )
    arguments.window = min(arguments.window, arguments.episodes)
    if arguments.plot is None:
        arguments.plot = arguments.output_dir / "learning_curve.png"
    if arguments.inspect_plot is None:
        arguments.inspect_plot = arguments.output_dir / "step_sizes.png"
    return arguments


def consecutive(seeds: Sequence[int]) -> bool:
    """Whether `seeds` are seeds[0], seeds[0] + 1, ..., as a native population's are."""
    return list(seeds) == list(range(seeds[0], seeds[0] + len(seeds)))


def default_backend(arguments: argparse.Namespace) -> tuple[str, str | None]:
    """The backend a run without --backend takes, and the reason when it is not native.

    Native wherever it gives Gymnasium's returns exactly, so that the results do not depend on it.
    """
    env_id = arguments.env
    if env_id not in exact_native_task_ids():
        if env_id in native_task_ids():
            why = "its native task is not exact (its numbers may differ from Gymnasium's)"
        else:
            why = "it has no native task"
        return "gymnasium", f"{env_id} runs on Gymnasium: {why}"
    if arguments.population and not consecutive(arguments.seeds):
        why = "a native population runs consecutive seeds only"
        return "gymnasium", f"{env_id} runs on Gymnasium: {why}"
    return "native", None


def settings_from(arguments: argparse.Namespace) -> Settings:
    """The run's settings from the parsed options."""
    agent_fields = [field.name for field in dataclasses.fields(AgentSettings)]
    bounds = None
    if arguments.bounds is not None:
        bounds = (tuple(arguments.bounds[0::2]), tuple(arguments.bounds[1::2]))
    return Settings(
        env_id=arguments.env,
        max_episode_steps=arguments.max_episode_steps,
        episodes=arguments.episodes,
        gamma=arguments.gamma,
        tiles=arguments.tiles,
        tilings=arguments.tilings,
        hash_size=arguments.hash_size,
        bounds=bounds,
        mapping=arguments.mapping,
        agent=AgentSettings(**{name: getattr(arguments, name) for name in agent_fields}),
        window=arguments.window,
        random_episodes=arguments.random_episodes,
        evaluation_episodes=arguments.evaluate,
        checkpoint_every=arguments.checkpoint_every,
        output_dir=arguments.output_dir,
        resume=arguments.resume,
        trust_run_pickles=arguments.trust_run_pickles,
        overwrite=arguments.overwrite,
        keep_last=arguments.keep_last,
        backend=arguments.backend or "gymnasium",
        tracking=Tracking(
            tensorboard=arguments.tensorboard,
            wandb=arguments.wandb,
            wandb_project=arguments.wandb_project,
            wandb_group=arguments.wandb_group,
            wandb_name=arguments.wandb_name,
            every=arguments.track_every,
        ),
    )


def resumed_backend(settings: Settings, folders: Sequence[Path]) -> str | None:
    """The backend the latest run checkpoints in `folders` were written with.

    The backend the latest run checkpoints in `folders` were written with, None where there
    are none.

    Raises:
        ValueError: The folders hold runs of both backends.
    """
    written: dict[str, Path] = {}
    for folder in folders:
        remove_temporaries(folder, within=True)
        run = velto_kit.latest_run(folder, trust_pickles=settings.trust_run_pickles)
        if run is not None:
            written.setdefault(run_backend(run), folder)
    if len(written) > 1:
        raise ValueError(
            f"{written['native']} holds a run of --backend native and {written['gymnasium']} one"
            " of --backend gymnasium: resume each with its own --seeds and --backend"
        )
    return next(iter(written), None)


def choose_backend(
    arguments: argparse.Namespace, settings: Settings, folders: Sequence[Path]
) -> Settings:
    """`settings` with the run's backend.

    The one asked for, else the one a resumed run's checkpoints were written with, else
    default_backend's (printing why it is not native).

    Raises:
    ValueError: A resume asked for the other backend than its checkpoints', or its folders
    hold runs of both.
    """
    written = resumed_backend(settings, folders) if settings.resume else None
    if arguments.backend is not None:
        if written is not None and written != (
            "native" if arguments.backend == "native" else "gymnasium"
        ):
            raise ValueError(
                f"{settings.output_dir} holds a run of --backend {written}: resume it with"
                f" --backend {written} (this run asked for --backend {arguments.backend})"
            )
        return settings
    backend, note = default_backend(arguments)
    if written is not None and written != backend:
        backend, note = (
            written,
            f"resumed with --backend {written}, as its checkpoints were written",
        )
    if note is not None:
        print(note)
    return dataclasses.replace(settings, backend=backend)


def main(argv: Sequence[str] | None = None) -> None:
    """Runs ``velto train`` with the options `argv` (None: the process's own)."""
    arguments = parse_arguments(argv)
    settings = settings_from(arguments)
    if arguments.tuned is not None:
        preset = arguments.tuned
        print(
            f"{preset.env_id}: velto_kit.presets' preset (tuned at {preset.episodes} episodes;"
            f" last {preset.window}: {preset.final_return:.1f} [{preset.interval[0]:.1f},"
            f" {preset.interval[1]:.1f}] over seeds {preset.seeds[0]}-{preset.seeds[-1]});"
            " options given here win"
        )
    try:
        limit = time_limit(settings.env_id, settings.max_episode_steps)
        if limit != settings.max_episode_steps:
            print(f"{settings.env_id} has no time limit: episodes end after {limit} steps")
            settings = dataclasses.replace(settings, max_episode_steps=limit)
        check_environment(settings)
    except (ValueError, gym.error.Error) as error:
        sys.exit(f"error: {error}")
    start = time.perf_counter()
    if arguments.population:
        folders = [population_checkpoints(settings)]
    else:
        folders = [seed_checkpoints(settings, seed) for seed in arguments.seeds]
    try:
        lock = claim_output_dir(settings, folders)
    except (RunFolderError, OSError) as error:
        sys.exit(f"error: {error}")
    with lock:
        if settings.resume:
            remove_temporaries(settings.output_dir)
            remove_temporaries(settings.output_dir / "episodes")
        population = None
        if arguments.population:
            population = PopulationOptions(arguments.population_threads)
        try:
            settings = choose_backend(arguments, settings, folders)
            results = run_all(
                settings, arguments.seeds, arguments.workers, not arguments.no_progress, population
            )
            # Once the agents it describes are saved: a resume refused for other options leaves
            # the record of the run it refused to change.
            write_run_file(settings, arguments.seeds)
        except (ImportError, ValueError, RunFolderError, OSError) as error:
            # EnvPool asked for but missing; a resumed run whose options differ from its
            # checkpoint's, a damaged or untrusted checkpoint; a folder in use; a folder that
            # cannot be written (the output's or --tensorboard's).
            sys.exit(f"error: {error}")
        report(arguments, settings, results, start)


def report(
    arguments: argparse.Namespace, settings: Settings, results: list[SeedResult], start: float
) -> None:
    """Prints the table and writes returns, curve and (unless asked not to) the inspection."""
    print(summary_table(results, settings.window))
    returns_path = arguments.output_dir / "returns.csv"
    write_returns(results, returns_path)
    plot_learning_curve(results, settings, arguments.plot, arguments.smoothing)
    print(f"learning curve written to {arguments.plot}, returns to {returns_path}")
    if not arguments.no_inspect_plot:
        env = make_env(settings)
        write_inspection_figure(
            env, make_features(env, settings), make_mapping(env, settings), settings.agent,
            episodes=settings.episodes, gamma=settings.gamma, seed=arguments.seeds[0],
            path=arguments.inspect_plot,
            native_options=native_options(settings) if settings.backend == "native" else None,
        )  # fmt: skip
        print(f"step sizes and value written to {arguments.inspect_plot}")
    workers = min(arguments.workers, len(arguments.seeds))
    where = "in this process" if workers <= 1 else f"with {workers} worker processes"
    if arguments.population:
        where = f"as one population, {arguments.population_threads} thread(s), in this process"
    print(f"total wall time {time.perf_counter() - start:.1f} s {where}, on {settings.backend}")


if __name__ == "__main__":
    main()
