"""Registers ``VeltoActorCritic`` with ``copyreg``, so that agents pickle and copy.

Importing velto_kit is what makes ``pickle``, ``copy.copy`` and ``copy.deepcopy`` work on agents,
through the standard mechanism for extension types. Both copies are complete and independent (the
agent holds no shared parts).
"""

from __future__ import annotations

import copyreg
from collections.abc import Callable

from velto_actor_critic import VeltoActorCritic

from velto_kit.state.checkpoint import dumps, loads


def restore(data: bytes) -> VeltoActorCritic:
    """Rebuilds a pickled or copied agent from its checkpoint bytes (what ``pickle`` calls).

    Args:
        data: The bytes ``velto_kit.dumps`` gave for the agent.

    Returns:
        A new agent whose every member equals the original's bit for bit.

    Raises:
        CheckpointError: Bytes that are not a whole checkpoint.
    """
    return loads(data)


def _reduce(agent: VeltoActorCritic) -> tuple[Callable[[bytes], VeltoActorCritic], tuple[bytes]]:
    return restore, (dumps(agent),)


def register() -> None:
    """Tells ``copyreg`` how to reduce an agent; velto_kit calls it once on import."""
    copyreg.pickle(VeltoActorCritic, _reduce)
