"""A Ray Tune function trainable: one learner trained on one task, one report per episode.

``train_trial(config)`` is what ``ray.tune.Tuner`` runs for each point of a sweep's grid. It
reports every episode to Tune (``episode``, ``return``, ``length``, ``steps``, ``seconds``,
``diverged``), so Tune's own trial records (``progress.csv``, ``result.json``) hold the
per-episode data. For the agent, the first report of each run, every report with a checkpoint
and a divergence's also carry the critic's step-size and weight statistics
(``critic/step_sizes/q50``, ``critic/weights/near_zero``, ...: quantiles, extremes and how many
are near zero, ``velto_kit.experiments.tracking.critic_metrics``), so Tune's own TensorBoard
files show the learned step sizes over the trial (at each report they would cost more than a
short episode). A learner that diverged (its critic's weights or value no longer finite) ends
its trial with that episode's report, and the sweep's table marks it ``diverged``. It hands
Tune a checkpoint every ``checkpoint_every`` episodes and after the last one: a folder with the
learner (the agent through ``velto_kit.save``) and ``trial.json`` (episodes done, steps and
seconds so far). A trial of several seeds (``seeds_per_trial``) trains them as one population
(``velto_kit.sweeps.population_trial``) and reports each episode with its ``seed``.

When Tune restores a trial (a retry after a failure, or ``Tuner.restore`` of an interrupted
sweep), the learner continues from the latest checkpoint with its episode count, steps and
seconds. The agent (``learner="velto"``) is saved as a run checkpoint (``velto_kit.save_run``):
its environment's state, the mapping's generator and its pending actions included, so a restored
trial continues exactly, its episodes and final agent equal to an uninterrupted trial's (for an
environment whose state cannot be stored, and for the SARSA and random learners, the environment
starts a fresh episode, reset with a seed derived from the trial's seed and the episode count,
``resume_seed``). Episodes reported after that checkpoint and before the interruption are run
again and reported a second time; the sweep's tables keep the later report of each episode.
"""

from __future__ import annotations

import json
import tempfile
from collections.abc import Mapping
from pathlib import Path
from typing import Any

from velto_kit.experiments import environments
from velto_kit.experiments.tracking import critic_metrics
from velto_kit.experiments.training_run import resume_seed
from velto_kit.sweeps.trial_config import TrialConfig
from velto_kit.sweeps.trial_learners import AgentLearner, build_learner

TRIAL_FILE = "trial.json"
__all__ = ["TRIAL_FILE", "make_env", "resume_seed", "train_trial"]


def make_env(config: TrialConfig) -> Any:
    """The trial's Gymnasium environment, with its own time limit unless the trial sets one.

    Args:
        config: The trial; its ``env_id`` and ``max_episode_steps`` are read.

    Returns:
        A new environment made with ``gymnasium.make``.

    Raises:
        gymnasium.error.Error: Gymnasium knows no environment ``config.env_id`` (or cannot make
            it).

    Example:
        >>> make_env(TrialConfig(max_episode_steps=50)).spec.max_episode_steps
        50
    """
    return environments.make_env(config.env_id, config.max_episode_steps)


def train_trial(config: Mapping[str, Any]) -> None:
    """Ray Tune function trainable: trains the learner of `config` on its task.

    Each episode is reported to Tune; a checkpoint (the learner and ``trial.json``) goes with the
    report every ``checkpoint_every`` episodes and with the last one. A restored trial continues
    from Tune's latest checkpoint. A trial of several seeds trains them as one population.

    Args:
        config: The trial's settings as Tune passes them (see ``TrialConfig``); missing keys
            take their defaults.

    Raises:
        ValueError: A setting of `config` is unknown or out of range (from
            ``TrialConfig.from_dict``), or the learner does not fit the task.
        gymnasium.error.Error: The trial's environment cannot be made.

    Example:
        >>> from ray import tune
        >>> tuner = tune.Tuner(train_trial, param_space={
        ...     "env_id": "CartPole-v1", "episodes": 20, "seed": tune.grid_search([0, 1])})
        >>> results = tuner.fit()  # doctest: +SKIP
    """
    from ray import tune

    trial = TrialConfig.from_dict(config)
    if trial.seeds_per_trial > 1:
        from velto_kit.sweeps.population_trial import train_population_trial

        return train_population_trial(trial)
    done: dict[str, Any] = {"episodes": 0, "steps": 0, "seconds": 0.0}
    checkpoint = tune.get_checkpoint()
    env = make_env(trial)
    try:
        if checkpoint is None:
            learner = build_learner(trial, env, None)
        else:
            with checkpoint.as_directory() as folder:
                done = json.loads((Path(folder) / TRIAL_FILE).read_text())
                learner = build_learner(trial, env, Path(folder))
        remaining = trial.episodes - done["episodes"]
        results = learner.run(
            env,
            episodes=remaining,
            start_episode=done["episodes"],
            seed=resume_seed(trial.seed, done["episodes"]),
        )
        for reports, result in enumerate(results):
            metrics: dict[str, Any] = {
                "episode": result.episode,
                "return": result.return_,
                "length": result.length,
                "steps": done["steps"] + result.steps,
                "seconds": done["seconds"] + result.seconds,
                "diverged": result.diverged,
            }
            episodes_done = result.episode + 1
            due = episodes_done % trial.checkpoint_every == 0 or episodes_done == trial.episodes
            if isinstance(learner, AgentLearner) and (reports == 0 or due or result.diverged):
                metrics.update(critic_metrics(learner.agent))
            if result.diverged:
                # Nothing more to learn: the trial ends here, marked, without a checkpoint.
                tune.report(metrics)
                break
            if not due:
                tune.report(metrics)
                continue
            with tempfile.TemporaryDirectory() as folder:
                state = {"episodes": episodes_done, "steps": metrics["steps"]}
                state["seconds"] = metrics["seconds"]
                learner.save(Path(folder))
                (Path(folder) / TRIAL_FILE).write_text(json.dumps(state))
                tune.report(metrics, checkpoint=tune.Checkpoint.from_directory(folder))
    finally:
        env.close()
