"""A save killed at any moment leaves the earlier file at the path whole and loadable."""

import os
import random
import signal
import subprocess
import sys
import time

import pytest
import velto_kit
from kit_support import slow_under_sanitizers
from velto_actor_critic import VeltoActorCritic

# Saves two different agents to argv[1] in turn, forever, printing a line after the first save.
SAVER = r"""
import sys, velto_kit
from velto_actor_critic import VeltoActorCritic
def agent(num_features, seed):
    agent = VeltoActorCritic(num_features, 2, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, seed)
    for t in range(50):
        agent.step([t % num_features, (7 * t) % num_features], 1.0, 0.9)
    return agent
first, second = agent(60_000, 1), agent(40_000, 2)
velto_kit.save(first, sys.argv[1])
print("saved", flush=True)
while True:
    velto_kit.save(second, sys.argv[1])
    velto_kit.save(first, sys.argv[1])
"""


def expected_bytes():
    def agent(num_features, seed):
        agent = VeltoActorCritic(num_features, 2, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, seed)
        for t in range(50):
            agent.step([t % num_features, (7 * t) % num_features], 1.0, 0.9)
        return agent

    return {velto_kit.dumps(agent(60_000, 1)), velto_kit.dumps(agent(40_000, 2))}


@slow_under_sanitizers
@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs POSIX signals")
def test_killed_saves_leave_a_whole_earlier_file(tmp_path):
    versions = expected_bytes()
    path = tmp_path / "agent.npz"
    rng = random.Random(3)
    for attempt in range(4):
        with subprocess.Popen(
            [sys.executable, "-c", SAVER, str(path)], stdout=subprocess.PIPE, text=True
        ) as saver:
            assert saver.stdout.readline().strip() == "saved"
            time.sleep(rng.uniform(0.0, 0.3))
            saver.send_signal(signal.SIGKILL)
        assert saver.returncode == -signal.SIGKILL
        content = path.read_bytes()
        assert content in versions, f"attempt {attempt}: the file at the path is not a whole save"
        assert velto_kit.dumps(velto_kit.load(path)) == content
    # Killed saves may leave their temporary files; nothing else is there.
    others = [p.name for p in tmp_path.iterdir() if p != path]
    assert all(name.startswith(".agent.npz.") and name.endswith(".tmp") for name in others)


def test_a_failing_save_keeps_the_earlier_file_and_removes_its_temporary(tmp_path):
    agent = VeltoActorCritic(10, 1, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 0)
    path = tmp_path / "agent.npz"
    velto_kit.save(agent, path)
    before = path.read_bytes()
    bare = VeltoActorCritic.__new__(VeltoActorCritic)
    with pytest.raises(TypeError):
        velto_kit.save(bare, path)
    with pytest.raises(FileNotFoundError):
        velto_kit.save(agent, tmp_path / "missing" / "agent.npz")
    assert path.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["agent.npz"]


def test_save_keeps_an_existing_file_mode(tmp_path):
    agent = VeltoActorCritic(10, 1, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 0)
    path = tmp_path / "agent.npz"
    velto_kit.save(agent, path)
    umask = os.umask(0)
    os.umask(umask)
    assert path.stat().st_mode & 0o777 == 0o666 & ~umask
    path.chmod(0o640)
    velto_kit.save(agent, path)
    assert path.stat().st_mode & 0o777 == 0o640
