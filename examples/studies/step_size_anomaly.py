"""Why CartPole fails at the initial step size 1e-4 while 1e-5 and 1e-3 learn: a look inside.

Runs the agent with its default settings on CartPole-v1 at several initial step sizes and, after
chosen episodes, records through ``velto_kit.inspect`` and ``velto_kit.action_probabilities``:
the episode length, the critic's value of the first state, the critic's and the unit's step sizes
over the features they have visited, how many visited features a budget decay has cut below
their initial step size, and the unit's probability over a fixed set of probe states (drawn once
from a random policy, so every run is measured on the same states).

    python examples/studies/step_size_anomaly.py --out docs/results/step_size_anomaly/defaults

Every look goes to ``OUT/looks.json.gz`` (gzip-compressed JSON, written with no time stamp, so a
run repeated gives the same bytes) and the summary tables to ``OUT/step_size_anomaly.md``.
"""

from __future__ import annotations

import argparse
import gzip
import json
import sys
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np

ENV_ID = "CartPole-v1"


def build_parser() -> argparse.ArgumentParser:
    """The investigation's command line (also the source of its command-line reference)."""
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=Path("results/step_size_anomaly"))
    parser.add_argument("--alphas", type=float, nargs="+", default=[1e-5, 1e-4, 1e-3])
    parser.add_argument("--seeds", type=int, nargs="+", default=[0, 1, 2, 3, 4])
    parser.add_argument("--episodes", type=int, default=300)
    parser.add_argument("--every", type=int, default=10, help="episodes between looks")
    parser.add_argument("--meta-step-size", type=float, default=1e-3)
    parser.add_argument("--eta-actor", type=float, default=0.005, help="the actor's budget")
    return parser


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    return build_parser().parse_args(argv)


def probe_states(env: Any, features: Any, count: int = 500) -> list[list[int]]:
    """Active features of `count` states a random policy visits (seed 12345, never a run seed)."""
    rng = np.random.default_rng(12345)
    states = []
    observation, _ = env.reset(seed=12345)
    while len(states) < count:
        states.append(features.active_features(observation))
        observation, _, terminated, truncated, _ = env.step(int(rng.integers(2)))
        if terminated or truncated:
            observation, _ = env.reset()
    return states


def look(agent: Any, visited: np.ndarray, alpha: float, probes: list[list[int]]) -> dict[str, Any]:
    """The numbers one look records: step sizes of visited features and probe probabilities."""
    import velto_kit

    state = velto_kit.inspect(agent)
    critic = np.asarray(state.critic.step_sizes)[visited]
    unit = np.asarray(state.units[0].step_sizes)[visited]
    probabilities = np.array(
        [float(velto_kit.action_probabilities(agent, probe)[0]) for probe in probes]
    )
    # A decay multiplies by `decay` (0.5): a step size below 0.75 alpha has been decayed at
    # least once (the meta-gradient alone moves it far less in a few hundred episodes, as the
    # fixed-step-size runs, which only decay, show by comparison).
    return {
        "critic_median": float(np.median(critic)) if critic.size else alpha,
        "critic_max": float(critic.max()) if critic.size else alpha,
        "critic_min": float(critic.min()) if critic.size else alpha,
        "unit_median": float(np.median(unit)) if unit.size else alpha,
        "unit_max": float(unit.max()) if unit.size else alpha,
        "unit_min": float(unit.min()) if unit.size else alpha,
        "critic_decayed": float(np.mean(critic < 0.75 * alpha)) if critic.size else 0.0,
        "unit_decayed": float(np.mean(unit < 0.75 * alpha)) if unit.size else 0.0,
        "critic_grown": float(np.mean(critic > 1.5 * alpha)) if critic.size else 0.0,
        "unit_grown": float(np.mean(unit > 1.5 * alpha)) if unit.size else 0.0,
        "prob_mean": float(probabilities.mean()),
        "prob_saturated": float(np.mean((probabilities <= 0.0) | (probabilities >= 1.0))),
        "unit_weight_abs_max": float(np.abs(np.asarray(state.units[0].weights)).max()),
        "critic_weight_abs_max": float(np.abs(np.asarray(state.critic.weights)).max()),
    }


