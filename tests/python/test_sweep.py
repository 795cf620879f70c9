"""Sweeps on Ray Tune: the smoke sweep end to end on a local Ray, resuming (finished trials are not
run again, a failed trial continues from its checkpoint), Tune's retry of a failed trial, and the
trial's learners continuing exactly from their checkpoints."""

import csv
import os
import re
import statistics
import subprocess
import sys
import time
import warnings
from pathlib import Path

import gymnasium as gym
import pytest
from velto_kit.sweeps.trial_config import TrialConfig
from velto_kit.sweeps.trial_learners import build_learner

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))

from velto_kit.cli import sweep  # noqa: E402

CRASH_ENV = "crash_once_env:CrashOnce-v0"
# The hardening stage preloads the sanitizer runtime into every process it starts, which would
# reach Ray's own native processes too; the sweep is Python over the module, whose own tests run
# sanitized there, so the sweeps on Ray run in the plain test command only.
on_ray = pytest.mark.skipif(
    os.environ.get("VELTO_SANITIZED") == "1", reason="Ray under the preloaded sanitizer runtime"
)
PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


def read_csv(path: Path) -> list[dict[str, str]]:
    with open(path, newline="") as file:
        return list(csv.DictReader(file))


def trial_folders(out: Path) -> dict[str, Path]:
    """Each trial's folder of Tune's records, by trial id (``..._<id>_<index>_<settings>``)."""
    folders = {}
    for folder in (out / sweep.EXPERIMENT_NAME).iterdir():
        if folder.is_dir():
            experiment, number = folder.name.split("_")[2:4]
            folders[f"{experiment}_{number}"] = folder
    return folders


def progress(folder: Path) -> list[dict[str, str]]:
    """Tune's own per-report record of a trial, in the order the reports came."""
    return read_csv(folder / "progress.csv")


def records(out: Path) -> dict[str, bytes]:
    """Every trial's ``progress.csv`` as it lies on disk."""
    return {
        name: (folder / "progress.csv").read_bytes() for name, folder in trial_folders(out).items()
    }


def ray_processes_of(driver_pid: int) -> list[str]:
    """Command lines of live processes that belong to the Ray session a driver started (Ray
    names the session folder after the driver's process id)."""
    pattern = re.compile(rf"session_[\d_-]+_{driver_pid}\b")
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            command = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode()
        except OSError:
            continue
        if pattern.search(command):
            found.append(command)
    return found


def wait_until_gone(driver_pid: int, seconds: float = 20.0) -> list[str]:
    deadline = time.monotonic() + seconds
    while (left := ray_processes_of(driver_pid)) and time.monotonic() < deadline:
        time.sleep(0.2)
    return left


