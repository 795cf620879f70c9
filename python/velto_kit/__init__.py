"""velto_kit: everything around a ``velto_actor_critic.VeltoActorCritic`` agent.

Its names are grouped by what they are for, and every one is importable from ``velto_kit``
itself:

- ``velto_kit.state``: ``save``/``load`` and ``dumps``/``loads`` (checkpoints that resume
  exactly), run checkpoints that resume a whole run (``save_run``, ``load_run``, ``latest_run``),
  ``inspect`` (every member of the critic and of each actor unit, by name), ``value``
  and ``action_probabilities`` (what the agent gives for a state, without learning); importing
  velto_kit registers the agent class with ``copyreg``, so that ``pickle``, ``copy.copy`` and
  ``copy.deepcopy`` work on agents;
- ``velto_kit.experiments``: features for observations (``TileCoder``, ``OneHot``,
  ``features_for``), mappings from the agent's units onto ``Discrete(n)`` actions
  (``action_mapping``), the agent's settings (``AgentSettings``, ``make_agent``) and the loop that
  runs an agent on a Gymnasium environment (``run_episodes``, ``evaluate``, ``run_random``), the
  loop that runs one over a stream of transitions (``run_prediction``), made
  by id, module-qualified ids included (``make_env``, ``env_spec``);
  ``Population``: many agents stepped once each in one call, on native threads if asked, with the
  same bits as stepping them one at a time, and ``run_population``, which runs one on a vector
  environment (``make_vector_env``);
- ``velto_kit.presets``: the tuned settings per task that the full evidence study chose
  (``presets.for_task``);
- ``velto_kit.sweeps``: sweeps over settings, seeds and tasks on Ray Tune and the SARSA(lambda)
  baseline.
"""

from importlib.metadata import version

from velto_kit import _moved, presets
from velto_kit.experiments import (
    MAPPINGS,
    OBSERVATION_BOUNDS,
    ActionMapping,
    AgentSettings,
    EpisodeResult,
    MemberResult,
    OneHot,
    Population,
    PredictionProgress,
    PredictionResult,
    TileCoder,
    action_mapping,
    checkpoint_path,
    default_mapping,
    env_spec,
    evaluate,
    features_for,
    make_agent,
    make_env,
    make_vector_env,
    member_checkpoint_path,
    random_returns,
    read_returns,
    run_episodes,
    run_population,
    run_prediction,
    run_random,
)
from velto_kit.state import (
    AgentState,
    CheckpointError,
    CriticState,
    LearnerState,
    MemberState,
    RunState,
    UnitState,
    action_probabilities,
    dumps,
    inspect,
    latest_run,
    load,
    load_run,
    loads,
    run_checkpoints,
    save,
    save_run,
    value,
)
from velto_kit.state import pickling as _pickling

_pickling.register()
_moved.install()

# The distribution's version, written once in pyproject.toml.
__version__ = version("velto_actor_critic")

__all__ = [
    "MAPPINGS",
    "OBSERVATION_BOUNDS",
    "ActionMapping",
    "AgentSettings",
    "AgentState",
    "CheckpointError",
    "CriticState",
    "EpisodeResult",
    "LearnerState",
    "MemberResult",
    "MemberState",
    "OneHot",
    "Population",
    "PredictionProgress",
    "PredictionResult",
    "RunState",
    "TileCoder",
    "UnitState",
    "action_mapping",
    "action_probabilities",
    "checkpoint_path",
    "default_mapping",
    "dumps",
    "env_spec",
    "evaluate",
    "features_for",
    "inspect",
    "latest_run",
    "load",
    "load_run",
    "loads",
    "make_agent",
    "make_env",
    "make_vector_env",
    "member_checkpoint_path",
    "presets",
    "random_returns",
    "read_returns",
    "run_checkpoints",
    "run_episodes",
    "run_population",
    "run_prediction",
    "run_random",
    "save",
    "save_run",
    "value",
]
