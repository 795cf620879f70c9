"""Steps per second of VeltoActorCritic.step over a grid of sizes, against the NumPy agent in
numpy_agent.py timed on the same steps in the same run.

usage: python benchmarks/python/bench_step.py [--quick]

Both agents are warmed up on the same steps until their trace lists stop growing, then timed in
alternating blocks on the same further steps. Times are CPU times of the process, which leave
out the time that other processes on a shared machine hold the core. The live traces are those
of the NumPy agent's trace lists, which hold the same features as the module's.
"""

import argparse
import json
import math
import subprocess
import sys
import time

import numpy as np

import velto_actor_critic
from numpy_agent import NumpyActorCritic

PARAMETERS = dict(
    lambda_=0.9,
    alpha=1e-4,
    epsilon=1e-3,
    # As in the C++ benchmark: slow enough that random TD errors don't drive step sizes to 0.
    meta_step_size=1e-4,
    eta=1.0,
    eta_actor=1.0,
    decay=0.5,
    action_prob_at_init=0.5,
    seed=2026,
)
GAMMA = 0.95
# A trace lives log(epsilon) / log(gamma * lambda) steps: about 45.
LIFETIME = math.ceil(math.log(1e-3) / math.log(GAMMA * 0.9))
MAX_WARM_UP_WINDOWS = 20
BLOCKS = 5

FULL_GRID = [
    (active, actions, num_features)
    for num_features in (10_000, 1_000_000)
    for active in (8, 32, 128)
    for actions in (1, 4, 16)
]
QUICK_GRID = [(8, 4, 10_000), (128, 16, 10_000), (32, 4, 1_000_000)]
TARGETS = {(8, 4, 10_000): 20.0, (32, 4, 1_000_000): 5.0}


class StepSource:
    """Random transitions, each state with `active` distinct features; every step is made once
    and handed to both agents, as a list to the module and as an index array to NumPy."""

    def __init__(self, num_features: int, active: int, seed: int) -> None:
        self._rng = np.random.default_rng(seed)
        self._num_features = num_features
        self._active = active

    def take(self, count: int):
        steps = []
        for _ in range(count):
            features = self._rng.integers(0, self._num_features, self._active)
            while np.unique(features).size != features.size:
                features = self._rng.integers(0, self._num_features, self._active)
            steps.append((features.tolist(), features, float(self._rng.normal())))
        return steps


def reset_peak_memory() -> bool:
    """Resets this process's peak resident size (Linux); False where that is not possible."""
    try:
        with open("/proc/self/clear_refs", "w") as handle:
            handle.write("5")
        return True
    except OSError:
        return False


def memory_kib(field: str) -> int:
    with open("/proc/self/status") as handle:
        for line in handle:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise LookupError(field)


class Measured:
    """Peak resident memory (MiB) that building and warming up an agent added."""

    def __init__(self) -> None:
        self.available = reset_peak_memory()
        self._before = memory_kib("VmRSS") if self.available else 0

    def peak_mib(self) -> float:
        return (memory_kib("VmHWM") - self._before) / 1024 if self.available else math.nan


def run_module(agent, steps, decisions) -> int:
    start = time.process_time_ns()
    for indices, _, reward in steps:
        decisions.append(agent.step(indices, reward, GAMMA))
    return time.process_time_ns() - start


def run_numpy(agent, steps, decisions, live) -> int:
    elapsed = 0
    for _, features, reward in steps:
        live.append(agent.live_traces())
        start = time.process_time_ns()
        decisions.append(agent.step(features, reward, GAMMA))
        elapsed += time.process_time_ns() - start
    return elapsed


