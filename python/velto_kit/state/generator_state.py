"""NumPy generator states as plain data, and read back only in the exact shape NumPy writes them.

A run checkpoint stores the mapping's generator, and an environment's ``np_random``, as the bit
generator's ``state`` dict. NumPy's own setters take more than they ever write (floats truncated,
booleans, extra keys, flags of any value), so a stored state is checked here against the shape
of its bit generator first: the same keys, integers (no bool, no float) in the range of their
words, arrays of their length. What NumPy itself checks beyond that (MT19937's position,
Philox's buffer position) it then checks as it sets the state.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np

# Bit generators a stored generator may name; nothing else is looked up by name.
BIT_GENERATORS = ("PCG64", "PCG64DXSM", "MT19937", "Philox", "SFC64")


class GeneratorStateError(ValueError):
    """A stored generator state that is not one of NumPy's bit generators' own."""


# A field of a state: an int of so many bits (a flag: one), an array of so many words of so
# many bits, or a nested shape.
_U32, _U128, _FLAG = ("int", 32), ("int", 128), ("int", 1)
_PCG = {"state": {"state": _U128, "inc": _U128}, "has_uint32": _FLAG, "uinteger": _U32}
_SHAPES: dict[str, dict[str, Any]] = {
    "PCG64": _PCG,
    "PCG64DXSM": _PCG,
    "MT19937": {"state": {"key": ("array", 32, 624), "pos": ("int", 32)}},
    "Philox": {
        "state": {"counter": ("array", 64, 4), "key": ("array", 64, 2)},
        "buffer": ("array", 64, 4),
        "buffer_pos": ("int", 32),
        "has_uint32": _FLAG,
        "uinteger": _U32,
    },
    "SFC64": {"state": {"state": ("array", 64, 4)}, "has_uint32": _FLAG, "uinteger": _U32},
}


# The bits of an MT19937 key that take part in generating: all but the low 31 of the first word.
_MT_LIVE = np.array([0x80000000] + [0xFFFFFFFF] * 623, dtype=np.uint32)


def state_data(state: Mapping[str, Any]) -> dict[str, Any]:
    """A bit generator's `state` as JSON can hold it: its arrays as lists of ints.

    Args:
        state: A ``bit_generator.state`` dict.

    Returns:
        The same state with every array turned into a list (PCG64's, all ints, is unchanged).

    Example:
        >>> state = state_data(np.random.MT19937(0).state)
        >>> type(state["state"]["key"]).__name__, len(state["state"]["key"])
        ('list', 624)
    """
    return {
        key: state_data(value)
        if isinstance(value, Mapping)
        else (value.tolist() if isinstance(value, np.ndarray) else value)
        for key, value in state.items()
    }


def _checked(value: Any, shape: Any, where: str) -> Any:
    """`value` in the form NumPy's setter takes, after checking it against `shape`."""
    if isinstance(shape, dict):
        if not isinstance(value, Mapping) or set(value) != set(shape):
            keys = sorted(value) if isinstance(value, Mapping) else value
            raise GeneratorStateError(f"{where} holds {keys!r}, not the keys {sorted(shape)}")
        return {key: _checked(value[key], part, f"{where}[{key!r}]") for key, part in shape.items()}
    kind, bits = shape[0], shape[1]
    if kind == "array":
        words = value.tolist() if isinstance(value, np.ndarray) else value
        if not isinstance(words, list) or len(words) != shape[2]:
            raise GeneratorStateError(f"{where} must be {shape[2]} words")
        for word in words:
            _checked(word, ("int", bits), where)
        return np.array(words, dtype=np.uint32 if bits == 32 else np.uint64)
    top = 1 << bits
    if type(value) is not int or not 0 <= value < top:
        raise GeneratorStateError(f"{where} must be an integer in [0, {top}), not {value!r}")
    return value


def generator_from_state(state: Mapping[str, Any]) -> np.random.Generator:
    """A NumPy generator in the state `state`, checked against its bit generator's shape.

    Args:
        state: A ``bit_generator.state`` dict (arrays may be lists, as ``state_data`` gives
            them), whose bit generator is one of NumPy's own (``BIT_GENERATORS``); no other
            name is looked up.

    Returns:
        A new generator in that state.

    Raises:
        GeneratorStateError: `state` is not a mapping, names another bit generator, or its
            keys, types or ranges are not those its bit generator has.

    Example:
        >>> rng = np.random.default_rng(3)
        >>> generator_from_state(rng.bit_generator.state).random() == rng.random()
        True
    """
    name = state.get("bit_generator") if isinstance(state, Mapping) else None
    if name not in BIT_GENERATORS:
        raise GeneratorStateError(f"bit generator {name!r} is not one of {BIT_GENERATORS}")
    shape = _SHAPES[name]
    if set(state) != {"bit_generator", *shape}:
        raise GeneratorStateError(f"a {name} state holds {sorted(state)!r}")
    checked = {"bit_generator": name, **_checked({key: state[key] for key in shape}, shape, name)}
    if name == "MT19937" and not (checked["state"]["key"] & _MT_LIVE).any():
        # Only zeros follow from it: no seeding gives it, and the agent's own engines refuse it.
        raise GeneratorStateError("an MT19937 state no generator can be in (all words zero)")
    bit_generator = getattr(np.random, name)()
    try:
        bit_generator.state = checked
    except (ValueError, TypeError, KeyError, OverflowError) as error:
        raise GeneratorStateError(f"a {name} state that NumPy refuses ({error!r})") from error
    return np.random.Generator(bit_generator)
