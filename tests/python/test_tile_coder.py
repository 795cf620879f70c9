"""velto_kit.TileCoder: the example's coder in C++, plus hashing, over every input kind."""

import itertools
import json
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest
import tile_coder_model as model
from test_resources import own_memory_cgroup
from velto_kit import TileCoder

CARTPOLE_BOX = ([-2.4, -3.0, -0.2095, -3.5], [2.4, 3.0, 0.2095, 3.5])
CODERS = [
    # lows, highs, tiles per dimension, tilings
    ([0.0], [1.0], 4, 2),
    ([-1.0, 5.0], [1.0, 6.0], 3, 5),
    ([*CARTPOLE_BOX[0]], [*CARTPOLE_BOX[1]], 6, 8),
    ([-1e-3, 1e6, -7.0], [1e-3, 2e6, 7.5], 10, 3),
]


def observations_for(lows, highs, count=300, seed=7):
    """Points inside the box and up to twice its width outside, corners, faces nudged by one ulp,
    and infinities."""
    low, high = np.array(lows), np.array(highs)
    rng = np.random.default_rng(seed)
    spread = [low + (high - low) * rng.uniform(-1.0, 2.0, low.size) for _ in range(count)]
    corners = [np.array(corner) for corner in itertools.product(*zip(lows, highs, strict=True))]
    nudged = [np.nextafter(low, -np.inf), np.nextafter(high, np.inf), np.nextafter(high, low)]
    infinite = [np.full(low.size, np.inf), np.full(low.size, -np.inf)]
    return spread + corners + nudged + infinite


@pytest.mark.parametrize(("lows", "highs", "tiles", "tilings"), CODERS)
def test_same_tiles_as_the_examples_coder_for_every_input_kind(lows, highs, tiles, tilings):
    native = TileCoder(lows, highs, tiles, tilings)
    reference = model.TileCoder(lows, highs, tiles, tilings)
    assert native.num_features == reference.num_features
    assert native.tiles_per_tiling == reference.tiles_per_tiling
    for observation in observations_for(lows, highs):
        expected = reference.active_features(observation)
        assert native.active_features(observation) == expected
        assert native.active_features(observation.tolist()) == expected
        assert native.active_features(tuple(observation)) == expected
        # A strided view reads the same values as the contiguous array.
        strided = np.repeat(observation, 2)[::2]
        assert native.active_features(strided) == expected
        single = observation.astype(np.float32)
        assert native.active_features(single) == reference.active_features(single)


