"""velto_kit.Population.step against a Python loop of agent.step over the same agents and features,
for 1, 8, 64 and 1024 CartPole agents, its cost per live trace against the in-cache step, and the
memory a population of 1024 CartPole agents adds to the agents' own.

usage: python benchmarks/python/bench_population.py [--quick]

The agents are the example's (velto_kit.AgentSettings(), seeds 0 .. N-1, one unit for CartPole's
two actions, gamma 0.99) on CartPole's tile coder (8 tilings of 6 tiles: 8 active features of
19,208). Their features come from a random walk of observations in CartPole's box, tile-coded in
advance; the loop gets them as lists made in advance (its fastest input), the population as one
int32 array per call. Both step the same agents in alternating blocks of calls after a warm-up,
so they see the same live traces. Times are CPU and wall times of this process, reported only as
ratios within the run.

The in-cache reference is the project's in-cache case of the step benchmarks (1e4 features,
32 active, lambda 0.9: about 1,400 live traces per learner) stepped alone in the same run through
a one-agent population, where the call's fixed cost is spread over a long sweep.
"""

import argparse
import gc
import json
import math
import subprocess
import sys
import time

import numpy as np
import velto_kit
from velto_kit import AgentSettings, Population, TileCoder, make_agent
from velto_kit.features import OBSERVATION_BOUNDS

GAMMA = 0.99
LOWS, HIGHS = OBSERVATION_BOUNDS["CartPole-v1"]
WARM_UP = 30


def cartpole_features(num_agents: int, calls: int, seed: int) -> np.ndarray:
    """(calls, num_agents, 8) int32 indices of random walks through CartPole's box."""
    coder = TileCoder(LOWS, HIGHS, 6, 8)
    rng = np.random.default_rng(seed)
    lows, highs = np.array(LOWS), np.array(HIGHS)
    width = highs - lows
    position = rng.uniform(lows, highs, (num_agents, 4))
    out = np.empty((calls, num_agents, coder.num_tilings), dtype=np.int32)
    for call in range(calls):
        position = np.clip(position + rng.normal(0.0, 0.05, position.shape) * width, lows, highs)
        out[call] = coder.active_features_batch(position)
    return out


def live_traces(agents) -> float:
    """Mean live traces per agent (critic and unit together)."""
    total = 0
    for agent in agents:
        state = velto_kit.inspect(agent)
        total += len(state.critic.trace_list) + sum(len(u.trace_list) for u in state.units)
    return total / len(agents)


def clocks() -> tuple[int, int]:
    return time.process_time_ns(), time.perf_counter_ns()


def elapsed(start: tuple[int, int]) -> tuple[int, int]:
    now = clocks()
    return now[0] - start[0], now[1] - start[1]


def time_loop(agents, lists, rewards) -> tuple[int, int]:
    start = clocks()
    for row in lists:
        for agent, features in zip(agents, row, strict=True):
            agent.step(features, rewards, GAMMA)
    return elapsed(start)


def time_population(population, arrays, rewards) -> tuple[int, int]:
    start = clocks()
    for features in arrays:
        population.step(features, rewards, GAMMA)
    return elapsed(start)


