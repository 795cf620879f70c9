"""Checks that an environment, an agent, its features and its mapping belong together.

The checks are made before the first step: each mismatch would otherwise run without an error and
learn nothing (a mapping for 2 actions on a 3-action task never takes the third) or fail deep
inside a step.
"""

from __future__ import annotations

from typing import Any

from velto_actor_critic import VeltoActorCritic

from velto_kit import _native
from velto_kit.experiments.actions import ActionMapping


def discrete_actions(env: Any) -> int:
    """The number of actions of `env`'s ``Discrete(n)`` action space.

    For a vector environment the action space of one sub-environment (``single_action_space``)
    is read, not the batch's.

    Args:
        env: A Gymnasium environment or vector environment.

    Returns:
        ``n`` of the ``Discrete(n)`` action space.

    Raises:
        ValueError: The action space is not ``Discrete`` (the message names it).

    Example:
        >>> import gymnasium as gym
        >>> discrete_actions(gym.make("Acrobot-v1"))
        3
    """
    import gymnasium as gym

    # A vector environment's action_space is the batch's; its sub-environments' is single.
    space = getattr(env, "single_action_space", env.action_space)
    if not isinstance(space, gym.spaces.Discrete):
        raise ValueError(
            f"the environment's action space is {space}; the agent's units can drive a"
            " Discrete(n) action space only"
        )
    return int(space.n)


def check_run_inputs(env: Any, agent: Any, features: Any, mapping: ActionMapping) -> None:
    """Checks that `env`, `agent`, `features` and `mapping` fit together before a run.

    `mapping` must be for as many actions as `env` has. When `agent` is a ``VeltoActorCritic``
    it must also have as many units as `mapping` drives and as many features as `features`
    gives; other agents (the baselines) are taken as they are, and `features` is then not read.

    Args:
        env: A Gymnasium environment (or vector environment) with a ``Discrete`` action space.
        agent: The learner to run; only a ``VeltoActorCritic`` is checked further.
        features: The feature map, with a ``num_features`` attribute (read only for a
            ``VeltoActorCritic``).
        mapping: The action mapping from the agent's unit outputs to `env`'s actions.

    Raises:
        ValueError: `env`'s action space is not ``Discrete``, or a count differs; the message
            names both sides.

    Example:
        >>> import gymnasium as gym
        >>> from velto_kit import AgentSettings, action_mapping, make_agent
        >>> agent = make_agent(10, 1, AgentSettings(), seed=0)
        >>> check_run_inputs(gym.make("Acrobot-v1"), agent, None, action_mapping("binary", 2))
        Traceback (most recent call last):
        ...
        ValueError: the mapping is for 2 actions, the environment's action space is Discrete(3)
    """
    actions = discrete_actions(env)
    if mapping.num_actions != actions:
        raise ValueError(
            f"the mapping is for {mapping.num_actions} actions, the environment's action space"
            f" is {getattr(env, 'single_action_space', env.action_space)}"
        )
    if not isinstance(agent, VeltoActorCritic):
        return
    units = _native.num_units(agent)
    if mapping.num_units != units:
        raise ValueError(
            f"the {mapping.name} mapping drives {mapping.num_units} units, the agent has {units}"
            " (num_actions of VeltoActorCritic)"
        )
    agent_features = _native.num_features(agent)
    if features.num_features != agent_features:
        raise ValueError(
            f"the features number {features.num_features}, the agent has num_features="
            f"{agent_features}"
        )
