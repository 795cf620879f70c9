"""The native tasks and NumPy's generator in C++ against Gymnasium and NumPy as installed: the
same draws, states, observations, rewards, terminations and truncations, bit for bit."""

import copy
import warnings

import gymnasium as gym
import numpy as np
import pytest
from task_comparison import CONFIGS, compare, make_reference
from velto_kit._native import (
    NativeTask,
    NumpyGenerator,
    exact_native_task_ids,
    native_task_ids,
)

# Past 2**64 too, as SeedSequence (and Gymnasium's reset) take any int of 0 or more; five words
# and more also mix beyond SeedSequence's pool of four.
SEEDS = [0, 1, 2**32, 2**63, 2**64 - 1, 123456789, 2**64, 2**96 + 5, 2**160 + 2**130 + 7]
# Besides the usual bounds, two whose draws NumPy rejects about a quarter of the time (the
# threshold of its bounded method is then near a quarter of the range of one output).
BOUNDS = [1, 2, 3, 7, 2**31, 2**32 - 1, 2**32, 2**40, 2**63 - 1, 2**30 + 1, 2**62 + 1]


@pytest.mark.parametrize("seed", SEEDS)
def test_generator_is_seeded_as_default_rng(seed):
    assert NumpyGenerator(seed).state == np.random.default_rng(seed).bit_generator.state


@pytest.mark.parametrize("seed", SEEDS)
def test_generator_draws_what_numpy_draws(seed):
    ours = NumpyGenerator(seed)
    theirs = np.random.default_rng(seed)
    for round_ in range(40):
        assert ours.random() == theirs.random()
        assert ours.uniform(-0.05, 0.05) == theirs.uniform(-0.05, 0.05)
        assert ours.uniform(-0.6, -0.4) == theirs.uniform(low=-0.6, high=-0.4)
        for high in BOUNDS:
            got = ours.integers(high)
            assert got == theirs.integers(high), (round_, high)
            assert 0 <= got < high
        assert ours.state == theirs.bit_generator.state


def test_integers_of_one_value_draw_nothing():
    ours = NumpyGenerator(5)
    before = ours.state
    assert [ours.integers(1) for _ in range(3)] == [0, 0, 0]
    assert ours.state == before


def test_next_uint32_keeps_the_upper_half_across_next_uint64():
    ours = NumpyGenerator(11)
    theirs = np.random.default_rng(11)
    # integers(2**32) is NumPy's path to the buffered 32-bit output; random_raw() bypasses it.
    pattern = "4 8 4 4 4 8 8 4 8 4 4 8".split()
    for kind in pattern * 5:
        if kind == "4":
            assert ours.next_uint32() == theirs.integers(2**32)
        else:
            assert ours.next_uint64() == int(theirs.bit_generator.random_raw())
        assert ours.state == theirs.bit_generator.state


def test_generator_takes_numpy_state_and_goes_on_alike():
    theirs = np.random.default_rng(2024)
    theirs.integers(2**32)  # leaves an upper half buffered
    ours = NumpyGenerator(0)
    ours.state = theirs.bit_generator.state
    assert ours.state["has_uint32"] == 1
    assert [ours.integers(2**32) for _ in range(5)] == [theirs.integers(2**32) for _ in range(5)]
    assert ours.random() == theirs.random()
    with pytest.raises(ValueError):
        ours.state = {**theirs.bit_generator.state, "has_uint32": 2}
    with pytest.raises(ValueError):
        ours.state = {**theirs.bit_generator.state, "state": {"state": 2**128, "inc": 1}}
    with pytest.raises(ValueError):
        ours.integers(0)
    assert ours.random() == theirs.random()


@pytest.mark.parametrize(("env_id", "kwargs"), CONFIGS, ids=lambda c: str(c))
def test_task_steps_as_gymnasium_does(env_id, kwargs):
    counts = compare(env_id, kwargs, 3000, seed=len(str(kwargs)))
    assert counts.transitions == 3000
    assert counts.terminations + counts.truncations > 0  # episodes did end
    if env_id in exact_native_task_ids():
        assert counts.mismatches == 0, counts.first_mismatch
    else:
        # Only a starting observation may differ, and by at most one unit in the last place.
        assert counts.mismatches == counts.reset_ulp_mismatches, counts.first_mismatch


