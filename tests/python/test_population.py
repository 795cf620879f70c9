"""velto_kit.Population against the same agents stepped one at a time, its all-or-nothing checks,
other Python threads using its agents during calls, and the batched feature maps."""

import copy
import hashlib
import os
import random
import signal
import threading
import time
import warnings

import numpy as np
import pytest
import velto_kit
from kit_support import assert_same_state, random_agent
from velto_actor_critic import VeltoActorCritic
from velto_kit import OneHot, Population, TileCoder
from velto_kit.experiments.features import Flattened


def twins(seed, count, num_actions, sizes):
    """Two lists of agents built alike: random settings, the given num_features per agent."""
    made = []
    for _ in range(2):
        rng = random.Random(seed)
        made.append(
            [
                random_agent(rng, num_features=sizes[i % len(sizes)], num_actions=num_actions)
                for i in range(count)
            ]
        )
    return made


def as_taken(actions, num_actions):
    row = np.zeros(num_actions, dtype=bool)
    row[actions] = True
    return row


def random_rows(rng, sizes, width):
    """One row per agent: `width` indices (None: a random length, repeats and empty rows)."""
    rows = []
    for n in sizes:
        length = rng.randrange(0, 6) if width is None else width
        row = [rng.randrange(n) for _ in range(length)] if n else []
        if len(row) >= 2 and rng.random() < 0.3:
            row[-1] = row[0]  # an index listed twice
        rows.append(row)
    return rows


FORMS = {
    "int32 array": lambda rows: np.array(rows, dtype=np.int32),
    "int64 array": lambda rows: np.array(rows, dtype=np.int64),
    "int16 array": lambda rows: np.array(rows, dtype=np.int16),
    "Fortran-order int64": lambda rows: np.asfortranarray(np.array(rows, dtype=np.int64)),
    "ragged lists": lambda rows: rows,
    "ragged arrays": lambda rows: [np.array(r, dtype=np.int64) for r in rows],
}


@pytest.mark.parametrize("threads", [1, 2, 4])
@pytest.mark.parametrize("form", list(FORMS))
def test_every_member_matches_agents_stepped_one_at_a_time(threads, form):
    ragged = form.startswith("ragged")
    sizes = [0, 1, 7, 300, 40, 5, 2000] if ragged else [1, 7, 300, 40, 5, 2000]
    count, num_actions = 9, 3
    agents, alone = twins(threads * 100 + len(form), count, num_actions, sizes)
    population = Population(agents, threads=threads)
    population._core.work_per_block = 0  # split every call, however small
    rng = random.Random(threads)
    np_rng = np.random.default_rng(threads)
    for call in range(25):
        rows = random_rows(
            rng,
            [sizes[i % len(sizes)] for i in range(count)],
            None if ragged else rng.randrange(0, 5),
        )
        # float64 (each must round to binary32 as step rounds it), float32, or one Python number.
        rewards = np_rng.normal(size=count)
        if call % 3 == 1:
            rewards = rewards.astype(np.float32)
        elif call % 6 == 2:
            rewards = [float(rewards[0])] * count
        gammas = np.where(np_rng.random(count) < 0.2, 0.0, np_rng.uniform(0.5, 1.0, count))
        active = np_rng.random(count) < 0.8 if call % 2 else None
        given = rewards[0] if isinstance(rewards, list) else rewards
        taken = population.step(FORMS[form](rows), given, gammas, active=active)

        assert taken.shape == (count, num_actions) and taken.dtype == np.bool_
        for i, agent in enumerate(alone):
            if active is not None and not active[i]:
                assert not taken[i].any()
                continue
            actions = agent.step(rows[i], float(rewards[i]), float(gammas[i]))
            assert np.array_equal(taken[i], as_taken(actions, num_actions)), (call, i)
        for i in range(count):
            assert_same_state(agents[i], alone[i])


def digests(agents):
    return [hashlib.sha256(velto_kit.dumps(agent)).hexdigest() for agent in agents]


SIZES = [10, 20, 30]  # num_features of agents 0, 1, 2
GOOD = np.array([[9, 0], [19, 0], [29, 0]])  # the last index of every agent


def with_row(row, values):
    features = GOOD.copy()
    features[row] = values
    return features


