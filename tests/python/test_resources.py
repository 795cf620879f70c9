"""Memory, reference counts and threads: what a long-running caller relies on.

A million steps keep the resident memory flat, no call keeps or drops a reference to its arguments,
sizes that cannot fit raise MemoryError instead of getting the process killed, and threads stepping
agents neither crash nor change what an agent computes. Under the sanitizer build
(VELTO_SANITIZED=1, set by scripts/harden.sh) the MemoryError check also proves that the agent's
own guard fires before any oversized allocation.
"""

import json
import os
import random
import subprocess
import sys
import threading
from pathlib import Path

import pytest

from argument_kinds import FailingIndex, Index, Real
from velto_actor_critic import VeltoActorCritic

SANITIZED = os.environ.get("VELTO_SANITIZED") == "1"
PROBE = Path(__file__).with_name("memory_probe.py")
INT32_MAX = 2**31 - 1


def build_agent(num_features=5000, num_actions=3, seed=7):
    return VeltoActorCritic(
        num_features, num_actions, 0.9, 0.01, 1e-3, 0.01, 1.0, 1.0, 0.99, 0.5, seed
    )


def run_probe(steps: int, warmup: int) -> dict:
    env = dict(os.environ)
    if SANITIZED:
        # Freed blocks go straight back to the allocator instead of a quarantine that would grow
        # to its cap and hide a flat profile.
        env["ASAN_OPTIONS"] = (
            env.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0"
        )
    completed = subprocess.run(
        [sys.executable, str(PROBE), "--steps", str(steps), "--warmup", str(warmup)],
        capture_output=True,
        text=True,
        timeout=600,
        env=env,
        check=True,
    )
    return json.loads(completed.stdout)


def test_resident_memory_stays_flat_over_a_million_steps():
    report = run_probe(steps=1_000_000, warmup=100_000)
    samples = list(report["rss_kib"].values())
    assert report["steps"] == 1_000_000 and report["calls_rejected"] >= 20_000
    assert len(samples) == 10
    # A leak of a few bytes per step or per rejected call would add megabytes.
    assert max(samples) - samples[0] <= 512, report["rss_kib"]


def make_int(text: str) -> int:
    # Built at run time: a fresh object outside the interpreter's immortal small integers.
    return int(text)


def step_arguments():
    """(id, feature argument, reward, gamma, objects inside the feature argument, error)."""
    ints = [make_int(str(n)) for n in (1000, 2001, 1000, 4999)]
    index = Index(make_int("3000"))
    return [
        ("list", list(ints), 0.25, 0.9, ints, None),
        ("tuple", tuple(ints), 1.5, 0.5, ints, None),
        ("index object", [index, ints[0]], Real(0.5), 0.9, [index, ints[0]], None),
        ("out of range", [ints[0], make_int("5000")], 0.25, 0.9, ints[:1], IndexError),
        ("negative", [ints[1], make_int("-1000")], 0.25, 0.9, ints[1:2], IndexError),
        ("float element", [ints[0], 2.5], 0.25, 0.9, ints[:1], TypeError),
        ("too large", [ints[2], make_int(str(2**31))], 0.25, 0.9, ints[2:3], TypeError),
        ("failing index", [ints[3], FailingIndex()], 0.25, 0.9, ints[3:], TypeError),
        ("reward str", list(ints), "1.0", 0.9, ints, TypeError),
    ]


@pytest.mark.parametrize(
    "features, reward, gamma, inside, error",
    [pytest.param(*case[1:], id=case[0]) for case in step_arguments()],
)
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keywords"])
def test_step_keeps_the_reference_counts_of_its_arguments(
    features, reward, gamma, inside, error, by_keyword
):
    agent = build_agent()
    watched = [agent, features, reward, gamma, *inside, *features]
    before = [sys.getrefcount(obj) for obj in watched]
    actions = None
    for _ in range(2000):
        try:
            if by_keyword:
                actions = agent.step(gamma=gamma, reward=reward, feature_indices=features)
            else:
                actions = agent.step(features, reward, gamma)
        except Exception as raised:
            assert type(raised) is error
        else:
            assert error is None
            assert sys.getrefcount(actions) == 2  # the local name and the call's argument
    del actions
    assert [sys.getrefcount(obj) for obj in watched] == before


