"""Agent-steps per CPU-second and per wall-second of run_population on CartPole-v1 against
run_episodes over the same seeds, in one run, and where the population loop's time goes.

usage: python benchmarks/python/bench_population_loop.py [--quick] [--episodes E] [--agents N]
       [--rounds R]

Every configuration trains fresh agents (seeds 0 .. N-1, the example's settings: AgentSettings()
defaults, gamma 0.99, 6 tiles x 8 tilings, the binary mapping) for E episodes each, once per
round; the rounds interleave the configurations:

- run_episodes: one agent after the other, each on its own gymnasium.make("CartPole-v1");
- run_population on Gymnasium's vector CartPole (NumPy over all sub-environments), threads 1, 2;
- run_population on EnvPool's CartPole (C++ threads), threads 1, 2, when EnvPool is installed.

CPU-seconds are the process's (all its threads), so a ratio per CPU-second is the work saved and
one per wall-second what a user waits. The machine may be shared: the load average is printed.
A last run of the population wraps the environment, the feature batch and Population.step in
timers to split its time into environment, features, agents and the Python around them.
"""

from __future__ import annotations

import argparse
import json
import os
import time
from typing import Any

import gymnasium as gym
import velto_kit
from velto_kit import AgentSettings, Population, action_mapping, make_agent, make_vector_env

ENV_ID = "CartPole-v1"
KEYS = ("steps", "cpu", "wall")
GAMMA = 0.99


def fresh_agents(count: int, num_features: int) -> list[Any]:
    return [make_agent(num_features, 1, AgentSettings(), seed) for seed in range(count)]


def coder() -> Any:
    return velto_kit.features_for(gym.make(ENV_ID))


def timed(run: Any) -> dict[str, float]:
    """Runs `run()` (returning agent-steps) and measures its CPU and wall time."""
    wall, cpu = time.perf_counter(), time.process_time()
    steps = run()
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    return {"steps": steps, "cpu": cpu, "wall": wall}


def single_runs(agents: int, episodes: int) -> int:
    features, mapping = coder(), action_mapping("binary", 2)
    steps = 0
    for seed, agent in enumerate(fresh_agents(agents, features.num_features)):
        env = gym.make(ENV_ID)
        for result in velto_kit.run_episodes(
            env, agent, features, mapping, episodes=episodes, gamma=GAMMA, seed=seed
        ):
            steps += result.length
        env.close()
    return steps


def population_run(envs: Any, agents: int, episodes: int, threads: int, features: Any) -> int:
    population = Population(fresh_agents(agents, features.num_features), threads=threads)
    results = velto_kit.run_population(
        envs, population, features, action_mapping("binary", 2),
        episodes=episodes, gamma=GAMMA, seed=0,
    )  # fmt: skip
    return sum(result.length for result in results)


class Timer:
    """Accumulated CPU-seconds of the process (all its threads) during the calls it wraps: on a
    shared machine wall time would count the time other processes hold the cores."""

    def __init__(self) -> None:
        self.seconds = 0.0

    def wrap(self, function: Any) -> Any:
        def timed_call(*args: Any, **kwargs: Any) -> Any:
            start = time.process_time()
            try:
                return function(*args, **kwargs)
            finally:
                self.seconds += time.process_time() - start

        return timed_call


class TimedEnvs:
    """A vector environment whose reset and step are timed."""

    def __init__(self, envs: Any, timer: Timer) -> None:
        self._envs = envs
        self.num_envs = envs.num_envs
        self.metadata = envs.metadata
        self.single_action_space = envs.single_action_space
        self.action_space = envs.action_space
        self.single_observation_space = envs.single_observation_space
        self.observation_space = envs.observation_space
        self.step = timer.wrap(envs.step)
        self.reset = timer.wrap(envs.reset)


class TimedFeatures:
    def __init__(self, features: Any, timer: Timer) -> None:
        self.num_features = features.num_features
        self.active_features = features.active_features
        self.active_features_batch = timer.wrap(features.active_features_batch)


class TimedPopulation:
    def __init__(self, population: Population, timer: Timer) -> None:
        self._population = population
        self.agents = population.agents
        self.num_actions = population.num_actions
        self.step = timer.wrap(population.step)

    def __len__(self) -> int:
        return len(self._population)