# Each bad call is refused before any agent changes, including agents of rows before the bad one.
REFUSED = [
    (
        "index num_features, last row",
        dict(features=with_row(2, [30, 0])),
        IndexError,
        "row 2: index 30",
    ),
    ("index -1", dict(features=with_row(1, [0, -1])), IndexError, "row 1: index -1"),
    (
        "int64 beyond int32",
        dict(features=with_row(2, [2**40, 0])),
        IndexError,
        "index 1099511627776",
    ),
    (
        "uint64 beyond int64",
        dict(features=np.full((3, 2), 2**64 - 1, dtype=np.uint64)),
        IndexError,
        "18446744073709551615",
    ),
    ("python int beyond int64", dict(features=[[1], [2], [2**70]]), IndexError, str(2**70)),
    ("ragged row out of range", dict(features=[[9], [20, 1], []]), IndexError, "row 1: index 20"),
    ("too few rows", dict(features=GOOD[:2]), ValueError, "(3, k)"),
    ("one-dimensional", dict(features=np.array([1, 2, 3])), ValueError, "(3, k)"),
    ("float features", dict(features=GOOD.astype(np.float64)), TypeError, "integers"),
    ("bool features", dict(features=GOOD > 3), TypeError, "integers"),
    ("float in a ragged row", dict(features=[[1], [2.0, 3], [4]]), TypeError, "row 1"),
    ("string features", dict(features="abc"), TypeError, "features"),
    ("rewards of 4", dict(rewards=np.zeros(4)), ValueError, "rewards"),
    ("rewards of strings", dict(rewards=["1", "2", "3"]), TypeError, "rewards"),
    ("gammas of 2", dict(gammas=[0.9, 0.9]), ValueError, "gammas"),
    ("complex gamma", dict(gammas=1j), TypeError, "gammas"),
    ("active of ints", dict(active=np.array([1, 1, 1])), TypeError, "active"),
    ("active of 2", dict(active=np.array([True, True])), ValueError, "active"),
    (
        "out of range in an active row",
        dict(features=with_row(1, [-1, 0]), active=np.array([True, True, True])),
        IndexError,
        "row 1",
    ),
]


@pytest.mark.parametrize(("case", "change", "error", "text"), REFUSED, ids=[r[0] for r in REFUSED])
def test_refused_calls_change_no_agent(case, change, error, text):
    agents = [velto_kit.make_agent(n, 2, velto_kit.AgentSettings(), seed=n) for n in SIZES]
    population = Population(agents, threads=2)
    population._core.work_per_block = 0  # split every call, however small
    population.step(GOOD, 1.0, 0.9)  # the boundary's accepted side: index num_features - 1
    before = digests(agents)
    call = dict(features=GOOD, rewards=0.5, gammas=0.9, active=None) | change
    with pytest.raises(error) as raised:
        population.step(call["features"], call["rewards"], call["gammas"], active=call["active"])
    assert text in str(raised.value), str(raised.value)
    assert digests(agents) == before


def test_inactive_rows_are_not_range_checked_nor_stepped():
    agents = [velto_kit.make_agent(n, 2, velto_kit.AgentSettings(), seed=n) for n in SIZES]
    population = Population(agents)
    before = digests(agents)
    taken = population.step(with_row(1, [-1, 99]), 0.0, 0.9, active=np.array([0, 0, 1], bool))
    assert not taken[:2].any()
    after = digests(agents)
    assert after[:2] == before[:2] and after[2] != before[2]


def test_construction_refuses_what_it_cannot_step():
    agent = velto_kit.make_agent(8, 2, velto_kit.AgentSettings(), seed=0)
    other = velto_kit.make_agent(8, 2, velto_kit.AgentSettings(), seed=1)
    three = velto_kit.make_agent(8, 3, velto_kit.AgentSettings(), seed=2)
    cases = [
        (([],), {}, ValueError, "at least one"),
        (([agent, other, agent],), {}, ValueError, "agents 0 and 2 are the same agent"),
        (([agent, other, three],), {}, ValueError, "agents 2 (3) differ"),
        (([agent, "agent"],), {}, TypeError, "agents[1] must be a VeltoActorCritic"),
        (([agent, VeltoActorCritic.__new__(VeltoActorCritic)],), {}, TypeError, "__init__"),
        (([agent],), {"threads": 0}, ValueError, "threads"),
        (([agent],), {"threads": 4097}, ValueError, "threads"),
        (([agent],), {"threads": True}, TypeError, "threads"),
        (([agent],), {"threads": 2.0}, TypeError, "threads"),
    ]
    for args, kwargs, error, text in cases:
        with pytest.raises(error) as raised:
            Population(*args, **kwargs)
        assert text in str(raised.value), (args, kwargs, str(raised.value))
    # The accepted sides of the same boundaries.
    for threads in (1, 4096):
        population = Population([agent, other], threads=threads)
        assert (len(population), population.threads, population.num_actions) == (2, threads, 2)
        assert population.agents[0] is agent and population.agents[1] is other


