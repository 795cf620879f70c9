"""Running agents on tasks: features of observations (``TileCoder``, ``OneHot``,
``features_for``), mappings from the agent's units onto actions (``action_mapping``), the agent's
settings (``AgentSettings``, ``make_agent``) and the loops (``run_episodes``, ``evaluate``,
``run_random``) and ``Population``, many agents stepped in one call."""

from velto_kit._native import TileCoder
from velto_kit.experiments.actions import MAPPINGS, ActionMapping, action_mapping, default_mapping
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
from velto_kit.experiments.settings import AgentSettings, make_agent

__all__ = [
    "MAPPINGS",
    "OBSERVATION_BOUNDS",
    "ActionMapping",
    "AgentSettings",
    "EpisodeResult",
    "OneHot",
    "Population",
    "TileCoder",
    "action_mapping",
    "checkpoint_path",
    "default_mapping",
    "evaluate",
    "features_for",
    "make_agent",
    "random_returns",
    "run_episodes",
    "run_random",
]
