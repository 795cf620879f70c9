"""velto_kit under threads: a save, dumps, pickle or copy taken while another thread steps the
agent is the agent's state at one moment between two steps; a save never disturbs the files
other threads create."""

import copy
import hashlib
import os
import pickle
import random
import stat
import threading

import pytest
import velto_kit
from velto_actor_critic import VeltoActorCritic
from velto_kit import _native, checkpoint_writer

# Large enough that checksumming and writing an array takes long enough for another thread to
# step in between, if anything lets it.
NUM_FEATURES = 60_000
NUM_ACTIONS = 2
STEPS = 3000
SNAPSHOTS_PER_KIND = 3


def fresh_agent():
    return VeltoActorCritic(NUM_FEATURES, NUM_ACTIONS, 0.95, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 5)


def step_calls():
    rng = random.Random(11)
    return [
        (rng.sample(range(NUM_FEATURES), 64), rng.uniform(-1.0, 1.0), 0.9) for _ in range(STEPS)
    ]


def fingerprint(agent):
    return hashlib.sha256(velto_kit.inspect(agent).critic.weights.tobytes()).digest()


def via_save(agent, path):
    velto_kit.save(agent, path)
    velto_kit.load(path)  # a CheckpointError here is a torn file
    return path.read_bytes()


SNAPSHOT_KINDS = {
    "save": via_save,
    "dumps": lambda agent, path: velto_kit.dumps(agent),
    "pickle": lambda agent, path: velto_kit.dumps(pickle.loads(pickle.dumps(agent))),
    "deepcopy": lambda agent, path: velto_kit.dumps(copy.deepcopy(agent)),
    "copy": lambda agent, path: velto_kit.dumps(copy.copy(agent)),
}


def test_snapshots_while_another_thread_steps_are_states_the_agent_was_in(tmp_path):
    agent = fresh_agent()
    calls = step_calls()
    started = threading.Event()
    stop = threading.Event()

    def stepper():
        for features, reward, gamma in calls:
            if stop.is_set():
                return
            agent.step(features, reward, gamma)
            started.set()

    thread = threading.Thread(target=stepper)
    thread.start()
    snapshots = []
    try:
        started.wait()
        for _ in range(SNAPSHOTS_PER_KIND):
            for kind, take in SNAPSHOT_KINDS.items():
                if thread.is_alive():
                    snapshots.append((kind, take(agent, tmp_path / "agent.npz")))
    finally:
        stop.set()
        thread.join()
    assert len(snapshots) >= len(SNAPSHOT_KINDS), "the stepping thread ended too soon"

    # Replaying the same calls on a twin passes through every state the agent was in; each
    # snapshot must be exactly one of them.
    waiting = {}
    for index, (_, data) in enumerate(snapshots):
        waiting.setdefault(fingerprint(velto_kit.loads(data)), []).append(index)
    twin = fresh_agent()
    matched = set()
    for call in [None, *calls]:
        if call is not None:
            twin.step(*call)
        indices = waiting.get(fingerprint(twin), [])
        if indices:
            state = velto_kit.dumps(twin)
            matched.update(i for i in indices if snapshots[i][1] == state)
        if len(matched) == len(snapshots):
            break
    torn = sorted({snapshots[i][0] for i in range(len(snapshots)) if i not in matched})
    assert not torn, f"snapshots in no state the agent was ever in: {torn}"


def test_save_leaves_the_umask_alone_for_files_other_threads_create(tmp_path, monkeypatch):
    agent = VeltoActorCritic(10, 1, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 0)
    others = tmp_path / "others"
    others.mkdir()
    stop = threading.Event()
    created = []
    writable_by_others = []

    def create_file():
        name = others / f"{len(created)}"
        os.close(os.open(name, os.O_WRONLY | os.O_CREAT, 0o666))
        created.append(name)
        if name.stat().st_mode & (stat.S_IWGRP | stat.S_IWOTH):
            writable_by_others.append(name.name)

    def create_files():
        while not stop.is_set():
            create_file()

    # Another thread may create a file at any moment, including right after any change of the
    # umask: such a change is followed by a creation here, so the race shows every time.
    real_umask = os.umask

    def umask_then_create(mask):
        previous = real_umask(mask)
        create_file()
        return previous

    previous = real_umask(0o022)
    thread = threading.Thread(target=create_files)
    try:
        thread.start()
        monkeypatch.setattr(os, "umask", umask_then_create)
        for _ in range(100):
            velto_kit.save(agent, tmp_path / "agent.npz")
    finally:
        monkeypatch.undo()
        stop.set()
        thread.join()
        real_umask(previous)
    assert len(created) > 10, "the other thread barely ran"
    assert not writable_by_others, f"{len(writable_by_others)} files writable by others"
    assert (tmp_path / "agent.npz").stat().st_mode & 0o777 == 0o644


@pytest.mark.parametrize(
    ("name_bytes", "saved"),
    # A temporary name 14 bytes longer than the target's no longer fits from 242 bytes on.
    [(241, True), (242, True), (255, True), (256, False)],
)
def test_save_takes_every_name_the_file_system_takes(tmp_path, name_bytes, saved):
    agent = VeltoActorCritic(10, 1, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 0)
    # Two-byte characters too, so that the temporary name is shortened by whole characters.
    name = "é" * ((name_bytes - 4) // 2) + "x" * ((name_bytes - 4) % 2) + ".npz"
    assert len(os.fsencode(name)) == name_bytes
    path = tmp_path / name
    if saved:
        velto_kit.save(agent, path)
        assert velto_kit.dumps(velto_kit.load(path)) == velto_kit.dumps(agent)
        assert [p.name for p in tmp_path.iterdir()] == [name]
    else:
        with pytest.raises(OSError, match="too long"):
            velto_kit.save(agent, path)
        assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(("steps_between", "fits"), [(0, True), (1, False)])
def test_a_layout_made_before_a_step_is_refused_with_nothing_written(
    tmp_path, steps_between, fits
):
    agent = VeltoActorCritic(50, 2, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 1)
    agent.step([1, 2], 1.0, 0.9)
    expected = velto_kit.dumps(agent)
    plan = checkpoint_writer.layout(agent)
    for _ in range(steps_between):
        agent.step([3, 4, 5], 0.5, 0.9)  # the trace lists grow: the layout no longer fits
    path = tmp_path / "out"
    with open(path, "wb") as stream:
        written = _native.write_agent(agent, stream.fileno(), *plan)
    data = _native.assemble_agent(agent, *plan)
    if fits:
        assert written is True and data == expected and path.read_bytes() == expected
    else:
        assert written is False and data is None and path.read_bytes() == b""


@pytest.mark.parametrize("attempts", [0, 1, checkpoint_writer.ATTEMPTS])
def test_the_copy_made_when_layouts_keep_failing_gives_the_same_bytes(
    tmp_path, monkeypatch, attempts
):
    agent = VeltoActorCritic(40, 3, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 2)
    for step in range(20):
        agent.step([step % 40, (7 * step) % 40], 1.0, 0.9)
    expected = velto_kit.dumps(agent)
    snapshots = []
    real_snapshot = _native.snapshot
    monkeypatch.setattr(checkpoint_writer, "ATTEMPTS", attempts)
    monkeypatch.setattr(_native, "snapshot", lambda a: snapshots.append(a) or real_snapshot(a))
    velto_kit.save(agent, tmp_path / "agent.npz")
    assert velto_kit.dumps(agent) == expected
    assert (tmp_path / "agent.npz").read_bytes() == expected
    assert len(snapshots) == (2 if attempts == 0 else 0)