def test_exact_ids_are_the_native_ids_but_acrobot():
    assert set(native_task_ids()) - set(exact_native_task_ids()) == {"Acrobot-v1"}


@pytest.mark.parametrize("env_id", native_task_ids())
def test_spaces_and_time_limit_are_gymnasium_s(env_id):
    reference = make_reference(env_id)
    task = NativeTask(env_id, {})
    assert task.env_id == env_id
    assert task.num_actions == reference.action_space.n
    assert task.max_episode_steps == reference.spec.max_episode_steps
    space = reference.observation_space
    if isinstance(space, gym.spaces.Discrete):
        assert task.observation_n == space.n
        assert task.observation_low is None and task.observation_high is None
    else:
        assert task.observation_n is None
        assert task.observation_low.dtype == np.float32
        assert task.observation_low.tobytes() == space.low.tobytes()
        assert task.observation_high.tobytes() == space.high.tobytes()


@pytest.mark.parametrize("env_id", native_task_ids())
def test_state_round_trip_goes_on_identically(env_id):
    reference = make_reference(env_id)
    task = NativeTask(env_id, {})
    reference.reset(seed=31)
    task.reset(seed=31)
    actions = np.random.default_rng(3)

    def run(target, count):
        out = []
        for _ in range(count):
            step = target.step(int(actions.integers(target.num_actions)))
            out.append((np.asarray(step[0]).tobytes(), *step[1:4]))
            if step[2] or step[3]:
                out.append(np.asarray(target.reset()).tobytes())  # the generator goes on
        return out

    for _ in range(37):
        action = int(actions.integers(task.num_actions))
        task.step(action)
        if reference.step(action)[2:4] != (False, False):
            reference.reset()
            task.reset()
    state = task.get_state()
    # The generator's part is numpy's own state of Gymnasium's environment at the same point.
    assert state["generator"] == reference.unwrapped.np_random.bit_generator.state
    saved = copy.deepcopy(state)
    position = actions.bit_generator.state
    expected = run(task, 400)
    actions.bit_generator.state = position
    twin = NativeTask(env_id, {})
    twin.set_state(saved)
    assert twin.get_state() == saved
    assert run(twin, 400) == expected
    # Set back into the task that went on, it repeats itself too.
    actions.bit_generator.state = position
    task.set_state(saved)
    assert run(task, 400) == expected


def _bad_states(state):
    generator = state["generator"]
    yield {**state, "env_id": "CartPole-v0" if state["env_id"] != "CartPole-v0" else "Taxi-v4"}
    yield {**state, "values": state["values"] + [0.0]}
    yield {**state, "values": state["values"][:-1]}
    yield {**state, "elapsed_steps": -2}
    yield {**state, "generator": {**generator, "has_uint32": 2}}
    yield {**state, "generator": {**generator, "uinteger": 2**32}}
    yield {**state, "generator": {**generator, "state": {"state": -1, "inc": 1}}}
    yield {**state, "generator": {**generator, "bit_generator": "MT19937"}}
    yield {**state, "generator": None}
    yield {k: v for k, v in state.items() if k != "values"}


@pytest.mark.parametrize(
    ("env_id", "bad_values"),
    [
        ("CliffWalking-v1", [[48.0], [-1.0], [2.5]]),
        ("FrozenLake-v1", [[16.0], [float("nan")]]),
        ("Taxi-v4", [[500.0, 0.0], [3.0, 2.0]]),
        ("CartPole-v1", [[0.0, 0.0, 0.0, 0.0, -2.0], [0.0, 0.0, 0.0, 0.0, 0.5]]),
        ("Acrobot-v1", [[0.1, 0.0, 0.0, 0.0, 1.0], [0.0, 0.0, 0.0, 0.0, 2.0]]),
    ],
)
def test_set_state_refuses_what_does_not_fit_and_changes_nothing(env_id, bad_values):
    task = NativeTask(env_id, {})
    twin = NativeTask(env_id, {})
    task.reset(seed=8)
    twin.reset(seed=8)
    state = task.get_state()
    # Bad values beside a good generator state of another seed: nothing may be taken from it.
    other = NumpyGenerator(99).state
    bad_with_values = [{**state, "values": v, "generator": other} for v in bad_values]
    for bad in [*_bad_states(state), *bad_with_values]:
        with pytest.raises((ValueError, TypeError)):
            task.set_state(bad)
        assert task.get_state() == state, bad
    for action in [0, 1, 0, 1, 1]:
        assert (
            np.asarray(task.step(action)[0]).tobytes() == np.asarray(twin.step(action)[0]).tobytes()
        )


