"""Mistakes caught before the first step: each refused with both sides named, its match accepted;
loads' messages; greedy evaluation; what a resumed run must share with its checkpoint."""

import json
import warnings

import gymnasium as gym
import numpy as np
import pytest
import velto_kit
from velto_kit import (
    AgentSettings,
    action_mapping,
    evaluate,
    features_for,
    make_agent,
    run_episodes,
)
from velto_kit.state.run_state import latest_run
from velto_kit.sweeps.trial_config import TrialConfig
from velto_kit.sweeps.trial_learners import build_learner


def parts(task, mapping_actions=None, units=None, tiles=6, agent_tiles=6):
    env = gym.make(task)
    features = features_for(env, tiles=tiles)
    mapping = action_mapping("binary", mapping_actions or int(env.action_space.n))
    agent_features = features_for(env, tiles=agent_tiles).num_features
    agent = make_agent(agent_features, units or mapping.num_units, AgentSettings(), seed=0)
    return env, agent, features, mapping


def run_one(env, agent, features, mapping):
    return list(run_episodes(env, agent, features, mapping, episodes=1, gamma=0.9, seed=0))


def evaluate_one(env, agent, features, mapping):
    return evaluate(env, agent, features, mapping, episodes=1, seed=0)


def trial_one(env, agent, features, mapping):
    from velto_kit.sweeps.trial_learners import AgentLearner

    learner = AgentLearner(agent, features, mapping, TrialConfig())
    return list(learner.run(env, episodes=1, start_episode=0, seed=0))


def population_one(env, agent, features, mapping):
    from velto_kit import Population, make_vector_env, run_population

    envs = make_vector_env(env.spec.id, 1, seed=0)
    population = Population([agent])
    options = dict(episodes=1, gamma=0.9, seed=0)
    return list(run_population(envs, population, features, mapping, **options))


# (what differs, the parts, the message naming both sides); None: the matching parts.
MISMATCHES = [
    ("actions", dict(task="Acrobot-v1", mapping_actions=2), r"for 2 actions.*Discrete\(3\)"),
    ("actions", dict(task="Acrobot-v1"), None),
    ("units", dict(task="CartPole-v1", units=3), "1 units, the agents? (has )?3"),
    ("units", dict(task="CartPole-v1", units=1), None),
    ("features", dict(task="CartPole-v1", tiles=4), "features number 5000.*num_features=19208"),
    ("features", dict(task="CartPole-v1", tiles=4, agent_tiles=4), None),
]


@pytest.mark.parametrize("runner", [run_one, evaluate_one, trial_one, population_one])
@pytest.mark.parametrize(("what", "options", "message"), MISMATCHES)
def test_mismatched_parts_are_refused_before_the_first_step(runner, what, options, message):
    env, agent, features, mapping = parts(**options)
    before = velto_kit.dumps(agent)
    if message is None:
        assert len(runner(env, agent, features, mapping)) == 1
        return
    with pytest.raises(ValueError, match=message):
        runner(env, agent, features, mapping)
    assert velto_kit.dumps(agent) == before  # not one step was taken


def test_a_continuous_action_space_is_refused_by_features_and_loop():
    pendulum = gym.make("Pendulum-v1")
    with pytest.raises(ValueError, match=r"action space is Box.*Discrete\(n\) action space only"):
        features_for(pendulum)
    env, agent, features, mapping = parts("CartPole-v1")
    with pytest.raises(ValueError, match="Discrete"):
        run_one(pendulum, agent, features, mapping)
    assert features_for(gym.make("MountainCar-v0")).num_features > 0


@pytest.mark.parametrize(
    ("data", "error", "message"),
    [
        (b"hello", velto_kit.CheckpointError, "5 bytes, fewer than the smallest zip archive"),
        (bytes(21), velto_kit.CheckpointError, "21 bytes, fewer"),
        (b"x" * 100, velto_kit.CheckpointError, "not a zip file"),
        ("agent.npz", TypeError, r"not a path: use velto_kit.load\('agent.npz'\)"),
    ],
)
def test_loads_says_what_it_was_given(data, error, message):
    with pytest.raises(error, match=message):
        velto_kit.loads(data)


def test_loads_accepts_the_bytes_of_dumps():
    agent = make_agent(8, 2, AgentSettings(), seed=1)
    assert velto_kit.dumps(velto_kit.loads(velto_kit.dumps(agent))) == velto_kit.dumps(agent)


class ActionRecorder(gym.Wrapper):
    def __init__(self, env):
        super().__init__(env)
        self.actions = []

    def step(self, action):
        self.actions.append(action)
        return self.env.step(action)


@pytest.mark.parametrize(("probability", "action"), [(0.5, 0), (0.5000001, 1), (0.4999999, 0)])
def test_greedy_evaluation_takes_a_unit_only_above_one_half(probability, action):
    env = ActionRecorder(gym.make("CartPole-v1"))
    features = features_for(env)
    settings = AgentSettings(action_prob_at_init=probability)
    agent = make_agent(features.num_features, 1, settings, seed=0)
    mapping = action_mapping("binary", 2)
    assert float(velto_kit.action_probabilities(agent, [0])[0]) == np.float32(probability)
    evaluate(env, agent, features, mapping, episodes=2, seed=0, greedy=True)
    assert env.actions and set(env.actions) == {action}
    # Sampling at the same probabilities takes both actions.
    sampled = ActionRecorder(gym.make("CartPole-v1"))
    evaluate(sampled, agent, features, mapping, episodes=2, seed=0)
    assert set(sampled.actions) == {0, 1}