def measure(active: int, actions: int, num_features: int, quick: bool) -> dict:
    source = StepSource(num_features, active, seed=active * 1000 + actions)
    parameters = dict(PARAMETERS, num_features=num_features, num_actions=actions)

    # The NumPy agent's trace lists tell when the warm-up is complete; the module then takes the
    # same steps.
    memory = Measured()
    numpy_agent = NumpyActorCritic(**parameters)
    warm_up, numpy_decisions, numpy_live = [], [], []
    previous_mean = 0.0
    numpy_warm_ns = 0
    for window in range(MAX_WARM_UP_WINDOWS):
        steps = source.take(LIFETIME)
        live = []
        numpy_warm_ns += run_numpy(numpy_agent, steps, numpy_decisions, live)
        warm_up += steps
        mean = sum(live) / len(live)
        if window >= 1 and mean <= previous_mean * 1.01:
            break
        previous_mean = mean
    numpy_peak = memory.peak_mib()

    memory = Measured()
    module_agent = velto_actor_critic.VeltoActorCritic(**parameters)
    module_decisions = []
    module_warm_ns = run_module(module_agent, warm_up, module_decisions)
    module_peak = memory.peak_mib()

    # Enough timed steps for the module to run a while, bounded by what NumPy takes for them.
    module_per_step = module_warm_ns / len(warm_up)
    numpy_per_step = numpy_warm_ns / len(warm_up)
    module_seconds, numpy_cap_seconds, least = (0.05, 0.5, 2 * BLOCKS) if quick else (0.5, 4.0, 200)
    timed_count = min(
        module_seconds * 1e9 / module_per_step, numpy_cap_seconds * 1e9 / numpy_per_step
    )
    timed_count = max(least, BLOCKS * math.ceil(timed_count / BLOCKS))
    module_ns = numpy_ns = 0
    timed_live = []
    for _ in range(BLOCKS):
        block = source.take(timed_count // BLOCKS)
        module_ns += run_module(module_agent, block, module_decisions)
        numpy_ns += run_numpy(numpy_agent, block, numpy_decisions, timed_live)

    total_steps = len(module_decisions)
    same = sum(a == b for a, b in zip(module_decisions, numpy_decisions))
    mean_live = sum(timed_live) / len(timed_live)
    module_step_ns = module_ns / timed_count
    return dict(
        active=active,
        actions=actions,
        num_features=num_features,
        warm_up=len(warm_up),
        timed=timed_count,
        live=mean_live,
        module_steps_per_s=1e9 / module_step_ns,
        module_ns_per_live=module_step_ns / mean_live if mean_live else math.nan,
        numpy_steps_per_s=1e9 * timed_count / numpy_ns,
        speedup=numpy_ns / module_ns,
        same=same,
        total=total_steps,
        module_peak=module_peak,
        numpy_peak=numpy_peak,
    )


def exponent(num_features: int) -> str:
    return f"1e{len(str(num_features)) - 1}"


def print_row(row: dict) -> None:
    print(
        f"| {row['active']} | {row['actions']} | {exponent(row['num_features'])}"
        f" | {row['warm_up']} | {row['timed']} | {row['live']:,.0f}"
        f" | {row['module_steps_per_s']:,.0f} | {row['module_ns_per_live']:.1f}"
        f" | {row['numpy_steps_per_s']:,.0f} | {row['speedup']:.1f}x"
        f" | {row['same']}/{row['total']}"
        f" | {row['module_peak']:.0f} | {row['numpy_peak']:.0f} |",
        flush=True,
    )


def measure_in_own_process(cell, quick: bool) -> dict:
    """Each cell runs in a fresh interpreter, so that its peak memory is not hidden by pages that
    an earlier cell freed and the allocator hands out again."""
    command = [sys.executable, __file__, "--cell", ",".join(map(str, cell))]
    if quick:
        command.append("--quick")
    result = subprocess.run(command, check=True, capture_output=True, text=True)
    return json.loads(result.stdout)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="three cells, short timing")
    parser.add_argument("--cell", help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    quick = arguments.quick
    if arguments.cell:
        print(json.dumps(measure(*map(int, arguments.cell.split(",")), quick)))
        return 0

    print(f"lambda 0.9, gamma {GAMMA}, epsilon 1e-3 (traces live about {LIFETIME} steps);"
          " CPU times; each cell in a process of its own\n")
    print("| features/state | actions | num_features | warm-up steps | timed steps"
          " | live traces | module steps/s | module ns/live trace | NumPy steps/s | speedup"
          " | same decisions | module peak MiB | NumPy peak MiB |")
    print("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    rows = []
    for cell in QUICK_GRID if quick else FULL_GRID:
        row = measure_in_own_process(cell, quick)
        print_row(row)
        rows.append(row)

    print("\n| target | measured speedup | required | met |")
    print("|---|---:|---:|---|")
    for row in rows:
        key = (row["active"], row["actions"], row["num_features"])
        if key in TARGETS:
            print(f"| {key[0]} features x {key[1]} actions x {exponent(key[2])}"
                  f" | {row['speedup']:.1f}x | >= {TARGETS[key]:.0f}x"
                  f" | {'yes' if row['speedup'] >= TARGETS[key] else 'no'} |")

    differing = [row for row in rows if row["same"] != row["total"]]
    if differing:
        print(f"\nDecisions differ from the NumPy agent's in {len(differing)} cell(s):"
              " the speedups there compare different work.")
        return 1
    print("\nThe module and the NumPy agent took the same decisions at every step of every cell.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
