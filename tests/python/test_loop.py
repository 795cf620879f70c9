"""The environment loop: the calls it makes to the agent, its results, features and baselines."""

import io

import gymnasium as gym
import numpy as np
import pytest
import velto_kit
from velto_kit import (
    AgentSettings,
    OneHot,
    action_mapping,
    evaluate,
    features_for,
    make_agent,
    random_returns,
    run_episodes,
    run_random,
)

# A scripted environment: Discrete observations, and per step (observation, reward, terminated,
# truncated). reset() returns the next of `firsts`.
STEP, RESET = "step", "reset"


class ScriptedEnv:
    observation_space = gym.spaces.Discrete(100)
    action_space = gym.spaces.Discrete(2)
    spec = None

    def __init__(self, firsts, transitions):
        self.firsts = list(firsts)
        self.transitions = list(transitions)
        self.log = []

    def reset(self, *, seed=None):
        self.log.append((RESET, seed))
        return self.firsts.pop(0), {}

    def step(self, action):
        self.log.append((STEP, action))
        return (*self.transitions.pop(0), {})


class RecordingAgent:
    """Records every call; takes unit 0 on odd calls."""

    def __init__(self):
        self.calls = []

    def step(self, features, reward, gamma):
        self.calls.append((list(features), reward, gamma))
        return [0] if len(self.calls) % 2 else []


def run(env, agent, **options):
    return list(
        run_episodes(env, agent, OneHot(100), action_mapping("binary", 2), gamma=0.9, **options)
    )


def test_termination_discounts_by_zero_into_the_next_first_state():
    env = ScriptedEnv(
        firsts=[10, 20, 30],
        transitions=[(11, 1.0, False, False), (12, 2.0, True, False), (21, -1.0, True, False)],
    )
    agent = RecordingAgent()
    results = run(env, agent, episodes=2, seed=5)
    # The terminal observations 12 and 21 are never shown to the agent.
    assert agent.calls == [
        ([10], 0.0, 0.0),
        ([11], 1.0, 0.9),
        ([20], 2.0, 0.0),
        ([30], -1.0, 0.0),
    ]
    assert env.log == [(RESET, 5), (STEP, 1), (STEP, 0), (RESET, None), (STEP, 1), (RESET, None)]
    assert [(r.episode, r.return_, r.length, r.steps) for r in results] == [
        (0, 3.0, 2, 2),
        (1, -1.0, 1, 3),
    ]
    assert 0 <= results[0].seconds <= results[1].seconds


def test_truncation_bootstraps_from_the_final_observation_then_bridges():
    env = ScriptedEnv(
        firsts=[10, 20, 30],
        transitions=[(11, 1.0, False, True), (21, 1.0, False, False), (22, 5.0, False, True)],
    )
    agent = RecordingAgent()
    results = run(env, agent, episodes=2)
    assert agent.calls == [
        ([10], 0.0, 0.0),
        ([11], 1.0, 0.9),  # the final observation, bootstrapped with the usual gamma
        ([20], 0.0, 0.9),  # the bridge into the next first state
        ([21], 1.0, 0.9),
        ([22], 5.0, 0.9),
        ([30], 0.0, 0.9),
    ]
    # Each action is the mapping of the units the previous call returned.
    assert [entry for entry in env.log if entry[0] == STEP] == [(STEP, 1), (STEP, 1), (STEP, 0)]
    assert [(r.return_, r.length, r.steps) for r in results] == [(1.0, 1, 1), (6.0, 2, 3)]


def test_actions_are_numbered_from_the_spaces_start():
    env = ScriptedEnv(
        firsts=[10, 20], transitions=[(11, 0.0, False, False), (12, 0.0, True, False)]
    )
    env.action_space = gym.spaces.Discrete(2, start=-1)
    run(env, RecordingAgent(), episodes=1)
    assert [entry for entry in env.log if entry[0] == STEP] == [(STEP, 0), (STEP, -1)]


def test_a_resumed_agent_meets_its_first_state_with_the_usual_gamma(tmp_path):
    env = ScriptedEnv(firsts=[10, 20], transitions=[(11, 1.0, True, False)])
    agent = RecordingAgent()
    results = run(env, agent, episodes=1, start_episode=7)
    assert agent.calls[0] == ([10], 0.0, 0.9)
    assert results[0].episode == 7


@pytest.mark.parametrize(
    "options",
    [
        {"episodes": -1},
        {"episodes": 1, "checkpoint_every": 0, "checkpoint_dir": "x"},
        {"episodes": 1, "checkpoint_every": 2},
    ],
)
def test_loop_refuses_meaningless_counts(options):
    with pytest.raises(ValueError):
        run(ScriptedEnv([0], []), RecordingAgent(), **options)


def test_training_on_a_discrete_task_is_reproducible():
    def train(seed):
        env = gym.make("FrozenLake-v1")
        features = features_for(env)
        mapping = action_mapping("default", 4)
        agent = make_agent(features.num_features, mapping.num_units, AgentSettings(), seed=seed)
        results = list(
            run_episodes(env, agent, features, mapping, episodes=30, gamma=0.95, seed=seed)
        )
        return [(r.return_, r.length) for r in results], results[-1].steps

    first, steps = train(3)
    assert train(3) == (first, steps)
    assert steps == sum(length for _, length in first)
    assert train(4) != (first, steps)


def test_random_baseline_is_seeded_and_counts_every_step():
    env = gym.make("CartPole-v1")
    results = list(run_random(env, episodes=5, seed=11))
    assert [r.episode for r in results] == list(range(5))
    assert results[-1].steps == sum(r.length for r in results)
    assert random_returns(gym.make("CartPole-v1"), episodes=5, seed=11) == [
        r.return_ for r in results
    ]


