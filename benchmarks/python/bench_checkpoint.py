"""Checkpoint speed and load memory: velto_kit's dumps/loads and save/load against a plain
numpy.save / numpy.load of the same arrays, in the same run.

usage: python benchmarks/python/bench_checkpoint.py [--quick] [--sizes 1e4 1e5 ...] [--dir DIR]

For each size (num_features x 4 actions) an agent is built and given a few steps, then:
- dumps vs numpy.save of every member array (the same bytes of data) into one io.BytesIO;
- loads vs numpy.load of those arrays from that buffer;
- save vs numpy.save of the same arrays into one file (flushed; the save also fsyncs the file and
  its directory, so a second row times the baseline with an fsync as well);
- load vs numpy.load of the arrays from that file.
Times are wall-clock minima over repetitions (at least --repeats, up to 30 for the small sizes;
files are in the page cache, as after a save).
The peak memory of load is measured in a fresh process per size: the growth of its peak
resident set (VmHWM) over its resident set just before the load, against the agent's own size
(the learners' arrays, velto_actor_critic's memory guard's figure). That process first loads a
tiny checkpoint, so that code pages touched by any first load are not counted.
"""

import argparse
import gc
import io
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
import velto_kit
from velto_actor_critic import VeltoActorCritic
from velto_kit import _native

ACTIONS = 4


def make_agent(num_features):
    agent = VeltoActorCritic(num_features, ACTIONS, 0.9, 0.1, 1e-3, 1e-3, 1.0, 1.0, 0.5, 0.5, 7)
    rng = np.random.default_rng(1)
    for _ in range(200):
        agent.step(rng.integers(0, num_features, 32).tolist(), float(rng.normal()), 0.95)
    return agent


def member_arrays(agent):
    state = velto_kit.inspect(agent)
    arrays = []
    for learner in (state.critic, *state.units):
        for name in learner.__dataclass_fields__:
            value = getattr(learner, name)
            arrays.append(np.asarray(value))
    return arrays


def paired(repeats, ours, baseline):
    """Minimum times of two (function, *arguments) tuples, run alternately, so that both see the
    same moments of a shared machine and the same state of the page cache."""
    best = [float("inf"), float("inf")]
    for _ in range(repeats):
        for slot, (work, *args) in enumerate((ours, baseline)):
            gc.collect()
            start = time.perf_counter()
            result = work(*args)
            best[slot] = min(best[slot], time.perf_counter() - start)
            del result
    return best


def numpy_dumps(arrays):
    buffer = io.BytesIO()
    for array in arrays:
        np.save(buffer, array, allow_pickle=False)
    return buffer.getvalue()


def numpy_loads(data, count):
    buffer = io.BytesIO(data)
    return [np.load(buffer, allow_pickle=False) for _ in range(count)]


def numpy_save(arrays, path, fsync):
    with open(path, "wb") as stream:
        for array in arrays:
            np.save(stream, array, allow_pickle=False)
        stream.flush()
        if fsync:
            os.fsync(stream.fileno())


def numpy_load(path, count):
    with open(path, "rb") as stream:
        return [np.load(stream, allow_pickle=False) for _ in range(count)]


def peak_load_memory(path, warm_up_path):
    """Runs a fresh process that loads `path`; returns (peak growth, agent bytes). The process
    first loads a tiny checkpoint (`warm_up_path`), so that the code pages and interpreter caches
    that any first load touches are not counted as this load's memory."""
    script = (
        "import sys, json, velto_kit\n"
        "from velto_kit import _native\n"
        "def status(key):\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith(key):\n"
        "            return int(line.split()[1]) * 1024\n"
        "velto_kit.loads(velto_kit.dumps(velto_kit.load(sys.argv[2])))\n"
        "before = status('VmRSS:')\n"
        "agent = velto_kit.load(sys.argv[1])\n"
        "peak = status('VmHWM:')\n"
        "size = _native.agent_bytes(_native.num_features(agent), _native.num_units(agent))\n"
        "print(json.dumps([peak - before, size]))\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", script, path, warm_up_path],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    return json.loads(out)


