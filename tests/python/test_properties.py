"""Property tests: random agents driven by random call sequences, accepted and rejected alike.

Whatever a caller passes, the process survives, every accepted call returns an ascending list of
distinct action indices within [0, num_actions), every rejected call raises its documented
exception and leaves the agent as a twin that never saw the call shows it, and agents built alike
stay equal. VELTO_PROPERTY_EXAMPLES sets the number of examples per test (scripts/harden.sh
raises it).
"""

import array
import math
import os
import random
from dataclasses import dataclass, field
from typing import Any, Callable

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from argument_kinds import FailingIndex, FloatSubclass, Index, Real
from velto_actor_critic import VeltoActorCritic

EXAMPLES = int(os.environ.get("VELTO_PROPERTY_EXAMPLES", "100"))
property_settings = settings(
    max_examples=EXAMPLES,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1
# Seeds whose unit seeds wrap around 2^32 (unit i gets seed + 230290 + 24030 i) or sit at the ends
# of the 32-bit range.
WRAP_SEEDS = [-230291, -230290, -230289, -254320, -254321, INT32_MIN, INT32_MAX, -1, 0]
FLOAT_EDGES = [
    math.nan,
    -math.nan,
    math.inf,
    -math.inf,
    0.0,
    -0.0,
    1e-45,  # the smallest binary32 subnormal
    1e-40,
    5e-324,  # a double subnormal that rounds to zero in binary32
    3.4028234663852886e38,  # the largest binary32
    3.5e38,  # beyond the binary32 range: becomes an infinity
    1e300,
    -1e300,
]


class GeneratorFailure(Exception):
    pass


REJECTED = object()

any_float = st.one_of(
    st.floats(0.0, 1.0),
    st.sampled_from(FLOAT_EDGES),
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(width=32, allow_subnormal=True),
)


def float_argument(values: st.SearchStrategy[float] = any_float) -> st.SearchStrategy[tuple]:
    """(object passed, float it stands for) for every accepted float kind."""
    return st.one_of(
        values.map(lambda x: (x, x)),
        values.map(lambda x: (Real(x), x)),
        st.integers(-(10**20), 10**20).map(lambda n: (n, float(n))),
        st.integers(-5, 5).map(lambda n: (Index(n), float(n))),
        st.booleans().map(lambda b: (b, float(b))),
    )


def learning_float(low: float, high: float) -> st.SearchStrategy[tuple]:
    values = st.floats(low, high)
    return st.one_of(values.map(lambda x: (x, x)), values.map(lambda x: (Real(x), x)))


def int_argument(values: st.SearchStrategy[int]) -> st.SearchStrategy[tuple]:
    """(object passed, int it stands for) for every accepted 32-bit integer kind."""
    return st.one_of(
        values.map(lambda n: (n, n)),
        values.map(lambda n: (Index(n), n)),
    )


rejected_float = st.sampled_from(["0.5", b"1", None, 10**400]).map(lambda o: (o, REJECTED))
rejected_int = st.sampled_from(
    [1.0, FloatSubclass(2.0), "1", b"1", None, 1j, INT32_MAX + 1, INT32_MIN - 1]
).map(lambda o: (o, REJECTED))


def sometimes_rejected(accepted: st.SearchStrategy[tuple], rejected: st.SearchStrategy[tuple]):
    # One argument in twenty is of a rejected kind, so most constructions still succeed.
    return st.integers(0, 19).flatmap(lambda k: rejected if k == 0 else accepted)


num_features_values = st.one_of(st.integers(-3, 24), st.just(INT32_MIN))
num_actions_values = st.one_of(st.integers(-3, 6), st.sampled_from([INT32_MIN, -1]))
seed_values = st.one_of(st.integers(INT32_MIN, INT32_MAX), st.sampled_from(WRAP_SEEDS))


# Parameters under which the learners keep learning and their decisions stay uncertain, so that a
# difference in an agent's state soon shows in its decisions: lambda_, alpha, epsilon,
# meta_step_size, eta, eta_actor, decay, action_prob_at_init.
LEARNING_RANGES = [(0.5, 1.0), (0.01, 0.5), (1e-4, 0.05), (0.0, 0.1), (0.5, 2.0), (0.5, 2.0),
                   (0.5, 1.0), (0.2, 0.8)]


def constructor_arguments(num_features: st.SearchStrategy[int], reject: bool, learning=False):
    actions = st.integers(1, 6) if learning else num_actions_values
    ints = [int_argument(num_features), int_argument(actions)]
    if learning:
        floats = [learning_float(low, high) for low, high in LEARNING_RANGES]
    else:
        floats = [float_argument() for _ in range(8)]
    seed = [int_argument(seed_values)]
    parts = ints + floats + seed
    if reject:
        kinds = [rejected_int] * 2 + [rejected_float] * 8 + [rejected_int]
        parts = [sometimes_rejected(p, r) for p, r in zip(parts, kinds)]
    return st.tuples(*parts)


def check_action_list(actions: Any, num_actions: int) -> None:
    assert type(actions) is list
    assert all(type(a) is int for a in actions)
    assert actions == sorted(set(actions))
    assert all(0 <= a < max(num_actions, 0) for a in actions)


def probe_steps(num_features: int) -> list[tuple[list[int], float, float]]:
    """Steps that touch every feature with rewards of both signs, long enough for a difference in
    two agents' states to show in their decisions."""
    rng = random.Random(num_features)
    features = range(num_features)
    return [
        (rng.sample(features, min(num_features, 4)), rng.choice([-1.0, 1.0]), 0.9)
        for _ in range(40)
    ]


def assert_twins_agree(agent, twin, num_features: int, num_actions: int) -> None:
    for features, reward, gamma in probe_steps(num_features):
        actions = agent.step(features, reward, gamma)
        check_action_list(actions, num_actions)
        assert actions == twin.step(features, reward, gamma)


@pytest.mark.parametrize("positional", [True, False], ids=["positional", "keywords"])
@property_settings
@given(pairs=constructor_arguments(num_features_values, reject=True))
def test_construction_accepts_rejects_and_builds_twins_alike(positional, pairs):
    names = (
        "num_features num_actions lambda_ alpha epsilon meta_step_size eta eta_actor decay "
        "action_prob_at_init seed"
    ).split()
    passed = [p for p, _ in pairs]
    meant = [m for _, m in pairs]

    def construct():
        if positional:
            return VeltoActorCritic(*passed)
        return VeltoActorCritic(**dict(zip(names, passed)))

    if any(m is REJECTED for m in meant):
        with pytest.raises(TypeError, match="incompatible constructor arguments"):
            construct()
        return
    if meant[0] < 0:
        with pytest.raises(ValueError, match="^vector too long$"):
            construct()
        return
    agent = construct()
    twin = VeltoActorCritic(*meant)
    assert_twins_agree(agent, twin, meant[0], meant[1])


@dataclass
class Call:
    """One call of step: how to make its arguments, what it must raise, and for an accepted call
    the plain arguments a twin agent receives."""

    make: Callable[[], tuple[tuple, dict]]
    expected: type[BaseException] | None
    plain: tuple | None = None
    bad_index: int | None = None
    label: str = field(default="")

    def __repr__(self) -> str:
        return f"Call({self.label})"


def feature_containers(features: list[int]):
    """(label, maker of the argument, the feature list it stands for) for every accepted kind."""
    as_set = set(features)
    unique = list(dict.fromkeys(features))
    return [
        ("list", lambda: list(features), features),
        ("tuple", lambda: tuple(features), features),
        ("generator", lambda: (f for f in features), features),
        ("set", lambda: as_set, list(as_set)),
        ("array", lambda: array.array("i", features), features),
        ("dict_keys", lambda: dict.fromkeys(features).keys(), unique),
        ("map", lambda: map(int, features), features),
        ("index elements", lambda: [Index(f) for f in features], features),
    ]


def valid_features(num_features: int, max_size: int) -> st.SearchStrategy[list[int]]:
    if num_features == 0:
        return st.just([])
    return st.lists(st.integers(0, num_features - 1), max_size=max_size)


@st.composite
def accepted_call(draw, num_features: int, learning: bool) -> Call:
    features = draw(valid_features(num_features, max_size=10))
    if features and draw(st.booleans()):
        features = features + features[: draw(st.integers(1, len(features)))]
    label, make_features, plain_features = draw(st.sampled_from(feature_containers(features)))
    if learning:
        reward_passed, reward = draw(learning_float(-1.0, 1.0))
        gamma_passed, gamma = draw(learning_float(0.0, 1.0))
    else:
        reward_passed, reward = draw(float_argument())
        gamma_passed, gamma = draw(float_argument())
    by_keyword = draw(st.booleans())

    def make():
        if by_keyword:
            keywords = {"gamma": gamma_passed, "reward": reward_passed}
            return (), {"feature_indices": make_features(), **keywords}
        return (make_features(), reward_passed, gamma_passed), {}

    return Call(make, None, (plain_features, reward, gamma), label=f"{label} {features}")


@st.composite
def out_of_range_call(draw, num_features: int) -> Call:
    features = draw(valid_features(num_features, max_size=6))
    bad = draw(
        st.one_of(
            st.sampled_from([num_features, -1, INT32_MIN, INT32_MAX]),
            st.integers(num_features, INT32_MAX),
            st.integers(INT32_MIN, -1),
        )
    )
    features.insert(draw(st.integers(0, len(features))), bad)
    label, make_features, _ = draw(st.sampled_from(feature_containers(features)))
    return Call(
        lambda: ((make_features(), 1.0, 0.9), {}),
        IndexError,
        bad_index=bad,
        label=f"{label} {features}",
    )


@st.composite
def mistyped_call(draw, num_features: int) -> Call:
    features = list(range(min(num_features, 3)))
    bad_element = draw(
        st.sampled_from(
            [1.0, FloatSubclass(0.0), INT32_MAX + 1, INT32_MIN - 1, "1", None, FailingIndex()]
        )
    )
    position = draw(st.integers(0, len(features)))
    with_bad_element = features[:position] + [bad_element] + features[position:]
    makers = {
        f"element {bad_element!r}": lambda: ((list(with_bad_element), 1.0, 0.9), {}),
        "str": lambda: (("01", 1.0, 0.9), {}),
        "bytes": lambda: ((b"\x00", 1.0, 0.9), {}),
        "dict": lambda: (({0: 1}, 1.0, 0.9), {}),
        "list iterator": lambda: ((iter(features), 1.0, 0.9), {}),
        "filter": lambda: ((filter(None, features), 1.0, 0.9), {}),
        "int": lambda: ((0, 1.0, 0.9), {}),
        "reward str": lambda: ((features, "1", 0.9), {}),
        "gamma None": lambda: ((features, 1.0, None), {}),
        "reward beyond double": lambda: ((features, 10**400, 0.9), {}),
        "gamma missing": lambda: ((features, 1.0), {}),
        "extra argument": lambda: ((features, 1.0, 0.9, 0.9), {}),
        "unknown keyword": lambda: ((features, 1.0), {"discount": 0.9}),
        "reward twice": lambda: ((features, 1.0, 0.9), {"reward": 1.0}),
    }
    label = draw(st.sampled_from(sorted(makers)))
    return Call(makers[label], TypeError, label=label)


def failing_generator_call(num_features: int) -> Call:
    def features():
        yield from range(min(num_features, 2))
        raise GeneratorFailure

    return Call(lambda: ((features(), 1.0, 0.9), {}), GeneratorFailure, label="raising generator")


def call_sequence(num_features: int, learning: bool):
    one_call = st.one_of(
        accepted_call(num_features, learning),
        accepted_call(num_features, learning),
        out_of_range_call(num_features),
        mistyped_call(num_features),
        st.just(failing_generator_call(num_features)),
    )
    return st.lists(one_call, max_size=25)


@property_settings
@given(data=st.data(), learning=st.booleans())
def test_random_calls_keep_the_agent_equal_to_a_twin_given_only_accepted_calls(data, learning):
    # Learning agents with ordinary rewards show any difference in their state in their
    # decisions; the others take every edge value.
    sizes = st.integers(1, 24) if learning else st.integers(0, 24)
    pairs = data.draw(constructor_arguments(sizes, reject=False, learning=learning))
    meant = [m for _, m in pairs]
    num_features, num_actions = meant[0], meant[1]
    agent = VeltoActorCritic(*[p for p, _ in pairs])
    twin = VeltoActorCritic(*meant)
    for call in data.draw(call_sequence(num_features, learning), label="calls"):
        args, kwargs = call.make()
        if call.expected is None:
            actions = agent.step(*args, **kwargs)
            check_action_list(actions, num_actions)
            assert actions == twin.step(*call.plain)
            continue
        with pytest.raises(call.expected) as raised:
            agent.step(*args, **kwargs)
        if call.bad_index is not None:
            message = str(raised.value)
            assert str(call.bad_index) in message and f"[0, {num_features})" in message
    assert_twins_agree(agent, twin, num_features, num_actions)


class Clearing:
    """An element whose conversion empties the list being read."""

    def __init__(self, target: list) -> None:
        self.target = target

    def __index__(self) -> int:
        self.target.clear()
        return 1


class Appending:
    """An element whose conversion appends to the list being read, a bounded number of times."""

    def __init__(self, target: list, budget: list[int]) -> None:
        self.target, self.budget = target, budget

    def __index__(self) -> int:
        self.budget[0] -= 1
        if self.budget[0] > 0:
            self.target.append(Appending(self.target, self.budget))
        return 2


class StatedLength:
    """A sequence of `items` whose length says `length`, or raises when `length` is None."""

    def __init__(self, items: list, length: int | None) -> None:
        self.items, self.length = items, length

    def __len__(self) -> int:
        if self.length is None:
            raise GeneratorFailure("length")
        return self.length

    def __getitem__(self, position: int):
        if isinstance(self.items[position], BaseException):
            raise self.items[position]
        return self.items[position]


def cleared_while_read() -> list:
    features: list = [3, 4]
    features.insert(1, Clearing(features))
    return features


def grown_while_read() -> list:
    features: list = [3]
    features.append(Appending(features, [1000]))
    return features


@pytest.mark.parametrize(
    "make_features, error",
    [
        pytest.param(cleared_while_read, None, id="cleared while read"),
        pytest.param(grown_while_read, None, id="grown while read"),
        pytest.param(lambda: StatedLength([1, 2, 3], 10**6), None, id="length overstated"),
        pytest.param(lambda: StatedLength([1, 2, 3, 4, 5], 1), None, id="length understated"),
        pytest.param(
            lambda: StatedLength([1, 2], 2**62), (ValueError, MemoryError), id="huge length"
        ),
        pytest.param(lambda: StatedLength([1, 2], None), GeneratorFailure, id="length raises"),
        pytest.param(
            lambda: StatedLength([1, GeneratorFailure("item"), 3], 3),
            GeneratorFailure,
            id="item raises",
        ),
    ],
)
def test_sequences_that_change_or_lie_while_read_leave_a_working_agent(make_features, error):
    agent = VeltoActorCritic(8, 3, 0.9, 0.1, 0.01, 0.01, 1.0, 1.0, 0.9, 0.5, 5)
    twin = VeltoActorCritic(8, 3, 0.9, 0.1, 0.01, 0.01, 1.0, 1.0, 0.9, 0.5, 5)
    if error is None:
        check_action_list(agent.step(make_features(), 1.0, 0.9), 3)
        for features, reward, gamma in probe_steps(8):
            check_action_list(agent.step(features, reward, gamma), 3)
        return
    with pytest.raises(error):
        agent.step(make_features(), 1.0, 0.9)
    assert_twins_agree(agent, twin, 8, 3)
