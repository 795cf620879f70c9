"""The state of a Gymnasium environment as plain data, so that a run can continue where it was.

An environment made by ``gymnasium.make`` is a stack of wrappers (``TimeLimit`` with its elapsed
steps, ``OrderEnforcing``, the passive checker) around the task itself (its physical state, its
``np_random``). Every layer's own attributes are captured, except what the layer is built with
and never changes while it runs (the wrapped environment, its spaces and spec). Values that plain
data can hold exactly (numbers, strings, NumPy arrays and scalars, generators, tuples, lists and
dicts of them) go to JSON; anything else is pickled into a separate blob, which only the resume
path reads. An environment holding something neither form can take (an open window, a physics
engine's handle) cannot be captured: ``capture`` raises ``EnvStateError``.

Restoring sets the captured attributes on an environment made the same way (same wrapper classes
in the same order), which then steps exactly as the captured one would have.
"""

from __future__ import annotations

import base64
import inspect
import pickle
import re
from collections.abc import Mapping
from typing import Any

import numpy as np

from velto_kit.state.generator_state import GeneratorStateError, generator_from_state, state_data

# Attributes a layer is built with and never changes while stepping.
_FIXED = frozenset(
    {
        "env",
        "spec",
        "_cached_spec",
        "_saved_kwargs",
        "action_space",
        "observation_space",
        "_action_space",
        "_observation_space",
        "_metadata",
        "metadata",
        # A vector environment's: its sub-environments' spaces, factories and reset mode.
        "single_action_space",
        "single_observation_space",
        "env_fns",
        "autoreset_mode",
    }
)


class EnvStateError(ValueError):
    """An environment whose state cannot be captured or restored.

    A ``ValueError``, so code that catches bad values catches it too; the message says what
    could not be stored or what differs.
    """


class _Unencodable(Exception):
    """A value that JSON cannot hold exactly; ``capture`` pickles it instead."""


def encode(value: Any) -> Any:
    """`value` as JSON-ready data, tagged so that ``decode`` gives back the same types and bits.

    None, booleans, strings and ints stay as they are; floats (as hexadecimal), NumPy arrays
    and scalars (as base64 bytes with their dtype), generators, bytes, and tuples, lists and
    dicts of these become tagged dicts.

    Args:
        value: The value to encode.

    Returns:
        Data that ``json.dumps`` takes and ``decode`` turns back into `value`.

    Raises:
        Exception: `value`, or something inside it, is none of the types above or an array of
            objects (a private exception, on which ``capture`` pickles the value instead).

    Example:
        >>> decode(encode((1, np.float32(0.5), [None, "a"])))
        (1, np.float32(0.5), [None, 'a'])
    """
    if value is None or isinstance(value, (bool, str)):
        return value
    if type(value) is int:
        return value
    if type(value) is float:
        return {"t": "float", "hex": value.hex()}
    if isinstance(value, np.ndarray):
        if value.dtype.hasobject:
            raise _Unencodable
        data = np.ascontiguousarray(value).tobytes()
        return {
            "t": "ndarray",
            "dtype": value.dtype.str,
            "shape": list(value.shape),
            "data": _b64(data),
        }
    if isinstance(value, np.generic):
        if value.dtype.hasobject:
            raise _Unencodable
        return {"t": "scalar", "dtype": value.dtype.str, "data": _b64(value.tobytes())}
    if isinstance(value, np.random.Generator):
        return {"t": "generator", "state": state_data(value.bit_generator.state)}
    if isinstance(value, bytes):
        return {"t": "bytes", "data": _b64(value)}
    if type(value) in (tuple, list):
        return {"t": type(value).__name__, "items": [encode(item) for item in value]}
    if type(value) is dict:
        return {"t": "dict", "items": [[encode(k), encode(v)] for k, v in value.items()]}
    raise _Unencodable


def decode(data: Any) -> Any:
    """The value ``encode`` turned into `data`.

    Args:
        data: What ``encode`` returned, after a trip through JSON.

    Returns:
        The value, of the type and with the bits it had.

    Raises:
        EnvStateError: An unknown tag, an array of objects or a generator that is not one
            of NumPy's own.
        KeyError: A tagged dict lacks one of its entries.
        ValueError: Damaged data (bad base64, bytes that do not fill the shape).

    Example:
        >>> decode({"t": "float", "hex": "0x1.8p+0"})
        1.5
    """
    if not isinstance(data, dict):
        return data
    tag = data["t"]
    if tag == "float":
        return float.fromhex(data["hex"])
    if tag == "ndarray":
        dtype = _plain_dtype(data["dtype"])
        raw = base64.b64decode(data["data"])
        return np.frombuffer(raw, dtype=dtype).reshape(data["shape"]).copy()
    if tag == "scalar":
        return np.frombuffer(base64.b64decode(data["data"]), dtype=_plain_dtype(data["dtype"]))[0]
    if tag == "generator":
        try:
            return generator_from_state(data["state"])
        except GeneratorStateError as error:
            raise EnvStateError(str(error)) from error
    if tag == "bytes":
        return base64.b64decode(data["data"])
    if tag in ("tuple", "list"):
        items = [decode(item) for item in data["items"]]
        return tuple(items) if tag == "tuple" else items
    if tag == "dict":
        return {decode(k): decode(v) for k, v in data["items"]}
    raise EnvStateError(f"unknown value tag {tag!r} in a stored environment state")


