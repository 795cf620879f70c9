"""Vector environments for populations: Gymnasium's own, or EnvPool's C++ pools.

EnvPool's pools are put behind Gymnasium's interface.

Both are seeded the same way: sub-environment i with ``seed + i``, at every ``reset(seed=...)``.
Gymnasium seeds at reset; EnvPool fixes its seeds when the pool is made and ignores a seed given
to ``reset``, so its wrapper here makes the pool anew for a seeded reset. ``make_vector_env``
resets the environment once with its `seed`, so a run that resets without a seed
(``run_population(..., seed=None)``) is still reproducible.
"""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from typing import Any

from velto_kit.experiments.environments import registered_id
from velto_kit.experiments.training_run import registered_options

BACKENDS = ("gymnasium", "envpool", "native")
ENVPOOL_EXTRA = 'velto_actor_critic[envpool] (pip install ".[envpool]", or pip install envpool)'
# envpool.make's keywords that say how the pool runs, not what its task is.
_POOL_KEYWORDS = frozenset(
    {"max_episode_steps", "num_threads", "batch_size", "thread_affinity_offset"}
)


def make_vector_env(
    env_id: str, num_envs: int, *, seed: int, backend: str = "gymnasium", **kwargs: Any
) -> Any:
    """A vector environment of `num_envs` sub-environments of `env_id`, i seeded ``seed + i``.

    With ``backend="gymnasium"`` this is ``gymnasium.make_vec`` with the task's own vectorised
    implementation where it has one (CartPole-v1 steps all its sub-environments in NumPy) and
    Gymnasium's synchronous vector environment otherwise. ``backend="envpool"`` steps the
    sub-environments in EnvPool's C++ threads (the optional extra ``envpool``).
    ``backend="native"`` gives the kit's own C++ tasks (``NativeVectorEnv``), on which
    ``run_population`` runs the whole loop in C++. All reset a finished sub-environment on the
    step after (Gymnasium's default autoreset mode).

    Args:
        env_id: The task's id, e.g. ``"CartPole-v1"``, or one qualified by the module that
            registers it (``"my_module:MyTask-v0"``, as for ``make_env``): the module is imported
            first, in this process, where the sub-environments are made.
        num_envs: The number of sub-environments (at least 1).
        seed: The seed of sub-environment 0; sub-environment i gets ``seed + i``.
        backend: ``"gymnasium"``, ``"envpool"`` or ``"native"``.
        **kwargs: Passed to the task (e.g. ``max_episode_steps``).

    Returns:
        The vector environment, reset once with its seeds.

    Raises:
        ValueError: An unknown `backend`, a `num_envs` below 1, a module-qualified `env_id`
            whose module cannot be imported, or an id without a native task for
            ``backend="native"``.
        ImportError: ``backend="envpool"`` without EnvPool installed; the message names the extra.
        gymnasium.error.Error: An `env_id` that Gymnasium does not know.

    Example:
        >>> envs = make_vector_env("CartPole-v1", 4, seed=0)
        >>> envs.num_envs, envs.metadata["autoreset_mode"].value
        (4, 'NextStep')
    """
    if num_envs < 1:
        raise ValueError(f"num_envs must be at least 1, not {num_envs}")
    if backend not in BACKENDS:
        raise ValueError(f"backend must be one of {BACKENDS}, not {backend!r}")
    # Gymnasium's make_vec, unlike its make, does not import the module of a qualified id.
    env_id = registered_id(env_id)
    if backend == "gymnasium":
        envs = _gymnasium_vector_env(env_id, num_envs, **kwargs)
    elif backend == "native":
        from velto_kit.experiments.native_vector_env import NativeVectorEnv

        return NativeVectorEnv(env_id, num_envs, seed=seed, **kwargs)
    else:
        envs = EnvPoolVectorEnv(env_id, num_envs, seed=seed, **kwargs)
    envs.reset(seed=seed)
    return envs


def _gymnasium_vector_env(env_id: str, num_envs: int, **kwargs: Any) -> Any:
    import gymnasium as gym

    spec = gym.spec(env_id)
    mode = "vector_entry_point" if spec.vector_entry_point is not None else "sync"
    return gym.make_vec(env_id, num_envs, vectorization_mode=mode, **kwargs)


def _gymnasium_spec(env_id: str) -> Any:
    """Gymnasium's spec of the same task (EnvPool's ids are Gymnasium's), for ``features_for``."""
    import gymnasium as gym

    try:
        return gym.spec(env_id)
    except gym.error.Error:
        return None


