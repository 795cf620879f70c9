"""Sweeps over settings, seeds and tasks on Ray Tune.

What one trial trains (``TrialConfig``), the learners a trial can train (the agent, the
``SarsaLambda`` baseline, a random policy), the Tune trainable (``train_trial``), the sweep driver
(``run_sweep`` and its tables) and the sweep's figure. Ray is imported only when a sweep runs.
"""

from velto_kit.sweeps.baselines import SarsaLambda
from velto_kit.sweeps.sweep import run_sweep
from velto_kit.sweeps.trial_config import TrialConfig
from velto_kit.sweeps.tune import train_trial

__all__ = ["SarsaLambda", "TrialConfig", "run_sweep", "train_trial"]
