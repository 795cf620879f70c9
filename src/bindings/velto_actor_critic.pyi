"""Python bindings for Velto Actor-Critic algorithm"""

import collections.abc
import typing

class VeltoActorCritic:
    def __init__(
        self,
        num_features: typing.SupportsInt | typing.SupportsIndex,
        num_actions: typing.SupportsInt | typing.SupportsIndex,
        lambda_: typing.SupportsFloat | typing.SupportsIndex,
        alpha: typing.SupportsFloat | typing.SupportsIndex,
        epsilon: typing.SupportsFloat | typing.SupportsIndex,
        meta_step_size: typing.SupportsFloat | typing.SupportsIndex,
        eta: typing.SupportsFloat | typing.SupportsIndex,
        eta_actor: typing.SupportsFloat | typing.SupportsIndex,
        decay: typing.SupportsFloat | typing.SupportsIndex,
        action_prob_at_init: typing.SupportsFloat | typing.SupportsIndex,
        seed: typing.SupportsInt | typing.SupportsIndex,
    ) -> None: ...
    def step(
        self,
        feature_indices: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex],
        reward: typing.SupportsFloat | typing.SupportsIndex,
        gamma: typing.SupportsFloat | typing.SupportsIndex,
    ) -> list[int]: ...
