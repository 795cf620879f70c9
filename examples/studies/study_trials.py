"""Running the full study's trials: the plain trials on the native loop where the installed
velto_kit has one for the task, every other trial (SARSA(lambda), the random policy, and the
robustness rows' trials with their wrappers) through ``run_episodes`` and the sweep's learners.

The native loop gives exactly ``run_episodes``' returns, so a trial's record is the same either
way; ``native_matches`` checks that on a short run before a study trusts it, and a task where
it does not hold falls back to ``run_episodes``.

Every record carries the CPU seconds its process spent on it (``time.process_time``), which is
what the study's time estimate adds up: wall time on a shared machine says more about the load
than about the work.
"""

from __future__ import annotations

import functools
import time
from collections.abc import Sequence
from typing import Any

from study_wrappers import Distractors, SwapActions

# Keys of a trial's config that the study adds to the sweep's settings (TrialConfig's).
STUDY_KEYS = ("distractors", "change_at")
NATIVE_TASKS = ("CartPole-v1", "MountainCar-v0", "Acrobot-v1", "CliffWalking-v1")


def plain(config: dict[str, Any]) -> bool:
    """Whether `config` is an agent trial on the unchanged task (one the native loop can run)."""
    return config["learner"] == "velto" and not any(key in config for key in STUDY_KEYS)


@functools.cache
def native_available(env_id: str) -> bool:
    """Whether ``make_vector_env(env_id, ..., backend="native")`` exists in this velto_kit."""
    import velto_kit

    if env_id not in NATIVE_TASKS:
        return False
    # A task whose native numbers may differ from Gymnasium's in the last bit (Acrobot's first
    # observation) is not used, however short a comparison it passes.
    exact = getattr(velto_kit._native, "exact_native_task_ids", None)
    if exact is None or env_id not in exact():
        return False
    try:
        envs = velto_kit.make_vector_env(env_id, 1, seed=0, backend="native")
    except (ValueError, TypeError, NotImplementedError, ImportError):
        return False
    close = getattr(envs, "close", None)
    if close is not None:
        close()
    return True


def trial_settings(config: dict[str, Any]) -> Any:
    from velto_kit.sweeps.trial_config import TrialConfig

    rest = {key: value for key, value in config.items() if key not in STUDY_KEYS}
    return TrialConfig.from_dict({**rest, "checkpoint_every": 10**9})


def run_trial(config: dict[str, Any]) -> dict[str, Any]:
    """One trial through ``run_episodes`` (the agent) or the sweep's learners (the baselines),
    with the config's distractors and action swap, if any."""
    from velto_kit import action_mapping, make_agent, run_episodes
    from velto_kit.sweeps.baselines import SarsaLambda
    from velto_kit.sweeps.trial_learners import (
        SarsaLearner,
        build_learner,
        features_per_state,
        num_actions,
        trial_features,
    )
    from velto_kit.sweeps.tune import make_env

    started = time.process_time()
    trial = trial_settings(config)
    env: Any = make_env(trial)
    features: Any = trial_features(trial, env)
    per_state = features_per_state(features, env)
    if "distractors" in config:
        features = Distractors(features, k=int(config["distractors"]), seed=trial.seed)
        per_state += features.k
    if "change_at" in config:
        env = SwapActions(env, change_at=int(config["change_at"]))
    if trial.learner == "velto":
        mapping = action_mapping(trial.mapping, num_actions(env))
        agent = make_agent(features.num_features, mapping.num_units, trial.settings, trial.seed)
        results: Any = run_episodes(
            env, agent, features, mapping, episodes=trial.episodes, gamma=trial.gamma,
            seed=trial.seed,
        )  # fmt: skip
    elif trial.learner == "sarsa":
        sarsa = SarsaLambda(
            features.num_features, num_actions(env), alpha=trial.sarsa_alpha,
            lambda_=trial.sarsa_lambda, gamma=trial.gamma, epsilon=trial.sarsa_epsilon,
            seed=trial.seed, initial_value=trial.sarsa_initial_value, features_per_state=per_state,
        )  # fmt: skip
        results = SarsaLearner(sarsa, features).run(
            env, episodes=trial.episodes, start_episode=0, seed=trial.seed
        )
    else:
        learner = build_learner(trial, env, None)
        results = learner.run(env, episodes=trial.episodes, start_episode=0, seed=trial.seed)
    returns, steps = [], 0
    for result in results:
        returns.append(result.return_)
        steps = result.steps
    env.close()
    cpu = time.process_time() - started
    return {"config": config, "returns": returns, "steps": steps, "cpu_seconds": cpu}