def measure(num_features, repeats, directory):
    agent = make_agent(num_features)
    arrays = member_arrays(agent)
    count = len(arrays)
    row = {"num_features": num_features, "agent_mib": _native.agent_bytes(num_features, 4) / 2**20}

    data = velto_kit.dumps(agent)
    numpy_data = numpy_dumps(arrays)
    row["dumps"], row["numpy_dumps"] = paired(
        repeats, (velto_kit.dumps, agent), (numpy_dumps, arrays)
    )
    row["loads"], row["numpy_loads"] = paired(
        repeats, (velto_kit.loads, data), (numpy_loads, numpy_data, count)
    )
    del data, numpy_data

    path = os.path.join(directory, "agent.npz")
    numpy_path = os.path.join(directory, "arrays.npy")
    row["save"], row["numpy_save"] = paired(
        repeats, (velto_kit.save, agent, path), (numpy_save, arrays, numpy_path, False)
    )
    _, row["numpy_save_fsync"] = paired(
        repeats, (velto_kit.save, agent, path), (numpy_save, arrays, numpy_path, True)
    )
    row["load"], row["numpy_load"] = paired(
        repeats, (velto_kit.load, path), (numpy_load, numpy_path, count)
    )
    del agent, arrays
    gc.collect()
    warm_up_path = os.path.join(directory, "tiny.npz")
    velto_kit.save(make_agent(16), warm_up_path)
    row["peak_load"], row["agent_bytes"] = peak_load_memory(path, warm_up_path)
    os.remove(numpy_path)
    os.remove(path)
    return row


def report(rows):
    print(
        "| num_features x 4 | agent MiB | dumps ms | numpy ms | ratio | loads ms | numpy ms "
        "| ratio | save ms | numpy ms | ratio | numpy+fsync ms | ratio | load ms | numpy ms "
        "| ratio | load peak / agent |"
    )
    print("|---:" * 17 + "|")
    for r in rows:
        cells = [
            f"{r['num_features']:.0e}",
            f"{r['agent_mib']:.1f}",
        ]
        for ours, base in (
            ("dumps", "numpy_dumps"),
            ("loads", "numpy_loads"),
            ("save", "numpy_save"),
        ):
            cells += [f"{r[ours] * 1e3:.1f}", f"{r[base] * 1e3:.1f}", f"{r[ours] / r[base]:.2f}x"]
        cells += [f"{r['numpy_save_fsync'] * 1e3:.1f}", f"{r['save'] / r['numpy_save_fsync']:.2f}x"]
        cells += [
            f"{r['load'] * 1e3:.1f}",
            f"{r['numpy_load'] * 1e3:.1f}",
            f"{r['load'] / r['numpy_load']:.2f}x",
            f"{r['peak_load'] / r['agent_bytes']:.3f}x",
        ]
        print("| " + " | ".join(cells) + " |")
    print()
    print("| target | worst measured | required | met |")
    print("|---|---:|---:|---|")
    checks = [
        ("dumps / numpy.save (BytesIO)", max(r["dumps"] / r["numpy_dumps"] for r in rows), 1.5),
        ("loads / numpy.load (BytesIO)", max(r["loads"] / r["numpy_loads"] for r in rows), 1.5),
        ("save / numpy.save (file)", max(r["save"] / r["numpy_save"] for r in rows), 1.5),
        ("load / numpy.load (file)", max(r["load"] / r["numpy_load"] for r in rows), 1.5),
        (
            "load peak memory / agent size",
            max(r["peak_load"] / r["agent_bytes"] for r in rows),
            1.2,
        ),
    ]
    for name, worst, limit in checks:
        print(f"| {name} | {worst:.2f}x | <= {limit}x | {'yes' if worst <= limit else 'no'} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="1e4 and 1e5 features, 2 repeats")
    parser.add_argument("--sizes", type=float, nargs="+", default=[1e4, 1e5, 1e6, 1e7])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--dir", default=None, help="directory for the files (default: a temp dir)")
    args = parser.parse_args()
    sizes = [1e4, 1e5] if args.quick else args.sizes
    repeats = 2 if args.quick else args.repeats
    rows = []
    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        for size in sizes:
            # Small sizes take milliseconds, where a shared machine's noise is largest: more
            # repetitions there, so that the minimum is one of an undisturbed run.
            count = max(repeats, min(30, int(1e6 // size)))
            rows.append(measure(int(size), count, directory))
            print(json.dumps(rows[-1]), file=sys.stderr, flush=True)
    report(rows)


if __name__ == "__main__":
    main()
