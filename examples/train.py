"""Does it learn? Trains one VeltoActorCritic per seed online on a Gymnasium task.

The observation is tile-coded into sparse binary features; every environment step is one agent
step. At the end the program prints, per seed, the mean return of the first and of the last
episodes next to a uniformly random policy on the same environment, and draws the learning curve
over all seeds with their spread shaded.

    python examples/train.py                      # CartPole-v1 with the defaults
    python examples/train.py --episodes 300 --seeds 0 1 --lambda 0.9
"""

import argparse
import multiprocessing
import os
import queue
import statistics
import sys
import time
from collections import deque
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import gymnasium as gym
import numpy as np
from tqdm import tqdm

from action_mapping import env_action, units_for
from tile_coder import TileCoder
from velto_actor_critic import VeltoActorCritic

# Boxes for observations whose space is unbounded: beyond them the tile coder clips. CartPole's
# velocities are unbounded in its space but stay well inside these values in practice.
OBSERVATION_BOUNDS = {
    "CartPole-v1": ([-2.4, -3.0, -0.2095, -3.5], [2.4, 3.0, 0.2095, 3.5]),
}


@dataclass(frozen=True)
class Settings:
    env_id: str
    max_episode_steps: int | None
    episodes: int
    gamma: float
    tiles: int
    tilings: int
    lambda_: float
    alpha: float
    epsilon: float
    meta_step_size: float
    eta: float
    eta_actor: float
    decay: float
    action_prob_at_init: float
    window: int
    random_episodes: int


@dataclass
class SeedResult:
    seed: int
    returns: list[float]
    random_returns: list[float]
    steps: int
    seconds: float


# Called once per finished episode with (seed, episode return).
EpisodeReport = Callable[[int, float], None]


def make_env(settings: Settings) -> gym.Env[Any, Any]:
    if settings.max_episode_steps is None:
        return gym.make(settings.env_id)
    return gym.make(settings.env_id, max_episode_steps=settings.max_episode_steps)


def make_tile_coder(env: gym.Env[Any, Any], settings: Settings) -> TileCoder:
    """A tile coder over the environment's observation box."""
    if settings.env_id in OBSERVATION_BOUNDS:
        lows, highs = OBSERVATION_BOUNDS[settings.env_id]
        return TileCoder(lows, highs, settings.tiles, settings.tilings)
    space = env.observation_space
    if not isinstance(space, gym.spaces.Box) or len(space.shape) != 1:
        raise ValueError(f"{settings.env_id}: needs a one-dimensional Box observation space")
    if not (np.all(np.isfinite(space.low)) and np.all(np.isfinite(space.high))):
        raise ValueError(
            f"{settings.env_id}: unbounded observations; add a box to OBSERVATION_BOUNDS"
        )
    return TileCoder(space.low.tolist(), space.high.tolist(), settings.tiles, settings.tilings)


def num_env_actions(env: gym.Env[Any, Any]) -> int:
    space = env.action_space
    if not isinstance(space, gym.spaces.Discrete):
        raise ValueError("needs a Discrete action space")
    return int(space.n)


def check_environment(settings: Settings) -> None:
    """Fails with ValueError or Gymnasium's error before any training when the environment cannot
    be made, tile-coded or driven by the agent's units."""
    env = make_env(settings)
    units_for(num_env_actions(env))
    make_tile_coder(env, settings)
    env.close()


def make_agent(
    num_features: int, num_units: int, settings: Settings, seed: int
) -> VeltoActorCritic:
    return VeltoActorCritic(
        num_features=num_features,
        num_actions=num_units,
        lambda_=settings.lambda_,
        alpha=settings.alpha,
        epsilon=settings.epsilon,
        meta_step_size=settings.meta_step_size,
        eta=settings.eta,
        eta_actor=settings.eta_actor,
        decay=settings.decay,
        action_prob_at_init=settings.action_prob_at_init,
        seed=seed,
    )


