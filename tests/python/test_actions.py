"""Mappings from taken units onto one Discrete(n) action."""

import itertools
import math
from collections import Counter

import numpy as np
import pytest
from velto_kit import MAPPINGS, action_mapping, default_mapping

# The example's rules before the kit had mappings: one unit for two actions (taken pushes right),
# two for three (one way, no push, the other way).
EXAMPLE_RULES = {
    2: {(): 0, (0,): 1},
    3: {(): 1, (0,): 0, (1,): 2, (0, 1): 1},
}


def subsets(units: int) -> list[list[int]]:
    return [[unit for unit in range(units) if code >> unit & 1] for code in range(1 << units)]


def picks(mapping, taken, draws=4000, seed=0):
    rng = np.random.default_rng(seed)
    return Counter(mapping.action(taken, rng) for _ in range(draws))


@pytest.mark.parametrize("n", range(2, 10))
def test_binary_spells_the_action_and_spreads_codes_beyond_n(n):
    mapping = action_mapping("binary", n)
    assert mapping.num_units == math.ceil(math.log2(n))
    rng = np.random.default_rng(1)
    for taken in subsets(mapping.num_units):
        code = sum(1 << unit for unit in taken)
        if code < n:
            assert mapping.action(taken, rng) == code
        else:
            counts = picks(mapping, taken)
            assert set(counts) == set(range(n))
            assert max(counts.values()) < 1.3 * min(counts.values())


@pytest.mark.parametrize("n", [2, 3, 5, 8])
def test_one_per_action_picks_among_taken_units_or_all_when_none(n):
    mapping = action_mapping("one-per-action", n)
    assert mapping.num_units == n
    rng = np.random.default_rng(2)
    for unit in range(n):
        assert mapping.action([unit], rng) == unit
    several = list(range(0, n, 2)) if n > 2 else [0, 1]
    assert set(picks(mapping, several)) == set(several)
    counts = picks(mapping, [])
    assert set(counts) == set(range(n))
    assert max(counts.values()) < 1.3 * min(counts.values())


@pytest.mark.parametrize(("name", "n"), [("binary", 2), ("binary", 5), ("one-per-action", 4)])
def test_units_at_one_half_give_the_uniformly_random_policy(name, n):
    mapping = action_mapping(name, n)
    rng = np.random.default_rng(4)
    draws = 20000
    counts = Counter(
        mapping.action(np.flatnonzero(rng.random(mapping.num_units) < 0.5).tolist(), rng)
        for _ in range(draws)
    )
    assert set(counts) == set(range(n))
    for count in counts.values():
        assert abs(count / draws - 1 / n) < 0.015


def test_default_is_the_binary_code_and_keeps_the_examples_two_action_rule():
    rng = np.random.default_rng(0)
    mapping = action_mapping(default_mapping(2), 2)
    assert mapping.num_units == 1
    assert {tuple(taken): mapping.action(taken, rng) for taken in subsets(1)} == EXAMPLE_RULES[2]
    # The example's old three-action rule is still there by name.
    opposing = action_mapping("opposing", 3)
    assert {tuple(taken): opposing.action(taken, rng) for taken in subsets(2)} == EXAMPLE_RULES[3]
    for n in (3, 4, 6):
        assert action_mapping("default", n).name == "binary"


def test_a_numpy_action_count_as_gymnasium_gives_it_is_accepted():
    # Discrete(n).n is a numpy.int64, which has no int.bit_length().
    for name in ("default", *MAPPINGS):
        assert action_mapping(name, np.int64(3)).num_actions == 3
    with pytest.raises(TypeError):
        action_mapping("binary", 3.0)  # type: ignore[arg-type]


@pytest.mark.parametrize(
    ("name", "n"), [("binary", 1), ("one-per-action", 0), ("opposing", 4), ("nearest", 3)]
)
def test_unknown_names_and_unsupported_counts_are_refused(name, n):
    with pytest.raises(ValueError):
        action_mapping(name, n)


@pytest.mark.parametrize("name", MAPPINGS)
def test_a_unit_outside_the_mapping_is_refused(name):
    mapping = action_mapping(name, 3)
    rng = np.random.default_rng(0)
    for taken in ([mapping.num_units], [-1], [0, mapping.num_units + 3]):
        with pytest.raises(ValueError, match="outside"):
            mapping.action(taken, rng)
    assert all(
        0 <= mapping.action(list(taken), rng) < 3
        for taken in itertools.chain.from_iterable(
            itertools.combinations(range(mapping.num_units), k)
            for k in range(mapping.num_units + 1)
        )
    )
