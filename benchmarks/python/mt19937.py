"""The actor units' random engine and uniform draw, for the NumPy agent.

NumPy's MT19937 has the standard generator and tempering but seeds itself differently from the
standard 32-bit initialisation; the state that initialisation gives is computed here and loaded
into it, so its raw outputs are the standard sequence for the seed.
"""

import numpy as np

STATE_WORDS = 624


def standard_key(seed: int) -> np.ndarray:
    """The 624 state words of the standard initialisation from one 32-bit seed."""
    key = np.empty(STATE_WORDS, dtype=np.uint32)
    word = seed & 0xFFFFFFFF
    key[0] = word
    for i in range(1, STATE_WORDS):
        word = (1812433253 * (word ^ (word >> 30)) + i) & 0xFFFFFFFF
        key[i] = word
    return key


class StandardMT19937:
    """MT19937 seeded by the standard initialisation, with the units' two-output uniform draw."""

    def __init__(self, seed: int) -> None:
        self._engine = np.random.MT19937()
        # Position 624: the first output regenerates the whole state, as after standard seeding.
        self._engine.state = {
            "bit_generator": "MT19937",
            "state": {"key": standard_key(seed), "pos": STATE_WORDS},
        }

    def outputs(self, count: int) -> list[int]:
        return [int(x) for x in self._engine.random_raw(count)]

    def uniform(self) -> float:
        first, second = self._engine.random_raw(2)
        return uniform_from_outputs(int(first), int(second))


def uniform_from_outputs(first: int, second: int) -> float:
    """(second * 2^21 + floor(first / 2^11)) * 2^-53: a 53-bit integer, exact in a Python float."""
    return (second * 2097152 + (first >> 11)) * 2.0**-53
