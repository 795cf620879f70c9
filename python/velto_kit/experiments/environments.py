"""Gymnasium environments by id, including ids of tasks that a module registers when imported.

Gymnasium names such a task ``"my_module:MyTask-v0"``: ``gymnasium.make`` imports ``my_module``
first, but ``gymnasium.spec`` does not, so code that asks for the spec before making the
environment (the time limit, say) failed with "Environment `my_module:MyTask` doesn't exist".
Everything in velto_kit and the ``velto`` command that takes an environment id goes through here.

A task of one's own needs no registration: ``"my_module:MyEnv"`` names a class (or any callable
that returns a ``gymnasium.Env``) in ``my_module``, which is registered with Gymnasium under
``"my_module.MyEnv"`` the first time it is asked for, in every process that asks (a worker
process, a vector environment's, a sweep's trial), and is then made as any registered task.
"""

from __future__ import annotations

import importlib
from typing import Any

# Attributes of modules that `registered_id` has registered with Gymnasium in this process.
_REGISTERED: set[str] = set()


def registered_id(env_id: str) -> str:
    """The id a task is registered under, after importing the module that registers it.

    Args:
        env_id: ``"Task-vN"``, returned as it is, ``"module:Task-vN"`` (a task the module
            registers) or ``"module:Name"`` (a class or factory of the module).

    Returns:
        The id without its module; for a class or factory, ``"module.Name"``, the id it is
        registered under.

    Raises:
        TypeError: `env_id` is not a str.
        ValueError: The module cannot be imported, or the id is malformed.
        gymnasium.error.NameNotFound: The module has neither a task of that id nor a callable
            of that name.

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
        imported = importlib.import_module(module)
    except ModuleNotFoundError as error:
        raise ValueError(
            f"env_id {env_id!r}: module {module!r} cannot be imported ({error})"
        ) from error
    import gymnasium as gym

    if name in gym.registry:
        return name
    made = getattr(imported, name, None)
    if made is None or not callable(made):
        # Gymnasium's own error for an unknown id, with what would have fitted.
        raise gym.error.NameNotFound(
            f"env_id {env_id!r}: {module!r} registers no task {name!r} with Gymnasium and has no"
            f" class or factory {name!r} (give 'module:Task-vN' for a registered task, or"
            " 'module:Class' for a gymnasium.Env subclass or a function that returns one)"
        )
    qualified = f"{module}.{name}"
    if qualified not in _REGISTERED:
        gym.register(id=qualified, entry_point=_checked_entry_point(env_id, made))
        _REGISTERED.add(qualified)
    return qualified


def _checked_entry_point(env_id: str, made: Any) -> Any:
    """`made` as Gymnasium's entry point, checking that it gives a ``gymnasium.Env``."""
    import gymnasium as gym

    def entry_point(**kwargs: Any) -> Any:
        env = made(**kwargs)
        if not isinstance(env, gym.Env):
            raise ValueError(
                f"env_id {env_id!r} gave a {type(env).__name__}, not a gymnasium.Env: name a"
                " gymnasium.Env subclass or a function that returns one"
            )
        return env

    return entry_point


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
