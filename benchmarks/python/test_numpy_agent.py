"""The benchmark's NumPy agent must do the module's work: the same engine and draws, and the same
decisions on transitions where the learned weights decide."""

import numpy as np
import pytest

import velto_actor_critic
from mt19937 import StandardMT19937, uniform_from_outputs
from numpy_agent import NumpyActorCritic


def test_standard_seeding_gives_the_standard_sequence():
    # The C++ standard requires the 10000th output of a default-seeded (5489) mt19937 to be this.
    assert StandardMT19937(5489).outputs(10000)[-1] == 4123659995


@pytest.mark.parametrize(
    ("first", "second", "expected"),
    [
        (2**32 - 1, 0, (2**21 - 1) * 2.0**-53),
        (0, 1, 2.0**-32),
        (2**32 - 1, 2**32 - 1, 1 - 2.0**-53),
        (2**11 - 1, 0, 0.0),
    ],
)
def test_uniform_takes_high_bits_from_the_second_output(first, second, expected):
    assert uniform_from_outputs(first, second) == expected


def agents(**overrides):
    parameters = dict(
        num_features=64,
        num_actions=3,
        lambda_=0.9,
        alpha=0.05,
        epsilon=1e-3,
        meta_step_size=0.01,
        eta=1.0,
        eta_actor=1.0,
        decay=0.5,
        action_prob_at_init=0.5,
        seed=7,
    )
    parameters.update(overrides)
    return velto_actor_critic.VeltoActorCritic(**parameters), NumpyActorCritic(**parameters)


@pytest.mark.parametrize("seed", [0, -230290, 2147483647, -1])
def test_units_draw_from_their_own_seeds(seed):
    # With no features only the draws decide, so every unit's engine and seed must match.
    module, numpy_agent = agents(seed=seed, num_actions=5, action_prob_at_init=0.3)
    for _ in range(300):
        assert numpy_agent.step([], 0.0, 0.95) == module.step([], 0.0, 0.95)


def rewarded_run(module, numpy_agent, states, gamma):
    """Feeds both agents the same states, with a reward that depends on the actions the module
    took, so that the learned weights steer the later decisions. Returns both decision lists."""
    module_taken, numpy_taken = [], []
    reward = 0.0
    for features in states:
        module_actions = module.step(features, reward, gamma)
        numpy_taken.append(numpy_agent.step(np.array(features), reward, gamma))
        module_taken.append(module_actions)
        reward = 1.0 if 0 in module_actions else -0.5 * len(module_actions)
    return module_taken, numpy_taken


def random_states(count, num_features, active, seed, distinct=True):
    rng = np.random.default_rng(seed)
    return [
        rng.choice(num_features, active, replace=not distinct).tolist() for _ in range(count)
    ]


@pytest.mark.parametrize(
    ("case", "overrides", "states", "gamma"),
    [
        ("distinct features", {}, random_states(400, 64, 6, 1), 0.95),
        ("repeated indices", {}, random_states(400, 16, 8, 2, distinct=False), 0.95),
        ("over both budgets", {"alpha": 0.4}, random_states(400, 64, 6, 3), 0.95),
        (
            "fast meta-learning",
            {"meta_step_size": 2.0, "num_features": 16},
            random_states(400, 16, 4, 7),
            0.95,
        ),
        ("no discount", {}, random_states(400, 64, 6, 4), 0.0),
        ("few features recurring", {"num_features": 8}, random_states(400, 8, 3, 5), 0.9),
        (
            "pruning every step",
            {"epsilon": 0.99, "num_actions": 8},
            random_states(300, 64, 10, 6),
            0.95,
        ),
    ],
)
def test_takes_the_module_decisions(case, overrides, states, gamma):
    module, numpy_agent = agents(**overrides)
    module_taken, numpy_taken = rewarded_run(module, numpy_agent, states, gamma)
    assert numpy_taken == module_taken, case


@pytest.mark.parametrize("features", [[64], [-1], [3, 70]])
def test_rejects_indices_outside_the_arrays(features):
    # A negative index would otherwise wrap around silently in NumPy.
    _, numpy_agent = agents()
    with pytest.raises(IndexError):
        numpy_agent.step(features, 0.0, 0.95)
