"""Runs killed (SIGKILL, in a forked child) at random moments and resumed from their latest run
checkpoint: every episode's return, the log and the final agent equal an uninterrupted run's."""

import os
import random
import signal
import subprocess
import sys
import time

import gymnasium as gym
import pytest
import velto_kit
from velto_kit import AgentSettings, action_mapping, features_for, make_agent, run_episodes
from velto_kit.experiments.episode_log import EpisodeLog
from velto_kit.state.run_state import latest_run

# task: (make the environment, episodes, checkpoint every, features options)
TASKS = {
    "CartPole-v1": (lambda: gym.make("CartPole-v1"), 24, 4, {}),
    "Acrobot-v1": (lambda: gym.make("Acrobot-v1", max_episode_steps=150), 8, 2, {"tiles": 4}),
    "CliffWalking-v1": (lambda: gym.make("CliffWalking-v1", max_episode_steps=80), 16, 3, {}),
    # Two units for three actions: the mapping draws whenever both are taken.
    "MountainCar-v0": (lambda: gym.make("MountainCar-v0", max_episode_steps=60), 10, 3, {}),
}


class CountingFeatures:
    """The task's features, killing this process at the `kill_at`-th state coded."""

    def __init__(self, coder, kill_at=None):
        self.coder, self.kill_at, self.calls = coder, kill_at, 0

    @property
    def num_features(self):
        return self.coder.num_features

    def active_features(self, observation):
        self.calls += 1
        if self.calls == self.kill_at:
            os.kill(os.getpid(), signal.SIGKILL)
        return self.coder.active_features(observation)


def train(task, out, kill_at=None):
    """The task's run in `out`, continued from its latest run checkpoint if there is one."""
    make_env, episodes, every, options = TASKS[task]
    env = make_env()
    features = CountingFeatures(features_for(env, **options), kill_at)
    mapping = action_mapping("binary", int(env.action_space.n))
    run = latest_run(out / "checkpoints")
    agent = run.agent if run else make_agent(features.num_features, mapping.num_units,
                                             AgentSettings(), seed=3)  # fmt: skip
    results = list(run_episodes(
        env, agent, features, mapping, episodes=episodes, gamma=0.99, seed=5,
        checkpoint_every=every, checkpoint_dir=out / "checkpoints", log=out / "log.csv",
        resume=run,
    ))  # fmt: skip
    return run, agent, results, features.calls