@pytest.fixture(scope="module")
def smoke(tmp_path_factory):
    """The README's smoke command, run once as a user runs it: its own local Ray."""
    out = tmp_path_factory.mktemp("smoke")
    process = subprocess.Popen(
        [sys.executable, "examples/sweep.py", "--smoke", "--out", str(out), "--num-cpus", "2"],
        cwd=ROOT,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    output, _ = process.communicate(timeout=300)
    return out, process.returncode, output, process.pid


@pytest.fixture(scope="module")
def local_ray(tmp_path_factory):
    """One small local Ray for the in-process sweeps; its workers import the crashing task."""
    import ray

    marker = tmp_path_factory.mktemp("crash") / "crashed"
    os.environ["VELTO_TEST_CRASH_MARKER"] = str(marker)
    paths = [str(Path(__file__).parent), os.environ.get("PYTHONPATH", "")]
    os.environ["PYTHONPATH"] = os.pathsep.join(path for path in paths if path)
    ray.init(
        address="local",
        num_cpus=2,
        include_dashboard=False,
        object_store_memory=sweep.OBJECT_STORE_BYTES,
    )
    yield marker
    ray.shutdown()
    assert wait_until_gone(os.getpid()) == []


@on_ray
def test_smoke_sweep_runs_two_trials_and_tabulates_them(smoke):
    out, returncode, output, pid = smoke
    assert returncode == 0, output
    trials = read_csv(out / "results.csv")
    assert sorted(int(trial["seed"]) for trial in trials) == [0, 1]
    folders = trial_folders(out)
    assert sorted(folders) == sorted(trial["trial"] for trial in trials)
    episodes = read_csv(out / "episodes.csv")
    for trial in trials:
        assert (trial["status"], trial["episodes_done"], trial["env_id"]) == (
            "done",
            "20",
            "CartPole-v1",
        )
        # Against Tune's own record of the trial's reports.
        reports = progress(folders[trial["trial"]])
        assert [int(report["episode"]) for report in reports] == list(range(20))
        last = [float(report["return"]) for report in reports[-10:]]
        assert float(trial["final_mean_return"]) == pytest.approx(statistics.fmean(last))
        assert int(trial["steps"]) == sum(int(report["length"]) for report in reports)
        mine = [row for row in episodes if row["trial"] == trial["trial"]]
        assert [row["return"] for row in mine] == [report["return"] for report in reports]
    assert (out / "returns.png").read_bytes()[:8] == PNG_MAGIC
    assert ray_processes_of(pid) == []


@on_ray
def test_tunes_own_records_show_the_critics_step_sizes(smoke):
    from tensorboard.backend.event_processing.event_accumulator import EventAccumulator

    out, returncode, output, _ = smoke
    assert returncode == 0, output
    for folder in trial_folders(out).values():
        reports = progress(folder)
        # The first report and the checkpoints' (every 10 episodes) carry them.
        told = {int(r["episode"]) + 1: float(r["critic/step_sizes/q50"]) for r in reports
                if r["critic/step_sizes/q50"]}  # fmt: skip
        assert sorted(told) == [1, 10, 20]
        assert all(float(reports[e - 1]["critic/step_sizes/near_zero"]) >= 0 for e in told)
        events = EventAccumulator(str(folder), size_guidance={"scalars": 0})
        events.Reload()
        # Tune's step is its count of reports.
        shown = {e.step: e.value for e in events.Scalars("ray/tune/critic/step_sizes/q50")}
        assert shown == pytest.approx(told, rel=1e-6)


@on_ray
def test_resume_of_a_finished_sweep_runs_no_trial_again(smoke, local_ray):
    out, returncode, output, _ = smoke
    assert returncode == 0, output
    before = {
        name: (folder / "progress.csv").read_bytes() for name, folder in trial_folders(out).items()
    }
    checkpoints = sorted(out.rglob("checkpoint_*"))
    table = read_csv(out / "results.csv")

    assert sweep.main(["--resume", "--out", str(out), "--quiet"]) == 0

    after = {
        name: (folder / "progress.csv").read_bytes() for name, folder in trial_folders(out).items()
    }
    assert after == before
    assert sorted(out.rglob("checkpoint_*")) == checkpoints
    assert read_csv(out / "results.csv") == table


def crash_sweep(out: Path, max_failures: int) -> int:
    return sweep.main(
        [
            "--envs",
            CRASH_ENV,
            "--seeds",
            "0",
            "1",
            "--episodes",
            "20",
            "--set",
            "checkpoint_every=5",
        ]
        + ["--max-failures", str(max_failures), "--out", str(out), "--quiet"]
    )


@on_ray
def test_resume_continues_a_failed_trial_from_its_checkpoint(tmp_path, local_ray):
    local_ray.unlink(missing_ok=True)
    assert crash_sweep(tmp_path, max_failures=0) == 1
    trials = {trial["trial"]: trial for trial in read_csv(tmp_path / "results.csv")}
    failed = [name for name, trial in trials.items() if trial["status"].startswith("error")]
    assert len(failed) == 1
    (crashed,) = failed
    (finished,) = set(trials) - {crashed}
    assert trials[finished]["status"] == "done"
    # The crash came at the 13th reset, which ends episode 11 (the first reset starts episode
    # 0): episodes 0 to 10 were reported; the latest checkpoint holds 10 episodes.
    assert trials[crashed]["episodes_done"] == "11"
    folders = trial_folders(tmp_path)
    finished_record = (folders[finished] / "progress.csv").read_bytes()

    assert sweep.main(["--resume", "--out", str(tmp_path), "--quiet"]) == 0

    assert (folders[finished] / "progress.csv").read_bytes() == finished_record
    reports = [int(report["episode"]) for report in progress(folders[crashed])]
    assert reports == list(range(11)) + list(range(10, 20))
    rows = [row for row in read_csv(tmp_path / "episodes.csv") if row["trial"] == crashed]
    assert [int(row["episode"]) for row in rows] == list(range(20))
    # Steps carry on from the checkpoint: each report's count is the sum of the lengths so far.
    lengths = [int(row["length"]) for row in rows]
    assert [int(row["steps"]) for row in rows] == [sum(lengths[: i + 1]) for i in range(20)]
    table = {trial["trial"]: trial for trial in read_csv(tmp_path / "results.csv")}
    assert table[crashed]["status"] == "done"


@on_ray
def test_tune_retries_a_failed_trial_from_its_checkpoint(tmp_path, local_ray):
    local_ray.unlink(missing_ok=True)
    assert crash_sweep(tmp_path, max_failures=1) == 0
    assert local_ray.exists()  # the crash did happen
    table = read_csv(tmp_path / "results.csv")
    assert [trial["status"] for trial in table] == ["done", "done"]
    restarted = [
        folder
        for folder in trial_folders(tmp_path).values()
        if [int(report["episode"]) for report in progress(folder)] != list(range(20))
    ]
    assert len(restarted) == 1
    assert [int(report["episode"]) for report in progress(restarted[0])][10:13] == [10, 10, 11]


# The agent's learner continues its run exactly (tests/python/test_resume.py); SARSA restarts its
# environment, as the original does when it is run again from the same episode with the same seed.
@pytest.mark.parametrize("learner", ["sarsa"])
def test_restored_learner_continues_as_the_original(tmp_path, learner):
    config = TrialConfig(learner=learner, episodes=30)
    env = gym.make("CartPole-v1")
    original = build_learner(config, env, None)
    trained = list(original.run(env, episodes=15, start_episode=0, seed=1))
    original.save(tmp_path)
    restored = build_learner(config, env, tmp_path)

    def returns(learner_to_run):
        return [r.return_ for r in learner_to_run.run(env, episodes=15, start_episode=15, seed=2)]

    assert returns(restored) == returns(original)
    assert trained[-1].episode == 14


def test_trial_settings_are_checked_by_name():
    with pytest.raises(ValueError, match="'lamda'"):
        TrialConfig.from_dict({"lamda": 0.9})
    with pytest.raises(ValueError, match="learner"):
        TrialConfig.from_dict({"learner": "q"})
    with pytest.raises(SystemExit):
        sweep.main(["--set", "episodes=5,0", "--out", "/nonexistent/never-written"])
    assert sweep.parse_setting("alpha=0.1,1e-3") == ("alpha", [0.1, 0.001])
    assert sweep.parse_setting("mapping=binary,None") == ("mapping", ["binary", None])


@on_ray
def test_smoke_sweep_ends_without_a_warning_or_a_traceback(smoke):
    out, returncode, output, _ = smoke
    assert returncode == 0, output
    # The Ray it starts keeps token authentication, chosen explicitly, so Ray does not warn
    # that it chose it.
    assert "Token authentication is enabled" not in output
    assert "Traceback" not in _without_shutdown_signals(output) and "SystemExit" not in (
        _without_shutdown_signals(output)
    )


def _without_shutdown_signals(output):
    """`output` without the lines of Ray workers that `ray.shutdown()`'s SIGTERM interrupted.

    Ray's handler of that signal raises SystemExit wherever the idle worker is, and a worker in
    a weakref callback prints it as a traceback; it comes after every trial has ended and
    reported. Every other traceback, the sweep's own included, still fails the test.
    """
    prefix = re.compile(r"\(\w+ pid=(\d+)\)")
    interrupted = {
        match.group(1)
        for line in output.splitlines()
        if "sigterm_handler" in line and (match := prefix.search(line))
    }
    return "\n".join(
        line
        for line in output.splitlines()
        if not ((match := prefix.search(line)) and match.group(1) in interrupted)
    )


class StoppedResult:
    """A Tune result as a sweep stopped early leaves it: a started trial reports its config
    and episodes, one stopped before it started has neither."""

    def __init__(self, path, config=None, episodes=0):
        self.path, self.config, self.error = str(path), config, None
        self.metrics = {"trial_id": Path(path).name} if config else None
        reports = [
            {"episode": e, "return": 10.0 + e, "length": 10, "steps": 10 * (e + 1), "seconds": 0.1}
            for e in range(episodes)
        ]
        import pandas

        self.metrics_dataframe = pandas.DataFrame(reports) if config else None


def test_a_trial_stopped_before_it_started_is_named_and_not_done(tmp_path, monkeypatch, capsys):
    config = {"env_id": "CartPole-v1", "seed": 0, "episodes": 2}
    results = [
        StoppedResult(tmp_path / "trial_a", config, episodes=2),
        StoppedResult(tmp_path / "trial_b"),
    ]
    from velto_kit.sweeps.sweep import episode_rows, trial_rows, unstarted_trials

    assert unstarted_trials(results) == ["trial_b"]
    assert [row["trial"] for row in trial_rows(results, 10)] == ["trial_a"]
    assert [row["episode"] for row in episode_rows(results)] == [0, 1]
    # The program: tables of the started trials, the others named, and exit status 1.
    monkeypatch.setattr(sweep, "start_ray", lambda arguments: False)
    monkeypatch.setattr(sweep, "sweep", lambda arguments, grid, out: results)
    assert sweep.main(["--smoke", "--out", str(tmp_path / "out")]) == 1
    printed = capsys.readouterr().out
    assert "1 trial(s) not started: trial_b" in printed
    assert "continue with --resume" in printed
    assert len(read_csv(tmp_path / "out" / "results.csv")) == 1


class _RemembersActions(gym.Wrapper):
    """Keeps a set, which plain data cannot hold: the run checkpoint stores it as a pickle."""

    def __init__(self, env):
        super().__init__(env)
        self.seen = set()

    def step(self, action):
        self.seen.add(int(action))
        return super().step(action)


# A restored Tune trial reads back the folder it saved itself; its environment's pickle must not
# stop the restore the way a folder from elsewhere is stopped.
def test_a_trial_restores_its_own_folder_whose_environment_needs_a_pickle(tmp_path):
    config = TrialConfig(learner="velto", episodes=8)

    def trial_env():
        return _RemembersActions(gym.make("CartPole-v1"))

    whole = build_learner(config, trial_env(), None)
    whole_returns = [r.return_ for r in whole.run(trial_env(), episodes=8, start_episode=0, seed=0)]
    original = build_learner(config, trial_env(), None)
    list(original.run(trial_env(), episodes=4, start_episode=0, seed=0))
    original.save(tmp_path)
    assert list(tmp_path.glob("*.pkl")), "the environment's state was expected as a pickle"
    restored = build_learner(config, trial_env(), tmp_path)
    rest = [r.return_ for r in restored.run(trial_env(), episodes=4, start_episode=4, seed=0)]
    assert rest == whole_returns[4:]


@on_ray
def test_a_sweep_tells_its_callbacks_of_every_episode(tmp_path, local_ray):
    from ray import tune
    from velto_kit.sweeps.sweep import run_sweep, trial_rows

    class Episodes(tune.Callback):
        def __init__(self):
            self.reports = []

        def on_trial_result(self, iteration, trials, trial, result, **info):
            self.reports.append((trial.config["seed"], result["episode"], result["return"]))

    told = Episodes()
    results = run_sweep({"seed": [0, 1], "episodes": [4], "checkpoint_every": [2]},
                        storage=tmp_path, verbose=0, callbacks=[told])  # fmt: skip
    by_seed = {row["seed"]: row for row in trial_rows(results, 2)}
    assert sorted(seed for seed, _, _ in told.reports) == [0] * 4 + [1] * 4
    for seed in (0, 1):
        episodes = [(e, r) for s, e, r in told.reports if s == seed]
        assert [e for e, _ in episodes] == [0, 1, 2, 3]
        assert by_seed[seed]["episodes_done"] == 4


@pytest.mark.parametrize(
    ("config", "with_statistics"),
    [
        # The first report, each checkpoint's (4) and the last (6).
        ({"episodes": 6, "checkpoint_every": 4}, [0, 3, 5]),
        ({"episodes": 4, "checkpoint_every": 1, "seeds_per_trial": 3}, None),
        ({"episodes": 3, "checkpoint_every": 2, "learner": "sarsa"}, []),
        # Diverged in episode 2 (tests/python/test_divergence.py): its last report carries them.
        (
            {"episodes": 30, "checkpoint_every": 10, "alpha": 1.0, "eta": 1e3, "eta_actor": 1e3},
            [0, 2],
        ),
    ],
    ids=["agent", "population", "sarsa", "diverged"],
)
def test_a_trials_reports_carry_the_critics_statistics_at_its_checkpoints(
    config, with_statistics, monkeypatch
):
    """A trial's reports, taken by a stand-in for Tune's session; a report with a checkpoint
    carries the statistics of the critic it saved."""
    from ray import tune
    from velto_kit import load
    from velto_kit.experiments.tracking import critic_metrics
    from velto_kit.state.run_state import latest_run
    from velto_kit.sweeps.population_trial import agent_file
    from velto_kit.sweeps.tune import train_trial

    reports = []

    def report(metrics, checkpoint=None):
        saved = None
        if checkpoint is not None and config.get("learner") != "sarsa":
            folder = Path(checkpoint.path)
            if "seed" in metrics:
                saved = critic_metrics(load(folder / agent_file(metrics["seed"])))
            else:
                saved = critic_metrics(latest_run(folder, trust_pickles=True).agent)
        reports.append((metrics, saved))

    monkeypatch.setattr(tune, "report", report)
    monkeypatch.setattr(tune, "get_checkpoint", lambda: None)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        train_trial(config)
    carrying = [i for i, (metrics, _) in enumerate(reports) if "critic/step_sizes/q50" in metrics]
    if with_statistics is None:
        with_statistics = [0] + [i for i, (_, saved) in enumerate(reports) if saved is not None]
    assert carrying == sorted(set(with_statistics))
    for metrics, saved in reports:
        if saved is not None:
            told = {key: value for key, value in metrics.items() if key.startswith("critic/")}
            assert told == pytest.approx(saved, nan_ok=True)
            assert told["critic/step_sizes/count"] > 0
    if "seeds_per_trial" in config:
        # A checkpoint reported by a seed other than the first: another seed's critic shows.
        assert any(metrics["seed"] != 0 for metrics, saved in reports if saved is not None)
