"""An independent model of velto_kit.TileCoder in NumPy (the example's coder before the kit had
one), to test the C++ coder against.

Tile coding turns a continuous observation into a short list of active binary features.

Each tiling is a regular grid over the observation's box, shifted against the others by a fraction
of a tile, so that nearby observations share most of their tiles and distant ones share none. An
observation activates exactly one tile per tiling; tilings own disjoint blocks of indices.
"""

from collections.abc import Sequence

import numpy as np


class TileCoder:
    """Maps observations inside [lows, highs] to `num_tilings` indices in [0, num_features).

    Values outside the box are clipped to its faces, so they share the outermost tiles.
    """

    def __init__(
        self,
        lows: Sequence[float],
        highs: Sequence[float],
        tiles_per_dimension: int,
        num_tilings: int,
    ) -> None:
        self.lows = np.asarray(lows, dtype=np.float64)
        self.highs = np.asarray(highs, dtype=np.float64)
        if self.lows.ndim != 1 or self.lows.shape != self.highs.shape or self.lows.size == 0:
            raise ValueError("lows and highs must be equal-length, non-empty sequences")
        if not (np.all(np.isfinite(self.lows)) and np.all(np.isfinite(self.highs))):
            raise ValueError("the box must be finite")
        if not np.all(self.highs > self.lows):
            raise ValueError("every high must be above its low")
        if tiles_per_dimension < 1 or num_tilings < 1:
            raise ValueError("tiles_per_dimension and num_tilings must be at least 1")
        self.tiles_per_dimension = tiles_per_dimension
        self.num_tilings = num_tilings

        dimensions = self.lows.size
        # A shifted grid needs one tile more per dimension to still cover the whole box.
        tiles_per_axis = tiles_per_dimension + 1
        self.tiles_per_tiling = tiles_per_axis**dimensions
        self.num_features = num_tilings * self.tiles_per_tiling
        if self.num_features > np.iinfo(np.int32).max:
            raise ValueError("too many features for 32-bit indices")
        self.axis_strides = tiles_per_axis ** np.arange(dimensions, dtype=np.int64)
        self.tiling_bases = self.tiles_per_tiling * np.arange(num_tilings, dtype=np.int64)
        # Tiling t is shifted by t * (1, 3, 5, ...) / num_tilings tile widths (modulo one tile):
        # odd, unequal displacements keep the tilings from lining up along the diagonal.
        displacement = 2 * np.arange(dimensions, dtype=np.int64) + 1
        tiling = np.arange(num_tilings, dtype=np.int64)[:, None]
        self.offsets = (tiling * displacement[None, :] % num_tilings) / num_tilings

    def active_features(self, observation: Sequence[float] | np.ndarray) -> list[int]:
        """Returns the index of the one tile that `observation` falls in, for every tiling."""
        values = np.asarray(observation, dtype=np.float64)
        if values.shape != self.lows.shape:
            raise ValueError(
                f"expected an observation of shape {self.lows.shape}, got {values.shape}"
            )
        if np.any(np.isnan(values)):
            raise ValueError("observation contains NaN")
        clipped = np.clip(values, self.lows, self.highs)
        scaled = (clipped - self.lows) / (self.highs - self.lows) * self.tiles_per_dimension
        coordinates = np.floor(scaled[None, :] + self.offsets).astype(np.int64)
        indices = self.tiling_bases + coordinates @ self.axis_strides
        return [int(index) for index in indices]
