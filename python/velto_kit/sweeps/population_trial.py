"""A sweep's trial of several seeds: one population of agents on one vector environment.

``train_trial`` hands a trial with ``seeds_per_trial`` above 1 to ``train_population_trial``. Its
agents (seeds ``seed, seed + 1, ...``) run as ``velto_kit.run_population`` runs them, agent i on
sub-environment i seeded ``seed + i`` (on the native tasks where the task has an exact one, so that
each agent is its single run's), and every episode of every agent is reported to Tune with its
``seed``, so the sweep's tables keep one row per seed. The first report and each report with a
checkpoint carry the reporting seed's critic statistics, as a single-seed trial's do.

Tune gets a checkpoint whenever the slowest agent has finished another ``checkpoint_every``
episodes, and after the last episode of all: a folder with every agent (``agent-<seed>.npz``) and
``trial.json`` (per agent the episodes done and steps so far, and the trial's seconds). The folder
also holds the population's latest run checkpoint (``velto_kit.experiments.population_runs``, taken
between two vector steps when the slowest agent finished its block), from which a restored trial
continues exactly: the vector environment, every agent's pending actions and generator and the
episodes in progress as they were; the episodes after it are run and reported again. A folder
without one (or a vector environment whose state cannot be stored) continues each agent from its
own episode count and the environment from a fresh episode, as a single-seed trial's agent-only
checkpoint does.
"""

from __future__ import annotations

import json
import shutil
import tempfile
from pathlib import Path
from typing import Any

from velto_kit._native import exact_native_task_ids
from velto_kit.experiments.actions import action_mapping
from velto_kit.experiments.population import Population
from velto_kit.experiments.population_loop import MemberResult, run_population
from velto_kit.experiments.settings import make_agent
from velto_kit.experiments.tracking import critic_metrics
from velto_kit.experiments.training_run import resume_seed
from velto_kit.experiments.vector_envs import make_vector_env
from velto_kit.state.run_state import RunState, checkpoint_files, latest_run, run_checkpoints
from velto_kit.sweeps.trial_config import TrialConfig
from velto_kit.sweeps.trial_learners import trial_features

TRIAL_FILE = "trial.json"


def agent_file(seed: int) -> str:
    """The file of the agent of `seed` in a population trial's checkpoint folder.

    Args:
        seed: The agent's seed.

    Returns:
        The file's name.

    Example:
        >>> agent_file(3)
        'agent-3.npz'
    """
    return f"agent-{seed}.npz"


def make_trial_envs(config: TrialConfig) -> Any:
    """The trial's vector environment: one sub-environment per seed.

    The sub-environments take the trial's time limit if it sets one. A task with an exact native
    version (``velto_kit._native.exact_native_task_ids()``) gets the native one, on which the
    trial runs as a native run (``backend="native"``), the others Gymnasium's.

    Args:
        config: The trial.

    Returns:
        The vector environment, from ``make_vector_env``, reset once with the trial's seeds.

    Raises:
        ValueError: A task that ``gymnasium.make_vec`` refuses.

    Example:
        >>> make_trial_envs(TrialConfig(seeds_per_trial=3)).num_envs
        3
    """
    count, limit = config.seeds_per_trial, config.max_episode_steps
    # A task with an exact native version runs as a native run: the same agents and returns as
    # single runs of the seeds, with the whole loop in C++.
    backend = "native" if config.env_id in exact_native_task_ids() else "gymnasium"
    if limit is None:
        return make_vector_env(config.env_id, count, seed=config.seed, backend=backend)
    return make_vector_env(
        config.env_id, count, seed=config.seed, backend=backend, max_episode_steps=limit
    )