def trace_run(alpha: float, seed: int, arguments: argparse.Namespace) -> list[dict[str, Any]]:
    """One training run; a look every `--every` episodes (and after the first)."""
    import gymnasium as gym
    import velto_kit
    from velto_kit import AgentSettings, action_mapping, features_for, make_agent, run_episodes

    env = gym.make(ENV_ID)
    features = features_for(env)
    mapping = action_mapping("binary", 2)
    settings = AgentSettings(
        alpha=alpha, meta_step_size=arguments.meta_step_size, eta_actor=arguments.eta_actor
    )
    agent = make_agent(features.num_features, mapping.num_units, settings, seed)
    probes = probe_states(gym.make(ENV_ID), features)
    first = features.active_features(env.reset(seed=seed)[0])
    visited = np.zeros(features.num_features, dtype=bool)
    inner_active = features.active_features

    def active(observation: Any) -> list[int]:
        indices = inner_active(observation)
        visited[indices] = True
        return indices

    class Recording:
        num_features = features.num_features
        active_features = staticmethod(active)

    looks = []
    for result in run_episodes(
        env, agent, Recording(), mapping, episodes=arguments.episodes, gamma=0.99, seed=seed
    ):
        if result.episode == 0 or (result.episode + 1) % arguments.every == 0:
            row = look(agent, np.flatnonzero(visited), alpha, probes)
            row.update(
                episode=result.episode,
                length=result.length,
                first_value=float(velto_kit.value(agent, first)),
                first_prob=float(velto_kit.action_probabilities(agent, first)[0]),
            )
            looks.append(row)
    return looks


def summary(runs: dict[str, list[dict[str, Any]]], alphas: Sequence[float]) -> str:
    """Markdown: per alpha, the median over seeds of each quantity at a few episodes."""
    keys = (
        "length",
        "critic_median",
        "unit_median",
        "unit_max",
        "critic_decayed",
        "unit_decayed",
        "unit_grown",
        "prob_mean",
        "prob_saturated",
        "first_value",
    )
    lines = ["| alpha | episode | " + " | ".join(keys) + " |", "|" + "---:|" * (len(keys) + 2)]
    for alpha in alphas:
        rows = [runs[name] for name in runs if name.startswith(f"{alpha:g}/")]
        for index in range(len(rows[0])):
            cells = [f"{np.median([run[index][key] for run in rows]):.3g}" for key in keys]
            lines.append(
                f"| {alpha:g} | {rows[0][index]['episode'] + 1} | " + " | ".join(cells) + " |"
            )
    lines += [
        "",
        "| alpha | mean length of the last five looked-at episodes, per seed |",
        "|---:|---|",
    ]
    for alpha in alphas:
        rows = [runs[name] for name in runs if name.startswith(f"{alpha:g}/")]
        ends = [f"{np.mean([look['length'] for look in run[-5:]]):.0f}" for run in rows]
        lines.append(f"| {alpha:g} | {', '.join(ends)} |")
    return "\n".join(lines)


def write_looks(path: Path, runs: dict[str, list[dict[str, Any]]]) -> None:
    """Every look as gzip-compressed JSON; no time stamp or file name in the header, so the file's
    bytes depend on the looks alone and a repeated run leaves the tracked file unchanged."""
    data = json.dumps(runs).encode()
    path.write_bytes(gzip.compress(data, compresslevel=9, mtime=0))


def read_looks(path: Path) -> dict[str, list[dict[str, Any]]]:
    """The looks `write_looks` wrote."""
    looks: dict[str, list[dict[str, Any]]] = json.loads(gzip.decompress(path.read_bytes()))
    return looks


def main(argv: Sequence[str] | None = None) -> int:
    arguments = parse_arguments(argv)
    started, started_cpu = time.perf_counter(), time.process_time()
    arguments.out.mkdir(parents=True, exist_ok=True)
    runs = {
        f"{alpha:g}/{seed}": trace_run(alpha, seed, arguments)
        for alpha in arguments.alphas
        for seed in arguments.seeds
    }
    write_looks(arguments.out / "looks.json.gz", runs)
    text = summary(runs, arguments.alphas)
    (arguments.out / "step_size_anomaly.md").write_text(text + "\n")
    print(text)
    print(
        f"{time.process_time() - started_cpu:.0f} s of CPU time in all"
        f" ({time.perf_counter() - started:.0f} s of wall time)"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
