"""One agent's training on one environment, as a value that can be checkpointed between episodes.

Between two episodes everything the loop goes on from is: the agent (already in the next
episode's first state), the actions its last ``step`` returned, the environment (just reset), the
generator the mapping draws from and the counters. ``TrainingRun.state`` gathers exactly these
(``velto_kit.state.run_state``), and a run built with ``resume=`` that state continues as if it had
never stopped: the same returns, the same agent bit for bit.
"""

from __future__ import annotations

import copy
import inspect
import json
import platform
import time
import warnings
from collections.abc import Iterator, Mapping
from importlib.metadata import PackageNotFoundError, version
from typing import Any

import numpy as np

from velto_kit.experiments.actions import ActionMapping
from velto_kit.experiments.divergence import critic_diverged, diverged_warning
from velto_kit.experiments.episode_result import EpisodeResult, env_choice
from velto_kit.experiments.features import Features, Flattened, OneHot
from velto_kit.experiments.run_checks import check_run_inputs
from velto_kit.state import env_state
from velto_kit.state.run_state import MemberState, RunState


def resume_seed(seed: int, episodes_done: int) -> int:
    """The environment's seed for a run that starts afresh after `episodes_done` episodes.

    Such a run lost its environment's state. A fresh run (no episodes done) keeps `seed`; any
    other gets a seed of its own, derived from both numbers, so that it does not replay the
    episodes it began with.

    Args:
        seed: The run's seed, 0 or more.
        episodes_done: The episodes the run has done, 0 or more.

    Returns:
        `seed` when `episodes_done` is 0, else a 32-bit seed derived from both.

    Raises:
        ValueError: `seed` or `episodes_done` is negative (from ``numpy.random.SeedSequence``).

    Example:
        >>> resume_seed(7, 0)
        7
        >>> resume_seed(7, 100) == resume_seed(7, 100) != resume_seed(7, 200)
        True
    """
    if episodes_done == 0:
        return seed
    return int(np.random.SeedSequence([seed, episodes_done]).generate_state(1)[0])


def _version(package: str) -> str | None:
    try:
        return version(package)
    except PackageNotFoundError:
        return None


def describe_features(features: Any) -> dict[str, Any]:
    """The settings that make `features` what it is.

    Args:
        features: A feature map (``OneHot``, a tile coder, or ``Flattened`` around one); any
            object with ``num_features`` is described by its type and count at least.

    Returns:
        Its type's name, ``num_features`` and the settings it has of ``n``, ``start``,
        ``lows``, ``highs``, ``tiles_per_dimension``, ``num_tilings`` and ``hash_size``.

    Example:
        >>> describe_features(OneHot(16))
        {'type': 'OneHot', 'num_features': 16, 'n': 16, 'start': 0}
    """
    description: dict[str, Any] = {
        "type": type(features).__name__,
        "num_features": int(features.num_features),
    }
    if isinstance(features, OneHot):
        description.update(n=features.n, start=features.start)
        return description
    coder = features.coder if isinstance(features, Flattened) else features
    for name in ("lows", "highs", "tiles_per_dimension", "num_tilings", "hash_size"):
        if hasattr(coder, name):
            description[name] = getattr(coder, name)
    return description


def time_limit(env: Any) -> int | None:
    """The episode step limit of `env`'s ``TimeLimit`` wrapper, None without one.

    Args:
        env: A Gymnasium environment, wrapped or not.

    Returns:
        The step limit of the outermost layer that has one, or None.

    Example:
        >>> import gymnasium as gym
        >>> time_limit(gym.make("CartPole-v1", max_episode_steps=50))
        50
    """
    for layer in env_state.layers(env):
        if hasattr(layer, "_max_episode_steps"):
            return int(layer._max_episode_steps)
    return None


def wrapper_names(env: Any) -> list[str]:
    """The classes of `env`'s layers, outermost first, each named with its module.

    Args:
        env: An environment or vector environment, wrapped or not.

    Returns:
        ``module.QualifiedName`` of each layer (``velto_kit.state.env_state.layers``).

    Example:
        >>> import gymnasium as gym
        >>> wrapper_names(gym.make("CartPole-v1"))[0]
        'gymnasium.wrappers.common.TimeLimit'
    """
    return [
        f"{type(layer).__module__}.{type(layer).__qualname__}" for layer in env_state.layers(env)
    ]