def compare(num_agents: int, quick: bool) -> dict:
    """One row of the table: the loop against populations of 1 and 2 threads."""
    agents = [make_agent(19_208, 1, AgentSettings(), seed=s) for s in range(num_agents)]
    # About the same number of agent-steps per size, enough for a stable time.
    calls = max(20, (20_000 if quick else 200_000) // num_agents)
    blocks = 4
    per_block = max(1, calls // blocks)
    features = cartpole_features(num_agents, WARM_UP + 3 * blocks * per_block, seed=num_agents)
    single = Population(agents, threads=1)
    double = Population(agents, threads=2)
    for row in features[:WARM_UP]:
        single.step(row, 1.0, GAMMA)
    live = live_traces(agents)

    totals = {"loop": [0, 0], "threads=1": [0, 0], "threads=2": [0, 0]}
    at = WARM_UP
    for _ in range(blocks):
        for name in totals:
            block = features[at : at + per_block]
            at += per_block
            if name == "loop":
                lists = [[row.tolist() for row in call] for call in block]
                cpu, wall = time_loop(agents, lists, 1.0)
            else:
                cpu, wall = time_population(single if name == "threads=1" else double, block, 1.0)
            totals[name][0] += cpu
            totals[name][1] += wall
    steps = blocks * per_block * num_agents
    loop_cpu, loop_wall = totals["loop"]
    return dict(
        agents=num_agents,
        steps=steps,
        live=live,
        loop_ns=loop_cpu / steps,
        one_ns=totals["threads=1"][0] / steps,
        one_cpu_ratio=loop_cpu / totals["threads=1"][0],
        two_cpu_ratio=loop_cpu / totals["threads=2"][0],
        two_wall_ratio=loop_wall / totals["threads=2"][1],
        ns_per_live=totals["threads=1"][0] / steps / live,
    )


def in_cache_ns_per_live(quick: bool) -> tuple[float, float]:
    """ns of CPU time per live trace of the in-cache case, through a one-agent population."""
    settings = AgentSettings(
        lambda_=0.9, alpha=1e-4, epsilon=1e-3, meta_step_size=1e-4, eta=1.0, eta_actor=1.0
    )
    agent = make_agent(10_000, 4, settings, seed=2026)
    population = Population([agent])
    rng = np.random.default_rng(7)
    rows = [rng.choice(10_000, 32, replace=False).reshape(1, 32) for _ in range(300)]
    rewards = rng.normal(size=300)
    for n in range(200):  # a trace lives about 45 steps: the lists have grown by then
        population.step(rows[n], rewards[n], 0.95)
    live = live_traces([agent])
    steps = 100 if quick else 1000
    timed = [rng.choice(10_000, 32, replace=False).reshape(1, 32) for _ in range(steps)]
    start = time.process_time_ns()
    for n, row in enumerate(timed):
        population.step(row, rewards[n % 300], 0.95)
    return (time.process_time_ns() - start) / steps / live, live


def memory_kib(field: str) -> int:
    with open("/proc/self/status") as handle:
        for line in handle:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise LookupError(field)


def reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as handle:
            handle.write("5")
        return True
    except OSError:
        return False


def memory_per_agent(num_agents: int) -> tuple[float, float]:
    """KiB per agent that building and warming up the agents took, and KiB per agent that a
    population over them then added at its peak (its calls on two threads included)."""
    gc.collect()
    before = memory_kib("VmRSS")
    agents = [make_agent(19_208, 1, AgentSettings(), seed=s) for s in range(num_agents)]
    features = cartpole_features(num_agents, 2 * WARM_UP, seed=1)
    for call in range(WARM_UP):
        for agent, row in zip(agents, features[call].tolist(), strict=True):
            agent.step(row, 1.0, GAMMA)
    agents_kib = memory_kib("VmRSS") - before
    if not reset_peak():
        return agents_kib / num_agents, math.nan
    base = memory_kib("VmRSS")
    population = Population(agents, threads=2)
    for call in range(WARM_UP, 2 * WARM_UP):
        population.step(features[call], 1.0, GAMMA)
    added = memory_kib("VmHWM") - base
    return agents_kib / num_agents, added / num_agents


def memory_in_own_process(count: int) -> tuple[float, float]:
    """memory_per_agent in a fresh interpreter, whose resident set no earlier work has grown."""
    output = subprocess.run(
        [sys.executable, __file__, "--memory", str(count)],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    agents_kib, added_kib = json.loads(output)
    return agents_kib, added_kib


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short run (CI): 1, 8 and 64 agents")
    parser.add_argument("--memory", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory:
        print(json.dumps(memory_per_agent(args.memory)))
        return
    sizes = (1, 8, 64) if args.quick else (1, 8, 64, 1024)

    floor, floor_live = in_cache_ns_per_live(args.quick)
    print(
        f"in-cache step (1e4 features, 32 active, {floor_live:,.0f} live traces per agent):"
        f" {floor:.1f} ns of CPU per live trace\n"
    )
    print(
        "| agents | agent-steps | live traces/agent | loop ns/step | population ns/step"
        " | ns/live trace (x in-cache) | CPU ratio, threads=1 | CPU ratio, threads=2"
        " | wall ratio, threads=2 |"
    )
    print("|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for size in sizes:
        row = compare(size, args.quick)
        print(
            f"| {row['agents']} | {row['steps']:,} | {row['live']:.0f} | {row['loop_ns']:,.0f}"
            f" | {row['one_ns']:,.0f} | {row['ns_per_live']:.1f}"
            f" ({row['ns_per_live'] / floor:.2f}x)"
            f" | {row['one_cpu_ratio']:.2f}x | {row['two_cpu_ratio']:.2f}x"
            f" | {row['two_wall_ratio']:.2f}x |",
            flush=True,
        )
        gc.collect()

    count = 64 if args.quick else 1024
    agents_kib, added_kib = memory_in_own_process(count)
    print(
        f"\nmemory: {count} CartPole agents take {agents_kib:,.0f} KiB each; a population over"
        f" them adds {added_kib:,.2f} KiB per agent at its peak"
        f" ({added_kib / agents_kib:.2%} of the agents' own)"
    )


if __name__ == "__main__":
    main()
