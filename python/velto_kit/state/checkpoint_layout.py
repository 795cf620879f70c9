"""The members of a checkpoint: names, dtypes and shapes, shared by the writer and the reader.

A checkpoint is a NumPy ``.npz`` (a zip of ``.npy`` arrays, no pickled objects) with these
members, each under its name plus ``.npy``:

- ``format`` (a unicode string) and ``version`` (int32): what the file is;
- ``num_features`` and ``num_actions`` (int32): the sizes; ``num_actions`` counts the units;
- ``critic/<member>`` and ``units/<i>/<member>`` for every member of every learner:
  per-feature arrays float32 of shape ``(num_features,)``, ``trace_list`` int32 of any length,
  scalars float32 of shape ``()``, and per unit ``rng_state`` (uint32, 624) and ``rng_position``
  (int32, in [0, 624]).
"""

from __future__ import annotations

import itertools
from collections.abc import Iterator
from dataclasses import dataclass

import numpy as np

from velto_kit import _native

FORMAT_NAME = "velto_actor_critic agent state"
VERSION = 1

FLOAT = np.dtype("<f4")
INT = np.dtype("<i4")
WORD = np.dtype("<u4")
ENGINE_WORDS = 624


@dataclass(frozen=True)
class Field:
    """One array member of a learner: its name in the file, dtype and kind of shape."""

    name: str
    dtype: np.dtype
    # "features": (num_features,); "scalar": (); "list": any length; "engine": (624,)
    shape: str


def learner_prefix(learner: int) -> str:
    """The member-name prefix of a learner: ``critic/`` or ``units/<i>/``.

    Args:
        learner: ``_native.CRITIC`` for the critic, else the unit's index.

    Returns:
        The prefix, ending in a slash.

    Examples:
        >>> learner_prefix(_native.CRITIC), learner_prefix(2)
        ('critic/', 'units/2/')
    """
    return "critic/" if learner == _native.CRITIC else f"units/{learner}/"


def learner_fields(learner: int) -> list[Field]:
    """Every member of the critic or of one unit, in the order the file holds them.

    Args:
        learner: ``_native.CRITIC`` for the critic, else the unit's index.

    Returns:
        One field per member, its name without the learner's prefix.

    Examples:
        >>> [field.name for field in learner_fields(0)][-2:]
        ['rng_state', 'rng_position']
    """
    critic = learner == _native.CRITIC
    arrays = _native.CRITIC_ARRAYS if critic else _native.UNIT_ARRAYS
    scalars = _native.CRITIC_SCALARS if critic else _native.UNIT_SCALARS
    fields = [Field("trace_list", INT, "list")]
    fields += [Field(name, FLOAT, "features") for name in arrays]
    fields += [Field(name, FLOAT, "scalar") for name in scalars]
    if not critic:
        fields += [Field("rng_state", WORD, "engine"), Field("rng_position", INT, "scalar")]
    return fields


HEADER_FIELDS = [
    Field("format", np.dtype(f"<U{len(FORMAT_NAME)}"), "scalar"),
    Field("version", INT, "scalar"),
    Field("num_features", INT, "scalar"),
    Field("num_actions", INT, "scalar"),
]


def member_names(num_actions: int) -> Iterator[str]:
    """Every member name (without ``.npy``) of a checkpoint of an agent with this many units.

    Args:
        num_actions: The agent's number of units; may be absurd, as read from a file.

    Yields:
        The header's names, then the critic's, then each unit's, in file order.

    Examples:
        >>> names = list(member_names(1))
        >>> names[:2], names[-1]
        (['format', 'version'], 'units/0/rng_position')
    """
    for field in HEADER_FIELDS:
        yield field.name
    # A generator of learners, never a list: num_actions comes from the file and may be absurd
    # until every name has been found.
    for learner in itertools.chain([_native.CRITIC], range(num_actions)):
        prefix = learner_prefix(learner)
        for field in learner_fields(learner):
            yield prefix + field.name