def sub_environments(envs: Any) -> list[Any] | None:
    """The sub-environments a vector environment holds in this process, None where it holds none.

    Args:
        envs: A vector environment (Gymnasium's synchronous one keeps its ``envs``), or any
            other environment.

    Returns:
        The sub-environments of the first layer that holds a list of them, or None.

    Example:
        >>> import gymnasium as gym
        >>> envs = gym.make_vec("FrozenLake-v1", 2, vectorization_mode="sync")
        >>> len(sub_environments(envs))
        2
    """
    for layer in env_state.layers(envs):
        subs = vars(layer).get("envs") if hasattr(layer, "__dict__") else None
        if isinstance(subs, list) and subs and all(hasattr(sub, "step") for sub in subs):
            return subs
    return None


def vector_time_limit(envs: Any) -> int | list[int | None] | None:
    """The time limit of every sub-environment of `envs`, or the vector environment's own.

    Args:
        envs: A vector environment.

    Returns:
        One limit per sub-environment where they are single environments (``time_limit``),
        else the ``max_episode_steps`` of the first layer that has one (a vectorised task),
        else what each sub-environment of another process reports, else None.

    Example:
        >>> import gymnasium as gym
        >>> envs = gym.make_vec("FrozenLake-v1", 2, vectorization_mode="sync", max_episode_steps=9)
        >>> vector_time_limit(envs)
        [9, 9]
    """
    subs = sub_environments(envs)
    if subs is not None:
        return [time_limit(sub) for sub in subs]
    for layer in env_state.layers(envs):
        limit = vars(layer).get("max_episode_steps") if hasattr(layer, "__dict__") else None
        if isinstance(limit, int | np.integer) and not isinstance(limit, bool):
            return int(limit)
    get_attr = getattr(envs, "get_attr", None)
    if get_attr is not None:
        try:
            return [None if v is None else int(v) for v in get_attr("_max_episode_steps")]
        except Exception:  # noqa: BLE001 - a sub-environment without a limit: none recorded
            return None
    return None


# gym.make's keywords that are not the task's own: how it is drawn, and what the description
# records under keys of its own (the time limit, a vector environment's size and kind).
_NOT_TASK_OPTIONS = frozenset(
    {"render_mode", "max_episode_steps", "num_envs", "vectorization_mode", "vector_kwargs",
     "wrappers"}
)  # fmt: skip


def _constructor_defaults(entry_point: Any) -> dict[str, Any]:
    """The keyword defaults of a registered entry point (a class, a function or "module:name")."""
    from gymnasium.envs.registration import load_env_creator

    try:
        creator = load_env_creator(entry_point) if isinstance(entry_point, str) else entry_point
        parameters = inspect.signature(creator).parameters.values()
    except (ImportError, AttributeError, TypeError, ValueError):
        return {}
    named = (inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.KEYWORD_ONLY)
    return {p.name: p.default for p in parameters if p.kind in named and p.default is not p.empty}


def registered_options(registration: Any) -> dict[str, Any] | None:
    """The options a Gymnasium registration makes its task with: its keywords over the defaults.

    An option left at its default and the same option given explicitly are the same task, so
    each keyword the task's constructor has a default for is filled in. ``render_mode``, the
    time limit and a vector environment's own keywords are not among them.

    Args:
        registration: The task's ``EnvSpec`` (``env.spec``), or None.

    Returns:
        The options by name, or None without a registration.

    Example:
        >>> import gymnasium as gym
        >>> registered_options(gym.make("MountainCar-v0", goal_velocity=0.01).spec)
        {'goal_velocity': 0.01}
    """
    if registration is None:
        return None
    options = _constructor_defaults(registration.entry_point)
    options.update(registration.kwargs or {})
    return {name: value for name, value in options.items() if name not in _NOT_TASK_OPTIONS}


def task_options(env: Any) -> dict[str, Any] | list[dict[str, Any] | None] | None:
    """The options `env`'s task was made with (``registered_options``), for a run's description.

    Args:
        env: An environment or vector environment. One that says its options itself (a
            ``task_options`` attribute, as EnvPool's pool does) is taken at its word.

    Returns:
        The options of a single environment or of a vector environment's registration; one
        entry per sub-environment where the vector environment has none (a ``SyncVectorEnv`` or
        ``AsyncVectorEnv`` made from factories); None where nothing says.

    Example:
        >>> import gymnasium as gym
        >>> envs = gym.make_vec("FrozenLake-v1", 2, vectorization_mode="sync", is_slippery=False)
        >>> [options["is_slippery"] for options in task_options(envs)]
        [False, False]
    """
    own = vars(env).get("task_options") if hasattr(env, "__dict__") else None
    if isinstance(own, dict):
        return dict(own)
    if not hasattr(env, "num_envs"):
        return registered_options(getattr(env, "spec", None))
    subs = sub_environments(env)
    if subs is not None:
        return [registered_options(getattr(sub, "spec", None)) for sub in subs]
    registration = getattr(env, "spec", None)
    if registration is not None:
        return registered_options(registration)
    get_attr = getattr(env, "get_attr", None)
    if get_attr is not None:
        try:
            return [registered_options(each) for each in get_attr("spec")]
        except Exception:  # noqa: BLE001 - sub-environments that cannot say: none recorded
            return None
    return None


