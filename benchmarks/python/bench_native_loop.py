"""Agent-steps per CPU-second and per wall-second of the native loop (run_population on
make_vector_env(..., backend="native")) against run_population on Gymnasium and run_episodes, on
CartPole-v1, all in one run, and the agents' share of the native loop's CPU time.

usage: python benchmarks/python/bench_native_loop.py [--quick] [--episodes E] [--agents N]
       [--rounds R]

Every configuration trains fresh agents (seeds 0 .. N-1, AgentSettings() defaults, gamma 0.99,
6 tiles x 8 tilings, the binary mapping) for E episodes each, once per round; the rounds
interleave the configurations:

- run_episodes: one agent after the other, each on its own gymnasium.make("CartPole-v1");
- run_population on Gymnasium's vector CartPole, one thread;
- the native loop, threads 1 and 2.

Every configuration computes the same episodes (the native loop's equal run_episodes' bit for
bit; the printed step counts show it). CPU-seconds are the process's (all its threads). The agents'
share: one more native run on one thread records every agent step it makes (its features, reward
and discount; LoopSettings::record_agent_calls), then the same fresh agents are stepped through
those calls alone, agent after agent, in C++; the share is the replay's CPU time over the run's.
The recording itself is part of the run's time, so the share is, if anything, low. It is given of
the whole run and of its units alone (thread CPU time read at each end of a unit), the difference
being the hand-overs (the check and copy of each agent). The machine may be shared: the load
average before and after is printed.
"""

from __future__ import annotations

import argparse
import json
import os
import time
from typing import Any

import gymnasium as gym
import numpy as np
import velto_kit
from velto_kit import AgentSettings, Population, action_mapping, make_agent, make_vector_env
from velto_kit.experiments.native_loop import NativeRunLoop

ENV_ID = "CartPole-v1"
GAMMA = 0.99


def fresh_agents(count: int, num_features: int) -> list[Any]:
    return [make_agent(num_features, 1, AgentSettings(), seed) for seed in range(count)]


def timed(run: Any) -> dict[str, float]:
    """Runs `run()` (returning agent-steps) and measures its CPU and wall time."""
    wall, cpu = time.perf_counter(), time.process_time()
    steps = run()
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    return {"steps": steps, "cpu": cpu, "wall": wall}


def single_runs(agents: int, episodes: int) -> int:
    features, mapping = velto_kit.features_for(gym.make(ENV_ID)), action_mapping("binary", 2)
    steps = 0
    for seed, agent in enumerate(fresh_agents(agents, features.num_features)):
        env = gym.make(ENV_ID)
        for result in velto_kit.run_episodes(
            env, agent, features, mapping, episodes=episodes, gamma=GAMMA, seed=seed
        ):
            steps += result.length
    return steps


def population_run(backend: str, agents: int, episodes: int, threads: int) -> int:
    envs = make_vector_env(ENV_ID, agents, seed=0, backend=backend)
    features = velto_kit.features_for(envs)
    population = Population(fresh_agents(agents, features.num_features), threads=threads)
    results = velto_kit.run_population(
        envs, population, features, action_mapping("binary", 2),
        episodes=episodes, gamma=GAMMA, seed=0,
    )  # fmt: skip
    return sum(result.length for result in results)