def consecutive_runs(configs: Sequence[dict[str, Any]]) -> list[list[dict[str, Any]]]:
    """`configs` (the same settings, their own seeds) cut into runs of consecutive seeds: a native
    vector environment seeds its sub-environments ``seed, seed + 1, ...``.

    Example:
        >>> runs = consecutive_runs([{"seed": s} for s in (0, 1, 2, 5, 6)])
        >>> [[c["seed"] for c in run] for run in runs]
        [[0, 1, 2], [5, 6]]
    """
    runs: list[list[dict[str, Any]]] = []
    for config in sorted(configs, key=lambda c: c["seed"]):
        if runs and runs[-1][-1]["seed"] + 1 == config["seed"]:
            runs[-1].append(config)
        else:
            runs.append([config])
    return runs


def run_native(configs: Sequence[dict[str, Any]]) -> list[dict[str, Any]]:
    """Plain agent trials of one setting on consecutive seeds as one native population; one
    result per config, as ``run_trial`` gives it (CPU time shared out evenly)."""
    from velto_kit import Population, action_mapping, make_agent, make_vector_env, run_population
    from velto_kit.sweeps.trial_learners import trial_features

    started = time.process_time()
    trials = [trial_settings(config) for config in configs]
    first = trials[0]
    if [t.seed for t in trials] != list(range(first.seed, first.seed + len(trials))):
        raise ValueError("run_native needs trials on consecutive seeds")
    limit = (
        {} if first.max_episode_steps is None else {"max_episode_steps": first.max_episode_steps}
    )
    envs = make_vector_env(first.env_id, len(trials), seed=first.seed, backend="native", **limit)
    features = trial_features(first, envs)
    mapping = action_mapping(first.mapping, int(envs.single_action_space.n))
    agents = [
        make_agent(features.num_features, mapping.num_units, t.settings, t.seed) for t in trials
    ]
    returns: list[list[float]] = [[] for _ in trials]
    steps = [0] * len(trials)
    for result in run_population(
        envs, Population(agents), features, mapping, episodes=first.episodes, gamma=first.gamma,
        seed=first.seed,
    ):  # fmt: skip
        returns[result.agent].append(result.return_)
        steps[result.agent] = result.steps
    close = getattr(envs, "close", None)
    if close is not None:
        close()
    cpu = (time.process_time() - started) / len(trials)
    return [
        {"config": c, "returns": returns[i], "steps": steps[i], "cpu_seconds": cpu}
        for i, c in enumerate(configs)
    ]


def run_task(configs: list[dict[str, Any]], native: Sequence[str] = ()) -> list[dict[str, Any]]:
    """One task of the study's pool: plain agent trials of one setting on the native loop where
    their task is in `native` (the tasks the study checked), every other trial on its own
    through ``run_trial``. The pool takes ``functools.partial(run_task, native=...)``."""
    if configs and all(plain(c) for c in configs) and configs[0]["env_id"] in native:
        return [result for run in consecutive_runs(configs) for result in run_native(run)]
    return [run_trial(config) for config in configs]


def native_matches(
    env_id: str, config: dict[str, Any], *, seeds: int = 2, episodes: int = 3
) -> bool:
    """Whether the native loop gives `config`'s trials (on `env_id`, `seeds` seeds from the
    config's, `episodes` episodes) exactly the returns ``run_episodes`` gives."""
    configs = [
        {**config, "env_id": env_id, "episodes": episodes, "seed": config["seed"] + i}
        for i in range(seeds)
    ]
    native = [result["returns"] for result in run_native(configs)]
    single = [run_trial(c)["returns"] for c in configs]
    return native == single
