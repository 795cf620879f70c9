"""Maps the agent's independent yes/no action units onto a Gymnasium discrete action.

Two environment actions (push left, push right) need one unit: taken pushes right (action 1), not
taken pushes left (action 0). Three actions (push one way, no push, push the other way) need two
units: unit 0 pushes towards action 0 and unit 1 towards action 2; exactly one taken pushes that
way, none or both taken means no push (action 1).
"""

from collections.abc import Sequence

UNITS_FOR_ACTIONS = {2: 1, 3: 2}


def units_for(num_env_actions: int) -> int:
    """Number of agent units that drive an environment with `num_env_actions` discrete actions."""
    try:
        return UNITS_FOR_ACTIONS[num_env_actions]
    except KeyError:
        raise ValueError(
            f"only environments with 2 or 3 discrete actions are supported, not {num_env_actions}"
        ) from None


def env_action(taken: Sequence[int], num_env_actions: int) -> int:
    """The environment action for the agent's list of taken unit indices."""
    units = units_for(num_env_actions)
    if any(unit < 0 or unit >= units for unit in taken):
        raise ValueError(f"unit indices {list(taken)} outside [0, {units})")
    if num_env_actions == 2:
        return 1 if 0 in taken else 0
    pushes_low = 0 in taken
    pushes_high = 1 in taken
    if pushes_low == pushes_high:
        return 1
    return 0 if pushes_low else 2
