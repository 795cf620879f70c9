"""Checks every native task against the installed Gymnasium over many transitions.

Runs each task and setting of tests/python/task_comparison.py side by side with gym.make's
environment (random and goal-seeking actions, resets at episode ends and now and then early,
reseeds every few resets) and prints, per setting, the transitions, resets, episode ends and
mismatches. Exits with 1 when a task offered as exact differed anywhere, or when any other task
differed beyond a starting observation's last bit.

    .venv/bin/python scripts/check_native_tasks.py --transitions 1000000
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))

from task_comparison import CONFIGS, compare  # noqa: E402
from velto_kit._native import exact_native_task_ids  # noqa: E402


def main() -> int:
    """Runs the comparisons the command line asks for; returns the exit status."""
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--transitions", type=int, default=1_000_000, help="per setting")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--only", default=None, help="check only this env id")
    args = parser.parse_args()
    exact = set(exact_native_task_ids())
    failed = False
    print(
        "env_id | options | transitions | resets | terminations | truncations | mismatches | "
        "of which starting observations within 1 ulp | seconds"
    )
    for env_id, kwargs in CONFIGS:
        if args.only is not None and env_id != args.only:
            continue
        start = time.process_time()
        counts = compare(env_id, kwargs, args.transitions, args.seed)
        seconds = time.process_time() - start
        print(
            f"{env_id} | {kwargs} | {counts.transitions} | {counts.resets} | "
            f"{counts.terminations} | {counts.truncations} | {counts.mismatches} | "
            f"{counts.reset_ulp_mismatches} | {seconds:.0f}",
            flush=True,
        )
        if counts.first_mismatch is not None:
            print(f"    first mismatch: {counts.first_mismatch}", flush=True)
        if counts.mismatches and (
            env_id in exact or counts.mismatches != counts.reset_ulp_mismatches
        ):
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