def _b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def _plain_dtype(text: str) -> np.dtype:
    dtype = np.dtype(text)
    if dtype.hasobject:
        raise EnvStateError(f"dtype {text!r} holds objects")
    return dtype


def layers(env: Any) -> list[Any]:
    """`env` and every environment it wraps, outermost first.

    Args:
        env: An environment, wrapped or not; at most 100 layers are followed.

    Returns:
        The layers, from `env` itself to the innermost environment.

    Example:
        >>> import gymnasium as gym
        >>> type(layers(gym.make("CartPole-v1"))[-1]).__name__
        'CartPoleEnv'
    """
    found = [env]
    while hasattr(found[-1], "env") and len(found) < 100:
        found.append(found[-1].env)
    return found


def capture(env: Any) -> tuple[dict[str, Any], bytes | None]:
    """`env`'s state: the JSON part, and the pickled part (None when everything fit in JSON).

    Args:
        env: An environment, wrapped or not, or a vector environment (its sub-environments are
            captured each as a stack of its own).

    Returns:
        The layers' attributes as JSON-ready data, and the pickled bytes of what JSON cannot
        hold (or None).

    Raises:
        EnvStateError: Some attribute is neither plain data nor picklable.

    Example:
        >>> import gymnasium as gym
        >>> env = gym.make("CartPole-v1")
        >>> _ = env.reset(seed=0)
        >>> plain, pickled = capture(env)
        >>> [layer["class"] for layer in plain["layers"]][0], pickled
        ('TimeLimit', None)
    """
    others: dict[str, Any] = {}
    plain = _capture_stack(env, "", others)
    pickled = None
    if others:
        # Named in the plain part, so that a loader can tell a state that needs its pickle from
        # one that names a pickle it never needed.
        plain["pickled"] = sorted(others)
        try:
            pickled = pickle.dumps(others, protocol=pickle.HIGHEST_PROTOCOL)
        except Exception as error:
            names = ", ".join(sorted(others))
            raise EnvStateError(
                f"the environment's state cannot be stored: {names} is neither plain data nor"
                f" picklable ({type(error).__name__}: {error})"
            ) from error
    return plain, pickled


def _is_env_list(value: Any) -> bool:
    return type(value) is list and bool(value) and all(hasattr(v, "step") for v in value)


def _capture_stack(env: Any, prefix: str, others: dict[str, Any]) -> dict[str, Any]:
    """The layers of `env`, outermost first, as plain data.

    The sub-environments of a vector environment (its ``envs`` list) are each a stack of their
    own. What is not plain data goes to `others`, keyed by its path.
    """
    plain_layers = []
    for index, layer in enumerate(layers(env)):
        attributes = {}
        stacks = None
        for name, value in vars(layer).items():
            if name in _FIXED:
                continue
            if name == "envs" and _is_env_list(value):
                stacks = [
                    _capture_stack(sub, f"{prefix}{index}/envs/{number}/", others)
                    for number, sub in enumerate(value)
                ]
                continue
            try:
                attributes[name] = encode(value)
            except _Unencodable:
                others[f"{prefix}{index}/{name}"] = value
        entry: dict[str, Any] = {"class": type(layer).__qualname__, "attributes": attributes}
        if stacks is not None:
            entry["envs"] = stacks
        plain_layers.append(entry)
    return {"layers": plain_layers}


_PATH = re.compile(r"\d+(/envs/\d+/\d+)*/[A-Za-z_][A-Za-z0-9_]*")


def check_plain(plain: Any) -> list[str]:
    """Checks a stored state's plain part and returns the paths of its pickled attributes.

    Every layer must name its class, every attribute must be a name that ``restore`` may set
    and a value that ``decode`` reads; nothing is set anywhere.

    Args:
        plain: The JSON part ``capture`` returned, as read back.

    Returns:
        The paths (``layer/name``, ``layer/envs/i/layer/name``) of the attributes held in the
        pickled part; empty for a state stored as plain data.

    Raises:
        EnvStateError: A field of the wrong type, an attribute name that cannot be restored,
            a value that does not decode, or a pickled path of no layer.

    Example:
        >>> import gymnasium as gym
        >>> env = gym.make("CartPole-v1")
        >>> _ = env.reset(seed=0)
        >>> check_plain(capture(env)[0])
        []
    """
    if not isinstance(plain, dict) or not set(plain) <= {"layers", "pickled"}:
        raise EnvStateError("a stored environment state is an object of layers")
    paths = plain.get("pickled", [])
    if not isinstance(paths, list) or not all(
        isinstance(path, str) and _PATH.fullmatch(path) for path in paths
    ):
        raise EnvStateError(f"pickled attributes {paths!r} are no paths of layers")
    for path in paths:
        _check_name(path.rsplit("/", 1)[1])
    _check_stack(plain)
    return list(paths)