@pytest.mark.parametrize(
    "arguments, error",
    [
        pytest.param((make_int("1000"), Index(make_int("2")), 0.9, 0.01, 1e-3, 0.01, Real(1.0), 1.0,
                      0.99, 0.5, make_int("123456")), None, id="accepted"),
        pytest.param((make_int("-1000"), 2, 0.9, 0.01, 1e-3, 0.01, 1.0, 1.0, 0.99, 0.5,
                      make_int("123456")), ValueError, id="negative size"),
        pytest.param((make_int("1000"), 2, 0.9, 0.01, 1e-3, "0.01", 1.0, 1.0, 0.99, 0.5,
                      make_int("123456")), TypeError, id="str parameter"),
    ],
)
def test_construction_keeps_the_reference_counts_of_its_arguments(arguments, error):
    before = [sys.getrefcount(obj) for obj in arguments]
    for _ in range(500):
        try:
            VeltoActorCritic(*arguments)
        except Exception as raised:
            assert type(raised) is error
        else:
            assert error is None
    assert [sys.getrefcount(obj) for obj in arguments] == before


@pytest.mark.parametrize(
    "num_features, num_actions",
    [
        pytest.param(INT32_MAX, 1, id="largest arrays"),
        pytest.param(INT32_MAX, 0, id="largest critic alone"),
        pytest.param(10**8, 1000, id="many units of large arrays"),
        pytest.param(1000, INT32_MAX, id="most units"),
    ],
)
def test_sizes_that_cannot_fit_raise_memory_error(num_features, num_actions):
    env = dict(os.environ)
    limits = ""
    if SANITIZED:
        # Any allocation above 1 GiB aborts the process, so MemoryError can only come from the
        # agent's guard, before it allocates anything.
        env["ASAN_OPTIONS"] = (
            env.get("ASAN_OPTIONS", "") + ":max_allocation_size_mb=1024:allocator_may_return_null=0"
        )
    else:
        # Should the guard fail, the address-space cap turns the allocation into a failure
        # instead of a process that the kernel kills.
        limits = "import resource; resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))\n"
    code = limits + (
        "from velto_actor_critic import VeltoActorCritic\n"
        "try:\n"
        f"    VeltoActorCritic({num_features}, {num_actions}, 0.9, 0.01, 1e-3, 0.01, 1.0, 1.0,"
        " 0.99, 0.5, 0)\n"
        "except MemoryError:\n"
        "    print('MemoryError')\n"
    )
    completed = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120, env=env
    )
    assert (completed.returncode, completed.stdout.strip()) == (0, "MemoryError"), completed.stderr


def own_memory_cgroup() -> Path | None:
    """This process's group in a cgroup v1 memory hierarchy mounted at /sys/fs/cgroup/memory."""
    try:
        lines = Path("/proc/self/cgroup").read_text().splitlines()
    except OSError:
        return None
    for line in lines:
        _, controllers, path = line.split(":", 2)
        if "memory" in controllers.split(","):
            group = Path("/sys/fs/cgroup/memory") / path.lstrip("/")
            return group if (group / "memory.limit_in_bytes").exists() else None
    return None