def _plain_option(value: Any) -> Any:
    """An option JSON cannot hold as it is: a NumPy value as Python's, anything else by its repr.

    A run with an option described by its repr resumes only where the repr is the same.
    """
    if isinstance(value, np.generic | np.ndarray):
        return value.tolist()
    return repr(value)


def describe_run(
    env: Any,
    features: Any,
    mapping: ActionMapping,
    *,
    gamma: float,
    seed: int | None,
    start_episode: int,
    settings: Mapping[str, Any] | None,
) -> dict[str, Any]:
    """What makes a run the run it is, as plain data: a resumed run must have the same.

    Args:
        env: The run's environment: its id, task options (``task_options``), time limit and
            wrapper classes are described; of a vector environment also every
            sub-environment's time limit, id and wrapper classes where they are in this process.
        features: The run's feature map (``describe_features``).
        mapping: The run's action mapping: its name and counts are described.
        gamma: The run's discount.
        seed: The run's seed.
        start_episode: The number of the run's first episode.
        settings: Further plain data of the caller's (e.g. the agent's settings).

    Returns:
        The description as JSON gives it back (tuples as lists), with the versions of the
        packages the run uses under ``versions``.

    Raises:
        TypeError: `settings` or the features' settings are not plain data JSON can hold.
    """
    spec = getattr(env, "spec", None)
    vector = hasattr(env, "num_envs")
    description = {
        "env_id": None if spec is None else spec.id,
        "task_options": json.loads(json.dumps(task_options(env), default=_plain_option)),
        "time_limit": vector_time_limit(env) if vector else time_limit(env),
        "wrappers": wrapper_names(env),
        "features": describe_features(features),
        "mapping": {
            "name": mapping.name,
            "num_actions": mapping.num_actions,
            "num_units": mapping.num_units,
        },
        "gamma": float(gamma),
        "seed": seed,
        "start_episode": start_episode,
        "settings": dict(settings or {}),
    }
    subs = sub_environments(env) if vector else None
    if subs is not None:
        description["sub_environments"] = [
            {"env_id": getattr(getattr(sub, "spec", None), "id", None),
             "wrappers": wrapper_names(sub)}
            for sub in subs
        ]  # fmt: skip
    # As the manifest will hold it (tuples as lists), so that comparisons are like for like.
    plain: dict[str, Any] = json.loads(json.dumps(description))
    plain["versions"] = {
        "velto_actor_critic": _version("velto_actor_critic"),
        "gymnasium": _version("gymnasium"),
        "numpy": _version("numpy"),
        "python": platform.python_version(),
    }
    return plain


def check_same_run(stored: dict[str, Any], current: dict[str, Any]) -> None:
    """Checks that a resumed run is the run its checkpoint was written by.

    Other package versions only warn: the same versions give the same bits, others may not.

    Args:
        stored: The description in the checkpoint (``describe_run``).
        current: The description of the run that resumes from it.

    A checkpoint written before task options were described has no ``task_options``: it
    resumes with this run's options, with a warning naming them where the task has any, since
    nothing in it can show they are the options it was made with.

    Raises:
        ValueError: The descriptions differ in anything but ``versions``, the message naming
            the key and both values.
    """
    if "task_options" not in stored and "task_options" in current:
        stored = {**stored, "task_options": _unrecorded_options(current["task_options"])}
    for key in sorted(set(stored) | set(current)):
        if key == "versions":
            continue
        if key == "wrappers" and _same_classes(stored.get(key), current.get(key)):
            continue
        if stored.get(key) != current.get(key):
            raise ValueError(
                f"the run checkpoint has {key} = {stored.get(key)!r}, this run {current.get(key)!r}"
            )
    if stored.get("versions") != current.get("versions"):
        warnings.warn(
            f"the run checkpoint was written with {stored.get('versions')}, this run has"
            f" {current.get('versions')}: results may differ from an uninterrupted run",
            stacklevel=3,
        )


