"""The fastest way to run many seeds, as a user runs them: examples/train.py with worker processes,
as a population on Gymnasium, and as a native run, on CartPole-v1 and on a task of the user's own
written in Python, every configuration timed in one run of this script.

usage: python benchmarks/python/bench_many_seeds.py [--quick] [--seeds N] [--episodes E]

Each configuration is one `python examples/train.py --env TASK --seeds 0 .. N-1 --episodes E`
process (the same baselines and figure for all: one random episode per seed, no evaluation); its
wall time and its CPU time (its own and its worker processes') are measured from here. The user's
task is a corridor written here in plain Python and registered with Gymnasium (a module-qualified
id, `corridor_task:Corridor-v0`): it has no native version, so it runs only on Gymnasium, which
is train.py's default for it (CartPole's default is native: each seed a native run in its worker
process). The machine may be shared: the load average before and after is printed.
"""

from __future__ import annotations

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
TRAIN = ROOT / "examples" / "train.py"

CORRIDOR = '''"""A corridor of 40 cells: step left or right, -1 a step, ending at the far end."""
import gymnasium as gym


class Corridor(gym.Env):
    observation_space = gym.spaces.Discrete(40)
    action_space = gym.spaces.Discrete(2)

    def reset(self, *, seed=None, options=None):
        super().reset(seed=seed)
        self.cell = int(self.np_random.integers(0, 3))
        return self.cell, {}

    def step(self, action):
        self.cell = max(0, self.cell + (1 if action == 1 else -1))
        return self.cell, -1.0, self.cell == 39, False, {}


gym.register(id="Corridor-v0", entry_point=Corridor, max_episode_steps=400)
'''

# (name, train.py's options, whether a task without a native version runs it). Without --backend,
# train.py runs CartPole natively and the user's task on Gymnasium: the first two rows are its
# default on each.
CONFIGS = [
    ("processes, --workers 2, native (the default on CartPole)", ["--workers", "2"], False),
    ("processes, --workers 2, Gymnasium", ["--workers", "2", "--backend", "gymnasium"], True),
    ("population on Gymnasium, 1 thread", ["--population", "--backend", "gymnasium"], True),
    (
        "population on Gymnasium, 2 threads",
        ["--population", "--backend", "gymnasium", "--population-threads", "2"],
        True,
    ),
    ("native population, 1 thread", ["--population", "--backend", "native"], False),
    (
        "native population, 2 threads",
        ["--population", "--backend", "native", "--population-threads", "2"],
        False,
    ),
]


def timed_run(arguments: list[str], env: dict[str, str]) -> tuple[float, float]:
    """Runs train.py with `arguments`; its wall seconds and CPU seconds (with its children)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    completed = subprocess.run(
        [sys.executable, str(TRAIN), *arguments], capture_output=True, text=True, env=env
    )
    wall = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if completed.returncode != 0:
        raise RuntimeError(f"train.py {' '.join(arguments)} failed:\n{completed.stderr[-3000:]}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smoke run: 2 seeds, 3 episodes")
    parser.add_argument("--seeds", type=int, default=32)
    parser.add_argument("--episodes", type=int, default=300)
    args = parser.parse_args()
    if args.quick:
        args.seeds, args.episodes = 2, 3
    load_before = os.getloadavg()
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        (Path(folder) / "corridor_task.py").write_text(CORRIDOR)
        env = {**os.environ, "PYTHONPATH": folder, "MPLBACKEND": "Agg"}
        for task in ("CartPole-v1", "corridor_task:Corridor-v0"):
            common = ["--env", task, "--episodes", str(args.episodes), "--seeds"]
            common += [str(seed) for seed in range(args.seeds)]
            common += ["--random-episodes", "1", "--evaluate", "0", "--no-progress"]
            common += ["--no-inspect-plot"]
            for name, options, any_task in CONFIGS:
                if not any_task and task != "CartPole-v1":
                    rows.append((task, name, None, None))
                    continue
                out = Path(folder) / f"{len(rows)}"
                rows.append((task, name, *timed_run([*common, *options, "--output-dir", str(out)],
                                                    env)))  # fmt: skip
    load_after = os.getloadavg()
    print(f"{args.seeds} seeds x {args.episodes} episodes; load average before"
          f" {load_before[0]:.2f}, after {load_after[0]:.2f} ({os.cpu_count()} cores)")  # fmt: skip
    print("| task | how | wall s | CPU s |")
    print("|---|---|---:|---:|")
    for task, name, wall, cpu in rows:
        if wall is None or cpu is None:
            print(f"| {task} | {name} | (no native task) | |")
        else:
            print(f"| {task} | {name} | {wall:.1f} | {cpu:.1f} |")


if __name__ == "__main__":
    main()