def breakdown(make_envs: Any, agents: int, episodes: int, threads: int) -> dict[str, float]:
    """CPU-seconds of the environment, features, agents and the rest of one population run."""
    env_timer, feature_timer, agent_timer = Timer(), Timer(), Timer()
    features = coder()
    envs = TimedEnvs(make_envs(), env_timer)
    population = TimedPopulation(
        Population(fresh_agents(agents, features.num_features), threads=threads), agent_timer
    )
    start = time.process_time()
    results = velto_kit.run_population(
        envs, population, TimedFeatures(features, feature_timer), action_mapping("binary", 2),  # type: ignore[arg-type]
        episodes=episodes, gamma=GAMMA, seed=0,
    )  # fmt: skip
    steps = sum(result.length for result in results)
    total = time.process_time() - start
    parts = {
        "environment": env_timer.seconds,
        "features": feature_timer.seconds,
        "agents": agent_timer.seconds,
    }
    parts["python"] = total - sum(parts.values())
    return {"steps": steps, "cpu": total, **parts}


def envpool_available() -> bool:
    try:
        import envpool  # noqa: F401
    except ImportError:
        return False
    return True


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="8 agents, 20 episodes: a smoke run")
    parser.add_argument("--agents", type=int, default=64)
    parser.add_argument("--episodes", type=int, default=100, help="episodes per agent and round")
    parser.add_argument(
        "--rounds", type=int, default=3, help="rounds, each running every loop once, interleaved"
    )
    parser.add_argument("--json", help="also write the measurements to this file")
    arguments = parser.parse_args()
    agents, episodes = (8, 20) if arguments.quick else (arguments.agents, arguments.episodes)
    rounds = 1 if arguments.quick else arguments.rounds
    features = coder()

    def gymnasium_envs() -> Any:
        return make_vector_env(ENV_ID, agents, seed=0)

    def envpool_envs() -> Any:
        return make_vector_env(ENV_ID, agents, seed=0, backend="envpool", num_threads=2)

    backends = [("gymnasium", gymnasium_envs)]
    if envpool_available():
        backends.append(("envpool", envpool_envs))
    else:
        print("EnvPool is not installed (pip install envpool): its rows are left out")
    loops: dict[str, Any] = {"run_episodes": lambda: single_runs(agents, episodes)}
    for name, make_envs in backends:
        for threads in (1, 2):

            def run(make_envs: Any = make_envs, threads: int = threads) -> int:
                envs = make_envs()
                try:
                    return population_run(envs, agents, episodes, threads, features)
                finally:
                    envs.close()

            loops[f"run_population {name}, threads={threads}"] = run
    # Every round runs every loop once, so that a change of the machine's load during the
    # benchmark falls on all loops alike; the table sums the rounds.
    rounds_measured: list[dict[str, dict[str, float]]] = []
    print(f"load average before: {os.getloadavg()}", flush=True)
    for _ in range(rounds):
        rounds_measured.append({name: timed(loop) for name, loop in loops.items()})
    print(f"load average after: {os.getloadavg()}")
    runs = {
        name: {key: sum(measured[name][key] for measured in rounds_measured) for key in KEYS}
        for name in loops
    }

    def ratios(measured: dict[str, dict[str, float]], name: str, key: str) -> float:
        base = measured["run_episodes"]
        run = measured[name]
        return (run["steps"] / run[key]) / (base["steps"] / base[key])

    print(f"\nCartPole-v1, {agents} agents x {episodes} episodes x {rounds} rounds\n")
    print(
        "| loop | agent-steps | per CPU-s | per wall-s | x per CPU-s (rounds) |"
        " x per wall-s (rounds) |"
    )
    print("|---|---:|---:|---:|---:|---:|")
    for name, run in runs.items():
        per_cpu, per_wall = run["steps"] / run["cpu"], run["steps"] / run["wall"]
        cells = []
        for key in ("cpu", "wall"):
            spread = [ratios(measured, name, key) for measured in rounds_measured]
            cells.append(f"{ratios(runs, name, key):.2f} ({min(spread):.2f}-{max(spread):.2f})")
        print(
            f"| {name} | {int(run['steps']):,} | {per_cpu:,.0f} | {per_wall:,.0f}"
            f" | {cells[0]} | {cells[1]} |"
        )
    print("\nwhere a population run's CPU time goes (threads=1):\n")
    print("| backend | CPU-s | environment | features | agents | Python |")
    print("|---|---:|---:|---:|---:|---:|")
    split = {}
    for name, make_envs in backends:
        split[name] = parts = breakdown(make_envs, agents, episodes, 1)
        shares = [parts[k] / parts["cpu"] for k in ("environment", "features", "agents", "python")]
        cells = " | ".join(f"{share:.0%}" for share in shares)
        print(f"| {name} | {parts['cpu']:.2f} | {cells} |")
    if arguments.json:
        with open(arguments.json, "w") as file:
            json.dump({"runs": runs, "breakdown": split, "load": os.getloadavg()}, file, indent=1)


if __name__ == "__main__":
    main()
