"""velto_kit: everything around a ``velto_actor_critic.VeltoActorCritic`` agent.

- ``save``/``load`` and ``dumps``/``loads``: checkpoints that resume exactly;
- importing this package registers the agent class with ``copyreg``, so that ``pickle``,
  ``copy.copy`` and ``copy.deepcopy`` work on agents;
- ``inspect``: every member of the critic and of each actor unit, by name;
- ``value`` and ``action_probabilities``: what the agent gives for a state, without learning;
- features for observations (``TileCoder``, ``OneHot``, ``features_for``), mappings from the
  agent's units onto ``Discrete(n)`` actions (``action_mapping``), the agent's settings
  (``AgentSettings``, ``make_agent``) and the loop that runs an agent on a Gymnasium environment
  (``run_episodes``, ``evaluate``, ``run_random``), and environments by id, module-qualified
  ones included (``make_env``, ``env_spec``).
"""

from importlib.metadata import version

from velto_kit import pickling as _pickling
from velto_kit._native import TileCoder
from velto_kit.actions import MAPPINGS, ActionMapping, action_mapping, default_mapping
from velto_kit.checkpoint import CheckpointError, dumps, load, loads, save
from velto_kit.environments import env_spec, make_env
from velto_kit.evaluation import action_probabilities, value
from velto_kit.features import OBSERVATION_BOUNDS, OneHot, features_for
from velto_kit.inspection import AgentState, CriticState, LearnerState, UnitState, inspect
from velto_kit.loop import (
    EpisodeResult,
    checkpoint_path,
    evaluate,
    random_returns,
    run_episodes,
    run_random,
)
from velto_kit.settings import AgentSettings, make_agent

_pickling.register()

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
    "OneHot",
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
    "load",
    "loads",
    "make_agent",
    "make_env",
    "random_returns",
    "run_episodes",
    "run_random",
    "save",
    "value",
]
