"""Gymnasium environments by id, including ids of tasks that a module registers when imported.

Gymnasium names such a task ``"my_module:MyTask-v0"``: ``gymnasium.make`` imports ``my_module``
first, but ``gymnasium.spec`` does not, so code that asks for the spec before making the
environment (the time limit, say) failed with "Environment `my_module:MyTask` doesn't exist".
Everything in velto_kit and the examples that takes an environment id goes through here.
"""

from __future__ import annotations

import importlib
from typing import Any


def registered_id(env_id: str) -> str:
    """The id a task is registered under, after importing the module that registers it.

    Args:
        env_id: ``"Task-vN"``, returned as it is, or ``"module:Task-vN"``.

    Returns:
        The id without its module.

    Raises:
        TypeError: `env_id` is not a str.
        ValueError: The module cannot be imported, or the id is malformed.

    Example:
        >>> registered_id("gymnasium:CartPole-v1")
        'CartPole-v1'
    """
    if not isinstance(env_id, str):
        raise TypeError(f"env_id must be a str, not {type(env_id).__name__}: {env_id!r}")
    module, separator, name = env_id.rpartition(":")
    if not separator:
        return env_id
    if not module or not name:
        raise ValueError(f"env_id {env_id!r} must be 'module:Task-vN' or 'Task-vN'")
    try:
        importlib.import_module(module)
    except ModuleNotFoundError as error:
        raise ValueError(
            f"env_id {env_id!r}: module {module!r} cannot be imported ({error})"
        ) from error
    return name


def env_spec(env_id: str) -> Any:
    """The Gymnasium registration (``EnvSpec``) of `env_id`.

    Args:
        env_id: A registered id (``"CartPole-v1"``) or one qualified by the module that
            registers it (``"my_module:MyTask-v0"``), which is imported first.

    Returns:
        The task's ``gymnasium.envs.registration.EnvSpec``.

    Raises:
        TypeError: `env_id` is not a str.
        ValueError: The module cannot be imported, or the id is malformed.
        gymnasium.error.Error: No task is registered under that id.

    Example:
        >>> env_spec("CartPole-v1").max_episode_steps
        500
    """
    import gymnasium as gym

    return gym.spec(registered_id(env_id))


def make_env(env_id: str, max_episode_steps: int | None = None) -> Any:
    """A new environment for `env_id`, with its own time limit unless one is given.

    Args:
        env_id: A registered id or a module-qualified one (see [env_spec][velto_kit.env_spec]).
        max_episode_steps: Steps after which an episode is truncated; None keeps the task's
            own limit (or none).

    Returns:
        The ``gymnasium.Env``.

    Raises:
        TypeError: `env_id` is not a str.
        ValueError: The module cannot be imported, or the id is malformed.
        gymnasium.error.Error: No task is registered under that id.

    Example:
        >>> make_env("CartPole-v1", max_episode_steps=50).spec.max_episode_steps
        50
    """
    import gymnasium as gym

    registered = registered_id(env_id)
    if max_episode_steps is None:
        return gym.make(registered)
    return gym.make(registered, max_episode_steps=max_episode_steps)