def killed_in_child(action):
    """Runs `action` in a forked child and returns its wait status."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            action()
            code = 0
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    return status


_references = {}


def reference(task, tmp_path_factory):
    if task not in _references:
        out = tmp_path_factory.mktemp(f"reference-{task}")
        _, agent, results, calls = train(task, out)
        log = (out / "log.csv").read_bytes()
        _references[task] = ([r.return_ for r in results], velto_kit.dumps(agent), log, calls)
    return _references[task]


def assert_resumes_exactly(task, out, tmp_path_factory):
    returns, final_agent, log, _ = reference(task, tmp_path_factory)
    run, agent, results, _ = train(task, out)
    done = 0 if run is None else run.next_episode
    assert [r.episode for r in results] == list(range(done, len(returns)))
    assert [r.return_ for r in results] == returns[done:]
    assert (out / "log.csv").read_bytes() == log
    assert velto_kit.dumps(agent) == final_agent


# Kill points: 9 on CartPole, 6 on Acrobot, 6 on CliffWalking, 4 on MountainCar, each at a random
# coded state.
KILLS = [("CartPole-v1", k) for k in range(9)] + [("Acrobot-v1", k) for k in range(6)]
KILLS += [("CliffWalking-v1", k) for k in range(6)] + [("MountainCar-v0", k) for k in range(4)]


@pytest.mark.parametrize(("task", "point"), KILLS)
def test_a_run_killed_at_a_random_step_resumes_as_if_never_killed(task, point, tmp_path,
                                                                    tmp_path_factory):  # fmt: skip
    calls = reference(task, tmp_path_factory)[3]
    kill_at = random.Random(f"{task}-{point}").randrange(1, calls)
    status = killed_in_child(lambda: train(task, tmp_path, kill_at))
    assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL
    assert_resumes_exactly(task, tmp_path, tmp_path_factory)


def test_a_run_killed_twice_resumes_as_if_never_killed(tmp_path, tmp_path_factory):
    calls = reference("CartPole-v1", tmp_path_factory)[3]
    for kill_at in (calls // 3, calls // 3):  # the second counts from the first's checkpoint
        status = killed_in_child(lambda kill_at=kill_at: train("CartPole-v1", tmp_path, kill_at))
        assert os.WTERMSIG(status) == signal.SIGKILL
    assert latest_run(tmp_path / "checkpoints").next_episode > 0
    assert_resumes_exactly("CartPole-v1", tmp_path, tmp_path_factory)


def kill_in_append(episode):
    """Kills the process half way through the log line of `episode`, flushed."""
    original = EpisodeLog.append

    def append(log, number, *values):
        if number == episode:
            line = f"{number},{values[0]!r},"
            log._file.write(line[: len(line) // 2 + 1])
            log._file.flush()
            os.kill(os.getpid(), signal.SIGKILL)
        original(log, number, *values)

    EpisodeLog.append = append


def kill_before_manifest(episodes_done):
    """Kills the process after the checkpoint's agent file is written, before its manifest."""
    from velto_kit.state import run_state

    original = run_state.write_atomically

    def write(path, data):
        if path.name == f"run-{episodes_done:06d}.json":
            assert (path.parent / f"agent-{episodes_done:06d}.npz").is_file()
            os.kill(os.getpid(), signal.SIGKILL)
        original(path, data)

    run_state.write_atomically = write


@pytest.mark.parametrize(
    ("task", "kill", "episode", "resumed_at"),
    [
        # Cut in episode 9's line: the checkpoint after 8 episodes is the one to resume.
        ("CartPole-v1", kill_in_append, 9, 8),
        # Cut in the line of episode 7, whose checkpoint (after 8) comes after its line: 4.
        ("CartPole-v1", kill_in_append, 7, 4),
        ("CliffWalking-v1", kill_in_append, 0, None),
        # The agent of 12 episodes is on disk, its manifest is not: the run goes on from 8.
        ("CartPole-v1", kill_before_manifest, 12, 8),
    ],
)
def test_a_kill_while_writing_the_log_or_a_checkpoint_loses_nothing_done(
    task, kill, episode, resumed_at, tmp_path, tmp_path_factory
):
    def killed_run():
        kill(episode)
        train(task, tmp_path)

    status = killed_in_child(killed_run)
    assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL
    run = latest_run(tmp_path / "checkpoints")
    assert (None if run is None else run.next_episode) == resumed_at
    if kill is kill_in_append:
        assert not (tmp_path / "log.csv").read_bytes().endswith(b"\n")
    assert_resumes_exactly(task, tmp_path, tmp_path_factory)


def test_a_restored_trial_continues_exactly_and_counts_steps_from_its_call(tmp_path):
    from velto_kit.sweeps.trial_config import TrialConfig
    from velto_kit.sweeps.trial_learners import build_learner

    config = TrialConfig(episodes=20, max_episode_steps=60)
    original = build_learner(config, gym.make("CartPole-v1"), None)
    uninterrupted = list(original.run(gym.make("CartPole-v1"), episodes=20, start_episode=0,
                                      seed=config.seed))  # fmt: skip
    first = build_learner(config, gym.make("CartPole-v1"), None)
    head = first.run(gym.make("CartPole-v1"), episodes=20, start_episode=0, seed=config.seed)
    before = [next(head) for _ in range(8)]
    first.save(tmp_path)
    restored = build_learner(config, gym.make("CartPole-v1"), tmp_path)
    # The trainable passes a fresh seed; a run checkpoint goes on with the run's own.
    rest = list(restored.run(gym.make("CartPole-v1"), episodes=12, start_episode=8, seed=99))
    assert [r.return_ for r in before + rest] == [r.return_ for r in uninterrupted]
    assert velto_kit.dumps(restored.agent) == velto_kit.dumps(original.agent)
    assert [r.steps for r in rest] == [r.steps - before[-1].steps for r in uninterrupted[8:]]