def train_seed(settings: Settings, seed: int, report: EpisodeReport) -> tuple[list[float], int]:
    """Runs `settings.episodes` episodes with one fresh agent; returns their returns and the steps.

    The agent sees one unbroken stream of transitions and has no episode reset, so episode ends
    are expressed through the discount:
    - termination: the transition into the terminal state gets gamma 0 (the terminal state is
      worth nothing), and its feature list is already the next episode's first state; gamma 0
      also clears every trace, so no credit flows across the boundary.
    - truncation (a time limit): the state is not terminal, so, as Gymnasium documents, the last
      transition bootstraps from the value of the final observation with the usual gamma. The
      agent then needs one more call to reach the next episode's first state; that bridging
      transition has reward 0 and the usual gamma, whose error gamma * V(first) - V(final) is
      small once both values are learned, where gamma 0 would fold -V(final) into the weights.
    """
    env = make_env(settings)
    env_actions = num_env_actions(env)
    coder = make_tile_coder(env, settings)
    agent = make_agent(coder.num_features, units_for(env_actions), settings, seed)
    returns: list[float] = []
    steps = 0
    observation, _ = env.reset(seed=seed)
    taken = agent.step(coder.active_features(observation), 0.0, 0.0)
    for _ in range(settings.episodes):
        episode_return = 0.0
        while True:
            observation, reward, terminated, truncated, _ = env.step(env_action(taken, env_actions))
            steps += 1
            episode_return += float(reward)
            if terminated:
                observation, _ = env.reset()
                taken = agent.step(coder.active_features(observation), float(reward), 0.0)
                break
            if truncated:
                agent.step(coder.active_features(observation), float(reward), settings.gamma)
                observation, _ = env.reset()
                taken = agent.step(coder.active_features(observation), 0.0, settings.gamma)
                break
            taken = agent.step(coder.active_features(observation), float(reward), settings.gamma)
        returns.append(episode_return)
        report(seed, episode_return)
    env.close()
    return returns, steps


def random_policy_returns(settings: Settings, episodes: int, seed: int) -> list[float]:
    """Returns of a policy that picks every environment action uniformly at random."""
    env = make_env(settings)
    env.action_space.seed(seed)
    env.reset(seed=seed)
    returns = []
    for _ in range(episodes):
        episode_return = 0.0
        while True:
            _, reward, terminated, truncated, _ = env.step(env.action_space.sample())
            episode_return += float(reward)
            if terminated or truncated:
                break
        returns.append(episode_return)
        env.reset()
    env.close()
    return returns


def run_seed(settings: Settings, seed: int, report: EpisodeReport) -> SeedResult:
    start = time.perf_counter()
    returns, steps = train_seed(settings, seed, report)
    seconds = time.perf_counter() - start
    random_returns = random_policy_returns(settings, settings.random_episodes, seed)
    return SeedResult(seed, returns, random_returns, steps, seconds)


# Worker side of the process pool: episodes are reported through a queue to the progress bar.
_worker_queue: Any = None


def _init_worker(report_queue: Any) -> None:
    global _worker_queue
    _worker_queue = report_queue


def _report_to_queue(seed: int, episode_return: float) -> None:
    _worker_queue.put((seed, episode_return))


def _run_seed_in_worker(arguments: tuple[Settings, int]) -> SeedResult:
    settings, seed = arguments
    return run_seed(settings, seed, _report_to_queue)