EVERY_FEATURE = list(range(3000))

# What another thread takes of agent 1, each in one call: its critic's value summed over every
# feature (a weight that a half-done sweep had changed or not yet changed would show), or a whole
# checkpoint.
SNAPSHOTS = {
    "value": lambda agent: velto_kit.value(agent, EVERY_FEATURE).tobytes(),
    "dumps": velto_kit.dumps,
    "deepcopy": lambda agent: velto_kit.dumps(copy.deepcopy(agent)),
}


@pytest.mark.parametrize("snapshot", ["value", "dumps", "deepcopy"])
def test_other_threads_see_agents_before_or_after_a_call_never_during(snapshot):
    """Another thread snapshots agent 1 and steps agent 3 of a population that steps on two
    native threads: every snapshot is a state of the one-at-a-time sequence, and nothing hangs."""
    take = SNAPSHOTS[snapshot]
    count, calls = 4, 150
    # Long-lived traces: every step sweeps thousands of entries, a wide window for a reader.
    settings = velto_kit.AgentSettings(lambda_=0.99, epsilon=1e-4)
    agents, alone = (
        [velto_kit.make_agent(3000, 2, settings, seed=s) for s in range(count)] for _ in range(2)
    )
    population = Population(agents, threads=2)
    population._core.work_per_block = 0  # split every call, however small
    rng = np.random.default_rng(0)
    inputs = [(rng.integers(0, 3000, (count, 32)), rng.normal(size=count)) for _ in range(calls)]
    seen = {take(alone[1])}
    for features, rewards in inputs:
        for i, agent in enumerate(alone):
            agent.step(features[i].tolist(), float(rewards[i]), 0.9)
        seen.add(take(alone[1]))

    snapshots, errors = [], []
    stop = threading.Event()

    def other_thread():
        try:
            while not stop.is_set():
                snapshots.append(take(agents[1]))
                agents[3].step([1, 2], 0.0, 0.5)
        except BaseException as error:  # carried to the main thread's assertion
            errors.append(error)

    worker = threading.Thread(target=other_thread, daemon=True)
    worker.start()
    for features, rewards in inputs:
        population.step(features, rewards, 0.9)
    stop.set()
    worker.join(timeout=60)
    assert not worker.is_alive(), "the other thread deadlocked"
    assert not errors, errors
    assert len(seen) > calls // 2 and len(snapshots) >= 2
    torn = [s for s in snapshots if s not in seen]
    assert not torn, f"{len(torn)} of {len(snapshots)} snapshots are no state of the sequence"
    for i in (0, 1, 2):
        assert_same_state(agents[i], alone[i])


def test_tile_coder_batch_is_the_single_calls():
    rng = np.random.default_rng(3)
    coders = [
        TileCoder([-1.0, 0.0, 2.0], [1.0, 5.0, 3.0], 5, 4),
        TileCoder([-1.0, 0.0, 2.0], [1.0, 5.0, 3.0], 9, 8, hash_size=97),
    ]
    # Values beyond the box on both sides (clipped), the box's own faces, and ordinary points.
    observations = np.vstack(
        [rng.uniform(-3.0, 6.0, (200, 3)), [[-1.0, 0.0, 2.0], [1.0, 5.0, 3.0]]]
    )
    for coder in coders:
        for batch in (
            observations,
            observations.astype(np.float32),
            observations.tolist(),
            np.asfortranarray(observations),
            observations[::2],
        ):
            got = coder.active_features_batch(batch)
            want = [coder.active_features(np.asarray(o)) for o in np.asarray(batch)]
            assert got.dtype == np.int32 and got.tolist() == want
        assert coder.active_features_batch(np.zeros((0, 3))).shape == (0, coder.num_tilings)
    nan_at_row_1 = observations[:3].copy()
    nan_at_row_1[1, 2] = np.nan
    for bad, error, text in [
        (nan_at_row_1, ValueError, "observations[1]"),
        (observations[:, :2], ValueError, "(N, 3)"),
        (observations[0], ValueError, "(N, 3)"),
        (np.array([["a", "b", "c"]]), TypeError, "numbers"),
    ]:
        with pytest.raises(error) as raised:
            coders[0].active_features_batch(bad)
        assert text in str(raised.value)


