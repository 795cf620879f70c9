# Type stub of velto_kit's C++ extension (src/kit). Learner -1 (CRITIC) is the critic, learners
# 0 .. units - 1 are the actor units.
from collections.abc import Iterable, Sequence
from typing import Any, SupportsIndex

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
    ) -> NDArray[np.int32]:
        """The active features of N observations in one call, row n exactly ``active_features``.

        Each element becomes the same float64 that the single call reads, so a batch gives the
        same indices as N single calls; a C-contiguous float64 array is read in place.

        Args:
            observations: Anything NumPy reads as an array of shape (N, `num_dimensions`) of
                floats, integers or bools.

        Returns:
            A new int32 array of shape (N, `num_tilings`); row n lists the tiles of
            ``observations[n]`` in tiling order.

        Raises:
            TypeError: An array whose dtype is not a number (or bool), or that NumPy cannot make.
            ValueError: A shape other than (N, `num_dimensions`), or a NaN (the message names
                the row).

        Examples:
            >>> coder = TileCoder([0.0, 0.0], [1.0, 1.0], 4, 2)
            >>> batch = coder.active_features_batch([[0.5, 0.25], [1.0, 1.0]])
            >>> batch.shape, batch[1].tolist() == coder.active_features([1.0, 1.0])
            ((2, 2), True)
        """

class Population:
    """The native core of ``velto_kit.Population``: N agents stepped once each per call.

    Users construct ``velto_kit.Population``, which checks and converts its inputs and calls
    this core; the core takes only the exact types below. It keeps the agent objects alive and
    steps them while holding the interpreter lock: on the calling thread, or, for a call whose
    work pays for it, on up to `threads` native threads (contiguous blocks of agents).

    Args:
        agents: Constructed agents, no one twice, all with the same ``num_actions``.
        threads: Native threads to step on, at least 1.

    Raises:
        TypeError: An entry of `agents` is not a constructed ``VeltoActorCritic`` (the message
            names its index).
        ValueError: No agents, `threads` below 1, an agent listed twice, or differing
            ``num_actions``.

    Examples:
        >>> import numpy as np
        >>> from velto_kit import AgentSettings, make_agent
        >>> agents = [make_agent(8, 2, AgentSettings(), seed=s) for s in range(2)]
        >>> core = Population(agents, 1)
        >>> len(core), core.num_actions, core.agents[1] is agents[1]
        (2, 2, True)
        >>> core.step(np.array([[0], [3]], dtype=np.int32), None, 0.0, 0.9, None).shape
        (2, 2)
    """

    def __init__(self, agents: Sequence[VeltoActorCritic], threads: int) -> None: ...
    @property
    def agents(self) -> tuple[VeltoActorCritic, ...]:
        """The agents, the very objects given, in row order."""
    @property
    def threads(self) -> int:
        """Native threads a call steps the agents on."""
    @property
    def num_actions(self) -> int:
        """Actions of every agent: the width of the mask that ``step`` returns."""
    @property
    def work_per_block(self) -> int:
        """Live traces and features each block of a split call must have (see ``step``).

        A call below twice this steps every agent on the calling thread. Not part of
        ``velto_kit.Population``'s interface: tests set 0 so that every call is split.
        """
    @work_per_block.setter
    def work_per_block(self, work: int) -> None: ...
    def __len__(self) -> int:
        """The number of agents, N."""
    def step(
        self,
        features: NDArray[np.int32] | NDArray[np.int64],
        offsets: NDArray[np.int64] | None,
        rewards: float | NDArray[np.float32] | NDArray[np.float64],
        gammas: float | NDArray[np.float32] | NDArray[np.float64],
        active: NDArray[np.bool_] | None,
    ) -> NDArray[np.bool_]:
        """Steps every agent (every active one) once, agent i on row i of the inputs.

        Every input is checked before any agent changes. A float reward or gamma is the same
        for every row; each value is rounded to binary32 as the agent's own ``step`` does.

        Args:
            features: Without `offsets`, an int32 or int64 array of shape (N, k); with them, a
                flat one whose row i is ``features[offsets[i]:offsets[i + 1]]``. A
                non-contiguous array is copied.
            offsets: None, or a C-contiguous int64 array of N + 1 non-decreasing offsets from 0
                to ``len(features)``.
            rewards: A float, or a C-contiguous float32 or float64 array of shape (N,).
            gammas: The same forms as `rewards`.
            active: None to step every agent, or a C-contiguous bool array of shape (N,);
                agents whose entry is False are not stepped.

        Returns:
            A new bool array of shape (N, `num_actions`): row i marks the actions that agent i
            took (a row of an agent not stepped is all False).

        Raises:
            TypeError: A wrong dtype, or `rewards`/`gammas` neither a float nor an array.
            ValueError: A wrong shape, offsets that do not run from 0 to ``len(features)`` or
                decrease, or an agent whose ``num_actions`` has changed.
            IndexError: A feature index outside its agent's ``[0, num_features)``.
            RuntimeError: An agent's step failed for a reason other than memory (the message
                names the agents); each is left as its own ``step`` leaves it on that error.
            MemoryError: A step ran out of memory.
        """