def _check_stack(stack: Any) -> None:
    layers_ = stack.get("layers") if isinstance(stack, dict) else None
    if not isinstance(layers_, list):
        raise EnvStateError("a stored environment state has no list of layers")
    for entry in layers_:
        if (
            not isinstance(entry, dict)
            or not set(entry) <= {"class", "attributes", "envs"}
            or not isinstance(entry.get("class"), str)
            or not isinstance(entry.get("attributes"), dict)
        ):
            raise EnvStateError("a stored layer is damaged")
        for name, value in entry["attributes"].items():
            _check_name(name)
            try:
                decode(value)
            except EnvStateError:
                raise
            except (KeyError, TypeError, ValueError, OverflowError, IndexError) as error:
                raise EnvStateError(f"attribute {name!r} does not decode ({error!r})") from error
        if "envs" in entry:
            if not isinstance(entry["envs"], list):
                raise EnvStateError("a stored layer's sub-environments are no list")
            for sub in entry["envs"]:
                _check_stack(sub)


def _check_name(name: Any) -> None:
    if not isinstance(name, str) or not name.isidentifier() or name.startswith("__"):
        raise EnvStateError(f"{name!r} is no attribute name a state can restore")
    if name in _FIXED:
        raise EnvStateError(f"{name!r} is fixed when the environment is made, not restored")


def _restorable(layer: Any, name: str) -> bool:
    """Whether `name` can be an attribute of `layer`'s state.

    One of its own, a plain class default (``gymnasium.Env._np_random = None``) or a name its
    class does not define (tasks create some of their state in ``reset``, FrozenLake its
    ``s``); never a method, property or other descriptor such as ``step``.
    """
    if name in vars(layer):
        return True
    default = inspect.getattr_static(type(layer), name, _MISSING)
    if default is _MISSING:
        return True
    return not callable(default) and not hasattr(type(default), "__get__")


_MISSING = object()


def restore(env: Any, plain: dict[str, Any], pickled: bytes | Mapping[str, Any] | None) -> None:
    """Sets `env` (made like the captured one) to the state ``capture`` gave.

    Only attributes of the layers' state are set, with plain values or the objects `pickled`
    holds: a name that the layer's class defines as a method, property or other descriptor
    (``step``, ``np_random``), a dunder name or one fixed when the environment is made (its
    spaces, spec, wrapped environment) is refused, so that no behaviour can be replaced.

    Args:
        env: An environment made the same way as the captured one (the same wrapper classes in
            the same order, as many sub-environments).
        plain: The JSON part ``capture`` returned.
        pickled: The pickled part ``capture`` returned (unpickled here: bytes this process
            captured), the objects a trusted ``velto_kit.load_run`` unpickled, or None.

    Raises:
        EnvStateError: `env`'s layers or sub-environments differ from the captured ones, a
            stored name is no attribute of its layer's state, or a stored value is damaged.

    Example:
        >>> import gymnasium as gym
        >>> env, twin = gym.make("CartPole-v1"), gym.make("CartPole-v1")
        >>> _ = env.reset(seed=0)
        >>> restore(twin, *capture(env))
        >>> bool((env.step(1)[0] == twin.step(1)[0]).all())
        True
    """
    if isinstance(pickled, bytes):
        # Bytes capture gave in this process: a run loaded from a folder holds objects instead,
        # unpickled by load_run only when its caller trusts the folder.
        others = dict(pickle.loads(pickled))  # noqa: S301
    else:
        others = dict(pickled or {})
    check_plain(plain)
    _restore_stack(env, plain, "", others)


def _restore_stack(env: Any, plain: dict[str, Any], prefix: str, others: dict[str, Any]) -> None:
    stack = layers(env)
    stored = [layer["class"] for layer in plain["layers"]]
    found = [type(layer).__qualname__ for layer in stack]
    if stored != found:
        raise EnvStateError(f"the run's environment is {stored}, this one {found}")
    for index, (layer, entry) in enumerate(zip(stack, plain["layers"], strict=True)):
        for name, value in entry["attributes"].items():
            _set(layer, name, decode(value))
        if "envs" in entry:
            subs = getattr(layer, "envs", None)
            if (
                not isinstance(subs, list)
                or not _is_env_list(subs)
                or len(subs) != len(entry["envs"])
            ):
                raise EnvStateError(
                    f"the run's environment has {len(entry['envs'])} sub-environments, this one"
                    f" {len(subs) if isinstance(subs, list) else 'none'}"
                )
            for number, (sub, sub_plain) in enumerate(zip(subs, entry["envs"], strict=True)):
                _restore_stack(sub, sub_plain, f"{prefix}{index}/envs/{number}/", others)
        own = f"{prefix}{index}/"
        for key, value in others.items():
            rest = key[len(own) :]
            if key.startswith(own) and "/" not in rest:
                _set(layer, rest, value)


def _set(layer: Any, name: str, value: Any) -> None:
    if not _restorable(layer, name):
        raise EnvStateError(
            f"the stored state sets {name!r} on {type(layer).__qualname__}, which is no"
            " attribute of its state"
        )
    setattr(layer, name, value)
