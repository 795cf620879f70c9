"""The agent's trials of one setting on several seeds as one population on a vector environment
(``velto_kit.run_population``), when the installed velto_kit has it.

Agent i of the population makes exactly the calls ``run_episodes`` makes for the trial of seed
``seeds[i]``: its sub-environment is reset with that seed, its mapping draws from
``default_rng(seeds[i])``, and Gymnasium's synchronous vector environment steps the same
single environments, or, for a task with an exact native version, a native run steps the native
task. So a trial's returns are the same whichever way it runs.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any


def available() -> bool:
    """Whether the installed velto_kit can run populations."""
    import velto_kit

    return hasattr(velto_kit, "run_population") and hasattr(velto_kit, "Population")


def same_but_seed(configs: Sequence[dict[str, Any]]) -> bool:
    """Whether `configs` differ in their seeds alone (each seed once): one population can run
    them.

    Example:
        >>> same_but_seed([{"alpha": 0.1, "seed": 0}, {"alpha": 0.1, "seed": 1}])
        True
        >>> same_but_seed([{"alpha": 0.1, "seed": 0}, {"alpha": 0.2, "seed": 1}])
        False
    """
    rest = [{k: v for k, v in config.items() if k != "seed"} for config in configs]
    seeds = [config["seed"] for config in configs]
    return all(other == rest[0] for other in rest) and len(set(seeds)) == len(seeds)


def run_agents(configs: Sequence[dict[str, Any]]) -> list[dict[str, Any]]:
    """Runs the agent trials `configs` (the same settings, their own seeds) as one population;
    returns one result per config, as ``fair_study.run_trial`` gives it."""
    import gymnasium as gym
    import numpy as np
    from velto_kit import Population, action_mapping, make_agent, run_population
    from velto_kit import _native as velto_native
    from velto_kit.sweeps.trial_config import TrialConfig
    from velto_kit.sweeps.trial_learners import trial_features

    if not configs or not same_but_seed(configs) or configs[0]["learner"] != "velto":
        raise ValueError("run_agents needs agent trials that differ in their seeds alone")
    trials = [TrialConfig.from_dict({**c, "checkpoint_every": 10**9}) for c in configs]
    first = trials[0]
    limit = (
        {} if first.max_episode_steps is None else {"max_episode_steps": first.max_episode_steps}
    )
    seeds = [trial.seed for trial in trials]
    # An installed velto_kit without native tasks lists none.
    native_ids = getattr(velto_native, "exact_native_task_ids", list)()
    if first.env_id in native_ids:
        return run_native_agents(configs, trials, limit)
    envs = SeedList(
        gym.make_vec(first.env_id, len(trials), vectorization_mode="sync", **limit), seeds
    )
    features = trial_features(first, envs)
    mapping = action_mapping(first.mapping, int(envs.single_action_space.n))
    agents = [
        make_agent(features.num_features, mapping.num_units, trial.settings, trial.seed)
        for trial in trials
    ]
    returns: list[list[float]] = [[] for _ in trials]
    steps = [0] * len(trials)
    results = run_population(
        envs,
        Population(agents),
        features,
        mapping,
        episodes=first.episodes,
        gamma=first.gamma,
        seed=0,
        rngs=[np.random.default_rng(seed) for seed in seeds],
    )
    for result in results:
        returns[result.agent].append(result.return_)
        steps[result.agent] = result.steps
    envs.close()
    return [
        {"config": config, "returns": returns[i], "steps": steps[i]}
        for i, config in enumerate(configs)
    ]


def run_native_agents(
    configs: Sequence[dict[str, Any]], trials: Sequence[Any], limit: dict[str, int]
) -> list[dict[str, Any]]:
    """Runs the agent trials as one native run (the whole loop in C++), each agent's task first
    reset with its own seed and its mapping drawing from ``default_rng(seed)``: the same calls as
    ``run_episodes`` makes for each trial."""
    import gymnasium as gym
    import numpy as np
    from velto_kit import action_mapping, make_agent
    from velto_kit.experiments.native_loop import NativeRunLoop
    from velto_kit.sweeps.trial_learners import trial_features

    first = trials[0]
    features = trial_features(first, gym.make(first.env_id, **limit))
    mapping = action_mapping(first.mapping, int(gym.make(first.env_id).action_space.n))
    agents = [
        make_agent(features.num_features, mapping.num_units, trial.settings, trial.seed)
        for trial in trials
    ]
    seeds = [trial.seed for trial in trials]
    loop = NativeRunLoop(
        first.env_id, dict(limit), agents, features, mapping, gamma=first.gamma, seed=0,
        rngs=[np.random.default_rng(seed) for seed in seeds], starts=[0] * len(trials),
        ends=[first.episodes] * len(trials), mode="learn", threads=1, checkpoint_every=None,
        seeds=seeds,
    )  # fmt: skip
    returns: list[dict[int, float]] = [{} for _ in trials]
    steps = [0] * len(trials)
    for batch in loop.batches():
        for agent, episode, episode_return, _, agent_steps in batch:
            returns[agent][episode] = episode_return
            steps[agent] = agent_steps
    return [
        {"config": config, "returns": [returns[i][e] for e in sorted(returns[i])],
         "steps": steps[i]}
        for i, config in enumerate(configs)
    ]  # fmt: skip


class SeedList:
    """A vector environment whose seeded resets use the given seed of each sub-environment
    instead of ``seed + i``: trials of any seeds then make one population."""

    def __init__(self, envs: Any, seeds: Sequence[int]) -> None:
        self.envs = envs
        self.seeds = list(seeds)

    def reset(self, *, seed: Any = None, options: Any = None) -> Any:
        return self.envs.reset(seed=None if seed is None else self.seeds, options=options)

    def __getattr__(self, name: str) -> Any:
        return getattr(self.envs, name)
