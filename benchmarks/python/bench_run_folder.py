"""Removing a run's checkpoints: CPU time of overwrite and of pruning against their number.

usage: python benchmarks/python/bench_run_folder.py [--quick] [--counts 100 200 400 800]
       [--agents 1] [--fixed-history] [--dir DIR]

For each count n a folder gets n run checkpoints of a run checkpointed after every episode, with
`--agents` agent files each. The manifest after episode k holds k returns per agent, as a real
run's does, so the manifests' bytes grow with the square of n (the MB column), and reading each
once takes time in proportion to them; with --fixed-history every manifest holds one return per
agent, which leaves the time's growth with the number of files alone. The files are hard links
of one checkpoint's, so that building the folder costs little; removing one is removing a file.
Then it times, in CPU seconds of this process:
- overwrite: ``remove_run_checkpoints`` of all n (what ``overwrite=True`` does);
- prune: ``prune_run_checkpoints(newest, keep_last=1)``, removing the n - 1 older ones at once
  (what the first checkpoint of a resumed run with ``keep_last`` does after a run without it).
Each count is built and removed --repeats times; the minimum is reported, with its ratio to the
previous count's: about 2 for each doubling when the work grows with the files, 4 when it grows
with their square.
"""

import argparse
import contextlib
import io
import json
import os
import tempfile
import time
from pathlib import Path

import numpy as np
from velto_kit import AgentSettings, make_agent
from velto_kit.state.run_folder import prune_run_checkpoints, remove_run_checkpoints
from velto_kit.state.run_state import (
    MemberState,
    RunState,
    manifest_path,
    run_checkpoints,
    save_run,
)


def build(folder, count, agents, fixed_history):
    """`count` run checkpoints in `folder` (created empty), the first one written by save_run."""
    folder.mkdir()
    members = [
        MemberState(make_agent(16, 2, AgentSettings(), seed=i), [], np.random.default_rng(i), None)
        for i in range(agents)
    ]
    template = json.loads(save_run(folder, RunState({}, 0, 0, 0.0, members)).read_bytes())
    originals = [folder / entry["agent"]["file"] for entry in template["members"]]
    for episode in range(1, count):
        manifest = dict(template, next_episode=episode)
        manifest["members"] = []
        for entry, original in zip(template["members"], originals, strict=True):
            name = original.name.replace("000000", f"{episode:06d}")
            os.link(original, folder / name)
            history = 1 if fixed_history else episode
            manifest["members"].append(
                dict(entry, agent=dict(entry["agent"], file=name), returns=[1.0] * history,
                     lengths=[1] * history, steps=history)
            )  # fmt: skip
        manifest_path(folder, episode).write_text(json.dumps(manifest, indent=1))
    return manifest_path(folder, count - 1)


def timed(work):
    with contextlib.redirect_stderr(io.StringIO()):
        start = time.process_time()
        removed = work()
        return time.process_time() - start, len(removed)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="counts 100 to 400, 2 repeats")
    parser.add_argument("--counts", type=int, nargs="+", default=[100, 200, 400, 800])
    parser.add_argument("--agents", type=int, default=1)
    parser.add_argument("--fixed-history", action="store_true", help="one return per manifest")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--dir", default=None, help="directory for the folders (default: temp)")
    options = parser.parse_args()
    counts, repeats = options.counts, options.repeats
    if options.quick:
        counts, repeats = [100, 200, 400], 2
    root = Path(options.dir or tempfile.mkdtemp())
    print(f"{options.agents} agent(s) per checkpoint; CPU seconds, minimum of {repeats}")
    print(
        f"{'checkpoints':>11} {'files':>6} {'MB':>6} {'overwrite':>10} {'ratio':>6}"
        f" {'prune':>8} {'ratio':>6}"
    )
    previous = None
    for count in counts:
        best = [float("inf"), float("inf")]
        for repeat in range(repeats):
            folder = root / f"overwrite-{count}-{repeat}"
            build(folder, count, options.agents, options.fixed_history)
            megabytes = sum(path.stat().st_size for path in run_checkpoints(folder)) / 1e6
            seconds, files = timed(lambda folder=folder: remove_run_checkpoints(folder))
            best[0] = min(best[0], seconds)
            pruned = root / f"prune-{count}-{repeat}"
            newest = build(pruned, count, options.agents, options.fixed_history)
            best[1] = min(best[1], timed(lambda newest=newest: prune_run_checkpoints(newest, 1))[0])
        ratios = ["" if previous is None else f"{now / before:.2f}" for now, before in
                  zip(best, previous or best, strict=True)]  # fmt: skip
        print(
            f"{count:>11} {files:>6} {megabytes:>6.1f} {best[0]:>10.3f} {ratios[0]:>6}"
            f" {best[1]:>8.3f} {ratios[1]:>6}"
        )
        previous = best


if __name__ == "__main__":
    main()
