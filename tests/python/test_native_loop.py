"""The native loop against run_episodes and evaluate on Gymnasium, agent by agent: identical
returns, lengths and final agent bytes for every exact native task, each mapping, fresh and trained
agents, one and two threads; hand-overs, what another caller sees meanwhile, and the vector
environment stepped by hand against Gymnasium's."""

import ctypes
import functools
import os
import random
import select
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import gymnasium as gym
import numpy as np
import pytest
import velto_kit
from gymnasium.vector import SyncVectorEnv
from velto_kit import (
    AgentSettings,
    Population,
    _native,
    action_mapping,
    evaluate,
    features_for,
    make_agent,
    make_vector_env,
    run_episodes,
    run_population,
)
from velto_kit.state.run_state import checkpoint_files, latest_run

SEED = 21
GAMMA = 0.95
SETTINGS = AgentSettings(alpha=0.05, lambda_=0.8)

# (task, options, mapping, episodes, pretraining episodes): every exact native task; short time
# limits so that truncations (and their bootstrap calls) happen; mappings that draw (binary with a
# code naming no action, one-per-action with none or several units taken) and one that never does.
CASES = [
    ("CartPole-v1", {}, "binary", 8, 0),
    ("CartPole-v1", {"max_episode_steps": 30}, "one-per-action", 10, 6),
    ("MountainCar-v0", {"max_episode_steps": 60}, "binary", 5, 0),
    ("MountainCar-v0", {"max_episode_steps": 40}, "opposing", 4, 3),
    ("MountainCar-v0", {"max_episode_steps": 40}, "one-per-action", 4, 2),
    ("CliffWalking-v1", {"max_episode_steps": 60}, "binary", 6, 3),
    ("CliffWalking-v1", {"max_episode_steps": 50}, "one-per-action", 5, 0),
    ("FrozenLake-v1", {"max_episode_steps": 20}, "binary", 12, 4),
    ("FrozenLake-v1", {"is_slippery": False, "max_episode_steps": 15}, "one-per-action", 8, 0),
    ("Taxi-v4", {"max_episode_steps": 40}, "binary", 5, 2),
    ("CliffWalkingSlippery-v1", {"max_episode_steps": 40}, "one-per-action", 4, 2),
    ("FrozenLake8x8-v1", {"max_episode_steps": 30}, "binary", 4, 0),
]
EXACT = set(_native.exact_native_task_ids())


def case_id(case):
    env_id, options, mapping, _, pretrain = case
    limit = options.get("max_episode_steps", "default")
    return f"{env_id}-{limit}-{mapping}-{'trained' if pretrain else 'fresh'}"


def agents_for(env_id, options, mapping_name, count, pretrain):
    """`count` agents, trained for `pretrain` episodes on Gymnasium first (other seeds), with the
    features and mapping of the task."""
    env = gym.make(env_id, **options)
    coder = features_for(env)
    mapping = action_mapping(mapping_name, int(env.action_space.n))
    agents = []
    for i in range(count):
        agent = make_agent(coder.num_features, mapping.num_units, SETTINGS, seed=100 + i)
        if pretrain:
            list(run_episodes(env, agent, coder, mapping, episodes=pretrain, gamma=GAMMA,
                              seed=500 + i))  # fmt: skip
        agents.append(agent)
    return coder, mapping, agents


def copies(agents):
    return [velto_kit.loads(velto_kit.dumps(agent)) for agent in agents]


def reference(env_id, options, coder, mapping, agents, episodes, start_episode, seed=SEED):
    """Each agent through run_episodes on its own gym.make environment, seeded seed + i."""
    results, states = {}, []
    for i, agent in enumerate(agents):
        env = gym.make(env_id, **options)
        for result in run_episodes(env, agent, coder, mapping, episodes=episodes, gamma=GAMMA,
                                   seed=seed + i, start_episode=start_episode):  # fmt: skip
            results[i, result.episode] = (result.return_, result.length, result.steps)
        states.append(velto_kit.dumps(agent))
    return results, states


def native(env_id, options, coder, mapping, agents, episodes, start_episode, threads, seed=SEED,
           **extra):  # fmt: skip
    envs = make_vector_env(env_id, len(agents), seed=seed, backend="native", **options)
    population = Population(agents, threads=threads)
    results = {}
    order = []
    for result in run_population(envs, population, coder, mapping, episodes=episodes,
                                 gamma=GAMMA, seed=seed, start_episode=start_episode,
                                 **extra):  # fmt: skip
        results[result.agent, result.episode] = (result.return_, result.length, result.steps)
        order.append((result.agent, result.episode))
    return results, [velto_kit.dumps(agent) for agent in agents], order


@pytest.mark.parametrize("case", CASES, ids=case_id)
def test_native_runs_equal_run_episodes_agent_by_agent(case):
    env_id, options, mapping_name, episodes, pretrain = case
    assert env_id in EXACT
    coder, mapping, agents = agents_for(env_id, options, mapping_name, 3, pretrain)
    expected, expected_states = reference(
        env_id, options, coder, mapping, copies(agents), episodes, pretrain
    )
    assert len(expected) == 3 * episodes
    for threads in (1, 2):
        mine = copies(agents)
        got, states, order = native(
            env_id, options, coder, mapping, mine, episodes, pretrain, threads
        )
        assert got == expected, f"threads={threads}"
        assert states == expected_states, f"threads={threads}"
        for i in range(3):  # each agent's episodes in order
            assert [e for a, e in order if a == i] == list(range(pretrain, pretrain + episodes))


@pytest.mark.parametrize("seed", [2**64 - 2, 2**90])
def test_native_runs_past_64_bit_seeds_equal_run_episodes(seed):
    # seed + i crosses 2**64 for the first row: Gymnasium takes any seed, and so does the loop.
    coder, mapping, agents = agents_for("MountainCar-v0", {"max_episode_steps": 40}, "binary", 3, 0)
    expected, expected_states = reference(
        "MountainCar-v0", {"max_episode_steps": 40}, coder, mapping, copies(agents), 3, 0, seed
    )
    got, states, _ = native(
        "MountainCar-v0", {"max_episode_steps": 40}, coder, mapping, agents, 3, 0, 1, seed
    )
    assert (got, states) == (expected, expected_states)