def run_all(
    settings: Settings, seeds: Sequence[int], workers: int, show_progress: bool
) -> list[SeedResult]:
    """Runs every seed, `workers` at a time, with one progress bar over all episodes."""
    recent: deque[float] = deque(maxlen=20)
    bar = tqdm(
        total=settings.episodes * len(seeds),
        desc=f"{settings.env_id} x{len(seeds)} seeds",
        unit="ep",
        disable=not show_progress,
        file=sys.stderr,
    )

    def report(_seed: int, episode_return: float) -> None:
        recent.append(episode_return)
        bar.update(1)
        bar.set_postfix(running_return=f"{statistics.fmean(recent):.1f}", refresh=False)

    with bar:
        if workers <= 1:
            return [run_seed(settings, seed, report) for seed in seeds]
        context = multiprocessing.get_context("spawn")
        report_queue = context.Queue()
        with context.Pool(workers, initializer=_init_worker, initargs=(report_queue,)) as pool:
            pending = pool.map_async(_run_seed_in_worker, [(settings, seed) for seed in seeds])
            # A worker's reports can still be in transit when its result is in, so count them;
            # stop early only when a worker failed, whose error pending.get() then raises.
            received = 0
            while received < bar.total:
                try:
                    report(*report_queue.get(timeout=0.2))
                    received += 1
                except queue.Empty:
                    if pending.ready() and not pending.successful():
                        break
            return pending.get()


def summary_table(results: Sequence[SeedResult], window: int) -> str:
    """Mean return of the first and last `window` episodes per seed, against a random policy,
    as a Markdown table followed by the spread over seeds."""
    columns = ["seed", f"first {window}", f"last {window}", "random", "last - random"]
    lines = ["| " + " | ".join(columns + ["steps", "seconds"]) + " |"]
    lines.append("|" + "---:|" * (len(columns) + 2))
    firsts, lasts, randoms = [], [], []
    for result in results:
        firsts.append(statistics.fmean(result.returns[:window]))
        lasts.append(statistics.fmean(result.returns[-window:]))
        randoms.append(statistics.fmean(result.random_returns))
        figures = [firsts[-1], lasts[-1], randoms[-1], lasts[-1] - randoms[-1]]
        cells = [str(result.seed)] + [f"{figure:.1f}" for figure in figures]
        cells += [str(result.steps), f"{result.seconds:.1f}"]
        lines.append("| " + " | ".join(cells) + " |")
    margins = [last - random for last, random in zip(lasts, randoms)]

    def spread(values: list[float]) -> str:
        deviation = statistics.stdev(values) if len(values) > 1 else 0.0
        return f"{statistics.fmean(values):.1f} ± {deviation:.1f}"

    lines.append(
        f"| mean ± sd | {spread(firsts)} | {spread(lasts)} | {spread(randoms)} | {spread(margins)}"
        f" | {sum(result.steps for result in results)} | |"
    )
    lines.append("")
    lines.append(
        f"random: {len(results[0].random_returns)} episodes of a uniformly random policy per seed;"
        f" last - random ranges from {min(margins):.1f} to {max(margins):.1f} over"
        f" {len(results)} seeds"
    )
    return "\n".join(lines)


def moving_average(values: Sequence[float], width: int) -> np.ndarray:
    """Trailing mean over up to `width` episodes, so the curve starts at the first episode."""
    cumulative = np.concatenate([[0.0], np.cumsum(values)])
    ends = np.arange(1, len(values) + 1)
    starts = np.maximum(ends - width, 0)
    return (cumulative[ends] - cumulative[starts]) / (ends - starts)