def test_a_never_reset_state_round_trips_and_cannot_step():
    task = NativeTask("Taxi-v4", {})
    state = task.get_state()
    assert state["elapsed_steps"] == -1 and state["generator"] is None and state["values"] == []
    task.reset(seed=1)
    task.set_state(state)
    with pytest.raises(RuntimeError, match="reset"):
        task.step(0)


def test_time_limit_truncates_a_terminating_step_too():
    # Gymnasium's TimeLimit marks the last step truncated whether or not it terminated.
    reference = make_reference("CliffWalking-v1", max_episode_steps=1)
    reference.reset(seed=0)
    reference.unwrapped.s = 35  # above the goal
    task = NativeTask("CliffWalking-v1", {"max_episode_steps": 1})
    task.reset(seed=0)
    state = task.get_state()
    task.set_state({**state, "values": [35.0]})
    expected = reference.step(2)
    assert expected[1:4] == (-1, True, True)
    assert task.step(2) == (47, -1.0, True, True)
    # Stepping on past the limit stays truncated, as the wrapper's count keeps growing.
    assert task.step(0)[3] is True and reference.step(0)[3] is True


def test_step_checks_order_and_action():
    task = NativeTask("CartPole-v1", {})
    with pytest.raises(RuntimeError, match="reset"):
        task.step(0)
    task.reset(seed=0)
    for action in (-1, 2):
        with pytest.raises(ValueError, match="action"):
            task.step(action)
    assert task.get_state()["elapsed_steps"] == 0


@pytest.mark.parametrize(
    ("env_id", "options", "named"),
    [
        ("CartPole-v1", {"gravity": 3.0}, "gravity"),
        ("CartPole-v1", {"render_mode": "human"}, "render_mode"),
        ("CartPole-v1", {"max_episode_steps": 0}, "max_episode_steps"),
        ("CartPole-v1", {"max_episode_steps": 2.0}, "max_episode_steps"),
        ("CartPole-v1", {"sutton_barto_reward": 1}, "sutton_barto_reward"),
        ("MountainCar-v0", {"goal_velocity": float("nan")}, "goal_velocity"),
        ("MountainCar-v0", {"goal_velocity": "fast"}, "goal_velocity"),
        ("FrozenLake-v1", {"map_name": "5x5"}, "map_name"),
        ("FrozenLake-v1", {"desc": ["SG"]}, "desc"),
        ("FrozenLake-v1", {"success_rate": 1.5}, "success_rate"),
        ("FrozenLake-v1", {"map_name": None}, "map_name"),
        ("Taxi-v4", {"rainy_probability": -0.1}, "rainy_probability"),
        ("Taxi-v4", {"is_slippery": True}, "is_slippery"),
        ("Pendulum-v1", {}, "Pendulum-v1"),
    ],
)
def test_options_a_task_cannot_honour_are_refused_by_name(env_id, options, named):
    with pytest.raises(ValueError, match=named):
        NativeTask(env_id, options)


def test_options_gymnasium_defaults_are_accepted():
    assert NativeTask("Acrobot-v1", {"render_mode": None}).max_episode_steps == 500
    assert NativeTask("Acrobot-v1", {"max_episode_steps": None}).max_episode_steps == 500
    assert NativeTask("Acrobot-v1", {"max_episode_steps": -1}).max_episode_steps is None
    assert NativeTask("FrozenLake-v1", {"map_name": "8x8"}).observation_n == 64
    assert NativeTask("MountainCar-v0", {"goal_velocity": 0}).num_actions == 3


def test_an_unseeded_first_reset_draws_from_the_operating_system():
    starts = {NativeTask("CartPole-v1", {}).reset().tobytes() for _ in range(4)}
    assert len(starts) == 4


