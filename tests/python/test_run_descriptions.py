"""What a run records of itself, and a resume that differs in it stopped before its first step
with both values named: single runs and populations alike (settings, every sub-environment's time
limit, the classes of every wrapper stack)."""

import sys
import warnings

import gymnasium as gym
import numpy as np
import pytest
import velto_kit
from gymnasium.vector import SyncVectorEnv
from velto_kit import (
    AgentSettings,
    Population,
    action_mapping,
    features_for,
    latest_run,
    make_agent,
    make_vector_env,
    run_episodes,
    run_population,
)
from velto_kit.state import env_state


class Marked(gym.Wrapper):
    """A wrapper that changes nothing; only its class differs from Other's."""


class Other(gym.Wrapper):
    """As Marked, a different class at the same depth."""


def frozen_lake(limit, wrapper=None):
    env = gym.make("FrozenLake-v1", max_episode_steps=limit)
    return env if wrapper is None else wrapper(env)


def population_envs(kind, limit, wrapper=None):
    if kind == "vectorised":  # CartPole's own vector environment: one limit for all
        return make_vector_env("CartPole-v1", 2, seed=0, max_episode_steps=limit)
    return SyncVectorEnv([lambda: frozen_lake(limit, wrapper)] * 2)


def interrupted_population(tmp_path, kind, **changes):
    """A two-agent population checkpointed after 2 episodes each, resumed with `changes`."""
    limit, wrapper = 20, None
    envs = population_envs(kind, limit, wrapper)
    single = gym.make("CartPole-v1" if kind == "vectorised" else "FrozenLake-v1")
    coder = features_for(single)
    mapping = action_mapping("binary", int(single.action_space.n))
    agents = [make_agent(coder.num_features, mapping.num_units, AgentSettings(), s) for s in (0, 1)]
    options = dict(episodes=2, gamma=0.9, seed=0, checkpoint_every=2, checkpoint_dir=tmp_path,
                   settings={"agent": {"alpha": 0.1}})  # fmt: skip
    list(run_population(envs, Population(agents), coder, mapping, **options))
    run = latest_run(tmp_path)
    assert run is not None and run.next_episode == 2
    envs = population_envs(kind, changes.pop("limit", limit), changes.pop("wrapper", wrapper))
    options.update(changes, episodes=4)
    population = Population([member.agent for member in run.members])
    return list(run_population(envs, population, coder, mapping, resume=run, **options))


# (kind of vector environment, what differs on resume, the message naming both values)
POPULATION_CHANGES = [
    ("sync", {"settings": {"agent": {"alpha": 0.5}}},
     r"settings = \{'agent': \{'alpha': 0.1\}\}, this run \{'agent': \{'alpha': 0.5\}\}"),
    ("sync", {"limit": 400}, r"time_limit = \[20, 20\], this run \[400, 400\]"),
    ("vectorised", {"limit": 400}, "time_limit = 20, this run 400"),
    ("sync", {"gamma": 0.5}, "gamma = 0.9, this run 0.5"),
    ("sync", {"wrapper": Marked}, r"sub_environments = .*this run .*test_run_descriptions\.Marked"),
    ("sync", {"start_episode": 1}, "start_episodes = \\[0, 0\\], this run \\[1, 1\\]"),
    ("sync", {}, None),
    ("vectorised", {}, None),
]  # fmt: skip


@pytest.mark.parametrize(("kind", "changes", "message"), POPULATION_CHANGES)
def test_a_population_resume_must_be_described_as_its_checkpoint(kind, changes, message, tmp_path):
    if message is None:
        results = interrupted_population(tmp_path, kind, **changes)
        assert sorted({r.episode for r in results}) == [2, 3]
        return
    with pytest.raises(ValueError, match=message):
        next(iter(interrupted_population(tmp_path, kind, **changes)))


def test_wrapper_stacks_of_equal_depth_and_other_classes_are_refused(tmp_path):
    # The run's own check, for a single run ...
    coder = features_for(gym.make("FrozenLake-v1"))
    mapping = action_mapping("binary", 4)
    agent = make_agent(coder.num_features, mapping.num_units, AgentSettings(), 0)
    options = dict(gamma=0.9, seed=0, checkpoint_every=1, checkpoint_dir=tmp_path)
    list(run_episodes(frozen_lake(20, Marked), agent, coder, mapping, episodes=1, **options))
    run = latest_run(tmp_path)
    with pytest.raises(ValueError, match=r"wrappers = \[.*Marked.*this run \[.*Other"):
        run_episodes(frozen_lake(20, Other), run.agent, coder, mapping, episodes=2, resume=run,
                     **options)  # fmt: skip
    # ... and restoring an environment's state, for a population's sub-environments too.
    plain, pickled = run.members[0].env
    with pytest.raises(env_state.EnvStateError, match="Marked.*Other"):
        env_state.restore(frozen_lake(20, Other), plain, pickled)
    envs = SyncVectorEnv([lambda: frozen_lake(20, Marked)] * 2)
    envs.reset(seed=0)
    with pytest.raises(env_state.EnvStateError, match="Marked.*Other"):
        env_state.restore(SyncVectorEnv([lambda: frozen_lake(20, Other)] * 2),
                          *env_state.capture(envs))  # fmt: skip


