"""The first step size `alpha` at the other defaults: on the prediction tasks, and on CartPole
with and without 2 distractor features per state. A measurement for choosing the default; the
defaults themselves are unchanged.

- Prediction: each task of the prediction study at its length and score, the agent at
  ``AgentSettings(alpha=...)``, seeds 0 to 4.
- CartPole-v1: 1000 episodes at discount 0.99, the mean return of the last 50, seeds 0 to 2.

    python examples/studies/alpha_defaults.py --out docs/results/alpha_defaults  # ~150 CPU-s
"""

from __future__ import annotations

import argparse
import sys
import warnings
from collections.abc import Sequence
from pathlib import Path

import gymnasium as gym
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import prediction_study  # noqa: E402
from evidence_stats import bootstrap_ci  # noqa: E402
from study_wrappers import Distractors  # noqa: E402
from velto_kit import (  # noqa: E402
    AgentSettings,
    action_mapping,
    features_for,
    make_agent,
    run_episodes,
)

ALPHAS = (0.1, 0.01, 0.001, 0.0005)


def shown(values: Sequence[float]) -> str:
    if not np.isfinite(values).all():
        return "diverged"
    found = bootstrap_ci(values)
    return f"{found.mean:.4g} [{found.low:.4g}, {found.high:.4g}]"


def prediction_rows(seeds: Sequence[int], smoke: bool) -> list[str]:
    rows = []
    for task in prediction_study.tasks(smoke):
        cells = []
        for alpha in ALPHAS:
            settings = {"alpha": alpha}
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)
                runs = [prediction_study.run_trial(task, "agent", settings, s) for s in seeds]
            cells.append(shown([np.inf if r["score"] is None else r["score"] for r in runs]))
        rows.append(f"| {task.name} ({task.metric}) | " + " | ".join(cells) + " |")
    return rows


def cartpole_rows(seeds: Sequence[int], episodes: int) -> list[str]:
    rows = []
    for distractors in (0, 2):
        cells = []
        for alpha in ALPHAS:
            finals = []
            for seed in seeds:
                env = gym.make("CartPole-v1")
                coder, mapping = features_for(env), action_mapping("binary", 2)
                features = Distractors(coder, k=distractors, seed=seed) if distractors else coder
                agent = make_agent(
                    features.num_features, mapping.num_units, AgentSettings(alpha=alpha), seed
                )
                results = run_episodes(
                    env, agent, features, mapping, episodes=episodes, gamma=0.99, seed=seed
                )
                finals.append(float(np.mean([r.return_ for r in results][-50:])))
            cells.append(shown(finals))
        rows.append(f"| CartPole-v1, {distractors} distractors | " + " | ".join(cells) + " |")
    return rows


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, help="folder for alpha_defaults.md; none: print")
    parser.add_argument("--smoke", action="store_true", help="short runs, for the tests")
    arguments = parser.parse_args(argv)
    smoke = arguments.smoke
    header = " | ".join(f"alpha {alpha:g}" for alpha in ALPHAS)
    lines = [
        "# The first step size alpha at the other defaults: records",
        "",
        f"| task | {header} |",
        "|---|" + "---:|" * len(ALPHAS),
        *prediction_rows([0] if smoke else range(5), smoke),
        *cartpole_rows([0] if smoke else range(3), 60 if smoke else 1000),
    ]
    text = "\n".join(lines) + "\n"
    print(text)
    if arguments.out is not None:
        arguments.out.mkdir(parents=True, exist_ok=True)
        (arguments.out / "alpha_defaults.md").write_text(text)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
