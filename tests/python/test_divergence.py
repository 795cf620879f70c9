"""A learner that diverges is noticed: by run_episodes (a warning and a flag on its results), by
the critic check itself, and by a sweep's trial (marked, stopped early, its row marked)."""

from __future__ import annotations

import math
import types
import warnings

import gymnasium as gym
import numpy as np
import pandas
import pytest
from velto_kit import AgentSettings, action_mapping, features_for, make_agent, run_episodes
from velto_kit.experiments.divergence import critic_diverged
from velto_kit.sweeps import tune as trial_module
from velto_kit.sweeps.sweep import trial_rows

# On CartPole these step sizes take the critic's weights past binary32 in episode 2.
DIVERGING = {"alpha": 1.0, "eta": 1000.0, "eta_actor": 1000.0}


def cartpole_results(settings: AgentSettings, episodes: int):
    env = gym.make("CartPole-v1")
    coder, mapping = features_for(env), action_mapping("binary", 2)
    agent = make_agent(coder.num_features, mapping.num_units, settings, seed=0)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        results = list(
            run_episodes(env, agent, coder, mapping, episodes=episodes, gamma=0.99, seed=0)
        )
    return results, [str(w.message) for w in caught if w.category is RuntimeWarning]


@pytest.mark.parametrize(
    ("settings", "first"), [(AgentSettings(**DIVERGING), 2), (AgentSettings(), None)]
)
def test_run_episodes_flags_and_warns_once_from_the_episode_that_diverged(settings, first):
    results, warned = cartpole_results(settings, 8)
    flags = [result.diverged for result in results]
    if first is None:
        assert flags == [False] * 8 and warned == []
    else:
        assert flags == [False] * first + [True] * (8 - first)
        assert len(warned) == 1 and f"episode {first}" in warned[0]
        assert results[-1].as_dict()["diverged"] is True


def agent_after(*transitions):
    agent = make_agent(4, 0, AgentSettings(alpha=1.0, meta_step_size=0.0, eta=1e30), seed=0)
    for features, cumulant in transitions:
        agent.step(features, cumulant, 0.0)
    return agent


@pytest.mark.parametrize(
    ("learner", "features", "expected"),
    [
        (agent_after(([0], 0.0), ([1], 1.0)), [0, 1], False),
        (agent_after(([0], 0.0), ([1], math.inf)), [1], True),
        # Both weights finite (3e38 each), their sum not: only the value check sees it.
        (agent_after(([0], 0.0), ([1], 3e38), ([0], 3e38)), [0, 1], True),
        (types.SimpleNamespace(weights=np.array([[0.0, np.nan]])), (), True),
        (types.SimpleNamespace(weights=np.zeros((2, 2))), (), False),
        (object(), (), False),
    ],
    ids=["finite", "inf-weight", "value-overflow", "sarsa-nan", "sarsa-finite", "no-weights"],
)
def test_critic_diverged(learner, features, expected):
    assert critic_diverged(learner, features) is expected


def test_a_diverging_trial_is_marked_and_stopped_early(monkeypatch):
    import ray.tune

    reports = []
    monkeypatch.setattr(ray.tune, "get_checkpoint", lambda: None)
    monkeypatch.setattr(
        ray.tune, "report", lambda metrics, checkpoint=None: reports.append((metrics, checkpoint))
    )
    config = {"env_id": "CartPole-v1", "episodes": 30, "checkpoint_every": 1, **DIVERGING}
    with pytest.warns(RuntimeWarning, match="diverged"):
        trial_module.train_trial(config)
    assert [metrics["diverged"] for metrics, _ in reports] == [False, False, True]
    # The diverged report carries no checkpoint: a restore would continue a lost learner.
    assert reports[-1][1] is None and all(checkpoint for _, checkpoint in reports[:-1])


def test_a_sweep_row_of_a_diverged_trial_says_so():
    def result(flags):
        frame = pandas.DataFrame(
            {"episode": range(len(flags)), "return": 1.0, "length": 1, "steps": 1,
             "seconds": 0.1, "diverged": flags}
        )  # fmt: skip
        config = {"env_id": "CartPole-v1", "episodes": len(flags)}
        return types.SimpleNamespace(
            path=f"/x/{flags}", config=config, error=None, metrics={"trial_id": str(flags)},
            metrics_dataframe=frame,
        )  # fmt: skip

    rows = trial_rows([result([False, True]), result([False, np.nan]), result([False])], 5)
    assert sorted(row["status"] for row in rows) == ["diverged", "done", "done"]


@pytest.mark.parametrize("poisoned", [False, True])
def test_a_sarsa_trial_learner_reports_weights_that_are_not_finite(poisoned):
    from velto_kit.sweeps.trial_config import TrialConfig
    from velto_kit.sweeps.trial_learners import build_learner

    env = gym.make("CartPole-v1")
    learner = build_learner(TrialConfig(learner="sarsa", episodes=2), env, None)
    if poisoned:
        learner.learner.weights[0, 0] = np.nan
    results = list(learner.run(env, episodes=2, start_episode=0, seed=0))
    assert [result.diverged for result in results] == [poisoned, poisoned]
