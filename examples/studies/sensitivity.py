"""Step-size sensitivity: final return against the initial step size ``alpha``, with learned step
sizes (``meta_step_size`` > 0) and with fixed ones (``meta_step_size`` 0).

Every other setting is the agent's default (``velto_kit.AgentSettings``); each point is the mean,
over seeds, of the mean return of the last ``--window`` episodes of a fresh agent.

    python examples/studies/sensitivity.py                 # the README's study, local Ray
    python examples/studies/sensitivity.py --backend local --workers 2
    python examples/studies/sensitivity.py --smoke --out /tmp/sensitivity   # CI: a minute or so
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Sequence
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from study_grid import GroupRunner, TrialRecord, mean_sd, start_ray, task_grid  # noqa: E402

ALPHAS = (1e-5, 1e-4, 1e-3, 1e-2, 3e-2, 1e-1, 3e-1, 1.0)
META_STEP_SIZES = (1e-3, 0.0)
# Episodes per trial and the window of the final return, per task.
TASK_LENGTHS = {"CartPole-v1": (300, 50), "CliffWalking-v1": (200, 50)}


def build_parser() -> argparse.ArgumentParser:
    """The command line's options; the documentation's reference is generated from it."""
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=Path("results/sensitivity"))
    parser.add_argument("--plot", type=Path, default=None, help="figure path (default OUT/...)")
    parser.add_argument("--seeds", type=int, nargs="+", default=[0, 1, 2, 3, 4])
    parser.add_argument("--tasks", nargs="+", default=list(TASK_LENGTHS))
    parser.add_argument("--episodes", type=int, default=None, help="instead of each task's own")
    parser.add_argument("--backend", choices=("ray", "local"), default="ray")
    parser.add_argument("--address", default=None, help="Ray cluster (default: a local Ray)")
    parser.add_argument(
        "--workers", type=int, default=2, help="trials at a time (local Ray CPUs or processes)"
    )
    parser.add_argument("--smoke", action="store_true", help="a tiny grid, for CI")
    return parser


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = build_parser()
    arguments = parser.parse_args(argv)
    if arguments.smoke:
        arguments.alphas, arguments.seeds, arguments.episodes = (1e-3, 0.1), [0], 5
        arguments.tasks = ["CliffWalking-v1"]
    else:
        arguments.alphas = ALPHAS
    return arguments


def run(arguments: argparse.Namespace, runner: GroupRunner) -> dict[str, list[TrialRecord]]:
    records = {}
    for env_id in arguments.tasks:
        episodes = arguments.episodes or TASK_LENGTHS[env_id][0]
        grid = task_grid(
            env_id,
            learner=["velto"],
            episodes=[episodes],
            alpha=list(arguments.alphas),
            meta_step_size=list(META_STEP_SIZES),
            seed=list(arguments.seeds),
        )
        records[env_id] = runner.run(f"sensitivity-{env_id}", grid)
    return records


def cell(records: list[TrialRecord], alpha: float, meta: float, window: int) -> list[float]:
    """The final returns of the seeds at (`alpha`, `meta`)."""
    return [
        record.final(window)
        for record in records
        if record.config["alpha"] == alpha and record.config["meta_step_size"] == meta
    ]


def table(records: dict[str, list[TrialRecord]], arguments: argparse.Namespace) -> str:
    """Markdown: one row per alpha, mean ± sd over seeds per task and meta step size."""
    header = ["alpha"]
    for env_id in records:
        window = min(TASK_LENGTHS[env_id][1], arguments.episodes or 10**9)
        header += [f"{env_id} learned (last {window})", f"{env_id} fixed (last {window})"]
    lines = ["| " + " | ".join(header) + " |", "|" + "---:|" * len(header)]
    for alpha in arguments.alphas:
        row = [f"{alpha:g}"]
        for env_id, group in records.items():
            window = min(TASK_LENGTHS[env_id][1], arguments.episodes or 10**9)
            for meta in META_STEP_SIZES:
                mean, sd = mean_sd(cell(group, alpha, meta, window))
                row.append(f"{mean:.1f} ± {sd:.1f}")
        lines.append("| " + " | ".join(row) + " |")
    return "\n".join(lines)


def plot(records: dict[str, list[TrialRecord]], arguments: argparse.Namespace, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    figure, axes = plt.subplots(1, len(records), figsize=(5.5 * len(records), 4), squeeze=False)
    for axis, (env_id, group) in zip(axes[0], records.items(), strict=True):
        window = min(TASK_LENGTHS[env_id][1], arguments.episodes or 10**9)
        for meta, label in zip(META_STEP_SIZES, ("learned", "fixed"), strict=True):
            finals = [cell(group, alpha, meta, window) for alpha in arguments.alphas]
            mean = np.array([np.mean(values) for values in finals])
            sd = np.array([np.std(values, ddof=1) if len(values) > 1 else 0.0 for values in finals])
            name = f"{label} step sizes (meta_step_size {meta:g})"
            axis.plot(arguments.alphas, mean, marker="o", label=name)
            axis.fill_between(arguments.alphas, mean - sd, mean + sd, alpha=0.25)
        axis.set_xscale("log")
        axis.set_xlabel("initial step size alpha")
        axis.set_ylabel(f"mean return, last {window} episodes")
        axis.set_title(f"{env_id}, {len(arguments.seeds)} seeds (mean ± sd)")
        axis.legend(fontsize=8)
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=110)


def main(argv: Sequence[str] | None = None) -> int:
    arguments = parse_arguments(argv)
    started = time.perf_counter()
    if arguments.backend == "ray":
        start_ray(arguments.address, arguments.workers)
    runner = GroupRunner(arguments.out, backend=arguments.backend, workers=arguments.workers)
    records = run(arguments, runner)
    text = table(records, arguments)
    print(text)
    (arguments.out / "sensitivity.md").write_text(text + "\n")
    plot(records, arguments, arguments.plot or arguments.out / "sensitivity.png")
    steps = sum(record.steps for group in records.values() for record in group)
    print(f"{steps} agent steps; {time.perf_counter() - started:.0f} s in all")
    return 0


if __name__ == "__main__":
    sys.exit(main())
