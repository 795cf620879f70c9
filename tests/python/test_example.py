"""Tests of the Gymnasium example's own pieces: tile coder, action mapping and a short run."""

import dataclasses
import itertools
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))

import train  # noqa: E402
from action_mapping import env_action  # noqa: E402
from tile_coder import TileCoder  # noqa: E402

CODERS = [
    # lows, highs, tiles per dimension, tilings
    ([0.0], [1.0], 4, 2),
    ([-1.0, 5.0], [1.0, 6.0], 3, 5),
    ([-2.4, -3.0, -0.2095, -3.5], [2.4, 3.0, 0.2095, 3.5], 6, 8),
]


def observations_for(lows: list[float], highs: list[float]) -> list[np.ndarray]:
    """Random points inside the box, its corners, and points far outside or infinite."""
    low, high = np.array(lows), np.array(highs)
    rng = np.random.default_rng(7)
    inside = [low + (high - low) * rng.random(low.size) for _ in range(50)]
    corners = [np.array(corner) for corner in itertools.product(*zip(lows, highs))]
    outside = [low - 10.0, high + 10.0, np.full(low.size, np.inf), np.full(low.size, -np.inf)]
    return inside + corners + outside


@pytest.mark.parametrize(("lows", "highs", "tiles", "tilings"), CODERS)
def test_tile_coder_gives_one_index_per_tiling_inside_its_block(lows, highs, tiles, tilings):
    coder = TileCoder(lows, highs, tiles, tilings)
    assert coder.num_features == tilings * (tiles + 1) ** len(lows)
    for observation in observations_for(lows, highs):
        indices = coder.active_features(observation)
        assert len(indices) == tilings
        assert all(isinstance(index, int) for index in indices)
        assert all(0 <= index < coder.num_features for index in indices)
        assert [index // coder.tiles_per_tiling for index in indices] == list(range(tilings))


@pytest.mark.parametrize(("lows", "highs", "tiles", "tilings"), CODERS[:2])
def test_tile_coder_reaches_every_feature_of_a_dense_grid_sweep(lows, highs, tiles, tilings):
    coder = TileCoder(lows, highs, tiles, tilings)
    axes = [np.linspace(low, high, 97) for low, high in zip(lows, highs)]
    reached = set()
    for point in itertools.product(*axes):
        reached.update(coder.active_features(point))
    assert reached == set(range(coder.num_features))


def test_tile_coder_generalises_only_between_near_observations():
    tiles, tilings = 6, 8
    coder = TileCoder([0.0, 0.0], [1.0, 1.0], tiles, tilings)
    width = 1.0 / tiles
    base = np.array([0.43, 0.61])
    same = set(coder.active_features(base))
    assert set(coder.active_features(base.copy())) == same
    # A shift below one tiling's offset step crosses at most one tiling's edge per dimension.
    near = base + width / tilings * 0.9
    assert len(same & set(coder.active_features(near))) >= tilings - 2
    # A full tile width apart in one dimension lands in another tile in every tiling.
    far = base + np.array([width * 1.01, 0.0])
    assert not same & set(coder.active_features(far))


@pytest.mark.parametrize(
    ("lows", "highs", "tiles", "tilings"),
    [
        ([0.0, 0.0], [1.0], 4, 2),
        ([], [], 4, 2),
        ([0.0], [0.0], 4, 2),
        ([1.0], [0.0], 4, 2),
        ([0.0], [np.inf], 4, 2),
        ([0.0], [1.0], 0, 2),
        ([0.0], [1.0], 4, 0),
        ([0.0] * 8, [1.0] * 8, 20, 100),
    ],
)
def test_tile_coder_rejects_boxes_and_sizes_it_cannot_index(lows, highs, tiles, tilings):
    with pytest.raises(ValueError):
        TileCoder(lows, highs, tiles, tilings)


@pytest.mark.parametrize("observation", [[np.nan, 0.5], [0.5], [0.5, 0.5, 0.5]])
def test_tile_coder_rejects_nan_and_wrongly_shaped_observations(observation):
    coder = TileCoder([0.0, 0.0], [1.0, 1.0], 4, 2)
    with pytest.raises(ValueError):
        coder.active_features(observation)


@pytest.mark.parametrize(
    ("num_env_actions", "taken", "action"),
    [
        (2, [], 0),
        (2, [0], 1),
        (3, [], 1),
        (3, [0], 0),
        (3, [1], 2),
        (3, [0, 1], 1),
    ],
)
def test_taken_units_map_onto_the_environment_action(num_env_actions, taken, action):
    assert env_action(taken, num_env_actions) == action


@pytest.mark.parametrize(
    ("num_env_actions", "taken"), [(1, []), (4, []), (2, [1]), (3, [2]), (3, [-1])]
)
def test_action_mapping_rejects_unsupported_counts_and_unknown_units(num_env_actions, taken):
    with pytest.raises(ValueError):
        env_action(taken, num_env_actions)


class RecordingAgent:
    """Stands in for the learner: records every call and replays a fixed choice of units."""

    calls: list[tuple[list[int], float, float]] = []
    choice: list[int] = []

    def __init__(self, **_arguments: object) -> None:
        pass

    def step(self, feature_indices: list[int], reward: float, gamma: float) -> list[int]:
        RecordingAgent.calls.append((list(feature_indices), reward, gamma))
        return list(RecordingAgent.choice)


def settings_for(**overrides: object) -> train.Settings:
    defaults = train.settings_from(train.parse_arguments(["--episodes", "2", "--window", "1"]))
    return dataclasses.replace(defaults, **overrides)  # type: ignore[arg-type]


@pytest.fixture
def recording_agent(monkeypatch):
    RecordingAgent.calls = []
    monkeypatch.setattr(train, "VeltoActorCritic", RecordingAgent)
    return RecordingAgent


def replay(
    settings: train.Settings, action: int, seed: int, episodes: int
) -> list[list[list[int]]]:
    """Feature lists of the observations that one fixed action meets: per episode, the first
    state and every later observation up to the last one."""
    env = train.make_env(settings)
    coder = train.make_tile_coder(env, settings)
    seen_per_episode = []
    observation, _ = env.reset(seed=seed)
    for _ in range(episodes):
        seen = [coder.active_features(observation)]
        while True:
            observation, _, terminated, truncated, _ = env.step(action)
            seen.append(coder.active_features(observation))
            if terminated or truncated:
                break
        seen_per_episode.append(seen)
        observation, _ = env.reset()
    return seen_per_episode


def test_termination_discounts_by_zero_into_the_next_episodes_first_state(recording_agent):
    # Always pushing right topples the pole within a few dozen steps, long before the time limit.
    recording_agent.choice = [0]
    settings = settings_for(episodes=2, gamma=0.9)
    returns, steps = train.train_seed(settings, seed=3, report=lambda *_: None)
    first, second = replay(settings, action=1, seed=3, episodes=2)
    calls = recording_agent.calls
    assert returns == [len(first) - 1, len(second) - 1] and steps == len(calls) - 1
    # The transition into a terminal state carries gamma 0 and the next first state's features;
    # the terminal observation itself is never shown to the agent.
    boundary = len(first) - 1
    gammas = [gamma for _, _, gamma in calls]
    assert gammas == [0.0] + [0.9] * (boundary - 1) + [0.0] + [0.9] * (len(second) - 2) + [0.0]
    assert [reward for _, reward, _ in calls] == [0.0] + [1.0] * steps
    assert [features for features, _, _ in calls[:boundary]] == first[:-1]
    assert calls[boundary][0] == second[0] != first[-1]


def test_truncation_bootstraps_from_the_final_observation_then_bridges(recording_agent):
    # A one-step time limit truncates every episode before the pole can fall.
    recording_agent.choice = []
    settings = settings_for(episodes=2, gamma=0.9, max_episode_steps=1)
    returns, steps = train.train_seed(settings, seed=3, report=lambda *_: None)
    assert returns == [1.0, 1.0] and steps == 2
    first, second, third = replay(settings, action=0, seed=3, episodes=3)
    # Per episode: the final observation with its reward and the usual gamma (the bootstrap),
    # then the bridge into the next first state with reward 0 and the usual gamma.
    assert recording_agent.calls == [
        (first[0], 0.0, 0.0),
        (first[1], 1.0, 0.9),
        (second[0], 0.0, 0.9),
        (second[1], 1.0, 0.9),
        (third[0], 0.0, 0.9),
    ]


def test_moving_average_matches_a_plain_trailing_mean():
    values = [3.0, 1.0, 4.0, 1.0, 5.0, 9.0, 2.0]
    for width in (1, 3, 10):
        expected = [np.mean(values[max(0, end - width) : end]) for end in range(1, len(values) + 1)]
        assert np.allclose(train.moving_average(values, width), expected)


@pytest.mark.parametrize("workers", [1, 2])
def test_short_training_run_prints_the_table_and_writes_the_plot(tmp_path, capsys, workers):
    plot = tmp_path / "curve.png"
    options = f"--episodes 3 --seeds 0 1 --workers {workers} --window 2 --random-episodes 2"
    train.main(options.split() + ["--no-progress", "--plot", str(plot)])
    output = capsys.readouterr().out
    first_cells = [line.split("|")[1].strip() for line in output.splitlines() if line[:1] == "|"]
    assert first_cells == ["seed", "---:", "0", "1", "mean ± sd"]
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("env_id", ["Pendulum-v1", "NoSuchEnvironment-v0"])
def test_an_environment_the_example_cannot_drive_stops_before_training(env_id, tmp_path):
    plot = tmp_path / "curve.png"
    with pytest.raises(SystemExit, match="error: "):
        train.main(["--env", env_id, "--episodes", "1", "--window", "1", "--plot", str(plot)])
    assert not plot.exists()
