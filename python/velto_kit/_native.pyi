# Type stub of velto_kit's C++ extension (src/kit). Learner -1 (CRITIC) is the critic, learners
# 0 .. units - 1 are the actor units.
from collections.abc import Iterable, Sequence
from typing import SupportsIndex

import numpy as np
import numpy.typing as npt
from numpy.typing import NDArray
from velto_actor_critic import VeltoActorCritic

class TileCoder:
    """Tile coding of a box of real observations into sparse binary features, in C++.

    Each of `num_tilings` tilings is a grid of ``tiles_per_dimension + 1`` tiles per dimension
    over the box from `lows` to `highs`, tiling t shifted by t * (1, 3, 5, ...) / num_tilings of
    a tile (modulo one tile). An observation activates one tile per tiling; values outside the
    box are clipped onto it. With `hash_size` each tile is hashed (SplitMix64 over the tiling and
    the tile's coordinates) into ``[0, hash_size)``, for grids that would need more than 2**31
    features; tiles may then collide.

    Args:
        lows: The box's lower corner, one value per dimension.
        highs: Its upper corner, each above the matching low.
        tiles_per_dimension: Tiles along each dimension of one tiling, at least 1.
        num_tilings: Number of shifted tilings, at least 1.
        hash_size: Number of features to hash the tiles into, or None for the full grid.

    Raises:
        ValueError: An empty or inverted box, a non-finite bound, counts below 1, a grid of more
            than 2**31 features without `hash_size`, or a `hash_size` below 1.

    Examples:
        >>> coder = TileCoder([0.0, 0.0], [1.0, 1.0], 4, 8)
        >>> coder.num_features, len(coder.active_features([0.5, 0.25]))
        (200, 8)
    """

    def __init__(
        self,
        lows: Sequence[float] | npt.NDArray[np.floating],
        highs: Sequence[float] | npt.NDArray[np.floating],
        tiles_per_dimension: int,
        num_tilings: int,
        *,
        hash_size: int | None = None,
    ) -> None: ...
    @property
    def num_features(self) -> int:
        """Number of features: indices run from 0 to ``num_features - 1``."""
    @property
    def num_tilings(self) -> int: ...
    @property
    def tiles_per_dimension(self) -> int: ...
    @property
    def num_dimensions(self) -> int: ...
    @property
    def hash_size(self) -> int | None: ...
    @property
    def tiles_per_tiling(self) -> int | None: ...
    @property
    def lows(self) -> list[float]: ...
    @property
    def highs(self) -> list[float]: ...
    def active_features(self, observation: Sequence[float] | npt.NDArray[np.floating]) -> list[int]:
        """The active features of one observation, one index per tiling, ready for ``step``.

        Args:
            observation: A list or a 1-D NumPy array (float64 and float32 are read directly)
                with one value per dimension.

        Returns:
            A new list of `num_tilings` indices; with hashing two tilings may give one index.

        Raises:
            ValueError: A NaN value (it lies in no tile) or the wrong number of values.
            TypeError: An observation that is not a sequence of numbers.
        """
    def active_features_batch(
        self, observations: Sequence[Sequence[float]] | npt.ArrayLike
    ) -> NDArray[np.int32]: ...

class Population:
    def __init__(self, agents: Sequence[VeltoActorCritic], threads: int) -> None: ...
    @property
    def agents(self) -> tuple[VeltoActorCritic, ...]: ...
    @property
    def threads(self) -> int: ...
    @property
    def num_actions(self) -> int: ...
    def __len__(self) -> int: ...
    def step(
        self,
        features: NDArray[np.int32] | NDArray[np.int64],
        offsets: NDArray[np.int64] | None,
        rewards: float | NDArray[np.float32] | NDArray[np.float64],
        gammas: float | NDArray[np.float32] | NDArray[np.float64],
        active: NDArray[np.bool_] | None,
    ) -> NDArray[np.bool_]: ...

CRITIC: int
CRITIC_ARRAYS: tuple[str, ...]
CRITIC_SCALARS: tuple[str, ...]
UNIT_ARRAYS: tuple[str, ...]
UNIT_SCALARS: tuple[str, ...]

def num_features(agent: VeltoActorCritic) -> int: ...
def num_units(agent: VeltoActorCritic) -> int: ...
def arrays(agent: VeltoActorCritic, learner: int) -> list[NDArray[np.float32]]: ...
def begin_array(agent: VeltoActorCritic, learner: int, index: int, count: int) -> None: ...
def append_to_array(
    agent: VeltoActorCritic, learner: int, index: int, chunk: bytes | memoryview
) -> None: ...
def append_from_file(
    agent: VeltoActorCritic,
    learner: int,
    index: int,
    fd: int,
    offset: int,
    bytes: int,
    crc: int,
) -> tuple[int, int]: ...
def check_array_sizes(agent: VeltoActorCritic, num_features: int) -> None: ...
def scalars(agent: VeltoActorCritic, learner: int) -> NDArray[np.float32]: ...
def set_scalars(agent: VeltoActorCritic, learner: int, values: NDArray[np.float32]) -> None: ...
def trace_list(agent: VeltoActorCritic, learner: int) -> NDArray[np.int32]: ...
def set_trace_list(agent: VeltoActorCritic, learner: int, indices: NDArray[np.int32]) -> None: ...
def engine(agent: VeltoActorCritic, unit: int) -> tuple[NDArray[np.uint32], int]: ...
def set_engine(
    agent: VeltoActorCritic, unit: int, words: NDArray[np.uint32], position: int
) -> None: ...
def exp_float32(values: NDArray[np.float32]) -> NDArray[np.float32]: ...
def agent_bytes(num_features: int, num_actions: int) -> int: ...
def require_memory(bytes: int) -> None: ...
def value(agent: VeltoActorCritic, features: Iterable[SupportsIndex]) -> NDArray[np.float32]: ...
def action_probabilities(
    agent: VeltoActorCritic, features: Iterable[SupportsIndex]
) -> NDArray[np.float32]: ...
def crc32(data: bytes | memoryview, crc: int = 0) -> int: ...
def crc32_by_table(data: bytes | memoryview, crc: int = 0) -> int: ...
def assemble(
    pieces: list[bytes | memoryview], groups: list[int], slots: list[tuple[int, int]]
) -> bytes: ...
