"""examples/train.py's --backend: native by default where it gives Gymnasium's results exactly,
Gymnasium where it cannot, and a resume that never crosses from one to the other silently."""

import importlib
import re
import shutil
from pathlib import Path

import gymnasium as gym
import pytest
import velto_kit  # noqa: E402
from velto_kit.cli import train  # noqa: E402

QUICK = ["--random-episodes", "1", "--no-progress", "--no-inspect-plot"]
OWN_TASK = "OwnFrozenLake-v0"


def files(root: Path) -> dict[str, bytes]:
    """Every file of a run folder (lock files aside) by its path inside it."""
    return {
        str(path.relative_to(root)): path.read_bytes()
        for path in sorted(root.rglob("*"))
        if path.is_file() and path.name != ".run.lock"
    }


def written_backend(folder: Path) -> str:
    """The backend the latest run checkpoint in `folder` was written by, read from the file."""
    run = velto_kit.latest_run(folder)
    assert run is not None
    return train.run_backend(run)


@pytest.mark.parametrize(
    ("env_id", "extra"),
    [
        ("CartPole-v1", ["--seeds", "0", "1", "--workers", "1"]),
        ("CartPole-v1", ["--seeds", "3", "5", "--workers", "2"]),
        ("CliffWalking-v1", ["--seeds", "0", "1", "--workers", "1"]),
    ],
)
def test_the_native_default_writes_the_gymnasium_backends_returns_logs_and_agents(
    env_id, extra, tmp_path, capsys
):
    options = ["--env", env_id, "--episodes", "12", "--checkpoint-every", "4", *extra, *QUICK]
    train.main([*options, "--output-dir", str(tmp_path / "default")])
    assert capsys.readouterr().out.rstrip().endswith("on native")
    train.main([*options, "--backend", "gymnasium", "--output-dir", str(tmp_path / "gymnasium")])
    assert capsys.readouterr().out.rstrip().endswith("on gymnasium")
    default, gymnasium = files(tmp_path / "default"), files(tmp_path / "gymnasium")
    seeds = extra[1:3]
    assert written_backend(tmp_path / "default" / "checkpoints" / f"seed-{seeds[0]}") == "native"
    assert written_backend(tmp_path / "gymnasium" / "checkpoints" / f"seed-{seeds[1]}") != "native"
    # The run checkpoints' manifests describe each backend's own loop; every other file the
    # Gymnasium run writes, the native run writes with the same bytes.
    compared = [name for name in gymnasium if not name.endswith(".json") and ".png" not in name]
    assert {name for name in compared if name.endswith(".npz")} and "returns.csv" in compared
    for name in compared:
        assert default[name] == gymnasium[name], name
    # The native run's own copy of each checkpointed agent is that agent too.
    copies = [name for name in default if "/agent-0/" in name]
    assert copies
    for name in copies:
        assert default[name] == gymnasium[name.replace("/agent-0/", "/")], name


def test_the_native_default_runs_each_seed_natively_in_this_process(tmp_path, monkeypatch):
    made = []
    make_vector_env = velto_kit.make_vector_env

    def recording(*arguments, **options):
        made.append((arguments, options.get("backend"), options.get("seed")))
        return make_vector_env(*arguments, **options)

    monkeypatch.setattr(velto_kit, "make_vector_env", recording)
    train.main(["--episodes", "2", "--seeds", "4", "6", "--workers", "1", *QUICK,
                "--output-dir", str(tmp_path)])  # fmt: skip
    assert made == [(("CartPole-v1", 1), "native", 4), (("CartPole-v1", 1), "native", 6)]


def register_own_task() -> None:
    if OWN_TASK not in gym.registry:
        gym.register(
            OWN_TASK,
            entry_point="gymnasium.envs.toy_text.frozen_lake:FrozenLakeEnv",
            max_episode_steps=30,
        )


@pytest.mark.parametrize(
    ("env_id", "population", "why"),
    [
        ("Acrobot-v1", [], "its native task is not exact"),
        (OWN_TASK, [], "it has no native task"),
        (OWN_TASK, ["--population"], "it has no native task"),
        ("CartPole-v1", ["--population"], "a native population runs consecutive seeds only"),
    ],
)
def test_tasks_and_options_without_an_exact_native_run_fall_back_to_gymnasium_with_a_note(
    env_id, population, why, tmp_path, capsys
):
    register_own_task()
    options = ["--env", env_id, "--episodes", "2", "--seeds", "0", "2", "--workers", "1"]
    options += ["--checkpoint-every", "2", *population, *QUICK, "--output-dir", str(tmp_path)]
    train.main(options)
    output = capsys.readouterr().out
    assert f"{env_id} runs on Gymnasium: {why}" in output
    assert output.rstrip().endswith("on gymnasium")
    folder = "population" if population else "seed-2"
    assert written_backend(tmp_path / "checkpoints" / folder) == "gymnasium"


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (["--env", OWN_TASK, "--backend", "native"], "has no native task"),
        (["--backend", "envpool"], "needs --population"),
        (["--population", "--seeds", "0", "2", "--backend", "native"], "consecutive seeds"),
        (["--population", "--seeds", "0", "2", "--vector-backend", "native"], "consecutive"),
    ],
)
def test_a_backend_the_options_cannot_take_stops_before_training(
    arguments, message, tmp_path, capsys
):
    register_own_task()
    with pytest.raises(SystemExit):
        train.main([*arguments, "--episodes", "1", "--output-dir", str(tmp_path)])
    error = capsys.readouterr().err
    assert message in error
    assert not tmp_path.exists() or not list(tmp_path.iterdir())
    for name in re.findall(r"(velto_kit(?:\.\w+)+)\(\)", error):  # what it names exists
        module, _, function = name.rpartition(".")
        assert callable(getattr(importlib.import_module(module), function, None)), name


