"""velto_kit: everything around a ``velto_actor_critic.VeltoActorCritic`` agent."""

from velto_kit import _native  # noqa: F401  (registers nothing yet; see the submodules)

__all__: list[str] = []
