"""The SARSA(lambda) baseline: known values on a chain, the textbook update, control, errors."""

import numpy as np
import pytest
from velto_kit.sweeps.baselines import SarsaLambda


def one_hot(state: int) -> list[int]:
    return [state]


def run_chain(learner: SarsaLambda, length: int, episodes: int) -> None:
    """A chain 0 -> 1 -> ... -> length-1 -> end with one action, reward 1 only on the last move."""
    for _ in range(episodes):
        learner.start(one_hot(0))
        for state in range(1, length):
            learner.step(one_hot(state), reward=0.0)
        learner.step(one_hot(0), reward=1.0, terminal=True)


@pytest.mark.parametrize("traces", ["replacing", "accumulating"])
@pytest.mark.parametrize("lambda_", [0.0, 0.8, 1.0])
def test_chain_values_converge_to_discounted_reward(traces: str, lambda_: float) -> None:
    length, gamma = 5, 0.9
    learner = SarsaLambda(length, 1, 0.5, lambda_, gamma, 0.0, seed=1, traces=traces)  # type: ignore[arg-type]
    run_chain(learner, length, episodes=300)
    values = [learner.value(one_hot(state), 0) for state in range(length)]
    expected = [gamma ** (length - 1 - state) for state in range(length)]
    np.testing.assert_allclose(values, expected, atol=1e-3)


Transition = tuple[list[int], int, float, bool, list[int], int]


def dense_sarsa_weights(
    events: list[Transition | None],
    num_features: int,
    num_actions: int,
    alpha: float,
    lambda_: float,
    gamma: float,
    accumulating: bool,
) -> np.ndarray:
    """Linear SARSA(lambda) written out with full arrays, one transition at a time.

    Each event is a transition (features, action, reward, terminal, next features, next action)
    or None, a new episode after a truncation (traces cleared, nothing learned).
    """
    w = np.zeros((num_features, num_actions))
    z = np.zeros((num_features, num_actions))
    for event in events:
        if event is None:
            z[:] = 0.0
            continue
        features, action, reward, terminal, next_features, next_action = event
        for f in features:
            z[f, action] = z[f, action] + 1.0 if accumulating else 1.0
        delta = reward - sum(w[f, action] for f in features)
        if not terminal:
            delta += gamma * sum(w[f, next_action] for f in next_features)
        w += alpha / len(features) * delta * z
        z *= 0.0 if terminal else gamma * lambda_
    return w


@pytest.mark.parametrize("traces", ["replacing", "accumulating"])
def test_sparse_traces_match_the_dense_update_without_cutoff(traces: str) -> None:
    num_features, num_actions, alpha, lambda_, gamma = 12, 3, 0.3, 0.7, 0.95
    learner = SarsaLambda(
        num_features,
        num_actions,
        alpha,
        lambda_,
        gamma,
        0.2,
        seed=5,
        traces=traces,
        trace_cutoff=0.0,  # type: ignore[arg-type]
    )
    rng = np.random.default_rng(9)

    def state() -> list[int]:
        # Repeats within a state exercise the accumulating case.
        return [int(i) for i in rng.integers(0, num_features, size=3)]

    events: list[Transition | None] = []
    features = state()
    action = learner.start(features)
    for t in range(400):
        next_features = state()
        reward = float(rng.normal())
        terminal = t % 37 == 36
        next_action = learner.step(next_features, reward, terminal=terminal)
        events.append((features, action, reward, terminal, next_features, next_action))
        features, action = next_features, next_action
        if t % 53 == 52 and not terminal:
            # Truncation: the step above bootstrapped; the next episode starts without traces.
            events.append(None)
            features = state()
            action = learner.start(features)
    expected = dense_sarsa_weights(
        events, num_features, num_actions, alpha, lambda_, gamma, traces == "accumulating"
    )
    np.testing.assert_allclose(learner.weights, expected, rtol=1e-12, atol=1e-12)
    assert np.abs(expected).max() > 0.1  # the run did learn something to compare


def test_cutoff_drops_faint_traces_and_keeps_values_close() -> None:
    exact = SarsaLambda(6, 1, 0.5, 0.9, 0.9, 0.0, seed=0, trace_cutoff=0.0)
    cut = SarsaLambda(6, 1, 0.5, 0.9, 0.9, 0.0, seed=0, trace_cutoff=0.05)
    for learner in (exact, cut):
        run_chain(learner, 6, episodes=3)
    # (0.81)^k falls below 0.05 after 15 steps, so a 6-step chain keeps every trace: same values.
    np.testing.assert_allclose(cut.weights, exact.weights)
    long_exact = SarsaLambda(40, 1, 0.5, 0.9, 1.0, 0.0, seed=0, trace_cutoff=0.0)
    long_cut = SarsaLambda(40, 1, 0.5, 0.9, 1.0, 0.0, seed=0, trace_cutoff=0.05)
    for learner in (long_exact, long_cut):
        run_chain(learner, 40, episodes=1)
    # With a 40-step chain the first states' traces fell under the cutoff before the reward.
    assert long_cut.value([0], 0) == 0.0 < long_exact.value([0], 0)
    assert long_cut.value([39], 0) == pytest.approx(long_exact.value([39], 0))