def test_numpy_float64_sine_and_cosine_are_the_c_library_s():
    # CartPole and Acrobot take np.sin/np.cos of float64 scalars, the native tasks the C
    # library's: exactness rests on their agreement on the processor the tests run on.
    import math

    arguments = np.random.default_rng(5).uniform(-40.0, 40.0, 20000)
    arguments[:10000] /= 80.0  # most of them in CartPole's range of angles
    for numpy_function, library_function in ((np.sin, math.sin), (np.cos, math.cos)):
        expected = [library_function(x) for x in arguments]
        assert numpy_function(arguments).tolist() == expected
        assert [float(numpy_function(np.float64(x))) for x in arguments[:2000]] == expected[:2000]


def test_numpy_scalar_squares_are_the_c_library_s_pow_not_products():
    import math

    arguments = np.random.default_rng(1).standard_normal(100000) * 10
    assert all(np.float64(x) ** 2 == math.pow(x, 2) for x in arguments)
    assert sum(np.float64(x) ** 2 != x * x for x in arguments) > 0


def test_acrobot_starting_observation_differs_at_the_measured_rate():
    # NumPy's float32 sine and cosine of the starting angles miss the correctly rounded values
    # (which the native task gives) for about 0.1 % of angles, by one unit in the last place.
    angles = np.random.default_rng(0).uniform(-0.1, 0.1, 2_000_000).astype(np.float32)
    wide = angles.astype(np.float64)
    differs = np.zeros(angles.size, dtype=bool)
    for function in (np.sin, np.cos):
        ours = function(wide).astype(np.float32)
        theirs = function(angles)
        assert np.abs(ours.view(np.int32) - theirs.view(np.int32)).max() <= 1
        differs |= ours != theirs
    assert 0.0008 < differs.mean() < 0.0012
    # The native task's first observation is the correctly rounded one.
    task = NativeTask("Acrobot-v1", {})
    observation = task.reset(seed=4)
    start = np.asarray(task.get_state()["values"][:2])
    rounded = np.array([np.cos(start), np.sin(start)]).T.ravel().astype(np.float32)
    assert observation[:4].tobytes() == rounded.tobytes()


# Wide ranges of states, where every term of the dynamics weighs in the last bit (in the states
# an episode visits, CartPole's force absorbs most of a reordered product, for instance).
STATE_RANGES = {
    "CartPole-v1": ([-2.4, -20.0, -0.21, -40.0], [2.4, 20.0, 0.21, 40.0], [-1.0]),
    "MountainCar-v0": ([-1.2, -0.07], [0.6, 0.07], []),
    "Acrobot-v1": (
        [-np.pi, -np.pi, -4 * np.pi, -9 * np.pi],
        [np.pi, np.pi, 4 * np.pi, 9 * np.pi],
        [0.0],
    ),
}


@pytest.mark.parametrize("env_id", sorted(STATE_RANGES))
def test_dynamics_from_random_states_are_gymnasium_s(env_id):
    low, high, extra = STATE_RANGES[env_id]
    reference = make_reference(env_id, max_episode_steps=-1)
    reference.reset(seed=0)
    task = NativeTask(env_id, {"max_episode_steps": -1})
    task.reset(seed=0)
    template = task.get_state()
    draws = np.random.default_rng(17)
    for _ in range(1500):
        state = draws.uniform(low, high)
        action = int(draws.integers(task.num_actions))
        reference.unwrapped.state = state.copy()
        if env_id.startswith("CartPole"):
            reference.unwrapped.steps_beyond_terminated = None
        task.set_state({**template, "values": [*state.tolist(), *extra]})
        expected = reference.step(action)
        got = task.step(action)
        assert [float(v) for v in reference.unwrapped.state] == task.get_state()["values"][
            : len(low)
        ]
        assert got[0].tobytes() == expected[0].tobytes()
        assert got[1:4] == (float(expected[1]), expected[2], expected[3])


@pytest.mark.parametrize("sutton_barto_reward", [False, True])
def test_cartpole_stepped_on_after_termination_pays_as_gymnasium_does(sutton_barto_reward):
    options = {"sutton_barto_reward": sutton_barto_reward}
    reference = make_reference("CartPole-v1", **options)
    task = NativeTask("CartPole-v1", options)
    reference.reset(seed=2)
    task.reset(seed=2)
    ended = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # Gymnasium warns of every step after termination
        for _ in range(300):
            expected = reference.step(1)
            got = task.step(1)
            assert got[0].tobytes() == expected[0].tobytes()
            assert got[1:4] == (float(expected[1]), expected[2], expected[3])
            if expected[2]:
                ended.append(got[1])
            if len(ended) == 4:
                break
    # The terminating step and three past it, the last three paid as Gymnasium pays them.
    assert len(ended) == 4
    assert ended[1:] == ([-1.0] * 3 if sutton_barto_reward else [0.0] * 3)