CRITIC: int
CRITIC_ARRAYS: tuple[str, ...]
CRITIC_SCALARS: tuple[str, ...]
UNIT_ARRAYS: tuple[str, ...]
UNIT_SCALARS: tuple[str, ...]

def num_features(agent: VeltoActorCritic) -> int: ...
def num_units(agent: VeltoActorCritic) -> int: ...
def snapshot(agent: VeltoActorCritic) -> VeltoActorCritic: ...
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
def all_members(
    agent: VeltoActorCritic,
) -> list[
    tuple[
        NDArray[np.int32],
        list[NDArray[np.float32]],
        NDArray[np.float32],
        tuple[NDArray[np.uint32], int] | None,
    ]
]: ...
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
def assemble_agent(
    agent: VeltoActorCritic,
    pieces: list[bytes | tuple[int, int, int, int]],
    groups: list[int],
    slots: list[tuple[int, int]],
) -> bytes | None: ...
def write_agent(
    agent: VeltoActorCritic,
    fd: int,
    pieces: list[bytes | tuple[int, int, int, int]],
    groups: list[int],
    slots: list[tuple[int, int]],
) -> bool: ...

class NumpyGenerator:
    """numpy.random.default_rng(seed) in C++: PCG64 seeded through SeedSequence.

    Each method draws exactly the numbers that NumPy's Generator draws with the same call, so a
    generator here and one in Python stay in step; the state is numpy's ``bit_generator.state``.

    Args:
        seed: Any int of 0 or more, as SeedSequence takes it.

    Examples:
        >>> import numpy as np
        >>> NumpyGenerator(7).random() == np.random.default_rng(7).random()
        True
    """

    def __init__(self, seed: int) -> None: ...
    def next_uint64(self) -> int:
        """The next 64-bit output, as ``bit_generator.random_raw()`` gives it."""
    def next_uint32(self) -> int:
        """The lower half of a new 64-bit output, or the upper half kept from the last call."""
    def random(self) -> float:
        """``Generator.random()``: a float in [0, 1)."""
    def uniform(self, low: float, high: float) -> float:
        """``Generator.uniform(low, high)`` for one value."""
    def integers(self, high: int) -> int:
        """``Generator.integers(high)``: an int in [0, high); ValueError below 1."""
    @property
    def state(self) -> dict[str, object]:
        """The state as ``numpy.random.PCG64().state`` shows it; assignable."""
    @state.setter
    def state(self, value: dict[str, object]) -> None: ...

