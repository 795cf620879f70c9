"""What a run puts on disk, observed directly rather than through a resume: the order of fsyncs and
renames around each run checkpoint, the log's lines on disk as each episode ends (read after a
kill, without resuming), and a population's first step of trained agents resumed at a later
episode."""

import os
import signal

import gymnasium as gym
import numpy as np
import pytest
import velto_kit
from gymnasium.vector import SyncVectorEnv
from velto_kit import (
    AgentSettings,
    Population,
    action_mapping,
    features_for,
    make_agent,
    run_episodes,
    run_population,
)


class Recorder:
    """Records every fsync (by the path of what was synced), rename and file creation."""

    def __init__(self, monkeypatch):
        self.events = []
        fsync, replace, open_ = os.fsync, os.replace, os.open

        def recorded_fsync(descriptor):
            self.events.append(("fsync", os.readlink(f"/proc/self/fd/{descriptor}")))
            return fsync(descriptor)

        def recorded_replace(source, target, *args, **kwargs):
            self.events.append(("replace", os.fspath(source), os.fspath(target)))
            return replace(source, target, *args, **kwargs)

        def recorded_open(path, flags, *args, **kwargs):
            if flags & os.O_CREAT:
                self.events.append(("create", os.fspath(path)))
            return open_(path, flags, *args, **kwargs)

        monkeypatch.setattr(os, "fsync", recorded_fsync)
        monkeypatch.setattr(os, "replace", recorded_replace)
        monkeypatch.setattr(os, "open", recorded_open)

    def index(self, kind, *where, start=0):
        """The first event at or after `start` of `kind` whose paths match `where`."""
        for i in range(start, len(self.events)):
            event = self.events[i]
            if event[0] == kind and all(
                test(part) for test, part in zip(where, event[1:], strict=False)
            ):
                return i
        raise AssertionError(f"no {kind} {where} after event {start}: {self.events[start:]}")


def single(folder):
    env = gym.make("CartPole-v1", max_episode_steps=40)
    coder, mapping = features_for(env), action_mapping("binary", 2)
    agent = make_agent(coder.num_features, 1, AgentSettings(), seed=0)
    return run_episodes(env, agent, coder, mapping, episodes=2, gamma=0.99, seed=0,
                        checkpoint_every=2, checkpoint_dir=folder / "checkpoints",
                        log=folder / "log.csv")  # fmt: skip


def population(folder):
    envs = SyncVectorEnv([lambda: gym.make("CartPole-v1", max_episode_steps=40)] * 2)
    coder, mapping = features_for(gym.make("CartPole-v1")), action_mapping("binary", 2)
    agents = [make_agent(coder.num_features, 1, AgentSettings(), seed=s) for s in (0, 1)]
    return run_population(envs, Population(agents), coder, mapping, episodes=2, gamma=0.99,
                          seed=0, checkpoint_every=2, checkpoint_dir=folder / "checkpoints",
                          log=folder / "log.csv")  # fmt: skip


@pytest.mark.parametrize("run", [single, population])
def test_a_run_checkpoint_is_durable_in_order_log_data_rename_directory(run, tmp_path,
                                                                        monkeypatch):  # fmt: skip
    iterator = run(tmp_path)
    recorder = Recorder(monkeypatch)  # after the log's first, atomic, write
    list(iterator)
    folder = str(tmp_path / "checkpoints")
    log = str(tmp_path / "log.csv")

    def named(name):
        return lambda path: os.path.basename(path) == name

    def temporary(name):
        return lambda path: os.path.basename(path).startswith(f".{name}.")

    manifest = "run-000002.json"
    log_synced = recorder.index("fsync", lambda path: path == log)
    created = recorder.index("create", temporary(manifest))
    synced = recorder.index("fsync", temporary(manifest), start=created)
    renamed = recorder.index("replace", temporary(manifest), named(manifest), start=created)
    directory = recorder.index("fsync", lambda path: path == folder, start=renamed)
    # The log's lines are on disk before the manifest that cuts the log back to them exists ...
    assert log_synced < created
    # ... the manifest's data before its name, and its name before the run goes on.
    assert synced < renamed < directory
    # Every agent file it names is whole and renamed into place before it.
    agent = recorder.index("replace", lambda path: ".agent-000002" in path)
    assert recorder.index("fsync", lambda path: ".agent-000002" in path) < agent < created
    assert recorder.index("fsync", lambda path: path == folder, start=agent) < created


def killed_child(action):
    """Runs `action(report)` in a forked child, which must die by SIGKILL; returns the lines
    `report` wrote to a pipe the parent reads."""
    reader, writer = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(reader)
        try:
            action(lambda text: os.write(writer, text.encode()))
        finally:
            os._exit(1)
    os.close(writer)
    chunks = []
    while chunk := os.read(reader, 4096):
        chunks.append(chunk)
    os.close(reader)
    _, status = os.waitpid(pid, 0)
    assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL
    return b"".join(chunks).decode().splitlines()