# A probability option at either bound: gym.make takes it and the native task steps as
# Gymnasium does; the next double past the bound is no probability, and the native task refuses
# it by name (Gymnasium does not check).
@pytest.mark.parametrize(
    ("env_id", "name", "extra"),
    [("FrozenLake-v1", "success_rate", {}),
     ("Taxi-v4", "rainy_probability", {"is_rainy": True}),
     ("Taxi-v4", "fickle_probability", {"fickle_passenger": True})],
)  # fmt: skip
@pytest.mark.parametrize("bound", [0.0, 1.0])
def test_probability_options_step_as_gymnasium_at_their_bounds_and_not_past(
    env_id, name, extra, bound
):
    counts = compare(env_id, {**extra, name: bound}, 800, seed=int(bound) + 5)
    assert counts.transitions == 800
    assert counts.mismatches == 0, counts.first_mismatch
    past = float(np.nextafter(bound, bound + (bound - 0.5)))
    make_reference(env_id, **extra, **{name: past}).close()  # Gymnasium takes it
    with pytest.raises(ValueError, match=rf"option {name} must lie in \[0, 1\]"):
        NativeTask(env_id, {**extra, name: past})


@pytest.mark.parametrize("seed", [2**64 - 1, 2**64, 2**64 + 1, 2**200 + 3])
def test_a_task_reset_with_a_seed_past_64_bits_starts_as_gymnasium_s(seed):
    for env_id in ("CartPole-v1", "Taxi-v4"):
        reference = make_reference(env_id)
        expected, _ = reference.reset(seed=seed)
        task = NativeTask(env_id, {})
        assert np.asarray(task.reset(seed=seed)).tobytes() == np.asarray(expected).tobytes()
        assert task.get_state()["generator"] == reference.unwrapped.np_random.bit_generator.state


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: NativeTask("CartPole-v1", {}).reset(seed=-1), ValueError,
         "seed must be an int of 0 or more.* not -1"),
        (lambda: NativeTask("CartPole-v1", {}).reset(seed=-(2**70)), ValueError, "seed must be"),
        (lambda: NativeTask("CartPole-v1", {}).reset(seed=1.0), TypeError, "seed must be an int"),
        (lambda: NativeTask("CartPole-v1", {}).reset(seed=True), TypeError, "seed must be an int"),
        (lambda: NumpyGenerator(-5), ValueError, "seed must be an int of 0 or more.* not -5"),
        (lambda: NumpyGenerator("7"), TypeError, "seed must be an int.* not str"),
    ],
)  # fmt: skip
def test_a_seed_that_is_no_seed_is_refused_by_name(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_numpy_integer_seeds_are_taken_as_their_value():
    assert NumpyGenerator(np.uint64(2**64 - 1)).state == NumpyGenerator(2**64 - 1).state


@pytest.mark.parametrize("env_id", native_task_ids())
def test_every_native_task_has_the_kit_s_features(env_id):
    from velto_kit import features_for
    from velto_kit.experiments.training_run import describe_features

    features = describe_features(features_for(make_reference(env_id)))
    if env_id == "CartPole-v0":  # v1 with a shorter time limit: the same box and tiles
        assert features == describe_features(features_for(make_reference("CartPole-v1")))


@pytest.mark.parametrize("steps", [1, 0, -1, -2])
def test_the_time_limit_is_taken_and_refused_where_gym_make_takes_and_refuses_it(steps):
    try:
        reference = make_reference("CartPole-v1", max_episode_steps=steps)
    except ValueError:
        with pytest.raises(ValueError, match="max_episode_steps must be at least 1, or -1"):
            NativeTask("CartPole-v1", {"max_episode_steps": steps})
        return
    task = NativeTask("CartPole-v1", {"max_episode_steps": steps})
    assert task.max_episode_steps == reference.spec.max_episode_steps
    reference.reset(seed=0)
    task.reset(seed=0)
    assert task.step(0)[3] == reference.step(0)[3]  # one step truncates with a limit of 1
