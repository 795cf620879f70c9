"""Prints the tables of the C++ step benchmark from the JSON of two runs of it: one against the
core as built by default and one against the core built with VELTO_FORCE_SCALAR.

Times are CPU times of the benchmark process (the machine may be shared, and CPU time leaves out
the time other processes hold the core); with repetitions the median over them is shown, and the
cv column gives the spread of the step's cost per live trace.
"""

import json
import statistics
import sys

IN_CACHE = (10000, 32)
OUT_OF_CACHE_SIZES = (1000000, 10000000)
IN_CACHE_TARGET = 0.5
OUT_OF_CACHE_TARGET = 1.3


def load(path):
    """Maps (learner, kind, num_features, active) to the (ns per step, live traces per step) of
    each repetition."""
    with open(path) as handle:
        runs = json.load(handle)["benchmarks"]
    results = {}
    for run in runs:
        if run.get("run_type") != "iteration":
            continue
        learner, kind, num_features, active = run["run_name"].split("/")
        key = (learner, kind, int(num_features), int(active))
        results.setdefault(key, []).append((run["cpu_time"], run["live"]))
    return results


def exponent(num_features):
    """1e4 rather than 1e+04 for the sizes, which are powers of ten."""
    return f"1e{len(str(num_features)) - 1}"


def per_live(results, learner, kind, num_features, active):
    """The median over the repetitions of ns per live trace. A unit's live set swings with its
    draws, so each repetition's time is divided by that repetition's own live count."""
    repetitions = results[(learner, kind, num_features, active)]
    return statistics.median(ns / live for ns, live in repetitions)


def spread(results, key):
    """Coefficient of variation of ns per live trace over the repetitions."""
    values = [ns / live for ns, live in results[key]]
    return statistics.stdev(values) / statistics.mean(values) if len(values) > 1 else None


def main(default_path, scalar_path):
    default = load(default_path)
    scalar = load(scalar_path)
    sizes = sorted({(key[2], key[3]) for key in default}, key=lambda size: (size[1], size[0]))
    learners = [name for name in ("critic", "unit") if any(key[0] == name for key in default)]

    print("### Cost per step (ns of CPU time)\n")
    print("| learner | num_features | active | live traces | ns/live trace | ns/active feature"
          " | scalar path ns/live | memory floor ns/live | arithmetic floor ns/live | cv |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for learner in learners:
        for num_features, active in sizes:
            key = (learner, "step", num_features, active)
            ns_per_step = statistics.median(ns for ns, _ in default[key])
            live = statistics.median(live for _, live in default[key])
            cv = spread(default, key)
            cv_text = f"{cv:.1%}" if cv is not None else "-"
            print(f"| {learner} | {exponent(num_features)} | {active} | {live:,.0f}"
                  f" | {per_live(default, *key):.1f} | {ns_per_step / active:.0f}"
                  f" | {per_live(scalar, learner, 'step', num_features, active):.1f}"
                  f" | {per_live(default, learner, 'memory_floor', num_features, active):.1f}"
                  f" | {per_live(default, learner, 'arithmetic_floor', num_features, active):.1f}"
                  f" | {cv_text} |")

    floor_ratios = [
        per_live(default, *key) / per_live(scalar, *key)
        for key in default
        if key[1] != "step" and key in scalar
    ]
    if floor_ratios:
        noise = f"{min(floor_ratios):.2f} .. {max(floor_ratios):.2f}"
        print(f"\nThe floors are the same code in both runs; their ratio between the runs"
              f" (a gauge of the noise) lies in {noise}.")

    print("\n### Targets (ratios within this run)\n")
    print("| learner | case | measured | target | met |")
    print("|---|---|---:|---:|---|")
    for learner in learners:
        if (learner, "step", *IN_CACHE) in default and (learner, "step", *IN_CACHE) in scalar:
            in_cache = per_live(default, learner, "step", *IN_CACHE)
            ratio = in_cache / per_live(scalar, learner, "step", *IN_CACHE)
            print(f"| {learner} | in cache (1e4 features, {IN_CACHE[1]} active):"
                  f" ns/live vs scalar path | {ratio:.2f}x | <= {IN_CACHE_TARGET}x"
                  f" | {'yes' if ratio <= IN_CACHE_TARGET else 'no'} |")
        else:
            continue
        for num_features, active in sizes:
            if num_features not in OUT_OF_CACHE_SIZES:
                continue
            cost = per_live(default, learner, "step", num_features, active)
            floor = per_live(default, learner, "memory_floor", num_features, active)
            ratio = cost / max(in_cache, floor)
            print(f"| {learner} | {exponent(num_features)} features, {active} active:"
                  f" ns/live vs max(in-cache {in_cache:.1f}, memory floor {floor:.1f})"
                  f" | {ratio:.2f}x | <= {OUT_OF_CACHE_TARGET}x"
                  f" | {'yes' if ratio <= OUT_OF_CACHE_TARGET else 'no'} |")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: report.py DEFAULT_JSON SCALAR_JSON")
    main(sys.argv[1], sys.argv[2])