class PopulationTrial:
    """The agents of a population trial, fresh or restored, and how far each has got.

    Made by ``build``; ``run`` trains the remaining episodes, ``metrics`` turns them into Tune's
    reports, ``checkpoint_due`` and ``save`` write the checkpoints.

    Args:
        config: The trial.
        envs: Its vector environment (``make_trial_envs``).
        agents: One agent per seed, in seed order.
        done: ``trial.json``'s counts: ``episodes`` and ``steps`` per agent, and ``seconds``.

    Example:
        >>> trial = PopulationTrial.build(TrialConfig(seeds_per_trial=2, episodes=2), None)
        >>> sorted(row["seed"] for row in trial.metrics(trial.run()))
        [0, 0, 1, 1]
    """

    def __init__(self, config: TrialConfig, envs: Any, agents: list[Any], done: dict[str, Any]):
        """Wraps the trial's agents and counts (see the class's description)."""
        self.config = config
        self.envs = envs
        self.population = Population(agents)
        self.features = trial_features(config, envs)
        self.mapping = action_mapping(config.mapping, int(envs.single_action_space.n))
        self.episodes: list[int] = list(done["episodes"])
        self.steps: list[int] = list(done["steps"])
        self.seconds: float = float(done["seconds"])
        self.saved_block = min(self.episodes) // config.checkpoint_every
        # The run checkpoint this trial continues exactly, and the folder of its own.
        self.resume: RunState | None = None
        self.run_folder: Path | None = None

    @classmethod
    def build(cls, config: TrialConfig, restored: Path | None) -> PopulationTrial:
        """Fresh agents of the trial's seeds, or those saved in the folder `restored`.

        Args:
            config: The trial.
            restored: A checkpoint folder written by ``save``, or None for fresh agents.

        Returns:
            The trial, ready to ``run``.

        Raises:
            OSError: A file of `restored` cannot be read.
            CheckpointError: An agent's checkpoint in `restored` is damaged.
        """
        from velto_kit import load

        envs = make_trial_envs(config)
        count = config.seeds_per_trial
        if restored is None:
            features = trial_features(config, envs)
            units = action_mapping(config.mapping, int(envs.single_action_space.n)).num_units
            agents = [
                make_agent(features.num_features, units, config.settings, seed)
                for seed in config.seeds
            ]
            done: dict[str, Any] = {"episodes": [0] * count, "steps": [0] * count, "seconds": 0}
        else:
            done = json.loads((restored / TRIAL_FILE).read_text())
            agents = [load(restored / agent_file(seed)) for seed in config.seeds]
            # Tune hands back the folder this trial saved, and restoring a trial already
            # unpickles Tune's own state of it: the folder is as trusted as that.
            resume = latest_run(restored, trust_pickles=True)
            if resume is not None:
                agents = [member.agent for member in resume.members]
                steps = [member.steps for member in resume.members]
                if resume.loop.get("native") is True:
                    episodes = [member["next_episode"] for member in resume.loop["members"]]
                else:
                    episodes = resume.loop["episode"]
                done = {"episodes": episodes, "steps": steps, "seconds": done["seconds"]}
                trial = cls(config, envs, agents, done)
                trial.resume = resume
                return trial
        return cls(config, envs, agents, done)

    def run(self) -> Any:
        """The remaining episodes of every agent, as ``run_population`` yields them.

        Returns:
            The iterator of ``MemberResult``.
        """
        config = self.config
        if self.resume is not None or max(self.episodes) == 0:
            # Fresh, or continuing its run checkpoint: the run as it was first started.
            self.run_folder = Path(tempfile.mkdtemp(prefix="velto-population-run-"))
            return run_population(
                self.envs, self.population, self.features, self.mapping,
                episodes=config.episodes, gamma=config.gamma, seed=config.seed,
                checkpoint_every=config.checkpoint_every, checkpoint_dir=self.run_folder,
                resume=self.resume,
            )  # fmt: skip
        return run_population(
            self.envs,
            self.population,
            self.features,
            self.mapping,
            episodes=[config.episodes - done for done in self.episodes],
            gamma=config.gamma,
            seed=resume_seed(config.seed, sum(self.episodes)),
            start_episode=self.episodes,
        )

    def metrics(self, results: Any) -> Any:
        """Each result as the metrics Tune gets, in order, counting the trial's progress.

        Args:
            results: The iterator ``run`` returns.

        Yields:
            A metrics dict per result (``seed``, ``episode``, ``return``, ``length``,
            ``steps``, ``seconds``).
        """
        started_seconds, started_steps = self.seconds, list(self.steps)
        if self.resume is not None:
            # A continued run counts its steps from its start already (its seconds from here).
            started_steps = [0] * len(self.steps)
        for result in results:
            yield self.record(result, started_seconds, started_steps)

    def record(self, result: MemberResult, seconds: float, steps: list[int]) -> dict[str, Any]:
        """The metrics of `result`, its steps and seconds counted from the trial's start.

        Args:
            result: One agent's finished episode.
            seconds: The trial's seconds before this run.
            steps: Each agent's steps before this run.

        Returns:
            The metrics dict.
        """
        i = result.agent
        self.episodes[i] = result.episode + 1
        self.steps[i] = steps[i] + result.steps
        self.seconds = seconds + result.seconds
        return {
            "seed": self.config.seeds[i],
            "episode": result.episode,
            "return": result.return_,
            "length": result.length,
            "steps": self.steps[i],
            "seconds": self.seconds,
        }

    def checkpoint_due(self) -> bool:
        """Whether the result just counted is to carry a checkpoint.

        It is when the slowest agent has just finished another block of ``checkpoint_every``
        episodes, or every agent its last episode (the trial's last result).

        Returns:
            True when the result just counted is to carry a checkpoint.
        """
        slowest = min(self.episodes)
        block = slowest // self.config.checkpoint_every
        due = block > self.saved_block or slowest == self.config.episodes
        self.saved_block = block
        return due

    def save(self, directory: Path) -> None:
        """Writes every agent and ``trial.json`` into `directory`.

        Args:
            directory: An existing folder.

        Raises:
            OSError: A file cannot be written.
        """
        from velto_kit import save

        for seed, agent in zip(self.config.seeds, self.population.agents, strict=True):
            save(agent, directory / agent_file(seed))
        state = {"episodes": self.episodes, "steps": self.steps, "seconds": self.seconds}
        (directory / TRIAL_FILE).write_text(json.dumps(state))
        manifests = [] if self.run_folder is None else run_checkpoints(self.run_folder)
        if manifests:
            copy_run_checkpoint(manifests[-1], directory)