def agent_share(agents: int, episodes: int) -> dict[str, float]:
    """One native run on one thread recording its agent steps, and their replay."""
    envs = make_vector_env(ENV_ID, agents, seed=0, backend="native")
    features = velto_kit.features_for(envs)
    loop = NativeRunLoop(
        ENV_ID, {}, fresh_agents(agents, features.num_features), features,
        action_mapping("binary", 2), gamma=GAMMA, seed=0,
        rngs=[np.random.default_rng(i) for i in range(agents)], starts=[0] * agents,
        ends=[episodes] * agents, mode="learn", threads=1, checkpoint_every=None,
        record_agent_calls=True,
    )  # fmt: skip
    cpu = time.process_time()
    steps = sum(record[3] for batch in loop.batches() for record in batch)
    cpu = time.process_time() - cpu
    replayed = fresh_agents(agents, features.num_features)
    agent_cpu = time.process_time()
    loop.run.replay_agent_calls(replayed)
    agent_cpu = time.process_time() - agent_cpu
    # The replay made exactly the run's calls: the agents end where the run's ended.
    assert [velto_kit.dumps(a) for a in replayed] == [velto_kit.dumps(a) for a in loop.agents]
    return {"steps": steps, "cpu": cpu, "agent_cpu": agent_cpu, "unit_cpu": loop.run.unit_seconds}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smoke run: 4 agents, 5 episodes")
    parser.add_argument("--episodes", type=int, default=100)
    parser.add_argument("--agents", type=int, default=64)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    if args.quick:
        args.agents, args.episodes, args.rounds = 4, 5, 1
    configs = {
        "run_episodes": lambda: single_runs(args.agents, args.episodes),
        "population gymnasium t1": lambda: population_run(
            "gymnasium", args.agents, args.episodes, 1
        ),
        "native t1": lambda: population_run("native", args.agents, args.episodes, 1),
        "native t2": lambda: population_run("native", args.agents, args.episodes, 2),
    }
    load_before = os.getloadavg()
    rounds: dict[str, list[dict[str, float]]] = {name: [] for name in configs}
    for _ in range(args.rounds):
        for name, run in configs.items():
            rounds[name].append(timed(run))
    shares = [agent_share(args.agents, args.episodes) for _ in range(args.rounds)]
    load_after = os.getloadavg()
    print(f"{args.agents} CartPole agents x {args.episodes} episodes, {args.rounds} rounds;"
          f" load average before {load_before[0]:.2f}, after {load_after[0]:.2f}"
          f" ({os.cpu_count()} cores)")  # fmt: skip
    base_cpu = [r["steps"] / r["cpu"] for r in rounds["run_episodes"]]
    base_wall = [r["steps"] / r["wall"] for r in rounds["run_episodes"]]
    report: dict[str, Any] = {"agents": args.agents, "episodes": args.episodes, "configs": {}}
    for name, measured in rounds.items():
        per_cpu = [r["steps"] / r["cpu"] for r in measured]
        per_wall = [r["steps"] / r["wall"] for r in measured]
        cpu_ratio = [a / b for a, b in zip(per_cpu, base_cpu, strict=True)]
        wall_ratio = [a / b for a, b in zip(per_wall, base_wall, strict=True)]
        steps = {int(r["steps"]) for r in measured}
        print(
            f"{name:>24}: {min(per_cpu):>10.0f}-{max(per_cpu):<10.0f} steps/CPU-s"
            f" {min(per_wall):>10.0f}-{max(per_wall):<10.0f} steps/wall-s"
            f"  x run_episodes per CPU-s {min(cpu_ratio):.2f}-{max(cpu_ratio):.2f},"
            f" per wall-s {min(wall_ratio):.2f}-{max(wall_ratio):.2f}  steps {sorted(steps)}"
        )
        report["configs"][name] = {
            "steps_per_cpu_second": per_cpu, "steps_per_wall_second": per_wall,
            "cpu_ratio": cpu_ratio, "wall_ratio": wall_ratio,
        }  # fmt: skip
    share = [s["agent_cpu"] / s["cpu"] for s in shares]
    unit_share = [s["agent_cpu"] / s["unit_cpu"] for s in shares]
    print(f"agents' share of the native loop's CPU time (one thread, replayed steps):"
          f" {min(share):.1%}-{max(share):.1%} of the whole run,"
          f" {min(unit_share):.1%}-{max(unit_share):.1%} of its units alone")  # fmt: skip
    report["agent_share"] = share
    report["agent_share_of_units"] = unit_share
    report["load"] = [load_before[0], load_after[0]]
    print(json.dumps(report))


if __name__ == "__main__":
    main()
