"""Running agents on tasks: features, actions, settings, loops and populations.

Features of observations (``TileCoder``, ``OneHot``, ``features_for``), mappings from the agent's
units onto actions (``action_mapping``), the agent's settings (``AgentSettings``, ``make_agent``)
and the loops (``run_episodes``, ``evaluate``, ``run_random``, ``run_prediction`` over a stream
of transitions), ``Population`` (many agents stepped
in one call) and ``run_population`` on a vector environment (``make_vector_env``).
"""

from velto_kit._native import TileCoder
from velto_kit.experiments.actions import MAPPINGS, ActionMapping, action_mapping, default_mapping
from velto_kit.experiments.environments import env_spec, make_env
from velto_kit.experiments.episode_log import read_returns
from velto_kit.experiments.features import OBSERVATION_BOUNDS, OneHot, features_for
from velto_kit.experiments.loop import (
    EpisodeResult,
    checkpoint_path,
    evaluate,
    random_returns,
    run_episodes,
    run_random,
)
from velto_kit.experiments.population import Population
from velto_kit.experiments.population_loop import (
    MemberResult,
    member_checkpoint_path,
    run_population,
)
from velto_kit.experiments.prediction import PredictionProgress, PredictionResult, run_prediction
from velto_kit.experiments.settings import AgentSettings, make_agent
from velto_kit.experiments.vector_envs import make_vector_env

__all__ = [
    "read_returns",
    "MAPPINGS",
    "OBSERVATION_BOUNDS",
    "ActionMapping",
    "AgentSettings",
    "EpisodeResult",
    "MemberResult",
    "OneHot",
    "Population",
    "PredictionProgress",
    "PredictionResult",
    "TileCoder",
    "action_mapping",
    "checkpoint_path",
    "default_mapping",
    "env_spec",
    "evaluate",
    "features_for",
    "make_agent",
    "make_env",
    "make_vector_env",
    "member_checkpoint_path",
    "random_returns",
    "run_episodes",
    "run_population",
    "run_prediction",
    "run_random",
]