def test_vector_backend_is_the_older_name_of_backend():
    assert train.parse_arguments(["--vector-backend", "gymnasium"]).backend == "gymnasium"
    assert train.parse_arguments(["--backend", "native"]).backend == "native"
    assert train.parse_arguments([]).backend is None


@pytest.mark.parametrize(
    ("first", "population"),
    [("gymnasium", []), ("native", []), ("gymnasium", ["--population"]),
     ("native", ["--population"])],
)  # fmt: skip
def test_a_resume_on_the_other_backend_stops_naming_backend_and_without_it_goes_on(
    first, population, tmp_path, capsys
):
    other = "native" if first == "gymnasium" else "gymnasium"
    options = ["--episodes", "6", "--seeds", "0", "1", "--workers", "1", "--checkpoint-every"]
    options += ["3", *population, *QUICK]
    train.main([*options, "--output-dir", str(tmp_path / "whole"), "--backend", first])
    # The run as a kill after its first checkpoint leaves it: the later checkpoints and the
    # derived files are gone (the logs run on; a resume cuts them back).
    out = tmp_path / "cut"
    shutil.copytree(tmp_path / "whole", out)
    for later in [*out.rglob("run-000006.json"), out / "returns.csv"]:
        later.unlink()
    before = files(out)
    with pytest.raises(SystemExit, match=f"resume it with --backend {first}"):
        train.main([*options, "--output-dir", str(out), "--resume", "--backend", other])
    # Refused before anything was started over: the folder is as the first run left it.
    assert files(out) == before
    capsys.readouterr()
    train.main([*options, "--output-dir", str(out), "--resume"])
    output = capsys.readouterr().out
    assert output.rstrip().endswith(f"on {first}")
    assert (out / "returns.csv").read_bytes() == (tmp_path / "whole" / "returns.csv").read_bytes()
    assert len((out / "returns.csv").read_text().splitlines()) == 1 + 2 * 6


def test_a_resume_of_folders_written_by_both_backends_stops(tmp_path):
    options = ["--episodes", "2", "--workers", "1", "--checkpoint-every", "1", *QUICK]
    options += ["--output-dir", str(tmp_path)]
    train.main([*options, "--seeds", "0", "--backend", "native"])
    train.main([*options, "--seeds", "1", "--backend", "gymnasium"])
    with pytest.raises(SystemExit, match="resume each with its own --seeds and --backend"):
        train.main([*options, "--seeds", "0", "1", "--resume"])


def test_a_native_seeds_log_lines_are_synced_before_each_run_checkpoint(tmp_path, monkeypatch):
    from velto_kit.experiments import episode_log, run_bookkeeping

    events: list[tuple[str, int]] = []
    append, sync, save_run = (
        episode_log.EpisodeLog.append, episode_log.EpisodeLog.sync, run_bookkeeping.save_run
    )  # fmt: skip

    def appending(log, episode, *values):
        events.append(("append", episode))
        append(log, episode, *values)

    def syncing(log):
        events.append(("sync", -1))
        sync(log)

    def saving(directory, run):
        events.append(("save", run.next_episode))
        return save_run(directory, run)

    monkeypatch.setattr(episode_log.EpisodeLog, "append", appending)
    monkeypatch.setattr(episode_log.EpisodeLog, "sync", syncing)
    monkeypatch.setattr(run_bookkeeping, "save_run", saving)
    train.main(["--episodes", "7", "--seeds", "0", "--checkpoint-every", "3", "--backend",
                "native", *QUICK, "--output-dir", str(tmp_path)])  # fmt: skip
    saves = [i for i, (kind, _) in enumerate(events) if kind == "save"]
    assert [events[i][1] for i in saves] == [3, 6]
    for i in saves:
        # The checkpoint's last episode was appended, then synced, before the checkpoint.
        last = max(j for j in range(i) if events[j] == ("append", events[i][1] - 1))
        assert ("sync", -1) in events[last + 1 : i]


def test_keep_last_keeps_as_many_native_copies_of_a_seeds_agent_as_run_checkpoints(tmp_path):
    options = ["--episodes", "8", "--seeds", "0", "--workers", "1", "--checkpoint-every", "2"]
    options += ["--keep-last", "2", *QUICK]
    train.main([*options, "--output-dir", str(tmp_path / "native"), "--backend", "native"])
    train.main([*options, "--output-dir", str(tmp_path / "gymnasium"), "--backend", "gymnasium"])
    native, gymnasium = files(tmp_path / "native"), files(tmp_path / "gymnasium")
    # The trained agent (agents/seed-0.npz) is kept beside the checkpoints.
    kept = sorted(name for name in gymnasium if name.startswith("checkpoints/"))
    kept = [name for name in kept if name.endswith(".npz")]
    assert kept == ["checkpoints/seed-0/agent-000006.npz", "checkpoints/seed-0/agent-000008.npz"]
    natives = [name for name in native if name.startswith("checkpoints/")]
    assert sorted(name for name in natives if name.endswith(".npz")) == sorted(
        [*kept, *(name.replace("seed-0/", "seed-0/agent-0/") for name in kept)]
    )