class NativeTask:
    """One of Gymnasium's classic tasks in C++, computed as ``gym.make(env_id, **options)`` does.

    The same observations (float32 arrays for a Box, int for a Discrete space), rewards,
    terminations and truncations for the same seeds and actions, bit for bit for the ids of
    ``exact_native_task_ids()``.

    Args:
        env_id: One of ``native_task_ids()``.
        options: gym.make's keyword arguments for that task: ``max_episode_steps`` and the
            task's own (CartPole's ``sutton_barto_reward``, MountainCar's ``goal_velocity``,
            FrozenLake's ``map_name``, ``is_slippery`` and ``success_rate``, CliffWalking's
            ``is_slippery``, Taxi's ``is_rainy``, ``fickle_passenger``, ``rainy_probability``
            and ``fickle_probability``); ``render_mode=None`` is accepted.

    Raises:
        ValueError: An id that is not a native task, or an option the task does not take or a
            value it cannot honour, named in the message.

    Examples:
        >>> task = NativeTask("CartPole-v1", {})
        >>> task.reset(seed=0).dtype, task.num_actions, task.max_episode_steps
        (dtype('float32'), 2, 500)
    """

    def __init__(self, env_id: str, options: dict[str, object]) -> None: ...
    @property
    def env_id(self) -> str: ...
    @property
    def num_actions(self) -> int: ...
    @property
    def observation_n(self) -> int | None:
        """Size of a Discrete observation space, or None for a Box."""
    @property
    def observation_low(self) -> NDArray[np.float32] | None:
        """The Box's lower bounds, or None for a Discrete space."""
    @property
    def observation_high(self) -> NDArray[np.float32] | None:
        """The Box's upper bounds, or None for a Discrete space."""
    @property
    def max_episode_steps(self) -> int | None:
        """The time limit in steps, or None."""
    def reset(self, *, seed: int | None = None) -> NDArray[np.float32] | int:
        """``env.reset(seed=seed)``'s observation (any int seed of 0 or more, or none: goes on)."""
    def step(self, action: int) -> tuple[NDArray[np.float32] | int, float, bool, bool]:
        """``env.step(action)`` as (observation, reward, terminated, truncated).

        Raises ValueError for an action outside [0, num_actions) and RuntimeError before the
        first reset.
        """
    def get_state(self) -> dict[str, object]:
        """The task's state as plain data: env_id, values, generator and elapsed_steps."""
    def set_state(self, state: dict[str, object]) -> None:
        """Puts back a state from get_state; ValueError, changing nothing, if it does not fit."""

def native_task_ids() -> list[str]: ...
def exact_native_task_ids() -> list[str]: ...

class NativeRun:
    """One run of the native loop (``velto_kit.experiments.native_loop.NativeRunLoop``)."""

    def __init__(
        self,
        agents: Sequence[VeltoActorCritic],
        env_id: str,
        options: dict[str, Any],
        seeds: list[int],
        features: Any,
        mapping: str,
        num_actions: int,
        gamma: float,
        mode: str,
        next_episodes: list[int],
        end_episodes: list[int],
        generators: list[dict[str, Any]],
        progress: list[Any],
        threads: int,
        unit_steps: int,
        checkpoint_every: int,
        record_agent_calls: bool = False,
    ) -> None: ...
    def next(self) -> list[tuple[int, int, float, int, int]]:
        """The next finished units' episodes, their agents handed over; empty when done."""
    def progress(
        self, index: int
    ) -> tuple[tuple[list[float], dict[str, Any], int], dict[str, Any], list[int], int, int]:
        """Member `index` as of its last hand-over."""
    def replay_agent_calls(self, agents: Sequence[VeltoActorCritic]) -> None:
        """With `record_agent_calls`: steps agent i through member i's recorded steps."""
    @property
    def unit_seconds(self) -> float:
        """With `record_agent_calls`: the handed-over units' CPU time (no hand-overs)."""
    def close(self) -> None:
        """Stops the run's threads; in-flight units are abandoned."""
