"""An agent's state: checkpoints, copies and pickles, a look inside, evaluation.

Checkpoints (``save``/``load``, ``dumps``/``loads``), copies and pickles, a look inside
(``inspect``) and what the agent gives for a state without learning (``value``,
``action_probabilities``).
"""

from velto_kit.state.checkpoint import CheckpointError, dumps, load, loads, save
from velto_kit.state.evaluation import action_probabilities, value
from velto_kit.state.inspection import AgentState, CriticState, LearnerState, UnitState, inspect

__all__ = [
    "AgentState",
    "CheckpointError",
    "CriticState",
    "LearnerState",
    "UnitState",
    "action_probabilities",
    "dumps",
    "inspect",
    "load",
    "loads",
    "save",
    "value",
]
