"""What an agent's critic and units give for a state, without learning or drawing."""

from __future__ import annotations

from collections.abc import Iterable
from typing import SupportsIndex, cast

import numpy as np
from numpy.typing import NDArray
from velto_actor_critic import VeltoActorCritic

from velto_kit import _native


def value(agent: VeltoActorCritic, features: Iterable[SupportsIndex]) -> np.float32:
    """The critic's value of the state with these active features.

    The critic's weights summed from 0.0 in list order, one term per occurrence, in binary32:
    bit for bit the value a ``step`` into this state computes before its sweep changes any
    weight. Nothing is learned and nothing is drawn.

    Args:
        agent: The agent whose critic is asked; it is left unchanged.
        features: The state's active feature indices, checked as ``step`` checks them.

    Returns:
        The value as ``numpy.float32``, with its exact bits.

    Raises:
        IndexError: An index outside ``[0, num_features)``.
        TypeError: Features of the wrong kind, or an agent whose ``__init__`` never ran.

    Examples:
        >>> import velto_kit
        >>> from velto_actor_critic import VeltoActorCritic
        >>> agent = VeltoActorCritic(8, 1, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 0)
        >>> velto_kit.value(agent, [1, 2])
        np.float32(0.0)
    """
    # Indexing keeps the float32 bits; a conversion through Python's float might not.
    return cast(np.float32, _native.value(agent, features)[0])


def action_probabilities(
    agent: VeltoActorCritic, features: Iterable[SupportsIndex]
) -> NDArray[np.float32]:
    """Each unit's probability of taking its action in this state.

    Unit ``i`` gives ``action_prob_at_init`` plus its weights over ``features`` in list order (one
    binary32 addition per occurrence, as ``step`` forms it), clipped as the unit clips it: 1 at or
    above 1, 0 at or below 0, NaN kept as NaN (a unit never takes its action then). A ``step``
    forms its probability after its trace sweep, so with the weights that sweep leaves. Nothing
    is learned and no engine draws.

    Args:
        agent: The agent whose units are asked; it is left unchanged.
        features: The state's active feature indices, checked as ``step`` checks them.

    Returns:
        A new ``float32`` array with one probability per unit, in action order.

    Raises:
        IndexError: An index outside ``[0, num_features)``.
        TypeError: Features of the wrong kind, or an agent whose ``__init__`` never ran.

    Examples:
        >>> import velto_kit
        >>> from velto_actor_critic import VeltoActorCritic
        >>> agent = VeltoActorCritic(8, 2, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 0)
        >>> velto_kit.action_probabilities(agent, [3]).tolist()
        [0.5, 0.5]
    """
    return _native.action_probabilities(agent, features)