# Runs in the limited group: moves itself in, sets the limit to what it uses plus 400 MiB, then
# asks for one agent beyond the limit and three of 150 MiB (84 bytes per feature with one action).
IN_LIMITED_GROUP = """
import json, os, sys
from pathlib import Path
group = Path(sys.argv[1])
(group / "cgroup.procs").write_text(str(os.getpid()))
from velto_actor_critic import VeltoActorCritic
used = int((group / "memory.usage_in_bytes").read_text())
(group / "memory.limit_in_bytes").write_text(str(used + (400 << 20)))
outcomes, kept = [], []
for mib in (1024, 150, 150, 150):
    try:
        kept.append(VeltoActorCritic((mib << 20) // 84, 1, 0.9, 0.1, 0.01, 1e-3, 0.5, 0.05, 0.5,
                                     0.5, 7))
        outcomes.append("built")
    except MemoryError:
        outcomes.append("MemoryError")
print(json.dumps(outcomes))
"""


def test_memory_error_under_a_cgroup_memory_limit():
    # Below the machine's memory, a cgroup's limit is what the kernel enforces, by killing the
    # process; the guard must count it, and what the group already uses.
    parent = own_memory_cgroup()
    if parent is None:
        pytest.skip("no cgroup v1 memory hierarchy at /sys/fs/cgroup/memory")
    group = parent / f"velto_memory_test_{os.getpid()}"
    try:
        group.mkdir()
    except OSError as error:
        pytest.skip(f"cannot create a memory cgroup: {error}")
    try:
        completed = subprocess.run(
            [sys.executable, "-c", IN_LIMITED_GROUP, str(group)],
            capture_output=True, text=True, timeout=120,
        )
    finally:
        group.rmdir()
    assert completed.returncode == 0, (completed.returncode, completed.stderr[-3000:])
    outcomes = json.loads(completed.stdout.strip().splitlines()[-1])
    assert outcomes == ["MemoryError", "built", "built", "MemoryError"]


def step_sequence(seed: int, length: int, num_features: int):
    """A reproducible sequence of feature lists, rewards and discounts."""
    rng = random.Random(seed)
    return [
        (
            rng.sample(range(num_features), rng.randint(0, 8)),
            rng.uniform(-1, 1),
            rng.choice([0.0, 0.9, 0.95]),
        )
        for _ in range(length)
    ]


def step_all(agent, sequence):
    return [agent.step(features, reward, gamma) for features, reward, gamma in sequence]


@pytest.fixture
def frequent_thread_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def run_threads(targets):
    threads = [threading.Thread(target=target) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads)


@pytest.mark.usefixtures("frequent_thread_switches")
def test_threads_stepping_their_own_agents_match_agents_stepped_alone():
    num_threads, num_features = 4, 200
    sequences = [step_sequence(seed, 1500, num_features) for seed in range(num_threads)]
    alone = [
        step_all(build_agent(num_features, 4, seed), sequences[seed]) for seed in range(num_threads)
    ]
    together = [None] * num_threads
    barrier = threading.Barrier(num_threads)

    def worker(seed):
        agent = build_agent(num_features, 4, seed)
        barrier.wait()
        together[seed] = step_all(agent, sequences[seed])

    run_threads([lambda seed=seed: worker(seed) for seed in range(num_threads)])
    assert together == alone
    assert any(any(actions) for actions in alone)


@pytest.mark.usefixtures("frequent_thread_switches")
def test_threads_stepping_one_shared_agent_get_valid_lists_and_errors():
    num_threads, num_features, num_actions = 4, 200, 5
    agent = build_agent(num_features, num_actions, 11)
    barrier = threading.Barrier(num_threads)
    failures = []
    calls = [0] * num_threads

    def worker(seed):
        barrier.wait()
        try:
            for k, (features, reward, gamma) in enumerate(step_sequence(seed, 1500, num_features)):
                if k % 10 == 0:
                    with pytest.raises(IndexError):
                        agent.step(features + [num_features], reward, gamma)
                actions = agent.step(features, reward, gamma)
                if actions != sorted(set(actions)) or not set(actions) <= set(range(num_actions)):
                    failures.append(f"invalid action list {actions}")
                calls[seed] += 1
        except BaseException as raised:
            failures.append(repr(raised))

    run_threads([lambda seed=seed: worker(seed) for seed in range(num_threads)])
    assert failures == []
    assert calls == [1500] * num_threads
