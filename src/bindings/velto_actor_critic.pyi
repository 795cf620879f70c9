"""An online actor-critic learner over sparse binary features, exactly reproducible in binary32."""

import collections.abc
import typing

# Where an int is expected the module takes anything with __index__ (ints, NumPy integers) and
# refuses float; objects that convert only through __int__ (Decimal, Fraction, numpy.float32) are
# truncated at run time, and the stub leaves them out so that mypy flags the truncation. The types
# are written out, not aliased, so that the documentation shows them.

class VeltoActorCritic:
    """One agent: a critic with meta-learned step sizes and one Bernoulli actor unit per action.

    Every argument is required, by position or keyword. Integers are 32-bit signed; floats are
    rounded to binary32. No float is validated: NaN, infinities, zero and negative values flow
    through the arithmetic.

    Args:
        num_features: Number of binary features; valid indices are ``0 .. num_features - 1``.
        num_actions: Number of actions, one actor unit each; 0 or less gives an agent that takes
            no action (its critic still learns).
        lambda_: Trace decay; each step multiplies the traces by ``gamma * lambda_``.
        alpha: Initial step size of every feature, in the critic and the units.
        epsilon: Pruning fraction: a trace that decays to ``epsilon`` times its feature's latest
            entry step leaves the live list. A NaN or negative value prunes nothing.
        meta_step_size: Rate at which the log step sizes are learned; 0 keeps them fixed.
        eta: The critic's step-size budget per state, and cap on any one feature's step size.
        eta_actor: The same budget and cap for each actor unit.
        decay: Factor applied to the step sizes of a state's features when that state exceeds
            the budget.
        action_prob_at_init: Bias of every unit's probability; 1 or more takes the action always,
            0 or less never (until learning moves it).
        seed: Seed of the units' random engines; unit ``i`` uses
            ``(seed + 230290 + 24030 * i) mod 2**32``.

    Raises:
        TypeError: An argument of the wrong kind (a float where an int is expected, an int outside
            32 bits), a missing or an unknown argument.
        ValueError: ``num_features`` is negative ("vector too long").
        MemoryError: The agent is larger than the memory that can be had (physical memory,
            ``MemAvailable``, every enclosing cgroup's limit); checked before allocating.

    Examples:
        >>> agent = VeltoActorCritic(1024, 2, 0.5, 0.1, 0.01, 0.001, 0.5, 0.005, 0.5, 0.5, seed=0)
        >>> VeltoActorCritic(100.0, 2, 0.5, 0.1, 0.01, 0.001, 0.5, 0.005, 0.5, 0.5, seed=0)
        Traceback (most recent call last):
        TypeError: __init__(): incompatible constructor arguments. ...
    """

    def __init__(
        self,
        num_features: typing.SupportsIndex,
        num_actions: typing.SupportsIndex,
        lambda_: typing.SupportsFloat | typing.SupportsIndex,
        alpha: typing.SupportsFloat | typing.SupportsIndex,
        epsilon: typing.SupportsFloat | typing.SupportsIndex,
        meta_step_size: typing.SupportsFloat | typing.SupportsIndex,
        eta: typing.SupportsFloat | typing.SupportsIndex,
        eta_actor: typing.SupportsFloat | typing.SupportsIndex,
        decay: typing.SupportsFloat | typing.SupportsIndex,
        action_prob_at_init: typing.SupportsFloat | typing.SupportsIndex,
        seed: typing.SupportsIndex,
    ) -> None: ...
    def step(
        self,
        feature_indices: collections.abc.Iterable[typing.SupportsIndex],
        reward: typing.SupportsFloat | typing.SupportsIndex,
        gamma: typing.SupportsFloat | typing.SupportsIndex,
    ) -> list[int]:
        """Learns from the transition into a new state and decides the actions taken there.

        Args:
            feature_indices: Active features of the new state: a list, tuple, range, set, NumPy
                integer array, generator or other iterable of ints (not a ``str``, a ``dict`` or
                a plain iterator); repeats count once per occurrence. A NumPy float32 array, as
                Gymnasium's Box observations are, is accepted and each value truncated toward
                zero (``[3.9, 7.2]`` is features 3 and 7): turn observations into features with
                ``velto_kit.features_for`` or a ``velto_kit.TileCoder`` first.
            reward: Reward of the transition into the new state.
            gamma: Discount of this transition; 0 into a terminal state, after which the next
                call starts a new episode.

        Returns:
            A new list of the indices of the actions taken in the new state, ascending, each at
            most once.

        Raises:
            IndexError: A feature index outside ``[0, num_features)``; the agent is unchanged.
            TypeError: An argument of the wrong kind, or an object whose ``__init__`` never ran;
                the agent is unchanged.
            MemoryError: A learner's list could not grow; the work done before stays.

        Examples:
            >>> agent = VeltoActorCritic(1024, 2, 0.5, 0.1, 0.01, 0.001, 0.5, 0.005, 0.5, 0.5, 0)
            >>> agent.step([3, 17, 512], reward=0.0, gamma=0.95)
            [0, 1]
            >>> agent.step({4, 18}, reward=1.0, gamma=0.0)  # into a terminal state
            [0, 1]
        """