def test_features_follow_the_observation_space():
    cartpole = features_for(gym.make("CartPole-v1"), tiles=6, tilings=8)
    assert cartpole.num_features == 8 * 7**4
    taxi = features_for(gym.make("Taxi-v4"))
    assert isinstance(taxi, OneHot) and taxi.num_features == 500
    hashed = features_for(gym.make("MountainCar-v0"), tiles=4, tilings=2, hash_size=64)
    assert hashed.num_features == 64
    # LunarLander-like: a Box the space leaves unbounded needs bounds from the caller.
    unbounded = ScriptedEnv([], [])
    unbounded.observation_space = gym.spaces.Box(-np.inf, np.inf, (3,))
    with pytest.raises(ValueError, match=r"dimensions \[0, 1, 2\] are unbounded"):
        features_for(unbounded)
    bounded = features_for(unbounded, tiles=2, tilings=1, bounds=([0, 0, 0], [1, 1, 1]))
    assert bounded.num_features == 27
    square = ScriptedEnv([], [])
    square.observation_space = gym.spaces.Box(0.0, 1.0, (2, 2))
    flat = features_for(square, tiles=1, tilings=1)
    assert flat.active_features(np.ones((2, 2))) == [15]
    text = ScriptedEnv([], [])
    text.observation_space = gym.spaces.Text(5)
    with pytest.raises(ValueError, match="Box or Discrete"):
        features_for(text)


def test_one_hot_refuses_states_outside_its_space():
    coder = OneHot(3, start=-1)
    assert [coder.active_features(state) for state in (-1, 0, 1)] == [[0], [1], [2]]
    for state in (-2, 2):
        with pytest.raises(ValueError):
            coder.active_features(state)
    with pytest.raises(ValueError):
        OneHot(0)


def cartpole_agent(seed=0, **settings):
    env = gym.make("CartPole-v1")
    features = features_for(env)
    mapping = action_mapping("binary", 2)
    agent = make_agent(features.num_features, 1, AgentSettings(**settings), seed=seed)
    return env, agent, features, mapping


def state_arrays(agent):
    """Every member of the agent's checkpoint as raw bytes (NaN payloads included)."""
    with np.load(io.BytesIO(velto_kit.dumps(agent))) as archive:
        return {name: archive[name].tobytes() for name in archive.files}


def test_evaluation_follows_the_policy_and_leaves_the_agent_bit_identical():
    env, agent, features, mapping = cartpole_agent()
    list(run_episodes(env, agent, features, mapping, episodes=20, gamma=0.99, seed=0))
    twin = velto_kit.loads(velto_kit.dumps(agent))
    before = state_arrays(agent)
    evaluation = evaluate(gym.make("CartPole-v1"), agent, features, mapping, episodes=5, seed=9)
    assert state_arrays(agent) == before
    again = evaluate(gym.make("CartPole-v1"), twin, features, mapping, episodes=5, seed=9)
    assert [(r.return_, r.length) for r in again] == [(r.return_, r.length) for r in evaluation]
    # Its engines did not move either: the agent goes on exactly as a twin never evaluated.
    twin = velto_kit.loads(velto_kit.dumps(agent))
    evaluate(gym.make("CartPole-v1"), agent, features, mapping, episodes=5, seed=10)
    probe = [features.active_features(o) for o in np.random.default_rng(1).normal(0, 0.1, (50, 4))]
    assert [agent.step(f, 1.0, 0.99) for f in probe] == [twin.step(f, 1.0, 0.99) for f in probe]
    assert evaluation[-1].steps == sum(r.length for r in evaluation)


@pytest.mark.parametrize(("probability", "action"), [(1.0, 1), (2.0, 1), (0.0, 0), (-1.0, 0)])
def test_evaluation_takes_units_at_probability_one_always_and_at_zero_never(probability, action):
    env, agent, features, mapping = cartpole_agent(action_prob_at_init=probability)
    evaluation = evaluate(env, agent, features, mapping, episodes=2, seed=4)
    # A fixed push topples the pole in the same number of steps as replaying that push.
    replay = gym.make("CartPole-v1")
    replay.reset(seed=4)
    for result in evaluation:
        length = 0
        while True:
            length += 1
            _, _, terminated, truncated, _ = replay.step(action)
            if terminated or truncated:
                break
        replay.reset()
        assert result.length == length


def test_checkpoints_hold_the_agent_as_it_was_after_their_episode(tmp_path):
    env, agent, features, mapping = cartpole_agent()
    seen = {}
    for result in run_episodes(
        env, agent, features, mapping, episodes=5, gamma=0.99, seed=0,
        checkpoint_every=2, checkpoint_dir=tmp_path,
    ):  # fmt: skip
        seen[result.episode] = (result.checkpoint, state_arrays(agent))
    assert [seen[episode][0] for episode in range(5)] == [
        None, tmp_path / "agent-000002.npz", None, tmp_path / "agent-000004.npz", None
    ]  # fmt: skip
    # Each agent file with its run's manifest beside it, and the folder's (empty) lock file.
    assert sorted(path.name for path in tmp_path.iterdir()) == [
        ".run.lock",
        "agent-000002.npz",
        "agent-000004.npz",
        "run-000002.json",
        "run-000004.json",
    ]
    for episode in (1, 3):
        path, arrays = seen[episode]
        assert state_arrays(velto_kit.load(path)) == arrays
    assert state_arrays(velto_kit.load(seen[3][0])) != seen[1][1]