class KillingCoder:
    """The task's features, killing this process at the `kill_at`-th state coded."""

    def __init__(self, coder, kill_at):
        self.coder, self.kill_at, self.calls = coder, kill_at, 0
        self.num_features = coder.num_features

    def active_features(self, observation):
        self.calls += 1
        if self.calls == self.kill_at:
            os.kill(os.getpid(), signal.SIGKILL)
        return self.coder.active_features(observation)


def logged_single(folder, kill_at, report):
    env = gym.make("CartPole-v1", max_episode_steps=60)
    coder = KillingCoder(features_for(env), kill_at)
    agent = make_agent(coder.num_features, 1, AgentSettings(), seed=0)
    for result in run_episodes(env, agent, coder, action_mapping("binary", 2), episodes=50,
                               gamma=0.99, seed=0, log=folder / "log.csv"):  # fmt: skip
        report(f"{result.episode},{result.return_!r}\n")


def logged_population(folder, kill_at, report):
    envs = SyncVectorEnv([lambda: gym.make("CartPole-v1", max_episode_steps=60)] * 3)
    coder = features_for(gym.make("CartPole-v1"))
    agents = [make_agent(coder.num_features, 1, AgentSettings(), seed=s) for s in range(3)]

    class Killing:
        num_features = coder.num_features

        def __init__(self):
            self.calls = 0

        def active_features_batch(self, observations):
            self.calls += 1
            if self.calls == kill_at:
                os.kill(os.getpid(), signal.SIGKILL)
            return coder.active_features_batch(observations)

        def active_features(self, observation):
            return coder.active_features(observation)

    mapping = action_mapping("binary", 2)
    for result in run_population(envs, Population(agents), Killing(), mapping, episodes=50,
                                 gamma=0.99, seed=0, log=folder / "log.csv"):  # fmt: skip
        report(f"{result.agent},{result.episode},{result.return_!r}\n")


@pytest.mark.parametrize(("run", "kill_at"), [(logged_single, 700), (logged_population, 300)])
def test_every_finished_episode_is_in_the_log_of_a_killed_run(run, kill_at, tmp_path):
    finished = killed_child(lambda report: run(tmp_path, kill_at, report))
    assert len(finished) >= 5  # the kill came after several episodes
    lines = (tmp_path / "log.csv").read_text().splitlines()[1:]
    logged = [",".join(line.split(",")[: 3 if run is logged_population else 2]) for line in lines]
    assert logged[: len(finished)] == finished


def trained_agents(coder, count, episodes):
    """Agents trained for `episodes` episodes each on their own CartPole."""
    agents = []
    for seed in range(count):
        agent = make_agent(coder.num_features, 1, AgentSettings(alpha=0.05, lambda_=0.8), seed)
        env = gym.make("CartPole-v1", max_episode_steps=40)
        list(run_episodes(env, agent, coder, action_mapping("binary", 2), episodes=episodes,
                          gamma=0.9, seed=100 + seed))  # fmt: skip
        agents.append(agent)
    return agents


def test_trained_agents_resumed_at_a_later_episode_step_in_a_population_as_alone(tmp_path):
    coder = features_for(gym.make("CartPole-v1"))
    mapping = action_mapping("binary", 2)
    agents = trained_agents(coder, 3, episodes=5)
    alone = [velto_kit.loads(velto_kit.dumps(agent)) for agent in agents]
    envs = SyncVectorEnv([lambda: gym.make("CartPole-v1", max_episode_steps=40)] * 3)
    mine = run_population(envs, Population(agents), coder, mapping, episodes=4, gamma=0.9,
                          seed=3, start_episode=5)  # fmt: skip
    got = {(r.agent, r.episode): (r.return_, r.length) for r in mine}
    expected = {}
    for i, agent in enumerate(alone):
        env = gym.make("CartPole-v1", max_episode_steps=40)
        for r in run_episodes(env, agent, coder, mapping, episodes=4, gamma=0.9, seed=3 + i,
                              start_episode=5):  # fmt: skip
            expected[i, r.episode] = (r.return_, r.length)
    assert got == expected
    assert [velto_kit.dumps(a) for a in agents] == [velto_kit.dumps(a) for a in alone]
    # The first step's discount matters for these agents: with 0 they would end elsewhere.
    zero = [velto_kit.loads(velto_kit.dumps(a)) for a in trained_agents(coder, 1, episodes=5)]
    first = np.asarray(coder.active_features(gym.make("CartPole-v1").reset(seed=3)[0]))
    usual = velto_kit.loads(velto_kit.dumps(zero[0]))
    zero[0].step(first, 0.0, 0.0)
    usual.step(first, 0.0, 0.9)
    assert velto_kit.dumps(zero[0]) != velto_kit.dumps(usual)