def _unrecorded_options(current: Any) -> Any:
    """The task options of a checkpoint that does not record them: taken to be `current`.

    Where this run's task has options, that cannot be checked, and a warning says so.
    """
    entries = current if isinstance(current, list) else [current]
    if any(entry for entry in entries):
        warnings.warn(
            "the run checkpoint does not record its task's options (it was written before runs"
            f" recorded them); this run has task_options = {current!r} and the resume takes"
            " them to be the checkpoint's. If its run was made with other options, stop and"
            " resume with those",
            stacklevel=4,
        )
    return current


def _same_classes(stored: Any, current: Any) -> bool:
    """Whether two wrapper stacks name the same classes, layer by layer.

    Checkpoints written before the classes were recorded with their modules hold the qualified
    names alone; each of those matches a class of that name in any module.
    """
    if not isinstance(stored, list) or not isinstance(current, list):
        return False
    if len(stored) != len(current):
        return False
    return all(
        isinstance(old, str) and (old == new or new.endswith("." + old))
        for old, new in zip(stored, current, strict=True)
    )


class TrainingRun:
    """Trains `agent` on `env`, episode after episode, and can be checkpointed between them.

    Fresh (``resume=None``), the environment is reset with `seed` and the mapping draws from
    `rng` (default ``numpy.random.default_rng(seed)``). With ``resume=run_state`` (from
    ``velto_kit.latest_run``), `agent` must be ``run_state.agent``; the environment, the
    generator, the pending actions and the counters are set from it, and a description of the
    run that differs from the checkpoint's raises ValueError.

    Attributes:
        start_episode: The number of the run's first episode.
        next_episode: The number of the episode ``episodes`` plays next.
        returns: The returns of the run's episodes so far.
        lengths: The lengths of the run's episodes so far.
        steps: The environment steps of the run so far.
        seconds: The run's wall time so far (since the resume for a resumed run).
        diverged: The critic's weights or value stopped being finite (``critic_diverged``),
            checked after every episode; warned once, and flagged on every later result.
        description: What makes the run the run it is (``describe_run``).

    Example:
        >>> import gymnasium as gym
        >>> from velto_kit import AgentSettings, action_mapping, features_for, make_agent
        >>> env = gym.make("CartPole-v1")
        >>> coder, mapping = features_for(env), action_mapping("binary", 2)
        >>> agent = make_agent(coder.num_features, 1, AgentSettings(), seed=0)
        >>> run = TrainingRun(env, agent, coder, mapping, gamma=0.99, seed=0)
        >>> [result.episode for result in run.episodes(2)], run.state().next_episode
        ([0, 1], 2)
    """

    def __init__(
        self,
        env: Any,
        agent: Any,
        features: Features,
        mapping: ActionMapping,
        *,
        gamma: float,
        seed: int | None = None,
        rng: np.random.Generator | None = None,
        start_episode: int = 0,
        settings: Mapping[str, Any] | None = None,
        resume: RunState | None = None,
    ) -> None:
        """Prepares the run; the environment is reset when the first episode begins.

        Args:
            env: A Gymnasium environment with a ``Discrete(n)`` action space.
            agent: The agent to train; ``resume.agent`` when resuming.
            features: The feature map from observations to the agent's active features.
            mapping: The action mapping from the units the agent takes to `env`'s actions.
            gamma: The discount of every transition that does not end an episode.
            seed: The seed of the environment's resets and of the default `rng`.
            rng: The generator the mapping draws from; when resuming, it is set to the
                checkpoint's generator state.
            start_episode: The number of the run's first episode.
            settings: Plain data stored in the run's description.
            resume: The run checkpoint to continue; None starts afresh. Nothing is unpickled
                here: ``velto_kit.load_run`` and ``latest_run`` unpickle an environment state
                only when called with ``trust_pickles=True``, for a folder you trust.

        Raises:
            ValueError: The mapping, features and agent do not fit `env`, or, when resuming,
                the run's description differs from the checkpoint's, `agent` is not
                ``resume.agent`` or `env` is not made like the checkpoint's environment.
            TypeError: `settings` is not plain data JSON can hold.
        """
        check_run_inputs(env, agent, features, mapping)
        self.env, self.agent, self.features, self.mapping = env, agent, features, mapping
        self.gamma, self.seed = float(gamma), seed
        self.description = describe_run(
            env, features, mapping, gamma=gamma, seed=seed, start_episode=start_episode,
            settings=settings,
        )  # fmt: skip
        self._warned = False
        self.diverged = False
        self.taken: list[int] | None = None
        if resume is None:
            self.start_episode = self.next_episode = start_episode
            self.rng = np.random.default_rng(seed) if rng is None else rng
            self.returns: list[float] = []
            self.lengths: list[int] = []
            self.steps, self.seconds = 0, 0.0
            return
        check_same_run(resume.description, self.description)
        member = resume.members[0] if len(resume.members) == 1 else None
        if member is None or agent is not member.agent:
            raise ValueError("a resumed run continues the checkpoint's agent: pass resume.agent")
        self.start_episode, self.next_episode = resume.start_episode, resume.next_episode
        self.rng = member.rng
        if rng is not None:
            rng.bit_generator.state = member.rng.bit_generator.state
            self.rng = rng
        self.returns, self.lengths = list(member.returns), list(member.lengths)
        self.steps, self.seconds = member.steps, resume.seconds
        if member.env is None:
            warnings.warn(
                "the run checkpoint holds no environment state: the run goes on from a fresh"
                " episode, and differs from an uninterrupted run from here on",
                stacklevel=2,
            )
        else:
            env_state.restore(env, *member.env)
            self.taken = list(member.taken)

    def _begin(self) -> list[int]:
        """Shows the agent the first state and returns the units it takes there.

        A fresh agent gets discount 0; a resumed one (it last saw another episode's first
        state) the usual gamma.
        """
        episodes_done = self.next_episode - self.start_episode
        seed = None if self.seed is None else resume_seed(self.seed, episodes_done)
        observation, _ = self.env.reset(seed=seed)
        fresh = self.next_episode == 0
        return self.agent.step(
            self.features.active_features(observation), 0.0, 0.0 if fresh else self.gamma
        )

    def episodes(self, count: int) -> Iterator[EpisodeResult]:
        """Runs `count` more episodes, yielding each one's result as it ends.

        Between two results the run may be checkpointed (``state``).

        Args:
            count: The number of episodes; 0 or less runs none (a run that has not begun
                still shows the agent its first state once iterated).

        Yields:
            Each episode's result; ``steps`` and ``seconds`` add up over the run.
        """
        active = self.features.active_features
        choose = env_choice(self.env, self.mapping)
        step, env, rng, gamma = self.agent.step, self.env, self.rng, self.gamma
        started = time.perf_counter()
        taken = self._begin() if self.taken is None else self.taken
        for episode in range(self.next_episode, self.next_episode + count):
            episode_return = 0.0
            length = 0
            while True:
                observation, reward, terminated, truncated, _ = env.step(choose(taken, rng))
                length += 1
                episode_return += float(reward)
                if terminated:
                    observation, _ = env.reset()
                    taken = step(active(observation), float(reward), 0.0)
                    break
                if truncated:
                    step(active(observation), float(reward), gamma)
                    observation, _ = env.reset()
                    taken = step(active(observation), 0.0, gamma)
                    break
                taken = step(active(observation), float(reward), gamma)
            self.taken = taken
            self.next_episode = episode + 1
            self.returns.append(episode_return)
            self.lengths.append(length)
            self.steps += length
            self.seconds += time.perf_counter() - started
            if not self.diverged and critic_diverged(self.agent, active(observation)):
                self.diverged = True
                diverged_warning(
                    f"the critic's weights or value are not finite in episode {episode}"
                )
            yield EpisodeResult(
                episode, episode_return, length, self.steps, self.seconds, diverged=self.diverged
            )
            started = time.perf_counter()

    def state(self) -> RunState:
        """The run as it stands between two episodes, for ``velto_kit.save_run``.

        An environment whose state cannot be captured is left out, with a warning (once): a run
        resumed from this state then starts a fresh episode.

        Returns:
            A state of one member, sharing the agent (not a copy) and holding copies of the
            generator and the counters.

        Raises:
            ValueError: The run has not begun (no episode has been started).
        """
        if self.taken is None:
            raise ValueError("the run has not begun: there is no state to checkpoint yet")
        captured = None
        try:
            captured = env_state.capture(self.env)
        except env_state.EnvStateError as error:
            if not self._warned:
                warnings.warn(f"{error}; a resumed run will start a fresh episode", stacklevel=2)
                self._warned = True
        member = MemberState(
            self.agent, list(self.taken), copy.deepcopy(self.rng), captured,
            list(self.returns), list(self.lengths), self.steps,
        )  # fmt: skip
        return RunState(
            self.description, self.start_episode, self.next_episode, self.seconds, [member]
        )