def test_trained_agents_differ_from_fresh_ones_so_the_cases_above_test_something():
    coder, mapping, fresh = agents_for("CartPole-v1", {"max_episode_steps": 30},
                                       "one-per-action", 1, 0)  # fmt: skip
    _, _, trained = agents_for("CartPole-v1", {"max_episode_steps": 30}, "one-per-action", 1, 6)
    assert velto_kit.dumps(fresh[0]) != velto_kit.dumps(trained[0])


def test_results_do_not_depend_on_hand_overs_threads_or_checkpoint_units(tmp_path):
    """Units of one episode (a hand-over after each), checkpoint-sized units, 1 to 3 threads."""
    env_id, options = "CartPole-v1", {"max_episode_steps": 40}
    coder, mapping, agents = agents_for(env_id, options, "binary", 4, 2)
    expected, expected_states = reference(env_id, options, coder, mapping, copies(agents), 7, 2)
    envs = make_vector_env(env_id, 4, seed=SEED, backend="native", **options)
    for threads, unit_steps, every in ((1, 1, None), (3, 1, None), (2, 10_000, 3), (2, 25, 2)):
        mine = copies(agents)
        results = list(envs.native_run(
            mine, threads, coder, mapping, episodes=7, gamma=GAMMA, seed=SEED,
            rngs=[np.random.default_rng(SEED + i) for i in range(4)], start_episode=2,
            checkpoint_every=every, checkpoint_dir=tmp_path / f"{threads}-{unit_steps}",
            learn=True, greedy=False, log=None, resume=None, unit_steps=unit_steps,
        ))  # fmt: skip
        got = {(r.agent, r.episode): (r.return_, r.length, r.steps) for r in results}
        assert got == expected
        assert [velto_kit.dumps(agent) for agent in mine] == expected_states
        if every is not None:  # each saved agent is the agent right after that episode
            saved = velto_kit.load(tmp_path / f"{threads}-{unit_steps}" / "agent-0" /
                                   "agent-000006.npz")  # fmt: skip
            partial, _ = reference(env_id, options, coder, mapping, copies(agents[:1]), 4, 2)
            check = copies(agents[:1])
            list(run_episodes(gym.make(env_id, **options), check[0], coder, mapping,
                              episodes=4, gamma=GAMMA, seed=SEED, start_episode=2))  # fmt: skip
            assert velto_kit.dumps(saved) == velto_kit.dumps(check[0])


@pytest.mark.parametrize("greedy", [False, True])
@pytest.mark.parametrize(
    ("env_id", "options", "mapping_name"),
    [
        ("CartPole-v1", {"max_episode_steps": 50}, "one-per-action"),
        ("MountainCar-v0", {"max_episode_steps": 30}, "binary"),
        ("FrozenLake-v1", {"max_episode_steps": 20}, "one-per-action"),
    ],
)
def test_evaluation_equals_evaluate_and_changes_no_agent(env_id, options, mapping_name, greedy):
    coder, mapping, agents = agents_for(env_id, options, mapping_name, 2, 5)
    before = [velto_kit.dumps(agent) for agent in agents]
    expected = {}
    for i, agent in enumerate(agents):
        env = gym.make(env_id, **options)
        for r in evaluate(env, agent, coder, mapping, episodes=6, seed=SEED + i, greedy=greedy):
            expected[i, r.episode] = (r.return_, r.length, r.steps)
    for threads in (1, 2):
        got, states, _ = native(env_id, options, coder, mapping, agents, 6, 0, threads,
                                learn=False, greedy=greedy)  # fmt: skip
        assert got == expected
        assert states == before


def test_the_gymnasium_population_loop_evaluates_greedily_as_the_native_loop():
    env_id, options = "CartPole-v1", {"max_episode_steps": 50}
    coder, mapping, agents = agents_for(env_id, options, "one-per-action", 2, 5)
    envs = SyncVectorEnv([lambda: gym.make(env_id, **options)] * 2)
    results = run_population(envs, Population(agents), coder, mapping, episodes=5, gamma=GAMMA,
                             seed=SEED, learn=False, greedy=True)  # fmt: skip
    python = {(r.agent, r.episode): (r.return_, r.length) for r in results}
    got, _, _ = native(env_id, options, coder, mapping, agents, 5, 0, 1, learn=False, greedy=True)
    assert python == {key: value[:2] for key, value in got.items()}


def test_zero_episodes_still_shows_each_agent_its_first_state():
    coder, mapping, agents = agents_for("CartPole-v1", {}, "binary", 2, 0)
    _, expected_states = reference("CartPole-v1", {}, coder, mapping, copies(agents), 0, 0)
    got, states, _ = native("CartPole-v1", {}, coder, mapping, agents, 0, 0, 2)
    assert got == {} and states == expected_states
    # Many small agents on two threads: units that end without an episode finish one by one, and
    # the run must hand every one of them over, not stop at the first hand-over without episodes.
    coder, mapping, agents = agents_for("CliffWalking-v1", {}, "binary", 300, 0)
    _, expected_states = reference("CliffWalking-v1", {}, coder, mapping, copies(agents), 0, 0)
    got, states, _ = native("CliffWalking-v1", {}, coder, mapping, agents, 0, 0, 2)
    assert got == {}
    assert [i for i, state in enumerate(states) if state != expected_states[i]] == []
    assert states[0] != velto_kit.dumps(agents_for("CartPole-v1", {}, "binary", 1, 0)[2][0])


