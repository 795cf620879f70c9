"""The example's second figure: a look inside a trained agent through velto_kit.inspect.

Left, how the critic's learned step sizes are spread over the features that were visited (every
feature that entered a trace at least once), at a few points of training: the step sizes start
equal (``alpha``) and are learned per feature, which is the reason to choose this learner. Right,
the critic's learned value (velto_kit.value) over two dimensions of the observation, the others
held at the middle of their range; over the one dimension of a one-dimensional Box observation.

``velto train`` draws it for its first seed (``--inspect-plot``); it trains that seed once more
here, in this process, with the same settings and on the same backend, so the run is the one the
learning curve shows.
"""

import math
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

import velto_kit


@dataclass(frozen=True)
class Snapshot:
    """The critic's step sizes over its visited features after `episode` episodes."""

    episode: int
    steps: int
    step_sizes: np.ndarray


def snapshot_episodes(episodes: int) -> list[int]:
    """A few points of training, from early to the end (episode counts, 1-based)."""
    return sorted({max(1, round(episodes * share)) for share in (0.02, 0.1, 0.3, 1.0)})


def critic_snapshot(agent: Any, episode: int, steps: int) -> Snapshot:
    """The critic's step sizes over its visited features, now."""
    critic = velto_kit.inspect(agent).critic
    # entry_step holds the step size a feature got at its latest entry: zero only for features
    # that never entered a trace.
    visited = critic.entry_step != 0
    return Snapshot(episode, steps, critic.step_sizes[visited])


def train_with_snapshots(
    env: Any,
    agent: Any,
    features: Any,
    mapping: Any,
    *,
    episodes: int,
    gamma: float,
    seed: int,
    native_options: dict[str, Any] | None = None,
) -> list[Snapshot]:
    """Trains `agent` as run_episodes does, taking the snapshots.

    Trains `agent` as run_episodes(env, ..., seed=seed) does, taking the snapshots; with
    `native_options` (the task's keyword arguments) as a native run of the same task, which
    gives the same agent where the task is exact natively.
    """
    if native_options is not None:
        return native_snapshots(
            env.spec.id, native_options, agent, features, mapping,
            episodes=episodes, gamma=gamma, seed=seed,
        )  # fmt: skip
    marks = set(snapshot_episodes(episodes))
    snapshots = []
    for result in velto_kit.run_episodes(
        env, agent, features, mapping, episodes=episodes, gamma=gamma, seed=seed
    ):
        if result.episode + 1 in marks:
            snapshots.append(critic_snapshot(agent, result.episode + 1, result.steps))
    return snapshots


def native_snapshots(
    env_id: str,
    options: dict[str, Any],
    agent: Any,
    features: Any,
    mapping: Any,
    *,
    episodes: int,
    gamma: float,
    seed: int,
) -> list[Snapshot]:
    """train_with_snapshots in a native run of one agent.

    Its units of work end at multiples of the snapshots' common divisor, and the agent is handed
    back to Python only at a unit's end, so each snapshot must be the last episode of its hand-over.
    """
    from velto_kit.experiments.native_loop import NativeRunLoop

    marks = snapshot_episodes(episodes)
    loop = NativeRunLoop(
        env_id, options, [agent], features, mapping, gamma=gamma, seed=seed,
        rngs=[np.random.default_rng(seed)], starts=[0], ends=[episodes], mode="learn",
        threads=1, checkpoint_every=math.gcd(*marks),
    )  # fmt: skip
    snapshots = []
    for batch in loop.batches():
        for _, episode, _, _, steps in batch:
            if episode + 1 not in marks:
                continue
            if batch[-1][1] != episode:
                raise RuntimeError(f"the native run handed agent over past episode {episode + 1}")
            snapshots.append(critic_snapshot(agent, episode + 1, steps))
    return snapshots


# The critic's value over the observation: (xs, values) along the one dimension of a
# one-dimensional Box, (xs, ys, values) on a grid over two dimensions of a larger one.
Curve = tuple[np.ndarray, np.ndarray]
Surface = tuple[np.ndarray, np.ndarray, np.ndarray]


def value_curve(agent: Any, features: Any, size: int = 161) -> Curve:
    """The critic's value along the one dimension of a tile-coded one-dimensional observation."""
    xs = np.linspace(features.lows[0], features.highs[0], size)
    values = np.array(
        [velto_kit.value(agent, features.active_features(np.array([x]))) for x in xs],
        dtype=np.float32,
    )
    return xs, values


def value_view(
    agent: Any, features: Any, dims: tuple[int, int], size: int = 81
) -> Curve | Surface | None:
    """What the figure's right panel shows of the critic's value.

    A curve for a tile-coded one-dimensional Box observation, a surface over `dims` for a larger
    one, None for other feature maps (no box to span).
    """
    if not isinstance(features, velto_kit.TileCoder):
        return None
    if features.num_dimensions == 1:
        return value_curve(agent, features)
    return value_surface(agent, features, dims, size)