def test_the_example_stops_a_population_resumed_with_other_agent_settings(tmp_path, capsys):
    from velto_kit.cli import train

    options = ["--env", "FrozenLake-v1", "--episodes", "4", "--seeds", "0", "1", "--population",
               "--checkpoint-every", "2", "--random-episodes", "1", "--no-inspect-plot",
               "--no-progress", "--output-dir", str(tmp_path)]  # fmt: skip
    train.main([*options, "--alpha", "0.1"])
    # The task's options are in its description, FrozenLake's defaults here.
    stored = latest_run(tmp_path / "checkpoints" / "population").description["task_options"]
    assert stored == {"desc": None, "map_name": "4x4", "is_slippery": True,
                      "success_rate": 1 / 3, "reward_schedule": [1, 0, 0]}  # fmt: skip
    with pytest.raises(SystemExit, match=r"settings = .*'alpha': 0\.1.*this run .*'alpha': 0\.5"):
        train.main([*options, "--alpha", "0.5", "--resume", "--episodes", "6"])
    # It stopped before its first step: the log still ends at the first run's last episode.
    log = (tmp_path / "episodes" / "population.csv").read_text().splitlines()
    assert len(log) == 1 + 2 * 4
    assert velto_kit.run_checkpoints(tmp_path / "checkpoints" / "population")


def test_a_checkpoint_naming_wrapper_classes_without_modules_matches_on_the_names():
    from velto_kit.experiments.training_run import check_same_run, wrapper_names

    current = {"wrappers": wrapper_names(gym.make("CartPole-v1"))}
    older = [name.rsplit(".", 1)[1] for name in current["wrappers"]]  # as written before
    check_same_run({"wrappers": older}, current)
    swapped = [older[1], older[0], *older[2:]]  # same depth, other classes
    with pytest.raises(ValueError, match="wrappers = "):
        check_same_run({"wrappers": swapped}, current)


def _options_run(backend, env_id, options, directory, *, resume=None, episodes=1):
    """One episode per agent of `env_id` made with `options`, checkpointed; or its resume."""
    single = gym.make(env_id, **options)
    coder = features_for(single)
    mapping = action_mapping("binary", int(single.action_space.n))
    common = dict(gamma=0.9, seed=3, checkpoint_every=1, checkpoint_dir=directory,
                  episodes=episodes, resume=resume)  # fmt: skip
    if backend == "gymnasium":
        agent = resume.agent if resume else make_agent(coder.num_features, mapping.num_units,
                                                       AgentSettings(), 0)  # fmt: skip
        return list(run_episodes(single, agent, coder, mapping, **common))
    if backend == "native":
        envs = make_vector_env(env_id, 2, seed=3, backend="native", **options)
    elif backend == "sync":
        envs = SyncVectorEnv([lambda: gym.make(env_id, **options)] * 2)
    else:  # Gymnasium's own vector environment of the task
        envs = make_vector_env(env_id, 2, seed=3, **options)
    agents = (
        [member.agent for member in resume.members] if resume else
        [make_agent(coder.num_features, mapping.num_units, AgentSettings(), s) for s in (0, 1)]
    )  # fmt: skip
    return list(run_population(envs, Population(agents), coder, mapping, **common))