def test_the_generators_given_end_where_run_episodes_leaves_them():
    coder, mapping, agents = agents_for("CliffWalking-v1", {"max_episode_steps": 30},
                                        "one-per-action", 2, 0)  # fmt: skip
    mine = [np.random.default_rng(SEED + i) for i in range(2)]
    envs = make_vector_env("CliffWalking-v1", 2, seed=SEED, backend="native", max_episode_steps=30)
    list(run_population(envs, Population(copies(agents)), coder, mapping, episodes=3,
                        gamma=GAMMA, seed=SEED, rngs=mine))  # fmt: skip
    for i, agent in enumerate(copies(agents)):
        theirs = np.random.default_rng(SEED + i)
        list(run_episodes(gym.make("CliffWalking-v1", max_episode_steps=30), agent, coder,
                          mapping, episodes=3, gamma=GAMMA, seed=SEED + i, rng=theirs))  # fmt: skip
        assert mine[i].bit_generator.state == theirs.bit_generator.state


def handing_over_every_episode(envs, agents, coder, mapping, threads, episodes=50):
    """A native run of `agents` on `envs` (seeded SEED) whose units hand over after each episode."""
    return envs.native_run(
        agents, threads, coder, mapping, episodes=episodes, gamma=GAMMA, seed=SEED,
        rngs=[np.random.default_rng(SEED + i) for i in range(len(agents))], start_episode=0,
        checkpoint_every=None, checkpoint_dir=None, learn=True, greedy=False, log=None,
        resume=None, unit_steps=1,
    )  # fmt: skip


@pytest.mark.parametrize("threads", [1, 2])
def test_an_agent_changed_by_another_caller_midway_stops_the_run_and_keeps_the_change(threads):
    coder, mapping, agents = agents_for("CartPole-v1", {}, "binary", 2, 0)
    envs = make_vector_env("CartPole-v1", 2, seed=SEED, backend="native")
    results = handing_over_every_episode(envs, agents, coder, mapping, threads)
    changed_agent = next(results).agent
    agents[changed_agent].step([0, 1], 1.0, 0.5)  # another caller steps it between hand-overs
    changed = velto_kit.dumps(agents[changed_agent])
    with pytest.raises(RuntimeError, match=f"agent {changed_agent} was changed by another caller"):
        for _ in results:
            pass
    assert velto_kit.dumps(agents[changed_agent]) == changed