def value_surface(agent: Any, features: Any, dims: tuple[int, int], size: int = 81) -> Surface:
    """The critic's value on a grid over two observation dimensions.

    The critic's value on a grid over two observation dimensions of a tile-coded Box
    observation, the other dimensions at the middle of their range.
    """
    lows, highs = np.array(features.lows), np.array(features.highs)
    xs = np.linspace(lows[dims[0]], highs[dims[0]], size)
    ys = np.linspace(lows[dims[1]], highs[dims[1]], size)
    observation = (lows + highs) / 2
    values = np.empty((size, size), dtype=np.float32)
    for row, y in enumerate(ys):
        for column, x in enumerate(xs):
            observation[dims[0]], observation[dims[1]] = x, y
            values[row, column] = velto_kit.value(agent, features.active_features(observation))
    return xs, ys, values


def plot(
    snapshots: Sequence[Snapshot],
    surface: Curve | Surface | None,
    *,
    title: str,
    alpha: float | None,
    dim_names: tuple[str, ...],
    path: Path,
    labels: Sequence[str] | None = None,
) -> None:
    """Draws the figure.

    The snapshots' step-size histograms (labelled by their episodes, or by `labels`) and the value
    `surface`, with the initial step size `alpha` marked where known.
    """
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (left, right) = plt.subplots(1, 2, figsize=(10.5, 3.9), dpi=100)
    positive = [s.step_sizes[s.step_sizes > 0] for s in snapshots]
    everything = np.concatenate([p for p in positive if p.size] or [np.array([alpha or 1.0])])
    # A few features can be driven down by many orders of magnitude; the axis spans the bulk and
    # the rest is counted in the first bin.
    low = float(np.percentile(everything, 1))
    low = low if alpha is None else min(low, alpha)
    high = max(float(everything.max()), low * 1.01)
    positive = [np.clip(p, low, None) for p in positive]
    bins = np.geomspace(low, high, 60)
    colours = plt.cm.viridis(np.linspace(0.0, 0.85, len(snapshots)))
    if labels is None:
        labels = [f"after {s.episode} episode{'' if s.episode == 1 else 's'}" for s in snapshots]
    for label, sizes, colour in zip(labels, positive, colours, strict=True):
        left.hist(sizes, bins=bins, histtype="step", linewidth=1.6, color=colour,
                  label=f"{label} ({sizes.size} features)")  # fmt: skip
    if alpha is not None:
        left.axvline(alpha, color="grey", linestyle=":", label=f"alpha = {alpha:g} (initial)")
    left.set_xscale("log")
    left.set_xlabel(f"critic step size, exp(log_step_size) (below {low:.1e}: first bin)")
    left.set_ylabel("visited features")
    left.set_title("Learned step sizes of the visited features")
    left.legend(fontsize=8)
    if surface is None:
        right.text(0.5, 0.5, "no tile-coded Box observation", ha="center", va="center")
        right.set_axis_off()
    elif len(surface) == 2:
        xs, values = surface
        right.plot(xs, values, color="black", linewidth=1.4)
        right.set_xlabel(dim_names[0])
        right.set_ylabel("value")
        right.set_title("Learned value over the observation")
    else:
        xs, ys, values = surface
        image = right.pcolormesh(xs, ys, values, shading="nearest", cmap="magma")
        figure.colorbar(image, ax=right, label="value")
        right.set_xlabel(dim_names[0])
        right.set_ylabel(dim_names[1])
        right.set_title("Learned value, other dimensions at mid-range")
    figure.suptitle(title, fontsize=10)
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path)
    plt.close(figure)


# Names of the observation dimensions drawn, where the task is known.
DIMENSIONS = {
    "CartPole-v1": ((2, 3), ("pole angle (rad)", "pole angular velocity")),
    "Acrobot-v1": ((4, 5), ("angular velocity of link 1", "angular velocity of link 2")),
    "MountainCar-v0": ((0, 1), ("position", "velocity")),
}


def write_inspection_figure(
    env: Any,
    features: Any,
    mapping: Any,
    agent_settings: velto_kit.AgentSettings,
    *,
    episodes: int,
    gamma: float,
    seed: int,
    path: Path,
    native_options: dict[str, Any] | None = None,
) -> None:
    """Trains one agent for the figure and writes the figure.

    Trains one agent for the figure (natively with `native_options`, see
    train_with_snapshots) and writes it to `path` (PNG).
    """
    agent = velto_kit.make_agent(features.num_features, mapping.num_units, agent_settings, seed)
    snapshots = train_with_snapshots(
        env, agent, features, mapping, episodes=episodes, gamma=gamma, seed=seed,
        native_options=native_options,
    )  # fmt: skip
    env_id = env.spec.id if env.spec is not None else "the task"
    dims, names = DIMENSIONS.get(env_id, ((0, 1), ("observation[0]", "observation[1]")))
    if isinstance(features, velto_kit.TileCoder) and features.num_dimensions <= max(dims):
        dims, names = (0, 1), ("observation[0]", "observation[1]")
    plot(
        snapshots,
        value_view(agent, features, dims),
        title=f"Inside the agent on {env_id}, seed {seed} (velto_kit.inspect and velto_kit.value)",
        alpha=agent_settings.alpha,
        dim_names=names,
        path=path,
    )