def test_one_hot_and_flattened_batches_are_the_single_calls():
    one_hot = OneHot(5, start=-2)
    values = np.array([-2, 0, 2, -1], dtype=np.int8)
    assert one_hot.active_features_batch(values).tolist() == [
        one_hot.active_features(v) for v in values
    ]
    for bad, error in [
        ([-3], ValueError),
        ([3], ValueError),
        ([0.0], TypeError),
        (np.array([2**64 - 1], dtype=np.uint64), ValueError),
    ]:
        with pytest.raises(error):
            one_hot.active_features_batch(bad)
    flattened = Flattened(TileCoder([0.0] * 4, [1.0] * 4, 3, 2))
    boxes = np.random.default_rng(1).random((6, 2, 2))
    assert flattened.active_features_batch(boxes).tolist() == [
        flattened.active_features(b) for b in boxes
    ]


def test_population_started_before_a_fork_steps_in_the_child():
    """The child of a fork has none of the parent's worker threads: waiting for them would hang."""
    agents, alone = twins(7, 4, 2, [30])
    population = Population(agents, threads=2)
    population._core.work_per_block = 0  # split every call, however small
    population.step(np.arange(8).reshape(4, 2), 0.0, 0.9)  # the workers exist now
    for agent in alone:
        agent.step([2 * alone.index(agent), 2 * alone.index(agent) + 1], 0.0, 0.9)
    expected = [agent.step([5], 1.0, 0.9) for agent in alone]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork of a threaded process
        child = os.fork()
    if child == 0:
        try:
            taken = population.step(np.full((4, 1), 5), 1.0, 0.9)
            same = [np.flatnonzero(row).tolist() for row in taken] == expected
            os._exit(0 if same else 1)
        finally:
            os._exit(2)
    deadline = time.monotonic() + 60
    while (finished := os.waitpid(child, os.WNOHANG))[0] == 0:
        if time.monotonic() > deadline:
            os.kill(child, signal.SIGKILL)
            os.waitpid(child, 0)
            pytest.fail("the child's population call hung")
        time.sleep(0.01)
    assert os.waitstatus_to_exitcode(finished[1]) == 0


def native_threads() -> int:
    return len(os.listdir("/proc/self/task"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads in /proc")
def test_calls_too_small_to_pay_for_a_hand_over_start_no_thread():
    """64 CartPole-sized agents on 8 features each stay on the calling thread with threads=2; a
    call with enough work (or with the threshold lowered) starts the worker and gives the same
    bits as stepping one at a time."""
    settings = velto_kit.AgentSettings()
    agents, alone = (
        [velto_kit.make_agent(19_208, 1, settings, seed=s) for s in range(64)] for _ in range(2)
    )
    population = Population(agents, threads=2)
    rng = np.random.default_rng(5)
    before = native_threads()
    for _ in range(30):
        features = rng.integers(0, 19_208, (64, 8))
        population.step(features, 1.0, 0.99)
        for agent, row in zip(alone, features.tolist(), strict=True):
            agent.step(row, 1.0, 0.99)
    assert native_threads() == before, "a small call started a worker thread"
    # 64 rows of 300 features: 19,200 in all, above twice the work per block.
    wide = rng.integers(0, 19_208, (64, 300))
    population.step(wide, 1.0, 0.99)
    for agent, row in zip(alone, wide.tolist(), strict=True):
        agent.step(row, 1.0, 0.99)
    assert native_threads() == before + 1
    for i in (0, 31, 32, 63):  # either side of the split
        assert_same_state(agents[i], alone[i])