def change_member(agent, learner, kind, name):
    """Changes one member of one learner of `agent` by one bit, as another caller might."""
    if kind == "array":
        names = _native.CRITIC_ARRAYS if learner == _native.CRITIC else _native.UNIT_ARRAYS
        view = _native.arrays(agent, learner)[names.index(name)]
        words = (ctypes.c_uint32 * view.size).from_address(view.ctypes.data)
        words[view.size // 2] ^= 1
    elif kind == "scalar":
        names = _native.CRITIC_SCALARS if learner == _native.CRITIC else _native.UNIT_SCALARS
        values = _native.scalars(agent, learner).copy()
        values.view(np.uint32)[names.index(name)] ^= 1
        _native.set_scalars(agent, learner, values)
    elif kind == "trace_list":
        current = _native.trace_list(agent, learner)
        changed = current[:-1] if len(current) else np.array([0], np.int32)
        _native.set_trace_list(agent, learner, np.ascontiguousarray(changed, np.int32))
    else:
        words, position = _native.engine(agent, learner)
        words = words.copy()
        words[100] ^= 1
        _native.set_engine(agent, learner, words, position)


# Every member the hand-over's fingerprint covers, for the critic and for a unit: each row fails
# when its member is left out of the fingerprint.
FINGERPRINTED = [
    *[(_native.CRITIC, "array", name) for name in _native.CRITIC_ARRAYS],
    *[(0, "array", name) for name in _native.UNIT_ARRAYS],
    *[(_native.CRITIC, "scalar", name) for name in _native.CRITIC_SCALARS],
    *[(0, "scalar", name) for name in _native.UNIT_SCALARS],
    (_native.CRITIC, "trace_list", ""),
    (0, "trace_list", ""),
    (0, "engine", ""),
]


@pytest.mark.parametrize(
    ("learner", "kind", "name"),
    FINGERPRINTED,
    ids=[
        f"{'critic' if who == _native.CRITIC else 'unit'}-{kind}-{name}"
        for who, kind, name in FINGERPRINTED
    ],  # fmt: skip
)
def test_a_change_to_any_member_of_an_agent_midway_is_reported_and_kept(learner, kind, name):
    coder, mapping, agents = agents_for("CartPole-v1", {}, "binary", 2, 0)
    envs = make_vector_env("CartPole-v1", 2, seed=SEED, backend="native")
    results = handing_over_every_episode(envs, agents, coder, mapping, 1)
    changed_agent = next(results).agent
    before = velto_kit.dumps(agents[changed_agent])
    change_member(agents[changed_agent], learner, kind, name)
    changed = velto_kit.dumps(agents[changed_agent])
    assert changed != before
    with pytest.raises(RuntimeError, match=f"agent {changed_agent} was changed by another caller"):
        for _ in results:
            pass
    assert velto_kit.dumps(agents[changed_agent]) == changed


def test_another_thread_sees_only_whole_handed_over_agents():
    """A reader thread dumps the agent as fast as it can while two workers run the loop: every
    state it sees is the agent between two episodes, as run_episodes leaves it after one."""
    env_id, options = "CartPole-v1", {"max_episode_steps": 60}
    coder, mapping, agents = agents_for(env_id, options, "binary", 2, 0)
    boundaries = {velto_kit.dumps(agents[0])}
    check = copies(agents[:1])[0]
    env = gym.make(env_id, **options)
    for _ in run_episodes(env, check, coder, mapping, episodes=150, gamma=GAMMA, seed=SEED):
        boundaries.add(velto_kit.dumps(check))
    envs = make_vector_env(env_id, 2, seed=SEED, backend="native", **options)
    seen = []
    done = threading.Event()

    def read():
        while not done.is_set():
            seen.append(velto_kit.dumps(agents[0]))

    reader = threading.Thread(target=read)
    reader.start()
    try:
        for _ in handing_over_every_episode(envs, agents, coder, mapping, 2, episodes=150):
            pass
    finally:
        done.set()
        reader.join()
    assert len(seen) > 1
    assert len(set(seen)) > 1  # the reader saw the agent move on
    assert set(seen) <= boundaries


def test_closing_a_run_early_leaves_each_agent_at_its_last_hand_over():
    coder, mapping, agents = agents_for("CartPole-v1", {}, "binary", 2, 0)
    fresh = copies(agents)
    envs = make_vector_env("CartPole-v1", 2, seed=SEED, backend="native")
    results = handing_over_every_episode(envs, agents, coder, mapping, 2)
    first = next(results)
    results.close()
    expected = fresh[first.agent]
    env = gym.make("CartPole-v1")
    list(run_episodes(env, expected, coder, mapping, episodes=first.episode + 1, gamma=GAMMA,
                      seed=SEED + first.agent))  # fmt: skip
    assert velto_kit.dumps(agents[first.agent]) == velto_kit.dumps(expected)


def test_by_hand_the_native_vector_env_steps_as_gymnasiums_synchronous_one():
    for env_id, options in (("CartPole-v1", {"max_episode_steps": 20}),
                            ("FrozenLake-v1", {"max_episode_steps": 10})):  # fmt: skip
        ours = make_vector_env(env_id, 3, seed=4, backend="native", **options)
        theirs = SyncVectorEnv([lambda e=env_id, o=options: gym.make(e, **o)] * 3)
        theirs.reset(seed=4)
        actions = np.random.default_rng(0).integers(0, int(ours.single_action_space.n), (60, 3))
        for row in actions:
            mine, gym_step = ours.step(row), theirs.step(row)
            for a, b in zip(mine[:4], gym_step[:4], strict=True):
                np.testing.assert_array_equal(a, b)
            assert mine[0].dtype == gym_step[0].dtype
        single = gym.make(env_id, **options)
        assert isinstance(features_for(ours), type(features_for(single)))
        assert features_for(ours).num_features == features_for(single).num_features


def _own_binary(num_actions):
    """A mapping made by hand under the kit's name "binary", with a rule of its own."""
    return velto_kit.ActionMapping("binary", num_actions, 1, lambda taken, rng: 1 - len(taken))


@pytest.mark.parametrize(
    ("change", "message"),
    [
        ({"seed": -1}, r"seed must be an int of 0 or more \(sub-environment i .*not -1"),
        ({"seed": 1.5}, "seed must be an int of 0 or more"),
        ({"mapping": _own_binary(2)}, "kit's own action mappings .*'binary' mapping has a rule"),
    ],
)
def test_a_native_run_refuses_seeds_and_mappings_it_cannot_run(change, message):
    coder, mapping, agents = agents_for("CartPole-v1", {}, "binary", 2, 0)
    envs = make_vector_env("CartPole-v1", 2, seed=0, backend="native")
    options = {"seed": 0, "mapping": mapping, **change}
    with pytest.raises(ValueError, match=message):
        next(run_population(envs, Population(agents), coder, episodes=1, gamma=GAMMA, **options))
    assert envs.native  # the refusal is the native loop's, not a fall back


def test_a_mapping_made_by_hand_under_a_kit_name_takes_its_own_rule_on_gymnasium():
    # Its rule picks action 1 when no unit is taken, 0 when one is: the kit's binary the reverse.
    coder, _, agents = agents_for("CartPole-v1", {}, "binary", 2, 0)
    own = _own_binary(2)
    envs = SyncVectorEnv([lambda: gym.make("CartPole-v1")] * 2)
    got = [(r.agent, r.return_) for r in run_population(
        envs, Population(copies(agents)), coder, own, episodes=2, gamma=GAMMA, seed=4)]
    expected = []
    for i, agent in enumerate(copies(agents)):
        env = gym.make("CartPole-v1")
        expected += [(i, r.return_) for r in run_episodes(
            env, agent, coder, own, episodes=2, gamma=GAMMA, seed=4 + i)]
    assert sorted(got) == sorted(expected)


def test_a_native_run_refuses_what_it_cannot_run_natively():
    coder, mapping, agents = agents_for("CartPole-v1", {}, "binary", 1, 0)
    envs = make_vector_env("CartPole-v1", 1, seed=0, backend="native")

    class Own:
        num_features = coder.num_features

        def active_features(self, observation):
            return coder.active_features(observation)

    with pytest.raises(ValueError, match="kit's own feature maps"):
        next(run_population(envs, Population(agents), Own(), mapping, episodes=1, gamma=GAMMA,
                            seed=0))  # fmt: skip
    with pytest.raises(ValueError, match="needs a seed"):
        next(run_population(envs, Population(agents), coder, mapping, episodes=1, gamma=GAMMA))
    with pytest.raises(ValueError, match="PCG64"):
        mt = [np.random.Generator(np.random.MT19937(0))]
        next(run_population(envs, Population(agents), coder, mapping, episodes=1, gamma=GAMMA,
                            seed=0, rngs=mt))  # fmt: skip
    with pytest.raises(ValueError, match="no native task"):
        make_vector_env("Pendulum-v1", 1, seed=0, backend="native")
    with pytest.warns(UserWarning, match="not exact"):
        make_vector_env("Acrobot-v1", 1, seed=0, backend="native")


# ---- kill and resume -------------------------------------------------------------------------

RESUME_EPISODES, RESUME_EVERY = 16, 3
# Task: (options, actions). CartPole's binary mapping never draws; MountainCar's (two units for
# three actions) draws whenever both units are taken, so a resume must go on with the
# checkpoint's generators, not fresh ones.
RESUME_TASKS = {"CartPole-v1": ({"max_episode_steps": 60}, 2),
                "MountainCar-v0": ({"max_episode_steps": 40}, 3)}  # fmt: skip


def train_native(out, threads, kill_after=None, env_id="CartPole-v1", episodes=RESUME_EPISODES,
                 backend="native"):  # fmt: skip
    """A native run in `out`, continued from its latest run checkpoint if there is one; with
    `kill_after`, this process kills itself as that many results have been handed out."""
    options, actions = RESUME_TASKS[env_id]
    envs = make_vector_env(env_id, 3, seed=5, backend=backend, **options)
    coder, mapping = features_for(envs), action_mapping("binary", actions)
    run = latest_run(out / "checkpoints")
    if run is None:
        agents = [make_agent(coder.num_features, mapping.num_units, SETTINGS, seed=i)
                  for i in range(3)]  # fmt: skip
    else:
        agents = [member.agent for member in run.members]
    rngs = [np.random.default_rng(5 + i) for i in range(3)]
    results = []
    for result in run_population(
        envs, Population(agents, threads=threads), coder, mapping, episodes=episodes,
        gamma=GAMMA, seed=5, rngs=rngs, checkpoint_every=RESUME_EVERY,
        checkpoint_dir=out / "checkpoints", log=out / "log.csv", resume=run,
    ):  # fmt: skip
        results.append(result)
        if kill_after is not None and len(results) == kill_after:
            os.kill(os.getpid(), signal.SIGKILL)
    return run, agents, results, [rng.bit_generator.state for rng in rngs]


def killed_in_child(action):
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            action()
            code = 0
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    return status


@pytest.fixture(scope="module", params=sorted(RESUME_TASKS))
def uninterrupted(request, tmp_path_factory):
    out = tmp_path_factory.mktemp("native-reference")
    _, agents, results, generators = train_native(out, 1, env_id=request.param)
    episodes = {(r.agent, r.episode): (r.return_, r.length, r.steps) for r in results}
    states = [velto_kit.dumps(agent) for agent in agents]
    fresh = [np.random.default_rng(5 + i).bit_generator.state for i in range(3)]
    # MountainCar's mapping drew for every agent, CartPole's for none.
    drew = [state != start for state, start in zip(generators, fresh, strict=True)]
    assert drew == [request.param == "MountainCar-v0"] * 3
    return request.param, episodes, states, (out / "log.csv").read_text(), generators


def assert_resumes_exactly(out, threads, uninterrupted):
    env_id, episodes, states, log, generators = uninterrupted
    run, agents, results, resumed_generators = train_native(out, threads, env_id=env_id)
    assert resumed_generators == generators
    assert run is not None and run.next_episode >= RESUME_EVERY
    done = {(record[0], record[1]) for record in run.loop["records"]}
    resumed = {(r.agent, r.episode): (r.return_, r.length, r.steps) for r in results}
    assert not done & set(resumed)  # no episode twice
    assert done | set(resumed) == set(episodes)  # none lost
    assert resumed == {key: episodes[key] for key in resumed}
    assert [velto_kit.dumps(agent) for agent in agents] == states
    written = (out / "log.csv").read_text()
    if threads == 1:  # one thread hands over in an order fixed by the members' progress
        assert written == log
    else:
        assert sorted(written.splitlines()) == sorted(log.splitlines())


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("point", range(4))
def test_a_native_run_killed_at_a_random_result_resumes_as_if_never_killed(
    threads, point, tmp_path, uninterrupted
):
    kill_after = random.Random(f"native-{threads}-{point}").randrange(12, 3 * RESUME_EPISODES)
    env_id = uninterrupted[0]
    status = killed_in_child(lambda: train_native(tmp_path, threads, kill_after, env_id))
    assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL
    assert_resumes_exactly(tmp_path, threads, uninterrupted)


@pytest.mark.parametrize("delay", [0.4, 0.7, 1.0])
def test_a_native_run_killed_from_outside_at_any_moment_resumes_as_if_never_killed(
    delay, tmp_path, uninterrupted
):
    """Killed by another process while the workers run, wherever they are."""
    pid = os.fork()
    if pid == 0:
        try:
            while True:  # keep training, each time from the latest checkpoint, until killed
                train_native(tmp_path, 2, env_id=uninterrupted[0])
        finally:
            os._exit(1)
    time.sleep(delay)
    os.kill(pid, signal.SIGKILL)
    _, status = os.waitpid(pid, 0)
    assert os.WIFSIGNALED(status)
    if latest_run(tmp_path / "checkpoints") is None:
        pytest.skip("killed before the first run checkpoint")
    assert_resumes_exactly(tmp_path, 2, uninterrupted)


def test_a_native_run_killed_between_agent_files_and_manifest_resumes_from_the_one_before(
    tmp_path, uninterrupted
):
    from velto_kit.state import run_state

    def action():
        original = run_state.write_atomically
        manifests = []

        def write(path, data):
            if Path(path).name.startswith("run-"):
                manifests.append(path)
                if len(manifests) == 2:
                    os.kill(os.getpid(), signal.SIGKILL)
            return original(path, data)

        run_state.write_atomically = write
        train_native(tmp_path, 1, env_id=uninterrupted[0])

    status = killed_in_child(action)
    assert os.WTERMSIG(status) == signal.SIGKILL
    assert latest_run(tmp_path / "checkpoints").next_episode == RESUME_EVERY
    assert_resumes_exactly(tmp_path, 1, uninterrupted)


@pytest.mark.parametrize(("backend", "threads"), [("native", 1), ("native", 2), ("gymnasium", 1)])
def test_a_checkpoint_holding_a_finished_agent_resumes_as_the_unbroken_run(
    backend, threads, tmp_path
):
    # Agent 0 runs 3 episodes, the others 9: the first run checkpoint is written as the slowest
    # agent passes 3, so it holds agent 0 finished and the others part way; MountainCar's
    # mapping draws, so the resume must go on with the checkpoint's generators too.
    counts = [RESUME_EVERY, 3 * RESUME_EVERY, 3 * RESUME_EVERY]
    train = functools.partial(train_native, env_id="MountainCar-v0", episodes=counts,
                              backend=backend)  # fmt: skip
    _, whole_agents, whole, generators = train(tmp_path / "whole", threads)
    train(tmp_path / "cut", threads)
    manifest = velto_kit.run_checkpoints(tmp_path / "cut" / "checkpoints")[0]
    (tmp_path / "resumed" / "checkpoints").mkdir(parents=True)
    for path in [manifest, *checkpoint_files(manifest)]:
        (tmp_path / "resumed" / "checkpoints" / path.name).write_bytes(path.read_bytes())
    stored = latest_run(tmp_path / "resumed" / "checkpoints")
    done = [len(member.returns) for member in stored.members]
    assert done[0] == counts[0] and max(done[1:]) < counts[1]  # agent 0 finished, no other
    run, agents, after, resumed_generators = train(tmp_path / "resumed", threads)
    assert run is not None and all(r.agent > 0 for r in after)
    before = {(i, e): (m.returns[e], m.lengths[e]) for i, m in enumerate(stored.members)
              for e in range(done[i])}  # fmt: skip
    got = before | {(r.agent, r.episode): (r.return_, r.length) for r in after}
    assert got == {(r.agent, r.episode): (r.return_, r.length) for r in whole}
    assert [r.steps for r in after] == [
        r.steps for r in whole if (r.agent, r.episode) not in before
    ]
    assert [velto_kit.dumps(a) for a in agents] == [velto_kit.dumps(a) for a in whole_agents]
    assert resumed_generators == generators


def test_the_log_is_synced_before_each_run_checkpoint_is_written(tmp_path, monkeypatch):
    """A manifest must never name episodes the log may still lose: the log's fsync comes first."""
    from velto_kit.experiments.episode_log import EpisodeLog
    from velto_kit.state import run_state

    events = []
    sync, write = EpisodeLog.sync, run_state.write_atomically

    def logged_sync(log):
        events.append("sync")
        sync(log)

    def logged_write(path, data):
        if Path(path).name.startswith("run-"):
            events.append("manifest")
        return write(path, data)

    monkeypatch.setattr(EpisodeLog, "sync", logged_sync)
    monkeypatch.setattr(run_state, "write_atomically", logged_write)
    train_native(tmp_path, 2)
    assert events.count("manifest") >= RESUME_EPISODES // RESUME_EVERY - 1
    for i, event in enumerate(events):
        if event == "manifest":
            assert events[i - 1] == "sync"


def test_a_run_checkpoint_resumes_only_a_run_on_the_same_backend(tmp_path):
    coder = features_for(gym.make("CliffWalking-v1"))
    mapping = action_mapping("binary", 4)

    def run(backend, out, resume=None):
        envs = make_vector_env("CliffWalking-v1", 2, seed=3, backend=backend, max_episode_steps=20)
        if resume is None:
            agents = [make_agent(coder.num_features, 2, SETTINGS, seed=i) for i in range(2)]
        else:
            agents = [member.agent for member in resume.members]
        return list(run_population(envs, Population(agents), coder, mapping, episodes=4,
                                   gamma=GAMMA, seed=3, checkpoint_every=2, checkpoint_dir=out,
                                   resume=resume))  # fmt: skip

    run("native", tmp_path / "native")
    run("gymnasium", tmp_path / "gymnasium")
    with pytest.raises(ValueError, match="wrappers"):
        run("native", tmp_path / "native", latest_run(tmp_path / "gymnasium"))
    with pytest.raises(ValueError, match="wrappers"):
        run("gymnasium", tmp_path / "gymnasium", latest_run(tmp_path / "native"))


def test_a_native_run_holds_its_folder_refuses_anothers_checkpoints_and_keeps_the_last(tmp_path):
    from velto_kit.state.run_folder import RunFolderHasRun, RunFolderInUse
    from velto_kit.state.run_state import run_checkpoints

    envs = make_vector_env("FrozenLake-v1", 2, seed=1, backend="native", max_episode_steps=15)
    coder, mapping = features_for(envs), action_mapping("binary", 4)

    def run(**options):
        agents = [make_agent(coder.num_features, 2, SETTINGS, seed=i) for i in range(2)]
        return run_population(envs, Population(agents, threads=2), coder, mapping, episodes=12,
                              gamma=GAMMA, seed=1, checkpoint_every=2, checkpoint_dir=tmp_path,
                              **options)  # fmt: skip

    first = run(keep_last=2)
    next(first)
    with pytest.raises(RunFolderInUse):
        next(run())
    list(first)
    assert [path.name for path in run_checkpoints(tmp_path)] == ["run-000010.json",
                                                                 "run-000012.json"]  # fmt: skip
    with pytest.raises(RunFolderHasRun):
        next(run())
    assert len(list(run(overwrite=True))) == 24


def test_a_resumed_native_run_given_more_episodes_ends_as_the_longer_run(tmp_path):
    env_id, options = "CartPole-v1", {"max_episode_steps": 40}
    coder, mapping, agents = agents_for(env_id, options, "binary", 2, 0)
    longer = copies(agents)
    envs = make_vector_env(env_id, 2, seed=SEED, backend="native", **options)
    list(run_population(envs, Population(agents), coder, mapping, episodes=4, gamma=GAMMA,
                        seed=SEED, checkpoint_every=2, checkpoint_dir=tmp_path))  # fmt: skip
    resume = latest_run(tmp_path)
    assert resume.next_episode == 4
    resumed = [member.agent for member in resume.members]
    results = list(run_population(envs, Population(resumed), coder, mapping, episodes=7,
                                  gamma=GAMMA, seed=SEED, checkpoint_every=2,
                                  checkpoint_dir=tmp_path, resume=resume))  # fmt: skip
    assert sorted((r.agent, r.episode) for r in results) == [(a, e) for a in (0, 1)
                                                             for e in (4, 5, 6)]  # fmt: skip
    expected, states = reference(env_id, options, coder, mapping, longer, 7, 0)
    assert {(r.agent, r.episode): (r.return_, r.length, r.steps) for r in results} == {
        key: value for key, value in expected.items() if key[1] >= 4
    }
    assert [velto_kit.dumps(agent) for agent in resumed] == states
    again = latest_run(tmp_path)
    with pytest.raises(ValueError, match="more than episodes"):
        next(run_population(envs, Population([m.agent for m in again.members]), coder, mapping,
                            episodes=3, gamma=GAMMA, seed=SEED, checkpoint_every=2,
                            checkpoint_dir=tmp_path, resume=again))  # fmt: skip


@pytest.mark.parametrize(
    ("field", "value"),
    [("taken", "0"), ("begun", 1), ("next_episode", -1), ("task", {"list": "nope"})],
)
def test_a_damaged_native_member_fails_the_checkpoints_load(tmp_path, field, value):
    import json

    from velto_kit.state.checkpoint_reader import CheckpointError
    from velto_kit.state.run_state import load_run, run_checkpoints

    coder, mapping, agents = agents_for(
        "CliffWalking-v1", {"max_episode_steps": 20}, "binary", 2, 0
    )
    envs = make_vector_env("CliffWalking-v1", 2, seed=0, backend="native", max_episode_steps=20)
    list(run_population(envs, Population(agents), coder, mapping, episodes=2, gamma=GAMMA,
                        seed=0, checkpoint_every=2, checkpoint_dir=tmp_path))  # fmt: skip
    manifest = run_checkpoints(tmp_path)[-1]
    load_run(manifest)  # intact, it loads
    data = json.loads(manifest.read_text())
    data["loop"]["members"][1][field] = value
    manifest.write_text(json.dumps(data))
    with pytest.raises(CheckpointError, match="loop member 1"):
        load_run(manifest)


def test_train_py_native_population_gives_the_single_runs_returns_even_on_cartpole(tmp_path):

    from velto_kit.cli import train

    options = ["--env", "CartPole-v1", "--episodes", "12", "--seeds", "2", "3"]
    options += ["--random-episodes", "1", "--no-progress", "--no-inspect-plot", "--workers", "1"]
    csvs = []
    population = ["--population", "--population-threads", "2", "--vector-backend", "native"]
    for extra in (["--backend", "gymnasium"], population):
        out = tmp_path / extra[-1]
        train.main([*options, *extra, "--output-dir", str(out)])
        csvs.append((out / "returns.csv").read_text())
    assert csvs[0] == csvs[1]
    assert len(csvs[0].splitlines()) == 1 + 12 * 2
    with pytest.raises(SystemExit):
        train.main([*options[:5], "2", "4", "--population", "--vector-backend", "native"])


def test_a_population_trial_on_a_native_task_reports_each_seeds_single_run():
    from velto_kit.sweeps.population_trial import PopulationTrial
    from velto_kit.sweeps.trial_config import TrialConfig
    from velto_kit.sweeps.trial_learners import trial_features

    config = TrialConfig(env_id="CartPole-v1", seed=4, seeds_per_trial=2, episodes=5)
    trial = PopulationTrial.build(config, None)
    assert getattr(trial.envs, "native", False)
    fresh = copies(trial.population.agents)
    reported = {(m["seed"], m["episode"]): m["return"] for m in trial.metrics(trial.run())}
    features = trial_features(config, trial.envs)
    mapping = action_mapping(config.mapping, 2)
    for i, seed in enumerate(config.seeds):
        results = list(run_episodes(gym.make("CartPole-v1"), fresh[i], features, mapping,
                                    episodes=5, gamma=config.gamma, seed=seed))  # fmt: skip
        assert [reported[seed, r.episode] for r in results] == [r.return_ for r in results]
        assert velto_kit.dumps(trial.population.agents[i]) == velto_kit.dumps(fresh[i])


# ---- what a native run leaves to views, signals and forks ------------------------------------


def run_child(code, *args, timeout=120):
    """`code` in a fresh interpreter; a crash is its return code, never this process's."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
        capture_output=True, text=True, timeout=timeout,
    )  # fmt: skip


VIEWS_AFTER_A_RUN = """
    import sys
    import numpy as np
    import velto_kit
    from velto_kit import AgentSettings, Population, action_mapping, features_for, make_agent
    from velto_kit import make_vector_env, run_population

    threads, count = int(sys.argv[1]), int(sys.argv[2])
    envs = make_vector_env("CartPole-v1", count, seed=3, backend="native", max_episode_steps=40)
    # 16 tilings of 20^4 tiles: arrays of about 10 MB each, unmapped when freed.
    coder = features_for(envs, tiles=20, tilings=16)
    mapping = action_mapping("binary", 2)
    agents = [make_agent(coder.num_features, 1, AgentSettings(alpha=0.05), seed=i)
              for i in range(count)]
    views = [velto_kit.inspect(agent) for agent in agents]
    before = [view.critic.weights.copy() for view in views]
    for _ in run_population(envs, Population(agents, threads=threads), coder, mapping,
                            episodes=4, gamma=0.95, seed=3):
        pass
    reused = [np.full(coder.num_features, 7.0, np.float32) for _ in range(12)]
    for i, (view, agent) in enumerate(zip(views, agents)):
        now = velto_kit.inspect(agent)
        assert not np.array_equal(now.critic.weights, before[i]), "the run changed nothing"
        for old, new in zip([view.critic, *view.units], [now.critic, *now.units]):
            for name, array in vars(new).items():
                if isinstance(array, np.ndarray) and array.dtype == np.float32:
                    assert np.array_equal(getattr(old, name), array, equal_nan=True), name
    print("ok")
"""


@pytest.mark.parametrize(("threads", "count"), [(1, 1), (1, 2), (2, 2)])
def test_views_taken_before_a_native_run_show_the_agents_after_it(threads, count):
    done = run_child(VIEWS_AFTER_A_RUN, threads, count)
    assert done.returncode == 0 and done.stdout.split() == ["ok"], done.stderr[-2000:]


def read_line(process, timeout):
    """The child's next line of output, or None when none comes within `timeout` seconds."""
    ready, _, _ = select.select([process.stdout], [], [], timeout)
    return process.stdout.readline().strip() if ready else None


def interrupted_child(code, *args, delay):
    """Runs `code`, sends it SIGINT `delay` seconds after it prints "running", and returns its
    output after that; a child that does not end within 60 s more is killed and fails the test."""
    process = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )  # fmt: skip
    try:
        assert read_line(process, 60) == "running", process.stderr.read()
        time.sleep(delay)
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        pytest.fail("the native run did not stop on SIGINT")
    assert process.returncode == 0, err[-3000:]
    return out.split()