# The example's main, each episode's log line followed by a short pause, so that the kill below
# comes while episodes are still being written.
SLOW_MAIN = f"""
import sys, time
from velto_kit.experiments.episode_log import EpisodeLog
append = EpisodeLog.append_line
EpisodeLog.append_line = lambda log, line: (append(log, line), time.sleep(0.02))
from velto_kit.cli import train
train.main(sys.argv[1:])
"""


def lines(path):
    return path.read_bytes().count(b"\n") if path.exists() else 0


SEEDS = {
    "seeds": ("episodes/seed-0.csv", "episodes/seed-1.csv", "checkpoints/seed-0/run-000005.json",
              "checkpoints/seed-0/agent-000040.npz", "checkpoints/seed-1/agent-000040.npz"),
    "population": ("episodes/population.csv", "checkpoints/population/run-000005.json",
                   "checkpoints/population/agent-000040-000.npz",
                   "checkpoints/population/agent-000040-001.npz"),
}  # fmt: skip


@pytest.mark.parametrize(
    ("kind", "kill_after", "backend"),
    [("seeds", 7, "gymnasium"), ("seeds", 53, "gymnasium"), ("population", 30, "gymnasium"),
     ("seeds", 7, "native"), ("seeds", 53, "native"), ("population", 30, "native")],
)  # fmt: skip
def test_the_example_killed_and_resumed_writes_what_an_uninterrupted_run_does(
    kind, kill_after, backend, tmp_path
):
    from velto_kit.cli import train

    options = ["--episodes", "40", "--seeds", "0", "1", "--workers", "1", "--checkpoint-every",
               "5", "--random-episodes", "1", "--no-inspect-plot", "--no-progress"]  # fmt: skip
    options += ["--population"] if kind == "population" else []
    options += ["--backend", backend]
    train.main([*options, "--output-dir", str(tmp_path / "whole")])
    killed = tmp_path / "killed"
    child = subprocess.Popen([sys.executable, "-c", SLOW_MAIN, *options, "--output-dir",
                              str(killed)], stdout=subprocess.DEVNULL)  # fmt: skip
    files = SEEDS[kind]
    logs = [killed / name for name in files if name.startswith("episodes/")]
    while sum(lines(log) for log in logs) < kill_after and child.poll() is None:
        time.sleep(0.005)
    child.send_signal(signal.SIGKILL)
    assert child.wait(timeout=60) == -signal.SIGKILL
    assert not (killed / "returns.csv").exists()
    # The first checkpoint was written before the kill: a resumed run leaves it alone.
    kept = killed / next(name for name in files if name.endswith("run-000005.json"))
    written = kept.stat().st_mtime_ns
    train.main([*options, "--output-dir", str(killed), "--resume"])
    assert kept.stat().st_mtime_ns == written
    for name in ("returns.csv", *files):
        assert (killed / name).read_bytes() == (tmp_path / "whole" / name).read_bytes(), name

    # Every checkpoint and log, byte for byte, and nothing else left behind.
    def contents(root):
        folders = [root / "checkpoints", root / "episodes"]
        return {p.relative_to(root): p.read_bytes() for f in folders for p in f.rglob("*")
                if p.is_file()}  # fmt: skip

    assert contents(killed) == contents(tmp_path / "whole")