def _import_envpool() -> Any:
    try:
        import envpool
    except ImportError as error:
        raise ImportError(
            f"backend='envpool' needs EnvPool, the optional extra {ENVPOOL_EXTRA}"
        ) from error
    return envpool


class EnvPoolVectorEnv:
    """An EnvPool pool presented as a Gymnasium vector environment that can be reseeded.

    Its ``step`` and ``reset`` are the pool's (Gymnasium's API, resetting a finished
    sub-environment on the next step); ``reset(seed=s)`` makes the pool anew with seeds
    ``s, s + 1, ...`` (or the list given) unless it is fresh from those seeds, so that a seeded
    reset always starts from its seeds, as Gymnasium's does.

    Args:
        env_id: The task's id in EnvPool.
        num_envs: The number of sub-environments.
        seed: The seed of sub-environment 0.
        **kwargs: Passed to ``envpool.make`` (e.g. ``max_episode_steps``, ``num_threads``).

    Raises:
        ImportError: EnvPool is not installed.

    Example:
        >>> envs = EnvPoolVectorEnv("CartPole-v1", 2, seed=0)  # doctest: +SKIP
        >>> envs.reset(seed=5)[0].shape  # doctest: +SKIP
        (2, 4)
    """

    def __init__(self, env_id: str, num_envs: int, *, seed: int, **kwargs: Any) -> None:
        """Makes the pool with seeds ``seed, seed + 1, ...`` (see the class's description)."""
        self._envpool = _import_envpool()
        self.env_id = env_id
        self.num_envs = num_envs
        self._kwargs = kwargs
        # What a run's description records of the task: Gymnasium's options for the id, with
        # those given to the pool over them.
        given = {name: value for name, value in kwargs.items() if name not in _POOL_KEYWORDS}
        self.task_options = {**(registered_options(_gymnasium_spec(env_id)) or {}), **given}
        self._seeds: list[int] = []
        self._fresh = True
        self._pool = self._make([seed + i for i in range(num_envs)])

    def _make(self, seeds: list[int]) -> Any:
        with warnings.catch_warnings():
            # EnvPool's spaces are float64 bounds that Gymnasium casts to float32 with a warning.
            warnings.simplefilter("ignore", UserWarning)
            pool = self._envpool.make(
                self.env_id,
                env_type="gymnasium",
                num_envs=self.num_envs,
                env_seed=seeds,
                **self._kwargs,
            )
            self.single_observation_space = pool.single_observation_space
            self.single_action_space = pool.single_action_space
            self.observation_space = pool.observation_space
            self.action_space = pool.action_space
        self._seeds = seeds
        self._fresh = True
        self.metadata = dict(pool.metadata)
        self.spec = _gymnasium_spec(self.env_id)
        return pool

    def reset(
        self, *, seed: int | Sequence[int] | None = None, options: dict[str, Any] | None = None
    ) -> tuple[Any, dict[str, Any]]:
        """Resets every sub-environment; with `seed`, seeded ``seed + i`` (or ``seed[i]``).

        Args:
            seed: None (the pool's next episodes), an int, or one seed per sub-environment.
            options: Not supported by EnvPool; must be empty.

        Returns:
            The observations and the pool's info.

        Raises:
            ValueError: `options` given, or a list of seeds of another length.
        """
        if options:
            raise ValueError(f"EnvPool takes no reset options, not {options!r}")
        if seed is not None:
            if isinstance(seed, int):
                seeds = [seed + i for i in range(self.num_envs)]
            else:
                seeds = [int(value) for value in seed]
            if len(seeds) != self.num_envs:
                raise ValueError(f"seed has {len(seeds)} values, not {self.num_envs}")
            # A pool's seeds act once, at its first reset: a seeded reset of a pool that has
            # run must start again from those seeds, as Gymnasium's does, so it is made anew.
            if seeds != self._seeds or not self._fresh:
                self._pool.close()
                self._pool = self._make(seeds)
        self._fresh = False
        return self._pool.reset()  # type: ignore[no-any-return]

    def step(self, actions: Any) -> tuple[Any, Any, Any, Any, dict[str, Any]]:
        """Steps every sub-environment (one that ended on the last step resets instead).

        Args:
            actions: One action per sub-environment.

        Returns:
            Observations, rewards, terminations, truncations and info, as Gymnasium's.
        """
        return self._pool.step(actions)  # type: ignore[no-any-return]

    def close(self) -> None:
        """Releases the pool's threads."""
        self._pool.close()
