"""Saving a plain Python learner (NumPy arrays, numbers, strings, a NumPy generator) without pickle.

The SARSA(lambda) baseline keeps its whole state in such attributes. A checkpoint of it is a
``.npz`` file of its arrays next to a JSON file of everything else, generator state included, so
that restoring one never runs code from the file (a pickle would).
"""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import numpy as np

_SCALARS = (bool, int, float, str, type(None))


def save_attributes(learner: object, directory: Path, stem: str) -> None:
    """Writes every attribute of `learner` to ``stem.npz`` (arrays) and ``stem.json`` (the rest).

    Examples:
        >>> import tempfile
        >>> class Counter:
        ...     def __init__(self) -> None:
        ...         self.counts, self.name = np.arange(3), "c"
        >>> with tempfile.TemporaryDirectory() as folder:
        ...     save_attributes(Counter(), Path(folder), "counter")
        ...     load_attributes(Counter, Path(folder), "counter").counts.tolist()
        [0, 1, 2]
    """
    arrays: dict[str, np.ndarray] = {}
    others: dict[str, Any] = {}
    for name, value in vars(learner).items():
        if isinstance(value, np.ndarray):
            arrays[name] = value
        elif isinstance(value, np.random.Generator):
            others[name] = {"generator": value.bit_generator.state}
        elif isinstance(value, _SCALARS):
            others[name] = {"value": value}
        else:
            kind = type(value).__name__
            raise TypeError(f"attribute {name!r} of {type(learner).__name__}: cannot save a {kind}")
    directory = Path(directory)
    # NumPy's stub types the keyword arrays as if they could fill allow_pickle.
    np.savez(directory / f"{stem}.npz", **arrays)  # type: ignore[arg-type]
    (directory / f"{stem}.json").write_text(json.dumps(others))


def load_attributes[T](cls: type[T], directory: Path, stem: str) -> T:
    """An instance of `cls` whose attributes are those ``save_attributes`` wrote under `stem`.

    ``__init__`` is not called; no code from the files runs.

    Args:
        cls: The class of the new instance.
        directory: Folder of the two files.
        stem: Their common name.

    Returns:
        The restored instance.

    Raises:
        ValueError: A generator state that names no NumPy bit generator.
        OSError: A file that cannot be read.

    Examples:
        See ``save_attributes``.
    """
    directory = Path(directory)
    learner = cls.__new__(cls)
    with np.load(directory / f"{stem}.npz", allow_pickle=False) as arrays:
        for name in arrays.files:
            setattr(learner, name, arrays[name])
    others = json.loads((directory / f"{stem}.json").read_text())
    for name, entry in others.items():
        if "generator" in entry:
            setattr(learner, name, _generator(entry["generator"], directory / f"{stem}.json"))
        else:
            setattr(learner, name, entry["value"])
    return learner


def _generator(state: dict[str, Any], path: Path) -> np.random.Generator:
    name = state.get("bit_generator")
    bit_generator_class = getattr(np.random, str(name), None)
    if not (
        isinstance(bit_generator_class, type)
        and issubclass(bit_generator_class, np.random.BitGenerator)
    ):
        raise ValueError(f"{path}: unknown bit generator {name!r}")
    bit_generator = bit_generator_class()
    bit_generator.state = state
    return np.random.Generator(bit_generator)