def corridor_episode(learner: SarsaLambda, length: int, limit: int) -> int:
    """A corridor of `length` cells: action 1 moves right, 0 left (floored at 0), reward -1 per
    move, the episode ends on reaching the last cell or is truncated after `limit` moves.
    Returns the number of moves."""
    position = 0
    action = learner.start(one_hot(position))
    for moves in range(1, limit + 1):
        position = max(position - 1, 0) if action == 0 else position + 1
        if position == length - 1:
            learner.step(one_hot(0), -1.0, terminal=True)
            return moves
        if moves == limit:
            learner.step(one_hot(position), -1.0)
            return moves
        action = learner.step(one_hot(position), -1.0)
    raise AssertionError("unreachable")


def test_optimistic_start_learns_the_shortest_path() -> None:
    learner = SarsaLambda(10, 2, 0.5, 0.9, 1.0, 0.0, seed=3)
    lengths = [corridor_episode(learner, 10, limit=200) for _ in range(60)]
    assert lengths[-1] == 9
    greedy = [int(np.argmax(learner.weights[state])) for state in range(9)]
    assert greedy == [1] * 9
    # Values approach minus the moves left: -(9 - state).
    np.testing.assert_allclose(
        [learner.value([s], 1) for s in range(9)], [-(9 - s) for s in range(9)], atol=0.5
    )


def test_epsilon_greedy_explores_at_the_stated_rate_and_breaks_ties_at_random() -> None:
    learner = SarsaLambda(2, 4, 0.1, 0.0, 1.0, 0.25, seed=7)
    learner.weights[0, 2] = 1.0
    choices = np.array([learner.start([0]) for _ in range(8000)])
    # Greedy 3/4 of the time plus 1/16 from exploration.
    assert abs(np.mean(choices == 2) - (0.75 + 0.25 / 4)) < 0.02
    ties = np.array([SarsaLambda(2, 4, 0.1, 0.0, 1.0, 0.0, seed=s).start([1]) for s in range(400)])
    assert set(ties.tolist()) == {0, 1, 2, 3}


def test_same_seed_same_run() -> None:
    runs = []
    for _ in range(2):
        learner = SarsaLambda(10, 2, 0.5, 0.9, 1.0, 0.1, seed=11)
        runs.append([corridor_episode(learner, 10, limit=50) for _ in range(10)])
    assert runs[0] == runs[1]


@pytest.mark.parametrize(
    ("arguments", "name"),
    [
        ({"num_features": 0}, "num_features"),
        ({"num_actions": 0}, "num_actions"),
        ({"alpha": 0.0}, "alpha"),
        ({"alpha": float("nan")}, "alpha"),
        ({"lambda_": 1.5}, "lambda_"),
        ({"gamma": -0.1}, "gamma"),
        ({"epsilon": 2.0}, "epsilon"),
        ({"traces": "dutch"}, "traces"),
        ({"trace_cutoff": -1.0}, "trace_cutoff"),
        ({"initial_value": float("inf")}, "initial_value"),
        ({"features_per_state": 0}, "features_per_state"),
    ],
)
def test_bad_arguments_are_named(arguments: dict[str, object], name: str) -> None:
    settings: dict[str, object] = {
        "num_features": 4,
        "num_actions": 2,
        "alpha": 0.1,
        "lambda_": 0.9,
        "gamma": 0.9,
        "epsilon": 0.1,
        "seed": 0,
    }
    settings.update(arguments)
    with pytest.raises(ValueError, match=name):
        SarsaLambda(**settings)  # type: ignore[arg-type]


def test_feature_index_outside_the_range_and_step_before_start_raise() -> None:
    learner = SarsaLambda(4, 2, 0.1, 0.9, 0.9, 0.1, seed=0)
    with pytest.raises(RuntimeError, match="start"):
        learner.step([0], 0.0)
    with pytest.raises(IndexError, match="4 outside"):
        learner.start([1, 4])
    with pytest.raises(IndexError, match="-1 outside"):
        learner.value([-1], 0)


@pytest.mark.parametrize(
    ("initial_value", "features_per_state", "active"),
    [(0.0, 1, [2]), (100.0, 1, [2]), (100.0, 8, list(range(8))), (-5.0, 4, [0, 3, 5, 6])],
)
def test_every_action_starts_at_the_initial_value_in_a_state_of_that_many_features(
    initial_value: float, features_per_state: int, active: list[int]
) -> None:
    learner = SarsaLambda(
        16, 3, 0.1, 0.9, 0.99, 0.0, seed=0,
        initial_value=initial_value, features_per_state=features_per_state,
    )
    values = [learner.value(active, action) for action in range(3)]
    np.testing.assert_allclose(values, [initial_value] * 3, rtol=1e-12)


def test_an_optimistic_start_explores_where_a_zero_start_repeats_its_first_action() -> None:
    # Every reward +1 on a one-state task: from 0 the taken action's value rises above the
    # other's and greedy SARSA keeps it; from 20, above the true value 1 / (1 - gamma) = 10, the
    # taken action's value falls below the other's at every update, so the two alternate.
    def actions(initial_value: float) -> set[int]:
        learner = SarsaLambda(1, 2, 0.5, 0.0, 0.9, 0.0, seed=0, initial_value=initial_value)
        taken = {learner.start([0])}
        for _ in range(6):
            taken.add(learner.step([0], reward=1.0))
        return taken

    assert len(actions(0.0)) == 1
    assert actions(20.0) == {0, 1}
