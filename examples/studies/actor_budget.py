"""What distractor features do to the actor's step sizes on CartPole, and where its probabilities
stand before the actions are swapped: the measurements behind the learner page's explanations.

- Distractors: the agent at the defaults, ``alpha`` also 0.001 and 0.0005, with 0 or 2 distractor
  features per state (``study_wrappers.Distractors``), 100 episodes on each of seeds 0 to 4; of
  the task features seen in those episodes, the fraction whose actor step size is below 1e-10,
  and the mean return of episodes 80 to 99.
- Probabilities: the agent at the defaults trained 500 episodes on seeds 0 to 2 (the full study
  swaps CartPole's actions after 500 of its 1000); over episodes 450 to 499, the fraction of
  steps whose unclipped probability ``action_prob_at_init + sum(weights)`` lies outside [0, 1].

    python examples/studies/actor_budget.py --out docs/results/actor_budget   # about 15 CPU-s
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import gymnasium as gym
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import velto_kit  # noqa: E402
from evidence_stats import bootstrap_ci  # noqa: E402
from study_wrappers import Distractors  # noqa: E402
from velto_kit import AgentSettings, action_mapping, features_for, make_agent, run_episodes  # noqa: E402


class Watched:
    """A feature map that remembers the task features it gave, and can watch the actor."""

    def __init__(self, features: Any, task_features: int) -> None:
        self.features, self.task_features = features, task_features
        self.num_features = features.num_features
        self.seen: set[int] = set()
        self.unit: Any = None  # a live view of unit 0's weights, with its initial probability
        self.outside: list[bool] = []

    def active_features(self, observation: Any) -> list[int]:
        active: list[int] = self.features.active_features(observation)
        self.seen.update(i for i in active if i < self.task_features)
        if self.unit is not None:
            weights, start = self.unit
            raw = start + float(weights[active].sum())
            self.outside.append(not 0.0 <= raw <= 1.0)
        return active


def run(seed: int, episodes: int, settings: AgentSettings, distractors: int) -> tuple:
    env = gym.make("CartPole-v1")
    coder, mapping = features_for(env), action_mapping("binary", 2)
    features = Distractors(coder, k=distractors, seed=seed) if distractors else coder
    watched = Watched(features, coder.num_features)
    agent = make_agent(watched.num_features, mapping.num_units, settings, seed=seed)
    results = run_episodes(env, agent, watched, mapping, episodes=episodes, gamma=0.99, seed=seed)
    returns = []
    for result in results:
        returns.append(result.return_)
        if result.episode + 1 == episodes - 50:
            unit = velto_kit.inspect(agent).units[0]
            watched.unit = (unit.weights, float(settings.action_prob_at_init))
    return agent, watched, returns


def distractor_rows(seeds: Sequence[int]) -> list[str]:
    lines = [
        "| distractors | alpha | task features' actor step sizes below 1e-10"
        " | return, episodes 80-99 |",
        "|---:|---:|---:|---:|",
    ]
    for distractors in (0, 2):
        for alpha in (0.1, 0.001, 0.0005):
            fractions, finals = [], []
            for seed in seeds:
                agent, watched, returns = run(seed, 100, AgentSettings(alpha=alpha), distractors)
                seen = np.array(sorted(watched.seen))
                sizes = np.asarray(velto_kit.inspect(agent).units[0].step_sizes)[seen]
                fractions.append(float((sizes < 1e-10).mean()))
                finals.append(float(np.mean(returns[80:])))
            share, final = bootstrap_ci(fractions), bootstrap_ci(finals)
            shown = f"{share.mean:.3f} [{share.low:.3f}, {share.high:.3f}]"
            lines.append(f"| {distractors} | {alpha:g} | {shown} | {final} |")
    return lines


def probability_rows(seeds: Sequence[int]) -> list[str]:
    shares = []
    for seed in seeds:
        _, watched, _ = run(seed, 500, AgentSettings(), 0)
        shares.append(float(np.mean(watched.outside)))
    found = bootstrap_ci(shares)
    return [
        f"Steps of episodes 450-499 whose unclipped probability lies outside [0, 1], defaults,"
        f" seeds {list(seeds)}: {found.mean:.3f} [{found.low:.3f}, {found.high:.3f}]"
        f" (per seed: {', '.join(f'{s:.3f}' for s in shares)})."
    ]


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, help="folder for actor_budget.md; none: print only")
    parser.add_argument("--smoke", action="store_true", help="one seed, for the tests")
    arguments = parser.parse_args(argv)
    seeds = [0] if arguments.smoke else list(range(5))
    lines = ["# The actor's budget on CartPole: records", "", *distractor_rows(seeds), ""]
    lines += probability_rows(seeds[:3])
    text = "\n".join(lines) + "\n"
    print(text)
    if arguments.out is not None:
        arguments.out.mkdir(parents=True, exist_ok=True)
        (arguments.out / "actor_budget.md").write_text(text)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