def interrupted_run(tmp_path, **changes):
    """A CartPole run checkpointed after 2 episodes, then resumed with `changes`."""
    env, agent, features, mapping = parts("CartPole-v1")
    options = dict(episodes=4, gamma=0.99, seed=0, checkpoint_every=2, checkpoint_dir=tmp_path)
    for _ in zip(range(2), run_episodes(env, agent, features, mapping, **options), strict=False):
        pass
    run = latest_run(tmp_path)
    env, _, features, mapping = parts("CartPole-v1", tiles=changes.pop("tiles", 6))
    options.update(changes)
    return list(run_episodes(env, run.agent, features, mapping, resume=run, **options))


@pytest.mark.parametrize(
    ("changes", "message"),
    [
        ({"gamma": 0.9}, "gamma = 0.99, this run 0.9"),
        ({"seed": 1}, "seed = 0, this run 1"),
        ({"settings": {"alpha": 0.2}}, r"settings = \{\}, this run \{'alpha': 0.2\}"),
        ({"episodes": 1}, "holds 2 episodes, more than episodes=1"),
        ({}, None),
        ({"episodes": 6}, None),  # a longer run is the same run, carried on
    ],
)
def test_a_resumed_run_must_be_described_as_its_checkpoint(tmp_path, changes, message):
    if message is None:
        results = interrupted_run(tmp_path, **changes)
        assert [r.episode for r in results] == list(range(2, changes.get("episodes", 4)))
        return
    with pytest.raises(ValueError, match=message):
        interrupted_run(tmp_path, **changes)


def test_a_resumed_run_continues_its_checkpoints_agent_only(tmp_path):
    env, agent, features, mapping = parts("CartPole-v1")
    options = dict(episodes=3, gamma=0.99, seed=0, checkpoint_every=2, checkpoint_dir=tmp_path)
    list(run_episodes(env, agent, features, mapping, **options))
    run = latest_run(tmp_path)
    with pytest.raises(ValueError, match="pass resume.agent"):
        run_episodes(env, agent, features, mapping, resume=run, **options)
    assert len(list(run_episodes(env, run.agent, features, mapping, resume=run, **options))) == 1


class Unstorable(gym.Wrapper):
    """Holds something neither JSON nor pickle can store (a lock)."""

    def __init__(self, env):
        super().__init__(env)
        import threading

        self.lock = threading.Lock()


def test_an_environment_that_cannot_be_stored_resumes_at_a_fresh_episode(tmp_path):
    env = Unstorable(gym.make("CartPole-v1"))
    _, agent, features, mapping = parts("CartPole-v1")
    options = dict(episodes=4, gamma=0.99, seed=0, checkpoint_every=2, checkpoint_dir=tmp_path)
    with pytest.warns(UserWarning, match="lock is neither plain data nor picklable"):
        list(run_episodes(env, agent, features, mapping, **options))
    run = latest_run(tmp_path)
    assert run.members[0].env is None and run.next_episode == 4
    with pytest.warns(UserWarning, match="holds no environment state"):
        resumed = run_episodes(Unstorable(gym.make("CartPole-v1")), run.agent, features,
                               mapping, resume=run, **{**options, "episodes": 5})  # fmt: skip
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert [r.episode for r in resumed] == [4]


def _replace_agent(folder):
    other = velto_kit.dumps(make_agent(4, 1, AgentSettings(), seed=0))
    (folder / "agent-000004.npz").write_bytes(other)


def _non_numeric_counter(folder):
    manifest = folder / "run-000004.json"
    data = json.loads(manifest.read_text())
    data["next_episode"] = "four"
    manifest.write_text(json.dumps(data))


@pytest.mark.parametrize(
    ("damage", "warning"),
    [
        (_replace_agent, "agent-000004.npz is not the file this checkpoint wrote"),
        (_non_numeric_counter, "run-000004.json: damaged run checkpoint"),
    ],
)
def test_a_damaged_checkpoint_is_passed_over_for_the_one_before(tmp_path, damage, warning):
    env, agent, features, mapping = parts("CartPole-v1")
    options = dict(episodes=4, gamma=0.99, seed=0, checkpoint_every=2, checkpoint_dir=tmp_path)
    list(run_episodes(env, agent, features, mapping, **options))
    assert latest_run(tmp_path).next_episode == 4
    damage(tmp_path)
    with pytest.warns(UserWarning, match=warning):
        assert latest_run(tmp_path).next_episode == 2


def test_a_trial_restored_with_other_settings_is_refused(tmp_path):
    config = TrialConfig(episodes=4, max_episode_steps=30)
    learner = build_learner(config, gym.make("CartPole-v1", max_episode_steps=30), None)
    list(learner.run(gym.make("CartPole-v1", max_episode_steps=30), episodes=2, start_episode=0,
                     seed=0))  # fmt: skip
    learner.save(tmp_path)
    other = TrialConfig(episodes=4, max_episode_steps=30, alpha=0.2)
    restored = build_learner(other, gym.make("CartPole-v1", max_episode_steps=30), tmp_path)
    with pytest.raises(ValueError, match=r"'alpha': 0.1.*'alpha': 0.2"):
        restored.run(gym.make("CartPole-v1", max_episode_steps=30), episodes=2, start_episode=2,
                     seed=0)  # fmt: skip