def plot_learning_curve(
    results: Sequence[SeedResult], settings: Settings, path: Path, smoothing: int
) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    curves = np.array([moving_average(result.returns, smoothing) for result in results])
    episodes = np.arange(1, curves.shape[1] + 1)
    random_mean = statistics.fmean(r for result in results for r in result.random_returns)
    figure, axes = plt.subplots(figsize=(6.4, 3.6), dpi=100)
    axes.fill_between(
        episodes, curves.min(axis=0), curves.max(axis=0), alpha=0.3, label="min-max over seeds"
    )
    axes.plot(episodes, curves.mean(axis=0), label=f"mean of {len(results)} seeds")
    axes.axhline(random_mean, color="grey", linestyle="--", label="uniformly random policy")
    axes.set_xlabel("episode")
    axes.set_ylabel(f"return ({smoothing}-episode moving average)")
    axes.set_title(f"VeltoActorCritic on {settings.env_id}")
    axes.legend(loc="best", fontsize="small")
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path)
    plt.close(figure)


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0] if __doc__ else None,
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
    )
    parser.add_argument("--env", default="CartPole-v1", help="Gymnasium environment id")
    parser.add_argument(
        "--max-episode-steps", type=int, help="time limit; None keeps the environment's own"
    )
    parser.add_argument("--episodes", type=int, default=1000, help="episodes per seed")
    parser.add_argument(
        "--seeds", type=int, nargs="+", default=list(range(8)), help="one agent per seed"
    )
    parser.add_argument(
        "--workers", type=int, default=min(2, os.cpu_count() or 1), help="seeds run at once"
    )
    parser.add_argument("--gamma", type=float, default=0.99, help="discount of a non-terminal step")
    parser.add_argument("--tiles", type=int, default=6, help="tiles per dimension of one tiling")
    parser.add_argument("--tilings", type=int, default=8, help="number of shifted tilings")
    parser.add_argument("--lambda", dest="lambda_", type=float, default=0.5, help="trace decay")
    parser.add_argument("--alpha", type=float, default=0.1, help="initial step size per feature")
    parser.add_argument("--epsilon", type=float, default=0.01, help="trace pruning fraction")
    parser.add_argument(
        "--meta-step-size", type=float, default=0.001, help="rate of the step-size learning"
    )
    parser.add_argument("--eta", type=float, default=0.5, help="critic's step-size budget")
    parser.add_argument("--eta-actor", type=float, default=0.005, help="actor's step-size budget")
    parser.add_argument(
        "--decay", type=float, default=0.5, help="step-size factor when over budget"
    )
    parser.add_argument(
        "--action-prob-at-init", type=float, default=0.5, help="bias of each unit's probability"
    )
    parser.add_argument("--window", type=int, default=20, help="episodes in the first/last means")
    parser.add_argument(
        "--random-episodes", type=int, default=100, help="episodes of the random policy per seed"
    )
    parser.add_argument("--smoothing", type=int, default=20, help="moving average of the plot")
    parser.add_argument(
        "--plot", type=Path, default=Path("learning_curve.png"), help="PNG to write"
    )
    parser.add_argument("--no-progress", action="store_true", help="hide the progress bar")
    arguments = parser.parse_args(argv)
    counts = ("episodes", "window", "smoothing", "random_episodes", "tiles", "tilings", "workers")
    for name in counts:
        if getattr(arguments, name) < 1:
            parser.error(f"--{name.replace('_', '-')} must be at least 1")
    if arguments.max_episode_steps is not None and arguments.max_episode_steps < 1:
        parser.error("--max-episode-steps must be at least 1")
    if arguments.window > arguments.episodes:
        parser.error("--window cannot exceed --episodes")
    return arguments


def settings_from(arguments: argparse.Namespace) -> Settings:
    return Settings(
        env_id=arguments.env,
        max_episode_steps=arguments.max_episode_steps,
        episodes=arguments.episodes,
        gamma=arguments.gamma,
        tiles=arguments.tiles,
        tilings=arguments.tilings,
        lambda_=arguments.lambda_,
        alpha=arguments.alpha,
        epsilon=arguments.epsilon,
        meta_step_size=arguments.meta_step_size,
        eta=arguments.eta,
        eta_actor=arguments.eta_actor,
        decay=arguments.decay,
        action_prob_at_init=arguments.action_prob_at_init,
        window=arguments.window,
        random_episodes=arguments.random_episodes,
    )


def main(argv: Sequence[str] | None = None) -> None:
    arguments = parse_arguments(argv)
    settings = settings_from(arguments)
    try:
        check_environment(settings)
    except (ValueError, gym.error.Error) as error:
        sys.exit(f"error: {error}")
    start = time.perf_counter()
    results = run_all(settings, arguments.seeds, arguments.workers, not arguments.no_progress)
    print(summary_table(results, settings.window))
    plot_learning_curve(results, settings, arguments.plot, arguments.smoothing)
    print(f"learning curve written to {arguments.plot}")
    print(f"total wall time {time.perf_counter() - start:.1f} s with {arguments.workers} worker(s)")


if __name__ == "__main__":
    main()
