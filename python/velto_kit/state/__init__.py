"""An agent's state: checkpoints, copies and pickles, a look inside, evaluation, run checkpoints.

Checkpoints (``save``/``load``, ``dumps``/``loads``), copies and pickles, a look inside
(``inspect``), what the agent gives for a state without learning (``value``,
``action_probabilities``), and run checkpoints: everything a run needs to continue exactly
(``save_run``, ``load_run``, ``latest_run``, ``run_checkpoints``).
"""

from velto_kit.state.checkpoint import CheckpointError, dumps, load, loads, save
from velto_kit.state.evaluation import action_probabilities, value
from velto_kit.state.inspection import AgentState, CriticState, LearnerState, UnitState, inspect
from velto_kit.state.run_state import (
    MemberState,
    RunState,
    latest_run,
    load_run,
    run_checkpoints,
    save_run,
)

__all__ = [
    "MemberState",
    "RunState",
    "latest_run",
    "load_run",
    "run_checkpoints",
    "save_run",
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
