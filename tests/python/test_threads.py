"""velto_kit under threads: a save, dumps, pickle or copy taken while another thread steps the
agent is its state at one moment between two steps; a save never disturbs other threads' files."""

import copy
import hashlib
import itertools
import os
import pickle
import sys
import threading

import numpy as np
import pytest
import velto_kit
from velto_actor_critic import VeltoActorCritic
from velto_kit import _native, checkpoint_writer

# Large enough that another thread could step in while an array is checksummed or written.
NUM_FEATURES = 60_000
SNAPSHOTS = {
    "save": lambda agent, path: velto_kit.save(agent, path) or path.read_bytes(),
    "dumps": lambda agent, path: velto_kit.dumps(agent),
    "pickle": lambda agent, path: velto_kit.dumps(pickle.loads(pickle.dumps(agent))),
    "deepcopy": lambda agent, path: velto_kit.dumps(copy.deepcopy(agent)),
}


def small_agent(seed=0):
    return VeltoActorCritic(40, 3, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, seed)


def weights_digest(agent):
    return hashlib.sha256(velto_kit.inspect(agent).critic.weights.tobytes()).digest()


def test_snapshots_while_another_thread_steps_are_states_the_agent_was_in(tmp_path):
    def fresh():
        return VeltoActorCritic(NUM_FEATURES, 2, 0.95, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 5)

    rng = np.random.default_rng(11)
    features, rewards = rng.integers(0, NUM_FEATURES, (20000, 64)), rng.uniform(-1, 1, 20000)
    calls = [(f.tolist(), float(r), 0.9) for f, r in zip(features, rewards, strict=True)]
    agent, taken, stop = fresh(), [], threading.Event()

    def stepper():
        # The calls go round until the snapshots are done: a stepper that ran out first would
        # leave the later snapshots nothing to race against.
        for call in itertools.cycle(calls):
            if stop.is_set():
                return
            agent.step(*call)
            taken.append(call)

    thread = threading.Thread(target=stepper)
    thread.start()
    while not taken:
        pass
    kinds = list(SNAPSHOTS.items()) * 3
    snapshots = [(kind, take(agent, tmp_path / "a.npz")) for kind, take in kinds]
    stop.set()
    thread.join()
    # Replaying the calls on a twin passes through every state the agent was in; each snapshot
    # must be exactly one of them (a torn one fails its CRC-32 in loads, or matches none).
    waiting = {}
    for index, (_, data) in enumerate(snapshots):
        waiting.setdefault(weights_digest(velto_kit.loads(data)), []).append(index)
    twin, matched = fresh(), set()
    for call in [None, *taken]:
        if call:
            twin.step(*call)
        if weights_digest(twin) in waiting:
            state = velto_kit.dumps(twin)
            matched.update(i for i in waiting[weights_digest(twin)] if snapshots[i][1] == state)
    assert sorted({kind for i, (kind, _) in enumerate(snapshots) if i not in matched}) == []


def test_save_leaves_the_umask_alone_for_files_other_threads_create(tmp_path, monkeypatch):
    # Another thread may create a file at any moment: here right after any change of the umask.
    modes, real_umask = [], os.umask

    def umask_then_other_thread_creates(mask):
        previous = real_umask(mask)
        name = tmp_path / f"other{len(modes)}"
        os.close(os.open(name, os.O_WRONLY | os.O_CREAT, 0o666))
        modes.append(name.stat().st_mode & 0o777)
        return previous

    previous = real_umask(0o022)
    monkeypatch.setattr(os, "umask", umask_then_other_thread_creates)
    try:
        velto_kit.save(small_agent(), tmp_path / "agent.npz")
    finally:
        monkeypatch.undo()
        real_umask(previous)
    assert [mode for mode in modes if mode != 0o644] == []
    assert (tmp_path / "agent.npz").stat().st_mode & 0o777 == 0o644