ENDLESS_EPISODES = """
    import sys
    import velto_kit
    from velto_kit import AgentSettings, Population, action_mapping, features_for, make_agent
    from velto_kit import make_vector_env, run_population

    # A fresh agent's greedy policy takes no unit: the binary mapping moves left for ever from
    # the start, and no time limit ends the episode.
    threads = int(sys.argv[1])
    envs = make_vector_env("FrozenLake-v1", 2, seed=0, backend="native", is_slippery=False,
                           max_episode_steps=-1)
    coder, mapping = features_for(envs), action_mapping("binary", 4)
    agents = [make_agent(coder.num_features, 2, AgentSettings(), seed=i) for i in range(2)]
    before = [velto_kit.dumps(agent) for agent in agents]
    print("running", flush=True)
    try:
        for _ in run_population(envs, Population(agents, threads=threads), coder, mapping,
                                episodes=1, gamma=0.9, seed=0, learn=False, greedy=True):
            print("an episode ended")
    except KeyboardInterrupt:
        print("interrupted", [velto_kit.dumps(a) for a in agents] == before)
"""


@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_stops_a_native_run_whose_episodes_never_end(threads):
    assert interrupted_child(ENDLESS_EPISODES, threads, delay=0.5) == ["interrupted", "True"]


LONG_RUN = """
def long_run(out, threads, announce=False):
    from velto_kit import AgentSettings, Population, action_mapping, features_for, make_agent
    from velto_kit import make_vector_env, run_population
    from velto_kit.state.run_state import latest_run

    # MountainCar's binary mapping draws (code 3 names no action), so a resume also has to give
    # each agent its generator's state back. 4000 episodes take about 1.8 s on two idle threads,
    # so an interrupt sent 0.1 s after the first checkpoint (episode 40) finds the run going.
    envs = make_vector_env("MountainCar-v0", 2, seed=9, backend="native")
    coder, mapping = features_for(envs), action_mapping("binary", 3)
    run = latest_run(out / "checkpoints")
    if run is None:
        agents = [make_agent(coder.num_features, 2, AgentSettings(alpha=0.05), seed=i)
                  for i in range(2)]
    else:
        agents = [member.agent for member in run.members]
    for result in run_population(
        envs, Population(agents, threads=threads), coder, mapping, episodes=4000, gamma=0.99,
        seed=9, checkpoint_every=40, checkpoint_dir=out / "checkpoints", log=out / "log.csv",
        resume=run,
    ):
        if announce and any((out / "checkpoints").glob("run-*.json")):
            print("running", flush=True)  # from here on there is a checkpoint to resume
            announce = False
    return agents
"""
LONG_RUN_CHILD = (
    LONG_RUN
    + """
import sys
from pathlib import Path

try:
    long_run(Path(sys.argv[1]), int(sys.argv[2]), announce=True)
    print("ended")
except KeyboardInterrupt:
    print("interrupted")
"""
)


