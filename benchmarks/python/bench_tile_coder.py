"""Cost of velto_kit.TileCoder against the agent's own step, and the CartPole example's steps per
second before and after the kit, all in one run.

usage: python benchmarks/python/bench_tile_coder.py [--quick]

1. One call of the tile coder on a 4-D CartPole observation (8 tilings of 7^4 tiles, float32 as
   Gymnasium returns it) against one VeltoActorCritic.step on the features it returns, with the
   example's settings, on the same recorded stream of observations; also the NumPy coder the
   example used before (tests/python/tile_coder_model.py). Target: coder <= step.
2. The CartPole example's training loop for one seed in this process: before (the NumPy coder,
   the example's action rule and its loop, as examples/train.py had them) and now
   (velto_kit.run_episodes with the C++ coder). Both train the same agent on the same episodes;
   the command fails if their returns differ. Target: now >= 2x the steps per second before.

Times are CPU times of this process (the loops are single-threaded), in alternating rounds, so
that other work on a shared machine costs both sides alike; the median round is reported.
"""

import argparse
import statistics
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import gymnasium as gym
import numpy as np
import velto_kit
from velto_kit import AgentSettings, TileCoder

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "python"))
import tile_coder_model  # noqa: E402

BOX = velto_kit.OBSERVATION_BOUNDS["CartPole-v1"]
TILES, TILINGS, GAMMA = 6, 8, 0.99


def cartpole_observations(count: int, seed: int) -> list[np.ndarray]:
    """Observations of a uniformly random policy, as the environment returns them."""
    env = gym.make("CartPole-v1")
    env.action_space.seed(seed)
    observation, _ = env.reset(seed=seed)
    observations = []
    while len(observations) < count:
        observations.append(observation)
        observation, _, terminated, truncated, _ = env.step(env.action_space.sample())
        if terminated or truncated:
            observation, _ = env.reset()
    return observations


def cpu_seconds(work: Callable[[], Any]) -> float:
    start = time.process_time()
    work()
    return time.process_time() - start


def per_call_costs(count: int, rounds: int) -> dict[str, float]:
    """Median ns per call of the C++ coder, the NumPy coder and the agent's step."""
    observations = cartpole_observations(count, seed=0)
    coder = TileCoder(*BOX, TILES, TILINGS)
    model = tile_coder_model.TileCoder(*BOX, TILES, TILINGS)
    features = [coder.active_features(observation) for observation in observations]
    if features != [model.active_features(observation) for observation in observations]:
        sys.exit("error: the C++ and the NumPy coder disagree")
    agent = velto_kit.make_agent(coder.num_features, 1, AgentSettings(), seed=0)
    step = agent.step
    # Warm up: the agent's trace lists grow to their steady size within a few dozen steps.
    for indices in features[:1000]:
        step(indices, 1.0, GAMMA)
    active = coder.active_features

    def run_coder() -> None:
        for observation in observations:
            active(observation)

    def run_model() -> None:
        for observation in observations[: count // 10]:
            model.active_features(observation)

    def run_step() -> None:
        for indices in features:
            step(indices, 1.0, GAMMA)

    times: dict[str, list[float]] = {"coder": [], "numpy coder": [], "step": []}
    for _ in range(rounds):
        times["coder"].append(cpu_seconds(run_coder) / count)
        times["step"].append(cpu_seconds(run_step) / count)
        times["numpy coder"].append(cpu_seconds(run_model) / (count // 10))
    return {name: statistics.median(values) * 1e9 for name, values in times.items()}


def train_before(episodes: int, seed: int) -> tuple[list[float], int]:
    """The example's training loop for one seed before the kit: the NumPy coder, one unit whose
    action taken pushes right, and the termination and truncation handling inline."""
    env = gym.make("CartPole-v1")
    coder = tile_coder_model.TileCoder(*BOX, TILES, TILINGS)
    agent = velto_kit.make_agent(coder.num_features, 1, AgentSettings(), seed)

    def env_action(taken: list[int]) -> int:
        return 1 if 0 in taken else 0

    returns: list[float] = []
    steps = 0
    observation, _ = env.reset(seed=seed)
    taken = agent.step(coder.active_features(observation), 0.0, 0.0)
    for _ in range(episodes):
        episode_return = 0.0
        while True:
            observation, reward, terminated, truncated, _ = env.step(env_action(taken))
            steps += 1
            episode_return += float(reward)
            if terminated:
                observation, _ = env.reset()
                taken = agent.step(coder.active_features(observation), float(reward), 0.0)
                break
            if truncated:
                agent.step(coder.active_features(observation), float(reward), GAMMA)
                observation, _ = env.reset()
                taken = agent.step(coder.active_features(observation), 0.0, GAMMA)
                break
            taken = agent.step(coder.active_features(observation), float(reward), GAMMA)
        returns.append(episode_return)
    return returns, steps


def train_now(episodes: int, seed: int) -> tuple[list[float], int]:
    """The same through velto_kit, as examples/train.py runs it now."""
    env = gym.make("CartPole-v1")
    features = velto_kit.features_for(env, tiles=TILES, tilings=TILINGS)
    mapping = velto_kit.action_mapping("default", 2)
    agent = velto_kit.make_agent(features.num_features, mapping.num_units, AgentSettings(), seed)
    results = list(
        velto_kit.run_episodes(
            env, agent, features, mapping, episodes=episodes, gamma=GAMMA, seed=seed
        )
    )
    return [result.return_ for result in results], results[-1].steps


def loop_rates(episodes: int, rounds: int) -> tuple[float, float, int]:
    """Median environment steps per CPU second before and now, and the steps of one run."""
    rates: dict[str, list[float]] = {"before": [], "now": []}
    outcomes = {}
    for _ in range(rounds):
        for name, train in (("before", train_before), ("now", train_now)):
            start = time.process_time()
            outcomes[name] = train(episodes, seed=0)
            rates[name].append(outcomes[name][1] / (time.process_time() - start))
    if outcomes["before"] != outcomes["now"]:
        sys.exit("error: the loop before and now trained differently")
    steps = outcomes["now"][1]
    return statistics.median(rates["before"]), statistics.median(rates["now"]), steps


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a short check that all runs")
    arguments = parser.parse_args()
    count, rounds, episodes = (2000, 3, 20) if arguments.quick else (20000, 7, 200)

    costs = per_call_costs(count, rounds)
    print("| per call (4-D observation, 8 tilings) | ns (median of rounds) |")
    print("|---|---:|")
    labels = {
        "coder": "velto_kit.TileCoder.active_features",
        "numpy coder": "NumPy coder (the example's before)",
        "step": "agent.step on its features",
    }
    for name, label in labels.items():
        print(f"| {label} | {costs[name]:,.0f} |")
    before, now, steps = loop_rates(episodes, rounds)
    print()
    print(f"| CartPole-v1, seed 0, {episodes} episodes ({steps} steps) | steps per CPU second |")
    print("|---|---:|")
    print(f"| before: NumPy coder, the example's loop | {before:,.0f} |")
    print(f"| now: velto_kit.run_episodes, C++ coder | {now:,.0f} |")
    print()
    coder_ratio, speedup = costs["coder"] / costs["step"], now / before
    print("| target | measured | required | met |")
    print("|---|---:|---:|---|")
    for target, measured, required, met in (
        ("coder call / step", coder_ratio, "<= 1x", coder_ratio <= 1),
        ("example steps/s now / before", speedup, ">= 2x", speedup >= 2),
    ):
        print(f"| {target} | {measured:.2f}x | {required} | {'yes' if met else 'no'} |")


if __name__ == "__main__":
    main()