def copy_run_checkpoint(manifest: Path, directory: Path) -> None:
    """Copies the run checkpoint of `manifest` (its files, then the manifest) into `directory`.

    Args:
        manifest: a run checkpoint's ``run-NNNNNN.json``.
        directory: an existing folder.
    """
    for path in checkpoint_files(manifest):  # plain names in its folder only
        shutil.copy2(path, directory / path.name)
    shutil.copy2(manifest, directory / manifest.name)


def train_population_trial(config: TrialConfig) -> None:
    """Ray Tune function trainable for a trial of several seeds (see the module's text).

    Args:
        config: The trial, with ``seeds_per_trial`` above 1.

    Raises:
        CheckpointError: Tune's checkpoint of the trial is damaged.
    """
    from ray import tune

    checkpoint = tune.get_checkpoint()
    if checkpoint is None:
        trial = PopulationTrial.build(config, None)
    else:
        with checkpoint.as_directory() as folder:
            trial = PopulationTrial.build(config, Path(folder))
    try:
        for reports, metrics in enumerate(trial.metrics(trial.run())):
            due = trial.checkpoint_due()
            if reports == 0 or due:
                # The reporting seed's agent as of its latest hand-over, as a tracker sees it.
                member = trial.population.agents[trial.config.seeds.index(metrics["seed"])]
                metrics.update(critic_metrics(member))
            if not due:
                tune.report(metrics)
                continue
            with tempfile.TemporaryDirectory() as folder:
                trial.save(Path(folder))
                tune.report(metrics, checkpoint=tune.Checkpoint.from_directory(folder))
    finally:
        trial.envs.close()
        if trial.run_folder is not None:
            shutil.rmtree(trial.run_folder, ignore_errors=True)