# (backend, task, options of the checkpointed run, options of the resume, the message or None)
OPTION_CHANGES = [
    ("native", "FrozenLake-v1", {}, {"is_slippery": False},
     r"task_options = \{.*'is_slippery': True.*\}, this run \{.*'is_slippery': False"),
    ("native", "FrozenLake-v1", {"success_rate": 0.5}, {"success_rate": 1.0},
     r"'success_rate': 0\.5.*this run .*'success_rate': 1\.0"),
    ("native", "FrozenLake-v1", {"map_name": "8x8"}, {"map_name": "8x8", "is_slippery": False},
     "is_slippery"),
    ("native", "Taxi-v4", {}, {"is_rainy": True}, r"'is_rainy': False.*this run .*'is_rainy': T"),
    ("native", "Taxi-v4", {"is_rainy": True}, {"is_rainy": True, "rainy_probability": 1.0},
     "rainy_probability"),
    ("native", "Taxi-v4", {}, {"fickle_passenger": True}, "fickle_passenger"),
    ("native", "CartPole-v1", {}, {"sutton_barto_reward": True}, "sutton_barto_reward"),
    ("native", "MountainCar-v0", {}, {"goal_velocity": 0.01}, r"'goal_velocity': 0\}.*0\.01"),
    ("native", "CliffWalking-v1", {}, {"is_slippery": True}, "is_slippery"),
    ("gymnasium", "FrozenLake-v1", {"is_slippery": False}, {}, "is_slippery"),
    ("gymnasium", "FrozenLake-v1", {}, {"success_rate": 0.5}, "success_rate"),
    ("gymnasium", "Taxi-v4", {"is_rainy": True}, {}, "is_rainy"),
    ("gymnasium", "Taxi-v4", {}, {"fickle_passenger": True}, "fickle_passenger"),
    ("gymnasium", "CartPole-v1", {"sutton_barto_reward": True}, {}, "sutton_barto_reward"),
    ("gymnasium", "MountainCar-v0", {}, {"goal_velocity": 0.02}, "goal_velocity"),
    ("sync", "FrozenLake-v1", {}, {"is_slippery": False}, r"task_options = \[\{.*this run \[\{"),
    ("sync", "Taxi-v4", {}, {"is_rainy": True}, "is_rainy"),
    ("vector", "FrozenLake-v1", {"is_slippery": False}, {}, "is_slippery"),
    ("vector", "CartPole-v1", {}, {"sutton_barto_reward": True}, "sutton_barto_reward"),
    # A default given explicitly is the same task.
    ("native", "FrozenLake-v1", {}, {"is_slippery": True, "map_name": "4x4"}, None),
    ("gymnasium", "MountainCar-v0", {"goal_velocity": 0}, {"goal_velocity": 0.0}, None),
    ("sync", "Taxi-v4", {"is_rainy": False}, {}, None),
    ("gymnasium", "MountainCar-v0", {"goal_velocity": np.int64(0)}, {}, None),
    ("gymnasium", "FrozenLake-v1", {"reward_schedule": np.array([1, 0, 0])}, {}, None),
    ("gymnasium", "FrozenLake-v1", {"reward_schedule": np.array([1, 0, 0])},
     {"reward_schedule": (2, 0, 0)}, r"\[1, 0, 0\].*this run .*'reward_schedule': \[2, 0, 0\]"),
]  # fmt: skip


@pytest.mark.parametrize(("backend", "env_id", "before", "after", "message"), OPTION_CHANGES)
def test_a_resume_with_other_task_options_is_refused(
    backend, env_id, before, after, message, tmp_path
):
    _options_run(backend, env_id, before, tmp_path)
    run = latest_run(tmp_path)
    assert run is not None
    if message is None:
        results = _options_run(backend, env_id, after, tmp_path, resume=run, episodes=2)
        assert {result.episode for result in results} == {1}
        return
    with pytest.raises(ValueError, match=message):
        _options_run(backend, env_id, after, tmp_path, resume=run, episodes=2)


@pytest.mark.parametrize(
    ("backend", "env_id", "warned"),
    [("gymnasium", "CartPole-v1", True), ("native", "FrozenLake-v1", True),
     ("sync", "Taxi-v4", True), ("gymnasium", "Acrobot-v1", False),
     ("native", "Acrobot-v1", False)],
)  # fmt: skip
@pytest.mark.filterwarnings("ignore:the native Acrobot-v1 is not exact")
def test_a_checkpoint_without_task_options_resumes_warning_where_its_task_has_options(
    backend, env_id, warned, tmp_path
):
    import json

    _options_run(backend, env_id, {}, tmp_path)
    manifest = velto_kit.run_checkpoints(tmp_path)[-1]
    data = json.loads(manifest.read_text())
    del data["description"]["task_options"]  # as a checkpoint of 0.2.0 has it
    manifest.write_text(json.dumps(data))
    run = latest_run(tmp_path)
    if warned:
        with pytest.warns(UserWarning, match="does not record its task's options.*task_options ="):
            results = _options_run(backend, env_id, {}, tmp_path, resume=run, episodes=2)
    else:
        with warnings.catch_warnings():
            warnings.filterwarnings("error", message="the run checkpoint does not record")
            results = _options_run(backend, env_id, {}, tmp_path, resume=run, episodes=2)
    assert {result.episode for result in results} == {1}


class _StandInPool:
    """What EnvPoolVectorEnv reads of a pool: its spaces and metadata, and a first reset."""

    def __init__(self, env_id, num_envs, **_):
        single = gym.make(env_id)
        self.single_observation_space = single.observation_space
        self.single_action_space = single.action_space
        self.observation_space = self.action_space = None
        self.metadata = {}

    def reset(self):
        return None, {}

    def close(self):
        pass


def test_an_envpool_run_describes_the_options_given_to_its_pool(monkeypatch):
    import types

    from velto_kit.experiments.training_run import task_options

    module = types.SimpleNamespace(
        make=lambda env_id, env_type, num_envs, env_seed, **kwargs: _StandInPool(env_id, num_envs)
    )
    monkeypatch.setitem(sys.modules, "envpool", module)
    envs = make_vector_env("CartPole-v1", 2, seed=0, backend="envpool", num_threads=2,
                           sutton_barto_reward=True)  # fmt: skip
    assert task_options(envs) == {"sutton_barto_reward": True}
    plain = make_vector_env("CartPole-v1", 2, seed=0, backend="envpool", max_episode_steps=9)
    assert task_options(plain) == {"sutton_barto_reward": False}