# Populations: three agents on a vector environment, checkpointed each time the slowest has done
# three more episodes.
POPULATION_TASKS = {
    "CartPole-v1": ({}, {}),
    "FrozenLake-v1": ({}, {}),
}


def train_population(task, out, kill_at=None):
    from velto_kit import Population, make_vector_env, run_population

    env_options, feature_options = POPULATION_TASKS[task]
    envs = make_vector_env(task, 3, seed=0, **env_options)
    features = CountingFeatures(features_for(envs, **feature_options), kill_at)
    mapping = action_mapping("binary", int(envs.single_action_space.n))
    run = latest_run(out / "checkpoints")
    if run is None:
        agents = [make_agent(features.num_features, mapping.num_units, AgentSettings(), seed=s)
                  for s in range(3)]  # fmt: skip
    else:
        agents = [member.agent for member in run.members]
    results = list(run_population(
        envs, Population(agents), features, mapping, episodes=10, gamma=0.99, seed=7,
        checkpoint_every=3, checkpoint_dir=out / "checkpoints", log=out / "log.csv", resume=run,
    ))  # fmt: skip
    return run, agents, results, features.calls


@pytest.mark.parametrize(("task", "point"), [(t, k) for t in POPULATION_TASKS for k in range(3)])
def test_a_population_killed_at_a_random_step_resumes_as_if_never_killed(task, point, tmp_path):
    whole = tmp_path / "whole"
    _, agents, results, calls = train_population(task, whole)
    kill_at = random.Random(f"population-{task}-{point}").randrange(calls * 3 // 5, calls)
    killed = tmp_path / "killed"
    status = killed_in_child(lambda: train_population(task, killed, kill_at))
    assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL
    run, resumed_agents, rest, _ = train_population(task, killed)
    assert run is not None and run.next_episode >= 3  # it did resume, not start over
    done = {(r.agent, r.episode) for r in results} - {(r.agent, r.episode) for r in rest}
    assert {(r.agent, r.episode, r.return_) for r in results} >= {
        (r.agent, r.episode, r.return_) for r in rest
    } and len(done) == len(results) - len(rest)
    assert (killed / "log.csv").read_bytes() == (whole / "log.csv").read_bytes()
    assert [velto_kit.dumps(a) for a in resumed_agents] == [velto_kit.dumps(a) for a in agents]


def test_a_restored_population_trial_continues_exactly(tmp_path):
    import shutil

    from velto_kit.sweeps.population_trial import PopulationTrial
    from velto_kit.sweeps.trial_config import TrialConfig

    config = TrialConfig(env_id="FrozenLake-v1", seeds_per_trial=3, episodes=12, checkpoint_every=4)
    whole = PopulationTrial.build(config, None)
    uninterrupted = list(whole.metrics(whole.run()))
    first = PopulationTrial.build(config, None)
    reports = first.metrics(first.run())
    before = []
    for metrics in reports:  # as the trainable: a checkpoint when the slowest ends a block
        before.append(metrics)
        if first.checkpoint_due() and min(first.episodes) == 8:
            first.save(tmp_path)
            break
    shutil.rmtree(first.run_folder)
    restored = PopulationTrial.build(config, tmp_path)
    # The run checkpoint of the block before: the one of 8 is written between two vector steps,
    # after the episode that ended the block has been handed out.
    assert restored.resume is not None and restored.resume.next_episode == 4
    after = list(restored.metrics(restored.run()))
    shutil.rmtree(restored.run_folder)
    key = ("seed", "episode", "return", "length", "steps")
    # The later report of each episode stands, as in the sweep's tables.
    reported = {(m["seed"], m["episode"]): [m[k] for k in key] for m in before + after}
    assert sorted(reported.values()) == sorted([m[k] for k in key] for m in uninterrupted)
    assert [velto_kit.dumps(a) for a in restored.population.agents] == [
        velto_kit.dumps(a) for a in whole.population.agents
    ]
