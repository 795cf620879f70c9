"""A CartPole-v1 that crashes once, for the sweep tests (``crash_once_env:CrashOnce-v0``).

The first environment, in any process, that reaches its ``CRASH_AT_RESET``-th reset while the
file named by ``VELTO_TEST_CRASH_MARKER`` does not exist creates that file and raises; every
later one runs as CartPole-v1. So exactly one trial of a sweep fails, part way through, and a
restored trial runs clean.
"""

import os

import gymnasium as gym
import numpy as np
from velto_kit.experiments.features import OBSERVATION_BOUNDS

CRASH_AT_RESET = 13


class CrashOnce(gym.Wrapper):
    def __init__(self) -> None:
        super().__init__(gym.make("CartPole-v1"))
        # CartPole's velocities are unbounded in its space; the tile coder needs a box.
        lows, highs = OBSERVATION_BOUNDS["CartPole-v1"]
        self.observation_space = gym.spaces.Box(
            np.array(lows, dtype=np.float32), np.array(highs, dtype=np.float32)
        )
        self.resets = 0

    def reset(self, **kwargs):
        self.resets += 1
        marker = os.environ.get("VELTO_TEST_CRASH_MARKER")
        if marker and self.resets == CRASH_AT_RESET:
            try:
                os.close(os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
            except FileExistsError:
                pass
            else:
                raise RuntimeError("planned crash of the sweep tests")
        return self.env.reset(**kwargs)


gym.register("CrashOnce-v0", entry_point=CrashOnce)
