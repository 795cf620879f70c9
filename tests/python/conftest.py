import importlib
import os
import random

import pytest

# The order the suites import the two packages in: the module first by default (velto_kit when a
# test asks for it); with VELTO_TEST_IMPORTS=kit-first velto_kit first, as every velto_kit example
# does. The dist stage runs the suites against the wheel both ways: each of its extensions links
# its own C++ runtime, and the first one imported sets up the binding library for both.
_IMPORT_ORDERS = {
    "module-first": ("velto_actor_critic",),
    "kit-first": ("velto_kit", "velto_actor_critic"),
}
_order = os.environ.get("VELTO_TEST_IMPORTS", "module-first")
if _order not in _IMPORT_ORDERS:
    raise pytest.UsageError(
        f"VELTO_TEST_IMPORTS must be one of {sorted(_IMPORT_ORDERS)}, not {_order!r}"
    )
for _name in _IMPORT_ORDERS[_order]:
    importlib.import_module(_name)

import velto_actor_critic  # noqa: E402

# num_features, num_actions, lambda_, alpha, epsilon, meta_step_size, eta, eta_actor, decay,
# action_prob_at_init, seed
AGENT_ARGS = (64, 4, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 7)


def make_agent(**changes):
    names = (
        "num_features num_actions lambda_ alpha epsilon meta_step_size eta eta_actor decay "
        "action_prob_at_init seed"
    ).split()
    kwargs = dict(zip(names, AGENT_ARGS))
    kwargs.update(changes)
    return velto_actor_critic.VeltoActorCritic(**kwargs)


def probe_steps(count=60, num_features=64, seed=99):
    """A fixed sequence of (features, reward, gamma) that exercises learning and decisions."""
    rng = random.Random(seed)
    return [
        (
            [rng.randrange(num_features) for _ in range(rng.randrange(0, 9))],
            rng.uniform(-1.0, 1.0),
            0.0 if rng.random() < 0.05 else 0.95,
        )
        for _ in range(count)
    ]


def run(agent, steps):
    return [agent.step(features, reward, gamma) for features, reward, gamma in steps]


@pytest.fixture
def agent_and_twin():
    """Two agents built alike and given the same history; tests compare their futures."""
    agent, twin = make_agent(), make_agent()
    history = probe_steps(count=40, seed=1)
    assert run(agent, history) == run(twin, history)
    return agent, twin
