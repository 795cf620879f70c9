from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

class TileCoder:
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
    def num_features(self) -> int: ...
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
    def active_features(
        self, observation: Sequence[float] | npt.NDArray[np.floating]
    ) -> list[int]: ...
