"""Runs an agent for many steps in a fresh interpreter and prints its resident memory as JSON.

The workload mixes accepted steps with rejected calls (an index out of range, an element of the
wrong kind, a generator that raises) and rebuilds the agent now and then, so that a leak on any of
these paths shows as growth after the warm-up. Used by test_resources.py and by scripts/harden.sh,
which prints the figures.
"""

import argparse
import json
import os
import random
import sys

from velto_actor_critic import VeltoActorCritic

NUM_FEATURES = 1000
FEATURES_PER_STEP = 6
REJECT_EVERY = 200
REBUILD_EVERY = 20000


def resident_kib() -> int:
    with open("/proc/self/statm") as statm:
        pages = int(statm.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") // 1024


def build_agent(seed: int) -> VeltoActorCritic:
    # lambda_ 0.9 with gamma mostly 0 keeps the trace lists short, so a step stays cheap while its
    # list still grows and shrinks on every call.
    return VeltoActorCritic(NUM_FEATURES, 3, 0.9, 0.01, 1e-3, 0.01, 1.0, 1.0, 0.99, 0.5, seed)


def failing_generator():
    yield 1
    raise ValueError("generator failed")


def reject_calls(agent: VeltoActorCritic) -> int:
    rejected = 0
    for features, error in (
        ([1, NUM_FEATURES], IndexError),
        ([1, -1], IndexError),
        ([1, 2.0], TypeError),
        ("12", TypeError),
        (failing_generator(), ValueError),
    ):
        try:
            agent.step(features, 0.0, 0.0)
        except error:
            rejected += 1
    return rejected


def run(steps: int, warmup: int, samples: int) -> dict:
    rng = random.Random(12345)
    pool = [rng.sample(range(NUM_FEATURES), FEATURES_PER_STEP) for _ in range(4096)]
    gammas = [0.95 if k % 50 == 0 else 0.0 for k in range(4096)]
    rewards = [rng.uniform(-1.0, 1.0) for _ in range(4096)]
    agent = build_agent(0)
    agents_built = 1
    rejected = 0
    actions_taken = 0
    checkpoints = {warmup + (steps - warmup) * k // samples for k in range(samples + 1)}
    rss = {}
    for i in range(steps + 1):
        if i in checkpoints:
            rss[i] = resident_kib()
        if i == steps:
            break
        slot = i % 4096
        actions_taken += len(agent.step(pool[slot], rewards[slot], gammas[slot]))
        if i % REJECT_EVERY == 0:
            rejected += reject_calls(agent)
        if i % REBUILD_EVERY == 0:
            agent = build_agent(i)
            agents_built += 1
    return {
        "steps": steps,
        "warmup_steps": warmup,
        "calls_rejected": rejected,
        "agents_built": agents_built,
        "actions_taken": actions_taken,
        "rss_kib": {str(k): v for k, v in sorted(rss.items())},
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--steps", type=int, default=1_000_000)
    parser.add_argument("--warmup", type=int, default=100_000)
    parser.add_argument("--samples", type=int, default=9)
    args = parser.parse_args()
    json.dump(run(args.steps, args.warmup, args.samples), sys.stdout)
    print()


if __name__ == "__main__":
    main()