@pytest.mark.parametrize(("lows", "highs", "tiles", "tilings"), CODERS)
def test_one_tile_per_tiling_inside_its_own_block(lows, highs, tiles, tilings):
    coder = TileCoder(lows, highs, tiles, tilings)
    assert coder.num_features == tilings * (tiles + 1) ** len(lows)
    for observation in observations_for(lows, highs):
        indices = coder.active_features(observation)
        assert [index // coder.tiles_per_tiling for index in indices] == list(range(tilings))
        assert all(type(index) is int for index in indices)


def test_neighbours_share_tiles_and_distant_points_share_none():
    tiles, tilings = 6, 8
    coder = TileCoder([0.0, 0.0], [1.0, 1.0], tiles, tilings)
    width = 1.0 / tiles
    rng = np.random.default_rng(3)
    for base in rng.uniform(0.1, 0.75, (50, 2)):
        same = set(coder.active_features(base))
        # A shift below one tiling's offset step crosses at most one tiling's edge per dimension.
        near = base + width / tilings * 0.9
        assert len(same & set(coder.active_features(near))) >= tilings - 2
        far = base + np.array([width * 1.01, 0.0])
        assert not same & set(coder.active_features(far))


def test_hashing_stays_in_range_and_hashes_each_tile_alike():
    lows, highs = [-1.0] * 3, [1.0] * 3
    plain = TileCoder(lows, highs, 5, 4)
    hashed = TileCoder(lows, highs, 5, 4, hash_size=997)
    assert hashed.num_features == 997 and hashed.hash_size == 997 and plain.hash_size is None
    tile_to_index: dict[int, int] = {}
    for observation in observations_for(lows, highs, count=3000):
        indices = hashed.active_features(observation)
        assert len(indices) == 4 and all(0 <= index < 997 for index in indices)
        # The hash is a function of the tile: one tile always lands on one index.
        for tile, index in zip(plain.active_features(observation), indices, strict=True):
            assert tile_to_index.setdefault(tile, index) == index
    # Distinct tiles spread over the table rather than piling onto a few indices.
    assert len(set(tile_to_index.values())) >= 0.5 * min(len(tile_to_index), 997)


def test_hashing_indexes_observations_too_large_for_a_plain_grid():
    dimensions = 40
    lows, highs = [0.0] * dimensions, [1.0] * dimensions
    with pytest.raises(ValueError, match="hash_size"):
        TileCoder(lows, highs, 10, 8)
    coder = TileCoder(lows, highs, 10, 8, hash_size=1 << 20)
    assert coder.tiles_per_tiling is None
    rng = np.random.default_rng(5)
    base = rng.random(dimensions)
    indices = coder.active_features(base)
    assert all(0 <= index < 1 << 20 for index in indices)
    # Moving one coordinate by a whole tile changes the tile in every tiling.
    moved = base.copy()
    moved[17] = (moved[17] + 0.5) % 1.0
    assert not set(indices) & set(coder.active_features(moved))
    assert coder.active_features(base.astype(np.float32).astype(np.float64)) == (
        coder.active_features(base.astype(np.float32))
    )


@pytest.mark.parametrize(
    ("arguments", "named"),
    [
        (([0.0, 0.0], [1.0], 4, 2), "lows and highs"),
        (([], [], 4, 2), "lows"),
        (([0.0], [0.0], 4, 2), r"highs\[0\]"),
        (([1.0], [0.0], 4, 2), r"highs\[0\]"),
        (([0.0], [np.inf], 4, 2), r"highs\[0\]"),
        (([np.nan], [1.0], 4, 2), r"lows\[0\]"),
        (([-1e308], [1e308], 4, 2), r"highs\[0\]"),
        (([0.0], [1.0], 0, 2), "tiles_per_dimension"),
        (([0.0], [1.0], 4, 0), "num_tilings"),
        (([0.0] * 8, [1.0] * 8, 20, 100), "hash_size"),
    ],
)
def test_constructor_names_the_argument_it_rejects(arguments, named):
    with pytest.raises(ValueError, match=named):
        TileCoder(*arguments)


def test_hash_size_below_one_is_rejected():
    for size in (0, -5):
        with pytest.raises(ValueError, match="hash_size"):
            TileCoder([0.0], [1.0], 4, 2, hash_size=size)


@pytest.mark.parametrize(
    ("observation", "error"),
    [
        ([np.nan, 0.5], ValueError),
        (np.array([0.5, np.nan], dtype=np.float32), ValueError),
        ([0.5], ValueError),
        (np.zeros(3), ValueError),
        (np.zeros((2, 1)), ValueError),
        (np.float64(0.5), ValueError),
        (0.5, TypeError),
        ("ab", TypeError),
        ([0.5, "x"], TypeError),
        ([0.5, None], TypeError),
    ],
)
def test_bad_observations_raise_before_any_index(observation, error):
    coder = TileCoder([0.0, 0.0], [1.0, 1.0], 4, 2)
    with pytest.raises(error):
        coder.active_features(observation)


def test_other_numeric_arrays_read_through_their_values():
    coder = TileCoder([0.0, 0.0], [10.0, 10.0], 4, 3)
    for dtype in (np.int64, np.int8, np.float16, np.uint16):
        values = np.array([3, 7], dtype=dtype)
        assert coder.active_features(values) == coder.active_features([3.0, 7.0])


@pytest.mark.parametrize("hash_size", [None, 101])
def test_a_pickled_coder_computes_the_same_tiles(hash_size):
    coder = TileCoder(*CARTPOLE_BOX, 6, 8, hash_size=hash_size)
    copy = pickle.loads(pickle.dumps(coder))
    assert repr(copy) == repr(coder)
    assert f"hash_size={hash_size}" in repr(coder)
    for observation in observations_for(*CARTPOLE_BOX, count=50):
        assert copy.active_features(observation) == coder.active_features(observation)
    with pytest.raises(ValueError, match="5 items"):
        TileCoder.__new__(TileCoder).__setstate__((1.0,))


# Builds a coder in a child process (a fault here used to end it): argv[1] re-enters __init__ or
# __setstate__ on the coder from inside one of its own arguments' conversions, then frees it;
# argv[2] asks for that many tilings.
CHILD = r"""
import gc, sys
from velto_kit import TileCoder

coder = TileCoder.__new__(TileCoder)
inner = {"init": lambda: coder.__init__([0.0], [1.0], 3, 2),
         "setstate": lambda: coder.__setstate__(([0.0], [1.0], 3, 2, None)),
         "nothing": lambda: None}[sys.argv[1].split()[-1]]

class Reenter:
    def __init__(self, value):
        self.value = value
    def __index__(self):
        inner()
        return int(self.value)
    def __float__(self):
        inner()
        return float(self.value)

case, tilings = sys.argv[1], int(sys.argv[2])
try:
    if case.startswith("init"):
        coder.__init__([Reenter(0.0)], [1.0], Reenter(5), tilings, hash_size=1000)
    else:
        coder.__setstate__(([0.0], [1.0], Reenter(5), tilings, 1000))
    print(coder.num_tilings, len(coder.active_features([0.5])))
except MemoryError:
    print("MemoryError")
del coder
gc.collect()
"""


@pytest.mark.parametrize(
    ("case", "tilings", "printed"),
    [
        # The call whose arguments finished converting first built the coder: 2 tilings stay.
        ("init re-entering init", 4, "2 2"),
        ("init re-entering setstate", 4, "2 2"),
        ("setstate re-entering setstate", 4, "2 2"),
        ("setstate re-entering init", 4, "2 2"),
        ("init re-entering nothing", 2**16, f"{2**16} {2**16}"),
        # 8 GiB of shifts and a call making 2^30 Python ints: MemoryError, not a killed process.
        ("init re-entering nothing", 2**30 - 1, "MemoryError"),
        ("init re-entering nothing", 2**31 - 1, "MemoryError"),
    ],
)
def test_coders_survive_reentered_construction_and_sizes_beyond_memory(case, tilings, printed):
    run = subprocess.run(
        [sys.executable, "-c", CHILD, case, str(tilings)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (run.returncode, run.stdout.strip()) == (0, printed), run.stderr


class CallerError(Exception):
    """An error of the caller's own, raised while NumPy converts its object."""


class RaisingArray:
    def __init__(self, error: BaseException):
        self.error = error

    def __array__(self, dtype=None, copy=None):
        raise self.error


@pytest.mark.parametrize(
    ("observations", "error", "text"),
    [
        pytest.param([[0.1, 0.2], [0.3]], ValueError, "inhomogeneous", id="ragged rows"),
        # 2^40 rows that broadcasting holds in 16 bytes: their copy and result cannot be had.
        pytest.param(
            np.broadcast_to(np.zeros(2), (1 << 40, 2)),
            MemoryError,
            "1099511627776 observations",
            id="batch too large",
        ),
        pytest.param(
            RaisingArray(CallerError("the caller's")),
            CallerError,
            "the caller's",
            id="caller's __array__",
        ),
        pytest.param(
            RaisingArray(MemoryError("from __array__")),
            MemoryError,
            "from __array__",
            id="caller's MemoryError",
        ),
    ],
)
def test_batch_conversion_errors_keep_their_type_and_message(observations, error, text):
    coder = TileCoder([0.0, 0.0], [1.0, 1.0], 4, 2)
    with pytest.raises(error) as raised:
        coder.active_features_batch(observations)
    assert type(raised.value) is error and text in str(raised.value)
    # The coder is still usable: nothing was left half-set by the failed conversion.
    assert coder.active_features_batch([[0.5, 0.5]]).tolist() == [coder.active_features([0.5, 0.5])]


# Runs in a memory cgroup of its own (argv[1]) limited to what it uses plus 256 MiB: a coder whose
# shifts and one call need about 870 MiB (2^24 tilings), though building it allocates only its
# 128 MiB of shifts, and one that needs about 54 MiB (2^20 tilings).
IN_LIMITED_GROUP = """
import json, os, sys
from pathlib import Path
group = Path(sys.argv[1])
(group / "cgroup.procs").write_text(str(os.getpid()))
from velto_kit import TileCoder
used = int((group / "memory.usage_in_bytes").read_text())
(group / "memory.limit_in_bytes").write_text(str(used + (256 << 20)))
outcomes = []
for tilings in (1 << 24, 1 << 20):
    try:
        coder = TileCoder([0.0], [1.0], 4, tilings, hash_size=1000)
        outcomes.append("built")
        del coder
    except MemoryError:
        outcomes.append("MemoryError")
print(json.dumps(outcomes))
"""


def test_construction_is_refused_beyond_a_cgroup_limit_the_test_sets():
    # The limit is the test's own, far below this machine's free memory: a coder that fits the
    # machine but not the limit is refused only if construction checks its need against it.
    parent = own_memory_cgroup()
    if parent is None:
        pytest.skip("no cgroup v1 memory hierarchy at /sys/fs/cgroup/memory")
    group = parent / f"velto_coder_memory_test_{os.getpid()}"
    try:
        group.mkdir()
    except OSError as error:
        pytest.skip(f"cannot create a memory cgroup: {error}")
    try:
        completed = subprocess.run(
            [sys.executable, "-c", IN_LIMITED_GROUP, str(group)],
            capture_output=True,
            text=True,
            timeout=120,
        )
    finally:
        group.rmdir()
    assert completed.returncode == 0, (completed.returncode, completed.stderr[-3000:])
    assert json.loads(completed.stdout.strip().splitlines()[-1]) == ["MemoryError", "built"]
