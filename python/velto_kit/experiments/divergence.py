"""Noticing a learner that diverged: a value or weight that is no longer a finite number.

A critic whose step sizes are too large for its task can drive its weights past the range of
binary32; from then on its values and TD errors are infinite or NaN and everything it learns is
lost. The loops check for it (``run_episodes`` after every episode, ``run_prediction`` after
every transition, a sweep's trial through the episodes it reports), say so once with a
``RuntimeWarning`` and flag it in their results.
"""

from __future__ import annotations

import warnings
from typing import Any

import numpy as np
from velto_actor_critic import VeltoActorCritic

from velto_kit.state.evaluation import value
from velto_kit.state.inspection import inspect

__all__ = ["critic_diverged", "diverged_warning"]


def critic_diverged(agent: Any, features: Any = ()) -> bool:
    """Whether the agent's critic holds a weight, or gives a value, that is not finite.

    Args:
        agent: A ``VeltoActorCritic``; any other learner is looked at through a ``weights``
            array if it has one, and is otherwise never called diverged.
        features: The active features of the state the agent is in, whose value is checked too
            (a sum of finite weights can overflow).

    Returns:
        True where a critic weight, or the value of `features`, is infinite or NaN.

    Example:
        >>> from velto_kit import AgentSettings, make_agent
        >>> agent = make_agent(4, 0, AgentSettings(), seed=0)
        >>> critic_diverged(agent, [0, 1])
        False
        >>> _ = agent.step([0], 0.0, 0.0), agent.step([1], float("inf"), 0.0)
        >>> critic_diverged(agent, [1])
        True
    """
    if isinstance(agent, VeltoActorCritic):
        critic = inspect(agent).critic.weights
        return not (np.isfinite(critic).all() and np.isfinite(value(agent, features)))
    weights = getattr(agent, "weights", None)
    return weights is not None and not np.isfinite(weights).all()


def diverged_warning(what: str) -> None:
    """Warns that a learner diverged (a ``RuntimeWarning``).

    Args:
        what: What was seen, and where (``"the critic's value is not finite in episode 3"``).
    """
    warnings.warn(
        f"{what}: the learner diverged (its step sizes are too large for this task)",
        RuntimeWarning,
        stacklevel=3,
    )