# The temporary name was 14 bytes longer than the target's, so from 242 bytes on it did not fit.
@pytest.mark.parametrize(
    ("name_bytes", "saved"), [(241, True), (242, True), (255, True), (256, False)]
)
def test_save_takes_every_name_the_file_system_takes(tmp_path, name_bytes, saved):
    # Two-byte characters, so that the temporary name is shortened by whole characters.
    name = "é" * ((name_bytes - 4) // 2) + "x" * (name_bytes % 2) + ".npz"
    agent, path = small_agent(), tmp_path / name
    if saved:
        velto_kit.save(agent, path)
        assert velto_kit.dumps(velto_kit.load(path)) == velto_kit.dumps(agent)
    else:
        with pytest.raises(OSError, match="too long"):
            velto_kit.save(agent, path)
    assert [p.name for p in tmp_path.iterdir()] == [name] * saved


@pytest.mark.parametrize(("steps_between", "fits"), [(0, True), (1, False)])
def test_a_layout_a_step_has_outgrown_is_refused_with_nothing_written(
    tmp_path, steps_between, fits
):
    agent = small_agent()
    agent.step([1, 2], 1.0, 0.9)
    expected, plan = velto_kit.dumps(agent), checkpoint_writer.layout(agent)
    for _ in range(steps_between):
        agent.step([3, 4, 5], 0.5, 0.9)  # the trace lists grow
    with open(tmp_path / "out", "wb") as stream:
        written = _native.write_agent(agent, stream.fileno(), *plan)
    data = _native.assemble_agent(agent, *plan)
    assert (written, data, (tmp_path / "out").read_bytes()) == (
        (True, expected, expected) if fits else (False, None, b"")
    )


@pytest.mark.parametrize(("attempts", "copies"), [(0, 2), (1, 0)])
def test_after_failed_layouts_a_copy_gives_the_same_bytes(tmp_path, monkeypatch, attempts, copies):
    agent = small_agent(2)
    for step in range(20):
        agent.step([step % 40, (7 * step) % 40], 1.0, 0.9)
    expected, made, snapshot = velto_kit.dumps(agent), [], _native.snapshot
    monkeypatch.setattr(checkpoint_writer, "ATTEMPTS", attempts)
    monkeypatch.setattr(_native, "snapshot", lambda a: made.append(a) or snapshot(a))
    velto_kit.save(agent, tmp_path / "agent.npz")
    assert velto_kit.dumps(agent) == (tmp_path / "agent.npz").read_bytes() == expected
    assert len(made) == copies


def _copied_members(state):
    """inspect's copies (not its live views) of every learner, as one comparable value."""
    critic = state.critic
    values = np.array([critic.last_value, critic.value_change], dtype=np.float32).tobytes()
    units = tuple((bytes(unit.trace_list), int(unit.rng_position)) for unit in state.units)
    return (bytes(critic.trace_list), values, *units)


def test_inspect_copies_every_learner_at_one_moment_while_another_thread_steps():
    # Switching threads every microsecond gives the stepping thread every chance to run
    # between two learners, if inspect read them in separate calls.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    rng = np.random.default_rng(3)
    calls = [(rng.integers(0, 40, 5).tolist(), float(r), 0.9) for r in rng.uniform(-1, 1, 4000)]
    agent, taken, stop = small_agent(7), [], threading.Event()

    def stepper():
        for call in calls:
            if stop.is_set():
                return
            agent.step(*call)
            taken.append(call)

    thread = threading.Thread(target=stepper)
    try:
        thread.start()
        seen = [_copied_members(velto_kit.inspect(agent)) for _ in range(3000)]
        # A single learner's list too: making the NumPy array of it lets the stepper in, and a
        # copy sized before that would overrun (the sanitized build of the hardening stage
        # reports it; here the lists must be ones the critic had).
        lists = [bytes(_native.trace_list(agent, _native.CRITIC)) for _ in range(3000)]
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)
    twin = small_agent(7)
    states = {_copied_members(velto_kit.inspect(twin))}
    for call in taken:
        twin.step(*call)
        states.add(_copied_members(velto_kit.inspect(twin)))
    assert len(set(seen)) > 1, "the stepping thread never ran while inspect was called"
    assert [key for key in seen if key not in states] == []
    assert [key for key in lists if key not in {state[0] for state in states}] == []