def long_run(out, threads):
    namespace = {}
    exec(LONG_RUN, namespace)
    return namespace["long_run"](out, threads)


@pytest.fixture(scope="module")
def unbroken_long_run(tmp_path_factory):
    out = tmp_path_factory.mktemp("unbroken")
    agents = long_run(out, 1)
    return [velto_kit.dumps(agent) for agent in agents], (out / "log.csv").read_text()


@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_leaves_a_native_run_folder_that_resumes_to_the_unbroken_runs_bytes(
    threads, tmp_path, unbroken_long_run
):
    assert interrupted_child(LONG_RUN_CHILD, tmp_path, threads, delay=0.1) == ["interrupted"]
    states, log = unbroken_long_run
    agents = long_run(tmp_path, threads)
    assert [velto_kit.dumps(agent) for agent in agents] == states
    written = (tmp_path / "log.csv").read_text()
    assert sorted(written.splitlines()) == sorted(log.splitlines())


FORKED_DURING_A_RUN = """
    import gc, os, signal, sys, time
    import numpy as np
    from velto_kit import AgentSettings, action_mapping, features_for, make_agent
    from velto_kit import make_vector_env

    uses_it = sys.argv[1] == "uses"
    envs = make_vector_env("CartPole-v1", 2, seed=1, backend="native")
    coder, mapping = features_for(envs), action_mapping("binary", 2)
    agents = [make_agent(coder.num_features, 1, AgentSettings(), seed=i) for i in range(2)]
    results = envs.native_run(
        agents, 2, coder, mapping, episodes=600, gamma=0.9, seed=1,
        rngs=[np.random.default_rng(1 + i) for i in range(2)], start_episode=0,
        checkpoint_every=None, checkpoint_dir=None, learn=True, greedy=False, log=None,
        resume=None, unit_steps=1,
    )
    next(results)  # the run is open and its two threads step the agents
    pid = os.fork()
    if pid == 0:
        code = 0
        if uses_it:
            try:
                for _ in results:  # the batch already handed over, then the run itself
                    pass
                code = 3
            except RuntimeError as error:
                code = 0 if "forked" in str(error) else 4
        del results
        gc.collect()
        sys.exit(code)  # a normal exit: every destructor runs
    for _ in range(2000):
        ended, status = os.waitpid(pid, os.WNOHANG)
        if ended:
            break
        time.sleep(0.01)
    else:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        status = "hung"
    count = sum(1 for _ in results)  # the parent's run goes on undisturbed
    print(status, count)
"""


@pytest.mark.parametrize("child", ["uses", "leaves"])
def test_a_process_forked_during_a_native_run_exits_normally(child):
    done = run_child(FORKED_DURING_A_RUN, child)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.split() == ["0", str(2 * 600 - 1)]
